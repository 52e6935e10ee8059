-- Whether the application's first window still has an element whose role
-- is the role and whose title or description is the name: "found" or
-- "not_found".
tell application "System Events"
    tell process "{{app}}"
        try
            repeat with elem in (entire contents of window 1)
                try
                    if (role of elem) is "{{role}}" then
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
                        if elemTitle is "{{name}}" or elemDesc is "{{name}}" then return "found"
                    end if
                end try
            end repeat
        end try
        return "not_found"
    end tell
end tell
