; unit: pci
; Example script: brings the unit into loader mode, loads three files,
; asks the unit for its firmware version and tests the answer.
; Lines are run as they are read; a line starting with ';' is a comment.
; A quoted text must close with the last character of its line.

[Loader]
; Make sure the unit shows its loader prompt (a lone carriage return).
_TC "^M"
; One second for the unit after each file's data.
_LP 1

; An empty parameter block: announced with size 0, no data follows.
_LF examples/firmware/empty.bin
_LA 2000
_LV V1.0
_LD

; Boot configuration, one block of 1999 bytes.
_LF examples/firmware/bootcfg.bin
_LA 4000
_LV V1.0
_LD

; The application image, 300 KB in 2000-byte blocks, stamped with the file's date.
_LK examples/firmware/main-app.bin
_LA 8000
_LV date
_LD

; Ask for the firmware version; the reply is tested without its line ends.
_QC "VER"
_CS "FW 2.13" _DM "All three files are loaded. The unit reports firmware 2.13."
