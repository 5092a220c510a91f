#!/bin/bash
# A throwaway Samba Active Directory domain controller for the tests, inside a
# network namespace of its own that has nothing but loopback, so that no
# packet can leave the machine. Everything of the DC lives in DIR.
#   dc.sh start DIR   provision and start it (exit 77: this machine can't)
#   dc.sh stop DIR    stop it by its PID and remove the namespace
#   dc.sh exec DIR COMMAND...   run a command inside the namespace
# The domain: EXAMPLE.TEST, DC dc1.example.test at 127.0.0.1, with its
# internal DNS, the connectionless LDAP service (site pings) and the RPC
# server (for samba-tool dns); the user alice, with a keytab
# (DIR/alice.keytab); the administrator's password in DIR/adminpass.
set -eu
action=$1 dir=$2
shift 2
ns=usermail-$(printf '%s' "$dir" | md5sum | cut -c1-10)
realm=EXAMPLE.TEST domain=EXAMPLE host=dc1 fqdn=dc1.example.test base=DC=example,DC=test
alicedn="CN=Alice Liddell,CN=Users,$base"
export KRB5_CONFIG=$dir/krb5.conf

skip() {
    echo "SKIP: $*" | tee "$dir/unavailable"
    exit 77
}

inside() { ip netns exec "$ns" "$@"; }

stop() {
    if [ -f "$dir/samba.pid" ]; then
        pid=$(cat "$dir/samba.pid")
        kill -TERM "$pid" 2>/dev/null || true
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        rm -f "$dir/samba.pid"
    fi
    # Nothing may outlive the namespace: whatever still runs in it goes too.
    if ip netns list 2>/dev/null | grep -qw "$ns"; then
        for pid in $(ip netns pids "$ns"); do
            kill -KILL "$pid" 2>/dev/null || true
        done
    fi
    ip netns del "$ns" 2>/dev/null || true
    rm -rf "/etc/netns/$ns"
}

provision() {
    local adminpass="Admin-Pass-$RANDOM-x1"
    (umask 077 && printf '%s' "$adminpass" >"$dir/adminpass")
    inside samba-tool domain provision --targetdir="$dir" --realm=$realm --domain=$domain \
        --host-name=$host --host-ip=127.0.0.1 --server-role=dc --dns-backend=SAMBA_INTERNAL \
        --adminpass="$adminpass" \
        --option="interfaces=lo" --option="bind interfaces only=yes" \
        --option="server services=ldap kdc dns cldap rpc" --option="disable netbios=yes" \
        --option="dns forwarder=127.0.0.1" \
        --option="pid directory=$dir/run" --option="ncalrpc dir=$dir/run/ncalrpc" \
        --option="winbindd socket directory=$dir/run/winbindd" --option="log file=$dir/log.%m" \
        >"$dir/provision.log" 2>&1
    local modify="inside ldbmodify -H $dir/private/sam.ldb"
    # The ldap/ service principals (samba_spnupdate would add them, in a
    # service this DC doesn't run), for GSSAPI binds to the DC by name.
    $modify >/dev/null <<LDIF
dn: CN=DC1,OU=Domain Controllers,$base
changetype: modify
add: servicePrincipalName
servicePrincipalName: ldap/$fqdn
servicePrincipalName: ldap/$fqdn/example.test
servicePrincipalName: ldap/$fqdn/$domain
servicePrincipalName: ldap/${host^^}
-
LDIF
    # The SIP address attribute, then (in a run of its own, once the schema
    # knows the attribute) as a may-contain of user.
    $modify --option="dsdb:schema update allowed=true" >/dev/null <<LDIF
dn: CN=ms-RTCSIP-PrimaryUserAddress,CN=Schema,CN=Configuration,$base
changetype: add
objectClass: top
objectClass: attributeSchema
cn: ms-RTCSIP-PrimaryUserAddress
lDAPDisplayName: msRTCSIP-PrimaryUserAddress
adminDisplayName: ms-RTCSIP-PrimaryUserAddress
attributeID: 1.3.6.1.4.1.32473.1.1.1
attributeSyntax: 2.5.5.12
oMSyntax: 64
isSingleValued: TRUE
searchFlags: 1

dn:
changetype: modify
replace: schemaUpdateNow
schemaUpdateNow: 1
-
LDIF
    $modify --option="dsdb:schema update allowed=true" >/dev/null <<LDIF
dn: CN=User,CN=Schema,CN=Configuration,$base
changetype: modify
add: mayContain
mayContain: msRTCSIP-PrimaryUserAddress
-

dn:
changetype: modify
replace: schemaUpdateNow
schemaUpdateNow: 1
-
LDIF
    inside samba-tool user create alice "Alice-Pass-$RANDOM-x1" --given-name=Alice --surname=Liddell \
        --mail-address=alice.liddell@example.test -s "$dir/etc/smb.conf" >/dev/null
    inside samba-tool user setexpiry alice --noexpiry -s "$dir/etc/smb.conf" >/dev/null
    $modify >/dev/null <<LDIF
dn: $alicedn
changetype: modify
replace: userPrincipalName
userPrincipalName: alice@example.test
-
replace: msRTCSIP-PrimaryUserAddress
msRTCSIP-PrimaryUserAddress: sip:a.liddell@example.test
-
replace: proxyAddresses
proxyAddresses: SMTP:alice.liddell@example.test
proxyAddresses: smtp:alice@example.test
-
LDIF
    inside samba-tool domain exportkeytab "$dir/alice.keytab" --principal=alice@$realm \
        -s "$dir/etc/smb.conf" >/dev/null
    # Clients: an explicit KDC and no DNS look-ups for Kerberos itself.
    cat >"$dir/krb5.conf" <<CONF
[libdefaults]
	default_realm = $realm
	dns_lookup_realm = false
	dns_lookup_kdc = false
	rdns = false
	dns_canonicalize_hostname = false
[realms]
	$realm = {
		kdc = 127.0.0.1
		default_domain = example.test
	}
[domain_realm]
	.example.test = $realm
	example.test = $realm
CONF
    printf 'URI ldap://%s\nBASE %s\nSASL_MECH GSSAPI\nSASL_NOCANON on\nREFERRALS off\n' $fqdn $base >"$dir/ldap.conf"
}

case $action in
start)
    stop
    rm -rf "$dir"
    mkdir -p "$dir/run"
    [ "$(id -u)" = 0 ] || skip "the domain controller needs root (network namespaces)"
    for command in samba samba-tool ldbmodify kinit ip; do
        command -v $command >/dev/null || skip "$command is not installed"
    done
    [ -e /usr/lib/x86_64-linux-gnu/sasl2/libgssapiv2.so ] || skip "the SASL GSSAPI module is not installed"
    ip netns add "$ns" 2>/dev/null || skip "network namespaces are not available"
    # Entering one remounts /, which a chroot can't do.
    inside ip link set lo up 2>/dev/null || { ip netns delete "$ns"; skip "network namespaces can't be entered here"; }
    # Name resolution of the namespace only ("ip netns exec" mounts these
    # over /etc/hosts and /etc/resolv.conf); the DC's own DNS answers it.
    mkdir -p "/etc/netns/$ns"
    printf '127.0.0.1\tlocalhost %s\n127.0.0.1\t%s %s\n::1\tlocalhost\n' "$(hostname)" $fqdn $host \
        >"/etc/netns/$ns/hosts"
    printf 'nameserver 127.0.0.1\noptions timeout:1 attempts:1\n' >"/etc/netns/$ns/resolv.conf"
    started=$(date +%s%N)
    provision || { cat "$dir/provision.log" >&2; stop; exit 1; }
    # Started straight from here, so that $! is samba itself.
    ip netns exec "$ns" samba -s "$dir/etc/smb.conf" -i -M single >"$dir/samba.out" 2>&1 &
    echo $! >"$dir/samba.pid"
    for _ in $(seq 300); do
        inside ldapsearch -x -H ldap://127.0.0.1 -s base -b '' defaultNamingContext >/dev/null 2>&1 && break
        sleep 0.1
    done
    for _ in $(seq 100); do
        KRB5CCNAME=FILE:$dir/probe.ccache inside kinit -k -t "$dir/alice.keytab" alice 2>/dev/null && break
        sleep 0.1
    done
    rm -f "$dir/probe.ccache"
    if ! KRB5CCNAME=FILE:$dir/probe.ccache inside kinit -k -t "$dir/alice.keytab" alice; then
        cat "$dir/samba.out" >&2
        stop
        exit 1
    fi
    rm -f "$dir/probe.ccache"
    elapsed=$((($(date +%s%N) - started) / 100000000))
    echo "domain controller ready in $((elapsed / 10)).$((elapsed % 10)) s"
    ;;
stop)
    stop
    ;;
exec)
    exec ip netns exec "$ns" "$@"
    ;;
*)
    echo "usage: dc.sh start|stop|exec DIR [COMMAND...]" >&2
    exit 2
    ;;
esac
