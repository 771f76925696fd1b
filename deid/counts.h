// The counts of the run report, shared by the engine and its rewrite pass.
#pragma once

#include <cstdint>

/// The seven counts of the run report.
struct ScrambleCounts {
  int64_t segmentsIn = 0;
  int64_t claimsFound = 0;
  int64_t clpChanged = 0;
  int64_t patientChanged = 0;
  int64_t insuredChanged = 0;
  int64_t otherChanged = 0;
  int64_t totalChanged = 0;
  /// Not in the report's counts: identifying values written empty because
  /// they belong to no claim or would break the receiving interchange.
  int64_t valuesEmptied = 0;
};
