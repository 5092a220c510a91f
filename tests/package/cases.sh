#!/bin/bash
# The program as it is installed: the man page, `cmake --install`, and the
# packages (the Debian package built from debian/, which lintian accepts
# whole, the Windows ZIP, and the MSI, installed, run and removed under Wine).
#   SOURCE  the source tree   BUILD  the build tree   VERSION  the version
#   msi: WINEPREFIX  the tests' prefix   DIRECTORY  the test directory's activeds.dll
# Usage: cases.sh man|install|deb|zip|msi
group=$1
. "$(dirname "$0")/../common.sh"
page=$BUILD/packaging/usermail.1

case $group in
man)
    # No groff warnings, and the same options as the README's table.
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$warnings" ] || fail "groff warns: $warnings"
    grep -q "usermail $VERSION" "$page" || fail "the man page doesn't carry version $VERSION"
    readme=$(grep -o '^| `-[a-z]`, `--[a-z]*`' "$SOURCE/README.md" | grep -o -- '--[a-z]*' | sort)
    manual=$(sed -n '/^\.SH OPTIONS/,/^\.SH/p' "$page" | grep -o '^\.BR \\-[a-z] ", " \\-\\-[a-z]*' |
        grep -o -- '-\\-[a-z]*' | tr -d '\\' | sort)
    [ -n "$readme" ] && [ "$readme" = "$manual" ] ||
        fail "the README's options <$(echo $readme)> and the man page's <$(echo $manual)> differ"
    # Every failure text the sources can raise is explained: the literals,
    # and the query's table of step phrases.
    diagnostics=$(sed -n '/^\.SH DIAGNOSTICS/,/^\.SH /p' "$page")
    texts=$({
        grep -rhoE '"unable to [a-zA-Z][^"(%<]*' "$SOURCE/src" | sed 's/^"//'
        grep -hoE '^ +"[^"]+", +// step::' "$SOURCE/src/directory/queryuser.cpp" | sed -E 's/^ +"([^"]+)".*/unable to \1/'
    } | sed 's/ *$//' | sort -u)
    [ "$(wc -l <<<"$texts")" -ge 10 ] || fail "too few failure texts found in the sources: <$texts>"
    while read -r text; do
        grep -qF "$text" <<<"$diagnostics" || fail "DIAGNOSTICS doesn't explain <$text>"
    done <<<"$texts"
    ;;
install)
    cmake --install "$BUILD" --prefix "$work/usr" >/dev/null || fail "cmake --install failed"
    for file in bin/usermail share/man/man1/usermail.1.gz share/doc/usermail/copyright share/doc/usermail/README.md; do
        [ -e "$work/usr/$file" ] || fail "cmake --install put no $file in place"
    done
    capture "$work/usr/bin/usermail" -s
    expect 0 user@example.com "the installed program"
    if command -v man >/dev/null; then
        man -l "$work/usr/share/man/man1/usermail.1.gz" 2>/dev/null | grep -q "EXIT STATUS" ||
            fail "man doesn't show the installed page"
    fi
    ;;
deb)
    # Built as Debian builds packages, from a copy of the source tree.
    mkdir -p "$work/src/usermail"
    tar -C "$SOURCE" --exclude=./build --exclude=./.git --exclude='./obj-*' -cf - . | tar -C "$work/src/usermail" -xf -
    (cd "$work/src/usermail" && dpkg-buildpackage -us -uc -b >"$work/build.log" 2>&1) ||
        { fail "dpkg-buildpackage failed: $(tail -n 20 "$work/build.log")"; finish; }
    deb=$work/src/usermail_${VERSION}_amd64.deb
    [ -e "$deb" ] || { fail "no $deb"; finish; }
    contents=$(dpkg-deb -c "$deb")
    for file in ./usr/bin/usermail ./usr/share/man/man1/usermail.1.gz ./usr/share/doc/usermail/copyright \
        ./usr/share/doc/usermail/changelog.gz ./usr/share/doc/usermail/README.md.gz; do
        [[ $contents == *" $file"* ]] || fail "the package holds no $file"
    done
    dpkg-deb -f "$deb" Depends | grep -q libldap || fail "Depends computed without libldap"
    dpkg-deb -f "$deb" Depends | grep -q libstdc++ || fail "the packaged program links the C++ runtime statically"
    dpkg-deb -f "$deb" Recommends | grep -q libsasl2-modules-gssapi || fail "no Recommends of the GSSAPI module"
    # Hardened as dpkg-buildflags asks: fortified, bound now, no .comment.
    dpkg-deb -x "$deb" "$work/root"
    program=$work/root/usr/bin/usermail
    readelf -d "$program" | grep -q BIND_NOW || fail "the program isn't linked with -z now"
    nm -D "$program" | grep -q '_chk@' || fail "the program calls no fortified function: no _FORTIFY_SOURCE?"
    readelf -S "$program" | grep -q '\.comment' && fail "the program keeps its .comment section"
    if command -v lintian >/dev/null; then
        tags=$(lintian -I --pedantic "$deb" 2>&1 | grep -v 'root privileges')
        [ -z "$tags" ] || fail "lintian: $tags"
    else
        skip "lintian is not installed"
    fi
    ;;
zip)
    (cd "$work" && cpack --config "$BUILD/CPackConfig.cmake" >/dev/null) || fail "cpack failed"
    zip=$(ls "$work"/usermail-"$VERSION"-win*.zip 2>/dev/null)
    [ -n "$zip" ] || { fail "no ZIP"; finish; }
    names=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
    [ "$(sort <<<"$names" | tr '\n' ' ')" = "LICENSE README.md usermail.exe " ] ||
        fail "the ZIP holds <$(echo $names)>"
    ;;
msi)
    msi=$BUILD/usermail-$VERSION-x64.msi
    [ -e "$msi" ] || { fail "no $msi"; finish; }
    properties=$(msiinfo export "$msi" Property | tr -d '\r')
    for property in "ProductVersion	$VERSION" "UpgradeCode	{50119FA1-AF72-46E5-866E-5C377F3E460C}" \
        "ALLUSERS	1" "Manufacturer	The usermail developers" "ProductName	usermail" "ARPNOMODIFY	1" \
        "ARPHELPLINK	https://usermail.example.org/" "ARPURLINFOABOUT	https://usermail.example.org/"; do
        grep -qxF "$property" <<<"$properties" || fail "the MSI's Property table has no <$property>"
    done
    msiinfo export "$msi" File | tr -d '\r' | grep -q "^usermail.exe	Program	usermail.exe	[0-9]*	$VERSION.0	" ||
        fail "the MSI's File table doesn't carry the program's version"
    # Installed silently, as Group Policy installs it, then run where it went.
    installed="$WINEPREFIX/drive_c/Program Files/usermail"
    wine msiexec /i "$(winepath -w "$msi")" /qn || fail "msiexec /i failed"
    for file in usermail.exe README.md LICENSE; do
        [ -e "$installed/$file" ] || fail "the MSI put no $file in $installed"
    done
    capture wine "C:\\Program Files\\usermail\\usermail.exe" -s
    expect 0 user@example.com "the installed program"
    # The whole query: the test directory beside it for this run only.
    cp "$DIRECTORY" "$installed/activeds.dll"
    printf '\n' >"$work/scenario"
    capture env USERMAIL_SCENARIO="Z:$work/scenario" USERMAIL_TRACE="Z:$work/trace" WINEDLLOVERRIDES=activeds=n \
        wine "C:\\Program Files\\usermail\\usermail.exe"
    expect 0 "alice@example.test,alice.liddell@example.test,a.liddell@example.test" "the installed program's query"
    grep -q "leaks: 0, order faults: 0, misuses: 0" "$work/trace" || fail "the installed program's trace: $(tail -n 3 "$work/trace")"
    rm -f "$installed/activeds.dll"
    # The Add/Remove Programs entry, once per product whatever was installed over it.
    uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
    entries() { wine reg query "$uninstall" /s 2>/dev/null | tr -d '\r' | grep -c 'DisplayName.*usermail'; }
    entry=$(wine reg query "$uninstall" /s 2>/dev/null | tr -d '\r' | grep -A20 'DisplayName.*usermail')
    for value in "Publisher    REG_SZ    The usermail developers" "DisplayVersion    REG_SZ    $VERSION" \
        "HelpLink    REG_SZ    https://usermail.example.org/" "URLInfoAbout    REG_SZ    https://usermail.example.org/" \
        "NoModify    REG_DWORD    0x1"; do
        [[ $entry == *"$value"* ]] || fail "the Uninstall entry has no <$value>: $entry"
    done
    # A rebuild of the same version (a new ProductCode) replaces it; a newer
    # version replaces that; the older one is then refused.
    stage=$(dirname "$msi")/msi
    "$SOURCE/packaging/makemsi.sh" "$stage/usermail.wxs" "$work/rebuild.msi" || fail "no rebuild"
    sed "s/Version=\"$VERSION\"/Version=\"99.0.0\"/" "$stage/usermail.wxs" >"$stage/newer.wxs"
    "$SOURCE/packaging/makemsi.sh" "$stage/newer.wxs" "$work/newer.msi" || fail "no newer build"
    rm -f "$stage/newer.wxs"
    wine msiexec /i "$(winepath -w "$work/rebuild.msi")" /qn || fail "the rebuild's install failed"
    [ "$(entries)" = 1 ] || fail "a rebuild over the same version: $(entries) entries"
    wine msiexec /i "$(winepath -w "$work/newer.msi")" /qn || fail "the newer version's install failed"
    wine msiexec /i "$(winepath -w "$msi")" /qn && fail "an older version was installed over a newer one"
    entry=$(wine reg query "$uninstall" /s 2>/dev/null | tr -d '\r' | grep -A20 'DisplayName.*usermail')
    [ "$(entries)" = 1 ] && [[ $entry == *"DisplayVersion    REG_SZ    99.0.0"* ]] ||
        fail "after the older over the newer: $(entries) entries, $entry"
    # Removal leaves nothing: no entry, no folder.
    wine msiexec /x "$(winepath -w "$work/newer.msi")" /qn || fail "msiexec /x failed"
    [ "$(entries)" = 0 ] || fail "an Uninstall entry left after removal"
    [ ! -e "$installed" ] || fail "left after removal: $(ls -A "$installed")"
    # Signed with a certificate of a throwaway CA, as an admin signs with
    # theirs: the program inside the MSI, and the MSI.
    (
        cd "$work" || exit 1
        openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=usermail test CA" \
            -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" &&
            openssl req -newkey rsa:2048 -nodes -keyout sign.key -out sign.csr -subj "/CN=usermail test signer" &&
            printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >sign.ext &&
            openssl x509 -req -in sign.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out sign.pem -days 2 \
                -extfile sign.ext && printf 'a throwaway password' >sign.pass &&
            openssl pkcs12 -export -in sign.pem -inkey sign.key -certfile ca.pem -out sign.p12 -passout file:sign.pass
    ) >"$work/openssl.log" 2>&1 || fail "no test certificate: $(tail -n 5 "$work/openssl.log")"
    signed=$work/signed
    { cmake -S "$SOURCE" -B "$signed" -DCMAKE_TOOLCHAIN_FILE="$SOURCE/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DUSERMAIL_TESTS=OFF -DUSERMAIL_SIGN_PKCS12="$work/sign.p12" \
        -DUSERMAIL_SIGN_PASSWORD_FILE="$work/sign.pass" && cmake --build "$signed" --target msi -j"$(nproc)"; } \
        >"$work/signed.log" 2>&1 || fail "the signed build failed: $(tail -n 20 "$work/signed.log")"
    osslsigncode verify -CAfile "$work/ca.pem" -in "$signed/usermail-$VERSION-x64.msi" >"$work/verify.log" 2>&1 ||
        fail "the signed MSI doesn't verify: $(tail -n 5 "$work/verify.log")"
    mkdir -p "$work/extracted" && (cd "$work/extracted" && msiextract "$signed/usermail-$VERSION-x64.msi" >/dev/null)
    program=$(find "$work/extracted" -name usermail.exe | head -n 1)
    [ -n "$program" ] && osslsigncode verify -CAfile "$work/ca.pem" -in "$program" >"$work/verify.log" 2>&1 ||
        fail "the program in the signed MSI doesn't verify: $(tail -n 5 "$work/verify.log")"
    ;;
esac
finish
