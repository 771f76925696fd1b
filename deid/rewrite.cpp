#include "rewrite.h"

#include <atomic>
#include <cstdint>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "line_reader.h"

namespace {

const char kLineEnd[] = "\r\n";

// A growable run of bytes, kept from block to block.
class ByteBuffer {
 public:
  void Clear() { size_ = 0; }
  const char* Data() const { return data_.get(); }
  size_t Size() const { return size_; }
  void Append(const char* data, size_t size) {
    if (size == 0) return;
    if (size > capacity_ - size_) Grow(size);
    std::memcpy(data_.get() + size_, data, size);
    size_ += size;
  }
  void Append(std::string_view text) { Append(text.data(), text.size()); }
  void Put(char c) {
    if (size_ == capacity_) Grow(1);
    data_[size_++] = c;
  }

 private:
  void Grow(size_t more) {
    size_t capacity = capacity_ < (size_t{1} << 16) ? size_t{1} << 16 : capacity_ * 2;
    if (capacity - size_ < more) capacity = size_ + more;
    std::unique_ptr<char[]> data(new char[capacity]);
    if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
    data_.swap(data);
    capacity_ = capacity;
  }

  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// One block of the copy in the making: its bytes, its output lines, its
// listing lines and its counts.
struct Block {
  std::string text;
  ByteBuffer output;
  ByteBuffer listing;
  ScrambleCounts counts;
  int32_t readError = 0;
};

void ListingLine(ByteBuffer& listing, std::string_view label, std::string_view segment) {
  listing.Append(label);
  listing.Append(segment);
  listing.Append(kLineEnd, 2);
}

// Rewrites the lines of `text` (whole lines, the scanner in the state
// before the first) into `block`.
void RewriteLines(const char* text, size_t size, LineScanner scanner,
                  const InterchangeTable& interchanges, const ClaimTable& table, bool listing,
                  Block& block) {
  ScrambleCounts& counts = block.counts;
  ByteBuffer& output = block.output;
  std::string working;
  std::string_view cells[kClaimColumnCount];
  int64_t cellsRow = -1;
  const char* p = text;
  const char* const end = text + size;
  // Lines copied as read lie one after the other in `text`: they go out
  // together, at the next line that does not.
  const char* run = p;
  auto flushRun = [&](const char* upTo) {
    output.Append(run, static_cast<size_t>(upTo - run));
  };
  while (p < end) {
    const char* const lineStart = p;
    // A line ends at a CR; a LF right after it belongs to the line end.
    const char* cr = line_detail::FindCr(p, end);
    std::string_view line;
    bool crLf = false;
    if (cr == nullptr) {
      line = std::string_view(p, static_cast<size_t>(end - p));
      p = end;
    } else {
      line = std::string_view(p, static_cast<size_t>(cr - p));
      const char* next = cr + 1;
      crLf = next < end && *next == '\n';
      p = crLf ? next + 1 : next;
    }
    const LineClass kind = ClassifyLine(line, scanner, interchanges);
    const int64_t row = scanner.claimRow;
    // A claim beyond the claim count has no row: its segments are copied
    // as read and not counted.
    const bool changed =
        kind.kind != LineKind::kPlain && kind.kind != LineKind::kIsa && table.HasRow(row);
    if (!changed) {
      if (!line.empty() && line.back() == scanner.terminator && crLf) continue;  // as read
      flushRun(lineStart);
      run = p;
      output.Append(line);
      if (line.empty() || line.back() != scanner.terminator) output.Put(scanner.terminator);
      output.Append(kLineEnd, 2);
      continue;
    }
    flushRun(lineStart);
    run = p;
    const int sep = scanner.elementSeparator;
    if (row != cellsRow) {
      table.GetRow(row, cells);
      cellsRow = row;
    }
    if (kind.kind == LineKind::kClaim) {
      const ElementChange changes[] = {{1, cells[kClaimSubmitterId]},
                                       {7, cells[kPayerClaimControlNumber]}};
      ReplaceElements(line, sep, changes, 2, working);
      ++counts.clpChanged;
    } else if (const NameColumns* columns = NameColumnsOf(kind.kind)) {
      const ElementChange changes[] = {{3, cells[columns->last]},
                                       {4, cells[columns->first]},
                                       {5, cells[columns->middle]},
                                       {9, cells[columns->memberId]}};
      ReplaceElements(line, sep, changes, 4, working);
      if (kind.kind == LineKind::kPatient) {
        ++counts.patientChanged;
      } else if (kind.kind == LineKind::kInsured) {
        ++counts.insuredChanged;
      } else {
        ++counts.otherChanged;
      }
    } else {
      const ElementChange change{2, cells[kind.refColumn]};
      ReplaceElements(line, sep, &change, 1, working);
      ++counts.otherChanged;
    }
    if (working.empty() || working.back() != scanner.terminator) working += scanner.terminator;
    ++counts.totalChanged;
    if (listing) {
      ListingLine(block.listing, "Segment in ==>", line);
      ListingLine(block.listing, "Segment out==>", working);
      block.listing.Append(kLineEnd, 2);
    }
    output.Append(working);
    output.Append(kLineEnd, 2);
  }
  flushRun(p);
}

// Runs work(i, slot) for i = 0 .. count-1 on helper threads, at most
// kSlots blocks ahead, and done(i, slot) on the calling thread in the order
// of i as each block is ready.  Without a thread to be had, runs both in
// turn on the calling thread.
constexpr size_t kSlots = 4;
constexpr int kHelpers = 2;

template <typename Work, typename Done>
void RunInOrder(size_t count, const Work& work, const Done& done) {
  std::mutex mutex;
  std::condition_variable changed;
  size_t next = 0;      // the next block to start
  size_t consumed = 0;  // blocks handed to done
  size_t ready[kSlots];
  for (size_t& r : ready) r = SIZE_MAX;
  auto helper = [&] {
    for (;;) {
      size_t i;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return next >= count || next < consumed + kSlots; });
        if (next >= count) return;
        i = next++;
      }
      work(i, i % kSlots);
      {
        std::lock_guard<std::mutex> lock(mutex);
        ready[i % kSlots] = i;
      }
      changed.notify_all();
    }
  };
  std::thread helpers[kHelpers];
  int started = 0;
  try {
    for (; started < kHelpers; ++started) helpers[started] = std::thread(helper);
  } catch (const std::exception&) {
  }
  if (started == 0) {
    for (size_t i = 0; i < count; ++i) {
      work(i, 0);
      done(i, 0);
    }
    return;
  }
  for (size_t i = 0; i < count; ++i) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      changed.wait(lock, [&] { return ready[i % kSlots] == i; });
    }
    done(i, i % kSlots);
    {
      std::lock_guard<std::mutex> lock(mutex);
      ready[i % kSlots] = SIZE_MAX;
      consumed = i + 1;
    }
    changed.notify_all();
  }
  for (int k = 0; k < started; ++k) helpers[k].join();
}

// Reads the bytes [offset, offset + size) of a file that several threads
// share.
class SharedReader {
 public:
  explicit SharedReader(FILE* file) : file_(file) {}
  int32_t Read(uint64_t offset, size_t size, std::string& into) {
    into.resize(size);
    if (size == 0) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    errno = 0;
#if defined(_WIN32)
    const int moved = _fseeki64(file_, static_cast<__int64>(offset), SEEK_SET);
#else
    const int moved = fseeko(file_, static_cast<off_t>(offset), SEEK_SET);
#endif
    if (moved != 0) return errno != 0 ? errno : EIO;
    const size_t got = std::fread(&into[0], 1, size, file_);
    if (got != size) return errno != 0 ? errno : EIO;  // shorter than when it was collected
    return 0;
  }

 private:
  FILE* file_;
  std::mutex mutex_;
};

}  // namespace

int32_t RewriteCopy(const RewriteInput& input, CheckedWriter& output, CheckedWriter* listing,
                    ScrambleCounts& counts, const ProgressTarget& progress) {
  const std::vector<CopyBlockStart>& starts = *input.blockStarts;
  if (starts.empty() || input.end == 0) return 0;  // no lines at all
  errno = 0;
  FILE* file = std::fopen(input.copyPath.c_str(), "rb");
  if (file == nullptr) return errno != 0 ? errno : ENOENT;
  std::setvbuf(file, nullptr, _IONBF, 0);
  SharedReader reader(file);

  auto blockEnd = [&](size_t i) { return i + 1 < starts.size() ? starts[i + 1].offset : input.end; };
  std::unique_ptr<Block[]> blocks(new Block[kSlots]);
  std::atomic<size_t> firstFailed{SIZE_MAX};  // the first block whose read failed
  int32_t error = 0;
  int lastPercent = 0;

  auto work = [&](size_t i, size_t slot) {
    Block& block = blocks[slot];
    block.output.Clear();
    block.listing.Clear();
    block.counts = ScrambleCounts();
    block.readError = 0;
    if (i > firstFailed.load()) return;  // nothing after a failed read is rewritten
    const uint64_t begin = starts[i].offset;
    const uint64_t stop = blockEnd(i);
    const size_t size = stop > begin ? static_cast<size_t>(stop - begin) : 0;
    block.readError = reader.Read(begin, size, block.text);
    if (block.readError != 0) {
      size_t known = firstFailed.load();
      while (i < known && !firstFailed.compare_exchange_weak(known, i)) {
      }
      return;
    }
    RewriteLines(block.text.data(), block.text.size(), starts[i].scanner, *input.interchanges,
                 *input.table, listing != nullptr, block);
  };
  auto done = [&](size_t i, size_t slot) {
    Block& block = blocks[slot];
    if (error != 0) return;
    if (block.readError != 0) {
      error = block.readError;
      return;
    }
    output.Write(block.output.Data(), block.output.Size());
    if (listing != nullptr) listing->Write(block.listing.Data(), block.listing.Size());
    counts.clpChanged += block.counts.clpChanged;
    counts.patientChanged += block.counts.patientChanged;
    counts.insuredChanged += block.counts.insuredChanged;
    counts.otherChanged += block.counts.otherChanged;
    counts.totalChanged += block.counts.totalChanged;
    const uint64_t through = blockEnd(i);
    if (progress.window != 0 && progress.step != nullptr) {
      const int percent = static_cast<int>(through * 100 / input.end);
      if (percent != lastPercent) {
        lastPercent = percent;
        progress.step(progress, percent);
      }
    }
  };
  RunInOrder(starts.size(), work, done);
  std::fclose(file);
  return error;
}
