#include "engine.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>

#include "checked_writer.h"
#include "claim_table.h"
#include "line_reader.h"
#include "platform.h"

namespace {

constexpr size_t kStatusLimit = 127;
const char kLineEnd[] = "\r\n";

// The name, member-id columns of one kind of NM1, in replacement order.
struct NameColumns {
  int last, first, middle, memberId;
};
constexpr NameColumns kPatientColumns{kPatientLastName, kPatientFirstName, kPatientMiddleName,
                                      kPatientMemberId};
constexpr NameColumns kInsuredColumns{kInsuredLastName, kInsuredFirstName, kInsuredMiddleName,
                                      kInsuredMemberId};
constexpr NameColumns kCorrectedColumns{kCorrectedLastName, kCorrectedFirstName,
                                        kCorrectedMiddleName, kCorrectedMemberId};

const NameColumns* NameColumnsOf(LineKind kind) {
  switch (kind) {
    case LineKind::kPatient: return &kPatientColumns;
    case LineKind::kInsured: return &kInsuredColumns;
    case LineKind::kCorrected: return &kCorrectedColumns;
    default: return nullptr;
  }
}

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

void CollectLine(const LineClass& line, const LineScanner& scanner, ClaimTable& table,
                 RandomSource& random) {
  const int64_t row = scanner.claimRow;  // rows past the claim count are not stored
  std::string_view element[8];
  if (line.kind == LineKind::kClaim) {
    CutElements(line.body, scanner.elementSeparator, element, 8);
    table.Set(row, kClaimSubmitterId, element[1]);
    table.Set(row, kPayerClaimControlNumber, element[7]);
  } else if (const NameColumns* columns = NameColumnsOf(line.kind)) {
    CutElements(line.body, scanner.elementSeparator, element, 6);
    table.Set(row, columns->last, element[3]);
    table.Set(row, columns->first, element[4]);
    table.Set(row, columns->middle, element[5]);
    char id[kMemberIdLength];
    NewMemberId(random, id);  // drawn for every such NM1, stored or not
    table.Set(row, columns->memberId, std::string_view(id, kMemberIdLength));
  } else if (line.kind == LineKind::kReference) {
    CutElements(line.body, scanner.elementSeparator, element, 3);
    table.Set(row, line.refColumn, element[2]);
  }
}

// The collection pass; returns the number of lines read.
int64_t CollectPass(LineReader& reader, const InterchangeTable& interchanges, ClaimTable& table,
                    RandomSource& random, const ProgressTarget& progress) {
  LineScanner scanner;
  PassProgress percent(progress, reader);
  int64_t lines = 0;
  std::string_view line;
  while (reader.Next(line)) {
    ++lines;
    LineClass kind = ClassifyLine(line, scanner, interchanges);
    if (kind.kind != LineKind::kPlain && kind.kind != LineKind::kIsa) {
      CollectLine(kind, scanner, table, random);
    }
    if ((lines & 0xFFF) == 0) percent.Update();
  }
  percent.Update();
  return lines;
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

// The rewrite pass into `output` (already open, or failed); fills the
// changed counts and the listing.
void RewritePass(LineReader& reader, const InterchangeTable& interchanges,
                 const ClaimTable& table, CheckedWriter& output, ReportWriter* listing,
                 ScrambleCounts& counts, const ProgressTarget& progress) {
  LineScanner scanner;
  PassProgress percent(progress, reader);
  std::string working;
  std::string_view line;
  int64_t lines = 0;
  std::string_view cells[kClaimColumnCount];
  int64_t cellsRow = -1;
  while (reader.Next(line)) {
    LineClass kind = ClassifyLine(line, scanner, interchanges);
    const int64_t row = scanner.claimRow;
    // A claim beyond the claim count has no row: its segments are copied
    // as read and not counted.
    bool changed = kind.kind != LineKind::kPlain && kind.kind != LineKind::kIsa &&
                   table.HasRow(row);
    std::string_view out = line;
    if (changed) {
      const int sep = scanner.elementSeparator;
      if (row != cellsRow) {
        table.GetRow(row, cells);
        cellsRow = row;
      }
      if (kind.kind == LineKind::kClaim) {
        const ElementChange changes[] = {{1, cells[kClaimSubmitterId]},
                                         {7, cells[kPayerClaimControlNumber]}};
        ReplaceElements(line, sep, changes, 2, working);
        ++counts.clpChanged;
      } else if (const NameColumns* columns = NameColumnsOf(kind.kind)) {
        const ElementChange changes[] = {{3, cells[columns->last]},
                                         {4, cells[columns->first]},
                                         {5, cells[columns->middle]},
                                         {9, cells[columns->memberId]}};
        ReplaceElements(line, sep, changes, 4, working);
        if (kind.kind == LineKind::kPatient) {
          ++counts.patientChanged;
        } else if (kind.kind == LineKind::kInsured) {
          ++counts.insuredChanged;
        } else {
          ++counts.otherChanged;
        }
      } else {
        const ElementChange change{2, cells[kind.refColumn]};
        ReplaceElements(line, sep, &change, 1, working);
        ++counts.otherChanged;
      }
      if (working.empty() || working.back() != scanner.terminator) working += scanner.terminator;
      ++counts.totalChanged;
      if (listing != nullptr) {
        listing->Line("Segment in ==>", line);
        listing->Line("Segment out==>", working);
        listing->Line();
      }
      out = working;
    }
    if (!changed && !out.empty() && out.back() == scanner.terminator &&
        reader.LastEndedWithCrLf()) {
      output.Write(out.data(), out.size() + 2);  // the line and its CR LF, as read
    } else {
      output.Write(out);
      if (!changed && (out.empty() || out.back() != scanner.terminator)) {
        output.Put(scanner.terminator);
      }
      output.Write(kLineEnd, 2);
    }
    if ((++lines & 0xFFF) == 0) percent.Update();
  }
  percent.Update();
}

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
                            const ProgressTarget& progress) {
  ScrambleResult result;

  // Stage 1: opening.
  LineReader reader;
  if (int32_t code = reader.Open(copyPath)) {
    notice.Show("Error # " + std::to_string(code) + " On OPEN Of " + copyPath);
    return result;
  }
  CheckedWriter reportOut(size_t{64} << 10);
  errno = 0;
  FILE* reportFile = reportPath.empty() ? nullptr : std::fopen(reportPath.c_str(), "wb");
  if (reportFile == nullptr) {
    int32_t code = errno != 0 ? errno : ENOENT;
    notice.Show("Error # " + std::to_string(code) + " On OPEN Of " + reportPath);
    return result;
  }
  reportOut.Attach(reportFile);
  result.opened = true;
  ReportWriter report(reportOut);

  dialog.SetStatusText("Collecting Information");
  ClaimTable table;
  table.Create(ClaimCountOf(sets));
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

  // Stage 2: collection.
  ScrambleCounts& counts = result.counts;
  counts.claimsFound = table.ClaimCount();
  counts.segmentsIn = CollectPass(reader, interchanges, table, random, progress);
  const bool collectFailed = reader.ReadFailed();
  reader.Close();

  // Stage 3: reordering.
  dialog.SetStatusText("Randomly Scrambling Collected Information");
  table.Reorder(random);

  // Stage 4: rewrite.
  const std::string outputPath = dialog.OutputPathText();
  dialog.SetStatusText(Cut("Writing ANSI Data to " + outputPath, kStatusLimit));
  int32_t outputError = collectFailed ? EIO : 0;
  std::string tempPath, targetPath;
  CheckedWriter output(size_t{1} << 20, /*background=*/true);
  if (outputError == 0) outputError = reader.Open(copyPath);
  if (outputError == 0) {
    FILE* file = nullptr;
    outputError = CreateOutputTempFile(outputPath, tempPath, targetPath, &file);
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
  RewritePass(reader, interchanges, table, output, listing ? &report : nullptr, counts, progress);
  if (reader.ReadFailed() && outputError == 0) outputError = EIO;
  reader.Close();
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
    report.Line("Scrambled data NOT written: could not write file " + outputPath + " (" +
                PlatformErrorText(outputError) + ")");
  }
  report.Line();
  report.Line(" ** END OF REPORT **");
  report.Line();
  result.reportWritten = reportOut.Close() == 0;
  return result;
}
