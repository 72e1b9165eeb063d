set theTitle to ""
set theLink to ""
with timeout of 10 seconds
	try
		tell application id "CURRENTBUNDLEID"
			set theTitle to name of front document
			try
				set theLink to URL of front document
			end try
			if theLink is missing value or theLink is "" then
				try
					set theLink to "file://" & (path of front document)
				end try
			end if
		end tell
	on error errorMessage number errorNumber
		-- A refusal must reach the helper; otherwise the front window's name will do.
		if errorNumber is -1743 then error errorMessage number errorNumber
		if errorNumber is not -1712 then
			try
				tell application id "CURRENTBUNDLEID" to set theTitle to name of front window
			end try
		end if
	end try
end timeout
if theTitle is missing value or theTitle is "" then set theTitle to "CURRENTAPPNAME"
if theLink is missing value then set theLink to ""
return {theTitle, theLink}