; The KelTup installer: keltup.exe for the current user, without administrator rights, or, when
; an administrator chooses it, for everyone on the machine.
;
;   makensis -DVERSION=0.9.4 -DEXE=keltup.exe -DICON=resources/images/dromoff.ico \
;            -DOUTFILE=keltup-setup-0.9.4.exe keltup-setup.nsi
;
; Installs into %LOCALAPPDATA%\Programs\KelTup with a Start-menu shortcut and, unless unchecked, a
; shortcut in the Startup folder; registers the uninstaller under the user's Uninstall key. The
; settings file (%APPDATA%\KelTup\KELTUP.INI) is the user's: neither install nor uninstall touches
; it. /S installs and uninstalls silently.
;
; Machine-wide (chosen on the wizard's second page, or /ALLUSERS): Program Files\KelTup, the
; all-users Start menu and Startup folder, the Uninstall key under HKLM, and an inbound Windows
; Firewall rule for keltup.exe (UDP, domain and private networks), removed on uninstall. Without
; an administrator's rights the wizard starts itself again elevated; a silent run ends with exit
; code 740 instead. An installation for the current user cannot change the firewall: its finish
; page gives the administrator's command.

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
!define RULE_NAME "KelTup"
; The inbound rule, less the program's path (netsh add rule ... program="PATH" ${RULE_REST}).
!define RULE_REST "protocol=UDP profile=domain,private"
!define GROUP_POLICY_PATH "Computer Configuration > Policies > Windows Settings > Security Settings > Windows Defender Firewall with Advanced Security > Inbound Rules"
; The exit code of a machine-wide silent run without an administrator's rights.
!define ERROR_ELEVATION_REQUIRED 740

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
!include "nsDialogs.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_WELCOMEPAGE_TEXT "This installs KelTup ${VERSION}, the pop-up messenger, for you alone (no administrator rights are needed) or, by an administrator, for everyone on this computer.$\r$\n$\r$\nYour settings are kept, as they are when you uninstall.$\r$\n$\r$\nClick Next to continue."
!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN "$INSTDIR\keltup.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start KelTup now"
!define MUI_FINISHPAGE_TEXT_LARGE
!define MUI_FINISHPAGE_TEXT "$FinishText"

Var AllUsers ; 1: installed for everyone on the machine
Var CustomFolder ; 1: the folder came from /D=
Var ModeJustMe
Var ModeEveryone
Var FinishText

!insertmacro MUI_PAGE_WELCOME
Page custom ModePage ModePageLeave
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishPageShow
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

; Whether this process has an administrator's rights (an elevated one, under UAC).
!macro IS_ADMIN un
Function ${un}IsAdmin
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 == "Admin"
    Push 1
  ${Else}
    Push 0
  ${EndIf}
FunctionEnd
!macroend
!insertmacro IS_ADMIN ""
!insertmacro IS_ADMIN "un."

; Starts this program again with an administrator's rights and the given options, and ends this
; copy. A silent run cannot ask, and ends with exit code 740 instead. Returns (the error flag set)
; when the user refused.
!macro RUN_ELEVATED un
Function ${un}RunElevated
  Exch $0
  ${If} ${Silent}
    SetErrorLevel ${ERROR_ELEVATION_REQUIRED}
    Quit
  ${EndIf}
  ClearErrors
  ExecShell "runas" "$EXEPATH" "$0"
  ${IfNot} ${Errors}
    Quit
  ${EndIf}
  Pop $0
FunctionEnd
!macroend
!insertmacro RUN_ELEVATED ""
!insertmacro RUN_ELEVATED "un."

Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/ALLUSERS" $R1
  ${IfNot} ${Errors}
    StrCpy $AllUsers 1
  ${EndIf}
  ; /D= sets the folder before this runs; the mode's own folder does not replace it.
  ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $INSTDIR != "$LOCALAPPDATA\Programs\KelTup"
  ${AndIf} $INSTDIR != $0
    StrCpy $CustomFolder 1
  ${EndIf}
  ${If} $AllUsers = 1
    Call IsAdmin
    Pop $0
    ${If} $0 = 0
      Push "/ALLUSERS"
      Call RunElevated
      MessageBox MB_OK|MB_ICONSTOP "Only an administrator can install KelTup for everyone."
      Quit
    ${EndIf}
  ${EndIf}
  Call SetMode
  Call WaitUntilNotRunning
FunctionEnd

Function ModePage
  !insertmacro MUI_HEADER_TEXT "Choose Users" "Install KelTup for you alone, or for everyone on this computer."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateRadioButton} 0 0 100% 12u "&Just for me"
  Pop $ModeJustMe
  ${NSD_CreateLabel} 12u 13u -12u 30u "No administrator rights are needed. Windows Firewall is left as it is: until an administrator lets keltup.exe through it, messages reach you only shortly after you have sent one."
  Pop $0
  ${NSD_CreateRadioButton} 0 50u 100% 12u "&Everyone on this computer (an administrator's rights are needed)"
  Pop $ModeEveryone
  ${NSD_CreateLabel} 12u 63u -12u 30u "Installs into Program Files, starts KelTup when anyone signs in, and lets it receive messages through Windows Firewall on domain and private networks."
  Pop $0
  ${If} $AllUsers = 1
    ${NSD_Check} $ModeEveryone
  ${Else}
    ${NSD_Check} $ModeJustMe
  ${EndIf}
  nsDialogs::Show
FunctionEnd

Function ModePageLeave
  ${NSD_GetState} $ModeEveryone $0
  ${If} $0 = ${BST_CHECKED}
    Call IsAdmin
    Pop $0
    ${If} $0 = 0
      Push "/ALLUSERS"
      Call RunElevated
      MessageBox MB_OK|MB_ICONEXCLAMATION "Only an administrator can install KelTup for everyone."
      Abort
    ${EndIf}
    StrCpy $AllUsers 1
  ${Else}
    StrCpy $AllUsers 0
  ${EndIf}
  Call SetMode
FunctionEnd

; A per-user install's finish page also gives the administrator's command, in a field that can be
; selected and copied.
Function FinishPageShow
  ; Started from here, KelTup would run with the administrator's rights: each user's copy starts
  ; at sign-in instead.
  ${If} $AllUsers = 1
    ${NSD_Uncheck} $mui.FinishPage.Run
    Return
  ${EndIf}
  nsDialogs::CreateControl EDIT ${DEFAULT_STYLES}|${WS_TABSTOP}|${ES_MULTILINE}|${ES_READONLY}|${WS_VSCROLL} ${WS_EX_CLIENTEDGE} 120u 120u 195u 62u \
    'netsh advfirewall firewall add rule name="${RULE_NAME}" dir=in action=allow program="$INSTDIR\keltup.exe" ${RULE_REST}$\r$\n$\r$\nFor a site, in Group Policy: ${GROUP_POLICY_PATH}.'
  Pop $0
  SetCtlColors $0 "" 0xFFFFFF
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

  ; SHCTX: HKCU for the current user, HKLM for everyone.
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\keltup.exe,0"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr SHCTX "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD SHCTX "${UNINSTALL_KEY}" "EstimatedSize" "$0"

  ${If} $AllUsers = 1
    ; An earlier rule for this program goes first, so that an upgrade leaves one.
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${RULE_NAME}" program="$INSTDIR\keltup.exe"'
    Pop $1
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${RULE_NAME}" dir=in action=allow program="$INSTDIR\keltup.exe" ${RULE_REST}'
    Pop $1
    ${If} $1 != 0
      DetailPrint "Windows Firewall did not take the rule for keltup.exe (exit code $1)."
    ${EndIf}
  ${EndIf}
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

; Sets the folders, the Start menu, the Startup folder and the Uninstall key's root for the
; chosen mode.
Function SetMode
  ${If} $AllUsers = 1
    SetShellVarContext all
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 == ""
      StrCpy $0 "$PROGRAMFILES64\KelTup"
    ${EndIf}
    SectionSetText ${SEC_STARTUP} "Start KelTup when anyone signs in"
    StrCpy $FinishText "KelTup is installed for everyone on this computer, and Windows Firewall lets it receive messages on domain and private networks."
  ${Else}
    SetShellVarContext current
    ReadRegStr $0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
    ${If} $0 == ""
      StrCpy $0 "$LOCALAPPDATA\Programs\KelTup"
    ${EndIf}
    SectionSetText ${SEC_STARTUP} "Start KelTup when I sign in"
    StrCpy $FinishText "KelTup is installed for you.$\r$\n$\r$\nAn installation for you alone cannot let KelTup through Windows Firewall, which drops the messages sent to you unless you have just sent one yourself. An administrator allows keltup.exe with the command below."
  ${EndIf}
  ${If} $CustomFolder != 1
    StrCpy $INSTDIR $0
  ${EndIf}
FunctionEnd

; The uninstaller finds its mode by its folder: the machine's when HKLM's entry names it.
Function un.onInit
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $0 == $INSTDIR
    StrCpy $AllUsers 1
    Call un.IsAdmin
    Pop $0
    ${If} $0 = 0
      Push "_?=$INSTDIR"
      Call un.RunElevated
      Quit
    ${EndIf}
    SetShellVarContext all
  ${EndIf}
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
  DeleteRegKey SHCTX "${UNINSTALL_KEY}"
  ${If} $AllUsers = 1
    nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${RULE_NAME}" program="$INSTDIR\keltup.exe"'
    Pop $1
  ${EndIf}
SectionEnd
