-- The elements of the application's first window, one line each:
-- role|title|description|value|enabled, after a "Window: <name>" header;
-- with details also |states|x,y,w,h (states: focused, checked, selected,
-- expanded, joined by commas). With a root, only the first element whose
-- role is the root's and whose title or description is the root's name,
-- then the elements inside it; a "Stale: ..." line when there is none.
-- Collecting stops after {{max_elements}} elements, or once the output
-- passes {{max_output}} characters (0: no limit), with a last line
-- "Cut: <budget>|<elements left out>".
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
        set maxElements to {{max_elements}}
        set maxOutput to {{max_output}}
        set withDetails to {{details}}
        try
            if {{has_root}} then
                set rootElement to missing value
                repeat with elem in (entire contents of window 1)
                    try
                        if (role of elem) is "{{root_role}}" then
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
                            if elemTitle is "{{root_name}}" or elemDesc is "{{root_name}}" then
                                set rootElement to contents of elem
                                exit repeat
                            end if
                        end if
                    end try
                end repeat
                if rootElement is missing value then return output & "Stale: the root element is gone"
                set allElements to {rootElement} & (entire contents of rootElement)
            else
                set allElements to entire contents of window 1
            end if
            set total to count of allElements
            set collected to 0
            set budget to ""
            repeat with elem in allElements
                if maxElements is not 0 and collected is greater than or equal to maxElements then
                    set budget to "max_elements"
                    exit repeat
                end if
                if maxOutput is not 0 and (length of output) is greater than maxOutput then
                    set budget to "max_chars"
                    exit repeat
                end if
                set collected to collected + 1
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
                    set elemLine to elemRole & "|" & elemTitle & "|" & elemDesc & "|" & elemValue & "|" & (elemEnabled as text)
                    if withDetails then
                        set elemStates to ""
                        try
                            if focused of elem then set elemStates to elemStates & "focused,"
                        end try
                        if (elemRole is "AXCheckBox" or elemRole is "AXRadioButton") and elemValue is "1" then set elemStates to elemStates & "checked,"
                        try
                            if selected of elem then set elemStates to elemStates & "selected,"
                        end try
                        try
                            if (value of attribute "AXExpanded" of elem) is true then set elemStates to elemStates & "expanded,"
                        end try
                        set elemBounds to ""
                        try
                            set {elemX, elemY} to position of elem
                            set {elemWidth, elemHeight} to size of elem
                            set elemBounds to ((elemX as integer) as text) & "," & ((elemY as integer) as text) & "," & ((elemWidth as integer) as text) & "," & ((elemHeight as integer) as text)
                        end try
                        set elemLine to elemLine & "|" & elemStates & "|" & elemBounds
                    end if
                    set output to output & elemLine & linefeed
                end try
            end repeat
            if budget is not "" then set output to output & "Cut: " & budget & "|" & ((total - collected) as text) & linefeed
        on error errMsg
            set output to output & "Error reading UI: " & errMsg
        end try
        return output
    end tell
end tell
