#!/usr/bin/env bash
# Runs the Wine test cases in a Wine prefix of their own:
#   bash run-under-wine.sh VANTREL_EXE WINE_TESTS [gtest options]
# Wine resets dosdevices/com1 to /dev/ttyS0 whenever it starts, so COM1 is mapped through the
# registry to a fixed path that each case points at its simulated board. One persistent
# wineserver serves all cases (a Wine start without one costs seconds); the trap ends it.
set -euo pipefail
exe=$1
tests=$2
shift 2

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-wine.XXXXXX")
export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
export VANTREL_WINE_PORT=$work/com1
cleanup() {
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$WINEPREFIX"
wineboot -i >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log" >&2; exit 1; }
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /t REG_SZ /d "$VANTREL_WINE_PORT" /f >/dev/null
# Wine's device manager maps the ports when it starts: the mapping takes effect with the next
# wineserver, which then stays for all cases.
wineserver -k
wineserver -w
wineserver -p >"$work/wineserver.log" 2>&1
# The first start after the registry change sets up the ports; it is not one of the cases.
wine "$exe" -h </dev/null >/dev/null 2>&1 || true
if [[ $(readlink "$WINEPREFIX/dosdevices/com1") != "$VANTREL_WINE_PORT" ]]; then
    echo "run-under-wine: Wine did not map COM1 to $VANTREL_WINE_PORT" >&2
    exit 1
fi

"$tests" "$@"
