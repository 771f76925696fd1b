// The Scramble command: one run from the dialog's paths to the report box.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

#include "engine.h"
#include "random.h"

/// Runs the scan and the engine for the paths in the main dialog, shows the
/// report in the report box (cut to the box's limit) and the stages in the
/// status bar, ending with "Done, Ready".  Leaves no temporary file behind.
/// The run is made on the calling thread, which it holds until it ends.
void ScrambleCommand(HWND dialog);

/// Starts the Scramble command on a thread of its own, so that the dialog
/// goes on answering (painting, moving, the status bar's text) while the
/// run works.  Until the run ends the dialog's buttons, check boxes and
/// path fields are disabled and a close request does nothing; the status
/// texts come in the order ScrambleCommand shows them, the progress bar
/// shows each pass, and the engine's messages come as message boxes on the
/// dialog's thread.  The end is handled by FinishScrambleCommand when the
/// dialog receives kRunEndedMessage.  Where no thread can be had, the run
/// is made in place, as ScrambleCommand does, with the same controls
/// disabled and close requests ignored until its report and warnings have
/// been shown.  Does nothing while a run of the dialog is going on.
void StartScrambleCommand(HWND dialog);

/// True from StartScrambleCommand until the run has ended (the report and
/// warnings of a run on a thread of its own are shown after; those of a
/// run made in place, before).
bool ScrambleRunning(HWND dialog);

/// Sent by the run's thread to the dialog with a `const std::string*` in
/// lParam: the dialog hands the text to ShowRunNotice.
constexpr UINT kRunNoticeMessage = WM_APP + 1;
/// Posted by the run's thread to the dialog when the run has ended.
constexpr UINT kRunEndedMessage = WM_APP + 2;

/// The end of a run started by StartScrambleCommand, on the dialog's
/// thread: the report, "Done, Ready", the warnings, and the controls given
/// back as they were.
void FinishScrambleCommand(HWND dialog);

/// Shows an engine message of the dialog's run through MessageBoxNotice,
/// unless the dialog is being destroyed.
void ShowRunNotice(HWND dialog, const std::string& text);

/// Waits for a run that is still going on when its dialog is being
/// destroyed, letting the run's messages to the dialog through meanwhile
/// (its notices are not shown then), and forgets it.
void AbandonScrambleCommand(HWND dialog);

/// The report as the report box shows it: unchanged when at most `limit`
/// characters long; otherwise its first 320 characters, CR LF CR LF,
/// "[ detail removed ]", CR LF CR LF and its last (limit - 600) characters.
std::string CutReportForBox(const std::string& report, size_t limit);

/// The program's one random source: the system's cryptographic generator,
/// unless a test has put another in its place.
RandomSource& ProgramRandomSource();

/// Puts `source` in the place of the program's random source (null: the
/// system's generator again), so that a test can make a run fail where it
/// wants to.
void SetProgramRandomSource(RandomSource* source);

/// The text of the message box after a run that memory ran out under.
extern const char kOutOfMemoryText[];

/// The engine's view of the main dialog: fields 101 and 105, check boxes
/// 107 and 108 and the status bar 111 (each new stage starts the progress
/// bar afresh).
class MainDialogControls final : public EngineDialog {
 public:
  explicit MainDialogControls(HWND dialog) : dialog_(dialog) {}
  std::string InputPathText() override;
  std::string OutputPathText() override;
  bool ListingChecked() override;
  bool ThoroughChecked() override;
  void SetStatusText(const std::string& text) override;

 private:
  HWND dialog_;
};

/// The engine's messages as message boxes with the default caption.
class MessageBoxNotice final : public EngineNotice {
 public:
  void Show(const std::string& text) override;
};
