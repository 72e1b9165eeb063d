with timeout of 10 seconds
	tell application id "chromium"
		set theTitle to name of front document
		set theLink to URL of front document
	end tell
end timeout
return {theTitle, theLink}