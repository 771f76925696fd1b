// The table of identifying values: one row per claim (CLP segment) of the
// file's 835 transaction sets, plus row 0 for values met before the first
// claim, and the columns below.  A thorough run's table has more columns
// than a default run's; a table of one column holds the line item control
// numbers of the service lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform.h"
#include "random.h"

/// The columns, in the order in which they are reordered.
enum ClaimColumn : int {
  kClaimSubmitterId,
  kPayerClaimControlNumber,
  kRefEA,
  kPatientLastName,
  kPatientFirstName,
  kPatientMiddleName,
  kPatientMemberId,
  kRefBB,
  kRef1G,
  kRefSY,
  kRefA6,
  kRef1L,
  kRef1W,
  kRefG3,
  kInsuredLastName,
  kInsuredFirstName,
  kInsuredMiddleName,
  kInsuredMemberId,
  kCorrectedLastName,
  kCorrectedFirstName,
  kCorrectedMiddleName,
  kCorrectedMemberId,
  /// The columns of every run.
  kClaimColumnCount,
  // The columns of a thorough run only.  They come after those of every
  // run, so that their keys are drawn after theirs.
  kOtherSubscriberLastName = kClaimColumnCount,
  kOtherSubscriberFirstName,
  kOtherSubscriberMiddleName,
  kOtherSubscriberMemberId,
  kRef28,
  kRef6P,
  kRefIG,
  kRefF8,
  kRefG1,
  kRef9A,
  kRef9C,
  kRefCE,
  kThoroughColumnCount
};

/// The number of columns of a run's claim table.
constexpr int ClaimColumnsOf(bool thorough) {
  return thorough ? kThoroughColumnCount : kClaimColumnCount;
}

/// The bytes that may be read after the start of any value the claim table
/// holds, and after the end of the text of a block the rewrite holds: room
/// for 16-byte loads that take a short piece whole, without a branch on its
/// length (a branch on the length of a value that has just arrived from
/// memory holds up the loads behind it).
constexpr size_t kReadAhead = 16;

/// Claim rows from `firstRow` on, up to the next run, stand under the
/// delimiters `key` (see DelimiterKey in line_reader.h).
struct DelimiterRun {
  int64_t firstRow;
  uint32_t key;
};

/// Rows 0 to the claim count; every cell an empty or non-empty byte string.
///
/// Kept compact for millions of claims: a cell is one 32-bit handle into a
/// chunked arena of length-prefixed values (no heap string per cell, no
/// copying of the arena as it grows).  Reorder moves the handles only; the
/// values stay where they were stored.
class ClaimTable {
 public:
  ClaimTable() = default;
  ClaimTable(const ClaimTable&) = delete;
  ClaimTable& operator=(const ClaimTable&) = delete;
  /// Moved whole, from the collection of one input of a pool to the next;
  /// a table moved from is not used again.
  ClaimTable(ClaimTable&&) = default;
  ClaimTable& operator=(ClaimTable&&) = default;

  /// Rows 0 to `claimCount` of `columns` columns (at most
  /// kThoroughColumnCount), all cells empty.
  void Create(int64_t claimCount, int columns = kClaimColumnCount);
  /// Row 0 only, growing as values arrive for later rows: for collecting
  /// before the claim count is known.  SetClaimCount fixes the size.
  void CreateGrowing(int columns = kClaimColumnCount);
  int ColumnCount() const { return columns_; }
  /// Cuts the table to rows 0 to `claimCount` (values of later rows are
  /// dropped) or extends it with empty rows; the table grows no more.
  void SetClaimCount(int64_t claimCount);
  int64_t ClaimCount() const { return claimCount_; }
  bool HasRow(int64_t row) const { return row >= 0 && row <= claimCount_; }

  /// Stores a value.  A row outside the table is ignored (a growing table
  /// first grows to hold any row above 0), and so is every Set after
  /// Reorder.
  void Set(int64_t row, int column, std::string_view value);
  /// A cell's value; empty for a row outside the table.  The view stays
  /// valid until the next Set, Reorder or Create.  The kReadAhead bytes
  /// from the start of a value that is not empty may be read (they lie in
  /// the table's memory).
  std::string_view Get(int64_t row, int column) const;

  /// All ColumnCount() cells of a row at once (empty views for a row
  /// outside the table).  Asks early for the values of a row a little
  /// further on, so that reading rows in order does not wait for each
  /// row's scattered values in turn.
  void GetRow(int64_t row, std::string_view* cells) const;

  /// Asks for the value of a cell ahead of its use, so that it is on its
  /// way from memory by the time it is read (once reordered, the values of
  /// neighbouring rows lie scattered over the arena).  Does nothing for an
  /// empty cell or one outside the table.  A reader that knows which cells
  /// it will read a little later asks for those only.
  void AskEarly(int64_t row, int column) const {
#if defined(__GNUC__)
    if (!HasRow(row) || column < 0 || column >= columns_) return;
    const uint32_t handle = Cell(static_cast<size_t>(row), column);
    if (handle != 0) {
      const unsigned char* const entry = EntryOf(handle);
      __builtin_prefetch(entry);
      // Most values are shorter than 20 bytes: one that starts late in its
      // cache line likely goes on into the next, which is asked for too.
      constexpr uintptr_t kLine = 64, kMostValues = 20;
      if ((reinterpret_cast<uintptr_t>(entry) & (kLine - 1)) > kLine - kMostValues) {
        __builtin_prefetch(entry + kMostValues);
      }
      // GCC takes a function whose only effect is a prefetch for one
      // without any, and drops the calls to it: the empty volatile
      // statement is an effect it keeps.
      asm volatile("");
    }
#else
    (void)row;
    (void)column;
#endif
  }
  /// AskEarly for every cell of a row.
  void AskEarlyRow(int64_t row) const {
    for (int c = 0; c < columns_; ++c) AskEarly(row, c);
  }
  /// Asks for the handles of a row's cells ahead of their use, for a
  /// reader that goes through the rows in order while it reads much else
  /// (the handles of neighbouring rows share a cache line, which that
  /// reading has pushed out of the cache by the time the next row comes).
  void AskEarlyHandles(int64_t row) const {
#if defined(__GNUC__)
    if (!HasRow(row)) return;
    for (int c = 0; c < columns_; ++c) {
      const uint32_t* const cells = BlockOf(static_cast<size_t>(row), c).cells;
      if (cells != nullptr) __builtin_prefetch(cells + (static_cast<size_t>(row) & (kBlockRows - 1)));
    }
    asm volatile("");
#else
    (void)row;
#endif
  }

  /// Puts rows 1 to the claim count of every column into a random order of
  /// its own, columns in order: per column one key per row, drawn in row
  /// order and rounded to single precision, rows sorted by key (smallest
  /// first).  Row 0 is left alone.  The table is read-only afterwards.
  ///
  /// With `runs` that name more than one delimiter key, rows are reordered
  /// only among the rows of the same key: the keys are drawn as without
  /// them, and the rows of each key take their values in the order of their
  /// keys.  Rows before the first run belong to it.
  ///
  /// With `filledOnly`, the rows of each key whose cell of a column holds
  /// a value take the values of that column among themselves, in the order
  /// of their keys, and empty cells stay empty: no row receives an empty
  /// value from a row that had none.  The keys are drawn all the same.
  ///
  /// Returns the rows whose values could not move: every row of a table of
  /// one row, else the rows that share their delimiter key with no other.
  int64_t Reorder(RandomSource& random, const std::vector<DelimiterRun>* runs = nullptr,
                  bool filledOnly = false);
  /// Makes ready the next block the table will take for its values and the
  /// next one for its cells, their memory already touched, once it has
  /// begun taking such blocks: for a thread that has time while another
  /// stores values, so that the storing thread does not wait for fresh
  /// memory to be zeroed.  Safe to call while values are stored.  A table
  /// that stores no more holds at most one unused block of each kind.
  void PrepareSpares() {
    while (PrepareSparePiece()) {
    }
  }
  /// The same a piece (2 MiB) at a time, so that two threads with time to
  /// spare can share the work: returns whether more is left to make ready
  /// (false too while another thread makes a piece).
  bool PrepareSparePiece();

  /// How many values of the random sequence Reorder takes: a key for every
  /// row but row 0 in every column (a column without values passes its
  /// keys over), none once the table is reordered; so that what draws next
  /// can start where Reorder ends.
  uint64_t ReorderDraws() const {
    if (reordered_ || claimCount_ <= 0) return 0;
    return static_cast<uint64_t>(columns_) * static_cast<uint64_t>(claimCount_);
  }

 private:
  uint32_t Store(std::string_view value);
  // An entry: the value's length as a base-128 number, then its bytes.
  static const unsigned char* GetPrefix(const unsigned char* at, size_t& length) {
    length = 0;
    int shift = 0;
    while (*at & 0x80) {
      length |= static_cast<size_t>(*at++ & 0x7F) << shift;
      shift += 7;
    }
    length |= static_cast<size_t>(*at++) << shift;
    return at;
  }
  const unsigned char* EntryOf(uint32_t handle) const {
    const uint64_t offset = (static_cast<uint64_t>(handle) - 1) * 2;
    return slotBytes_[static_cast<size_t>(offset >> kSlotBits)] + (offset & (kSlotSize - 1));
  }
  static constexpr unsigned kSlotBits = 22;  // a standard chunk: 4 MiB
  static constexpr size_t kSlotSize = size_t{1} << kSlotBits;
  // The handles (0 = empty) sit in blocks of kBlockRows rows, one array
  // per column of a block, so that a column reads in long runs
  // and the table can grow without moving what it holds.  A column's array
  // is made only when a value first arrives for a row of its block: the
  // cells of a column that stays empty (many columns, in many files) cost
  // nothing.  Each array starts a little further into its allocation than
  // the previous column's, so that reading one row's cells does not crowd
  // one cache set.
  static constexpr unsigned kBlockBits = 16;
  static constexpr size_t kBlockRows = size_t{1} << kBlockBits;
  static constexpr size_t kColumnSkew = 16;
  struct CellBlock {
    uint32_t* cells = nullptr;  // in one of cellSlabs_
  };
  const CellBlock& BlockOf(size_t row, int column) const {
    return blocks_[(row >> kBlockBits) * static_cast<size_t>(columns_) + static_cast<size_t>(column)];
  }
  uint32_t Cell(size_t row, int column) const {
    const uint32_t* cells = BlockOf(row, column).cells;
    return cells != nullptr ? cells[row & (kBlockRows - 1)] : 0;
  }
  void PutCell(size_t row, int column, uint32_t handle);
  void ResizeRows(size_t rows);

  int64_t claimCount_ = -1;
  int columns_ = kClaimColumnCount;
  bool growing_ = false;
  bool reordered_ = false;

  std::vector<CellBlock> blocks_;  // block * columns_ + column
  // The handle arrays are cut from slabs of kCellSlabBytes, in order, under
  // cellSlabLock_: the reordering's two threads may each need a new array
  // (values moving into a block their column had none in), and a spare
  // slab may be made ready on another thread.
  static constexpr size_t kCellSlabBytes = size_t{4} << 20;
  uint32_t* NewCellArray(int column);
  void ReleaseSpares();
  std::vector<LargeBuffer> cellSlabs_;
  size_t cellSlabUsed_ = 0;
  // The blocks PrepareSpares made ready, and whether the table has begun
  // to take blocks of each kind; under cellSlabLock_.
  LargeBuffer spareChunk_;
  LargeBuffer spareSlab_;
  bool chunksBegun_ = false;
  bool slabsBegun_ = false;
  // The spare being made ready, piece by piece: a chunk or a slab, the
  // bytes of it touched so far, and whether a thread touches a piece of it
  // now (then nobody else touches it, and it is nobody's spare yet).
  LargeBuffer making_;
  bool makingChunk_ = false;
  size_t madeBytes_ = 0;
  bool makingBusy_ = false;
  // A mutex that a moved table does not take along: a table is moved only
  // while no thread works on it.
  struct SlabLock {
    std::mutex mutex;
    SlabLock() = default;
    SlabLock(SlabLock&&) noexcept {}
    SlabLock& operator=(SlabLock&&) noexcept { return *this; }
  };
  SlabLock cellSlabLock_;
  struct Chunk {
    LargeBuffer bytes;
    uint64_t base = 0;  // arena offset of the chunk's first byte
    size_t size = 0;
    size_t used = 0;
  };
  std::vector<Chunk> chunks_;
  std::vector<unsigned char*> slotBytes_;  // arena slot -> its first byte
};
