-- Brings the first visible process that has a window whose name contains
-- the title to the front and answers its name; the empty string when no
-- window matches. A process whose windows cannot be read is passed over.
tell application "System Events"
    repeat with p in (every process whose visible is true)
        try
            repeat with w in (every window of p)
                if name of w contains "{{title}}" then
                    set frontmost of p to true
                    return name of p
                end if
            end repeat
        end try
    end repeat
end tell
return ""
