#!/bin/bash
# Black-box runs of the built program: exact standard output, exit status and
# log file. Runs natively, or under Wine with RUNNER=wine.
#   USERMAIL   the program
#   RUNNER     command to run it with (empty, or "wine")
#   LOGFILE    where its default log file appears
# Usage: cases.sh GROUP
group=$1
: "${RUNNER:=}"
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../common.sh"
# Log paths are given relative: an argument that begins with "/" is an option.
cd "$work" || exit 2

# shellcheck disable=SC2086
run() { capture $RUNNER "$USERMAIL" "$@"; }
expect_status() { [ "$status" = "$1" ] || fail "$2: exit status $status, expected $1"; }
expect_out() { [ "$out" = "$1" ] || fail "$2: standard output <$out>, expected <$1>"; }

if [ -z "${LOGFILE:-}" ] && [ "$RUNNER" = wine ]; then
    LOGFILE=$("$here/wine.sh" logdir "$WINEPREFIX")/$(basename "$USERMAIL").log
fi
prog=$(basename "$USERMAIL")
usage="usage: $prog /v [<level>] or -v [<level>] -or --verbose [<level>] /p <properties> or -p <property list> or --properties <property list> /l [<filename>] or -l [<filename>] or --log [<filename>] /d <delimiter> or -d <delimiter> or --delimiter <delimiter> /s [<email>] -r -s [<email>] or --stub [<email>]"

case $group in
usage)
    for bad in -x foo -V ---v -r - -- / "" "-p" "-d" "-v 3 x"; do
        # shellcheck disable=SC2086
        if [ -z "$bad" ]; then run ""; else run $bad; fi
        expect_status 1 "args <$bad>"
        expect_out "$usage" "args <$bad>"
    done
    run -x
    logged 0 "$usage" "$LOGFILE" || fail "the default log lacks the usage line as a level-0 line"
    [ "$(wc -l <"$LOGFILE")" = 1 ] || fail "the default log holds more than the failure line"
    ;;
stub)
    run -s
    expect_status 0 "-s"
    expect_out "user@example.com" "-s"
    [ -f "$LOGFILE" ] && [ ! -s "$LOGFILE" ] || fail "a quiet stub run must leave the default log created and empty"
    run --stub 'x y%s@@'
    expect_out 'x y%s@@' "stub value verbatim"
    run -s -p mail
    expect_status 0 "-s -p mail"
    expect_out "user@example.com" "-s -p mail"
    run /-s a@example.org -s b@example.org
    expect_out "b@example.org" "the last stub wins"
    ;;
log)
    run -v -l -s a@example.org
    expect_status 0 "-v -l -s"
    lines=$(printf '%s' "$outlf" | grep -c "^$stamp (1) ")
    [ "$lines" = 4 ] || fail "-v -l: expected 4 log lines on standard output, got $lines: <$out>"
    printf '%s' "$outlf" | tail -c 14 | grep -qx 'a@example.org' || fail "-v -l: the address must follow the log lines"
    printf '%s' "$outlf" | head -n 1 | logged 1 "no properties configured... using defaults" ||
        fail "-v -l: first line <$(printf '%s' "$outlf" | head -n 1)>"
    run -l -x
    expect_status 1 "-l -x"
    [ "$(printf '%s' "$outlf" | head -n 1)" ] && printf '%s' "$outlf" | head -n 1 | logged 0 "$usage" ||
        fail "-l -x: first line must be the timestamped usage line"
    [ "$(printf '%s' "$outlf" | tail -n 1)" = "$usage" ] || fail "-l -x: the bare usage line must end the output"
    [ ! -s "$LOGFILE" ] || fail "-l -x: the default log must stay empty"
    run -l named.log -v -p mail -x
    grep -q "(1) adding property mail" named.log || fail "a named log holds the run's messages"
    logged 0 "$usage" named.log || fail "a named log holds the failure line"
    run -l missing/dir/x.log -v -s
    expect_status 0 "an unopenable log costs the log, not the run"
    expect_out "user@example.com" "an unopenable log costs the log, not the run"
    if [ "$RUNNER" = wine ]; then
        # A temporary directory deeper than MAX_PATH (260) still gets the log.
        long=$work/$(printf 'deep-%.0s' {1..20})/$(printf 'deeper-%.0s' {1..20})/$(printf 'deepest-%.0s' {1..16})
        mkdir -p "$long"
        # Wine takes TEMP from its registry, and winepath cuts at MAX_PATH.
        dos="Z:${long//\//\\}"
        capture wine cmd /c "set TMP=$dos&& set TEMP=$dos&& $(winepath -w "$USERMAIL") -v -s"
        expect_status 0 "a long %TEMP%"
        [ "${#long}" -gt 300 ] && grep -q "(1) adding default property mail" "$long/$prog.log" ||
            fail "a %TEMP% of ${#long} characters holds no log"
    fi
    ;;
query)
    # The real query starts the directory runtime and fails where the machine
    # has no domain: one message with the cause, logged at level 0.
    run
    expect_status 1 "a query without a domain"
    [[ $out =~ ^unable\ to\ [^\(]*\([0-9]+\ =\ [^\)]+\)$ ]] || fail "failure message <$out>"
    logged 0 "$out" "$LOGFILE" || fail "the failure must be logged at level 0"
    run -v
    queryline=$(messages "$LOGFILE" | sed -n 5p)
    [ "$queryline" = "1 ADSystemInfo com instance created" ] || fail "-v: the query's first line is <$queryline>"
    ;;
native)
    # The program name is what follows the last backslash, else the last slash.
    mkdir -p "$TMPDIR/b"
    (exec -a 'a/x\b/usermail' "$USERMAIL" -v -s >/dev/null)
    grep -q "(1) adding default property mail" "$TMPDIR/b/usermail.log" ||
        fail "argv[0] with a backslash: log expected at \$TMPDIR/b/usermail.log"
    out=$(exec -a "/some/where/um%sail%n" "$USERMAIL" -x)
    [ "$out" = "${usage/usage: usermail/usage: um%sail%n}" ] || fail "a program name with % signs: <$out>"

    # The shared temporary directory: never follow a planted link, never
    # truncate another user's file, keep the log private.
    rm -f "$LOGFILE"
    echo precious >"$work/victim"
    ln -s "$work/victim" "$LOGFILE"
    run -v -s
    expect_status 0 "planted link"
    [ "$(cat "$work/victim")" = precious ] || fail "a planted link must leave its target untouched"
    rm -f "$LOGFILE"
    run -x
    [ "$(stat -c %a "$LOGFILE")" = 600 ] || fail "the log must be created with mode 600"
    if [ "$(id -u)" = 0 ]; then
        echo theirs >"$LOGFILE"
        chown 65534 "$LOGFILE"
        run -v -s
        [ "$(cat "$LOGFILE")" = theirs ] || fail "another user's log file must not be truncated"
        [ "$(cat "$work/err")" = "usermail: no log: $LOGFILE (it belongs to another user)" ] ||
            fail "another user's log file: <$(cat "$work/err")>"
        rm -f "$LOGFILE"
        # In a log directory of the user's own, private, a foreign entry goes.
        mkdir -m 700 "$work/own"
        echo theirs >"$work/own/usermail.log"
        chown 65534 "$work/own/usermail.log"
        (TMPDIR=$work/own "$USERMAIL" -v -s >/dev/null 2>"$work/err")
        [ -O "$work/own/usermail.log" ] && grep -q "adding default property" "$work/own/usermail.log" &&
            [ ! -s "$work/err" ] || fail "a foreign file in the user's own log directory: <$(cat "$work/err")>"
    fi
    run -l "" -s
    [ "$(cat "$work/err")" = 'usermail: no log: "" (2 = No such file or directory)' ] ||
        fail "-l \"\": <$(cat "$work/err")>"

    # A hard link to one of the user's own files is no log either.
    rm -f "$LOGFILE"
    echo precious >"$work/linked"
    ln "$work/linked" "$LOGFILE"
    run -v -s
    expect_status 0 "planted hard link"
    [ "$(cat "$work/linked")" = precious ] || fail "a planted hard link must leave the other file untouched"
    rm -f "$LOGFILE"

    # The default log goes to the user's own temporary directory.
    mkdir -m 700 "$work/runtime"
    (unset TMPDIR; XDG_RUNTIME_DIR=$work/runtime "$USERMAIL" -x >/dev/null)
    [ -s "$work/runtime/usermail.log" ] || fail "without TMPDIR the log belongs in XDG_RUNTIME_DIR"
    if [ "$(id -u)" = 0 ]; then
        chown 65534 "$work/runtime"
        rm -f "$work/runtime/usermail.log"
        (unset TMPDIR; XDG_RUNTIME_DIR=$work/runtime "$USERMAIL" -x >/dev/null)
        [ ! -e "$work/runtime/usermail.log" ] || fail "another user's XDG_RUNTIME_DIR must not hold the log"
    fi
    # With neither, a directory of the user's own under /tmp: another user's
    # /tmp/usermail.log takes nothing; one who claimed that directory first
    # costs the log, and the run says so once on standard error. (A private
    # /tmp, as root.)
    if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
        # The program by descriptor: the build tree may itself be under /tmp.
        exec 9<"$USERMAIL"
        unshare -m sh -c 'mount -t tmpfs tmpfs /tmp && exec "$@"' sh bash -c '
            um() { (exec -a usermail /proc/self/fd/9 "$@"); }
            touch /tmp/usermail.log && chown 65534 /tmp/usermail.log
            env -u TMPDIR -u XDG_RUNTIME_DIR bash -c "$(declare -f um); um -x" >/dev/null 2>/tmp/err
            [ -s /tmp/usermail-0/usermail.log ] && [ "$(stat -c %a /tmp/usermail-0)" = 700 ] && [ ! -s /tmp/err ] ||
                echo "no log in /tmp/usermail-0: $(ls -la /tmp) $(cat /tmp/err)"
            rm -r /tmp/usermail-0 && mkdir /tmp/usermail-0 && chown 65534 /tmp/usermail-0
            env -u TMPDIR -u XDG_RUNTIME_DIR bash -c "$(declare -f um); um -s" >/dev/null 2>/tmp/err
            [ "$(grep -c "no log" /tmp/err)" = 1 ] && [ -z "$(ls /tmp/usermail-0)" ] ||
                echo "a claimed /tmp/usermail-0: <$(cat /tmp/err)> $(ls /tmp/usermail-0)"' >"$work/tmplog"
        exec 9<&-
        [ ! -s "$work/tmplog" ] || fail "the log without TMPDIR: $(cat "$work/tmplog")"
    fi

    # Output that can't be written is a failure: a full device, a closed
    # standard output (whose descriptor the log must not take over), a
    # reader that has gone (no SIGPIPE death).
    for how in full closed pipe; do
        rm -f "$LOGFILE"
        case $how in
        full) "$USERMAIL" -s x@example.com >/dev/full ;;
        closed) "$USERMAIL" -s x@example.com >&- ;;
        pipe) python3 -c 'import os, signal, sys
r, w = os.pipe(); os.close(r); os.dup2(w, 1)
signal.signal(signal.SIGPIPE, signal.SIG_DFL)
os.execv(sys.argv[1], sys.argv[1:])' "$USERMAIL" -s x@example.com ;;
        esac
        status=$?
        expect_status 1 "standard output $how"
        case $how in
        full) cause="28 = No space left on device" ;;
        closed) cause="9 = Bad file descriptor" ;;
        pipe) cause="32 = Broken pipe" ;;
        esac
        logged 0 "unable to write to standard output ($cause)" "$LOGFILE" ||
            fail "standard output $how must be logged: <$(cat "$LOGFILE")>"
        grep -q "x@example.com$" "$LOGFILE" && fail "standard output $how: the address went into the log"
    done
    ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac

finish
