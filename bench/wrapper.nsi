; An NSIS wrapper that runs one Windows Installer package, the way packaging engineers script it:
; the package extracted into the plug-ins directory, msiexec run with the wrapper's own parameters,
; its exit code passed on.
; Built by bench/run.sh: makensis -DOUT=<exe> -DCOMPRESSION=stored|zlib|lzma -DCRC=on|off -DPACKAGE=<msi>
Unicode true
Target amd64-unicode
RequestExecutionLevel user
SilentInstall silent
Name "Tervo benchmark wrapper"
OutFile "${OUT}"
!if "${COMPRESSION}" == "stored"
SetCompress off
!else
SetCompressor ${COMPRESSION}
!endif
CRCCheck ${CRC}
!include FileFunc.nsh

Section
    InitPluginsDir
    SetOutPath "$PLUGINSDIR"
    File "/oname=main.msi" "${PACKAGE}"
    ${GetParameters} $R0
    ExecWait '"$SYSDIR\msiexec.exe" /i "$PLUGINSDIR\main.msi" $R0' $0
    SetErrorLevel $0
SectionEnd
