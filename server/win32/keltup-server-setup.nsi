; The KelTup relay's installer: keltup-server.exe as a service for the whole machine, with an
; administrator's rights.
;
;   makensis -DVERSION=0.9.4 -DSERVER=keltup-server.exe -DSEND=keltup-send.exe -DUSERS=users \
;            -DICON=resources/images/dromoff.ico -DOUTFILE=keltup-server-setup-0.9.4.exe \
;            server/win32/keltup-server-setup.nsi
;
; Installs keltup-server.exe and keltup-send.exe into Program Files\KelTup Relay; gives
; %ProgramData%\KelTup an access list of its own and sets aside the files in it that no
; administrator made; makes %ProgramData%\KelTup\users from USERS (the example, its entries
; commented out) when there is none; registers the service "KelTup Relay" (keltup-server) and starts it; lets its UDP port in
; through the firewall. An upgrade stops the service, replaces the programs and starts it again,
; keeping the service's options. Uninstalling removes the service and the firewall rule and
; keeps the users file and the relay's state. /S installs and uninstalls silently.

!ifndef VERSION | SERVER | SEND | USERS | OUTFILE | ICON
  !error "define VERSION, SERVER, SEND, USERS, OUTFILE and ICON"
!endif
!ifndef WIZARD
  !define WIZARD "../../resources/images/wizard.bmp" ; makensis works in the script's folder
!endif

Target amd64-unicode
SetCompressor /SOLID lzma
ManifestDPIAware true
RequestExecutionLevel admin

!define PRODUCT "KelTup Relay"
!define PUBLISHER "KelTup developers"
!define SERVICE "keltup-server"
!define PORT 99
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KelTupRelay"
!define SERVICE_KEY "SYSTEM\CurrentControlSet\Services\${SERVICE}"

Name "${PRODUCT}"
Caption "${PRODUCT} ${VERSION} Setup"
UninstallCaption "${PRODUCT} ${VERSION} Uninstall"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\KelTup Relay"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
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
!include "x64.nsh"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_ABORTWARNING
!define MUI_WELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_UNWELCOMEFINISHPAGE_BITMAP "${WIZARD}"
!define MUI_WELCOMEPAGE_TEXT "This installs the KelTup relay ${VERSION} on this computer as the service $\"${PRODUCT}$\", started now and at every boot, serving KelTup on UDP port ${PORT}.$\r$\n$\r$\nThe users file, %ProgramData%\KelTup\users, is kept as it is (unless someone other than an administrator made it); uninstalling keeps it too.$\r$\n$\r$\nClick Next to continue."
!define MUI_FINISHPAGE_TEXT "The relay runs.$\r$\n$\r$\nList fixed users in %ProgramData%\KelTup\users, then have it read them with:$\r$\n    keltup-server --reload$\r$\nSee its state with keltup-server --status."

!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_WELCOME
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_UNPAGE_FINISH
!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "The KelTup relay is a 64-bit program." /SD IDOK
    SetErrorLevel 2
    Quit
  ${EndIf}
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "KelTup Relay"
  SectionIn RO
  ; An upgrade: the running relay holds its program; the service keeps its options.
  ReadRegStr $0 HKLM "${SERVICE_KEY}" "ImagePath"
  ${If} $0 != ""
    DetailPrint "Stopping the service"
    nsExec::ExecToLog '"$SYSDIR\net.exe" stop ${SERVICE}'
    Pop $1
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "/oname=keltup-server.exe" "${SERVER}"
  File "/oname=keltup-send.exe" "${SEND}"
  File "/oname=users.example" "${USERS}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The relay's folder with its own access list (the Users may not write there), what someone
  ; else put in it set aside, and the administrator's users file, from the example when there is
  ; none.
  DetailPrint "Preparing $APPDATA\KelTup"
  nsExec::ExecToLog '"$INSTDIR\keltup-server.exe" --prepare-data-folder "$APPDATA\KelTup" "$INSTDIR\users.example"'
  Pop $1
  ${If} $1 != 0
    MessageBox MB_OK|MB_ICONSTOP "$APPDATA\KelTup could not be made the relay's own (exit code $1)." /SD IDOK
    SetErrorLevel 1
    Abort
  ${EndIf}
  ${If} ${FileExists} "$APPDATA\KelTup\untrusted-*"
    MessageBox MB_OK|MB_ICONEXCLAMATION "Files in $APPDATA\KelTup that no administrator made were set aside as untrusted-NAME: the relay does not read them. Look at them, then delete them." /SD IDOK
  ${EndIf}

  ${If} $0 == ""
    DetailPrint "Registering the service"
    nsExec::ExecToLog '"$INSTDIR\keltup-server.exe" --install-service --users "$APPDATA\KelTup\users"'
    Pop $1
    ${If} $1 != 0
      MessageBox MB_OK|MB_ICONSTOP "The service could not be registered (exit code $1)." /SD IDOK
      SetErrorLevel 1
      Abort
    ${EndIf}
  ${EndIf}

  ; The service's own restricted SID, which its folder and pipe name: set on an upgrade too, as a
  ; service registered by an older setup has none and could then write nothing.
  nsExec::ExecToLog '"$SYSDIR\sc.exe" sidtype ${SERVICE} restricted'
  Pop $1

  ; The relay's port, for this program only.
  nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${PRODUCT}"'
  Pop $1
  nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${PRODUCT}" dir=in action=allow protocol=UDP localport=${PORT} program="$INSTDIR\keltup-server.exe"'
  Pop $1

  DetailPrint "Starting the service"
  nsExec::ExecToLog '"$SYSDIR\net.exe" start ${SERVICE}'
  Pop $1

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\keltup-server.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  IntFmt $0 "0x%08X" $0
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" "$0"
SectionEnd

Section "Uninstall"
  ; Stops the service and removes it.
  nsExec::ExecToLog '"$INSTDIR\keltup-server.exe" --uninstall-service'
  Pop $1
  nsExec::ExecToLog '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${PRODUCT}"'
  Pop $1
  ; The folder cannot go while it is this process's current folder, nor while the uninstaller
  ; that started this copy of itself from the temporary folder is still ending.
  SetOutPath "$TEMP"
  Delete "$INSTDIR\keltup-server.exe"
  Delete "$INSTDIR\keltup-send.exe"
  Delete "$INSTDIR\users.example"
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
  ; %ProgramData%\KelTup (the users file, the state) stays.
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
