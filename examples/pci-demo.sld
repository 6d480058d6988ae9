; Example script for the PCI link: run once per board, it brings the unit behind the
; board's mailbox into loader mode and loads three files.
; A board passes no reply to a query (_QC) back, so unlike demo.sld this script
; does not ask for the firmware version: on the PCI link _CE/_CS would never match.

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
