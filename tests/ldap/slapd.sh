#!/bin/bash
# A private slapd for the tests and the demo: its own directory, an mdb
# database loaded with slapadd, listening only on a local socket there, SASL
# EXTERNAL with the peer's uid mapped to a user entry.
#   slapd.sh start DIR   (prints the LDAPURI to use)
#   slapd.sh stop DIR
# SLAPD_DEBUG=stats logs every operation to DIR/slapd.log. For benchmarks,
# SLAPD_SCHEMA names one more schema file to include and SLAPD_LDIF another
# directory to load.
# The caller's own uid maps to Alice, uid 2001 to Bob.
set -eu
action=$1 dir=$2
here=$(cd "$(dirname "$0")" && pwd)
socket=$dir/ldapi
uri="ldapi://$(printf '%s' "$socket" | sed 's|/|%2F|g')"

stop() {
    [ -f "$dir/slapd.pid" ] || return 0
    pid=$(cat "$dir/slapd.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$dir/slapd.pid"
}

case $action in
start)
    stop
    rm -rf "$dir"
    mkdir -p "$dir/db"
    # Other test users (nobody, daemon, bin) must reach the socket.
    chmod 755 "$dir"
    cat >"$dir/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
include /etc/ldap/schema/nis.schema
include /etc/ldap/schema/msuser.schema
include $here/usermail-test.schema
${SLAPD_SCHEMA:+include $SLAPD_SCHEMA}
pidfile $dir/slapd.pid
argsfile $dir/slapd.args
modulepath /usr/lib/ldap
moduleload back_mdb
authz-regexp "gidNumber=[0-9]+\\\\+uidNumber=$(id -u),cn=peercred,cn=external,cn=auth" "CN=Alice Liddell,ou=people,dc=example,dc=test"
authz-regexp "gidNumber=[0-9]+\\\\+uidNumber=2001,cn=peercred,cn=external,cn=auth" "CN=Bob Multi,ou=people,dc=example,dc=test"
database mdb
suffix "dc=example,dc=test"
directory $dir/db
maxsize 16777216
access to * by * read
CONF
    slapadd -q -f "$dir/slapd.conf" -l "${SLAPD_LDIF:-$here/directory.ldif}" >"$dir/slapadd.log" 2>&1 || {
        cat "$dir/slapadd.log" >&2
        exit 1
    }
    if [ -n "${SLAPD_DEBUG:-}" ]; then
        # In the foreground, its operations logged to slapd.log (benchmarks count them).
        slapd -f "$dir/slapd.conf" -h "$uri" -d "$SLAPD_DEBUG" >"$dir/slapd.log" 2>&1 &
    else
        slapd -f "$dir/slapd.conf" -h "$uri" -s 0 >"$dir/slapd.log" 2>&1 || {
            cat "$dir/slapd.log" >&2
            exit 1
        }
    fi
    for _ in $(seq 100); do
        if [ -S "$socket" ] && ldapsearch -LLL -Q -Y EXTERNAL -H "$uri" -s base -b "" namingContexts >/dev/null 2>&1; then
            chmod 777 "$socket"
            echo "$uri"
            exit 0
        fi
        sleep 0.1
    done
    echo "slapd did not start" >&2
    cat "$dir/slapd.log" >&2
    stop
    exit 1
    ;;
stop)
    stop
    ;;
*)
    echo "usage: slapd.sh start|stop DIR" >&2
    exit 2
    ;;
esac
