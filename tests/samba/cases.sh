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
schemachange)
    # The schema cache on Active Directory: a warm run logs and prints what a
    # cold one does; after the schema is extended (the aggregate's stamp
    # stays at the epoch, the schema container's moves) the cache is not used.
    ticket
    run LDAPCONF="$DC/ldap.conf" -- -v 1
    cold=$log
    run LDAPCONF="$DC/ldap.conf" -- -v
    expect 0 "$alice" "warm cache"
    [[ $log == *"schema cache used"* ]] || fail "the second run didn't use the cache"
    run LDAPCONF="$DC/ldap.conf" -- -v 1
    [ "$log" = "$cold" ] || fail "the level-1 log differs with the cache: $(diff <(echo "$cold") <(echo "$log"))"
    base=DC=example,DC=test
    extend() {
        "$here/dc.sh" exec "$DC" ldbmodify -H "$DC/private/sam.ldb" --option="dsdb:schema update allowed=true" \
            >/dev/null || fail "the schema could not be extended"
    }
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
    ;;
*)
    echo "unknown group $group"
    exit 2
    ;;
esac

finish
