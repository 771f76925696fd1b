// One whole run from the dialog's two paths to the report text: scan into a
// temporary unwrapped copy, the engine, the report read back, and both
// temporary files deleted on every path.
#pragma once

#include <cstdint>
#include <string>

#include "engine.h"

/// The outcome of one run.
struct RunResult {
  int32_t scanCode = 0;     ///< ScanX12File's result; the engine ran only when 0
  int32_t copyError = 0;    ///< the unwrapped copy could not be written: the engine did not run
  ScrambleResult scramble;  ///< what the engine achieved (empty when it did not run)
  std::string report;       ///< the report text, or "Scan failed: " and the message
};

/// Runs the scan of the dialog's input file and, when it succeeds, the
/// engine.  Status texts: "Scanning " and the input path (cut to 259
/// characters), then "Scan Complete", then the engine's own.  `progress` is
/// handed to the scan and the engine.  When the scan succeeds but its
/// unwrapped copy could not be written completely, the engine is not run
/// (it would scramble a truncated file) and the report is one line saying
/// that nothing was written.  The report is returned whole: any cutting for
/// display is the caller's.
RunResult RunScramble(EngineDialog& dialog, RandomSource& random, EngineNotice& notice,
                      const ProgressTarget& progress = {});
