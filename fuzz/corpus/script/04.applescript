with timeout of 10 seconds
	tell application id "com.apple.dt.Xcode"
		set theTitle to name of front workspace document
		set thePath to path of front workspace document
	end tell
	tell application id "com.apple.systemevents"
		set theLink to URL of disk item thePath
	end tell
end timeout
return {theTitle, theLink}