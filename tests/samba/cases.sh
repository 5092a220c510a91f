#!/bin/bash
# Runs of the built program against the Samba AD domain controller of dc.sh,
# inside its network namespace, with Kerberos single sign-on.
#   USERMAIL  the program     DC  the DC's directory (dc.sh start DIR)
# Usage: cases.sh GROUP
group=$1
if [ -f "$DC/unavailable" ]; then
    echo "SKIP [$group] $(cat "$DC/unavailable")"
    exit 77
fi
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../common.sh"
cd "$work" || exit 2
# Kerberos from the DC's own files; no ticket, ldap.conf or LDAP variable of this machine's.
export KRB5_CONFIG=$DC/krb5.conf KRB5CCNAME=FILE:$work/ccache TMPDIR=$work LDAPRC=.no-ldaprc XDG_CACHE_HOME=$work/cache
unset LDAPURI LDAPBASE LDAPSASL_MECH LDAPCONF LDAPHOST

# run [ENV=VALUE...] -- ARGS...: inside the DC's namespace (through the
# command in $wrap, when set); sets $out, $status and $log
run() {
    local env=()
    while [ "$1" != -- ]; do env+=("$1"); shift; done
    shift
    rm -f "$work/usermail.log"
    started=$(date +%s%N)
    capture timeout 60 "$here/dc.sh" exec "$DC" env "${env[@]}" "${wrap[@]}" "$USERMAIL" "$@"
    finished=$(date +%s%N)
    log=$(messages "$work/usermail.log" | cut -d' ' -f2-)
}
# elapsed: milliseconds since the last run() started
elapsed() { echo $(((finished - started) / 1000000)); }
wrap=()
ticket() { "$here/dc.sh" exec "$DC" kinit -k -t "$DC/alice.keytab" alice || fail "no ticket for alice"; }

# The order of the user class's declarations in Samba's schema.
alice="a.liddell@example.test,alice.liddell@example.test,alice@example.test"

case $group in
sso)
    # A ticket and no password anywhere; Samba has no "Who am I?", so the
    # account is found from the bind's Kerberos principal (the runner is root).
    ticket
    run LDAPCONF="$DC/ldap.conf" -- -v
    expect 0 "$alice" "single sign-on"
    haslines "user name = CN=Alice Liddell,CN=Users,DC=example,DC=test" "bind to user object okay" \
        "name = CN=Alice Liddell" "schema = LDAP://dc1.example.test/schema/user" "schema retrieved okay" \
        "mandatory properties (" "objectClass = <unhandled variant type>" "sAMAccountName = alice" \
        "objectSid = <unhandled variant type>" "optional properties (" \
        "msRTCSIP-PrimaryUserAddress = sip:a.liddell@example.test" "mail = alice.liddell@example.test" \
        "userPrincipalName = alice@example.test" "proxyAddresses = <unhandled variant type>" \
        "objectGUID = <unhandled variant type>"
    # A first run guesses the account search and sends it in its first
    # round, before the root DSE's answer calls for the schema's stamp.
    haslines 'search "DC=example,DC=test" scope subtree filter (sAMAccountName=alice)' \
        'search "CN=Schema,CN=Configuration,DC=example,DC=test" scope base'
    [ "$(grep -c 'scope subtree filter (sAMAccountName=alice)' <<<"$log")" = 1 ] ||
        fail "a first run searched the account again"
    run LDAPCONF="$DC/ldap.conf" -- -p proxyAddresses
    expect 0 "" "a multi-valued attribute yields nothing"
    ;;
noticket)
    start=$(date +%s)
    run LDAPCONF="$DC/ldap.conf" --
    [ "$status" = 1 ] || fail "without a ticket: exit $status"
    [[ $out == "unable to retrieve user name ("*"SASL"*"No Kerberos credentials available"*")" ]] ||
        fail "without a ticket: <$out>"
    [ $(($(date +%s) - start)) -lt 30 ] || fail "without a ticket: too slow"
    ;;
schemachange)
    # The schema cache on Active Directory: a warm run logs and prints what a
    # cold one does; after the schema is extended (the aggregate's stamp
    # stays at the epoch, the schema container's moves) the cache is not used.
    ticket
    base=DC=example,DC=test
    extend() {
        "$here/dc.sh" exec "$DC" ldbmodify -H "$DC/private/sam.ldb" --option="dsdb:schema update allowed=true" \
            >/dev/null || fail "the schema could not be extended"
    }
    # A cold run reads the classes' and attributes' schema objects; one that
    # may not read the user class's object reads the subschema instead. Both
    # must log the same, for alice as she is (the user class's content rule
    # brings auxiliary classes) and with an auxiliary class of her own.
    userclass() { # ACE: who may read the user class's object
        printf '%s\n' "dn: CN=User,CN=Schema,CN=Configuration,$base" "changetype: modify" \
            "replace: nTSecurityDescriptor" \
            "nTSecurityDescriptor: O:SAG:SAD:AI$1(A;;RPLCLORC;;;AU)(A;;RPWPCRCCLCLORCWOWDSW;;;SA)" "-" | extend
    }
    readings() { # WHAT
        rm -rf "$work/cache"
        run LDAPCONF="$DC/ldap.conf" -- -v 2
        expect 0 "$alice" "$1, from the schema objects"
        haslines "schema read from its objects: "
        local objects
        objects=$(messages "$work/usermail.log" | grep '^1 ')
        userclass "(D;;RP;;;AU)"
        rm -rf "$work/cache"
        run LDAPCONF="$DC/ldap.conf" -- -v 2
        userclass ""
        expect 0 "$alice" "$1, from the subschema"
        haslines "the schema objects could not be read (32 = no schema object for the class user): reading the subschema"
        [ "$objects" = "$(messages "$work/usermail.log" | grep '^1 ')" ] ||
            fail "$1: the objects and the subschema differ: $(diff <(echo "$objects") <(messages "$work/usermail.log" | grep '^1 '))"
    }
    readings "alice"
    iphost() { printf '%s\n' "dn: CN=Alice Liddell,CN=Users,$base" "changetype: modify" "$1: objectClass" "objectClass: ipHost" "-" | extend; }
    iphost add
    readings "alice with an auxiliary class"
    iphost delete

    rm -rf "$work/cache"
    run LDAPCONF="$DC/ldap.conf" -- -v 1
    cold=$log
    run LDAPCONF="$DC/ldap.conf" -- -v
    expect 0 "$alice" "warm cache"
    [[ $log == *"schema cache used"* ]] || fail "the second run didn't use the cache"
    run LDAPCONF="$DC/ldap.conf" -- -v 1
    [ "$log" = "$cold" ] || fail "the level-1 log differs with the cache: $(diff <(echo "$cold") <(echo "$log"))"
    printf '%s\n' "dn: CN=usermail-Test-Extra,CN=Schema,CN=Configuration,$base" "changetype: add" \
        "objectClass: top" "objectClass: attributeSchema" "cn: usermail-Test-Extra" \
        "lDAPDisplayName: usermailTestExtra" "attributeID: 1.3.6.1.4.1.32473.1.1.9" "attributeSyntax: 2.5.5.12" \
        "oMSyntax: 64" "isSingleValued: TRUE" "" "dn:" "changetype: modify" "replace: schemaUpdateNow" \
        "schemaUpdateNow: 1" "-" | extend
    printf '%s\n' "dn: CN=User,CN=Schema,CN=Configuration,$base" "changetype: modify" "add: mayContain" \
        "mayContain: usermailTestExtra" "-" "" "dn:" "changetype: modify" "replace: schemaUpdateNow" \
        "schemaUpdateNow: 1" "-" | extend
    printf '%s\n' "dn: CN=Alice Liddell,CN=Users,$base" "changetype: modify" "add: usermailTestExtra" \
        "usermailTestExtra: extra@example.test" "-" | extend
    sleep 1 # the stamps have a resolution of a second
    run LDAPCONF="$DC/ldap.conf" -- -v -p usermailTestExtra
    expect 0 "extra@example.test" "an attribute added to the schema"
    [[ $log != *"schema cache used"* ]] || fail "a changed schema was answered from the cache"
    ;;
discovery)
    # Only krb5.conf and a ticket: the domain from the default realm, the DC
    # from its SRV record in the domain's DNS, the base from the root DSE.
    ticket
    run --
    expect 0 "$alice" "no ldap.conf, no LDAP variables"
    run -- -v
    haslines "schema = LDAP://dc1.example.test/schema/user"
    # The machine in another realm than the user's ticket: the user's own
    # domain is looked in, as on Windows.
    sed 's/default_realm = EXAMPLE.TEST/default_realm = OTHER.TEST/' "$DC/krb5.conf" >"$work/other.conf"
    run KRB5_CONFIG="$work/other.conf" -- -v
    expect 0 "$alice" "a ticket of another realm than the default"
    haslines "domain = example.test (from the user's Kerberos ticket)" "controller dc1.example.test:389: connected"
    ;;
locator)
    # Controllers that never answer (silent.py) or refuse (nothing listens
    # on 127.0.0.2), in the domain's DNS beside the real one.
    ticket
    tool() { "$here/dc.sh" exec "$DC" samba-tool "$@" -s "$DC/etc/smb.conf" >/dev/null || fail "samba-tool $*"; }
    dns() { tool dns "$1" 127.0.0.1 "${@:2}" -U "administrator%$(cat "$DC/adminpass")"; }
    domainwide() { dns "$1" _msdcs.example.test _ldap._tcp.dc SRV "${@:2}"; }
    branch() { dns "$1" _msdcs.example.test _ldap._tcp.BRANCH._sites.dc SRV "dc1.example.test 389 0 100"; }
    "$here/dc.sh" exec "$DC" python3 "$here/silent.py" 127.0.0.3 127.0.0.5 127.0.0.6 127.0.0.7 127.0.0.8 \
        >"$work/silent.out" &
    silent=$!
    trap 'kill $silent 2>/dev/null; rm -rf "$work"' EXIT
    for _ in $(seq 50); do grep -q ready "$work/silent.out" && break; sleep 0.1; done
    dns add example.test silent A 127.0.0.3
    dns add example.test refusing A 127.0.0.2
    # The client's site, BRANCH, has the real controller; the domain lists a
    # silent one first.
    tool sites create BRANCH -H "$DC/private/sam.ldb"
    tool sites subnet create 127.0.0.0/8 BRANCH -H "$DC/private/sam.ldb"
    branch add
    domainwide update "dc1.example.test 389 0 100" "dc1.example.test 389 10 100"
    domainwide add "silent.example.test 389 0 100"
    fresh() { rm -rf "$work/cache"; }

    fresh
    run -- -v
    expect 0 "$alice" "the client's site"
    haslines "site = BRANCH (said by dc1.example.test, itself in site Default-First-Site-Name)" \
        "dns srv _ldap._tcp.BRANCH._sites.dc._msdcs.example.test: dc1.example.test:389" \
        "controller dc1.example.test:389: connected" "schema = LDAP://dc1.example.test/schema/user"
    [ "$(elapsed)" -lt 3000 ] || fail "with its site, the run took $(elapsed) ms"
    echo "site: $(elapsed) ms"
    run -- -v
    expect 0 "$alice" "the site remembered"
    haslines "site = BRANCH (remembered)" "controller dc1.example.test:389: connected"
    [[ $log != *"said by"* ]] || fail "a remembered site was asked again"
    # The laptop moved: its subnet is now site HQ's. The connected controller
    # says so in the first round, and the very next run asks HQ's name.
    tool sites create HQ -H "$DC/private/sam.ldb"
    tool sites subnet set-site 127.0.0.0/8 HQ -H "$DC/private/sam.ldb"
    dns add _msdcs.example.test _ldap._tcp.HQ._sites.dc SRV "dc1.example.test 389 0 100"
    run -- -v
    expect 0 "$alice" "a site that moved"
    haslines "site = BRANCH (remembered)" \
        "site = HQ (said by dc1.example.test, not BRANCH as remembered: its controllers come first from the next run)"
    run -- -v
    haslines "site = HQ (remembered)" "dns srv _ldap._tcp.HQ._sites.dc._msdcs.example.test: dc1.example.test:389"
    tool sites subnet set-site 127.0.0.0/8 BRANCH -H "$DC/private/sam.ldb"
    dns delete _msdcs.example.test _ldap._tcp.HQ._sites.dc SRV "dc1.example.test 389 0 100"

    # No controller in the site: the domain's, in order, passing over the
    # silent one after the connect time-out.
    branch delete
    fresh
    run -- -v
    expect 0 "$alice" "failover from a silent controller"
    haslines "dns srv _ldap._tcp.BRANCH._sites.dc._msdcs.example.test: no such name" \
        "controller silent.example.test:389: " "controller dc1.example.test:389: connected" \
        "schema = LDAP://dc1.example.test/schema/user"
    [ "$(elapsed)" -ge 4900 ] && [ "$(elapsed)" -lt 7000 ] || fail "failover from a silent controller: $(elapsed) ms"
    echo "failover from a silent controller: $(elapsed) ms"
    run LDAPNETWORK_TIMEOUT=1 --
    expect 0 "$alice" "failover with a configured connect time-out"
    [ "$(elapsed)" -ge 900 ] && [ "$(elapsed)" -lt 2500 ] || fail "with a 1 s connect time-out: $(elapsed) ms"
    echo "failover from a silent controller, NETWORK_TIMEOUT 1: $(elapsed) ms"
    domainwide update "silent.example.test 389 0 100" "refusing.example.test 389 0 100"
    run -- -v
    expect 0 "$alice" "failover from a refusing controller"
    haslines "controller refusing.example.test:389: Connection refused" "controller dc1.example.test:389: connected"
    [ "$(elapsed)" -lt 2000 ] || fail "failover from a refusing controller: $(elapsed) ms"
    echo "failover from a refusing controller: $(elapsed) ms"

    # None answers: the silent one is tried again until the run's deadline,
    # and the message lists each and why.
    domainwide update "dc1.example.test 389 10 100" "silent.example.test 389 10 100"
    run USERMAIL_DEADLINE=6 -- -v
    [ "$status" = 1 ] || fail "no controller answers: exit $status"
    haslines "no controller answered in time: trying 1 again in "
    [[ $out == "unable to create ADSystemInfo com instance (4294967295 = Can't contact LDAP server: no domain"\
" controller of example.test could be reached: refusing.example.test:389 (Connection refused), silent.example.test:389"\
" (no answer within "*" ms); the time for finding one ran out; name a server with URI in ldap.conf)" ]] ||
        fail "no controller answers: <$out>"
    [ "$(elapsed)" -lt 7000 ] || fail "no controller answers: $(elapsed) ms, over the deadline"
    echo "no controller answers: $(elapsed) ms"
    # A configured list: the schema path names the server connected to.
    sed 's|^URI .*|URI ldap://127.0.0.2 ldap://dc1.example.test|' "$DC/ldap.conf" >"$work/ldap.conf"
    run LDAPCONF="$work/ldap.conf" -- -v
    expect 0 "$alice" "a configured list with a refusing server first"
    haslines "schema = LDAP://dc1.example.test/schema/user"
    # A configured server that doesn't answer (its listen queue full, as in
    # a logon storm) is tried again after a pause until the run's deadline.
    sed 's|^URI .*|URI ldap://127.0.0.3|' "$DC/ldap.conf" >"$work/ldap.conf"
    run LDAPCONF="$work/ldap.conf" LDAPNETWORK_TIMEOUT=1 USERMAIL_DEADLINE=4 -- -v
    [[ $status = 1 && $out == "unable to create ADSystemInfo com instance (4294967295 = Can't contact LDAP server: no configured server could be reached: 127.0.0.3:389 (no answer within "*" ms)"* ]] ||
        fail "a configured silent server: <$out>"
    haslines "server 127.0.0.3:389: no answer within 1000 ms (from the configured URI list)" \
        "no server answered in time: trying 1 again in "
    [ "$(elapsed)" -lt 5000 ] || fail "a configured silent server: $(elapsed) ms, over the deadline"
    # A list of them is walked within the deadline, one attempt each, every
    # server named (libldap gives each its whole time-out, past the deadline).
    sed 's|^URI .*|URI ldap://127.0.0.3 ldap://127.0.0.5 ldap://127.0.0.6,ldap://127.0.0.7 ldap://127.0.0.8|' \
        "$DC/ldap.conf" >"$work/ldap.conf"
    run LDAPCONF="$work/ldap.conf" LDAPNETWORK_TIMEOUT=1 USERMAIL_DEADLINE=3 -- -v
    [[ $out == "unable to create ADSystemInfo com instance (4294967295 = Can't contact LDAP server: no configured server could be reached: 127.0.0.3:389 (no answer within 1000 ms), 127.0.0.5:389 (no answer within 1000 ms), 127.0.0.6:389 (no answer within "*"; the time for connecting ran out)" ]] ||
        fail "five silent configured servers: <$out>"
    [ "$(elapsed)" -lt 4500 ] || fail "five silent configured servers: $(elapsed) ms, over the deadline"
    domainwide delete "refusing.example.test 389 0 100"
    domainwide update "silent.example.test 389 10 100" "dc1.example.test 389 0 100"
    ;;
silentdns)
    # Debian's stock krb5.conf realm, and a name server that never answers.
    printf '[libdefaults]\n\tdefault_realm = ATHENA.MIT.EDU\n' >"$work/krb5.conf"
    printf 'nameserver 127.0.0.4\noptions timeout:5 attempts:2\n' >"$work/resolv.conf"
    "$here/dc.sh" exec "$DC" python3 "$here/silent.py" 127.0.0.4 >"$work/silent.out" &
    silent=$!
    trap 'kill $silent 2>/dev/null; rm -rf "$work"' EXIT
    for _ in $(seq 50); do grep -q ready "$work/silent.out" && break; sleep 0.1; done
    wrap=(unshare -m sh -c 'mount --bind "$0" /etc/resolv.conf && exec "$@"' "$work/resolv.conf")
    run KRB5_CONFIG="$work/krb5.conf" -- -v
    [ "$status" = 1 ] || fail "silent DNS: exit $status"
    [[ $out == "unable to create ADSystemInfo com instance (4294967295 = Can't contact LDAP server: no domain"\
" controller of athena.mit.edu (the Kerberos default realm) found: DNS did not answer"\
" (_ldap._tcp.dc._msdcs.athena.mit.edu: no answer); name a server with URI in ldap.conf)" ]] || fail "silent DNS: <$out>"
    haslines "domain = athena.mit.edu (from the Kerberos default realm)" \
        "dns srv _ldap._tcp.dc._msdcs.athena.mit.edu: no answer"
    [ "$(elapsed)" -lt 3000 ] || fail "silent DNS: $(elapsed) ms"
    echo "silent DNS: $(elapsed) ms"
    # A configured host name DNS doesn't answer for: its look-up has one
    # attempt's time, within the deadline, and the failure names it.
    run KRB5_CONFIG="$work/krb5.conf" LDAPURI=ldap://dc9.athena.mit.edu LDAPNETWORK_TIMEOUT=1 USERMAIL_DEADLINE=3 -- -v
    [[ $status = 1 && $out == "unable to create ADSystemInfo com instance (4294967295 = Can't contact LDAP server: no"\
" configured server could be reached: dc9.athena.mit.edu:389 ("* ]] || fail "a configured name, silent DNS: <$out>"
    [ "$(elapsed)" -lt 4000 ] || fail "a configured name, silent DNS: $(elapsed) ms"
    # A name server that answers the SRV query and never the controller's
    # address: the look-ups share the locator's budget, and no "no site" is
    # remembered for a ping that could ask no one.
    kill $silent
    wait $silent 2>/dev/null
    "$here/dc.sh" exec "$DC" python3 "$here/silent.py" --srv _ldap._tcp.dc._msdcs.athena.mit.edu=dc9.athena.mit.edu \
        127.0.0.4 >"$work/silent.out" &
    silent=$!
    for _ in $(seq 50); do grep -q ready "$work/silent.out" && break; sleep 0.1; done
    for timeout in "" 1; do
        run KRB5_CONFIG="$work/krb5.conf" ${timeout:+LDAPNETWORK_TIMEOUT=$timeout} \
            USERMAIL_DEADLINE=$((${timeout:-5} * 2)) -- -v
        [[ $out == *"no domain controller of athena.mit.edu could be reached: dc9.athena.mit.edu:389 (its address:"\
" no answer within "*" ms)"*"; name a server with URI in ldap.conf)" ]] || fail "SRV without addresses: exit $status, <$out>"
        echo "SRV without addresses, connect time-out ${timeout:-5} s: $(elapsed) ms"
        limit=$((${timeout:-5} * 2000 + 500))
        [ "$(elapsed)" -lt "$limit" ] || fail "SRV without addresses: $(elapsed) ms, over the budget"
        haslines "site ping: no controller to ask (none of dc9.athena.mit.edu has an address within "
    done
    [ -z "$(ls "$XDG_CACHE_HOME"/usermail/site-* 2>/dev/null)" ] || fail "a ping that asked no one was remembered"
    # An answer too long for UDP (a domain of many controllers) is asked
    # again over TCP, where this name server holds the connection and never
    # answers: the locator's budget covers that query too.
    kill $silent
    wait $silent 2>/dev/null
    "$here/dc.sh" exec "$DC" python3 "$here/silent.py" --truncate 127.0.0.4 >"$work/silent.out" &
    silent=$!
    for _ in $(seq 50); do grep -q ready "$work/silent.out" && break; sleep 0.1; done
    run KRB5_CONFIG="$work/krb5.conf" LDAPNETWORK_TIMEOUT=1 -- -v
    [[ $status = 1 && $out == *"no domain controller of athena.mit.edu (the Kerberos default realm) found: DNS did not answer"* ]] ||
        fail "DNS holding TCP: exit $status, <$out>"
    echo "DNS holding TCP, connect time-out 1 s: $(elapsed) ms"
    [ "$(elapsed)" -lt 2500 ] || fail "DNS holding TCP: $(elapsed) ms, over the budget"
    ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac

finish
