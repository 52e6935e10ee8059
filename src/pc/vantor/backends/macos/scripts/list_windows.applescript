-- One line per window of every visible process: process name|window name.
-- A process whose windows cannot be read adds what it gave until then.
set output to ""
tell application "System Events"
    repeat with p in (every process whose visible is true)
        set appName to name of p
        try
            repeat with w in (every window of p)
                set output to output & appName & "|" & (name of w) & linefeed
            end repeat
        end try
    end repeat
end tell
return output
