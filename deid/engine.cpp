#include "engine.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>

#include "checked_writer.h"
#include "claim_table.h"
#include "collector.h"
#include "line_reader.h"
#include "platform.h"
#include "rewrite.h"

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
  if (grouped.size() < 7) grouped.insert(0, 7 - grouped.size(), ' ');
  return grouped.substr(0, 7);
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

ScrambleResult ScrambleFile(EngineDialog& dialog, const std::string& copyPath,
                            const std::string& reportPath, const InterchangeTable& interchanges,
                            const GroupTable& /*groups*/, const SetTable& sets,
                            RandomSource& random, EngineNotice& notice,
                            const ProgressTarget& progress, CopyCollector* collector) {
  ScrambleResult result;

  // Stage 1: opening.
  LineReader reader;
  if (int32_t code = reader.Open(copyPath)) {
    notice.Show("Error # " + std::to_string(code) + " On OPEN Of " + copyPath);
    return result;
  }
  CheckedWriter reportOut(size_t{64} << 10);
  errno = 0;
  FILE* reportFile = reportPath.empty() ? nullptr : OpenFileShared(reportPath, "wb");
  if (reportFile == nullptr) {
    int32_t code = errno != 0 ? errno : ENOENT;
    notice.Show("Error # " + std::to_string(code) + " On OPEN Of " + reportPath);
    return result;
  }
  reportOut.Attach(reportFile);
  result.opened = true;
  ReportWriter report(reportOut);

  dialog.SetStatusText("Collecting Information");
  const bool listing = dialog.ListingChecked();
  std::time_t now = std::time(nullptr);
  struct tm local {};
#if defined(_WIN32)
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  report.Line("Quorvel Systems Inc '835' Data Scrambler Begins at " + FormatReportTime(local) +
              " on " + FormatReportDate(local));
  report.Line("Input File (original file) is ", dialog.InputPathText());

  // Stage 2: collection, from the file or finished from what was
  // collected while the scan wrote the copy.
  const int64_t claimCount = ClaimCountOf(sets);
  Collection fromFile;
  Collection* collection = &fromFile;
  bool collectFailed = false;
  if (collector != nullptr) {
    collector->Finish();
    collection = &collector->Result();
    // Rows beyond the claim count go; the table grows no more.
    collection->table.SetClaimCount(claimCount);
    if (!collector->Complete()) {
      collectFailed = reader.SkipTo(collector->ResumeOffset()) != 0;
      if (!collectFailed) CollectPass(reader, interchanges, *collection, random, progress);
    }
  } else {
    fromFile.table.Create(claimCount);
    CollectPass(reader, interchanges, fromFile, random, progress);
  }
  collectFailed = collectFailed || reader.ReadFailed();
  collection->endMarkMet = collection->endMarkMet || reader.StoppedAtEndMark();
  reader.Close();
  ClaimTable& table = collection->table;
  ScrambleCounts& counts = result.counts;
  counts.claimsFound = table.ClaimCount();
  counts.segmentsIn = collection->lines;
  result.endMarkMet = collection->endMarkMet;
  // Every claim the collection met must have its own row: a claim beyond
  // the scan's count would have none, and one the collection missed would
  // go out as read.  Only a byte 0x1A, which ends the copy early, leaves
  // the collection with fewer claims than the scan.
  const int64_t claimsMet = collection->scanner.claimRow;
  const bool claimsAgree =
      claimsMet == claimCount || (claimsMet < claimCount && collection->endMarkMet);

  // Stage 3: reordering.
  dialog.SetStatusText("Randomly Scrambling Collected Information");
  result.unexchangedClaims = table.Reorder(random, &collection->delimiterRuns);

  // Stage 4: rewrite.
  const std::string outputPath = dialog.OutputPathText();
  dialog.SetStatusText(Cut("Writing ANSI Data to " + outputPath, kStatusLimit));
  int32_t outputError = collectFailed ? ErrnoCode(EIO) : claimsAgree ? 0 : kRefusedClaimsDisagree;
  std::string tempPath, targetPath;
  // The rewrite hands the output over in large blocks, written in place.
  CheckedWriter output(size_t{1} << 20);
  if (outputError == 0) {
    FILE* file = nullptr;
    outputError = CreateOutputTempFile(dialog.OutputFileToWrite(), tempPath, targetPath, &file);
    if (outputError == 0) output.Attach(file);
  }
  report.Line();
  if (listing) {
    report.Line("Listing of changed segments");
    report.Line("---------------------------");
  } else {
    report.Line("Detailed Segment changes not shown.");
  }
  report.Line();
  if (!collectFailed && claimsAgree) {
    RewriteInput rewrite;
    rewrite.copyPath = copyPath;
    rewrite.blockStarts = &collection->blockStarts;
    rewrite.end = collection->end;
    rewrite.endClaimRow = claimsMet;
    rewrite.marks = &collection->marks;
    rewrite.interchanges = &interchanges;
    rewrite.table = &table;
    const int32_t readError =
        RewriteCopy(rewrite, output, listing ? &reportOut : nullptr, counts, progress);
    if (readError != 0 && outputError == 0) outputError = readError;
  }
  if (output.IsOpen()) {
    int32_t closeError = output.Close();
    if (outputError == 0) outputError = closeError;
    if (outputError == 0) outputError = MoveFileReplacing(tempPath, targetPath);
    if (outputError != 0) RemoveFile(tempPath);
    ForgetTempFile(tempPath);
  }
  result.outputWritten = outputError == 0;
  result.outputError = outputError;

  // Stage 5: totals and closing lines.
  report.Line();
  report.Line(" Segments in                 : ", FormatReportCount(counts.segmentsIn));
  report.Line(" Claims Found                : ", FormatReportCount(counts.claimsFound));
  report.Line(" CLP Segments Changed        : ", FormatReportCount(counts.clpChanged));
  report.Line(" Patient ID Segments Changed : ", FormatReportCount(counts.patientChanged));
  report.Line(" Insured ID Segments Changed : ", FormatReportCount(counts.insuredChanged));
  report.Line(" Other   ID Segments Changed : ", FormatReportCount(counts.otherChanged));
  report.Line(" Total      Segments Changed : ", FormatReportCount(counts.totalChanged));
  report.Line();
  if (result.outputWritten) {
    report.Line("Scrambled data written to file ", outputPath);
  } else {
    report.Line(OutputNotWrittenText(outputPath, outputError));
  }
  report.Line();
  report.Line(" ** END OF REPORT **");
  report.Line();
  result.reportWritten = reportOut.Close() == 0;

  if (result.outputWritten) {
    if (result.endMarkMet) {
      result.warnings.push_back(
          "The input holds a byte 0x1A (an end-of-file mark) inside its data: it was read only "
          "up to that byte, and the output lacks every segment after it.");
    }
    if (claimCount <= 1) {
      result.warnings.push_back(
          std::string(claimCount == 0 ? "The input holds no claim" : "The input holds only one claim") +
          ": no name or identifier could be exchanged with another claim, so each stays where it "
          "was (only the member ids are new). The output is not de-identified.");
    } else if (result.unexchangedClaims > 0) {
      result.warnings.push_back(
          std::to_string(result.unexchangedClaims) +
          " claim(s) stand alone among interchanges with other delimiters: their names and "
          "identifiers could not be exchanged with another claim and stay where they were "
          "(only the member ids are new).");
    }
    if (counts.valuesEmptied > 0) {
      result.warnings.push_back(
          std::to_string(counts.valuesEmptied) +
          " identifying value(s) were written empty: they came before the file's first claim, "
          "or held a delimiter of the interchange that would receive them.");
    }
  }
  return result;
}

std::string OutputErrorText(int32_t code) {
  switch (code) {
    case kRefusedClaimsDisagree:
      return "its claims could not all be matched to the claims the scan counted; nothing was "
             "written, so that no claim keeps its identifiers";
    case kRefusedCopyChanged:
      return "the temporary copy of the input changed during the run";
    default:
      return PlatformErrorText(code);
  }
}

std::string OutputNotWrittenText(const std::string& outputPath, int32_t code) {
  return "Scrambled data NOT written: could not write file " + outputPath + " (" +
         OutputErrorText(code) + ")";
}
