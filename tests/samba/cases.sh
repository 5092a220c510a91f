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

# run [ENV=VALUE...] -- ARGS...: inside the DC's namespace; sets $out, $status and $log
run() {
    local env=()
    while [ "$1" != -- ]; do env+=("$1"); shift; done
    shift
    rm -f "$work/usermail.log"
    capture timeout 60 "$here/dc.sh" exec "$DC" env "${env[@]}" "$USERMAIL" "$@"
    log=$(messages "$work/usermail.log" | cut -d' ' -f2-)
}
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
discovery)
    # Only krb5.conf and a ticket: the domain from the default realm, the DC
    # from its SRV record in the domain's DNS, the base from the root DSE.
    ticket
    run --
    expect 0 "$alice" "no ldap.conf, no LDAP variables"
    run -- -v
    haslines "schema = LDAP://dc1.example.test/schema/user"
    ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac

finish
