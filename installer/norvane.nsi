; The Norvane installer: the hub, the plug-ins that ship with it and the
; plug-in guide under Program Files, a Start-menu folder, an optional entry
; that starts the hub at logon, and an uninstaller.
;
; Built on Linux by makensis (installer/CMakeLists.txt, scripts/package); the
; build passes the files in with -D, so this script names no build layout.
;
; A running hub holds norvane.exe and its plug-in DLLs open, so the installer
; and the uninstaller first ask it to close (WM_CLOSE to its window, as the
; tray's Exit does) and wait until it has gone, rather than replace files
; under it. The operator's settings (HKCU\Software\Tarnwick\Norvane: paired
; handhelds, options) belong to the user and survive an uninstall, so a
; reinstall finds them again.

Unicode true
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh
!include WinMessages.nsh

!ifndef NORVANE_EXE | SLIDES_DLL | ECHO_DLL | SDK_DIR | OUT_FILE
  !error "build with -DNORVANE_EXE=... -DSLIDES_DLL=... -DECHO_DLL=... -DSDK_DIR=... -DOUT_FILE=..."
!endif

!define PRODUCT "Norvane"
!define HUB_TITLE "Norvane Main Frame"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Norvane"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define HUB_CLOSE_WAIT 120  ; quarter seconds: the hub gives each plug-in up to 5 s to end

Name "${PRODUCT}"
OutFile "${OUT_FILE}"
InstallDir "$PROGRAMFILES\${PRODUCT}"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show
BrandingText "${PRODUCT}"

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; --- a running hub ----------------------------------------------------------

!macro DEFINE_CLOSE_RUNNING_HUB un
; Closes a running hub and waits until it has let go of its files; aborts
; when it will not go and the user does not want to retry (silent: abort).
Function ${un}CloseRunningHub
  Push $0
  Push $1
  ${Do}
    FindWindow $0 "" "${HUB_TITLE}"
    ${If} $0 = 0
      ${Break}
    ${EndIf}
    DetailPrint "Closing the running ${PRODUCT}..."
    SendMessage $0 ${WM_CLOSE} 0 0 /TIMEOUT=2000
    StrCpy $1 0
    ${Do}
      FindWindow $0 "" "${HUB_TITLE}"
      ${If} $0 = 0
      ${OrIf} $1 >= ${HUB_CLOSE_WAIT}
        ${Break}
      ${EndIf}
      Sleep 250
      IntOp $1 $1 + 1
    ${Loop}
    ${If} $0 <> 0
      ${If} ${Cmd} `MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${PRODUCT} is still running, and its files cannot be replaced while it runs.$\r$\nClose it from its tray icon, then press Retry." /SD IDCANCEL IDCANCEL`
        Abort "${PRODUCT} is still running."
      ${EndIf}
    ${EndIf}
  ${Loop}
  ; The window goes a moment before the process lets go of its executable.
  ${If} ${FileExists} "$INSTDIR\norvane.exe"
    StrCpy $1 0
    ${Do}
      ClearErrors
      FileOpen $0 "$INSTDIR\norvane.exe" a
      ${IfNot} ${Errors}
        FileClose $0
        ${Break}
      ${EndIf}
      ${If} $1 >= 40
        ${Break}
      ${EndIf}
      Sleep 250
      IntOp $1 $1 + 1
    ${Loop}
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd
!macroend
!insertmacro DEFINE_CLOSE_RUNNING_HUB ""
!insertmacro DEFINE_CLOSE_RUNNING_HUB "un."

; --- install ----------------------------------------------------------------

Section "${PRODUCT} hub and plug-ins" SecHub
  SectionIn RO
  SetShellVarContext all
  Call CloseRunningHub

  SetOutPath "$INSTDIR"
  File "/oname=norvane.exe" "${NORVANE_EXE}"
  ; The hub loads every DLL beside it at start-up: these are its plug-ins.
  File "/oname=slides.dll" "${SLIDES_DLL}"
  File "/oname=EchoPlugin.dll" "${ECHO_DLL}"
  SetOutPath "$INSTDIR\sdk"
  File "/oname=README.md" "${SDK_DIR}/README.md"
  File "/oname=norvane_plugin.h" "${SDK_DIR}/norvane_plugin.h"
  SetOutPath "$INSTDIR\sdk\samples"
  File "/oname=echo_plugin.c" "${SDK_DIR}/samples/echo_plugin.c"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  CreateDirectory "$SMPROGRAMS\${PRODUCT}"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\norvane.exe"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Plug-in guide.lnk" "$INSTDIR\sdk\README.md"
  CreateShortcut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Tarnwick"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\norvane.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

; The Run value lives in the installing user's HKCU: the hub is a tray
; program of that user, with that user's settings.
Section "Start ${PRODUCT} when I log on" SecLogon
  WriteRegStr HKCU "${RUN_KEY}" "${PRODUCT}" '"$INSTDIR\norvane.exe"'
SectionEnd

; Untick the logon entry on a reinstall and it goes, but only if it is ours.
Section "-logon cleanup"
  ${IfNot} ${SectionIsSelected} ${SecLogon}
    Call RemoveOurRunValue
  ${EndIf}
SectionEnd

!macro DEFINE_REMOVE_RUN_VALUE un
Function ${un}RemoveOurRunValue
  Push $0
  ReadRegStr $0 HKCU "${RUN_KEY}" "${PRODUCT}"
  ${If} $0 == '"$INSTDIR\norvane.exe"'
    DeleteRegValue HKCU "${RUN_KEY}" "${PRODUCT}"
  ${EndIf}
  Pop $0
FunctionEnd
!macroend
!insertmacro DEFINE_REMOVE_RUN_VALUE ""
!insertmacro DEFINE_REMOVE_RUN_VALUE "un."

; /NOLOGON leaves the logon entry out of a silent install.
Function .onInit
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/NOLOGON" $1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecLogon}
  ${EndIf}
FunctionEnd

; --- uninstall --------------------------------------------------------------

Section "Uninstall"
  SetShellVarContext all
  Call un.CloseRunningHub

  Delete "$INSTDIR\norvane.exe"
  Delete "$INSTDIR\slides.dll"
  Delete "$INSTDIR\EchoPlugin.dll"
  Delete "$INSTDIR\sdk\samples\echo_plugin.c"
  Delete "$INSTDIR\sdk\norvane_plugin.h"
  Delete "$INSTDIR\sdk\README.md"
  RMDir "$INSTDIR\sdk\samples"
  RMDir "$INSTDIR\sdk"
  Delete "$INSTDIR\uninstall.exe"
  ; Not /r: traffic logs and anything else the user put here stay.
  RMDir "$INSTDIR"

  Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Plug-in guide.lnk"
  Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
  RMDir "$SMPROGRAMS\${PRODUCT}"

  Call un.RemoveOurRunValue
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
