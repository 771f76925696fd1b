# Shared helpers of tools/test-windows.sh and tools/run-gui.sh: an X display,
# a private Wine prefix and its server.  Source it; do not run it.
# Expects ROOT (the repository).

WINE_PACKAGES=(g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64 xvfb fonts-wine xdotool
               imagemagick x11-utils googletest cmake ninja-build python3 procps)
# The printing test's: a print scheduler, a PDF printer and PDF readers.
PRINT_PACKAGES=(cups printer-driver-cups-pdf poppler-utils)

# The project's Wine prefix lives under build/, away from the user's own.
export WINEPREFIX="${X12_WINEPREFIX:-$ROOT/build/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

X12_XVFB_PID=""

# Starts Xvfb on the first free display from :90 on and exports DISPLAY.
start_private_display() {
  local n
  for n in $(seq 90 140); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    X12_XVFB_PID=$!
    # Until the server answers; one that ends (the display was taken
    # meanwhile) sends us on to the next number.
    while kill -0 "$X12_XVFB_PID" 2>/dev/null; do
      if xdpyinfo -display ":$n" >/dev/null 2>&1; then
        export DISPLAY=":$n"
        return 0
      fi
      sleep 0.1
    done
    wait "$X12_XVFB_PID" 2>/dev/null
    X12_XVFB_PID=""
  done
  echo "could not start Xvfb" >&2
  return 1
}

stop_private_display() {
  if [ -n "$X12_XVFB_PID" ]; then
    kill "$X12_XVFB_PID" 2>/dev/null
    wait "$X12_XVFB_PID" 2>/dev/null
    X12_XVFB_PID=""
  fi
}

# Makes the prefix once: Wine's own fonts copied in (Debian's Wine does not
# find them otherwise) and unmanaged windows (without a window manager every
# managed window waits about 2 s when it closes).
prepare_wine_prefix() {
  if [ ! -f "$WINEPREFIX/.x12-ready" ]; then
    mkdir -p "$WINEPREFIX"
    timeout 180 wineboot --init </dev/null >/dev/null 2>&1 || { echo "wineboot failed" >&2; return 1; }
    timeout 60 wineserver -w
    mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
    cp /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null
    timeout 60 wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
      </dev/null >/dev/null 2>&1 || { echo "wine reg add failed" >&2; return 1; }
    timeout 60 wineserver -w
    touch "$WINEPREFIX/.x12-ready"
  fi
}

# A persistent server started with its output sent away: ctest otherwise
# waits for Wine's helper processes that inherited its pipes.
start_wine_server() {
  wineserver -p </dev/null >/dev/null 2>&1
  timeout 60 wine cmd /c exit </dev/null >/dev/null 2>&1
  # tools/wine-run.sh finds the display here when ctest is run by hand.
  echo "$DISPLAY" >"$WINEPREFIX/.x12-display"
}

stop_wine_server() {
  timeout 30 wineserver -k >/dev/null 2>&1
  rm -f "$WINEPREFIX/.x12-display"
}
