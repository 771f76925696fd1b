// Feeding an unwrapped copy to a CopyCollector the way a scan does, for the
// tests and the fuzzer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "collector.h"
#include "x12scan.h"

namespace testsupport {

/// Feeds `copy` to `collector` in pieces of `pieceSize` bytes, then finishes
/// it.  `live` is the (new) table the collector was made with: as in a scan,
/// it holds an interchange of `interchanges` from the piece with the start
/// of its ISA line on, as far as `interchanges` has entries.
inline void FeedLikeTheScan(const std::string& copy, const InterchangeTable& interchanges,
                            size_t pieceSize, InterchangeTable& live, CopyCollector& collector) {
  std::vector<size_t> isaLines;
  for (size_t at = copy.find("ISA"); at != std::string::npos; at = copy.find("ISA", at + 1)) {
    if (at == 0 || copy[at - 1] == '\r' || copy[at - 1] == '\n') isaLines.push_back(at);
  }
  size_t begun = 0;  // ISA lines that start before the end of the piece
  int32_t made = 0;
  for (size_t at = 0; at < copy.size(); at += pieceSize) {
    const size_t end = std::min(copy.size(), at + pieceSize);
    while (begun < isaLines.size() && isaLines[begun] < end) ++begun;
    const int32_t wanted = std::min(static_cast<int32_t>(begun), interchanges.Count());
    for (; made < wanted; ++made) {
      if (made > 0) live.Grow();
      live[made + 1] = interchanges[made + 1];
    }
    collector.Handing();
    collector.Written(copy.data() + at, end - at);
  }
  collector.Finish();
}

}  // namespace testsupport
