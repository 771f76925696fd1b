// Feeds arbitrary bytes to the scan and checks what must hold for any input:
// a result code from the known set, tables whose cross-references stay
// inside them, a well-formed start and end of the unwrapped copy, one line
// of the copy for each segment the scan read, and the same outcome when the
// bytes are read from a file in small windows as when they are held whole.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include "fuzz_support.h"
#include "scan_summary.h"
#include "x12scan.h"

namespace {

// The file the windowed scan reads, one per process (fuzzers may run as
// several processes side by side).
const std::string& WindowedInputPath() {
#ifdef _WIN32
  const int process = _getpid();
#else
  const int process = static_cast<int>(getpid());
#endif
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("scan_fuzzer_" + std::to_string(process) + ".x12")).string();
  return path;
}

void RemoveWindowedInput() { std::remove(WindowedInputPath().c_str()); }

// The bytes written to a file and scanned in windows of a size that the
// input chooses (1 to 300 bytes, so below and above the overlap the windows
// keep): the outcome must be the whole scan's, `whole`.
void CheckWindowedScan(const uint8_t* data, size_t size, const std::string& whole) {
  FILE* file = std::fopen(WindowedInputPath().c_str(), "wb");
  fuzz::Check(file != nullptr, "the windowed scan's file can be made");
  const bool written = std::fwrite(data, 1, size, file) == size;
  fuzz::Check(std::fclose(file) == 0 && written, "the windowed scan's file is written");
  fuzz::beforeAbort = RemoveWindowedInput;
  const size_t windowSize = 1 + (size * 7 + (size > 0 ? data[size / 2] : 0)) % 300;
  testsupport::ScanTables tables;
  fuzz::StringSink sink;
  const int32_t code = ScanX12FileToSink(WindowedInputPath(), sink, tables.interchanges, tables.ta1s,
                                         tables.groups, tables.sets, ProgressTarget(), windowSize);
  fuzz::Check(testsupport::DescribeScan(code, tables, sink.text) == whole,
              "the scan in windows gives what the scan of the whole gives");
  RemoveWindowedInput();
  fuzz::beforeAbort = nullptr;
}

}  // namespace

using fuzz::Check;
using fuzz::StringSink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
  StringSink sink;
  ProgressTarget progress;
  int steps = 0;
  progress.window = 1;
  progress.context = &steps;
  progress.step = [](const ProgressTarget& target, int percent) {
    Check(percent >= 0 && percent < 100, "progress percentage in range");
    ++*static_cast<int*>(target.context);
  };
  const int32_t code = ScanX12Buffer(reinterpret_cast<const char*>(data), size, &sink, interchanges, ta1s, groups,
                                     sets, progress);
  Check(code == 0 || (code >= 101 && code <= 105), "result code");
  Check(!ScanErrorText(code).empty(), "result has a message");
  Check(steps <= 100, "at most 100 progress steps");

  for (int32_t i = 1; i <= interchanges.Count(); ++i) {
    const InterchangeEntry& e = interchanges[i];
    Check(e.firstGroup == 0 || groups.Has(e.firstGroup), "interchange firstGroup");
    Check(e.firstTa1 == 0 || ta1s.Has(e.firstTa1), "interchange firstTa1");
    Check(e.firstTa1 == 0 || ta1s.Has(e.firstTa1 + e.ta1Count - 1), "interchange TA1 run");
    Check(EntryOffset(e.start) <= size, "interchange start");
  }
  for (int32_t g = 1; g <= groups.Count(); ++g) {
    Check(groups[g].interchange == 0 || interchanges.Has(groups[g].interchange), "group interchange");
    Check(groups[g].firstSet == 0 || sets.Has(groups[g].firstSet), "group firstSet");
  }
  for (int32_t s = 1; s <= sets.Count(); ++s) {
    Check(sets[s].interchange == 0 || interchanges.Has(sets[s].interchange), "set interchange");
    Check(sets[s].group == 0 || groups.Has(sets[s].group), "set group");
  }

  // The copy starts with the first accepted header and ends with a line end.
  const std::string& copy = sink.text;
  if (!copy.empty()) {
    Check(copy.compare(0, 3, "ISA") == 0, "copy starts with a header");
    Check(copy.back() == '\n', "copy ends with a line end");
  }
  Check(copy.empty() == (interchanges[1].segmentCount == 0), "copy written exactly when a header was accepted");
  // One line per segment read: a CR ends each line of the copy and stands
  // nowhere else (line breaks inside a segment are left out), so that the
  // engine, which cuts the copy at CR, reads every segment whole.
  int64_t segments = 0;
  for (int32_t i = 1; i <= interchanges.Count(); ++i) segments += interchanges[i].segmentCount;
  Check(static_cast<int64_t>(std::count(copy.begin(), copy.end(), '\r')) == segments,
        "one copy line per segment");

  testsupport::ScanTables tables;
  tables.interchanges = interchanges;
  tables.ta1s = ta1s;
  tables.groups = groups;
  tables.sets = sets;
  CheckWindowedScan(data, size, testsupport::DescribeScan(code, tables, copy));
  return 0;
}
