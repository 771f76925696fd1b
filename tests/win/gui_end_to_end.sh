#!/usr/bin/env bash
# End-to-end test of the Windows program under Wine: start it, type the two
# paths, press Scramble with its mnemonic, wait for "Done, Ready", check the
# output file and the report box, take a screenshot, open the About viewer
# with Info, take its screenshot, close it, leave through Exit.
#   gui_end_to_end.sh PROGRAM.exe dialog_probe.exe SAMPLE.835 WORKDIR
# Needs DISPLAY and the Wine prefix that tools/test-windows.sh prepares.
# Every wait here lasts until its event (a window appears or goes, a text
# shows, the program ends) or until the program ends: ctest's timeout is the
# only time limit.
set -uo pipefail
program="$1" probe="$2" sample="$3" work="$4"
here="$(cd "$(dirname "$0")" && pwd)"
wine_run="$here/../../tools/wine-run.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work" && mkdir -p "$work" || fail "cannot make $work"
cp "$sample" "$work/input.835"
winpath() { echo "Z:$1" | tr / '\\'; }
input="$(winpath "$work/input.835")"
output="$(winpath "$work/output.txt")"

WINE_TIMEOUT=120 "$wine_run" "$program" </dev/null >"$work/program.log" 2>&1 &
program_pid=$!
trap 'kill $program_pid 2>/dev/null' EXIT

running() { kill -0 "$program_pid" 2>/dev/null; }

# visible_window NAME: the id of a visible window whose name matches NAME.
visible_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1; }

# wait_window NAME: waits until such a window shows and prints its id.
wait_window() {
  local id
  until id=$(visible_window "$1") && [ -n "$id" ]; do
    running || return 1
    sleep 0.1
  done
  echo "$id"
}

# wait_gone NAME: waits until no visible window matches NAME.
wait_gone() {
  while [ -n "$(visible_window "$1")" ]; do
    running || return 1
    sleep 0.1
  done
}

# screenshot WINDOW FILE.png: waits until the window is drawn (the picture is
# not a single colour and two pictures in a row agree) and saves it.
screenshot() {
  local shot="$work/shot.ppm" last="$work/last.ppm"
  rm -f "$last"
  while :; do
    import -window "$1" "$shot" || return 1
    if [ "$(convert "$shot" -format '%k' info:)" != 1 ] && cmp -s "$shot" "$last"; then
      convert "$shot" "$2" && rm -f "$shot" "$last"
      return
    fi
    mv "$shot" "$last"
  done
}

title="Remittance De-Identifier version"
window=$(wait_window "$title") || fail "the program ended before its main dialog appeared"
echo "window: $(xdotool getwindowname "$window")"

probe() { WINE_TIMEOUT=30 "$wine_run" "$probe" "$1" </dev/null 2>/dev/null; }

xdotool windowfocus --sync "$window"
# The focus starts in the input-path field; Tab Tab reaches the output field.
xdotool type --delay 5 "$input"
xdotool key Tab Tab
xdotool type --delay 5 "$output"
[ "$(probe 101)" = "$input" ] || fail "input field holds '$(probe 101)'"
[ "$(probe 105)" = "$output" ] || fail "output field holds '$(probe 105)'"
xdotool key alt+s

# Each status shown is logged, so a run that never finishes shows where it stopped.
status="" shown=""
while [ "$status" != "Done, Ready" ]; do
  running || fail "the program ended; its status bar showed '$status'"
  status="$(probe 111)"
  [ "$status" = "$shown" ] || { echo "status: $status"; shown="$status"; }
done

report="$(probe 103)"
printf '%s' "$report" >"$work/report.txt"
grep -q "Input File (original file) is $(printf '%s' "$input" | sed 's/\\/\\\\/g')" "$work/report.txt" ||
  fail "report lacks the input path"
grep -q "Scrambled data written to file" "$work/report.txt" || fail "report lacks the output line"
grep -q "END OF REPORT" "$work/report.txt" || fail "report lacks its end"
[ -s "$work/output.txt" ] || fail "no output file"
head -c 4 "$work/output.txt" | grep -q '^ISA' || fail "output does not start with ISA"
# Same number of segments, the claims' identifiers exchanged.
in_segments=$(tr -d '\r\n' <"$work/input.835" | tr '~' '\n' | grep -c .)
out_segments=$(tr -d '\r\n' <"$work/output.txt" | tr '~' '\n' | grep -c .)
[ "$in_segments" = "$out_segments" ] || fail "segments: $in_segments in, $out_segments out"
cmp -s "$work/input.835" "$work/output.txt" && fail "output equals input"

screenshot "$window" "$work/main-dialog.png" || fail "no screenshot"
echo "screenshot: $work/main-dialog.png"

# Info opens the About viewer over the main dialog; Enter sends command 1,
# which is its Close button.
xdotool key alt+f
viewer=$(wait_window '^About$') || fail "the program ended before the About viewer appeared"
screenshot "$viewer" "$work/about-viewer.png" || fail "no screenshot of the viewer"
echo "screenshot: $work/about-viewer.png"
xdotool windowfocus --sync "$viewer"
xdotool key Return
wait_gone '^About$' || fail "the program ended instead of closing the viewer"
xdotool windowfocus --sync "$window"

xdotool key alt+x
wait "$program_pid"
rc=$?
trap - EXIT
[ "$rc" -eq 0 ] || fail "program exit code $rc"
echo "end-to-end run passed: status '$status', $out_segments segments written"
