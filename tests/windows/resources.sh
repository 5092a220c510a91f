#!/bin/bash
# What an administrator sees of the Windows program without running it: its
# version information, its manifest, and a release build without symbols.
# Usage: resources.sh EXE VERSION
exe=$1 version=$2
group=resources
. "$(dirname "$0")/../common.sh"
command -v wrestool >/dev/null || { skip "wrestool (icoutils) is not installed"; finish; }

strings16() { iconv -f UTF-16LE -t UTF-8 -c | tr -c '[:print:]' '\n' | grep -v '^$'; }
info=$(wrestool -x --raw --type=16 "$exe" | strings16)
# name VALUE: the version block holds NAME followed by VALUE
has() { grep -A1 -x "$1" <<<"$info" | tail -n 1 | grep -qx -- "$2" || fail "version information: $1 is not <$2>"; }
has FileVersion "$version"
has ProductVersion "$version"
has OriginalFilename usermail.exe
has ProductName usermail
has CompanyName "The usermail developers"
has LegalCopyright "Copyright (c) 2026 The usermail developers, MIT License"
grep -qx FileDescription <<<"$info" || fail "version information without a FileDescription"

manifest=$(wrestool -x --raw --type=24 "$exe")
[[ $manifest == *'level="asInvoker"'* ]] || fail "the manifest doesn't ask for asInvoker"
[[ $manifest == *'supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"'* ]] ||
    fail "the manifest doesn't declare Windows 10 and 11"

size=$(stat -c %s "$exe")
[ "$size" -lt 1500000 ] || fail "the release program is $size bytes: not stripped?"
finish
