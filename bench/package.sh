# The benchmarks' packages, made with wixl in the current folder: an incompressible payload stored
# as a Binary stream, and a launch condition; with a false one msiexec stops with 1603 right after
# opening the package. Sourced by run.sh and pack.sh.
package() { # NAME PAYLOAD_MB PRODUCT_CODE CONDITION
    [ -f "$1.msi" ] && return
    head -c "$(($2 * 1024 * 1024))" /dev/urandom > "$1.bin"
    printf 'Tervo benchmark\n' > readme.txt
    cat > "$1.wxs" <<WXS
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="$3" Name="Tervo Bench $1" Language="1033" Version="1.0.0" Manufacturer="Tervo Bench"
           UpgradeCode="{7D1C0B2A-3E4F-4A5B-8C6D-0F1E2D3C4B5A}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="c.cab" EmbedCab="yes"/>
    <Binary Id="Payload" SourceFile="$1.bin"/>
    <Condition Message="Benchmark package">$4</Condition>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="INSTALLDIR" Name="Tervo Bench $1">
          <Component Id="C" Guid="{7D1C0B2A-3E4F-4A5B-8C6D-0F1E2D3C4B5B}" Win64="yes">
            <File Id="F" Name="readme.txt" Source="readme.txt" KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="C"/></Feature>
  </Product>
</Wix>
WXS
    wixl -a x64 -o "$1.msi" "$1.wxs" 2>/dev/null
    rm -f "$1.bin"
}
