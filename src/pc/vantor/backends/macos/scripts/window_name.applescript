tell application "System Events" to get name of window 1 of process "{{app}}"
