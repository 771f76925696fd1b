#include "run.h"

#include <utility>

#include "collector.h"
#include "platform.h"

namespace {

constexpr size_t kPathLimit = 259;

// Owns a private temporary file, deleted when the run lets go of it.
class TempFile {
 public:
  explicit TempFile(const char* prefix) { CreatePrivateTempFile(prefix, file_); }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { Delete(); }
  const std::string& Path() const { return file_.path; }
  /// True when Path() is no name the user could look up.
  bool Unnamed() const { return !file_.path.empty() && !file_.named; }
  void Delete() { ClosePrivateTempFile(file_); }

 private:
  PrivateTempFile file_;
};

// Passes the engine's notices on with the path of an unnamed temporary
// file, which would tell the user nothing, given as "temporary file".
class TempNamingNotice final : public EngineNotice {
 public:
  TempNamingNotice(EngineNotice& target, const TempFile& first, const TempFile& second)
      : target_(target), files_{&first, &second} {
    // The longer first, in case one path begins with the other.
    if (first.Path().size() < second.Path().size()) std::swap(files_[0], files_[1]);
  }
  void Show(const std::string& text) override {
    std::string shown = text;
    for (const TempFile* file : files_) {
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
  const TempFile* files_[2];
};

const std::string TempNamingNotice::kName = "temporary file";

}  // namespace

RunResult RunScramble(EngineDialog& dialog, RandomSource& random, EngineNotice& notice,
                      const ProgressTarget& progress) {
  RunResult result;
  std::string status = "Scanning " + dialog.InputPathText();
  if (status.size() > kPathLimit) status.resize(kPathLimit);

  TempFile copy("~uw");
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
                    PlatformErrorText(result.copyError) + ")";
    copy.Delete();
  } else if (result.scanCode == 0) {
    TempFile report("~RT");
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
