#!/bin/bash
# Starts or stops the scripted LDAP server: every scenario of scenarios.json
# on a local socket of its own, DIR/<scenario>.sock.
#   server.sh start DIR | server.sh stop DIR
set -eu
action=$1 dir=$2
here=$(cd "$(dirname "$0")" && pwd)
stop() {
    [ -f "$dir/server.pid" ] || return 0
    kill "$(cat "$dir/server.pid")" 2>/dev/null || true
    rm -f "$dir/server.pid"
}
case $action in
start)
    stop
    rm -rf "$dir"
    mkdir -p "$dir"
    python3 "$here/ldapserver.py" "$here/scenarios.json" "$dir" >"$dir/server.log" 2>&1 &
    echo $! >"$dir/server.pid"
    for _ in $(seq 100); do
        [ -e "$dir/ready" ] && exit 0
        sleep 0.1
    done
    echo "the scripted server did not start:" >&2
    cat "$dir/server.log" >&2
    exit 1
    ;;
stop) stop ;;
esac
