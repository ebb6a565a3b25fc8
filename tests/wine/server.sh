#!/usr/bin/env bash
# Starts (start) or stops (stop) the persistent Wine server that a test run shares, so
# that every test program does not pay for Wine's start-up. The prefix is the build's own.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
case "${1:-}" in
  start)
    # Everything Wine leaves running must not hold the test runner's output pipes open,
    # or the runner would wait for them forever.
    exec </dev/null >/dev/null 2>&1
    # A server left by an interrupted run would refuse a second persistent one.
    wineserver -k || true
    wineserver -w
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      mkdir -p "$WINEPREFIX"
      wineboot --init || true
      wineserver -w
    fi
    wineserver -p
    wine cmd /c exit 0
    ;;
  stop)
    wineserver -k 2>/dev/null || true
    ;;
  *)
    echo "usage: server.sh start|stop" >&2
    exit 2
    ;;
esac
