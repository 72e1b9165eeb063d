on handle_callback(params)
	set theText to ""
	set theUUID to ""
	try
		set theText to |text| of params
	end try
	try
		set theUUID to |uuid| of params
	end try
	set theTitle to ""
	if theText is not "" then set theTitle to first paragraph of theText
	set theNotes to "[url=drafts://open?uuid=" & my encodedForLink(theUUID) & "]" & my withoutBrackets(theTitle) & "[/url]"
	return {theTitle, theNotes}
end handle_callback

-- What the application sends goes into a link token: the characters that could end the token,
-- the query or the link are percent-encoded, and brackets in its title become parentheses.
on encodedForLink(theText)
	set theResult to ""
	repeat with theCharacter in characters of theText
		if theCharacter is "[" then
			set theResult to theResult & "%5B"
		else if theCharacter is "]" then
			set theResult to theResult & "%5D"
		else if theCharacter is "%" then
			set theResult to theResult & "%25"
		else if theCharacter is "&" then
			set theResult to theResult & "%26"
		else if theCharacter is "#" then
			set theResult to theResult & "%23"
		else if theCharacter is " " then
			set theResult to theResult & "%20"
		else
			set theResult to theResult & theCharacter
		end if
	end repeat
	return theResult
end encodedForLink

on withoutBrackets(theText)
	set theResult to ""
	repeat with theCharacter in characters of theText
		if theCharacter is "[" then
			set theResult to theResult & "("
		else if theCharacter is "]" then
			set theResult to theResult & ")"
		else
			set theResult to theResult & theCharacter
		end if
	end repeat
	return theResult
end withoutBrackets