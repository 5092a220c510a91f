#!/bin/bash
# Makes the MSI from a wixl source in the folder that holds its files (the
# program, the README, the license): signs the program first when asked,
# compiles with wixl, says with msibuild what wixl can't, and signs the MSI.
#   makemsi.sh WXS OUT [P12 PASSWORDFILE [TIMESTAMPURL]]
# What wixl can't say: the File table's version of the program (before wixl
# 0.102), and that a rebuild of the same version replaces what is installed
# (the upgrade's VersionMax inclusive; AllowSameVersionUpgrades in WiX).
set -euo pipefail
wxs=$1 out=$2 p12=${3:-} passwordfile=${4:-} timestamp=${5:-}
cd "$(dirname "$wxs")"
sign() { # FILE: signed in place
    local extra=()
    [ -z "$timestamp" ] || extra=(-ts "$timestamp")
    osslsigncode sign -pkcs12 "$p12" -readpass "$passwordfile" -n usermail -h sha256 "${extra[@]}" \
        -in "$1" -out "$1.signed" >/dev/null
    mv -f "$1.signed" "$1"
}
[ -z "$p12" ] || sign usermail.exe
wixl -a x64 -o "$out" "$(basename "$wxs")"
properties=$(msiinfo export "$out" Property | tr -d '\r')
version=$(sed -n 's/^ProductVersion\t//p' <<<"$properties")
upgradecode=$(sed -n 's/^UpgradeCode\t//p' <<<"$properties")
msibuild "$out" -q "UPDATE \`File\` SET \`Version\` = '$version.0' WHERE \`File\` = 'usermail.exe'" \
    -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
    -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgradecode', '$version', 513, 'WIX_UPGRADE_DETECTED')"
[ -z "$p12" ] || sign "$out"
