#include "run.h"

#include <memory>
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

// "Scanning " and the input, cut for display.
std::string ScanningText(const std::string& input) {
  std::string status = "Scanning " + input;
  if (status.size() > kPathLimit) status.resize(kPathLimit);
  return status;
}

std::string CopyNotWrittenText(int32_t code) {
  return "Scrambled data NOT written: could not write temporary file (" + PlatformErrorText(code) +
         ")";
}

}  // namespace

RunResult RunScramble(EngineDialog& dialog, RandomSource& random, EngineNotice& notice,
                      const ProgressTarget& progress) {
  RunResult result;
  const std::string status = ScanningText(dialog.InputPathText());

  ScopedPrivateTempFile copy;
  copy.Create("~uw");
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
  dialog.SetStatusText(status);
  // The claims are collected from the copy while the scan writes it.
  CopyCollector collector(interchanges, random, Collection::kCopyBlockBytes,
                          dialog.ThoroughChecked());
  result.scanCode = ScanX12File(dialog.InputFileToRead(), copy.Path(), std::string(), interchanges,
                                ta1s, groups, sets, progress, &result.copyError, &collector);
  dialog.SetStatusText("Scan Complete");

  if (result.scanCode == 0 && result.copyError != 0) {
    result.report = CopyNotWrittenText(ErrnoCode(result.copyError));
    copy.Delete();
  } else if (result.scanCode == 0) {
    ScopedPrivateTempFile report;
    report.Create("~RT");
    TempNamingNotice naming(notice, copy, report);
    result.scramble = ScrambleFile(dialog, copy.Path(), report.Path(), interchanges, groups, sets,
                                   random, naming, progress, &collector, &copy);
    copy.Delete();
    result.report = ReadWholeFile(report.Path());
  } else {
    result.report = "Scan failed: " + ScanErrorText(result.scanCode);
    copy.Delete();
  }
  return result;
}

PoolRunResult RunScramblePool(EngineDialog& dialog, const std::vector<PoolPaths>& paths,
                              RandomSource& random, EngineNotice& notice,
                              const ProgressTarget& progress) {
  PoolRunResult result;
  // What each input keeps until the end of the run: the copy (deleted
  // earlier, once its output is made), the scan's tables and the collector
  // that the collection of its claims stays in.
  struct Scanned {
    ScopedPrivateTempFile copy;
    InterchangeTable interchanges;
    Ta1Table ta1s;
    GroupTable groups;
    SetTable sets;
    std::unique_ptr<CopyCollector> collector;
  };
  std::vector<std::unique_ptr<Scanned>> scanned;
  std::vector<PoolFile> files(paths.size());
  int64_t rowsBefore = 0;
  for (size_t i = 0; i < paths.size(); ++i) {
    scanned.emplace_back(new Scanned);
    Scanned& input = *scanned.back();
    PoolFile& file = files[i];
    result.failedInput = i;
    dialog.SetStatusText(ScanningText(paths[i].inputText));
    if (int32_t code = input.copy.Create("~uw")) {
      result.copyError = code;
      result.report = CopyNotWrittenText(code);
      return result;
    }
    // The claims are collected from the copy while the scan writes it,
    // into the table of the inputs before.
    input.collector.reset(new CopyCollector(input.interchanges, random,
                                            Collection::kCopyBlockBytes, dialog.ThoroughChecked()));
    if (i > 0) input.collector->Result().ContinueFrom(*files[i - 1].collection, rowsBefore);
    int32_t copyError = 0;
    result.scanCode = ScanX12File(paths[i].inputFile, input.copy.Path(), std::string(),
                                  input.interchanges, input.ta1s, input.groups, input.sets,
                                  progress, &copyError, input.collector.get());
    result.copyError = copyError != 0 ? ErrnoCode(copyError) : 0;
    dialog.SetStatusText("Scan Complete");
    if (result.scanCode != 0) {
      result.report = "Scan failed: " + ScanErrorText(result.scanCode);
      return result;
    }
    if (result.copyError != 0) {
      result.report = CopyNotWrittenText(result.copyError);
      return result;
    }
    file.inputText = paths[i].inputText;
    file.outputText = paths[i].outputText;
    file.outputFile = paths[i].outputFile;
    file.copyPath = input.copy.Path();
    file.copy = &input.copy;
    file.interchanges = &input.interchanges;
    file.sets = &input.sets;
    file.collector = input.collector.get();
    TempNamingNotice naming(notice, input.copy, input.copy);
    if (!CollectPoolFile(dialog, file, random, naming, progress)) return result;
    rowsBefore += file.claimCount;
  }
  result.failedInput = paths.size();
  ScopedPrivateTempFile report;
  report.Create("~RT");
  TempNamingNotice naming(notice, report, report);
  result.scramble = ScramblePool(dialog, files, report.Path(), random, naming, progress);
  for (const PoolFile& file : files) result.files.push_back(file.result);
  result.report = ReadWholeFile(report.Path());
  return result;
}
