; The Varlo installer and its uninstaller (x64): the panel, the driver package installed through
; SetupAPI by varlosetup.exe (kernel driver, user-mode MIDI driver and its registration), a
; Start-menu entry and the entry in the system's list of installed programs.
;   makensis -DPACKAGE=DIR -DOUTFILE=FILE [-DSIGN=COMMAND] varlo.nsi
; DIR holds the package's files; SIGN, when given, signs the installer and the uninstaller
; (called with the file's path appended).
Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
!include LogicLib.nsh
!include WinMessages.nsh

!define PRODUCT "Korvane Varlo"
!define VERSION "1.0.0.0"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\KorvaneVarlo"
!define MENU_FOLDER "$SMPROGRAMS\${PRODUCT}"
!define DEFAULT_DIR "$PROGRAMFILES64\Korvane\Varlo"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "${DEFAULT_DIR}"
RequestExecutionLevel admin
ShowInstDetails show
VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "Korvane"
VIAddVersionKey "FileDescription" "${PRODUCT} setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Korvane"
!ifdef SIGN
!finalize '${SIGN} "%1"' = 0
!uninstfinalize '${SIGN} "%1"' = 0
!endif

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; Administrator rights, checked first: the manifest asks for them, but where the system does not
; elevate (user account control off, a standard user) the program would start without them.
!macro RequireAdmin
    UserInfo::GetAccountType
    Pop $0
    ${If} $0 != "Admin"
        MessageBox MB_ICONSTOP "Installing or removing the Varlo driver needs administrator \
            rights: run this program as administrator." /SD IDOK
        SetErrorLevel 740 ; ERROR_ELEVATION_REQUIRED
        Quit
    ${EndIf}
!macroend
Function .onInit
    !insertmacro RequireAdmin
FunctionEnd
Function un.onInit
    !insertmacro RequireAdmin
FunctionEnd

; The installed files, the uninstaller's included: removed by the uninstaller, and by the installer
; when a first installation fails.
!macro RemoveFiles
    Delete "${MENU_FOLDER}\Varlo Timecode Panel.lnk"
    RMDir "${MENU_FOLDER}"
    Delete "$INSTDIR\driver\VARLO2K.inf"
    Delete "$INSTDIR\driver\VARLO2K.sys"
    Delete "$INSTDIR\driver\varlomid.drv"
    RMDir "$INSTDIR\driver"
    Delete /REBOOTOK "$INSTDIR\VARLOCTL.exe"
    Delete "$INSTDIR\varlosetup.exe"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\VarloTest.cer"
    Delete "$INSTDIR\uninstall.exe"
    RMDir /REBOOTOK "$INSTDIR"
    ; The maker's folder, only when it is the default one's: a folder chosen by the user may hold
    ; other things or have been there before (after the folder itself, at the next restart).
    ${If} "$INSTDIR" == "${DEFAULT_DIR}"
        ${If} ${FileExists} "$INSTDIR\*.*"
            RMDir /REBOOTOK "$INSTDIR\.."
        ${Else}
            RMDir "$INSTDIR\.."
        ${EndIf}
    ${EndIf}
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
!macroend

Section "Varlo"
    SetShellVarContext all
    ; A first installation that fails is undone; a repair that fails keeps the installation.
    ReadRegStr $3 HKLM "${UNINSTALL_KEY}" "UninstallString"
    SetOutPath "$INSTDIR"
    File "${PACKAGE}\VARLOCTL.exe"
    File "${PACKAGE}\varlosetup.exe"
    File "${PACKAGE}\README.txt"
    File "${PACKAGE}\VarloTest.cer"
    SetOutPath "$INSTDIR\driver"
    File "${PACKAGE}\VARLO2K.inf"
    File "${PACKAGE}\VARLO2K.sys"
    File "${PACKAGE}\varlomid.drv"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Korvane"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\VARLOCTL.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

    DetailPrint "Installing the driver package"
    nsExec::ExecToLog '"$INSTDIR\varlosetup.exe" install "$INSTDIR\driver"'
    Pop $0
    ${If} $0 != 0
        ${If} $3 == ""
            SetOutPath "$TEMP" ; the installer's working folder cannot be removed
            nsExec::ExecToLog '"$INSTDIR\varlosetup.exe" remove'
            Pop $1
            !insertmacro RemoveFiles
        ${EndIf}
        MessageBox MB_ICONSTOP "The driver could not be installed (varlosetup: $0).$\r$\n\
            The details list says why. Test-signed drivers need test-signing mode; see \
            README.txt." /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}

    CreateDirectory "${MENU_FOLDER}"
    CreateShortcut "${MENU_FOLDER}\Varlo Timecode Panel.lnk" "$INSTDIR\VARLOCTL.exe"
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    ; Running panels are closed first (a panel stores its settings as it closes) and their program
    ; goes once they have ended; one that does not end keeps it until the next restart.
    StrCpy $1 0
    ${Do}
        StrCpy $2 0
        ${Do} ; every panel: one that does not answer must not hide the others
            FindWindow $2 "VarloCtlClass" "" 0 $2
            ${If} $2 = 0
                ${Break}
            ${EndIf}
            SendMessage $2 ${WM_CLOSE} 0 0 /TIMEOUT=500
        ${Loop}
        Delete "$INSTDIR\VARLOCTL.exe"
        ${IfNot} ${FileExists} "$INSTDIR\VARLOCTL.exe"
            ${Break}
        ${EndIf}
        Sleep 100
        IntOp $1 $1 + 1
    ${LoopUntil} $1 >= 50
    DetailPrint "Removing the driver package"
    ; The uninstaller carries its own copy of the helper: the installed one may be gone already.
    InitPluginsDir
    File "/oname=$PLUGINSDIR\varlosetup.exe" "${PACKAGE}\varlosetup.exe"
    nsExec::ExecToLog '"$PLUGINSDIR\varlosetup.exe" remove'
    Pop $0
    ${If} $0 != 0
        ; The uninstaller and its entry stay, so that it can be run again once the cause is gone.
        MessageBox MB_ICONEXCLAMATION "Part of the driver package could not be removed \
            (varlosetup: $0).$\r$\nThe details list says why; run the uninstaller again once \
            that is mended." /SD IDOK
        SetErrorLevel 2
        Abort
    ${EndIf}
    !insertmacro RemoveFiles
    ; The panel's settings of the user who uninstalls.
    DeleteRegKey HKCU "Software\Korvane\VARLOCTL"
    DeleteRegKey /ifempty HKCU "Software\Korvane"
SectionEnd
