#!/bin/bash
# Runs of the built program against the scripted LDAP server (server.sh), one
# scenario of scenarios.json per row: a server that drops, stalls, lies or
# floods, text that isn't ASCII, names from other domains, and a run that is
# killed.
#   USERMAIL  the program      SERVER  the server's directory of sockets
# Usage: cases.sh GROUP
group=$1
. "$(dirname "$0")/../common.sh"
export LDAPCONF=/dev/null LDAPRC=.no-ldaprc TMPDIR=$work XDG_CACHE_HOME=$work/cache
cd "$work" || exit 2

uri() { printf 'ldapi://%s' "$(printf '%s' "$SERVER/$1.sock" | sed 's|/|%2F|g')"; }
# run SCENARIO ARGS...: sets $out, $status and $log (the log's messages)
run() {
    local scenario=$1
    shift
    rm -f "$work/usermail.log"
    capture env LDAPURI="$(uri "$scenario")" timeout 60 "$USERMAIL" "$@"
    log=$(messages "$work/usermail.log")
}
# check SCENARIO STATUS OUTPUT [ARGS...]: OUTPUT may end in "*" (a prefix)
check() {
    local scenario=$1 want=$2 output=$3
    shift 3
    run "$scenario" "$@"
    local same
    if [[ $output == *"*" ]]; then [[ $out == "${output%\*}"* ]]; else [ "$out" = "$output" ]; fi
    same=$?
    [ "$status" = "$want" ] && [ "$same" = 0 ] ||
        fail "$scenario $*: exit $status, output <$out>; expected exit $want, <$output>"
    [[ $log == *"0 $out"* ]] || [ "$status" = 0 ] || fail "$scenario: the failure was not logged: <$log>"
}

case $group in
faults)
    # A connection that is gone or broken mid-query is a failure with its
    # cause, never an abort (SIGABRT) or a SIGPIPE death.
    lost="(4294967295 = Can't contact LDAP server)"
    check dropatentry 1 "unable to bind to user object $lost"
    check dropatsearch 1 "unable to retrieve user name $lost"
    check dropafterwhoami 1 "unable to retrieve user name $lost"
    # A connection lost between two requests: libldap would send the next
    # ones over a new, unbound connection, and take whatever answers there.
    # The run uses the one connection it bound, and ends when that is gone.
    notice="(4294967295 = Can't contact LDAP server: the server sent a notice of disconnection (52 = Server is unavailable))"
    # libldap 2.5 leaks the notice it reads (its BER element and text, in
    # its own reading of the answer): no leak check for these two runs.
    nodleak=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
    ASAN_OPTIONS=$nodleak LDAPBASE=dc=example,dc=test check noticeatwhoami 1 "unable to retrieve user name $notice"
    ASAN_OPTIONS=$nodleak check noticeafterroot 1 "unable to retrieve user name (4294967295 = Can't contact LDAP server*"
    check dropafterroot 1 "unable to retrieve user name $lost"
    # Only the SASL module of the mechanism in use is loaded; a missing one
    # is named.
    mkdir -p "$work/nosasl"
    LDAPSASL_MECH=GSSAPI SASL_PATH=$work/nosasl check plain 1 "unable to retrieve user name (4294967290 = Unknown authentication method: the SASL module for GSSAPI (libgssapiv2.so) is not installed (Debian: libsasl2-modules-gssapi-mit))"
    # An account search's answer is taken only for the account searched.
    check decoysearch 1 "unable to retrieve user name (4294967282 = no directory entry for the account alice*"
    check malformedwhoami 1 "unable to retrieve user name $lost"
    # The working directory's ldaprc is never read: in a shared folder it
    # may be anyone's, and would choose the server over the user's own
    # ~/.ldaprc (which names plain here).
    mkdir -p "$work/shared" "$work/home"
    printf 'URI %s\n' "$(uri mallory)" >"$work/shared/ldaprc"
    cp "$work/shared/ldaprc" "$work/shared/.ldaprc"
    [ "$(id -u)" != 0 ] || chown nobody "$work/shared/ldaprc" "$work/shared/.ldaprc"
    printf 'URI %s\n' "$(uri plain)" >"$work/home/.ldaprc"
    capture env -C "$work/shared" -u LDAPURI HOME="$work/home" timeout 60 "$USERMAIL" -p mail
    expect 0 "alice@example.test" "a planted ldaprc in the working directory"
    # A server that won't show its root DSE: its own cause, not "no naming context".
    check rootdseerror 1 "unable to retrieve user name (50 = Insufficient access: insufficient access)"
    # The server's words reach the terminal with their control characters escaped.
    check rootdseescapes 1 'unable to retrieve user name (50 = Insufficient access: denied\x1b[2J\nforged)'
    # An entry under another DN, sent first, is never taken for the user's.
    check decoy 0 "alice@example.test" -p mail
    check decoyonly 1 "unable to bind to user object (32 = No such object*"
    # More than a sane answer holds: refused, not taken into memory.
    check hugeentry 1 "unable to bind to user object $lost"
    check flood 1 "unable to retrieve user name (4294967281 = several directory entries for the account alice*"
    # Unless the attribute lines can reach the log, only the requested
    # attributes are read: an 80 MiB value of another attribute never comes.
    check bigdescription 0 "alice@example.test" -p mail -p "" -p "not a name"
    check bigdescription 1 "unable to bind to user object $lost" -v -p mail
    # Logging never changes what is read: an attribute that the server sends
    # only when it is named is named with -v too.
    check operationalmail 0 "alice@example.test" -p mail
    check operationalmail 0 "alice@example.test" -v -p mail
    # A server that never answers: the request time-out ends the run; one
    # configured in ldap.conf, as ldapsearch takes it, wins over the default.
    echo "TIMEOUT 1" >"$work/ldap.conf"
    started=$(date +%s%N)
    LDAPCONF=$work/ldap.conf check silentrootdse 1 "unable to retrieve user name (4294967291 = Timed out)" -v
    took=$((($(date +%s%N) - started) / 1000000))
    [ "$took" -lt 3000 ] || fail "TIMEOUT 1 in ldap.conf: the silent server took $took ms"
    haslines "2 request time-out 1 s (configured)"
    # ...counted from the last byte, over a local socket as over TCP: an
    # answer that comes slowly, a few bytes at a time, is heard from.
    LDAPCONF=$work/ldap.conf check slowentry 0 "alice@example.test" -p mail
    # Without one, the run's deadline ends the wait.
    USERMAIL_DEADLINE=2 check silentrootdse 1 "unable to retrieve user name (4294967291 = Timed out)" -v
    haslines "2 deadline 2 s (configured)"
    # Not reaching the directory at the schema steps is a failure too; only
    # what the directory answers there ends the query normally.
    LDAPCONF=$work/ldap.conf check silentsubschema 1 "unable to retrieve schema (4294967291 = Timed out)"
    check referralsubschema 1 "unable to retrieve schema (10 = Referral)"
    check deniedsubschema 0 "" -v
    haslines "2 unable to retrieve schema (50 = Insufficient access: insufficient access)"
    # So is a connection lost at a schema read: the subschema read of a run
    # whose layout is gone, and the stamp asked of a layout past its window (the
    # entry itself read in the first round, as the last run found it).
    export XDG_CACHE_HOME=$work/dropcache
    check dropatsubschema 0 "alice@example.test" -p mail
    rm "$XDG_CACHE_HOME"/usermail/schema-*
    check dropatsubschema 1 "unable to retrieve schema $lost" -p mail
    rm -rf "$XDG_CACHE_HOME"
    check dropatstamp 0 "alice@example.test" -p mail
    touch -m -d '366 days ago' "$XDG_CACHE_HOME"/usermail/schema-*
    check dropatstamp 1 "unable to retrieve schema $lost" -p mail
    export XDG_CACHE_HOME=$work/cache
    ;;
text)
    # Descriptions without an OID are passed over; the rest of the schema stands.
    check oidless 0 "alice@example.test" -p mail
    # Nothing cut out of a non-ASCII word is printed, in any locale; the
    # other addresses of the same value still are.
    for locale in C.UTF-8 C; do
        export LC_ALL=$locale
        check nonascii 0 "alice@example.test" -v -p mail -p userPrincipalName -p description
    done
    unset LC_ALL
    haslines "1 userPrincipalName = j?rg@example.test" "1 description = ??@example.test"
    # A value can't forge a log line.
    check forgedlog 0 "alice@example.test" -v
    haslines '1 description = x\n12/09/26 05:00:00 (0) forged\x1b[2J'
    [[ $log != *$'\n'"0 forged"* ]] || fail "a value forged a log line"
    ;;
cache)
    # The server's schema changes between two runs: one reading alone is
    # never trusted, so the second run asks the stamp and sees the change;
    # the third confirms the new reading, and the fourth trusts it.
    check schemachange 0 "alice@example.test" -p mail
    check schemachange 0 "" -v -p mail
    haslines "2 reading the subschema entry cn=Subschema"
    [[ $log != *"schema cache used"* ]] || fail "a changed schema was answered from the cache"
    # (cn, which the new schema declares: a mail the layout doesn't name
    # would have each run ask)
    check schemachange 0 "" -v -p cn
    haslines "2 schema cache used: "
    nolines "confirmed within"
    check schemachange 0 "" -v -p cn
    haslines "2 schema cache used: " "(confirmed within 365 days)"
    touch -m -d '366 days ago' "$XDG_CACHE_HOME"/usermail/schema-*
    check schemachange 0 "" -v -p cn
    haslines "2 schema cache used: "
    nolines "confirmed within"
    # An entry holding an attribute the trusted file does not name makes
    # the run ask at once, when the run reads that attribute for addresses.
    # (the first reading confirmed, as a later run finding its stamp
    # unchanged would)
    rm -rf "$XDG_CACHE_HOME"
    check schemagrows 0 "alice@example.test" -p mail -p telephoneNumber
    touch -m "$XDG_CACHE_HOME"/usermail/schema-*
    check schemagrows 0 "alice@example.test" -v -p mail -p telephoneNumber
    haslines "2 the entry holds an attribute the schema cache does not name" \
        "2 reading the subschema entry cn=Subschema" "1 telephoneNumber = +1 555 0100"
    # Logging decides nothing: within the window after the class's optional
    # list was reordered (and grew), a run with -v prints what one without
    # prints, and leaves the cache as it found it.
    rm -rf "$XDG_CACHE_HOME"
    check schemareorder 0 "a@x.test,b@x.test" -p ordA -p ordB
    touch -m "$XDG_CACHE_HOME"/usermail/schema-*
    check schemareorder 0 "a@x.test,b@x.test" -v -p ordA -p ordB
    nolines "reading the subschema entry"
    check schemareorder 0 "a@x.test,b@x.test" -p ordA -p ordB
    # Active Directory: the user's classes and attribute types are read as
    # schema objects, the subschema only when they can't be; a cached layout
    # gets the objects of types its entry didn't hold when it was read.
    rm -rf "$XDG_CACHE_HOME"
    check adschemagrows 0 "alice@example.test" -v -p mail
    haslines "2 schema read from its objects: 2 classes and 5 attributes, in 1 round" "1 mail = alice@example.test"
    check adschemagrows 0 "alice@example.test,desk@example.test" -v -p mail -p description
    haslines "2 schema objects read for attributes the cached layout did not name: description"
    check adschemagrows 0 "alice@example.test,desk@example.test" -v -p mail -p description
    nolines "schema objects read"
    # A class object that is found but can't be used (its governsID no OID)
    # never stands in for its class: the subschema is read.
    for scenario in adschemadenied adschemaflood adschemamissing adschemaunusable; do
        rm -rf "$XDG_CACHE_HOME"
        check $scenario 0 "alice@example.test" -v -p mail
        haslines "2 the schema objects could not be read (" "2 reading the subschema entry cn=Subschema"
    done
    # A warm run whose layout lacks a type the entry now holds prints what a
    # cold run prints: its object refused, the subschema answers; lost or
    # silent, the run fails.
    echo "TIMEOUT 1" >"$work/timeout.conf"
    rm -rf "$XDG_CACHE_HOME"
    for fault in denied drop silent; do check adschemagrows$fault 0 "alice@example.test" -p mail; done
    check adschemagrowsdenied 0 "alice@example.test,desk@example.test" -v -p mail -p description
    haslines "2 the schema objects could not be read (50 = Insufficient access: insufficient access): reading the subschema"
    check adschemagrowsdrop 1 "unable to retrieve schema (4294967295 = Can't contact LDAP server)" -p description
    LDAPCONF=$work/timeout.conf check adschemagrowssilent 1 "unable to retrieve schema (4294967291 = Timed out)" -p description
    # A connection lost while the objects are read after a schema change.
    rm -rf "$XDG_CACHE_HOME"
    check adschemadrop 0 "alice@example.test" -p mail
    check adschemadrop 1 "unable to retrieve schema (4294967295 = Can't contact LDAP server)" -p mail
    # Values that are no names are passed over, never spliced into a description.
    check adschemalies 0 "alice@example.test" -v -p mail
    nolines "forged"
    # What the last run found is asked for again in the first round, and
    # used only when that round confirms it: a different user, found either
    # way, gets their own addresses.
    check movinguser 0 "alice@example.test" -p mail
    check movinguser 0 "bob@example.test" -p mail
    check movingaccount 0 "alice@example.test" -p mail
    check movingaccount 0 "bob@example.test" -p mail
    check movingaccount 0 "bob@example.test" -v -p mail
    [ "$(grep -c '^2 search "dc=example,dc=test"' <<<"$log")" = 1 ] || fail "a confirmed guess was searched again"
    ;;
identity)
    # "u:DOMAIN\name": this directory's NetBIOS name is its own domain...
    check ownnetbios 0 "alice@example.test"
    # ...another domain's user is not this directory's namesake.
    check partneruser 1 "unable to retrieve user name (4294967282 = no directory entry for the account PARTNER\\alice under dc=example,dc=test)"
    check partnerupn 0 "alice@partner.test"
    # An account name outside ASCII compares as the directory compares it,
    # case-insensitively in Unicode, and still never as another name.
    check unicodeaccount 0 "alice@example.test" -p mail
    check unicodedecoy 1 "unable to retrieve user name (4294967282 = no directory entry for the account *" -p mail
    ;;
process)
    # A run killed mid-query keeps every line it logged.
    rm -f "$work/usermail.log"
    LDAPURI=$(uri silentrootdse) "$USERMAIL" -v >/dev/null &
    pid=$!
    for _ in $(seq 50); do
        grep -q "ADSystemInfo com instance created" "$work/usermail.log" 2>/dev/null && break
        sleep 0.1
    done
    kill -TERM "$pid"
    wait "$pid"
    log=$(messages "$work/usermail.log")
    haslines "1 adding default property userPrincipalName" "1 ADSystemInfo com instance created"
    # With standard input, output and error closed, the log and the socket
    # take none of them: the output still fails, and is reported.
    rm -f "$work/usermail.log"
    LDAPURI=$(uri plain) "$USERMAIL" <&- >&- 2>&-
    status=$?
    log=$(messages "$work/usermail.log")
    [ "$status" = 1 ] || fail "closed standard streams: exit $status"
    haslines "0 unable to write to standard output (9 = Bad file descriptor)"
    [[ $log != *"alice@example.test"* ]] || fail "the addresses went into the log"
    # Process limits: a file size limit fails the cache's write (no signal
    # ends the run), and a small stack holds the cache's reading.
    export XDG_CACHE_HOME=$work/limits
    mkdir -p "$XDG_CACHE_HOME/usermail"
    stale=$XDG_CACHE_HOME/usermail/schema-0000000000000000.Ab3dEf
    touch -d "2 hours ago" "$stale"
    out=$(ulimit -f 0 && LDAPURI=$(uri plain) "$USERMAIL" -p mail)
    status=$?
    [ "$status" = 0 ] && [ "$out" = alice@example.test ] || fail "ulimit -f 0: exit $status, <$out>"
    ls "$XDG_CACHE_HOME/usermail" | grep -q '\.' && fail "temp files left: $(ls "$XDG_CACHE_HOME/usermail")"
    # The cache keeps itself small: records unused for 30 days go, younger
    # ones, those read lately (a schema file confirmed long ago) and files of
    # other kinds stay.
    old=$XDG_CACHE_HOME/usermail/last-00000000000000aa young=$XDG_CACHE_HOME/usermail/site-00000000000000bb
    used=$XDG_CACHE_HOME/usermail/schema-00000000000000cc
    touch -d "31 days ago" "$old" "$XDG_CACHE_HOME/usermail/notes"
    touch -d "29 days ago" "$young"
    touch -m -d "100 days ago" "$used"
    LDAPURI=$(uri plain) "$USERMAIL" -p mail >/dev/null
    [ ! -e "$old" ] && [ -e "$young" ] && [ -e "$used" ] && [ -e "$XDG_CACHE_HOME/usermail/notes" ] ||
        fail "cache tidying: $(ls "$XDG_CACHE_HOME/usermail")"
    # The cause logged is the failed write's own.
    rm -rf "$XDG_CACHE_HOME/usermail"
    out=$(ulimit -f 0 && LDAPURI=$(uri plain) "$USERMAIL" -v -l -p mail)
    [[ $out == *"(2) cache not written: File too large"* ]] || fail "ulimit -f 0: the cause was not logged: <$out>"
    LDAPURI=$(uri plain) "$USERMAIL" -p mail >/dev/null
    for _ in 1 2; do
        out=$(ulimit -s 64 && LDAPURI=$(uri plain) "$USERMAIL" -p mail)
        status=$?
        [ "$status" = 0 ] && [ "$out" = alice@example.test ] || fail "ulimit -s 64: exit $status, <$out>"
    done
    ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac
finish
