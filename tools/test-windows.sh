#!/usr/bin/env bash
# The Windows part of ./test: cross-builds the Windows program and the
# command-line tool with MinGW-w64 and tests them under Wine on a private
# Xvfb display.
#   build/win64  x86_64: built, then every test run through ctest under Wine
#                (dialog and viewer tests, end-to-end run, a real print to a
#                CUPS PDF printer, command-line smoke test, program image
#                check)
#   build/win32  i686: built and its image checked only; 32-bit Wine is not
#                available, and a 32-bit program under 64-bit Wine exits 0
#                without running, which would pass for nothing.
#
# ./test sources this file and calls test_windows, which counts through
# ./test's run_ctest and build_or_fail.  Run on its own, it prints its own
# summary line.

test_windows() {
  local started=$SECONDS
  source "$ROOT/tools/wine-env.sh"
  echo "=== windows: packages"
  if ! ensure_packages "${WINE_PACKAGES[@]}" "${PRINT_PACKAGES[@]}"; then
    echo "could not install the Windows build and Wine packages" >&2
    failed=$((failed + 1))
    status=1
    return 1
  fi

  if build_or_fail windows build/win64 -DCMAKE_BUILD_TYPE=Release -DX12_WERROR=ON \
    "-DCMAKE_TOOLCHAIN_FILE=$ROOT/tools/cmake/mingw-x86_64.cmake" \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=$ROOT/tools/wine-run.sh"; then
    local saved_display="${DISPLAY:-}"
    # Always a display of our own: the end-to-end test types into a window.
    if start_private_display && prepare_wine_prefix; then
      start_wine_server
      run_ctest windows build/win64
      stop_wine_server
    else
      echo "could not prepare Xvfb and Wine" >&2
      failed=$((failed + 1))
      status=1
    fi
    stop_private_display
    if [ -n "$saved_display" ]; then export DISPLAY="$saved_display"; else unset DISPLAY; fi
  fi

  # The whole tree is not built for i686: only the two programs it ships.
  echo "=== windows32: build"
  if { [ -f build/win32/build.ninja ] ||
       cmake -S "$ROOT" -B build/win32 -G Ninja -DCMAKE_BUILD_TYPE=Release -DX12_WERROR=ON \
         -DX12_BUILD_TESTS=OFF "-DCMAKE_TOOLCHAIN_FILE=$ROOT/tools/cmake/mingw-i686.cmake" >&2; } &&
     cmake --build build/win32 -j "$(nproc)" --target scramble835w scramble835 >&2; then
    run_ctest windows32 build/win32
  else
    echo "BUILD FAILED: windows32" >&2
    failed=$((failed + 1))
    status=1
  fi
  echo "=== windows: $((SECONDS - started)) s"
}

# Run on its own: the counting helpers of ./test in brief.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -uo pipefail
  ROOT="$(cd "$(dirname "$0")/.." && pwd)"
  cd "$ROOT" || exit 1
  source tools/lib.sh
  passed=0 failed=0 status=0
  logs="$ROOT/build/test-logs"
  mkdir -p "$logs"
  run_ctest() {
    local name="$1" dir="$2"
    echo "=== $name: ctest"
    (cd "$dir" && ctest --output-on-failure --timeout 900 -j 2) 2>&1 | tee "$logs/$name.log"
    [ "${PIPESTATUS[0]}" -eq 0 ] || status=1
    local line
    line=$(grep -E '[0-9]+ tests? failed out of [0-9]+' "$logs/$name.log" | tail -n 1)
    if [ -n "$line" ]; then
      local nfail ntotal
      nfail=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
      ntotal=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
      passed=$((passed + ntotal - nfail))
      failed=$((failed + nfail))
    else
      failed=$((failed + 1))
    fi
  }
  build_or_fail() {
    local name="$1" dir="$2"
    shift 2
    echo "=== $name: build"
    build_tree "$dir" "$@" || { echo "BUILD FAILED: $name" >&2; failed=$((failed + 1)); status=1; return 1; }
  }
  test_windows
  echo
  echo "Total: $passed passed, $failed failed"
  exit $status
fi
