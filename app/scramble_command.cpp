#include "scramble_command.h"

#include <algorithm>
#include <new>
#include <utility>

#include "main_dialog.h"
#include "platform.h"
#include "run.h"
#include "system_error_text.h"

namespace {

constexpr size_t kStatusLimit = 259;
constexpr size_t kHeadLength = 320;
constexpr size_t kKeptBesideTail = 600;

}  // namespace

std::string MainDialogControls::InputPathText() { return ControlText(dialog_, IDC_INPUT_PATH); }

std::string MainDialogControls::OutputPathText() { return ControlText(dialog_, IDC_OUTPUT_PATH); }

bool MainDialogControls::ListingChecked() {
  return IsDlgButtonChecked(dialog_, IDC_LISTING) == BST_CHECKED;
}

void MainDialogControls::SetStatusText(const std::string& text) {
  HWND statusBar = GetDlgItem(dialog_, IDC_STATUS_BAR);
  if (statusBar == nullptr) return;
  SetWindowTextA(statusBar, text.c_str());
  // The run lets no message through until it ends; paint now so that the
  // user sees the stage the run has reached.
  UpdateWindow(statusBar);
}

void MessageBoxNotice::Show(const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), kDefaultCaption, MB_OK);
}

RandomSource& ProgramRandomSource() {
  static SystemRandom source;
  return source;
}

std::string CutReportForBox(const std::string& report, size_t limit) {
  if (report.size() <= limit) return report;
  const size_t tailLength = limit > kKeptBesideTail ? limit - kKeptBesideTail : 0;
  return report.substr(0, kHeadLength) + "\r\n\r\n[ detail removed ]\r\n\r\n" +
         report.substr(report.size() - std::min(tailLength, report.size()));
}

namespace {

void RunAndShowReport(HWND dialog) {
  HWND reportBox = GetDlgItem(dialog, IDC_REPORT);
  std::string status = "Scanning " + ControlText(dialog, IDC_INPUT_PATH);
  if (status.size() > kStatusLimit) status.resize(kStatusLimit);
  SetWindowTextA(reportBox, status.c_str());
  UpdateWindow(reportBox);

  // The run makes and deletes both temporary files, sets the status texts
  // up to the engine's last, and reads the report back.
  MainDialogControls controls(dialog);
  MessageBoxNotice notice;
  RunResult run = RunScramble(controls, ProgramRandomSource(), notice, ProgressTarget{});
  if (run.scanCode != 0) MessageBeep(MB_ICONHAND);

  std::string report = std::move(run.report);
  const size_t limit = static_cast<size_t>(SendMessageA(reportBox, EM_GETLIMITTEXT, 0, 0));
  if (report.size() > limit) {
    MessageBoxA(nullptr, "Text is too long for this screen.\r\nWill edit detail from middle",
                "Report too big", MB_OK);
    report = CutReportForBox(report, limit);
  }
  if (!SetWindowTextA(reportBox, report.c_str())) {
    std::string text = SystemErrorText(static_cast<int32_t>(GetLastError()));
    MessageBoxA(nullptr, text.c_str(), "Show report problem", MB_OK);
  }
  controls.SetStatusText("Done, Ready");
  // What the report's counts do not tell: input left unread, claims whose
  // values could not move, values written empty.
  for (const std::string& warning : run.scramble.warnings) {
    MessageBoxA(nullptr, warning.c_str(), kDefaultCaption, MB_OK | MB_ICONWARNING);
  }
}

// A run that memory ran out under (or that failed otherwise): its
// temporary files go, and the user is told.
void ShowAbandonedRun(HWND dialog, const char* text) {
  DeleteRegisteredTempFiles();
  SetWindowTextA(GetDlgItem(dialog, IDC_REPORT), "");
  MessageBoxA(nullptr, text, kDefaultCaption, MB_OK | MB_ICONHAND);
  MainDialogControls(dialog).SetStatusText("Done, Ready");
}

}  // namespace

void ScrambleCommand(HWND dialog) {
  // No exception may cross the window procedure.
  try {
    RunAndShowReport(dialog);
  } catch (const std::bad_alloc&) {
    ShowAbandonedRun(dialog,
                     "Not enough memory to finish the run.\r\n"
                     "Its temporary files have been deleted.");
  } catch (...) {
    ShowAbandonedRun(dialog,
                     "The run stopped on an unexpected failure.\r\n"
                     "Its temporary files have been deleted.");
  }
}
