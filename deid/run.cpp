#include "run.h"

#include <utility>

#include "collector.h"
#include "platform.h"

namespace {

constexpr size_t kPathLimit = 259;

// Passes the engine's notices on with the path of an unnamed temporary
// file, which would tell the user nothing, given as "temporary file".
class TempNamingNotice final : public EngineNotice {
 public:
  TempNamingNotice(EngineNotice& target, const ScopedPrivateTempFile& first,
                   const ScopedPrivateTempFile& second)
      : target_(target), files_{&first, &second} {
    // The longer first, in case one path begins with the other.
    if (first.Path().size() < second.Path().size()) std::swap(files_[0], files_[1]);
  }
  void Show(const std::string& text) override {
    std::string shown = text;
    for (const ScopedPrivateTempFile* file : files_) {
      if (!file->Unnamed()) continue;
      const std::string& path = file->Path();
      for (size_t at = shown.find(path); at != std::string::npos;
           at = shown.find(path, at + kName.size())) {
        shown.replace(at, path.size(), kName);
      }
    }
    target_.Show(shown);
  }

 private:
  static const std::string kName;
  EngineNotice& target_;
  const ScopedPrivateTempFile* files_[2];
};

const std::string TempNamingNotice::kName = "temporary file";

}  // namespace

RunResult RunScramble(EngineDialog& dialog, RandomSource& random, EngineNotice& notice,
                      const ProgressTarget& progress) {
  RunResult result;
  std::string status = "Scanning " + dialog.InputPathText();
  if (status.size() > kPathLimit) status.resize(kPathLimit);

  ScopedPrivateTempFile copy;
  copy.Create("~uw");
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
  dialog.SetStatusText(status);
  // The claims are collected from the copy while the scan writes it.
  CopyCollector collector(interchanges, random);
  result.scanCode = ScanX12File(dialog.InputFileToRead(), copy.Path(), std::string(), interchanges,
                                ta1s, groups, sets, progress, &result.copyError, &collector);
  dialog.SetStatusText("Scan Complete");

  if (result.scanCode == 0 && result.copyError != 0) {
    result.report = "Scrambled data NOT written: could not write temporary file (" +
                    PlatformErrorText(ErrnoCode(result.copyError)) + ")";
    copy.Delete();
  } else if (result.scanCode == 0) {
    ScopedPrivateTempFile report;
    report.Create("~RT");
    TempNamingNotice naming(notice, copy, report);
    result.scramble = ScrambleFile(dialog, copy.Path(), report.Path(), interchanges, groups, sets,
                                   random, naming, progress, &collector);
    copy.Delete();
    result.report = ReadWholeFile(report.Path());
  } else {
    result.report = "Scan failed: " + ScanErrorText(result.scanCode);
    copy.Delete();
  }
  return result;
}
