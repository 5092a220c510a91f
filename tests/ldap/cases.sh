#!/bin/bash
# Runs of the built program against the private slapd (slapd.sh), as the
# test runner and, where the runner is root, as other local users.
#   USERMAIL  the program      LDAPURI  the slapd's socket
# Usage: cases.sh GROUP
group=$1
. "$(dirname "$0")/../common.sh"
chmod 755 "$work" # other users run the program here too
mkdir -m 1777 "$work/tmp"
# libldap's configuration: the socket only, nothing from this machine's files.
export LDAPCONF=/dev/null LDAPRC=.no-ldaprc TMPDIR=$work/tmp XDG_CACHE_HOME=$work/cache
cd "$work" || exit 2

# run [as UID] ARGS...: sets $out, $status and $log (the log's messages)
run() {
    local as=()
    if [ "${1:-}" = as ]; then
        as=(setpriv --reuid="$2" --regid="$2" --clear-groups)
        shift 2
    fi
    rm -f "$TMPDIR/usermail.log" # another user's log would be left alone
    capture timeout 60 "${as[@]}" "$USERMAIL" "$@"
    log=$(messages "$TMPDIR/usermail.log" | cut -d' ' -f2-)
}
asroot() {
    [ "$(id -u)" = 0 ] || { skip "needs root to run as other users"; return 1; }
    # The socket must be reachable by them: not in a build tree under /root, say.
    local socket
    socket=$(printf '%s' "${LDAPURI#ldapi://}" | sed 's|%2F|/|g')
    setpriv --reuid=65534 --regid=65534 --clear-groups test -w "$socket" ||
        { skip "other users can't reach $socket (is the build tree under /root?)"; return 1; }
}

alice="alice@example.test,alice.liddell@example.test,a.liddell@example.test"

case $group in
whoami)
    # The runner's uid maps to Alice: "Who am I?" gives her DN.
    run
    expect 0 "$alice" "default run"
    rm -rf "$XDG_CACHE_HOME" # so that the next run reads the subschema
    run -v
    expect 0 "$alice" "-v"
    haslines "ADSystemInfo com instance created" \
        "user name = cn=alice liddell,ou=people,dc=example,dc=test" "bind to user object okay" \
        "name = cn=Alice Liddell" "schema = LDAP:///schema/user" "schema retrieved okay" \
        "mandatory properties (7): " "objectClass = <unhandled variant type>" \
        "instanceType = <unhandled variant type>" "nTSecurityDescriptor = <unhandled variant type>" \
        "sn = Liddell" "cn = Alice Liddell" "sAMAccountName = alice" \
        "userPrincipalName = alice@example.test" "mail = alice.liddell@example.test" \
        "description = Caterpillar's %s friend, 100%" "proxyAddresses = <unhandled variant type>" \
        "objectGUID = <unhandled variant type>" "msRTCSIP-PrimaryUserAddress = sip:a.liddell@example.test" \
        "objectSid = <unhandled variant type>"
    [[ $log == *$'\noptional properties ('[0-9]*'): '$'\n'* ]] || fail "no optional header"
    # -v alone also shows what was tried, at level 2; -v 1 only the query's lines.
    haslines "directory uri = $LDAPURI" "sasl mechanism = EXTERNAL" \
        "who am i = dn:cn=alice liddell,ou=people,dc=example,dc=test" "reading the subschema entry cn=Subschema"
    run -v 1
    [[ $log != *"who am i"* && $log != *"time-out"* ]] || fail "-v 1 shows level-2 lines"
    # Attributes that the entry doesn't hold write no line.
    [[ $log != *"telephoneNumber"* ]] || fail "an absent attribute was logged"
    ;;
properties)
    run -p proxyAddresses
    expect 0 "" "a multi-valued attribute yields nothing"
    run -d ';' -p 'mail;homeMail;userPrincipalName'
    expect 0 "alice@example.test;alice.liddell@example.test" "-p with an undeclared name; reading order"
    run -p msRTCSIP-PrimaryUserAddress -d ' -- '
    expect 0 "a.liddell@example.test" "-p SIP"
    run -p MAIL
    expect 0 "" "requested names are case-sensitive"
    run -s
    expect 0 "user@example.com" "stub"
    LDAPURI=ldapi://%2Fnonexistent%2Fsocket run -s x@example.test
    expect 0 "x@example.test" "a stub run never touches the directory"
    ;;
accounts)
    asroot || finish
    run as 2001 -v
    expect 0 "bob@example.test" "several mail values"
    haslines "userPrincipalName = bob@example.test" "mail = <unhandled variant type>"
    # nobody, daemon and bin map to no entry: "Who am I?" gives their
    # authentication DN, and the account search looks for the login name.
    run as 65534 -v
    expect 0 "carol@example.test" "found by the account search"
    haslines "user name = cn=Carol Search,ou=people,dc=example,dc=test" "name = cn=Carol Search"
    run as 1
    expect 1 "unable to retrieve user name (4294967281 = several directory entries for the account daemon under dc=example,dc=test)" "two matches"
    run as 2
    expect 1 "unable to retrieve user name (4294967282 = no directory entry for the account bin under dc=example,dc=test)" "no match"
    ;;
cache)
    # The schema cache: read back only while it is whole, of this version,
    # the user's own file and the stamps match; never a different answer.
    # level1 FILE: the run's level-1 messages, without time stamps
    level1() { messages "$TMPDIR/usermail.log" | grep '^1 ' >"$1"; }
    run -v 10
    expect 0 "$alice" "cold cache"
    [[ $log == *"reading the subschema entry cn=Subschema"* && $log == *"schema cache written"* ]] ||
        fail "a cold run must read the subschema and write the cache"
    level1 "$work/cold"
    file=$(ls "$XDG_CACHE_HOME"/usermail/schema-*)
    [ "$(stat -c %a "$file")" = 600 ] && [ "$(stat -c %a "$XDG_CACHE_HOME/usermail")" = 700 ] ||
        fail "cache modes: file $(stat -c %a "$file"), directory $(stat -c %a "$XDG_CACHE_HOME/usermail")"
    # One reading alone is not trusted: the next run asks its stamp, and
    # the match confirms it; the run after that trusts it.
    run -v 10
    expect 0 "$alice" "warm cache"
    [[ $log == *"schema cache used"* && $log != *"reading the subschema entry"* ]] || fail "a warm run must use the cache"
    [[ $log != *"confirmed within"* ]] || fail "a file read once was trusted"
    run -v 10
    [[ $log == *"(confirmed within 365 days)"* ]] || fail "a file confirmed just now must be trusted"
    level1 "$work/warm"
    cmp -s "$work/cold" "$work/warm" || fail "the level-1 log differs with the cache: $(diff "$work/cold" "$work/warm")"
    # Confirmed longer ago than the window, or dated ahead: its stamp is
    # asked, and the match confirms it for the next window.
    for when in "366 days ago" "tomorrow"; do
        touch -m -d "$when" "$file"
        run -v 10
        expect 0 "$alice" "a cache dated $when"
        [[ $log == *"schema cache used"* && $log != *"confirmed within"* ]] || fail "a cache dated $when was trusted"
        [ $(($(date +%s) - $(stat -c %Y "$file"))) -lt 60 ] || fail "a cache dated $when was not confirmed"
    done
    # Broken in each way: ignored, the subschema read again, the file rewritten.
    good=$(cat "$file")
    for broken in corrupt truncated version link; do
        case $broken in
        corrupt) printf '%s\n' "$good" | sed 's/^must .*/must \x01 nonsense/' >"$file" ;;
        truncated) printf '%s' "$good" | head -c $(($(wc -c <"$file") / 2)) >"$file.cut" && mv "$file.cut" "$file" ;;
        version) printf '%s\n' "$good" | sed '1s/.*/usermail schema cache 0/' >"$file" ;;
        link) echo precious >"$work/victim" && rm -f "$file" && ln -s "$work/victim" "$file" ;;
        esac
        run -v 10
        expect 0 "$alice" "a $broken cache"
        [[ $log == *"reading the subschema entry"* && $log == *"schema cache written"* ]] ||
            fail "a $broken cache must be read past and rewritten"
        level1 "$work/again"
        cmp -s "$work/cold" "$work/again" || fail "a $broken cache changed the level-1 log"
        [ "$(cat "$file")" = "$good" ] || fail "a $broken cache was not rewritten whole"
    done
    [ "$(cat "$work/victim")" = precious ] || fail "the cache wrote through a planted link"
    # A cache directory that can't be had only costs speed.
    touch "$work/notadirectory"
    XDG_CACHE_HOME=$work/notadirectory run -v 10
    expect 0 "$alice" "no cache directory"
    [[ $log == *"reading the subschema entry"* ]] || fail "without a cache the subschema must be read"
    ;;
unreachable)
    start=$(date +%s)
    LDAPURI=ldapi://%2Fnonexistent%2Fsocket run
    expect 1 "unable to retrieve user name (4294967295 = Can't contact LDAP server)" "no server"
    LDAPURI=foo://bar run
    expect 1 "unable to create ADSystemInfo com instance (4294967287 = Bad parameter to an ldap routine)" \
        "a URI that libldap rejects"
    # A server that accepts the connection and never answers.
    python3 -c '
import socket, time
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(4)
print(s.getsockname()[1], flush=True)
conns = []
end = time.time() + 40
while time.time() < end:
    s.settimeout(max(0.1, end - time.time()))
    try: conns.append(s.accept())
    except OSError: pass
' >"$work/port" &
    silent=$!
    for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
    # ANONYMOUS: a mechanism that needs no credentials, so the bind is sent.
    # The run's deadline ends the wait, and so does a request time-out.
    silenturi="ldap://127.0.0.1:$(cat "$work/port")"
    USERMAIL_DEADLINE=2 LDAPURI=$silenturi LDAPSASL_MECH=ANONYMOUS LDAPSASL_SECPROPS=none run
    expect 1 "unable to retrieve user name (4294967291 = Timed out)" "silent server, a deadline of 2 s"
    LDAPTIMEOUT=2 LDAPURI=$silenturi LDAPSASL_MECH=ANONYMOUS LDAPSASL_SECPROPS=none run
    expect 1 "unable to retrieve user name (4294967291 = Timed out)" "silent server, a request time-out of 2 s"
    kill "$silent" 2>/dev/null
    took=$(($(date +%s) - start))
    [ "$took" -lt 15 ] || fail "the failures took $took seconds"
    ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac

finish
