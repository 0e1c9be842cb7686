; The Windows installer: one 32-bit installer for 32- and 64-bit Windows, which puts the 64-bit
; program on a 64-bit Windows. Built by scripts/package, which passes
;   VERSION     the CMake project version (x.y.z)
;   EXE_I686    build/win-i686/src/cli/flashwell.exe
;   EXE_X86_64  build/win-x86_64/src/cli/flashwell.exe
;   SRCDIR      the repository, for the INF and the documents
;   OUTFILE     the installer to write
; and, only to try the installer under a wine without 32-bit support, CHECK_AMD64, which makes
; the same installer a 64-bit program.
; Silent: flashwell-setup.exe /S [/D=folder]; the uninstaller: uninstall.exe /S.

!ifndef VERSION | EXE_I686 | EXE_X86_64 | SRCDIR | OUTFILE
    !error "run through scripts/package, which passes VERSION, EXE_I686, EXE_X86_64, SRCDIR and OUTFILE"
!endif

Unicode true
!ifdef CHECK_AMD64
    Target amd64-unicode
    ; A 64-bit program always runs on a 64-bit Windows: the 32-bit branches go unused.
    !pragma warning disable 6012
!endif
SetCompressor /SOLID lzma

!include LogicLib.nsh
!include x64.nsh

!define PRODUCT "Flashwell"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Flashwell"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES\${PRODUCT}"
RequestExecutionLevel admin
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} installer"
VIAddVersionKey /LANG=0 "LegalCopyright" "Seed 776dff51 maintainers"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; A 32-bit installer sees the 32-bit registry and program folder unless told otherwise; the
; uninstall entry and the program must be where a 64-bit Windows keeps 64-bit programs.
!macro UseNativeView
    ${If} ${RunningX64}
        SetRegView 64
    ${EndIf}
    SetShellVarContext all
!macroend

Function .onInit
    !insertmacro UseNativeView
    ; Only the default moves: a folder given with /D= stays as given.
    ${If} ${RunningX64}
    ${AndIf} $INSTDIR == "$PROGRAMFILES\${PRODUCT}"
        StrCpy $INSTDIR "$PROGRAMFILES64\${PRODUCT}"
    ${EndIf}
FunctionEnd

Function un.onInit
    !insertmacro UseNativeView
FunctionEnd

Section "Flashwell"
    SetOutPath "$INSTDIR"
    ${If} ${RunningX64}
        File "/oname=flashwell.exe" "${EXE_X86_64}"
    ${Else}
        File "/oname=flashwell.exe" "${EXE_I686}"
    ${EndIf}
    File "${SRCDIR}\packaging\windows\flashwell-winusb.inf"
    File "${SRCDIR}\README.md"
    File "${SRCDIR}\CHANGELOG.md"
!if /FileExists "${SRCDIR}\LICENSE"
    File "${SRCDIR}\LICENSE"
!endif
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateDirectory "$SMPROGRAMS\${PRODUCT}"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk" "$INSTDIR\flashwell.exe"
    CreateShortCut "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk" "$INSTDIR\uninstall.exe"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\flashwell.exe"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
    Delete "$INSTDIR\flashwell.exe"
    Delete "$INSTDIR\flashwell-winusb.inf"
    Delete "$INSTDIR\README.md"
    Delete "$INSTDIR\CHANGELOG.md"
!if /FileExists "${SRCDIR}\LICENSE"
    Delete "$INSTDIR\LICENSE"
!endif
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"

    Delete "$SMPROGRAMS\${PRODUCT}\${PRODUCT}.lnk"
    Delete "$SMPROGRAMS\${PRODUCT}\Uninstall ${PRODUCT}.lnk"
    RMDir "$SMPROGRAMS\${PRODUCT}"

    DeleteRegKey HKLM "${UNINSTALL_KEY}"

    ; The backups are the boards' calibration data: they outlive the program. The data folder
    ; belongs to each user, so the path is read in the user's context.
    SetShellVarContext current
    MessageBox MB_OK|MB_ICONINFORMATION \
        "${PRODUCT} is removed. Your data folder $LOCALAPPDATA\${PRODUCT} (%LOCALAPPDATA%\${PRODUCT}), with the backups of the boards' parameter blocks and the run log, stays; delete it yourself once you no longer need the backups." \
        /SD IDOK
    SetShellVarContext all
SectionEnd
