with timeout of 10 seconds
	tell application id "com.apple.Preview"
		set theTitle to name of front document
		set thePath to path of front document
	end tell
	tell application id "com.apple.systemevents"
		set theLink to URL of disk item thePath
	end tell
end timeout
return {theTitle, theLink}