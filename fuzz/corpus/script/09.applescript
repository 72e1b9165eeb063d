with timeout of 10 seconds
	tell application id "com.apple.mail"
		set theMessages to selection
		if theMessages is {} then return {"", ""}
		set theMessage to item 1 of theMessages
		set theTitle to subject of theMessage
		set theMessageID to message id of theMessage
	end tell
	if theMessageID starts with "<" then set theMessageID to text 2 thru -1 of theMessageID
	if theMessageID ends with ">" then set theMessageID to text 1 thru -2 of theMessageID
	set theLink to "message://%3C" & theMessageID & "%3E"
end timeout
return {theTitle, theLink}