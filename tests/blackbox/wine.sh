#!/bin/bash
# A private Wine prefix for the Windows tests: "setup" creates it, "stop" ends
# its wine server. Usage: wine.sh setup|logdir|stop PREFIX [TESTDLL]
# With TESTDLL, setup registers it as the in-process server of the
# ADSystemInfo class in that prefix, as Windows registers activeds.dll.
set -eu
export WINEPREFIX=$2 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case $1 in
setup)
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    wineboot --init >/dev/null 2>&1
    if [ -n "${3:-}" ]; then
        key='HKLM\Software\Classes\CLSID\{50B6327F-AFD1-11D2-9CB9-0000F87A369E}\InprocServer32'
        wine reg add "$key" /ve /d "$(winepath -w "$3")" /f >/dev/null 2>&1
        wine reg add "$key" /v ThreadingModel /d Both /f >/dev/null 2>&1
    fi
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
