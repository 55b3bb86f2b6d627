; The Windows installer of Vantrel: vantrel.exe, vantrel-cli.exe, a Start-menu
; shortcut and an uninstaller, for this user or for all users.
;   makensis -DVERSION=1.0.0 -DBINDIR=<folder with the .exe files> -DOUTFILE=<setup.exe> vantrel.nsi
; Silent: setup.exe /S [/AllUsers|/CurrentUser] /D=C:\folder
; The user's settings (vantrel.Ini beside the programs, or %APPDATA%\vantrel)
; are theirs: the uninstaller leaves them.
Unicode true
Target amd64-unicode

!ifndef VERSION
  !error "give -DVERSION=A.B.C"
!endif
!ifndef BINDIR
  !error "give -DBINDIR=<folder holding vantrel.exe and vantrel-cli.exe>"
!endif
!ifndef OUTFILE
  !define OUTFILE "vantrel-${VERSION}-setup.exe"
!endif

!define PRODUCT "Vantrel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantrel"

!define MULTIUSER_EXECUTIONLEVEL Highest
!define MULTIUSER_MUI
!define MULTIUSER_INSTALLMODE_COMMANDLINE
!define MULTIUSER_INSTALLMODE_INSTDIR "${PRODUCT}"
!define MULTIUSER_USE_PROGRAMFILES64
!include MultiUser.nsh
!include MUI2.nsh
!include x64.nsh

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
SetCompressor /SOLID lzma

!insertmacro MUI_PAGE_WELCOME
!insertmacro MULTIUSER_PAGE_INSTALLMODE
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "SimpChinese"
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ; MultiUser picks the folder for the mode; a folder given with /D stands.
  StrCpy $0 $INSTDIR
  !insertmacro MULTIUSER_INIT
  StrCmp $0 "" +2
  StrCpy $INSTDIR $0
FunctionEnd

Function un.onInit
  !insertmacro MULTIUSER_UNINIT
FunctionEnd

Section "Vantrel"
  SetOutPath "$INSTDIR"
  File "${BINDIR}\vantrel-cli.exe"
  !if /FileExists "${BINDIR}\vantrel.exe"
    File "${BINDIR}\vantrel.exe"
    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\vantrel.exe"
  !endif
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; SHCTX: HKCU for this user, HKLM for all users, as MultiUser chose.
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "Vantrel"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /$MultiUser.InstallMode /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\vantrel.exe"
  Delete "$INSTDIR\vantrel-cli.exe"
  Delete "$INSTDIR\uninstall.exe"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  ; Not /r: a settings file the user keeps there keeps its folder.
  RMDir "$INSTDIR"
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
SectionEnd
