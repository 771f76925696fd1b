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
void ScrambleCommand(HWND dialog);

/// The report as the report box shows it: unchanged when at most `limit`
/// characters long; otherwise its first 320 characters, CR LF CR LF,
/// "[ detail removed ]", CR LF CR LF and its last (limit - 600) characters.
std::string CutReportForBox(const std::string& report, size_t limit);

/// The program's one random source: the system's cryptographic generator.
RandomSource& ProgramRandomSource();

/// The engine's view of the main dialog: fields 101 and 105, check box 107
/// and the status bar 111.
class MainDialogControls final : public EngineDialog {
 public:
  explicit MainDialogControls(HWND dialog) : dialog_(dialog) {}
  std::string InputPathText() override;
  std::string OutputPathText() override;
  bool ListingChecked() override;
  void SetStatusText(const std::string& text) override;

 private:
  HWND dialog_;
};

/// The engine's messages as message boxes with the default caption.
class MessageBoxNotice final : public EngineNotice {
 public:
  void Show(const std::string& text) override;
};
