with timeout of 10 seconds
	tell application id "com.apple.finder"
		set theSelection to selection
		if theSelection is {} then
			set theItem to insertion location
		else
			set theItem to item 1 of theSelection
		end if
		set theTitle to name of theItem
		set theLink to URL of theItem
	end tell
end timeout
return {theTitle, theLink}