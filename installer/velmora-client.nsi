; Installer of the Windows client: the program, a Start-menu entry, an
; optional start with Windows, and an uninstaller that takes all of it away.
; Built by cmake (target velmora-client-setup) or by hand:
;   makensis -DCLIENT_EXE=/abs/velmora-client.exe -DOUTFILE=/abs/velmora-client-setup.exe installer/velmora-client.nsi
; Silent: velmora-client-setup.exe /S [/NOAUTOSTART] [/HOST=name] [/PORT=n];
; uninstall.exe /S. /HOST= and /PORT= write the system-wide settings under
; HKLM\Software\Policies\Velmora Client (Host REG_SZ, Port REG_DWORD).
; A running client is closed before its files are replaced or removed.
; A 64-bit installer for a 64-bit program (and for Wine without 32-bit support).
Target amd64-unicode
!include "MUI2.nsh"
!include "FileFunc.nsh"
!include "LogicLib.nsh"
!include "WinMessages.nsh"

!ifndef CLIENT_EXE
  !error "CLIENT_EXE: the path of velmora-client.exe"
!endif
!ifndef OUTFILE
  !define OUTFILE "velmora-client-setup.exe"
!endif
!ifndef VERSION
  !error "VERSION: the project version, e.g. 1.0.0"
!endif
!ifndef ICON
  !error "ICON: the path of the client's icon (client.ico)"
!endif

!define PRODUCT "Velmora Client"
!define PUBLISHER "Velmora"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\VelmoraClient"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define POLICY_KEY "Software\Policies\Velmora Client"
; The running client's hidden tray window.
!define TRAY_CLASS "InvisibleWndClass"
!define TRAY_TITLE "Invisible Window"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\${PRODUCT}"
RequestExecutionLevel admin
SetCompressor /SOLID lzma

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "German"

; The setup program's own version resource.
VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_GERMAN} "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=${LANG_GERMAN} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_GERMAN} "FileDescription" "${PRODUCT} Setup"
VIAddVersionKey /LANG=${LANG_GERMAN} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_GERMAN} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_GERMAN} "LegalCopyright" "Copyright (C) Velmora Client developers"

Var Host
Var Port

; Asks a running client to end (as its Exit command does) and waits up to
; ten seconds for its tray window to go; a file in use could not be replaced.
!macro CLOSE_RUNNING_CLIENT UN
Function ${UN}CloseRunningClient
  StrCpy $1 0
  ${Do}
    FindWindow $0 "${TRAY_CLASS}" "${TRAY_TITLE}"
    ${If} $0 = 0
      Return
    ${EndIf}
    ${If} $1 = 0
      DetailPrint "Beende laufenden ${PRODUCT}"
      SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
    ${EndIf}
    Sleep 100
    IntOp $1 $1 + 1
  ${LoopUntil} $1 >= 100
  MessageBox MB_ICONSTOP "${PRODUCT} läuft noch. Bitte beenden Sie das Programm und versuchen Sie es erneut." /SD IDOK
  SetErrorLevel 3
  Quit
FunctionEnd
!macroend
!insertmacro CLOSE_RUNNING_CLIENT ""
!insertmacro CLOSE_RUNNING_CLIENT "un."

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "${PRODUCT}" SectionProgram
  SectionIn RO
  Call CloseRunningClient
  SetOutPath "$INSTDIR"
  File "/oname=velmora-client.exe" "${CLIENT_EXE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\velmora-client.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\velmora-client.exe,0"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
  ${If} $Host != ""
    WriteRegStr HKLM "${POLICY_KEY}" "Host" $Host
  ${EndIf}
  ${If} $Port != ""
    WriteRegDWORD HKLM "${POLICY_KEY}" "Port" $Port
  ${EndIf}
SectionEnd

Section "Mit Windows starten" SectionAutostart
  WriteRegStr HKLM "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\velmora-client.exe"'
SectionEnd

; After the sections: it names one.
Function .onInit
  SetRegView 64
  SetShellVarContext all
  ; The autostart box, unticked from the command line for silent installs.
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/NOAUTOSTART" $1
  ${IfNot} ${Errors}
    SectionSetFlags ${SectionAutostart} 0
  ${EndIf}
  ClearErrors
  ${GetOptions} $0 "/HOST=" $Host
  ClearErrors
  ${GetOptions} $0 "/PORT=" $Port
  ${If} $Port != ""
    ; Digits only, 1 to 65535: anything else would become a wrong port.
    IntOp $1 $Port + 0
    ${If} "$1" != "$Port"
    ${OrIf} $1 < 1
    ${OrIf} $1 > 65535
      MessageBox MB_ICONSTOP "/PORT= braucht eine Zahl von 1 bis 65535: $Port" /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.CloseRunningClient
  DeleteRegValue HKLM "${RUN_KEY}" "${PRODUCT}"
  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"
  Delete "$INSTDIR\velmora-client.exe"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; The settings the installer wrote; the key itself only if nothing else is in it.
  DeleteRegValue HKLM "${POLICY_KEY}" "Host"
  DeleteRegValue HKLM "${POLICY_KEY}" "Port"
  DeleteRegKey /ifempty HKLM "${POLICY_KEY}"
SectionEnd
