# Shared by the black-box case scripts: sourced after `group` is set.
# Each script's run() calls capture with the whole command line.
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
skipped=0
stamp='[0-9][0-9]/[0-9][0-9]/[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]'

# capture COMMAND...: sets $status, $out (standard output, byte-exact) and
# $outlf (the same without the CR of Windows line ends)
capture() {
    "$@" >"$work/out" 2>"$work/err" </dev/null
    status=$?
    out=$(cat "$work/out"; printf x)
    out=${out%x}
    outlf=${out//$'\r'/}
}

# messages FILE: the log's lines without their time stamps, "LEVEL TEXT"
messages() { sed -E "s|^$stamp \\(([0-9]+)\\) |\\1 |" "$@" 2>/dev/null | tr -d '\r'; }
# logged LEVEL TEXT [FILE]: the log (standard input without FILE) holds exactly this line
logged() { messages ${3:+"$3"} | grep -qFx -- "$1 $2"; }

fail() { echo "FAIL [$group] $*"; failures=$((failures + 1)); }
skip() { echo "SKIP [$group] $*"; skipped=1; }
expect() { [ "$status" = "$1" ] && [ "$out" = "$2" ] || fail "$3: exit $status, output <$out>; expected exit $1, <$2>"; }
# haslines LINE...: $log holds these messages, in this order
haslines() {
    local rest=$log line
    for line in "$@"; do
        case $rest in
        *"$line"*) rest=${rest#*"$line"} ;;
        *) fail "log line <$line> missing or out of order"; return ;;
        esac
    done
}
# nolines TEXT...: $log holds none of these
nolines() { local line; for line in "$@"; do [[ $log != *"$line"* ]] || fail "log line <$line> unexpected"; done; }
finish() {
    [ "$failures" = 0 ] || exit 1
    [ "$skipped" = 0 ] || exit 77
    exit 0
}
