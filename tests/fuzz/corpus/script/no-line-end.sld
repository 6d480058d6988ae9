_TC "^M"
_DM "last line"