; nsis.nsi - the benchmark's reference installer, built with Debian's makensis:
; the same three files into C:\Tandreloop\, the same desktop link and the same
; success box as setup.exe, no compression.
;
;   makensis -DPAYLOAD=FOLDER -DOUT=FILE.exe [-DTREE] bench/nsis.nsi
;
; With TREE, every file under FOLDER, its subfolders too, goes in with File /r
; (the products of many files and of folders); without it, the three files.
;
; The installer's caption is SUCCESS, which titles its message box; its window
; is then "SUCCESS: Installation Folder" on the directory page, whose IDOK
; button says Install. The benchmark driver finds both by these titles.

Unicode false
SetCompress off
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
!ifdef TREE
    File /r "${PAYLOAD}/*"
!else
    File "${PAYLOAD}/TandreCore.dll"
    File "${PAYLOAD}/TandreDraw.dll"
    File "${PAYLOAD}/Tandreloop.exe"
!endif
    MessageBox MB_OK|MB_ICONINFORMATION "Installation is Complete$\n$\nClick 'OK' to Exit Setup"
SectionEnd
