tell application "System Events" to key code {{code}}
