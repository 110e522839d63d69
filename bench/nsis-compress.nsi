; nsis-compress.nsi - the reference installers for the compressed payload,
; built with Debian's makensis: every file of a folder (File /r), the same
; desktop link and success box as nsis.nsi, compressed the NSIS way.
;
;   makensis -DPAYLOAD=FOLDER -DOUT=FILE.exe bench/nsis-compress.nsi            zlib, per file (NSIS's default)
;   makensis -DPAYLOAD=FOLDER -DOUT=FILE.exe -DSOLID bench/nsis-compress.nsi    SetCompressor /SOLID lzma
;
; Titles as in nsis.nsi, so that the benchmark driver works it the same way.

Unicode false
!ifdef SOLID
SetCompressor /SOLID lzma
!endif
Name "Tandreloop"
Caption "SUCCESS"
OutFile "${OUT}"
InstallDir "C:\Tandreloop"
RequestExecutionLevel user
XPStyle on

Page directory
Page instfiles

Section
    SetOutPath "$INSTDIR"
    CreateShortcut "$DESKTOP\Tandreloop.lnk" "$INSTDIR\Tandreloop.exe" "" "" 0 SW_SHOWNORMAL "" \
        "Tandreloop, by Tandreloop Software Ltd."
    File /r "${PAYLOAD}/*"
    MessageBox MB_OK|MB_ICONINFORMATION "Installation is Complete$\n$\nClick 'OK' to Exit Setup"
SectionEnd
