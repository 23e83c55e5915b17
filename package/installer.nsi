; kelvor's installer for one user, without administrator rights. One script for both
; architectures: the build (cmake/installer.cmake) passes what differs between them.
;
;   makensis -DVERSION=0.05 -DVERSION_NUMBERS=0.5.0.0 -DTARGET=amd64-unicode -DARCH=x64
;            -DOUTFILE=... -DKELVOR_EXE=... -DPOLIPO_EXE=... -DPOLIPO_LICENCE=... -DCONFIG=...
;            -DREADME=... -DCLOSER=... -DICON=... installer.nsi
Unicode true
Target ${TARGET}
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestDPIAware true

!include MUI2.nsh
!include LogicLib.nsh
!include nsDialogs.nsh
!include WinCore.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kelvor"
; Where "Start with Windows" keeps the value that starts kelvor.
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define PUBLISHER "the kelvor developers"
!define /ifndef FILE_ATTRIBUTE_REPARSE_POINT 0x400

Name "kelvor"
Caption "kelvor ${VERSION} Setup"
OutFile "${OUTFILE}"
; A reinstall or an upgrade goes where the last install went; /D= still wins.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
; A file that cannot be replaced stops the install rather than leaving an old one beside new ones.
AllowSkipFiles off
BrandingText "kelvor ${VERSION} (${ARCH})"

VIProductVersion ${VERSION_NUMBERS}
VIAddVersionKey ProductName "kelvor"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey FileDescription "kelvor ${VERSION} setup (${ARCH})"
VIAddVersionKey CompanyName "${PUBLISHER}"
VIAddVersionKey LegalCopyright "Copyright (C) 2026 ${PUBLISHER}"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"

Var WasRunning      ; 1 when a kelvor of the folder ran before the install
Var RemoveDataBox
Var RemoveData      ; the box "Also remove the cache and settings", never ticked when silent

!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\kelvor.exe"
!define MUI_FINISHPAGE_RUN_TEXT "Start kelvor"
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishShow
!insertmacro MUI_PAGE_FINISH

UninstPage custom un.RemovePage un.RemovePageLeave
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

Function .onInit
  ${If} $INSTDIR == ""
    ; The user's own program files folder, where Windows has one (7 and later).
    GetKnownFolderPath $INSTDIR ${FOLDERID_UserProgramFiles}
    ${If} $INSTDIR == ""
      StrCpy $INSTDIR "$LOCALAPPDATA\Programs"
    ${EndIf}
    StrCpy $INSTDIR "$INSTDIR\kelvor"
  ${EndIf}
FunctionEnd

; Ends the running kelvor of $INSTDIR and its proxy, as Exit would, before anything there is
; replaced or removed; close-kelvor.exe tells a kelvor of this folder from any other. $0 is 1
; when a kelvor ran. Stops the whole run, changing nothing, when something could not be ended.
!macro CLOSE_RUNNING_KELVOR UN
Function ${UN}CloseRunningKelvor
  InitPluginsDir
  File "/oname=$PLUGINSDIR\close-kelvor.exe" "${CLOSER}"
  DetailPrint "Closing kelvor in $INSTDIR"
  ClearErrors
  ExecWait '"$PLUGINSDIR\close-kelvor.exe" "$INSTDIR"' $0
  ${If} ${Errors}
  ${OrIf} $0 = 2
    MessageBox MB_OK|MB_ICONSTOP "kelvor in $INSTDIR could not be closed, so nothing was changed. Choose Exit in kelvor's menu, then try again." /SD IDOK
    Abort
  ${EndIf}
FunctionEnd
!macroend
!insertmacro CLOSE_RUNNING_KELVOR ""
!insertmacro CLOSE_RUNNING_KELVOR "un."

Section "kelvor" SecMain
  SectionIn RO
  Call CloseRunningKelvor
  StrCpy $WasRunning $0
  SetOutPath "$INSTDIR"
  File "/oname=kelvor.exe" "${KELVOR_EXE}"
  File "/oname=polipo.exe" "${POLIPO_EXE}"
  File "/oname=polipo-COPYING.txt" "${POLIPO_LICENCE}"
  File "/oname=readme.txt" "${README}"
  ; The proxy's settings are the user's once there: an upgrade keeps what they made of them.
  SetOverwrite off
  File "/oname=config" "${CONFIG}"
  SetOverwrite on
  WriteUninstaller "$INSTDIR\uninstall.exe"
  CreateShortcut "$SMPROGRAMS\kelvor.lnk" "$INSTDIR\kelvor.exe"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "kelvor"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\kelvor.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  SectionGetSize ${SecMain} $0
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; The program the user had running runs again, silent install or not.
  ${If} $WasRunning = 1
    Exec '"$INSTDIR\kelvor.exe"'
  ${EndIf}
SectionEnd

; A failed install (a file that could not be written, say) leaves the user's kelvor running
; again if it ran and is still there to run.
Function .onInstFailed
  ${If} $WasRunning = 1
  ${AndIf} ${FileExists} "$INSTDIR\kelvor.exe"
    Exec '"$INSTDIR\kelvor.exe"'
  ${EndIf}
FunctionEnd

Function FinishShow
  ; kelvor runs again already: a second one would only be refused.
  ${If} $WasRunning = 1
    SendMessage $mui.FinishPage.Run ${BM_SETCHECK} ${BST_UNCHECKED} 0
    ShowWindow $mui.FinishPage.Run ${SW_HIDE}
  ${EndIf}
FunctionEnd

Function un.RemovePage
  !insertmacro MUI_HEADER_TEXT "Uninstall kelvor" "Remove kelvor from $INSTDIR."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 56u "kelvor is closed if it runs and removed from $INSTDIR with its Start menu entry. Your own proxy settings are left as they were before kelvor changed them.$\r$\n$\r$\nkelvor's settings (kelvor.ini and the proxy's config) and the cache folder beside kelvor.exe stay for a later install, unless you tick the box below. A cache folder chosen elsewhere in Settings always stays."
  Pop $0
  ${NSD_CreateCheckbox} 0 64u 100% 12u "Also remove the cache and settings"
  Pop $RemoveDataBox
  nsDialogs::Show
FunctionEnd

Function un.RemovePageLeave
  ${NSD_GetState} $RemoveDataBox $RemoveData
FunctionEnd

; $0: 1 when the file at $1 is the file at $2, compared by short names, which also makes case
; and long or short spelling alike; a file that is not there matches nothing.
Function un.SameFile
  GetFullPathName /SHORT $1 $1
  GetFullPathName /SHORT $2 $2
  StrCpy $0 0
  ${If} $1 != ""
  ${AndIf} $1 == $2
    StrCpy $0 1
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.CloseRunningKelvor
  ; A kelvor ended from outside left the user's own proxy settings saved beside it, and the
  ; system pointed at a proxy that is about to go: kelvor gives them back. If it cannot, the
  ; folder stays, and with it the only copy of them.
  ${If} ${FileExists} "$INSTDIR\proxy-restore.ini"
    ClearErrors
    ExecWait '"$INSTDIR\kelvor.exe" /restore-proxy-settings' $0
    ${If} ${Errors}
    ${OrIf} $0 <> 0
      MessageBox MB_OK|MB_ICONSTOP "Your own proxy settings, saved in $INSTDIR\proxy-restore.ini, could not be put back, so kelvor was not removed. Start kelvor, choose Exit in its menu, then uninstall again." /SD IDOK
      Abort
    ${EndIf}
  ${EndIf}

  ; "Start with Windows" of this copy; a value that starts another copy stays.
  ReadRegStr $1 HKCU "${RUN_KEY}" "kelvor"
  StrCpy $3 $1 1
  StrCpy $4 $1 1 -1
  ${If} $3 == '"'
  ${AndIf} $4 == '"'
    StrCpy $1 $1 -1 1
  ${EndIf}
  StrCpy $2 "$INSTDIR\kelvor.exe"
  Call un.SameFile
  ${If} $0 = 1
    DeleteRegValue HKCU "${RUN_KEY}" "kelvor"
  ${EndIf}

  ; The entry and the shortcut are those of the last install, which may have gone elsewhere.
  ReadRegStr $1 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  StrCpy $2 "$INSTDIR"
  Call un.SameFile
  ${If} $0 = 1
    Delete "$SMPROGRAMS\kelvor.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ${EndIf}

  Delete "$INSTDIR\kelvor.exe"
  Delete "$INSTDIR\polipo.exe"
  Delete "$INSTDIR\polipo-COPYING.txt"
  Delete "$INSTDIR\readme.txt"
  Delete "$INSTDIR\polipo.log"
  Delete "$INSTDIR\polipo.log.old"
  Delete "$INSTDIR\polipo-output.log"
  ${If} $RemoveData == ${BST_CHECKED}
    Delete "$INSTDIR\kelvor.ini"
    Delete "$INSTDIR\polipo.ini"
    Delete "$INSTDIR\config"
    ; A cache that is a junction or link is unlinked, never walked: it may lead anywhere.
    System::Call 'kernel32::GetFileAttributesW(w "$INSTDIR\cache") i .r0'
    ${If} $0 <> -1
      IntOp $0 $0 & ${FILE_ATTRIBUTE_REPARSE_POINT}
      ${If} $0 = 0
        RMDir /r "$INSTDIR\cache"
      ${Else}
        RMDir "$INSTDIR\cache"
      ${EndIf}
    ${EndIf}
  ${EndIf}
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
