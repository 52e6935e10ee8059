-- Clicks the first element of the application's first window whose title
-- or description is the name and types the text into it, after Command-A
-- when asked to clear it and followed by Return when asked to:
-- "typed", "not_found" or "error:<message>".
tell application "System Events"
    tell process "{{app}}"
        set frontmost to true
        delay 0.2
        try
            repeat with elem in (entire contents of window 1)
                try
                    set elemTitle to ""
                    try
                        set readTitle to title of elem
                        if readTitle is not missing value then set elemTitle to readTitle as text
                    end try
                    set elemDesc to ""
                    try
                        set readDesc to description of elem
                        if readDesc is not missing value then set elemDesc to readDesc as text
                    end try
                    if elemTitle is "{{name}}" or elemDesc is "{{name}}" then
                        click elem
                        delay 0.1
                        if {{clear_first}} then keystroke "a" using command down
                        delay 0.05
                        keystroke "{{text}}"
                        if {{press_enter}} then keystroke return
                        return "typed"
                    end if
                end try
            end repeat
            return "not_found"
        on error errMsg
            return "error:" & errMsg
        end try
    end tell
end tell
