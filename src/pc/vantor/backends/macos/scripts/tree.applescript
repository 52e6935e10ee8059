-- Every element of the application's first window, one line each:
-- role|title|description|value|enabled, after a "Window: <name>" header.
-- Requested depth: {{depth}} (entire contents reads every level).
tell application "System Events"
    tell process "{{app}}"
        set frontmost to true
        delay 0.2
        set windowName to "{{app}}"
        try
            set readName to name of window 1
            if readName is not missing value then set windowName to readName
        end try
        set output to "Window: " & windowName & linefeed & linefeed
        try
            set allElements to entire contents of window 1
            repeat with elem in allElements
                try
                    set elemRole to role of elem
                    set elemDesc to ""
                    try
                        set readDesc to description of elem
                        if readDesc is not missing value then set elemDesc to readDesc as text
                    end try
                    set elemTitle to ""
                    try
                        set readTitle to title of elem
                        if readTitle is not missing value then set elemTitle to readTitle as text
                    end try
                    set elemValue to ""
                    try
                        set readValue to value of elem
                        if readValue is not missing value then set elemValue to readValue as text
                    end try
                    set elemEnabled to true
                    try
                        set elemEnabled to enabled of elem
                    end try
                    set output to output & elemRole & "|" & elemTitle & "|" & elemDesc & "|" & elemValue & "|" & (elemEnabled as text) & linefeed
                end try
            end repeat
        on error errMsg
            set output to output & "Error reading UI: " & errMsg
        end try
        return output
    end tell
end tell
