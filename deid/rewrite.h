// The rewrite pass: the output lines of the unwrapped copy with the claims'
// reordered values, made block by block on helper threads and written in
// file order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "checked_writer.h"
#include "claim_table.h"
#include "collector.h"
#include "counts.h"
#include "platform.h"
#include "x12scan.h"

/// What the rewrite needs besides the table.
struct RewriteInput {
  std::string copyPath;
  /// The copy's temporary file, when the rewrite may give back the room of
  /// each block once it has read it (nothing reads the copy again).
  const ScopedPrivateTempFile* copy = nullptr;
  /// Where blocks may start (the first at offset 0), with the marks of
  /// their collected lines (a plain block is rewritten from these alone),
  /// and where the copy's lines end, as the collection found them.
  const std::vector<CopyBlockStart>* blockStarts = nullptr;
  uint64_t end = 0;
  /// The claim row the collection stood at after its last line: the
  /// rewrite must meet the same claims.
  int64_t endClaimRow = 0;
  const InterchangeTable* interchanges = nullptr;
  const ClaimTable* table = nullptr;
  /// A thorough run's: the service lines' table, and the PLB segments with
  /// references, resolved, in the order of their ordinals.
  const ClaimTable* services = nullptr;
  const std::vector<AdjustmentReferences>* adjustments = nullptr;
  /// The PLB segments the collection met (a thorough run's).
  int64_t adjustmentCount = 0;
};

/// Rewrites the copy into `output` (which may be unopened: the counts and
/// the listing are made all the same) and, when `listing` is not null, the
/// before and after lines of every changed segment into it.  Adds the five
/// changed counts to `counts`.  Returns 0, or the error number when the copy
/// could not be read whole (what was read is rewritten).
int32_t RewriteCopy(const RewriteInput& input, CheckedWriter& output, CheckedWriter* listing,
                    ScrambleCounts& counts, const ProgressTarget& progress);
