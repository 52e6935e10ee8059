tell application "System Events" to keystroke "{{key}}" using {{{modifiers}}}
