with timeout of 10 seconds
	tell application id "com.apple.iWork.Keynote"
		set theTitle to name of front document
		set thePath to POSIX path of (get file of front document)
	end tell
	tell application id "com.apple.systemevents"
		set theLink to URL of disk item thePath
	end tell
end timeout
return {theTitle, theLink}