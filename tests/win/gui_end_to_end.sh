#!/usr/bin/env bash
# End-to-end test of the Windows program under Wine: start it, type the two
# paths, press Scramble with its mnemonic, wait for "Done, Ready", check the
# output file and the report box, take a screenshot, open the About viewer
# with Info, take its screenshot, close it, leave through Exit.
#   gui_end_to_end.sh PROGRAM.exe dialog_probe.exe SAMPLE.835 WORKDIR
# Needs DISPLAY and the Wine prefix that tools/test-windows.sh prepares.
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

title="Remittance De-Identifier version"
window=$(timeout 60 xdotool search --sync --onlyvisible --name "$title" | head -n 1)
[ -n "$window" ] || fail "the main dialog did not appear"
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

status=""
for _ in $(seq 1 60); do
  status="$(probe 111)"
  [ "$status" = "Done, Ready" ] && break
  sleep 0.5
done
[ "$status" = "Done, Ready" ] || fail "status bar shows '$status'"

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

import -window "$window" "$work/main-dialog.png" || fail "no screenshot"
echo "screenshot: $work/main-dialog.png"

# Info opens the About viewer over the main dialog; Enter sends command 1,
# which is its Close button.
xdotool key alt+f
viewer=$(timeout 30 xdotool search --sync --onlyvisible --name '^About$' | head -n 1)
[ -n "$viewer" ] || fail "the About viewer did not appear"
sleep 0.5
import -window "$viewer" "$work/about-viewer.png" || fail "no screenshot of the viewer"
echo "screenshot: $work/about-viewer.png"
xdotool windowfocus --sync "$viewer"
xdotool key Return
for _ in $(seq 1 40); do
  xdotool search --onlyvisible --name '^About$' >/dev/null 2>&1 || break
  sleep 0.25
done
xdotool search --onlyvisible --name '^About$' >/dev/null 2>&1 && fail "Close did not end the viewer"
xdotool windowfocus --sync "$window"

xdotool key alt+x
for _ in $(seq 1 40); do
  kill -0 "$program_pid" 2>/dev/null || break
  sleep 0.25
done
kill -0 "$program_pid" 2>/dev/null && fail "Exit did not end the program"
wait "$program_pid"
rc=$?
trap - EXIT
[ "$rc" -eq 0 ] || fail "program exit code $rc"
echo "end-to-end run passed: status '$status', $out_segments segments written"
