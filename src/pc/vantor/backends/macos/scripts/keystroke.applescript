tell application "System Events" to keystroke "{{key}}"
