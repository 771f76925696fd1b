#include "scramble_command.h"

#include <commctrl.h>

#include <algorithm>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "main_dialog.h"
#include "platform.h"
#include "run.h"
#include "system_error_text.h"
#include "win_handles.h"

const char kOutOfMemoryText[] =
    "Not enough memory to finish the run.\r\n"
    "Its temporary files have been deleted.";

namespace {

constexpr size_t kStatusLimit = 259;
constexpr size_t kHeadLength = 320;
constexpr size_t kKeptBesideTail = 600;

// Memory ran out after the run had ended, while its report was being shown.
const char kReportNotShownText[] =
    "The scrambled data was written completely to the output file,\r\n"
    "but there was not enough memory to show the run's report.";

RandomSource* gRandomInstead = nullptr;

}  // namespace

std::string MainDialogControls::InputPathText() { return ControlText(dialog_, IDC_INPUT_PATH); }

std::string MainDialogControls::OutputPathText() { return ControlText(dialog_, IDC_OUTPUT_PATH); }

bool MainDialogControls::ListingChecked() {
  return IsDlgButtonChecked(dialog_, IDC_LISTING) == BST_CHECKED;
}

bool MainDialogControls::ThoroughChecked() {
  return IsDlgButtonChecked(dialog_, IDC_THOROUGH) == BST_CHECKED;
}

void MainDialogControls::SetStatusText(const std::string& text) {
  HWND statusBar = GetDlgItem(dialog_, IDC_STATUS_BAR);
  if (statusBar != nullptr) {
    SetWindowTextA(statusBar, text.c_str());
    // A run made in place lets no message through until it ends; paint
    // now so that the user sees the stage the run has reached.
    UpdateWindow(statusBar);
  }
  // Each stage moves the bar from its start.
  SendDlgItemMessageA(dialog_, IDC_PROGRESS, PBM_SETPOS, 0, 0);
}

void MessageBoxNotice::Show(const std::string& text) {
  MessageBoxA(nullptr, text.c_str(), kDefaultCaption, MB_OK);
}

RandomSource& ProgramRandomSource() {
  static SystemRandom source;
  if (gRandomInstead != nullptr) return *gRandomInstead;
  return source;
}

void SetProgramRandomSource(RandomSource* source) { gRandomInstead = source; }

std::string CutReportForBox(const std::string& report, size_t limit) {
  if (report.size() <= limit) return report;
  const size_t tailLength = limit > kKeptBesideTail ? limit - kKeptBesideTail : 0;
  return report.substr(0, kHeadLength) + "\r\n\r\n[ detail removed ]\r\n\r\n" +
         report.substr(report.size() - std::min(tailLength, report.size()));
}

namespace {

// What a run hands from its thread to the dialog's.
struct RunOutcome {
  const char* failure = nullptr;  // the run was abandoned: the text to show
  int32_t scanCode = 0;
  bool outputWritten = false;  // the output file is complete and in place
  std::string report;
  std::vector<std::string> warnings;
};

// The engine's messages, shown on the dialog's thread (where the dialog's
// own message boxes come from too) whichever thread the run is on.
class DialogThreadNotice final : public EngineNotice {
 public:
  explicit DialogThreadNotice(HWND dialog) : dialog_(dialog) {}
  void Show(const std::string& text) override {
    SendMessageA(dialog_, kRunNoticeMessage, 0, reinterpret_cast<LPARAM>(&text));
  }

 private:
  HWND dialog_;
};

// Moves the progress bar of the dialog named in the target.
void StepProgressBar(const ProgressTarget& target, int percent) {
  SendDlgItemMessageA(reinterpret_cast<HWND>(target.dialog), target.controlId, PBM_SETPOS,
                      static_cast<WPARAM>(percent), 0);
}

ProgressTarget ProgressBarOf(HWND dialog) {
  ProgressTarget target;
  target.window = reinterpret_cast<intptr_t>(dialog);
  target.useDialogControl = 1;
  target.dialog = reinterpret_cast<intptr_t>(dialog);
  target.controlId = IDC_PROGRESS;
  target.step = StepProgressBar;
  return target;
}

// The run itself, on whichever thread: nothing is thrown out of it.  A run
// that memory ran out under (or that failed otherwise) leaves no temporary
// file: those still named are deleted here, the others went with their
// owners as the failure passed them.
RunOutcome RunForDialog(HWND dialog) noexcept {
  RunOutcome outcome;
  try {
    HWND reportBox = GetDlgItem(dialog, IDC_REPORT);
    std::string status = "Scanning " + ControlText(dialog, IDC_INPUT_PATH);
    if (status.size() > kStatusLimit) status.resize(kStatusLimit);
    SetWindowTextA(reportBox, status.c_str());
    UpdateWindow(reportBox);

    // The run makes and deletes both temporary files, sets the status
    // texts up to the engine's last, and reads the report back.
    MainDialogControls controls(dialog);
    DialogThreadNotice notice(dialog);
    RunResult run = RunScramble(controls, ProgramRandomSource(), notice, ProgressBarOf(dialog));
    outcome.scanCode = run.scanCode;
    outcome.outputWritten = run.scramble.outputWritten;
    outcome.report = std::move(run.report);
    outcome.warnings = std::move(run.scramble.warnings);
  } catch (const std::bad_alloc&) {
    DeleteRegisteredTempFiles();
    outcome = RunOutcome();
    outcome.failure = kOutOfMemoryText;
  } catch (...) {
    DeleteRegisteredTempFiles();
    outcome = RunOutcome();
    outcome.failure =
        "The run stopped on an unexpected failure.\r\n"
        "Its temporary files have been deleted.";
  }
  return outcome;
}

// What the report's counts do not tell: input left unread, claims whose
// values could not move, values written empty.
void ShowWarnings(const RunOutcome& outcome) noexcept {
  for (const std::string& warning : outcome.warnings) {
    MessageBoxA(nullptr, warning.c_str(), kDefaultCaption, MB_OK | MB_ICONWARNING);
  }
}

void ShowReport(HWND dialog, RunOutcome& outcome) {
  HWND reportBox = GetDlgItem(dialog, IDC_REPORT);
  if (outcome.scanCode != 0) MessageBeep(MB_ICONHAND);
  std::string report = std::move(outcome.report);
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
  MainDialogControls(dialog).SetStatusText("Done, Ready");
  ShowWarnings(outcome);
}

// An abandoned run, or a report that could not be shown: the report box is
// emptied and the user is told.
void ShowRunProblem(HWND dialog, const char* text) {
  SetWindowTextA(GetDlgItem(dialog, IDC_REPORT), "");
  MessageBoxA(nullptr, text, kDefaultCaption, MB_OK | MB_ICONHAND);
  MainDialogControls(dialog).SetStatusText("Done, Ready");
}

// The outcome shown on the dialog's thread; nothing is thrown out of it.
// Memory that runs out while the report is being shown (cutting it for the
// box) leaves the run as it ended: when its output is complete, the user is
// told that, and still gets the warnings about it, rather than that the run
// failed.
void ShowOutcome(HWND dialog, RunOutcome& outcome) noexcept {
  if (outcome.failure == nullptr) {
    try {
      ShowReport(dialog, outcome);
      return;
    } catch (const std::bad_alloc&) {
      if (outcome.outputWritten) {
        ShowRunProblem(dialog, kReportNotShownText);
        ShowWarnings(outcome);
        return;
      }
      outcome.failure = kOutOfMemoryText;
    }
  }
  ShowRunProblem(dialog, outcome.failure);
}

using UniqueThread = UniqueWinHandle<NullHandleTraits<HANDLE, &CloseHandle>>;

// A run on a thread of its own, kept with its dialog as a window property.
struct DialogRun {
  HWND dialog = nullptr;
  UniqueThread thread;
  RunOutcome outcome;
  std::vector<HWND> disabled;  // the controls to enable again at the end
  HWND focus = nullptr;
  bool abandoned = false;  // the dialog is going: its notices are not shown
};

const char kRunProperty[] = "Scramble835.Run";

DialogRun* RunOf(HWND dialog) { return static_cast<DialogRun*>(GetPropA(dialog, kRunProperty)); }

DWORD WINAPI RunThread(void* parameter) {
  DialogRun* run = static_cast<DialogRun*>(parameter);
  run->outcome = RunForDialog(run->dialog);
  PostMessageA(run->dialog, kRunEndedMessage, 0, 0);
  return 0;
}

// The controls a user could start something with: every enabled button and
// edit field of the dialog but the report box.
std::vector<HWND> ControlsToDisable(HWND dialog) {
  std::vector<HWND> controls;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    char className[16] = {};
    GetClassNameA(child, className, sizeof className);
    if (lstrcmpiA(className, "Button") != 0 && lstrcmpiA(className, "Edit") != 0) continue;
    if (GetDlgCtrlID(child) == IDC_REPORT || !IsWindowEnabled(child)) continue;
    controls.push_back(child);
  }
  return controls;
}

void SetClassCursor(HWND dialog, LPCSTR name) {
  // The class cursor takes effect at the next WM_SETCURSOR; SetCursor
  // shows it at once.
  HCURSOR cursor = LoadCursor(nullptr, name);
  SetClassLongPtrA(dialog, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(cursor));
  SetCursor(cursor);
}

// The arrow back, and the focus where it was if disabling a control took
// it away, so that the keyboard keeps working after the run.
void EndBusyLook(HWND dialog, HWND focus) {
  SetClassCursor(dialog, IDC_ARROW);
  if (GetFocus() == nullptr && focus != nullptr) SetFocus(focus);
}

// The runs being made in place on this thread, the latest first: each
// lives on the stack of its RunInPlace, so that marking one needs
// neither memory nor a window property (the lack of either is what made
// it run in place).  A message box of one such run may let another dialog
// of the thread start one of its own.
struct InPlaceRun {
  HWND dialog;
  const InPlaceRun* earlier;
};

thread_local const InPlaceRun* tInPlaceRuns = nullptr;

bool RunningInPlace(HWND dialog) {
  for (const InPlaceRun* run = tInPlaceRuns; run != nullptr; run = run->earlier) {
    if (run->dialog == dialog) return true;
  }
  return false;
}

// A run made in place, holding the dialog's thread until it ends.  The
// engine's message boxes have no owner: while one is open the dialog takes
// input, so its controls are disabled as for a run of its own and
// ScrambleRunning holds (Exit, a close request and a dropped file do
// nothing) until the report and the warnings have been shown.  `disabled`
// is empty when even its list could not be had: ScrambleRunning still
// holds then.
void RunInPlace(HWND dialog, const std::vector<HWND>& disabled) noexcept {
  const InPlaceRun marker{dialog, tInPlaceRuns};
  tInPlaceRuns = &marker;
  HWND focus = GetFocus();
  SetDlgItemTextA(dialog, IDC_REPORT, "");
  for (HWND control : disabled) EnableWindow(control, FALSE);
  SetClassCursor(dialog, IDC_WAIT);
  ScrambleCommand(dialog);
  for (HWND control : disabled) EnableWindow(control, TRUE);
  tInPlaceRuns = marker.earlier;
  EndBusyLook(dialog, focus);
}

}  // namespace

void ScrambleCommand(HWND dialog) {
  RunOutcome outcome = RunForDialog(dialog);
  ShowOutcome(dialog, outcome);
}

void StartScrambleCommand(HWND dialog) {
  if (ScrambleRunning(dialog)) return;
  // The list first, so that a run made in place has it too.
  std::vector<HWND> disabled;
  std::unique_ptr<DialogRun> run;
  try {
    disabled = ControlsToDisable(dialog);
    run.reset(new DialogRun);
    run->dialog = dialog;
    run->focus = GetFocus();
  } catch (const std::bad_alloc&) {
    run.reset();
  }
  if (run == nullptr || !SetPropA(dialog, kRunProperty, run.get())) {
    // No room for a run of its own.
    RunInPlace(dialog, disabled);
    return;
  }
  run->disabled = std::move(disabled);
  DialogRun* own = run.release();  // the property owns it now
  SetDlgItemTextA(dialog, IDC_REPORT, "");
  for (HWND control : own->disabled) EnableWindow(control, FALSE);
  SetClassCursor(dialog, IDC_WAIT);
  own->thread.Reset(CreateThread(nullptr, 0, RunThread, own, 0, nullptr));
  if (!own->thread.Valid()) {
    // No thread: the run is made here, and ends as a run of its own does.
    own->outcome = RunForDialog(dialog);
    PostMessageA(dialog, kRunEndedMessage, 0, 0);
  }
}

bool ScrambleRunning(HWND dialog) { return RunOf(dialog) != nullptr || RunningInPlace(dialog); }

void FinishScrambleCommand(HWND dialog) {
  if (RunOf(dialog) == nullptr || RunOf(dialog)->abandoned) return;
  // The run is the dialog's no more from here (nothing can free it while
  // the boxes below are open); its controls come back once the report and
  // the warnings have been shown.
  std::unique_ptr<DialogRun> run(static_cast<DialogRun*>(RemovePropA(dialog, kRunProperty)));
  // The thread posted the end as its last act: this wait is over at once.
  if (run->thread.Valid()) WaitForSingleObject(run->thread.Get(), INFINITE);
  ShowOutcome(dialog, run->outcome);
  for (HWND control : run->disabled) EnableWindow(control, TRUE);
  EndBusyLook(dialog, run->focus);
}

void AbandonScrambleCommand(HWND dialog) {
  DialogRun* run = RunOf(dialog);
  if (run == nullptr) return;
  run->abandoned = true;
  // The run's thread may be sending to the dialog: those messages are let
  // through while the thread is waited for.
  if (run->thread.Valid()) {
    HANDLE thread = run->thread.Get();
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
      MSG message;
      PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
  }
  RemovePropA(dialog, kRunProperty);
  delete run;
}

void ShowRunNotice(HWND dialog, const std::string& text) {
  DialogRun* run = RunOf(dialog);
  if (run != nullptr && run->abandoned) return;
  MessageBoxNotice().Show(text);
}
