with timeout of 10 seconds
	tell application id "com.apple.Notes"
		set theNotes to selection
		if theNotes is {} then return {"", ""}
		set theNote to item 1 of theNotes
		set theTitle to name of theNote
		set theLink to id of theNote
	end tell
end timeout
return {theTitle, theLink}