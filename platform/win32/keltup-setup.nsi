; The KelTup installer: keltup.exe for the current user, without administrator rights.
;
;   makensis -DVERSION=0.9.4 -DEXE=keltup.exe -DICON=resources/images/dromoff.ico \
;            -DOUTFILE=keltup-setup-0.9.4.exe keltup-setup.nsi
;
; Installs into %LOCALAPPDATA%\Programs\KelTup with a Start-menu shortcut and, unless unchecked, a
; shortcut in the Startup folder; registers the uninstaller under the user's Uninstall key. The
; settings file (%APPDATA%\KelTup\KELTUP.INI) is the user's: neither install nor uninstall touches
; it. /S installs and uninstalls silently.

!ifndef VERSION | EXE | OUTFILE | ICON
  !error "define VERSION, EXE, OUTFILE and ICON"
!endif
; The welcome and finish pages' picture, drawn by resources/images/make_images.py.
!ifndef WIZARD
  !define WIZARD "../../resources/images/wizard.bmp" ; makensis works in the script's folder
!endif

; keltup.exe is a 64-bit program: so is its installer.
Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel user

!define PRODUCT "KelTup"
!define PUBLISHER "KelTup developers"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KelTup"
; A running keltup.exe owns a hidden window of this class and title.
!define WINDOW_CLASS "KelTup"
!define WINDOW_TITLE "Generic: Sample Application"

Name "${PRODUCT}"
Caption "${PRODUCT} ${VERSION} Setup"
UninstallCaption "${PRODUCT} ${VERSION} Uninstall"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\KelTup"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "CompanyName" "${PUBLISHER}"
VIAddVersionKey "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "${PUBLISHER}"

!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_WELCOMEPAGE_TEXT "This installs KelTup ${VERSION}, the pop-up messenger, for you alone: no administrator rights are needed.$\r$\n$\r$\nYour settings are kept, as they are when you uninstall.$\r$\n$\r$\nClick Next to continue."
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN "$INSTDIR\keltup.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start KelTup now"

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; Waits for the user to end a running copy: a file in use cannot be replaced or removed. Silent
; runs cannot ask, and end with exit code 2 instead.
!macro WAIT_UNTIL_NOT_RUNNING un
Function ${un}WaitUntilNotRunning
  ${Do}
    FindWindow $0 "${WINDOW_CLASS}" "${WINDOW_TITLE}"
    ${If} $0 = 0
      Return
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \
      "KelTup is running.$\r$\n$\r$\nRight-click its icon in the notification area and choose Exit, then click Retry." \
      /SD IDCANCEL IDRETRY retry
    SetErrorLevel 2
    Quit
    retry:
  ${Loop}
FunctionEnd
!macroend
!insertmacro WAIT_UNTIL_NOT_RUNNING ""
!insertmacro WAIT_UNTIL_NOT_RUNNING "un."

Function .onInit
  Call WaitUntilNotRunning
FunctionEnd

Section "KelTup" SEC_PROGRAM
  SectionIn RO
  ; The user may have started KelTup while the wizard was open.
  Call WaitUntilNotRunning
  SetOutPath "$INSTDIR"
  File "/oname=keltup.exe" "${EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortCut "$SMPROGRAMS\KelTup.lnk" "$INSTDIR\keltup.exe" "" "$INSTDIR\keltup.exe" 0 \
    SW_SHOWNORMAL "" "Pop-up messenger"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\keltup.exe,0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Section "Start KelTup when I sign in" SEC_STARTUP
  CreateShortCut "$SMSTARTUP\KelTup.lnk" "$INSTDIR\keltup.exe"
SectionEnd

; An upgrade with the Startup box unchecked removes the shortcut an earlier install made.
Section "-startup off"
  ${IfNot} ${SectionIsSelected} ${SEC_STARTUP}
    Delete "$SMSTARTUP\KelTup.lnk"
  ${EndIf}
SectionEnd

Function un.onInit
  Call un.WaitUntilNotRunning
FunctionEnd

Section "Uninstall"
  Delete "$SMSTARTUP\KelTup.lnk"
  Delete "$SMPROGRAMS\KelTup.lnk"
  ; The folder cannot go while it is this process's current folder, nor while the uninstaller
  ; that started this copy of itself from the temporary folder is still ending.
  SetOutPath "$TEMP"
  Delete "$INSTDIR\keltup.exe"
  StrCpy $1 0
  ${Do}
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    ${IfNot} ${FileExists} "$INSTDIR\*.*"
      ${Break}
    ${EndIf}
    IntOp $1 $1 + 1
    ${If} $1 >= 20
      ${Break}
    ${EndIf}
    Sleep 250
  ${Loop}
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
