#!/usr/bin/env bash
# The Windows command-line tool under Wine, ended in the middle of a run by
# Ctrl-C and by kill -9, once while it scans and once while it writes the
# output.  Afterwards no temporary file may be left: no "~uw*" or "~RT*" in
# the temporary folder of the Wine prefix, no "~sc*.tmp" beside the output,
# and no output.
#   cli_interrupt.sh scramble835.exe gen835.exe WORKDIR
#
# Ctrl-C under Wine 8: the process that `wine` starts is the Windows program
# itself, and SIGINT sent to it makes Wine run the program's console control
# handlers with CTRL_C_EVENT, with standard input and output redirected to
# files and no terminal at all.  `timeout` passes a SIGINT it receives on to
# its command, so the signal is sent to timeout here.  The tool's handler
# ends the process with STATUS_CONTROL_C_EXIT (0xC000013A), which the shell
# sees as 58; Wine's own default handler would end it with 0.
#
# The stages are told by the files themselves: the unwrapped copy ("~uw")
# appears in the temporary folder when the scan starts, the output's
# temporary file ("~sc*.tmp") beside the output when the rewrite starts.
set -uo pipefail
tool="$(realpath "$1")" generator="$(realpath "$2")" work="$3"
wine_run="$(cd "$(dirname "$0")" && pwd)/../../tools/wine-run.sh"
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="${X12_WINEPREFIX:-$(cd "$(dirname "$0")/../.." && pwd)/build/wine-prefix}"
temp_folders=("$prefix"/drive_c/users/*/Temp)
temp="${temp_folders[0]}"
[ -d "$temp" ] || fail "no temporary folder in the Wine prefix $prefix"

rm -rf "$work" && mkdir -p "$work" || fail "cannot make $work"
cd "$work" || fail "cannot enter $work"
WINE_TIMEOUT=120 "$wine_run" "$generator" --size-mb 60 --seed 7 -o input.835 </dev/null \
  >/dev/null 2>&1 || fail "could not generate the input"

leftovers() {
  # shellcheck disable=SC2012
  { ls -A "$temp" | grep -E '^~(uw|RT)'; ls -A . | grep -E '^~sc.*\.tmp$'; } 2>/dev/null
}
[ -z "$(leftovers)" ] || fail "temporary files before the first run: $(leftovers)"

# signal, pattern of the file that shows the stage, folder it appears in
run_case() {
  local signal="$1" pattern="$2" folder="$3"
  local name="SIG$signal while $pattern exists"
  rm -f out.txt
  WINE_TIMEOUT=120 "$wine_run" "$tool" --quiet input.835 out.txt </dev/null >report.txt \
    2>errors.txt &
  local timeout_pid=$!
  # Waits for the stage, as long as the run goes on.
  until ls -A "$folder" | grep -qE "$pattern"; do
    kill -0 "$timeout_pid" 2>/dev/null || fail "$name: the run ended before the stage was seen"
    sleep 0.02
  done
  if [ "$signal" = KILL ]; then
    # The Windows program: the one child of timeout.
    local program
    program=$(pgrep -P "$timeout_pid") || fail "$name: the program's process was not found"
    kill -KILL "$program"
  else
    kill -INT "$timeout_pid"
  fi
  wait "$timeout_pid" 2>/dev/null
  local status=$?
  # The server closes a dead process's handles (deleting the files held
  # open for deletion) when it learns of the death, which it does before it
  # serves a process started after it: one trivial run, and it is done.
  WINE_TIMEOUT=60 "$wine_run" cmd /c exit </dev/null >/dev/null 2>&1
  [ -z "$(leftovers)" ] || fail "$name: left behind: $(leftovers)"
  [ ! -e out.txt ] || fail "$name: an output was written"
  if [ "$signal" = KILL ]; then
    [ "$status" -eq 137 ] || fail "$name: exit status $status, not that of SIGKILL"
  else
    [ "$status" -eq 58 ] || fail "$name: exit status $status, not STATUS_CONTROL_C_EXIT"
  fi
}

run_case INT '^~uw' "$temp"
run_case INT '^~sc.*\.tmp$' .
run_case KILL '^~uw' "$temp"
run_case KILL '^~sc.*\.tmp$' .
echo "no temporary file left after Ctrl-C or kill -9 under Wine"
