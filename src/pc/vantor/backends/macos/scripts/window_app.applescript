-- The name of the first visible process that has a window whose name
-- contains the title; the empty string when there is none. A process whose
-- windows cannot be read is passed over.
set foundApp to ""
tell application "System Events"
    repeat with p in (every process whose visible is true)
        try
            repeat with w in (every window of p)
                if name of w contains "{{title}}" then
                    set foundApp to name of p
                    exit repeat
                end if
            end repeat
        end try
        if foundApp is not "" then exit repeat
    end repeat
end tell
return foundApp
