_DY 99999
_DM "after"
