// One whole run from the dialog's two paths to the report text: scan into a
// temporary unwrapped copy, the engine, the report read back, and both
// temporary files deleted on every path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

/// One input of a pool and its output, named as for one run: the texts the
/// user gave, and the files to read and write.
struct PoolPaths {
  std::string inputText;
  std::string inputFile;
  std::string outputText;
  std::string outputFile;
};

/// The outcome of a run over a pool.
struct PoolRunResult {
  int32_t scanCode = 0;   ///< the failed scan's result; the engine did not run
  /// An unwrapped copy could not be made or written (a code for
  /// PlatformErrorText): the engine did not run.
  int32_t copyError = 0;
  size_t failedInput = 0; ///< the input whose scan or copy failed
  ScrambleResult scramble;            ///< over the pool (see ScramblePool)
  std::vector<ScrambleResult> files;  ///< each input's own, in order
  std::string report;                 ///< the report text, or the line that says why there is none
};

/// Runs a pool: scans every input in turn into an unwrapped copy of its
/// own, collecting each one's claims into the same table while it is
/// scanned (the claims of later inputs take the rows after those of the
/// inputs before), then the engine over all of them (ScramblePool).  Status
/// texts per input as for one run ("Scanning ", "Scan Complete",
/// "Collecting Information"), then the engine's.  The first scan that
/// fails, or copy that cannot be written, ends the run before anything is
/// written.  Every temporary file is deleted on every path; each copy as
/// soon as its output is made.
PoolRunResult RunScramblePool(EngineDialog& dialog, const std::vector<PoolPaths>& paths,
                              RandomSource& random, EngineNotice& notice,
                              const ProgressTarget& progress = {});
