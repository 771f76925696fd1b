#include "run.h"

#include "collector.h"
#include "platform.h"

namespace {

constexpr size_t kPathLimit = 259;

// Owns a temporary file (registered for deletion on an interrupt by
// MakeTempFileName), deleted when the run lets go of it.
class TempFile {
 public:
  explicit TempFile(const char* prefix) { MakeTempFileName(prefix, path_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { Delete(); }
  const std::string& Path() const { return path_; }
  void Delete() {
    if (path_.empty()) return;
    RemoveFile(path_);
    ForgetTempFile(path_);
    path_.clear();
  }

 private:
  std::string path_;
};

}  // namespace

RunResult RunScramble(EngineDialog& dialog, RandomSource& random, EngineNotice& notice,
                      const ProgressTarget& progress) {
  RunResult result;
  const std::string input = dialog.InputPathText();
  std::string status = "Scanning " + input;
  if (status.size() > kPathLimit) status.resize(kPathLimit);

  TempFile copy("~uw");
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
  dialog.SetStatusText(status);
  // The claims are collected from the copy while the scan writes it.
  CopyCollector collector(interchanges, random);
  result.scanCode = ScanX12File(input, copy.Path(), std::string(), interchanges, ta1s, groups, sets,
                                progress, &result.copyError, &collector);
  dialog.SetStatusText("Scan Complete");

  if (result.scanCode == 0 && result.copyError != 0) {
    result.report = "Scrambled data NOT written: could not write temporary file " + copy.Path() +
                    " (" + PlatformErrorText(result.copyError) + ")";
    copy.Delete();
  } else if (result.scanCode == 0) {
    TempFile report("~RT");
    result.scramble = ScrambleFile(dialog, copy.Path(), report.Path(), interchanges, groups, sets,
                                   random, notice, progress, &collector);
    copy.Delete();
    result.report = ReadWholeFile(report.Path());
  } else {
    result.report = "Scan failed: " + ScanErrorText(result.scanCode);
    copy.Delete();
  }
  return result;
}
