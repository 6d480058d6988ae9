; unit: pci
; every command with odd arguments
_SC ""
_SC "A^MB^M"
_SC no quote
_SC "
_TC "^M"
_TC "x
_TC
_DM ""
_DM "semi;colon ^M two lines"
_DY
_DY -5
_DY abc
_DY 3
_DY +2x
_LP 0
_LP -1
_LP 999999999
_LP 2
_LC "LK"
_LC "
_LF missing.bin
_LA 100
_LF /etc/passwd
_LA 100
_LF ../firmware/one.bin
_LA
_LA 1000
_LV
_LV date
_LD
_LK block.bin
_LA 0
_LV v2
_LD extra words
_LF app.bin
_LA 8000
_LV DATE
_LD
_PC "
_PC ""
_PC "#"
_PC ">"
_QC "VER"
_CE "ZK-UNIT FW 2.13 BUILD 0412>" _DM "equal"
_CS "" _CE "" _DM "nested"
_CS "FW" _SC "STAT"
_CS "FW"
_CE "\r\n" _SC "x"
_QC "STAT^M"
_QC ""
_QC "HELP"
_CS "LOADR" _TC "^M"
_XX nothing
_
__LF
   _DM "after blanks"
key = _LF bootcfg.bin
; _DM "comment"
[Section]
name=value
_SCX "longer code"
_DY 1