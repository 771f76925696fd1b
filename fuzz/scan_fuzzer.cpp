// Feeds arbitrary bytes to the scan and checks what must hold for any input:
// a result code from the known set, tables whose cross-references stay
// inside them, a well-formed start and end of the unwrapped copy, and one
// line of the copy for each segment the scan read.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "x12scan.h"

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
  return 0;
}
