#!/usr/bin/env bash
# Starts the Windows program under Wine, for users on Linux (./run --gui).
# Builds the x86_64 program first if needed, prepares the project's Wine
# prefix under build/, and uses the current X display; only when there is
# none is a private Xvfb started (the program then runs unseen, e.g. for a
# remote screenshot with `import -display $DISPLAY -window root shot.png`).
set -uo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT" || exit 1
source tools/lib.sh
source tools/wine-env.sh

ensure_packages "${WINE_PACKAGES[@]}" || { echo "could not install the Wine packages" >&2; exit 1; }
# Configured once like ./test's Windows tree; only the program is built here
# (nothing is printed when it is up to date).
if [ ! -f build/win64/build.ninja ]; then
  cmake -S "$ROOT" -B build/win64 -G Ninja -DCMAKE_BUILD_TYPE=Release -DX12_WERROR=ON \
    "-DCMAKE_TOOLCHAIN_FILE=$ROOT/tools/cmake/mingw-x86_64.cmake" \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=$ROOT/tools/wine-run.sh" >&2 || exit 1
fi
build_quietly build/win64 --target scramble835w || { echo "build failed" >&2; exit 1; }

if [ -z "${DISPLAY:-}" ]; then
  start_private_display || exit 1
  echo "No display was set: the program runs on the private display $DISPLAY." >&2
  trap stop_private_display EXIT
fi
prepare_wine_prefix || exit 1
# No time limit here: the user decides when to leave the program.
WINE_TIMEOUT=0 "$ROOT/tools/wine-run.sh" "$ROOT/build/win64/app/scramble835w.exe"
