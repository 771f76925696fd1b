#include "engine.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <string_view>

#include "checked_writer.h"
#include "claim_table.h"
#include "collector.h"
#include "line_reader.h"
#include "platform.h"
#include "rewrite.h"
#include "side_by_side.h"

namespace {

constexpr size_t kStatusLimit = 127;
const char kLineEnd[] = "\r\n";

int64_t ClaimCountOf(const SetTable& sets) {
  int64_t count = 0;
  for (int32_t i = 1; i <= sets.Count(); ++i) {
    const SetEntry& set = sets[i];
    if (std::string_view(set.setId, strnlen(set.setId, sizeof set.setId)) == "835" &&
        set.loopCount1 > 0) {
      count += set.loopCount1;
    }
  }
  return count;
}

// Calls the progress target once per change of the whole percentage.
class PassProgress {
 public:
  PassProgress(const ProgressTarget& target, const LineReader& reader)
      : target_(target), reader_(reader) {}
  void Update() {
    if (target_.window == 0 || target_.step == nullptr || reader_.FileSize() == 0) return;
    int percent = static_cast<int>(reader_.Consumed() * 100 / reader_.FileSize());
    if (percent != last_) {
      last_ = percent;
      target_.step(target_, percent);
    }
  }

 private:
  const ProgressTarget& target_;
  const LineReader& reader_;
  int last_ = 0;
};

// The collection pass over the rest of `reader`, going on from where
// `collection` stands.
void CollectPass(LineReader& reader, const InterchangeTable& interchanges, Collection& collection,
                 RandomSource& random, const ProgressTarget& progress) {
  PassProgress percent(progress, reader);
  std::string_view line;
  uint64_t start = reader.Consumed();
  while (reader.Next(line)) {
    collection.Take(line, start, reader.LastEndedWithCrLf(), interchanges, random);
    start = reader.Consumed();
    if ((collection.lines & 0xFFF) == 0) percent.Update();
  }
  percent.Update();
  collection.end = reader.Consumed();
}

class ReportWriter {
 public:
  explicit ReportWriter(CheckedWriter& out) : out_(out) {}
  void Line(std::string_view text = {}) {
    out_.Write(text);
    out_.Write(kLineEnd, 2);
  }
  void Line(std::string_view first, std::string_view second) {
    out_.Write(first);
    out_.Write(second);
    out_.Write(kLineEnd, 2);
  }

 private:
  CheckedWriter& out_;
};

std::string Cut(std::string text, size_t limit) {
  if (text.size() > limit) text.resize(limit);
  return text;
}

}  // namespace

std::string FormatReportCount(int64_t value) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  std::string grouped;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) grouped += ',';
    grouped += digits[i];
  }
  if (value < 0) grouped.insert(grouped.begin(), '-');
  // Right-aligned in seven characters; a count that needs more (1,000,000
  // and up) takes them, rather than being cut into another number.
  if (grouped.size() < 7) grouped.insert(0, 7 - grouped.size(), ' ');
  return grouped;
}

std::string FormatReportTime(const struct tm& local) {
  char text[64];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

std::string FormatReportDate(const struct tm& local) {
  char text[64];
  std::snprintf(text, sizeof text, "%02d-%02d-%04d", local.tm_mon + 1, local.tm_mday,
                local.tm_year + 1900);
  return text;
}

namespace {

// The report's opening lines: when the run began, and every input.
void ReportHeader(ReportWriter& report, const std::vector<PoolFile>& files) {
  std::time_t now = std::time(nullptr);
  struct tm local {};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  report.Line("Quorvel Systems Inc '835' Data Scrambler Begins at " + FormatReportTime(local) +
              " on " + FormatReportDate(local));
  for (const PoolFile& file : files) report.Line("Input File (original file) is ", file.inputText);
}

// Stage 2, the collection of one input, with `reader` open on its copy: the
// collector's collection finished (from the copy file where the collector
// stopped), or the whole collection made from the file.
void CollectFile(PoolFile& file, LineReader& reader, RandomSource& random,
                 const ProgressTarget& progress, bool thorough) {
  file.claimCount = ClaimCountOf(*file.sets);
  bool failed = false;
  if (file.collector != nullptr) {
    file.collector->Finish();
    file.collection = &file.collector->Result();
    if (!file.collector->Complete()) {
      failed = reader.SkipTo(file.collector->ResumeOffset()) != 0;
      if (!failed) CollectPass(reader, *file.interchanges, *file.collection, random, progress);
    }
  } else {
    file.collection = &file.own;
    file.own.table.Create(file.claimCount, ClaimColumnsOf(thorough));
    file.own.SetThorough(thorough);
    CollectPass(reader, *file.interchanges, file.own, random, progress);
  }
  file.collectFailed = failed || reader.ReadFailed();
  file.collection->endMarkMet = file.collection->endMarkMet || reader.StoppedAtEndMark();
  reader.Close();
  file.result.counts.claimsFound = file.claimCount;
  file.result.counts.segmentsIn = file.collection->lines;
  file.result.endMarkMet = file.collection->endMarkMet;
}

// Every claim the collection met must have its own row: a claim beyond the
// scan's count would have none, and one the collection missed would go out
// as read.  Only a byte 0x1A, which ends the copy early, leaves the
// collection with fewer claims than the scan.
bool ClaimsAgree(const PoolFile& file) {
  const LineScanner& scanner = file.collection->scanner;
  const int64_t met = scanner.claimRow - scanner.rowsBefore;
  return met == file.claimCount || (met < file.claimCount && file.collection->endMarkMet);
}

bool Collected(const PoolFile& file) { return !file.collectFailed && ClaimsAgree(file); }

// Stage 4 for one input: its output written to a temporary file beside it,
// complete but not yet in place (see PlaceOutput); the listing goes to
// `listing` when not null.  Returns 0, or why the output cannot be placed
// (then the temporary file is gone).  A `refused` output is not written at
// all.  An output whose temporary file cannot be made is rewritten all the
// same, for the counts and the listing.
int32_t WriteOutput(PoolFile& file, const ClaimTable& table, const ClaimTable* services,
                    int32_t refused, CheckedWriter* listing, const ProgressTarget& progress,
                    std::string& tempPath, std::string& targetPath) {
  if (refused != 0) return refused;
  const bool collected = Collected(file);
  int32_t outputError = file.collectFailed ? ErrnoCode(EIO) : collected ? 0 : kRefusedClaimsDisagree;
  // The rewrite hands the output over in large blocks, written in place.
  CheckedWriter output(size_t{1} << 20);
  if (outputError == 0) {
    FILE* stream = nullptr;
    outputError = CreateOutputTempFile(file.outputFile, tempPath, targetPath, &stream);
    if (outputError == 0) output.Attach(stream);
  }
  if (collected) {
    RewriteInput rewrite;
    rewrite.copyPath = file.copyPath;
    rewrite.copy = file.copy;
    rewrite.blockStarts = &file.collection->blockStarts;
    rewrite.end = file.collection->end;
    rewrite.endClaimRow = file.collection->scanner.claimRow;
    rewrite.interchanges = file.interchanges;
    rewrite.table = &table;
    if (services != nullptr) {
      rewrite.services = services;
      rewrite.adjustments = &file.collection->adjustments;
      rewrite.adjustmentCount = file.collection->scanner.adjustmentRow;
    }
    const int32_t readError = RewriteCopy(rewrite, output, listing, file.result.counts, progress);
    if (readError != 0 && outputError == 0) outputError = readError;
  }
  if (output.IsOpen()) {
    const int32_t closeError = output.Close();
    if (outputError == 0) outputError = closeError;
    if (outputError != 0) {
      RemoveFile(tempPath);
      ForgetTempFile(tempPath);
      tempPath.clear();
    }
  }
  return outputError;
}

// Moves a complete output into place, or (with `place` false) lets go of
// it; returns 0 or why it could not be placed.
int32_t PlaceOutput(const std::string& tempPath, const std::string& targetPath, bool place) {
  const int32_t code = place ? MoveFileReplacing(tempPath, targetPath) : 0;
  if (!place || code != 0) RemoveFile(tempPath);
  ForgetTempFile(tempPath);
  return code;
}

void CountLines(ReportWriter& report, const ScrambleCounts& counts) {
  report.Line(" Segments in                 : ", FormatReportCount(counts.segmentsIn));
  report.Line(" Claims Found                : ", FormatReportCount(counts.claimsFound));
  report.Line(" CLP Segments Changed        : ", FormatReportCount(counts.clpChanged));
  report.Line(" Patient ID Segments Changed : ", FormatReportCount(counts.patientChanged));
  report.Line(" Insured ID Segments Changed : ", FormatReportCount(counts.insuredChanged));
  report.Line(" Other   ID Segments Changed : ", FormatReportCount(counts.otherChanged));
  report.Line(" Total      Segments Changed : ", FormatReportCount(counts.totalChanged));
}

void AddCounts(ScrambleCounts& total, const ScrambleCounts& counts) {
  total.segmentsIn += counts.segmentsIn;
  total.claimsFound += counts.claimsFound;
  total.clpChanged += counts.clpChanged;
  total.patientChanged += counts.patientChanged;
  total.insuredChanged += counts.insuredChanged;
  total.otherChanged += counts.otherChanged;
  total.totalChanged += counts.totalChanged;
  total.valuesEmptied += counts.valuesEmptied;
}

// What the user must be told beside the report, once an output is written.
void Warn(ScrambleResult& result, const std::vector<PoolFile>& files, int64_t claimCount,
          bool pool, bool thorough) {
  for (const PoolFile& file : files) {
    if (!file.result.outputWritten || !file.result.endMarkMet) continue;
    result.warnings.push_back(
        pool ? "The input " + file.inputText +
                   " holds a byte 0x1A (an end-of-file mark) inside its data: it was read only up "
                   "to that byte, and its output lacks every segment after it."
             : "The input holds a byte 0x1A (an end-of-file mark) inside its data: it was read "
               "only up to that byte, and the output lacks every segment after it.");
  }
  if (claimCount <= 1) {
    const char* holds = pool ? (claimCount == 0 ? "The inputs hold no claim"
                                                : "The inputs hold only one claim")
                             : (claimCount == 0 ? "The input holds no claim"
                                                : "The input holds only one claim");
    result.warnings.push_back(
        std::string(holds) +
        ": no name or identifier could be exchanged with another claim, so each stays where it "
        "was (only the member ids are new). " +
        (pool ? "The outputs are" : "The output is") + " not de-identified.");
  } else if (result.unexchangedClaims > 0) {
    result.warnings.push_back(
        std::to_string(result.unexchangedClaims) +
        " claim(s) stand alone among interchanges with other delimiters: their names and "
        "identifiers could not be exchanged with another claim and stay where they were "
        "(only the member ids are new).");
  }
  if (result.counts.valuesEmptied > 0) {
    result.warnings.push_back(
        std::to_string(result.counts.valuesEmptied) +
        " identifying value(s) were written empty: they came before " +
        (pool ? "an input's" : "the file's") + " first claim" +
        (thorough ? " (a REF 6R: before its claim's first service line)" : "") +
        ", or held a delimiter of the interchange that would receive them.");
  }
}

// Stages 3 to 5 over every input of a pool (the one input of a run), the
// report open and its header written.  With `pool`, the report names each
// input above its listing and its counts, and adds their total.
ScrambleResult FinishRun(EngineDialog& dialog, std::vector<PoolFile>& files, ReportWriter& report,
                         CheckedWriter& reportOut, RandomSource& random,
                         const ProgressTarget& progress, bool pool) {
  Collection& last = *files.back().collection;
  ScrambleResult result;
  result.opened = true;
  const bool listing = dialog.ListingChecked();
  const bool thorough = last.thorough;

  // Stage 3: reordering, of the one table that the inputs' collections
  // handed on from each to the next.  A thorough run exchanges each column
  // only among the claims (and service lines) that hold a value of it; the
  // claims that each input's PLB references quote are found before their
  // numbers move.
  ClaimTable& table = last.table;
  int64_t claimCount = 0;
  for (const PoolFile& file : files) claimCount += file.claimCount;
  // Rows beyond the claim count go; the table grows no more.
  table.SetClaimCount(claimCount);
  dialog.SetStatusText("Randomly Scrambling Collected Information");
  std::vector<ClaimNumberCarriers> carriers(thorough ? files.size() : 0);
  auto findCarriers = [&] {
    for (size_t i = 0; i < files.size(); ++i) {
      const int64_t first = files[i].collection->scanner.rowsBefore + 1;
      carriers[i].Find(files[i].collection->adjustments, table, first,
                       first + files[i].claimCount - 1);
    }
  };
  if (!thorough) {
    result.unexchangedClaims = table.Reorder(random, &last.delimiterRuns, false);
  } else {
    ClaimTable& services = last.services;
    services.SetClaimCount(last.scanner.serviceRow);
    // The service lines take the values of the sequence that follow the
    // claim table's.  With a source that can start part-way, they are
    // reordered beside the search for the claims that PLB references
    // quote (which reads the claim table before it changes); the claim
    // table follows.
    std::unique_ptr<RandomSource> afterTable = random.Fork(table.ReorderDraws());
    if (afterTable != nullptr) {
      RunSideBySide(findCarriers,
                    [&] { services.Reorder(*afterTable, &last.serviceDelimiterRuns, true); });
      result.unexchangedClaims = table.Reorder(random, &last.delimiterRuns, true);
      random.Skip(services.ReorderDraws());
    } else {
      findCarriers();
      result.unexchangedClaims = table.Reorder(random, &last.delimiterRuns, true);
      services.Reorder(random, &last.serviceDelimiterRuns, true);
    }
    for (size_t i = 0; i < files.size(); ++i) {
      carriers[i].Apply(files[i].collection->adjustments, table, files[i].collection->setFirstRows);
    }
  }

  // Stage 4: rewrite, every output into a temporary file of its own.  An
  // input whose claims could not all be collected is refused, and with it
  // the rest of its pool; after an output that fails, none is written.
  report.Line();
  if (listing) {
    report.Line("Listing of changed segments");
    report.Line("---------------------------");
  } else {
    report.Line("Detailed Segment changes not shown.");
  }
  report.Line();
  bool allCollected = true;
  for (const PoolFile& file : files) allCollected = allCollected && Collected(file);
  std::vector<std::string> tempPaths(files.size()), targetPaths(files.size());
  bool complete = true;
  for (size_t i = 0; i < files.size(); ++i) {
    PoolFile& file = files[i];
    dialog.SetStatusText(Cut("Writing ANSI Data to " + file.outputText, kStatusLimit));
    int32_t refused = 0;
    if (allCollected ? !complete : Collected(file)) refused = kRefusedPoolIncomplete;
    if (pool && listing && refused == 0 && Collected(file)) {
      report.Line("Changed segments of ", file.inputText);
    }
    file.result.outputError =
        WriteOutput(file, table, thorough ? &last.services : nullptr, refused,
                    listing ? &reportOut : nullptr, progress, tempPaths[i], targetPaths[i]);
    if (file.copy != nullptr) file.copy->Delete();
    if (file.result.outputError != 0) complete = false;
  }
  // Every output complete: all are moved into place, one after the other.
  // Else (or from one that cannot be moved on) the rest are let go of.
  bool place = complete;
  for (size_t i = 0; i < files.size(); ++i) {
    ScrambleResult& own = files[i].result;
    if (!tempPaths[i].empty()) {
      const int32_t code = PlaceOutput(tempPaths[i], targetPaths[i], place);
      if (!place) {
        own.outputError = kRefusedPoolIncomplete;
      } else if (code != 0) {
        own.outputError = code;
        place = false;
      }
    }
    own.outputWritten = own.outputError == 0;
    AddCounts(result.counts, own.counts);
    result.endMarkMet = result.endMarkMet || own.endMarkMet;
  }
  result.outputWritten = true;
  for (const PoolFile& file : files) {
    if (file.result.outputWritten) continue;
    // The reason the pool was not written, rather than its consequence.
    if (result.outputWritten || result.outputError == kRefusedPoolIncomplete) {
      result.outputError = file.result.outputError;
    }
    result.outputWritten = false;
  }

  // Stage 5: the counts and the closing lines.
  if (pool) {
    for (const PoolFile& file : files) {
      report.Line();
      report.Line("Counts of ", file.inputText);
      CountLines(report, file.result.counts);
    }
  }
  report.Line();
  if (pool) report.Line("Total of all input files");
  CountLines(report, result.counts);
  report.Line();
  for (const PoolFile& file : files) {
    if (file.result.outputWritten) {
      report.Line("Scrambled data written to file ", file.outputText);
    } else {
      report.Line(OutputNotWrittenText(file.outputText, file.result.outputError));
    }
  }
  report.Line();
  report.Line(" ** END OF REPORT **");
  report.Line();
  result.reportWritten = reportOut.Close() == 0;

  bool anyWritten = false;
  for (const PoolFile& file : files) anyWritten = anyWritten || file.result.outputWritten;
  if (anyWritten) Warn(result, files, claimCount, pool, thorough);
  return result;
}

// Opens the report file for the engine; null (shown through `notice`) when
// it cannot be.
FILE* OpenReport(const std::string& reportPath, EngineNotice& notice) {
  errno = 0;
  FILE* reportFile = reportPath.empty() ? nullptr : OpenFileShared(reportPath, "wb");
  if (reportFile == nullptr) {
    const int32_t code = errno != 0 ? errno : ENOENT;
    notice.Show("Error # " + std::to_string(code) + " On OPEN Of " + reportPath);
  }
  return reportFile;
}

}  // namespace

ScrambleResult ScrambleFile(EngineDialog& dialog, const std::string& copyPath,
                            const std::string& reportPath, const InterchangeTable& interchanges,
                            const GroupTable& /*groups*/, const SetTable& sets,
                            RandomSource& random, EngineNotice& notice,
                            const ProgressTarget& progress, CopyCollector* collector,
                            ScopedPrivateTempFile* copyFile) {
  // Stage 1: opening.
  LineReader reader;
  if (int32_t code = reader.Open(copyPath)) {
    notice.Show("Error # " + std::to_string(code) + " On OPEN Of " + copyPath);
    return ScrambleResult();
  }
  FILE* reportFile = OpenReport(reportPath, notice);
  if (reportFile == nullptr) return ScrambleResult();
  CheckedWriter reportOut(size_t{64} << 10);
  reportOut.Attach(reportFile);
  ReportWriter report(reportOut);

  dialog.SetStatusText("Collecting Information");
  std::vector<PoolFile> files(1);
  PoolFile& file = files[0];
  file.inputText = dialog.InputPathText();
  file.outputText = dialog.OutputPathText();
  file.outputFile = dialog.OutputFileToWrite();
  file.copyPath = copyPath;
  file.copy = copyFile;
  file.interchanges = &interchanges;
  file.sets = &sets;
  // A collection made for the other kind of run is of no use: the copy is
  // read again.
  const bool thorough = dialog.ThoroughChecked();
  if (collector != nullptr && collector->Result().thorough != thorough) collector = nullptr;
  file.collector = collector;
  ReportHeader(report, files);

  // Stage 2: collection, from the file or finished from what was
  // collected while the scan wrote the copy.
  CollectFile(file, reader, random, progress, thorough);
  return FinishRun(dialog, files, report, reportOut, random, progress, false);
}

bool CollectPoolFile(EngineDialog& dialog, PoolFile& file, RandomSource& random,
                     EngineNotice& notice, const ProgressTarget& progress) {
  LineReader reader;
  if (int32_t code = reader.Open(file.copyPath)) {
    notice.Show("Error # " + std::to_string(code) + " On OPEN Of " + file.copyPath);
    return false;
  }
  dialog.SetStatusText("Collecting Information");
  CollectFile(file, reader, random, progress, dialog.ThoroughChecked());
  return true;
}

ScrambleResult ScramblePool(EngineDialog& dialog, std::vector<PoolFile>& files,
                            const std::string& reportPath, RandomSource& random,
                            EngineNotice& notice, const ProgressTarget& progress) {
  if (files.empty()) return ScrambleResult();
  for (const PoolFile& file : files) {
    // Not collected; or collected into a table of its own, which a pool of
    // several inputs cannot share.
    if (file.collection == nullptr || (files.size() > 1 && file.collector == nullptr)) {
      return ScrambleResult();
    }
  }
  FILE* reportFile = OpenReport(reportPath, notice);
  if (reportFile == nullptr) return ScrambleResult();
  CheckedWriter reportOut(size_t{64} << 10);
  reportOut.Attach(reportFile);
  ReportWriter report(reportOut);
  ReportHeader(report, files);
  return FinishRun(dialog, files, report, reportOut, random, progress, true);
}

std::string OutputErrorText(int32_t code) {
  switch (code) {
    case kRefusedClaimsDisagree:
      return "its claims could not all be matched to the claims the scan counted; nothing was "
             "written, so that no claim keeps its identifiers";
    case kRefusedCopyChanged:
      return "the temporary copy of the input changed during the run";
    case kRefusedPoolIncomplete:
      return "another file of the pool was not written, and the files of a pool are placed only "
             "all together";
    default:
      return PlatformErrorText(code);
  }
}

std::string OutputNotWrittenText(const std::string& outputPath, int32_t code) {
  return "Scrambled data NOT written: could not write file " + outputPath + " (" +
         OutputErrorText(code) + ")";
}
