; Quillforth's installer for one architecture, built by CMake with the project's version:
;     makensis -DQF_VERSION=VERSION -DQF_ARCH=x86_64|i686 -DQF_EXE=Quillforth.exe
;              -DQF_HELPER=QuillforthSetupHelper.exe -DQF_README=Readme.txt -DQF_ICON=quillforth.ico
;              -DQF_OUTFILE=Quillforth-VERSION-setup.exe quillforth.nsi
; Both the installer and its uninstaller run silently with /S.

!if "${QF_ARCH}" == "x86_64"
    Target amd64-unicode
    !define QF_BITS "64-bit"
    !define QF_PROGRAM_FILES "$PROGRAMFILES64"
!else if "${QF_ARCH}" == "i686"
    Target x86-unicode
    !define QF_BITS "32-bit"
    !define QF_PROGRAM_FILES "$PROGRAMFILES"
!else
    !error "QF_ARCH must be x86_64 or i686"
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

; The registry view is the installer's own: the 64-bit one for the 64-bit program, the 32-bit one
; (WOW6432Node on 64-bit Windows) for the 32-bit program, as each program sees it.
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillforth"
!define RUN_KEY "SOFTWARE\Microsoft\Windows\CurrentVersion\Run"
; The per-user profile: the window layouts and an older version's record of the adapters'
; servers.
!define PROFILE_KEY "Software\Veltmark\Quillforth"
; The machine's record of the takeover in effect, one subkey per adapter that the helper's restore
; has not put back yet.
!define MACHINE_RECORD_KEY "Software\Veltmark\Quillforth\DnsServers"
!define HELPER "QuillforthSetupHelper.exe"
!define SHORTCUT "$SMPROGRAMS\Quillforth.lnk"

Name "Quillforth ${QF_VERSION} (${QF_BITS})"
OutFile "${QF_OUTFILE}"
InstallDir "${QF_PROGRAM_FILES}\Quillforth"
; An upgrade goes where the installed copy is.
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
BrandingText "Veltmark Quillforth ${QF_VERSION}"
ShowInstDetails show
ShowUninstDetails show

!define MUI_ICON "${QF_ICON}"
!define MUI_UNICON "${QF_ICON}"
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "Setup will install Quillforth ${QF_VERSION}, a DNS proxy with a \
    persistent domain cache, on this computer.$\r$\n$\r$\nWhile it runs, Quillforth points the DNS \
    server of every network adapter at 127.0.0.1 and stops the DNS Client service. It puts both \
    back when you stop it or exit it from its tray icon, and uninstalling it puts them back \
    too.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN "$INSTDIR\Quillforth.exe"
!define MUI_FINISHPAGE_RUN_TEXT "&Start Quillforth now"
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
; The log says what the uninstaller put back; it stays on show until the user closes it.
!define MUI_UNFINISHPAGE_NOAUTOCLOSE
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

VIProductVersion "${QF_VERSION}.0.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "Quillforth"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "Veltmark"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" \
    "Quillforth ${QF_VERSION} (${QF_BITS}) Setup"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${QF_VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${QF_VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright (C) 2009 Veltmark"

; The program rewrites every adapter's DNS servers and stops a system service: without
; administrator rights neither it nor its uninstaller could put them back.
!macro REQUIRE_ADMINISTRATOR
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        MessageBox MB_OK|MB_ICONSTOP "Quillforth changes the DNS servers of the network adapters \
            and controls the DNS Client service: installing and uninstalling it take \
            administrator rights." /SD IDOK
        SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
        Quit
    ${EndIf}
!macroend

Function .onInit
    !insertmacro REQUIRE_ADMINISTRATOR
FunctionEnd

Function un.onInit
    !insertmacro REQUIRE_ADMINISTRATOR
FunctionEnd

; Asks a running Quillforth to exit as its tray's Exit does, so that it puts the adapters back and
; saves its cache, and waits for it; the helper must be in $PLUGINSDIR. A copy that does not exit,
; or runs in another user's session, ends the setup: its files could not be replaced or removed,
; and a restore behind its back would undo its takeover while it still serves.
!macro DEFINE_CLOSE_RUNNING_COPIES un
Function ${un}CloseRunningCopies
    retry:
    DetailPrint "Asking a running Quillforth to exit..."
    nsExec::ExecToLog '"$PLUGINSDIR\${HELPER}" close'
    Pop $0
    ${If} $0 != 0
        MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "Quillforth is still running, here or in \
            another user's session, and did not exit when asked. Exit it from its tray icon, then \
            choose Retry." /SD IDCANCEL IDRETRY retry
        Abort "Quillforth is still running."
    ${EndIf}
FunctionEnd
!macroend
!insertmacro DEFINE_CLOSE_RUNNING_COPIES ""
!insertmacro DEFINE_CLOSE_RUNNING_COPIES "un."

!macro EXTRACT_HELPER
    InitPluginsDir
    File "/oname=$PLUGINSDIR\${HELPER}" "${QF_HELPER}"
!macroend

; The program needs administrator rights: its shortcut asks for them. That is bit 0x2000
; (RunAsUser) of the link flags, the 32-bit word at offset 0x14 of every shortcut file.
Function MarkRunAsAdministrator
    Exch $0
    Push $1
    Push $2
    ClearErrors
    FileOpen $1 $0 a
    ${IfNot} ${Errors}
        FileSeek $1 0x15 SET
        FileReadByte $1 $2
        IntOp $2 $2 | 0x20
        FileSeek $1 0x15 SET
        FileWriteByte $1 $2
        FileClose $1
    ${EndIf}
    Pop $2
    Pop $1
    Pop $0
FunctionEnd

Function RegisterUninstaller
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quillforth"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${QF_VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Veltmark"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Quillforth.exe,0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0
FunctionEnd

; An upgrade replaces the program and leaves its cache and settings beside it alone.
Section "Quillforth"
    !insertmacro EXTRACT_HELPER
    Call CloseRunningCopies
    SetOutPath "$INSTDIR"
    File "/oname=Quillforth.exe" "${QF_EXE}"
    File "/oname=Readme.txt" "${QF_README}"
    WriteUninstaller "$INSTDIR\Uninstall.exe"
    SetShellVarContext all
    CreateShortcut "${SHORTCUT}" "$INSTDIR\Quillforth.exe"
    Push "${SHORTCUT}"
    Call MarkRunAsAdministrator
    Call RegisterUninstaller
SectionEnd

; The cache and the settings stay unless the user lets them go; a silent uninstall keeps them.
; They are beside the program, or, for a user who could not write there, in that user's local
; application data folder (the uninstalling user's is the one within reach).
!define LOCAL_DATA "$LOCALAPPDATA\Quillforth"
Function un.RemoveCacheAndSettingsUnlessKept
    ${If} ${FileExists} "$INSTDIR\DnsItem.csv"
    ${OrIf} ${FileExists} "$INSTDIR\Quillforth.ini"
    ${OrIf} ${FileExists} "${LOCAL_DATA}\*.*"
        MessageBox MB_YESNO|MB_ICONQUESTION "Keep Quillforth's DNS cache (DnsItem.csv) and its \
            settings for a later installation?" /SD IDYES IDYES keep
    ${EndIf}
    Delete "$INSTDIR\DnsItem.csv"
    Delete "$INSTDIR\Quillforth.ini"
    RMDir /r "${LOCAL_DATA}"
    DeleteRegKey HKCU "${PROFILE_KEY}"
    DeleteRegKey /ifempty HKCU "Software\Veltmark"
    keep:
FunctionEnd

Section "Uninstall"
    !insertmacro EXTRACT_HELPER
    Call un.CloseRunningCopies
    ; Every user's "Start at login" (an upgrade keeps them: they name the same path).
    nsExec::ExecToLog '"$PLUGINSDIR\${HELPER}" remove-tasks'
    Pop $0
    ; A copy that crashed or was ended by force left the adapters pointing at a proxy that no
    ; longer runs: without this no name would resolve any more.
    DetailPrint "Checking the network adapters' DNS servers..."
    nsExec::ExecToLog '"$PLUGINSDIR\${HELPER}" restore'
    Pop $0
    ; Only when empty: the record of an adapter absent now lets a later copy put it back.
    DeleteRegKey /ifempty HKLM "${MACHINE_RECORD_KEY}"
    DeleteRegKey /ifempty HKLM "Software\Veltmark\Quillforth"
    DeleteRegKey /ifempty HKLM "Software\Veltmark"

    Delete "$INSTDIR\Quillforth.exe"
    Delete "$INSTDIR\Readme.txt"
    Delete "$INSTDIR\Uninstall.exe"
    ; What a save of the cache that never finished leaves behind.
    Delete "$INSTDIR\DnsItem.csv.tmp"
    Call un.RemoveCacheAndSettingsUnlessKept
    ; Only when empty: the folder may hold the kept cache and settings, or the user's own files.
    RMDir "$INSTDIR"

    SetShellVarContext all
    Delete "${SHORTCUT}"
    ; Where older versions started at login.
    DeleteRegValue HKLM "${RUN_KEY}" "Quillforth"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
