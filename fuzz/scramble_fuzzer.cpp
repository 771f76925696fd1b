// Runs the whole engine on arbitrary bytes: the scan, then (when the scan
// succeeds) collection, reordering, rewrite and report from a fixed seed,
// as a default run or (by a bit of the input's size) a thorough one.
// Checks what must hold for any input: the run completes its report, the
// output is written (or nothing at all when the claims the run meets are
// not those the scan counted), the counts add up, and the output has
// exactly one line per line of the unwrapped copy.  Line by line against the copy: every
// output segment has as many elements as its input segment (counted with
// the separator of its own interchange) and no terminator inside it that
// the input segment did not have, and no member id of an NM1 QC, IL
// or 74 (and GB, in a thorough run) inside an 835 set is written out again; the CLP lines inside 835
// sets are the claims the scan counted.  No temporary file is left
// once the run is over.  Then runs the engine again, the claims
// collected from small pieces of the copy as a run collects them during the
// scan and the rewrite working in blocks of a few lines, and checks that
// this comes to the very same output and counts.  For every third input,
// also cuts it in two (at its second "ISA", else in the middle) and runs
// the two files as one pool: both outputs are written or neither, and each
// written one holds to the line-by-line checks against its own copy.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <unistd.h>

#include "collector.h"
#include "engine.h"
#include "feed_copy.h"
#include "platform.h"
#include "random.h"
#include "run.h"
#include "fuzz_support.h"
#include "x12scan.h"

namespace {

using fuzz::Check;
using fuzz::StringSink;

class FuzzDialog final : public EngineDialog {
 public:
  FuzzDialog(std::string output, bool listing, bool thorough)
      : output_(std::move(output)), listing_(listing), thorough_(thorough) {}
  std::string InputPathText() override { return "fuzz-input"; }
  std::string OutputPathText() override { return output_; }
  bool ListingChecked() override { return listing_; }
  bool ThoroughChecked() override { return thorough_; }
  void SetStatusText(const std::string&) override {}

 private:
  std::string output_;
  bool listing_;
  bool thorough_;
};

class SilentNotice final : public EngineNotice {
 public:
  void Show(const std::string&) override { shown = true; }
  bool shown = false;
};

// A file in the temporary folder, deleted when the test input is done.
struct Temp {
  std::string path;
  Temp() { Check(MakeTempFileName("~fz", path) == 0, "temporary file"); }
  ~Temp() {
    RemoveFile(path);
    ForgetTempFile(path);
  }
};

bool WriteFile(const std::string& path, const std::string& text) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && ok;
}

// Lines as the engine reads them: a line ends at CR, an LF right after the
// CR belongs to the line end, and a byte 0x1A ends the text.
std::vector<std::string_view> CopyLines(const std::string& text) {
  std::vector<std::string_view> lines;
  const size_t end = std::min(text.find('\x1a'), text.size());
  size_t i = 0;
  while (i < end) {
    const size_t cr = text.find('\r', i);
    if (cr == std::string::npos || cr >= end) {
      lines.emplace_back(text.data() + i, end - i);
      break;
    }
    lines.emplace_back(text.data() + i, cr - i);
    i = cr + 1;
    if (i < end && text[i] == '\n') ++i;
  }
  return lines;
}

// Lines of the output: each ends with CR LF.
std::vector<std::string_view> OutputLines(const std::string& text) {
  std::vector<std::string_view> lines;
  for (size_t i = 0; i < text.size();) {
    size_t at = text.find("\r\n", i);
    if (at == std::string::npos) at = text.size();
    lines.emplace_back(text.data() + i, at - i);
    i = at + 2;
  }
  return lines;
}

std::vector<std::string_view> Elements(std::string_view body, int separator) {
  std::vector<std::string_view> elements;
  size_t start = 0;
  for (size_t i = 0; separator >= 0 && i < body.size(); ++i) {
    if (static_cast<unsigned char>(body[i]) == separator) {
      elements.push_back(body.substr(start, i - start));
      start = i + 1;
    }
  }
  elements.push_back(body.substr(start));
  return elements;
}

// Nine digits, the first not 0, and a capital letter: the shape of a
// manufactured member id, which a new id may happen to repeat.
bool MemberIdShape(std::string_view value) {
  if (value.size() != 10 || value[0] < '1' || value[0] > '9' || value[9] < 'A' || value[9] > 'Z') {
    return false;
  }
  for (size_t i = 1; i < 9; ++i) {
    if (value[i] < '0' || value[i] > '9') return false;
  }
  return true;
}

// Output line k against line k of the copy, each line read as the scan
// wrote it: the scan writes the segments of each interchange it opened,
// its header first, one line each, interchange after interchange (an ISA
// segment inside an open interchange is one of its segments).  So the
// interchange of a line follows from the segment counts of the table, and
// with it the element separator (of the header) and the terminator.  A
// set is an 835 set from an ST whose element 1 begins with 835 (the scan
// keeps the first three characters as the set's identifier) up to its SE.
// Returns the number of CLP lines inside 835 sets.
int64_t CheckLineByLine(const std::string& copy, const std::string& output,
                        const InterchangeTable& interchanges, bool thorough) {
  const std::vector<std::string_view> in = CopyLines(copy);
  const std::vector<std::string_view> out = OutputLines(output);
  Check(in.size() == out.size(), "one output line per copy line");
  int32_t entry = 1;
  int64_t linesLeft = interchanges[1].segmentCount;  // in the interchange of `entry`
  bool in835 = false;
  int64_t claims = 0;
  for (size_t k = 0; k < in.size(); ++k) {
    while (linesLeft == 0 && entry < interchanges.Count()) linesLeft = interchanges[++entry].segmentCount;
    --linesLeft;
    const int separator = static_cast<unsigned char>(interchanges[entry].isaText[3]);
    const char term = static_cast<char>(interchanges[entry].terminator);
    std::string_view line = in[k];
    std::string_view written = out[k];
    Check(!written.empty() && written.back() == term, "every output segment ends with its own terminator");
    if (!line.empty() && line.back() == term) line.remove_suffix(1);
    written.remove_suffix(1);
    const std::vector<std::string_view> before = Elements(line, separator);
    const std::vector<std::string_view> after = Elements(written, separator);
    Check(before.size() == after.size(), "every output segment has as many elements as its input segment");
    Check(std::count(line.begin(), line.end(), term) == std::count(written.begin(), written.end(), term),
          "no output segment holds its terminator inside");
    const std::string_view tag = before[0];
    if (tag == "ST") {
      in835 = before.size() > 1 && before[1].substr(0, 3) == "835";
    } else if (tag == "SE") {
      in835 = false;
    } else if (in835 && tag == "CLP") {
      ++claims;
    } else if (in835 && tag == "NM1" && before.size() > 9 &&
               (before[1] == "QC" || before[1] == "IL" || before[1] == "74" ||
                (thorough && before[1] == "GB"))) {
      const std::string_view id = before[9];
      Check(id.empty() || MemberIdShape(id) || after[9] != id, "no original member id survives");
    }
  }
  return claims;
}

// The fuzzer's own temporary folder, made the process's TMPDIR: the
// engine's files and the fuzzer's own all go there, so that whatever a run
// leaves behind shows.
std::string g_tempFolder;

// Removes the folder and whatever is in it.
void RemoveTempFolder() {
  if (DIR* dir = opendir(g_tempFolder.c_str())) {
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") unlink((g_tempFolder + "/" + name).c_str());
    }
    closedir(dir);
  }
  rmdir(g_tempFolder.c_str());
}

void UseOwnTempFolder() {
  if (!g_tempFolder.empty()) return;
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/scramble-fuzz-XXXXXX";
  Check(mkdtemp(&pattern[0]) != nullptr, "temporary folder");
  g_tempFolder = pattern;
  setenv("TMPDIR", g_tempFolder.c_str(), 1);
  std::atexit(RemoveTempFolder);
  fuzz::beforeAbort = RemoveTempFolder;
}

bool TempFolderEmpty() {
  DIR* dir = opendir(g_tempFolder.c_str());
  Check(dir != nullptr, "list the temporary folder");
  bool empty = true;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") empty = false;
  }
  closedir(dir);
  return empty;
}

void ScrambleAndCheck(const uint8_t* data, size_t size) {
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
  StringSink copy;
  const int32_t code = ScanX12Buffer(reinterpret_cast<const char*>(data), size, &copy, interchanges, ta1s,
                                     groups, sets, ProgressTarget());
  if (code != 0) return;

  Temp copyFile, reportFile, outputFile;
  Check(WriteFile(copyFile.path, copy.text), "write the unwrapped copy");
  const bool thorough = (size >> 1) % 2 == 1;
  FuzzDialog dialog(outputFile.path, size % 2 == 1, thorough);
  SilentNotice notice;
  LcgRandom random(static_cast<float>(size));
  const ScrambleResult result =
      ScrambleFile(dialog, copyFile.path, reportFile.path, interchanges, groups, sets, random, notice);
  Check(result.opened && !notice.shown, "the run opens its files");
  // Claims that the collection and the scan count differently stop the
  // run: nothing is written rather than a claim without its row.
  const bool refused = !result.outputWritten && result.outputError == kRefusedClaimsDisagree;
  Check(result.outputWritten || refused, "the output is written");
  Check(result.reportWritten, "the report is written");
  const ScrambleCounts& c = result.counts;
  Check(c.totalChanged == c.clpChanged + c.patientChanged + c.insuredChanged + c.otherChanged,
        "total changed is the sum of the categories");
  Check(c.clpChanged <= c.claimsFound, "no more claims changed than counted");

  const std::string report = ReadWholeFile(reportFile.path);
  Check(report.find(" ** END OF REPORT **\r\n") != std::string::npos, "the report is complete");
  const std::string output = ReadWholeFile(outputFile.path);
  Check(static_cast<int64_t>(CopyLines(copy.text).size()) == c.segmentsIn, "segments in counts the copy's lines");
  if (refused) {
    Check(output.empty(), "a refused run writes no output");
  } else {
    // Every output line ends in CR LF, one per line read from the copy.
    size_t crlf = 0;
    for (size_t i = 0; i + 1 < output.size(); ++i) crlf += output[i] == '\r' && output[i + 1] == '\n';
    Check(crlf >= static_cast<size_t>(c.segmentsIn), "one output line per copy line");
    const int64_t claims = CheckLineByLine(copy.text, output, interchanges, thorough);
    // A claim the scan did not count has no row; a counted one that the
    // copy does not show inside an 835 set is not exchanged at all.  (A
    // byte 0x1A ends the copy early: not compared.)
    if (copy.text.find('\x1a') == std::string::npos) {
      Check(claims == c.claimsFound, "the claims inside 835 sets are the claims the scan counted");
    }
  }

  // The same run with the collection fed piece by piece, as a scan feeds
  // it, and the rewrite in blocks of a few lines.
  Temp streamedOutput, streamedReport;
  FuzzDialog streamedDialog(streamedOutput.path, size % 2 == 1, thorough);
  LcgRandom sameRandom(static_cast<float>(size));
  InterchangeTable live;
  CopyCollector collector(live, sameRandom, /*blockBytes=*/1 + size % 61, thorough);
  testsupport::FeedLikeTheScan(copy.text, interchanges, 1 + size % 97, live, collector);
  const ScrambleResult streamed =
      ScrambleFile(streamedDialog, copyFile.path, streamedReport.path, interchanges, groups, sets,
                   sameRandom, notice, ProgressTarget(), &collector);
  Check(streamed.outputWritten == result.outputWritten && streamed.outputError == result.outputError,
        "the streamed run writes its output exactly when the whole run does");
  Check(ReadWholeFile(streamedOutput.path) == output, "streamed collection, same output");
  Check(streamed.counts.segmentsIn == c.segmentsIn && streamed.counts.totalChanged == c.totalChanged &&
            streamed.counts.claimsFound == c.claimsFound,
        "streamed collection, same counts");
}

bool FileExists(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f != nullptr) std::fclose(f);
  return f != nullptr;
}

void PoolAndCheck(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const size_t first = text.find("ISA");
  size_t cut = first == std::string::npos ? std::string::npos : text.find("ISA", first + 3);
  if (cut == std::string::npos) cut = size / 2;
  const std::string parts[2] = {text.substr(0, cut), text.substr(cut)};
  Temp inputs[2], outputs[2];
  std::string copies[2];
  InterchangeTable tables[2];
  bool scanned = true;
  std::vector<PoolPaths> paths;
  for (int i = 0; i < 2; ++i) {
    Check(WriteFile(inputs[i].path, parts[i]), "write a file of the pool");
    RemoveFile(outputs[i].path);  // only the pool makes it
    Ta1Table ta1s;
    GroupTable groups;
    SetTable sets;
    StringSink copy;
    scanned = scanned && ScanX12Buffer(parts[i].data(), parts[i].size(), &copy, tables[i], ta1s,
                                       groups, sets, ProgressTarget()) == 0;
    copies[i] = copy.text;
    paths.push_back({"input", inputs[i].path, "output", outputs[i].path});
  }
  const bool thorough = (size >> 1) % 2 == 1;
  FuzzDialog dialog("", size % 2 == 1, thorough);
  SilentNotice notice;
  LcgRandom random(static_cast<float>(size));
  const PoolRunResult run = RunScramblePool(dialog, paths, random, notice);
  if (!scanned) {
    Check(run.scanCode != 0, "a file that fails to scan fails the pool");
    Check(!FileExists(outputs[0].path) && !FileExists(outputs[1].path),
          "a pool that fails to scan writes nothing");
    return;
  }
  Check(run.scanCode == 0 && run.copyError == 0 && run.scramble.opened && !notice.shown,
        "the pool runs");
  Check(run.scramble.reportWritten &&
            run.report.find(" ** END OF REPORT **\r\n") != std::string::npos,
        "the pool's report is complete");
  Check(run.files[0].outputWritten == run.files[1].outputWritten, "a pool is written whole or not");
  int64_t segments = 0;
  for (int i = 0; i < 2; ++i) {
    const ScrambleResult& own = run.files[i];
    Check(static_cast<int64_t>(CopyLines(copies[i]).size()) == own.counts.segmentsIn,
          "segments in counts each copy's lines");
    segments += own.counts.segmentsIn;
    if (own.outputWritten) {
      CheckLineByLine(copies[i], ReadWholeFile(outputs[i].path), tables[i], thorough);
    } else {
      Check(own.outputError == kRefusedClaimsDisagree || own.outputError == kRefusedPoolIncomplete,
            "only claims that disagree keep a pool from being written");
      Check(!FileExists(outputs[i].path), "a refused pool writes nothing");
    }
  }
  Check(run.scramble.counts.segmentsIn == segments, "the pool's total adds up its files");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  UseOwnTempFolder();
  ScrambleAndCheck(data, size);
  if (size % 3 == 0) PoolAndCheck(data, size);
  Check(TempFolderEmpty(), "no temporary file is left after the run");
  return 0;
}
