// Runs the whole engine on arbitrary bytes: the scan, then (when the scan
// succeeds) collection, reordering, rewrite and report from a fixed seed.
// Checks what must hold for any input: the run completes its report, the
// output is written, the counts add up, and the output has exactly one line
// per line of the unwrapped copy.  Then runs the engine again, the claims
// collected from small pieces of the copy as a run collects them during the
// scan and the rewrite working in blocks of a few lines, and checks that
// this comes to the very same output and counts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "collector.h"
#include "engine.h"
#include "feed_copy.h"
#include "platform.h"
#include "random.h"
#include "fuzz_support.h"
#include "x12scan.h"

namespace {

using fuzz::Check;
using fuzz::StringSink;

class FuzzDialog final : public EngineDialog {
 public:
  FuzzDialog(std::string output, bool listing) : output_(std::move(output)), listing_(listing) {}
  std::string InputPathText() override { return "fuzz-input"; }
  std::string OutputPathText() override { return output_; }
  bool ListingChecked() override { return listing_; }
  void SetStatusText(const std::string&) override {}

 private:
  std::string output_;
  bool listing_;
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
size_t CountEngineLines(const std::string& text) {
  size_t lines = 0;
  size_t i = 0;
  const size_t end = text.find('\x1a') == std::string::npos ? text.size() : text.find('\x1a');
  while (i < end) {
    const size_t cr = text.find('\r', i);
    ++lines;
    if (cr == std::string::npos || cr >= end) break;
    i = cr + 1;
    if (i < end && text[i] == '\n') ++i;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
  StringSink copy;
  const int32_t code = ScanX12Buffer(reinterpret_cast<const char*>(data), size, &copy, interchanges, ta1s,
                                     groups, sets, ProgressTarget());
  if (code != 0) return 0;

  Temp copyFile, reportFile, outputFile;
  Check(WriteFile(copyFile.path, copy.text), "write the unwrapped copy");
  FuzzDialog dialog(outputFile.path, size % 2 == 1);
  SilentNotice notice;
  LcgRandom random(static_cast<float>(size));
  const ScrambleResult result =
      ScrambleFile(dialog, copyFile.path, reportFile.path, interchanges, groups, sets, random, notice);
  Check(result.opened && !notice.shown, "the run opens its files");
  Check(result.outputWritten, "the output is written");
  Check(result.reportWritten, "the report is written");
  const ScrambleCounts& c = result.counts;
  Check(c.totalChanged == c.clpChanged + c.patientChanged + c.insuredChanged + c.otherChanged,
        "total changed is the sum of the categories");
  Check(c.clpChanged <= c.claimsFound, "no more claims changed than counted");

  const std::string report = ReadWholeFile(reportFile.path);
  Check(report.find(" ** END OF REPORT **\r\n") != std::string::npos, "the report is complete");
  const std::string output = ReadWholeFile(outputFile.path);
  Check(static_cast<int64_t>(CountEngineLines(copy.text)) == c.segmentsIn, "segments in counts the copy's lines");
  // Every output line ends in CR LF, one per line read from the copy.
  size_t crlf = 0;
  for (size_t i = 0; i + 1 < output.size(); ++i) crlf += output[i] == '\r' && output[i + 1] == '\n';
  Check(crlf >= static_cast<size_t>(c.segmentsIn), "one output line per copy line");

  // The same run with the collection fed piece by piece, as a scan feeds
  // it, and the rewrite in blocks of a few lines.
  Temp streamedOutput, streamedReport;
  FuzzDialog streamedDialog(streamedOutput.path, size % 2 == 1);
  LcgRandom sameRandom(static_cast<float>(size));
  InterchangeTable live;
  CopyCollector collector(live, sameRandom, /*blockBytes=*/1 + size % 61);
  testsupport::FeedLikeTheScan(copy.text, interchanges, 1 + size % 97, live, collector);
  const ScrambleResult streamed =
      ScrambleFile(streamedDialog, copyFile.path, streamedReport.path, interchanges, groups, sets,
                   sameRandom, notice, ProgressTarget(), &collector);
  Check(streamed.outputWritten, "the streamed run writes its output");
  Check(ReadWholeFile(streamedOutput.path) == output, "streamed collection, same output");
  Check(streamed.counts.segmentsIn == c.segmentsIn && streamed.counts.totalChanged == c.totalChanged &&
            streamed.counts.claimsFound == c.claimsFound,
        "streamed collection, same counts");
  return 0;
}
