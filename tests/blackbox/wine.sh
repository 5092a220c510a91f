#!/bin/bash
# A private Wine prefix for the Windows tests: "setup" creates it, "stop" ends
# its wine server. Usage: wine.sh setup|logdir|stop PREFIX
set -eu
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case $1 in
setup)
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1
    wineserver --wait
    ;;
logdir)
    # Where GetTempPathA points inside the prefix, as a Unix path.
    winepath -u "$(wine cmd /c 'echo %TEMP%' | tr -d '\r')"
    ;;
stop)
    wineserver --kill >/dev/null 2>&1 || true
    ;;
esac
