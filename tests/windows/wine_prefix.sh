#!/usr/bin/env bash
# Starts or stops the Wine prefix in $WINEPREFIX that the Windows tests
# share:
#   wine_prefix.sh start KEEPALIVE.exe     wine_prefix.sh stop
# Wine's helper processes are started here with their output sent to
# /dev/null: started by a test, they would hold CTest's output pipe open
# and the test would not end until they exit. KEEPALIVE.exe keeps them
# from going idle between tests.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
wine=${WINE:-wine}
wineserver=${WINESERVER:-wineserver}

restart_server() {
  "$wineserver" -k </dev/null >/dev/null 2>&1 || true
  "$wineserver" -w </dev/null >/dev/null 2>&1 || true
  "$wineserver" -p </dev/null >/dev/null 2>&1
}

case "${1:-}" in
  start)
    mkdir -p "$WINEPREFIX"
    # A fresh server: one left running for this prefix may predate the
    # driver setting below.
    restart_server
    "$wine" wineboot -i </dev/null >/dev/null 2>&1
    # There is no display: Wine's null graphics driver lets programs create
    # windows (and Wine's desktop process start) without one. The desktop
    # process reads it when it starts, so the session is started again.
    "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    restart_server
    "$wine" wineboot </dev/null >/dev/null 2>&1
    # The keep-alive program runs until the prefix stops; wait until its
    # window (and so the desktop process) exists.
    keepalive=${2:?the keep-alive program}
    ready=$WINEPREFIX/keepalive.ready
    rm -f "$ready"
    "$wine" "$keepalive" "Z:${ready//\//\\}" </dev/null >/dev/null 2>&1 &
    for _ in $(seq 1 300); do
      [[ -e $ready ]] && break
      sleep 0.1
    done
    [[ -e $ready ]] || { echo "the keep-alive program did not start" >&2; exit 1; }
    echo "Wine prefix ready: $WINEPREFIX"
    ;;
  stop)
    "$wineserver" -k </dev/null >/dev/null 2>&1 || true
    echo "Wine prefix stopped"
    ;;
  *)
    echo "usage: $0 start KEEPALIVE.exe | stop" >&2
    exit 2
    ;;
esac
