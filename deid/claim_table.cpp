#include "claim_table.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <thread>

#include "side_by_side.h"

namespace {

// The arena is a sequence of chunks addressed by one offset.  Entries sit
// at even offsets, and a handle is (offset / 2) + 1, so 32 bits reach 8 GiB:
// more than the values of any file the scan accepts (under 4 GiB) can fill.

// An entry: the value's length as a base-128 number, then its bytes.
size_t PrefixSize(size_t length) {
  size_t size = 1;
  while (length >= 0x80) {
    length >>= 7;
    ++size;
  }
  return size;
}

unsigned char* PutPrefix(unsigned char* out, size_t length) {
  while (length >= 0x80) {
    *out++ = static_cast<unsigned char>(length | 0x80);
    length >>= 7;
  }
  *out++ = static_cast<unsigned char>(length);
  return out;
}

// Sorts `items` by their upper 32 bits, the bit pattern of a single-
// precision key 0 <= key <= 1, whose order is the order of the keys; items
// of equal keys keep their order.  `scratch` has room for `n` items too;
// the two may trade places.
//
// The bit patterns of singles from 0 to 2 (below 2^30) are in the order of
// the numbers they stand for, so a radix sort over the pattern itself, in
// three stable passes of 10-bit digits, lowest first, gives the exact order
// with no arithmetic on the keys.  A pass whose digit is the same for every
// item is skipped.  Digits of 10 bits keep each pass's writes within 1,024
// places at a time, which the processor's caches hold.
void SortByKeys(uint64_t*& items, uint64_t*& scratch, size_t n) {
  constexpr unsigned kDigitBits = 10;
  constexpr unsigned kPasses = 3;
  constexpr size_t kBuckets = size_t{1} << kDigitBits;
  static_assert(kPasses * kDigitBits >= 30, "the digits cover every key up to 2");
  std::vector<uint32_t> counts(kPasses * kBuckets, 0);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t key = static_cast<uint32_t>(items[i] >> 32);
    for (unsigned pass = 0; pass < kPasses; ++pass) {
      ++counts[pass * kBuckets + ((key >> (pass * kDigitBits)) & (kBuckets - 1))];
    }
  }
  for (unsigned pass = 0; pass < kPasses; ++pass) {
    uint32_t* count = counts.data() + pass * kBuckets;
    const unsigned shift = 32 + pass * kDigitBits;
    if (n > 0 && count[(items[0] >> shift) & (kBuckets - 1)] == n) continue;
    uint32_t start = 0;
    for (size_t b = 0; b < kBuckets; ++b) {
      const uint32_t size = count[b];
      count[b] = start;
      start += size;
    }
    const uint64_t* from = items;
    uint64_t* to = scratch;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t item = from[i];
      to[count[(item >> shift) & (kBuckets - 1)]++] = item;
    }
    std::swap(items, scratch);
  }
}

// Room for items of type T, kept from use to use and grown as needed; a
// large block straight from the system, so that the first filling costs
// few faults.  What it holds does not survive growing.
template <typename T>
class ItemRoom {
 public:
  T* Get(size_t count) {
    if (count > capacity_ || data_.get() == nullptr) {
      data_ = LargeBuffer((count == 0 ? 1 : count) * sizeof(T));
      capacity_ = count;
    }
    return reinterpret_cast<T*>(data_.get());
  }

 private:
  LargeBuffer data_;
  size_t capacity_ = 0;
};

// The rows 1 to n of each delimiter key, in row order; empty when all rows
// share one key (or there are no runs), so that the whole column is one
// pool.
std::vector<std::vector<uint32_t>> RowsByKey(size_t n, const std::vector<DelimiterRun>* runs) {
  std::vector<std::vector<uint32_t>> groups;
  if (runs == nullptr || runs->empty() || n == 0) return groups;
  bool oneKey = true;
  for (const DelimiterRun& run : *runs) oneKey = oneKey && run.key == runs->front().key;
  if (oneKey) return groups;
  std::vector<uint32_t> keys;  // distinct keys in order of appearance
  for (size_t i = 0; i < runs->size(); ++i) {
    const DelimiterRun& run = (*runs)[i];
    size_t group = std::find(keys.begin(), keys.end(), run.key) - keys.begin();
    if (group == keys.size()) {
      keys.push_back(run.key);
      groups.emplace_back();
    }
    const int64_t first = i == 0 ? 1 : std::max<int64_t>(run.firstRow, 1);
    const int64_t stop =
        i + 1 < runs->size() ? std::min<int64_t>((*runs)[i + 1].firstRow, static_cast<int64_t>(n) + 1)
                             : static_cast<int64_t>(n) + 1;
    for (int64_t row = first; row < stop; ++row) groups[group].push_back(static_cast<uint32_t>(row));
  }
  return groups;
}

}  // namespace

void ClaimTable::Create(int64_t claimCount, int columns) {
  claimCount_ = claimCount < 0 ? 0 : claimCount;
  columns_ = columns < 1 ? 1 : columns > kThoroughColumnCount ? kThoroughColumnCount : columns;
  growing_ = false;
  reordered_ = false;
  blocks_.clear();
  cellSlabs_.clear();
  cellSlabUsed_ = 0;
  chunks_.clear();
  slotBytes_.clear();
  ReleaseSpares();
  ResizeRows(static_cast<size_t>(claimCount_) + 1);
}

void ClaimTable::CreateGrowing(int columns) {
  Create(0, columns);
  growing_ = true;
}

void ClaimTable::ResizeRows(size_t rows) {
  const size_t need = ((rows + kBlockRows - 1) >> kBlockBits) * static_cast<size_t>(columns_);
  blocks_.resize(need);
}

void ClaimTable::PutCell(size_t row, int column, uint32_t handle) {
  CellBlock& block =
      blocks_[(row >> kBlockBits) * static_cast<size_t>(columns_) + static_cast<size_t>(column)];
  if (block.cells == nullptr) {
    if (handle == 0) return;
    block.cells = NewCellArray(column);
  }
  block.cells[row & (kBlockRows - 1)] = handle;
}

uint32_t* ClaimTable::NewCellArray(int column) {
  const size_t skew = kColumnSkew * static_cast<size_t>(column);
  const size_t bytes = (kBlockRows + skew) * sizeof(uint32_t);
  std::lock_guard<std::mutex> lock(cellSlabLock_.mutex);
  if (cellSlabs_.empty() || cellSlabs_.back().size() - cellSlabUsed_ < bytes) {
    if (spareSlab_.get() != nullptr) {
      cellSlabs_.push_back(std::move(spareSlab_));
    } else {
      cellSlabs_.emplace_back(kCellSlabBytes);
    }
    cellSlabUsed_ = 0;
    slabsBegun_ = true;
  }
  // Slab memory comes zero-filled: every cell of the new array is empty.
  uint32_t* const cells = reinterpret_cast<uint32_t*>(cellSlabs_.back().get() + cellSlabUsed_) + skew;
  cellSlabUsed_ += bytes;
  return cells;
}

void ClaimTable::SetClaimCount(int64_t claimCount) {
  if (reordered_) return;
  if (claimCount < 0) claimCount = 0;
  growing_ = false;
  if (claimCount < claimCount_) {
    // Empty the dropped rows that stay inside the last block kept, so that
    // extending the table again finds them empty.
    const size_t first = static_cast<size_t>(claimCount) + 1;
    const size_t blockEnd = ((first + kBlockRows - 1) >> kBlockBits) << kBlockBits;
    const size_t last = std::min(blockEnd, static_cast<size_t>(claimCount_) + 1);
    for (size_t row = first; row < last; ++row) {
      for (int c = 0; c < columns_; ++c) PutCell(row, c, 0);
    }
  }
  claimCount_ = claimCount;
  ResizeRows(static_cast<size_t>(claimCount_) + 1);
}

uint32_t ClaimTable::Store(std::string_view value) {
  const size_t need = PrefixSize(value.size()) + value.size();
  // Every value leaves kReadAhead bytes after its start inside its chunk.
  if (chunks_.empty() || chunks_.back().size - chunks_.back().used < need + kReadAhead) {
    // A new chunk starts at the next slot; an oversized value gets a chunk
    // of as many whole slots as it needs.
    Chunk chunk;
    chunk.base = static_cast<uint64_t>(slotBytes_.size()) << kSlotBits;
    const size_t slots = (need + kReadAhead + kSlotSize - 1) / kSlotSize;
    chunk.size = slots * kSlotSize;
    {
      std::lock_guard<std::mutex> lock(cellSlabLock_.mutex);
      if (slots == 1 && spareChunk_.get() != nullptr) chunk.bytes = std::move(spareChunk_);
      chunksBegun_ = true;
    }
    if (chunk.bytes.get() == nullptr) chunk.bytes = LargeBuffer(chunk.size);
    for (size_t k = 0; k < slots; ++k) slotBytes_.push_back(chunk.bytes.get() + k * kSlotSize);
    chunks_.push_back(std::move(chunk));
  }
  Chunk& chunk = chunks_.back();
  const uint64_t offset = chunk.base + chunk.used;
  unsigned char* out = PutPrefix(chunk.bytes.get() + chunk.used, value.size());
  std::memcpy(out, value.data(), value.size());
  chunk.used += (need + 1) & ~size_t{1};  // keep entries at even offsets
  if (chunk.used > chunk.size) chunk.used = chunk.size;
  return static_cast<uint32_t>(offset / 2 + 1);
}

bool ClaimTable::PrepareSparePiece() {
  constexpr size_t kPiece = size_t{2} << 20;
  unsigned char* at;
  size_t bytes;
  {
    std::lock_guard<std::mutex> lock(cellSlabLock_.mutex);
    if (makingBusy_) return false;
    if (making_.get() == nullptr) {
      if (chunksBegun_ && spareChunk_.get() == nullptr) {
        makingChunk_ = true;
      } else if (slabsBegun_ && spareSlab_.get() == nullptr) {
        makingChunk_ = false;
      } else {
        return false;  // both spares are ready, or not yet wanted
      }
      making_ = LargeBuffer(makingChunk_ ? kSlotSize : kCellSlabBytes);
      madeBytes_ = 0;
    }
    at = making_.get() + madeBytes_;
    bytes = making_.size() - madeBytes_ < kPiece ? making_.size() - madeBytes_ : kPiece;
    makingBusy_ = true;
  }
  // Each page written once (with the zero it holds), outside the lock: the
  // storing thread goes on meanwhile, and takes no fault when it uses them.
  volatile unsigned char* const bytesAt = at;
  for (size_t i = 0; i < bytes; i += 4096) bytesAt[i] = 0;
  std::lock_guard<std::mutex> lock(cellSlabLock_.mutex);
  makingBusy_ = false;
  madeBytes_ += bytes;
  if (madeBytes_ == making_.size()) {
    (makingChunk_ ? spareChunk_ : spareSlab_) = std::move(making_);
    madeBytes_ = 0;
  }
  return making_.get() != nullptr || (chunksBegun_ && spareChunk_.get() == nullptr) ||
         (slabsBegun_ && spareSlab_.get() == nullptr);
}

void ClaimTable::ReleaseSpares() {
  std::lock_guard<std::mutex> lock(cellSlabLock_.mutex);
  spareChunk_.Release();
  spareSlab_.Release();
  // Called only while no value is stored and no spare is made.
  making_.Release();
  madeBytes_ = 0;
  chunksBegun_ = false;
  slabsBegun_ = false;
}

void ClaimTable::Set(int64_t row, int column, std::string_view value) {
  if (reordered_ || row < 0 || column < 0 || column >= columns_) return;
  if (row > claimCount_) {
    if (!growing_) return;
    ResizeRows(static_cast<size_t>(row) + 1);
    claimCount_ = row;
  }
  PutCell(static_cast<size_t>(row), column, value.empty() ? 0 : Store(value));
}

std::string_view ClaimTable::Get(int64_t row, int column) const {
  if (!HasRow(row) || column < 0 || column >= columns_) return {};
  const uint32_t handle = Cell(static_cast<size_t>(row), column);
  if (handle == 0) return {};
  size_t length = 0;
  const unsigned char* data = GetPrefix(EntryOf(handle), length);
  return std::string_view(reinterpret_cast<const char*>(data), length);
}

void ClaimTable::GetRow(int64_t row, std::string_view* cells) const {
  constexpr int64_t kRowsAhead = 4;
  AskEarlyRow(row + kRowsAhead);
  for (int c = 0; c < columns_; ++c) cells[c] = Get(row, c);
}

int64_t ClaimTable::Reorder(RandomSource& random, const std::vector<DelimiterRun>* runs,
                            bool filledOnly) {
  if (reordered_) return 0;
  ReleaseSpares();  // the values are all in: spare blocks would only add to the peak
  const size_t n = static_cast<size_t>(claimCount_);
  const std::vector<std::vector<uint32_t>> groups = RowsByKey(n, runs);
  int64_t unmoved = n <= 1 ? static_cast<int64_t>(n) : 0;
  for (const std::vector<uint32_t>& rows : groups) unmoved += rows.size() == 1 ? 1 : 0;
  // Each item carries its key and the cell's handle, so that sorting the
  // items yields the column in its new order directly.
  struct Work {
    ItemRoom<uint64_t> itemRoom, scratchRoom;
    uint64_t* items = nullptr;
    size_t filledCount = 0;
    bool sort = false;
    // The rows of one sort that take part, their items and the sort's
    // scratch, kept from column to column.
    ItemRoom<uint64_t> partRoom, partScratchRoom;
    ItemRoom<uint32_t> takingRoom;
    // With filled cells only and one pool: `items` holds the filledCount
    // filled rows' items alone, and `taking` their rows.
    bool filledItemsOnly = false;
    uint32_t* taking = nullptr;
  };
  // A thread's buffers are made when it first takes a column (a table of
  // one column needs one thread's only).
  Work work[2];
  auto drawKeys = [this, n, filledOnly, &groups](int column, RandomSource& source, Work& w) {
    w.filledItemsOnly = false;
    // A column without a single value (say, a qualifier the file never
    // uses) comes out the same in any order: its keys are passed over
    // unseen, and nothing is sorted.
    bool any = false;
    for (size_t b = 0; !any && b * kBlockRows <= n; ++b) {
      any = BlockOf(b * kBlockRows, column).cells != nullptr;
    }
    if (!any) {
      source.Skip(n);
      w.filledCount = 0;
      w.sort = false;
      return;
    }
    // Calls visit(first, last, cells) for the rows 1 to n, one block of
    // rows at a time (`cells` null where the block has none).
    auto forEachBlock = [this, n, column](auto visit) {
      for (size_t first = 1; first <= n;) {
        const size_t blockEnd = ((first >> kBlockBits) + 1) << kBlockBits;
        const size_t last = blockEnd - 1 < n ? blockEnd - 1 : n;
        visit(first, last, BlockOf(first, column).cells);
        first = last + 1;
      }
    };
    // A row's item: its key (a single) and the row's handle.  The keys come
    // from the source a batch at a time (one call for many).
    auto itemOf = [](float key, uint32_t handle) {
      uint32_t bits;
      std::memcpy(&bits, &key, sizeof bits);
      return (static_cast<uint64_t>(bits) << 32) | handle;
    };
    constexpr size_t kBatch = 256;
    float keys[kBatch];
    uint64_t* items = w.itemRoom.Get(n);
    w.items = items;
    if (filledOnly && groups.empty()) {
      // Only the filled rows take part: their keys are drawn, the empty
      // rows' keys passed over (cheaply, by a source that can jump), and
      // their items made in row order.
      uint32_t* taking = w.takingRoom.Get(n);
      size_t taken = 0;
      uint64_t passed = 0;  // keys of empty rows not yet passed over
      forEachBlock([&](size_t first, size_t last, const uint32_t* cells) {
        if (cells == nullptr) {
          passed += last - first + 1;
          return;
        }
        for (size_t row = first; row <= last;) {
          if (cells[row & (kBlockRows - 1)] == 0) {
            ++passed;
            ++row;
            continue;
          }
          // A run of filled rows takes a batch of keys.
          size_t stop = row + 1;
          while (stop <= last && stop - row < kBatch && cells[stop & (kBlockRows - 1)] != 0) ++stop;
          if (passed != 0) source.Skip(passed);
          passed = 0;
          source.NextSingles(keys, stop - row);
          for (size_t k = 0; row < stop; ++row, ++k) {
            items[taken] = itemOf(keys[k], cells[row & (kBlockRows - 1)]);
            taking[taken] = static_cast<uint32_t>(row);
            ++taken;
          }
        }
      });
      if (passed != 0) source.Skip(passed);
      w.taking = taking;
      w.filledItemsOnly = true;
      w.filledCount = taken;
      w.sort = taken >= 2;
      return;
    }
    size_t filled = 0;
    forEachBlock([&](size_t first, size_t last, const uint32_t* cells) {
      for (size_t row = first; row <= last; row += kBatch) {
        const size_t count = std::min(kBatch, last - row + 1);
        source.NextSingles(keys, count);
        for (size_t k = 0; k < count; ++k) {
          const uint32_t handle = cells != nullptr ? cells[(row + k) & (kBlockRows - 1)] : 0;
          items[row + k - 1] = itemOf(keys[k], handle);
          filled += handle != 0;
        }
      }
    });
    // A column of empty cells comes out the same in any order too.
    w.filledCount = filled;
    w.sort = n >= 2 && filled != 0;
  };
  // The `rows` of one delimiter key that take part (with `filledOnly`,
  // those whose cell holds a value) take the values of the others that do
  // in the order of their keys.
  auto sortRows = [this, filledOnly](int column, Work& w, const uint32_t* rows, size_t count) {
    const uint64_t* items = w.items;
    uint64_t* part = w.partRoom.Get(count);
    uint32_t* taking = w.takingRoom.Get(count);
    size_t taken = 0;
    for (size_t j = 0; j < count; ++j) {
      const uint32_t row = rows[j];
      const uint64_t item = items[row - 1];
      if (filledOnly && static_cast<uint32_t>(item) == 0) continue;
      part[taken] = item;
      taking[taken] = row;
      ++taken;
    }
    if (taken < 2) return;
    uint64_t* scratch = w.partScratchRoom.Get(taken);
    SortByKeys(part, scratch, taken);
    for (size_t j = 0; j < taken; ++j) PutCell(taking[j], column, static_cast<uint32_t>(part[j]));
  };
  auto sortColumn = [this, n, &groups, &sortRows](int column, Work& w) {
    if (!w.sort) return;
    if (w.filledItemsOnly) {
      // The filled rows take their values in the order of their keys.
      uint64_t* items = w.items;
      uint64_t* scratch = w.scratchRoom.Get(w.filledCount);
      SortByKeys(items, scratch, w.filledCount);
      for (size_t j = 0; j < w.filledCount; ++j) {
        PutCell(w.taking[j], column, static_cast<uint32_t>(items[j]));
      }
      return;
    }
    if (groups.empty()) {
      uint64_t* items = w.items;
      uint64_t* scratch = w.scratchRoom.Get(n);
      SortByKeys(items, scratch, n);
      for (size_t i = 0; i < n; ++i) PutCell(i + 1, column, static_cast<uint32_t>(items[i]));
      return;
    }
    // Each key's rows take their own values in the order of their keys.
    for (const std::vector<uint32_t>& rows : groups) {
      if (rows.size() < 2) continue;
      sortRows(column, w, rows.data(), rows.size());
    }
  };
  if (n > 0 && random.Fork(0) != nullptr) {
    // Column c takes values c*N to c*N+N-1 of the sequence: with a source
    // that can start part-way, two threads take the columns as they come.
    std::atomic<int> next{0};
    auto worker = [&](Work& w) {
      for (int column; (column = next.fetch_add(1)) < columns_;) {
        std::unique_ptr<RandomSource> part = random.Fork(static_cast<uint64_t>(column) * n);
        drawKeys(column, *part, w);
        sortColumn(column, w);
      }
    };
    RunSideBySide([&] { worker(work[0]); }, [&] { worker(work[1]); });
    random.Skip(ReorderDraws());
  } else {
    // Columns in pairs: the keys of both drawn in column order, then the
    // two sorts side by side.
    for (int first = 0; first < columns_; first += 2) {
      const int pair = first + 1 < columns_ ? 2 : 1;
      for (int k = 0; k < pair; ++k) drawKeys(first + k, random, work[k]);
      RunSideBySide([&] { sortColumn(first, work[0]); },
                    [&] { if (pair == 2) sortColumn(first + 1, work[1]); });
    }
  }
  reordered_ = true;
  growing_ = false;
  return unmoved;
}
