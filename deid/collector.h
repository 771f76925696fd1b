// Collecting the identifying values of the claims from the unwrapped copy,
// either from the copy file or from the copy's pieces while the scan writes
// them.
#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "adjustments.h"
#include "claim_table.h"
#include "line_reader.h"
#include "random.h"
#include "x12scan.h"

/// A collected line, as the rewrite finds it again: its offset in its
/// block (below kOffsetLimit: no block is longer), its kind and, for a
/// reference line, its column, in four bytes (a file holds millions).  The
/// low byte holds the kind, or for a reference line kFirstReference plus
/// its column.
struct LineMark {
  uint32_t bits;
  static constexpr uint64_t kOffsetLimit = uint64_t{1} << 24;
  static constexpr uint32_t kFirstReference = 64;
  static LineMark Of(uint64_t offsetInBlock, const LineClass& line) {
    const uint32_t code = line.kind == LineKind::kReference
                              ? kFirstReference + static_cast<uint32_t>(line.refColumn)
                              : static_cast<uint32_t>(line.kind);
    return {static_cast<uint32_t>(offsetInBlock << 8) | code};
  }
  uint64_t OffsetInBlock() const { return bits >> 8; }
  LineKind Kind() const {
    const uint32_t code = bits & 0xFF;
    return code >= kFirstReference ? LineKind::kReference : static_cast<LineKind>(code);
  }
  int RefColumn() const {
    const uint32_t code = bits & 0xFF;
    return code >= kFirstReference ? static_cast<int>(code - kFirstReference) : -1;
  }
};
static_assert(kThoroughColumnCount < 256 - LineMark::kFirstReference, "a column fits a mark's byte");

/// A line of the copy where the rewrite may start a block of its own, with
/// the line scanner's state before that line.  A block is `plain` when it
/// holds no ISA line and every line of it that is not collected ends with
/// its terminator and CR LF, so that it goes to the output as read: then
/// the rewrite needs to look only at the collected lines, whose marks the
/// block keeps.
struct CopyBlockStart {
  uint64_t offset = 0;
  LineScanner scanner;
  bool plain = true;
  /// The marks of the block's collected lines, in order: `markCount` of
  /// them from `marks` on, in the collection's LineMarks.
  LineMark* marks = nullptr;
  size_t markCount = 0;
};

/// The marks of all blocks of a collection, a block's marks one after the
/// other.  They sit in chunks taken from the system that never move, so
/// that millions of marks are neither copied again and again as they grow
/// nor spread over a fresh allocation per block; a block whose marks would
/// cross a chunk's end moves to the next chunk whole.  The first chunk is
/// small (a pool of many small inputs keeps a collection for each), the
/// next one larger, the others 64 MiB.
class LineMarks {
 public:
  /// Where the marks of a block that starts now go.
  LineMark* Next() const { return next_; }
  /// Appends a mark to the block whose first `count` marks start at
  /// `first`, the last block; moves the block when its chunk is full.
  void Add(LineMark*& first, size_t count, LineMark mark) {
    if (next_ == end_) NewChunk(first, count);
    *next_++ = mark;
  }

 private:
  static constexpr size_t kFirstChunkMarks = size_t{1} << 14;  // 128 KiB
  static constexpr size_t kChunkMarks = size_t{1} << 23;       // 64 MiB
  void NewChunk(LineMark*& first, size_t count) {
    const size_t marks = count * 2 > nextChunkMarks_ ? count * 2 : nextChunkMarks_;
    nextChunkMarks_ = nextChunkMarks_ >= kChunkMarks / 64 ? kChunkMarks : nextChunkMarks_ * 64;
    chunks_.emplace_back(marks * sizeof(LineMark));
    LineMark* const moved = reinterpret_cast<LineMark*>(chunks_.back().get());
    if (count > 0) std::memcpy(moved, first, count * sizeof(LineMark));
    first = moved;
    next_ = moved + count;
    end_ = moved + marks;
  }

  std::vector<LargeBuffer> chunks_;
  LineMark* next_ = nullptr;
  LineMark* end_ = nullptr;
  size_t nextChunkMarks_ = kFirstChunkMarks;
};

/// Collects one classified line into the table: a claim line its two
/// values, a name line its three names and a new member identifier (drawn
/// for every such line, stored or not), a reference line its identifier.
void CollectLine(const LineClass& line, const LineScanner& scanner, ClaimTable& table,
                 RandomSource& random);

/// The references of a PLB line (kProviderAdjustment) after the reason
/// codes of its composite elements; false when it has none.
bool CollectAdjustment(const LineClass& line, const LineScanner& scanner,
                       AdjustmentReferences& out);

/// Where a collection stands: the table, the lines read and the state of
/// the line scanner after the last of them; the block starts found so far
/// (one line at least every `blockBytes` bytes) with the marks of their
/// collected lines, and the end of the copy's lines (a byte 0x1A or the end
/// of the file), once known.
struct Collection {
  static constexpr uint64_t kCopyBlockBytes = uint64_t{4} << 20;
  /// At most LineMark::kOffsetLimit.
  uint64_t blockBytes = kCopyBlockBytes;

  ClaimTable table;
  LineScanner scanner;
  int64_t lines = 0;
  std::vector<CopyBlockStart> blockStarts;
  LineMarks marks;
  uint64_t end = 0;
  /// The delimiters of the claims, a run for each change of them.
  std::vector<DelimiterRun> delimiterRuns;
  /// A byte 0x1A ended the copy's lines before the end of the copy.
  bool endMarkMet = false;

  /// A thorough run (see SetThorough); what follows is kept only by one.
  bool thorough = false;
  /// The line item control number (REF "6R") of every service line, a row
  /// per service line; row 0 for those that stand before their claim's
  /// first service line.
  ClaimTable services;
  /// The delimiters of the service lines, a run for each change of them.
  std::vector<DelimiterRun> serviceDelimiterRuns;
  /// The first claim row of every 835 set, in order.
  std::vector<int64_t> setFirstRows;
  /// The PLB segments that hold references.
  std::vector<AdjustmentReferences> adjustments;

  /// Makes the collection a thorough one (or not), before the first line.
  void SetThorough(bool on) {
    thorough = on;
    scanner.thorough = on;
    if (on) services.CreateGrowing(1);
  }

  /// Takes in the next line of the copy, which starts at `offset` and ends
  /// with CR LF or not: classifies it, notes it for the rewrite and
  /// collects its values.  `interchanges` is the scan's InterchangeTable or
  /// InterchangeTerminators.
  template <typename Interchanges>
  void Take(std::string_view line, uint64_t offset, bool crLf, const Interchanges& interchanges,
            RandomSource& random) {
    NoteLineStart(offset);
    ++lines;
    const int64_t sets = scanner.sets835;
    const LineClass kind = ClassifyLine(line, scanner, interchanges);
    NoteLine(offset, kind, line, crLf);
    if (kind.kind == LineKind::kPlain || kind.kind == LineKind::kIsa) {
      if (scanner.sets835 != sets) setFirstRows.push_back(scanner.claimRow + 1);
      return;
    }
    switch (kind.kind) {
      case LineKind::kServiceLine:
        NoteDelimiters(serviceDelimiterRuns, scanner.serviceRow);
        break;
      case LineKind::kLineItemReference:
        CollectServiceReference(kind);
        break;
      case LineKind::kProviderAdjustment: {
        AdjustmentReferences found;
        if (CollectAdjustment(kind, scanner, found)) adjustments.push_back(std::move(found));
        break;
      }
      default:
        if (kind.kind == LineKind::kClaim) NoteDelimiters(delimiterRuns, scanner.claimRow);
        CollectLine(kind, scanner, table, random);
        break;
    }
  }

  /// Goes on from `before`, the collection of the input before this one in
  /// a pool, before any line of this input is taken in: takes over its
  /// table and its delimiter runs (a run goes on while the delimiters stay
  /// the same), and this input's claims take the rows after `rowsBefore`.
  /// The values before this input's first claim belong to no claim (row 0),
  /// as in a run of one input.
  void ContinueFrom(Collection& before, int64_t rowsBefore) {
    table = std::move(before.table);
    delimiterRuns = std::move(before.delimiterRuns);
    // A thorough run's service lines, in one table for all inputs too.
    services = std::move(before.services);
    serviceDelimiterRuns = std::move(before.serviceDelimiterRuns);
    scanner.serviceRow = before.scanner.serviceRow;
    scanner.claimRow = rowsBefore;
    scanner.rowsBefore = rowsBefore;
  }

  /// The block being read does not go out as read.
  void NotPlain() {
    if (!blockStarts.empty()) blockStarts.back().plain = false;
  }

 private:
  // Called with the offset of every line before it is classified.
  void NoteLineStart(uint64_t offset) {
    if (offset < nextBlock_) return;
    blockStarts.push_back({offset, scanner, true, marks.Next(), 0});
    // Every line that starts before nextBlock_ is the block's: its offset
    // in the block stays below the marks' limit.
    nextBlock_ = offset + (blockBytes < LineMark::kOffsetLimit ? blockBytes : LineMark::kOffsetLimit);
  }
  // Called for every line once it is classified, with whether CR LF ends
  // it.
  // A service line is marked (the rewrite counts the service lines by their
  // marks) but goes out as a plain line does: as read, or with the
  // terminator and CR LF it lacks, which only a block rewritten line by line
  // gives it.
  void NoteLine(uint64_t offset, const LineClass& kind, std::string_view line, bool crLf) {
    if (scanner.interchange == 0) NotPlain();  // the terminator comes from the table
    if (kind.kind == LineKind::kPlain || kind.kind == LineKind::kServiceLine) {
      if (!crLf || line.empty() || line.back() != scanner.terminator) NotPlain();
    } else if (kind.kind == LineKind::kIsa) {
      NotPlain();
    }
    if (kind.kind != LineKind::kPlain && kind.kind != LineKind::kIsa) {
      CopyBlockStart& block = blockStarts.back();
      marks.Add(block.marks, block.markCount, LineMark::Of(offset - block.offset, kind));
      ++block.markCount;
    }
  }

  // A row of claims or service lines begins under the scanner's delimiters.
  void NoteDelimiters(std::vector<DelimiterRun>& runs, int64_t row) {
    const uint32_t key = DelimiterKey(scanner);
    if (runs.empty() || runs.back().key != key) runs.push_back({row, key});
  }

  // A REF "6R" belongs to the service line above it, or to row 0 when none
  // stands since its claim began.
  void CollectServiceReference(const LineClass& kind);

  uint64_t nextBlock_ = 0;
};

/// Collects while the scan runs.  Handed to the scan as the copy's tee, it
/// collects each piece of the copy on the scan's helper thread right after
/// the piece is written, so that the collection costs hardly any time
/// beyond the scan and no second reading of the copy.  Lines are
/// read exactly as from the copy file (ending at CR, a LF right after the
/// CR belonging to the line end, nothing after a byte 0x1A), and the random
/// values are drawn in the same order, so the result is the same as
/// collecting from the file.
///
/// The table grows with the claims met, as their count is known only once
/// the scan is done.  A line whose terminator depends on an interchange the
/// scan has not yet recorded (an "ISA" line the scan took for an ordinary
/// segment) stops the collection before that line; the engine then goes on
/// from the copy file with the scan's whole table.
class CopyCollector final : public CopyTee {
 public:
  /// `interchanges` is the table the scan fills; it is read only from the
  /// scan's own thread, in Handing.  `random` must not be used by anyone
  /// else until Finish returns.  The blocks the rewrite works in are about
  /// `blockBytes` long.  `thorough` makes the collection a thorough run's.
  CopyCollector(const InterchangeTable& interchanges, RandomSource& random,
                uint64_t blockBytes = Collection::kCopyBlockBytes, bool thorough = false);
  CopyCollector(const CopyCollector&) = delete;
  CopyCollector& operator=(const CopyCollector&) = delete;

  void Handing() override;
  void Written(const char* data, size_t size) override;
  bool Waiting() override;

  /// After the scan: collects what follows the last line end.  Then
  /// Complete() tells whether the whole copy was collected; if not, the
  /// collection goes on from byte ResumeOffset() of the copy file with the
  /// scanner and table of Result().
  void Finish() { EndOfCopy(); }
  bool Complete() const { return !deferred_; }
  uint64_t ResumeOffset() const { return resumeOffset_; }
  Collection& Result() { return collection_; }

 private:
  // Collects the lines of a piece.
  void Consume(const char* data, size_t size);
  void ConsumeLine(std::string_view line, uint64_t start, bool crLf);
  void EndOfCopy();

  RandomSource& random_;
  const InterchangeTable& interchanges_;
  Collection collection_;

  // The terminators of the interchanges the scan had recorded when it
  // handed over its latest piece: every one of them is final, as the scan
  // records an interchange before it writes the header line.
  std::mutex mutex_;
  InterchangeTerminators published_;
  uint64_t handed_ = 0;  // pieces handed over by the scan
  uint64_t taken_ = 0;   // and taken by the collection

  // The collecting side.
  InterchangeTerminators known_;  // the terminators known to the collection
  std::string carry_;             // a line begun in an earlier piece
  bool carrying_ = false;
  bool pendingLf_ = false;        // the last piece ended right after a CR
  uint64_t offset_ = 0;           // bytes of the copy taken in so far
  uint64_t lineStart_ = 0;        // offset of the line being read
  bool stopped_ = false;          // a 0x1A or a deferral ended the collection
  bool deferred_ = false;
  uint64_t resumeOffset_ = 0;
};

