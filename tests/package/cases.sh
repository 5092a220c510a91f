#!/bin/bash
# The program as it is installed: the man page, `cmake --install`, and the
# packages CPack makes (a .deb that lintian accepts, or the Windows ZIP).
#   SOURCE  the source tree   BUILD  the build tree   VERSION  the version
# Usage: cases.sh man|install|deb|zip
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
    (cd "$work" && cpack --config "$BUILD/CPackConfig.cmake" >/dev/null) || fail "cpack failed"
    deb=$work/usermail_${VERSION}_amd64.deb
    [ -e "$deb" ] || { fail "no $deb"; finish; }
    contents=$(dpkg-deb -c "$deb")
    for file in ./usr/bin/usermail ./usr/share/man/man1/usermail.1.gz ./usr/share/doc/usermail/copyright \
        ./usr/share/doc/usermail/changelog.gz; do
        [[ $contents == *" $file"* ]] || fail "the package holds no $file"
    done
    dpkg-deb -f "$deb" Depends | grep -q libldap || fail "Depends computed without libldap"
    dpkg-deb -f "$deb" Recommends | grep -q libsasl2-modules-gssapi || fail "no Recommends of the GSSAPI module"
    if command -v lintian >/dev/null; then
        errors=$(lintian --fail-on error "$deb" 2>&1)
        lintianstatus=$?
        [ "$lintianstatus" = 0 ] && [[ $errors != *"E: "* ]] || fail "lintian: $errors"
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
esac
finish
