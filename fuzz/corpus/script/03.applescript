with timeout of 10 seconds
	tell application id "com.apple.AddressBook"
		set thePeople to selection
		if thePeople is {} then return {"", ""}
		set thePerson to item 1 of thePeople
		set theTitle to name of thePerson
		set theLink to "addressbook://" & id of thePerson
	end tell
end timeout
return {theTitle, theLink}