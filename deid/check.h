// Checking a scrambled output against the input it was made from, from the
// two files alone: whether the output is faithful (integrity), what it
// still carries that identifies (privacy) and which segments the exchange
// left invalid (validity).  Findings name segment numbers, kinds and counts,
// never a value of either file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// The points of integrity, in the order in which the first failed one is
/// named.
enum CheckPoint : int {
  kPointSegments,        ///< one output segment per input segment, in order
  kPointEnvelope,        ///< interchanges, groups, sets, control numbers, counts
  kPointKeptElements,    ///< every element a run never replaces is byte-identical
  kPointMemberIds,       ///< NM109 of NM1 QC/IL/74 (and GB, thorough): new, none original
  kPointReplacedValues,  ///< every replaced value is one of its column in the input
  kPointBalance,         ///< every 835 set that balanced in the input still does
  kCheckPointCount
};

/// The point's short name ("segments", "kept elements", ...).
const char* CheckPointName(int point);

/// How one point fared.
struct CheckPointResult {
  int64_t checked = 0;   ///< what was looked at: segments, tables' entries, values, sets
  int64_t failures = 0;
  std::string first;     ///< the first failure found; empty when none
};

/// Data of one kind and the segments (numbers in the unwrapped output, the
/// first being 1) where it stands.
struct CheckFinding {
  static constexpr size_t kPositions = 10;  ///< segment numbers kept per kind
  std::string kind;
  int64_t count = 0;
  std::vector<int64_t> segments;
};

/// Per exchanged column: the input's non-empty values and how many of them
/// the output still holds in the same place.
struct ColumnKept {
  std::string column;
  int64_t values = 0;
  int64_t kept = 0;
};

struct CheckResult {
  int32_t inputScan = 0;   ///< ScanResult code of the input; the rest holds only when both are 0
  int32_t outputScan = 0;  ///< ScanResult code of the output

  int64_t inputSegments = 0;
  int64_t outputSegments = 0;
  int64_t interchanges = 0;
  int64_t groups = 0;
  int64_t sets = 0;
  int64_t sets835 = 0;
  int64_t claims = 0;
  /// With other inputs of a pool (CheckOptions::poolInputs): how many
  /// inputs and claims the pool has, this input's included; the first of
  /// them that fails to scan (its index among poolInputs) and its code.
  int64_t poolInputs = 1;
  int64_t poolClaims = 0;
  int32_t poolScan = 0;
  size_t poolScanFailed = 0;

  CheckPointResult points[kCheckPointCount];
  int64_t setsUnbalancedInInput = 0;  ///< 835 sets not checked for balance

  // Privacy.
  std::vector<ColumnKept> columns;     ///< columns with values, in table order
  int64_t newMemberIds = 0;
  std::vector<CheckFinding> untouched; ///< identifying data no run exchanges
  std::vector<CheckFinding> dates;     ///< dates inside claims, kept on purpose

  // Validity.
  std::vector<CheckFinding> invalid;

  bool Scanned() const { return inputScan == 0 && outputScan == 0 && poolScan == 0; }
  /// The first point that failed, or -1 when integrity holds.
  int FirstFailed() const;
  bool Passed() const { return Scanned() && FirstFailed() < 0; }
};

/// What a check takes beside the two files.
struct CheckOptions {
  /// The other inputs of the pool that the input was scrambled in (see
  /// ScramblePool): values move between the inputs of a pool, so each
  /// replaced value is looked up among the values of its column in all of
  /// them, and no output may hold an original member id of any of them.
  std::vector<std::string> poolInputs;
  /// The output of a thorough run: its columns (NM1 GB with its member id,
  /// the eight REF qualifiers more, REF 6R, PLB references that quote a
  /// claim's number) are replaced values, not kept elements.
  bool thorough = false;
};

/// Checks `outputPath` against `inputPath`.  Streams both files (each
/// mapped and given back behind the scan, read through a few megabytes of
/// buffers); holds the hashes of the input's identifying values by column
/// (and of the pool's other inputs, each read once more for them).
/// Throws std::bad_alloc when memory runs out and std::system_error when no
/// thread can be had.
CheckResult CheckScrambledFile(const std::string& inputPath, const std::string& outputPath,
                               const CheckOptions& options = CheckOptions());

/// The summary for people: first line "Check: PASSED" or "Check: FAILED: "
/// and the first failed point, then a section for integrity, privacy and
/// validity.
std::string CheckSummaryText(const CheckResult& result, const std::string& inputPath,
                             const std::string& outputPath);

/// The same content as one JSON object, ending in a line end.
std::string CheckSummaryJson(const CheckResult& result, const std::string& inputPath,
                             const std::string& outputPath);
