#!/usr/bin/env bash
# Runs a Windows program under the project's Wine prefix, with a time limit
# (WINE_TIMEOUT seconds, 300 unless set).  The cross build uses it as the
# emulator of its tests; tools/test-windows.sh prepares prefix and display.
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${X12_WINEPREFIX:-$ROOT/build/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if [ -z "${DISPLAY:-}" ] && [ -f "$WINEPREFIX/.x12-display" ]; then
  DISPLAY="$(cat "$WINEPREFIX/.x12-display")"
  export DISPLAY
fi
exec timeout --kill-after=10 "${WINE_TIMEOUT:-300}" wine "$@"
