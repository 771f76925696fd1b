#!/usr/bin/env bash
# Prints under Wine for real: sets up CUPS with the cups-pdf printer, runs
# the PrintToPrinter tests of the Windows test program, and checks that the
# About document arrived as a PDF with as many pages as PrintRichEdit
# counted and with its text in it.
#   print_to_pdf.sh win_app_tests.exe WORKDIR
# Needs DISPLAY and the Wine prefix that tools/test-windows.sh prepares, and
# the packages cups, printer-driver-cups-pdf and poppler-utils.
# Every wait here lasts until its event (the scheduler answers, the PDF is
# complete, the queue is empty): ctest's timeout is the only time limit.
set -uo pipefail
tests="$1" work="$2"
here="$(cd "$(dirname "$0")" && pwd)"
wine_run="$here/../../tools/wine-run.sh"

cupsd_pid=""
cleanup() {
  if [ -n "$cupsd_pid" ]; then
    kill "$cupsd_pid" 2>/dev/null
    wait "$cupsd_pid" 2>/dev/null
  fi
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

for tool in cupsd lpadmin lpstat pdfinfo pdftotext; do
  command -v "$tool" >/dev/null || fail "$tool is missing (cups, printer-driver-cups-pdf, poppler-utils)"
done
rm -rf "$work" && mkdir -p "$work" || fail "cannot make $work"

# There is no init system: start the scheduler unless one is running.
if ! timeout 5 lpstat -r 2>/dev/null | grep -q "is running"; then
  mkdir -p /run/cups
  cupsd -f </dev/null >"$work/cupsd.log" 2>&1 &
  cupsd_pid=$!
  until timeout 5 lpstat -r 2>/dev/null | grep -q "is running"; do
    kill -0 "$cupsd_pid" 2>/dev/null || { cat "$work/cupsd.log"; fail "cupsd did not start"; }
    sleep 0.1
  done
fi
timeout 30 lpadmin -p PDF -v cups-pdf:/ -E -m lsb/usr/cups-pdf/CUPS-PDF_opt.ppd ||
  fail "cannot add the PDF printer"
timeout 30 lpadmin -d PDF || fail "cannot make PDF the default printer"

# cups-pdf writes into the submitting user's ~/PDF (or its spool for
# anonymous jobs); only files newer than this mark count, so wait until a
# file made now is newer than it (at once where times have nanoseconds).
outdirs=("$HOME/PDF" /var/spool/cups-pdf)
touch "$work/mark"
until touch "$work/tick" && [ -n "$(find "$work/tick" -newer "$work/mark")" ]; do sleep 0.1; done

run_tests() {
  X12_PRINT_PAGES="Z:$(echo "$work/pages.txt" | tr / '\\')" WINE_TIMEOUT=120 \
    "$wine_run" "$tests" --gtest_filter="$1" </dev/null 2>&1 | tr -d '\r'
  return "${PIPESTATUS[0]}"
}

# queue_empty: true when the scheduler holds no job for the printer.
queue_empty() {
  local jobs
  jobs=$(timeout 5 lpstat -o PDF 2>/dev/null) && [ -z "$jobs" ]
}
# The ids of the printer's finished jobs (done, cancelled or aborted); fails
# when the scheduler does not answer.
finished_jobs() {
  local jobs
  jobs=$(timeout 5 lpstat -W completed -o PDF 2>/dev/null) || return 1
  awk '{print $1}' <<<"$jobs" | sort
}
finished_before=$(finished_jobs) || fail "the scheduler does not list its jobs"

run_tests 'PrintToPrinter.PrintsTheInfoDocument' >"$work/print.log" ||
  { cat "$work/print.log"; fail "printing the About document failed"; }
pages=$(tr -dc 0-9 <"$work/pages.txt")
[ -n "$pages" ] || fail "no page count reported"

# The PDF is complete once the scheduler has finished the job; a job that
# finished without leaving one failed.
new_pdf() { find "${outdirs[@]}" -name '*.pdf' -newer "$work/mark" 2>/dev/null | head -n 1; }
while :; do
  pdf=$(new_pdf)
  if queue_empty; then
    [ -n "$pdf" ] && break
    if finished=$(finished_jobs) && [ "$finished" != "$finished_before" ]; then
      pdf=$(new_pdf)
      [ -n "$pdf" ] && break
      timeout 5 lpstat -W all -o 2>&1 | tail -n 3
      fail "no PDF arrived"
    fi
  fi
  sleep 0.2
done
cp "$pdf" "$work/about.pdf"
rm -f "$pdf"
pdf_pages=$(timeout 30 pdfinfo "$work/about.pdf" | sed -n 's/^Pages: *//p')
[ "$pdf_pages" = "$pages" ] || fail "PrintRichEdit counted $pages pages, the PDF has $pdf_pages"
timeout 30 pdftotext "$work/about.pdf" "$work/about.txt" || fail "pdftotext failed"
for phrase in "ANSI 835 Remittance De-Identifier" "What it keeps" "mailto:support@example.com"; do
  grep -qF "$phrase" "$work/about.txt" || fail "the PDF lacks \"$phrase\""
done
echo "printed: $pages pages, $(wc -w <"$work/about.txt") words in $work/about.pdf"

run_tests 'PrintToPrinter.EmptyControlPrintsNoPage:PrintToPrinter.CancelledDialogLeavesEverythingAlone' \
  >"$work/other.log" || { cat "$work/other.log"; fail "the empty and cancelled prints failed"; }
grep -q "PASSED.*2 tests" "$work/other.log" || { cat "$work/other.log"; fail "the two tests did not run"; }
echo "empty control and cancelled dialog: passed"

# The empty document is a job too: let it finish and take away what it left,
# so that nothing of this run is waiting in the queue or the folder.
until queue_empty; do sleep 0.2; done
find "${outdirs[@]}" -name '*.pdf' -newer "$work/mark" -delete 2>/dev/null
exit 0
