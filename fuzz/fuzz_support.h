// Small pieces shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "x12scan.h"

namespace fuzz {

/// Keeps the unwrapped copy in memory.
class StringSink : public CopySink {
 public:
  void Write(const char* data, size_t size) override { text.append(data, size); }
  std::string text;
};

/// Called, when set, before a broken invariant ends the process: a target
/// removes its files there.
inline void (*beforeAbort)() = nullptr;

/// Ends the run with a report when an invariant does not hold, so that the
/// fuzzer records the input.
inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    if (beforeAbort != nullptr) beforeAbort();
    std::abort();
  }
}

}  // namespace fuzz
