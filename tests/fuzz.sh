#!/bin/bash
# Builds one fuzz target with clang and runs it for a bounded time, after
# replaying every input that ever made it fail.
# Usage: fuzz.sh SOURCEDIR WORKDIR SECONDS TARGET
#   TARGET: harvest (the address harvester), schema (the subschema reader) or
#           netlogon (a controller's answer to the site ping)
set -eu
src=$1 work=$2/$4 seconds=$3 target=$4
mkdir -p "$work/corpus"
flags=(-std=c++17 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$src/src")
case $target in
harvest)
    # The narrow character set's characters come from the platform.
    sources=("$src/src/directory/harvest.cpp" "$src/src/platform/platformposix.cpp")
    libs=()
    ;;
schema)
    sources=("$src/src/platform/ldap/schema/ldapschema.cpp" "$src/src/platform/ldap/schema/ldapclasses.cpp"
        "$src/src/platform/ldap/common/ldaptext.cpp")
    read -ra libs < <(pkg-config --libs ldap lber)
    export LSAN_OPTIONS="suppressions=$src/fuzz/schema.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
    ;;
netlogon)
    sources=("$src/src/platform/ldap/locate/ldapnetlogon.cpp" "$src/src/platform/ldap/common/ldaptext.cpp")
    read -ra libs < <(pkg-config --libs ldap lber)
    libs+=(-lresolv) # the names' decompression
    ;;
*) echo "unknown fuzz target $target" >&2; exit 2 ;;
esac
echo "fuzz $target: building with clang"
clang++ "${flags[@]}" "$src/fuzz/${target}fuzz.cpp" "${sources[@]}" "${libs[@]}" -o "$work/fuzz"
regressions=("$src/fuzz/regressions/$target"/*)
if [ -e "${regressions[0]}" ]; then
    echo "fuzz $target: replaying ${#regressions[@]} inputs that once failed"
    "$work/fuzz" "${regressions[@]}"
fi
echo "fuzz $target: fuzzing for $seconds s"
# New finds go to the work directory; keep them under fuzz/regressions/TARGET.
"$work/fuzz" -max_total_time="$seconds" -max_len=4096 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/corpus" "$src/fuzz/corpus/$target"
