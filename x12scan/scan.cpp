// The file scan: one forward pass over the input that follows the envelope of
// every interchange, fills the four tables and writes the unwrapped copy.
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "internal.h"
#include "x12scan.h"

namespace {

constexpr uint64_t kLargestFile = (uint64_t{1} << 32) - 1;

constexpr size_t kCopyChunk = size_t{1} << 20;

// A sink that takes over whole buffers of kCopyChunk bytes instead of
// copying them.
class BufferSink : public CopySink {
 public:
  // Takes `full`, holding `size` bytes of the copy; returns an empty buffer.
  virtual std::unique_ptr<char[]> Exchange(std::unique_ptr<char[]> full, size_t size) = 0;
};

// Buffers the unwrapped copy and hands it to the sink in large pieces.
class CopyWriter {
 public:
  CopyWriter(CopySink* sink, BufferSink* exchange) : sink_(sink), exchange_(exchange) {
    if (sink_ != nullptr) buffer_.reset(new char[kCopyChunk]);
  }
  CopyWriter(const CopyWriter&) = delete;
  CopyWriter& operator=(const CopyWriter&) = delete;
  // Whatever is still buffered here was never flushed because an exception
  // is on its way (Run flushes at its end): that copy is abandoned, and
  // handing it on now could only fail again.
  ~CopyWriter() = default;

  // Appends one line of the copy: its text, the terminator and the line end.
  void PutLine(const char* data, size_t size, char terminator, const char* lineEnd, size_t lineEndSize) {
    if (sink_ == nullptr) return;
    const size_t total = size + 1 + lineEndSize;
    if (used_ + total > kCopyChunk) {
      Flush();
      if (total > kCopyChunk) {
        // A segment longer than the whole buffer goes straight through.
        sink_->Write(data, size);
        sink_->Write(&terminator, 1);
        sink_->Write(lineEnd, lineEndSize);
        return;
      }
    }
    char* out = buffer_.get() + used_;
    std::memcpy(out, data, size);
    out[size] = terminator;
    std::memcpy(out + size + 1, lineEnd, lineEndSize);
    used_ += total;
  }

  // Room left in the buffer before the next line must go to a new one.
  size_t Room() const { return kCopyChunk - used_; }
  // Appends whole lines that stand in the input exactly as the copy holds
  // them; the caller has checked that they fit (Room()).
  void PutLines(const char* data, size_t size) {
    if (sink_ == nullptr || size == 0) return;
    std::memcpy(buffer_.get() + used_, data, size);
    used_ += size;
  }

  void Flush() {
    const size_t used = used_;
    used_ = 0;  // handed on once, even when the hand-over throws
    if (sink_ != nullptr && used > 0) {
      if (exchange_ != nullptr) {
        buffer_ = exchange_->Exchange(std::move(buffer_), used);
      } else {
        sink_->Write(buffer_.get(), used);
      }
    }
  }

 private:
  CopySink* sink_;
  BufferSink* exchange_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
};

// Writes the copy to a file and shows each piece to `tee` (if there is
// one), with a helper thread, so that this work overlaps the scan: the
// helper writes the file, or, with a tee, whose work is the larger part,
// the scan's thread writes the file and the helper shows the tee what was
// written.  Remembers the first write error.  Without a thread to be had,
// it does both in place.
class FileCopySink final : public BufferSink {
 public:
  FileCopySink(FILE* file, CopyTee* tee) : file_(file), tee_(tee) {
    try {
      for (int i = 0; i < kSpareBuffers; ++i) free_.emplace_back(new char[kCopyChunk]);
      thread_ = std::thread([this] { WriterLoop(); });
      threaded_ = true;
    } catch (const std::exception&) {
      threaded_ = false;
    }
  }
  FileCopySink(const FileCopySink&) = delete;
  FileCopySink& operator=(const FileCopySink&) = delete;
  ~FileCopySink() override { Finish(); }

  void Write(const char* data, size_t size) override {
    if (!threaded_) {
      WriteInPlace(data, size);
      return;
    }
    while (size > 0) {
      const size_t part = size < kCopyChunk ? size : kCopyChunk;
      std::unique_ptr<char[]> buffer = TakeFree();
      std::memcpy(buffer.get(), data, part);
      Queue(std::move(buffer), part);
      data += part;
      size -= part;
    }
  }

  std::unique_ptr<char[]> Exchange(std::unique_ptr<char[]> full, size_t size) override {
    if (!threaded_) {
      WriteInPlace(full.get(), size);
      return full;
    }
    Queue(std::move(full), size);
    return TakeFree();
  }

  // Waits for the writing, closes the file; 0 or the first error number.
  // What the tee threw on the helper thread (memory ran out) is thrown
  // here.
  int32_t Close() {
    Finish();
    if (teeFailure_) {
      std::exception_ptr failure = teeFailure_;
      teeFailure_ = nullptr;
      std::rethrow_exception(failure);
    }
    return error_;
  }

 private:
  static constexpr int kSpareBuffers = 3;

  void Finish() {
    if (file_ == nullptr) return;
    if (threaded_) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
      }
      changed_.notify_all();
      thread_.join();
      threaded_ = false;
    }
    if (std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
    file_ = nullptr;
  }

  void WriteNow(const char* data, size_t size) {
    if (error_ == 0 && std::fwrite(data, 1, size, file_) != size) error_ = errno != 0 ? errno : EIO;
  }

  void WriteInPlace(const char* data, size_t size) {
    if (tee_ != nullptr) tee_->Handing();
    WriteNow(data, size);
    if (tee_ != nullptr) tee_->Written(data, size);
  }

  std::unique_ptr<char[]> TakeFree() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !free_.empty(); });
    std::unique_ptr<char[]> buffer = std::move(free_.back());
    free_.pop_back();
    return buffer;
  }

  void Queue(std::unique_ptr<char[]> buffer, size_t size) {
    if (tee_ != nullptr) {
      tee_->Handing();
      WriteNow(buffer.get(), size);
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      full_.emplace_back(std::move(buffer), size);
    }
    changed_.notify_all();
  }

  void WriterLoop() {
    for (;;) {
      std::pair<std::unique_ptr<char[]>, size_t> piece;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        // Nothing to show yet: the tee may use the time, a piece of work
        // at a time, until a piece comes.
        while (tee_ != nullptr && !teeFailure_ && full_.empty() && !closing_) {
          lock.unlock();
          bool more = false;
          try {
            more = tee_->Waiting();
          } catch (...) {
            teeFailure_ = std::current_exception();  // the helper's until the join
          }
          lock.lock();
          if (!more) break;
        }
        changed_.wait(lock, [this] { return !full_.empty() || closing_; });
        if (full_.empty()) return;
        piece = std::move(full_.front());
        full_.pop_front();
      }
      if (tee_ != nullptr) {
        // After a failure the tee is shown nothing more; the pieces still
        // come back, so that the scan goes on to its end.
        if (!teeFailure_) {
          try {
            tee_->Written(piece.first.get(), piece.second);
          } catch (...) {
            teeFailure_ = std::current_exception();  // the helper's until the join
          }
        }
      } else {
        WriteNow(piece.first.get(), piece.second);  // error_ is the helper's until the join
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        free_.push_back(std::move(piece.first));
      }
      changed_.notify_all();
    }
  }

  FILE* file_;
  CopyTee* tee_;
  int32_t error_ = 0;
  bool threaded_ = false;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::unique_ptr<char[]>> free_;
  std::deque<std::pair<std::unique_ptr<char[]>, size_t>> full_;
  bool closing_ = false;
  std::exception_ptr teeFailure_;
};

bool StartsSegment(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

int32_t AsEntryNumber(size_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

template <typename T>
T& AddEntry(EntryTable<T>& table, int32_t& made) {
  ++made;
  if (made > table.Count()) table.Grow();
  T& entry = table[made];
  entry = T{};
  return entry;
}

// True when the segment's tag equals `known`, a stored tag of at most three
// characters.
bool TagIs(const char* tag, size_t tagLength, const char* known) {
  if (tagLength > 3) return false;
  for (size_t i = 0; i < tagLength; ++i) {
    if (known[i] != tag[i] || known[i] == '\0') return false;
  }
  return known[tagLength] == '\0';
}

// True when a CR or LF stands among the `size` bytes at `data`.  Checks
// eight bytes at a time for any byte below 0x0E, then looks closer.
bool HasLineBreak(const char* data, size_t size) {
  if (size < 8) {
    for (size_t i = 0; i < size; ++i) {
      if (data[i] == '\r' || data[i] == '\n') return true;
    }
    return false;
  }
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  // Whole words, the last one overlapping the one before it.
  for (size_t i = 0;; i += 8) {
    if (i + 8 > size) i = size - 8;
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    if (((word - kOnes * 0x0E) & ~word & kHighs) != 0) {
      for (size_t k = i; k < i + 8; ++k) {
        if (data[k] == '\r' || data[k] == '\n') return true;
      }
    }
    if (i + 8 == size) return false;
  }
}

// The envelope tags the scan acts on.
enum class Envelope { kNone, kIea, kTa1, kGs, kGe, kSt, kSe };

Envelope EnvelopeTag(const char* tag, size_t tagLength) {
  if (tagLength == 2) {
    if (tag[0] == 'G') return tag[1] == 'S' ? Envelope::kGs : tag[1] == 'E' ? Envelope::kGe : Envelope::kNone;
    if (tag[0] == 'S') return tag[1] == 'T' ? Envelope::kSt : tag[1] == 'E' ? Envelope::kSe : Envelope::kNone;
  } else if (tagLength == 3) {
    if (std::memcmp(tag, "IEA", 3) == 0) return Envelope::kIea;
    if (std::memcmp(tag, "TA1", 3) == 0) return Envelope::kTa1;
  }
  return Envelope::kNone;
}

// The first byte of [p, end) that is `terminator`, a CR or a LF; null when
// there is none.
#if defined(__SSE2__)
// The bytes of the 16 from `p` on that are the terminator `t` (in every
// byte), a CR or a LF, as the low 16 bits of a mask.
inline uint32_t StopMask16(const char* p, __m128i t) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i hit = _mm_or_si128(
      _mm_or_si128(_mm_cmpeq_epi8(x, t), _mm_cmpeq_epi8(x, _mm_set1_epi8('\r'))),
      _mm_cmpeq_epi8(x, _mm_set1_epi8('\n')));
  return static_cast<uint16_t>(_mm_movemask_epi8(hit));
}
#endif

inline const char* FindStop(const char* p, const char* end, char terminator) {
#if defined(__SSE2__)
  const __m128i t = _mm_set1_epi8(terminator);
  for (; end - p >= 16; p += 16) {
    const uint32_t mask = StopMask16(p, t);
    if (mask != 0) return p + __builtin_ctz(mask);
  }
#endif
  for (; p < end; ++p) {
    if (*p == terminator || *p == '\r' || *p == '\n') return p;
  }
  return nullptr;
}

// FindStop for a text read from left to right, each search starting at or
// after the one before: the stops of 64 bytes at a time are kept as the
// bits of a mask, so that a segment costs a shift and a bit scan rather
// than a search of its own, whose varying length the processor
// mispredicts at nearly every segment.
class StopFinder {
 public:
  StopFinder(const char* from, const char* end, char terminator)
      : base_(from), end_(end), terminator_(terminator) {
    Load();
  }

  // FindStop(p, end, terminator), p at or after every p asked for before.
  const char* Next(const char* p) {
#if defined(__SSE2__)
    for (;;) {
      if (tail_) return FindStop(p > base_ ? p : base_, end_, terminator_);
      if (p < base_ + 64) {
        // No stop lies between an earlier block's end and p.
        const size_t offset = p > base_ ? static_cast<size_t>(p - base_) : 0;
        const uint64_t rest = mask_ >> offset;
        if (rest != 0) return base_ + offset + __builtin_ctzll(rest);
        base_ += 64;
      } else {
        base_ = p;
      }
      Load();
    }
#else
    return FindStop(p, end_, terminator_);
#endif
  }

 private:
#if defined(__SSE2__)
  // The mask of the 64 bytes from base_, or the tail (fewer than 64 bytes
  // left), which is searched byte by byte.
  void Load() {
    if (end_ - base_ < 64) {
      tail_ = true;
      return;
    }
    const __m128i t = _mm_set1_epi8(terminator_);
    mask_ = 0;
    for (int i = 0; i < 4; ++i) mask_ |= uint64_t{StopMask16(base_ + 16 * i, t)} << (16 * i);
  }
  uint64_t mask_ = 0;
  bool tail_ = false;
#else
  void Load() {}
#endif
  const char* base_;
  const char* end_;
  char terminator_;
};

// State of one scan; see ScanX12Buffer.
class Scanner {
 public:
  Scanner(ScanInput& input, CopySink* copy, InterchangeTable& interchanges, Ta1Table& ta1s,
          GroupTable& groups, SetTable& sets, const ProgressTarget& progress,
          BufferSink* exchange = nullptr)
      : input_(input), size_(input.size()), copy_(copy, exchange), interchanges_(interchanges),
        ta1s_(ta1s), groups_(groups), sets_(sets), progress_(progress) {}

  int32_t Run() {
    int32_t result = kScanOk;
    while (pos_ < size_) {
      ReportProgress();
      if (!inInterchange_) {
        SearchHeader();
        continue;
      }
      ReadPlainSegments();
      if (pos_ >= size_) break;
      if (!ReadSegment()) {
        result = kScanUnexpectedEnd;
        break;
      }
    }
    copy_.Flush();
    if (interchanges_[1].length == 0) result = kScanNoInterchange;
    return result;
  }

 private:
  void ReportProgress() {
    if (progress_.window == 0) return;
    const float percent = 100.0f * static_cast<float>(pos_) / static_cast<float>(size_);
    const int whole = static_cast<int>(percent);
    if (whole == lastPercent_) return;
    lastPercent_ = whole;
    if (progress_.step != nullptr) progress_.step(progress_, whole);
  }

  // The byte at `offset` (< size_), its window made current.
  const char* At(size_t offset) {
    if (offset < windowStart_ || offset >= windowEnd_) {
      size_t start = 0;
      size_t length = 0;
      window_ = input_.Window(offset, &start, &length);
      windowStart_ = start;
      windowEnd_ = start + length;
    }
    return window_ + (offset - windowStart_);
  }

  // The `count` bytes from `offset` on (offset + count <= size_) in one
  // piece: in the window when it holds them all, else copied from the
  // windows into `scratch`.
  const char* Span(size_t offset, size_t count, char* scratch) {
    const char* at = At(offset);
    if (offset + count <= windowEnd_) return at;
    for (size_t copied = 0; copied < count;) {
      const char* from = At(offset + copied);
      const size_t inWindow = windowEnd_ - (offset + copied);
      const size_t part = count - copied < inWindow ? count - copied : inWindow;
      std::memcpy(scratch + copied, from, part);
      copied += part;
    }
    return scratch;
  }

  void SearchHeader() {
    while (pos_ < size_) {
      // Jump to the next "I"; nothing before it can start a header.
      const char* at = At(pos_);
      const void* next = std::memchr(at, 'I', windowEnd_ - pos_);
      if (next == nullptr) {
        pos_ = windowEnd_;
        continue;
      }
      pos_ = windowStart_ + static_cast<size_t>(static_cast<const char*>(next) - window_);
      const size_t remaining = size_ - pos_;
      // The header, the two line-break bytes a wrapped one may hold, and
      // its terminator.
      char scratch[kIsaLength + 3];
      const char* text = Span(pos_, remaining < sizeof scratch ? remaining : sizeof scratch, scratch);
      if (remaining < 3 || text[1] != 'S' || text[2] != 'A') {
        ++pos_;
        continue;
      }
      if (remaining <= kIsaLength) {
        pos_ = size_;
        return;
      }
      char header[kIsaLength + 1];
      const int occupied = AcceptIsaHeader(text, remaining, header);
      if (occupied == 0) {
        ++pos_;
        continue;
      }
      OpenInterchange(header, static_cast<size_t>(occupied), text[occupied]);
      return;
    }
  }

  void OpenInterchange(const char* header, size_t occupied, char terminator) {
    const size_t start = pos_;
    elementSeparator_ = header[3];
    terminator_ = terminator;
    if (terminator_ == '\r') {
      lineEnd_ = "\n";
      lineEndLength_ = 1;
    } else {
      lineEnd_ = "\r\n";
      lineEndLength_ = 2;
    }
    InterchangeEntry& entry = AddEntry(interchanges_, interchangesMade_);
    std::memcpy(entry.isaText, header, kIsaLength + 1);
    entry.start = AsEntryNumber(start);
    entry.segmentCount = 1;
    entry.terminator = static_cast<unsigned char>(terminator_);
    inInterchange_ = true;
    WriteLine(header, kIsaLength);
    pos_ = start + occupied + 1;
  }

  void WriteLine(const char* data, size_t size) { copy_.PutLine(data, size, terminator_, lineEnd_, lineEndLength_); }

  // Reads the plain segments of the open interchange from pos_ on, as
  // ReadSegment would, quicker: a plain segment lies inside the window,
  // holds no line break and no trailing space, and is no envelope segment.
  // Lines that stand in the input just as the copy holds them (the
  // terminator followed by the copy's line end) go to the copy in runs.
  // Stops at the first other segment (ReadSegment's to read), at the end
  // of the window, and after a stretch of the input, so that the progress
  // goes on between calls.
  void ReadPlainSegments() {
    size_t limit = pos_ + kPlainStretch;
    if (progress_.window != 0 && limit > pos_ + size_ / 100 + 1) limit = pos_ + size_ / 100 + 1;
    const char* p = At(pos_);
    const char* const windowEnd = window_ + (windowEnd_ - windowStart_);
    const char* const end = window_ + ((limit < windowEnd_ ? limit : windowEnd_) - windowStart_);
    InterchangeEntry& interchange = interchanges_[interchangesMade_];
    SetEntry* const set = inSet_ ? &sets_[setsMade_] : nullptr;
    int32_t segments = 0;
    int32_t loops1 = 0;
    int32_t loops2 = 0;
    const char* run = p;  // the lines [run, p) go to the copy as they stand
    size_t room = copy_.Room();
    StopFinder stops(p, windowEnd, terminator_);
    while (p < end) {
      if (!StartsSegment(*p)) {
        // What stands between segments is dropped; what leads up to the
        // end of the stretch is ReadSegment's to pass over (up to the next
        // window, or to the end of the text where a segment should begin).
        const char* next = p;
        while (next < end && !StartsSegment(*next)) ++next;
        if (next == end) break;
        copy_.PutLines(run, static_cast<size_t>(p - run));
        room = copy_.Room();
        p = next;
        run = p;
        continue;
      }
      const char* const stop = stops.Next(p);
      if (stop == nullptr || *stop != terminator_ || stop == p || stop[-1] == ' ') break;
      const size_t length = static_cast<size_t>(stop - p);
      size_t tagLength = 0;
      while (tagLength < length && tagLength < 4 && p[tagLength] != elementSeparator_) ++tagLength;
      if (EnvelopeTag(p, tagLength) != Envelope::kNone) break;
      const size_t total = length + 1 + lineEndLength_;
      if (total > kCopyChunk) break;
      ++segments;
      if (set != nullptr) {
        if (TagIs(p, tagLength, set->loopTag1)) {
          ++loops1;
        } else if (TagIs(p, tagLength, set->loopTag2)) {
          ++loops2;
        }
      }
      if (total > room) {
        // The line starts a new piece of the copy, as WriteLine would.
        copy_.PutLines(run, static_cast<size_t>(p - run));
        copy_.Flush();
        run = p;
        room = copy_.Room();
      }
      room -= total;
      const char* const next = stop + 1;
      // The line end is taken along only when more text follows it in the
      // window, so that the text's end is met where ReadSegment meets it.
      if (static_cast<size_t>(windowEnd - next) > lineEndLength_ && next[0] == lineEnd_[0] &&
          (lineEndLength_ == 1 || next[1] == lineEnd_[1])) {
        p = next + lineEndLength_;
      } else {
        copy_.PutLines(run, static_cast<size_t>(p - run));
        copy_.PutLine(p, length, terminator_, lineEnd_, lineEndLength_);
        p = next;
        run = p;
      }
    }
    copy_.PutLines(run, static_cast<size_t>(p - run));
    pos_ = windowStart_ + static_cast<size_t>(p - window_);
    interchange.segmentCount += segments;
    if (inGroup_) groups_[groupsMade_].segmentCount += segments;
    if (set != nullptr) {
      set->segmentCount += segments;
      set->loopCount1 += loops1;
      set->loopCount2 += loops2;
    }
  }

  // Reads the next segment of the open interchange.  False when the text
  // ends where a segment should begin.
  bool ReadSegment() {
    while (pos_ < size_) {
      const char* p = At(pos_);
      const char* const end = p + (windowEnd_ - pos_);
      while (p < end && !StartsSegment(*p)) ++p;
      pos_ = windowStart_ + static_cast<size_t>(p - window_);
      if (p < end) break;
    }
    const size_t start = pos_;
    const char* begin = nullptr;
    size_t rawLength = 0;
    bool terminated = false;
    if (start < size_) {
      begin = At(start);
      const size_t inWindow = windowEnd_ - start;
      const void* found = std::memchr(begin, terminator_, inWindow);
      if (found != nullptr) {
        terminated = true;
        rawLength = static_cast<size_t>(static_cast<const char*>(found) - begin);
      } else if (windowEnd_ == size_) {
        rawLength = inWindow;
      } else {
        // The segment goes on past the window's edge: it is put together
        // from the windows it spans.
        crossing_.assign(begin, inWindow);
        for (size_t at = windowEnd_; at < size_ && !terminated; at = windowEnd_) {
          const char* piece = At(at);
          const size_t size = windowEnd_ - at;
          const void* stop = std::memchr(piece, terminator_, size);
          terminated = stop != nullptr;
          crossing_.append(piece, terminated ? static_cast<size_t>(static_cast<const char*>(stop) - piece) : size);
        }
        begin = crossing_.data();
        rawLength = crossing_.size();
      }
    }
    pos_ = start + rawLength + (terminated ? 1 : 0);
    if (rawLength == 0) {
      // Either the text ended, or a terminator stands where the segment's
      // first character should be: no segment at all.
      return false;
    }

    // Line breaks inside the segment are not part of its text.
    const char* segment = begin;
    size_t length = rawLength;
    if (HasLineBreak(begin, rawLength)) {
      joined_.clear();
      for (size_t i = 0; i < rawLength; ++i) {
        if (begin[i] != '\r' && begin[i] != '\n') joined_.push_back(begin[i]);
      }
      segment = joined_.data();
      length = joined_.size();
    }

    size_t kept = length;
    while (kept > 0 && segment[kept - 1] == ' ') --kept;
    WriteLine(segment, kept);

    InterchangeEntry& interchange = interchanges_[interchangesMade_];
    ++interchange.segmentCount;
    if (inGroup_) ++groups_[groupsMade_].segmentCount;
    if (inSet_) ++sets_[setsMade_].segmentCount;

    // The tag is read from the text as the copy holds it (trailing spaces
    // removed), so that the engine, which reads the copy, takes every
    // segment for what the scan took it: "CLP  " is a claim for both.
    const void* separator = std::memchr(segment, elementSeparator_, kept);
    const size_t tagLength =
        separator != nullptr ? static_cast<size_t>(static_cast<const char*>(separator) - segment) : kept;
    const size_t end = start + rawLength + 1;
    Act(segment, length, tagLength, start, end);
    return true;
  }

  void Split(const char* segment, size_t length) {
    splitText_.assign(segment, length);
    elementCount_ = SplitElements(splitText_, elementSeparator_, elements_);
  }
  const std::string& Element(int k) const { return elements_.slot[k]; }
  int32_t NumberOf(int k) const { return X12Number(Element(k).data(), Element(k).size()); }

  void Act(const char* segment, size_t length, size_t tagLength, size_t start, size_t end) {
    const char* tag = segment;
    InterchangeEntry& interchange = interchanges_[interchangesMade_];
    const Envelope kind = EnvelopeTag(tag, tagLength);
    if (kind == Envelope::kIea) {
      Split(segment, length);
      inInterchange_ = false;
      interchange.length = AsEntryNumber(end - EntryOffset(interchange.start));
      interchange.ieaGroupCount = NumberOf(1);
    } else if (kind == Envelope::kTa1) {
      Split(segment, length);
      ClearElements(elements_, elementCount_, 5);
      Ta1Entry& ta1 = AddEntry(ta1s_, ta1sMade_);
      CopyPadded(ta1.controlNumber, 9, Element(1));
      CopyPadded(ta1.date, 6, Element(2));
      CopyPadded(ta1.time, 4, Element(3));
      CopyPadded(ta1.ackCode, 1, Element(4));
      CopyPadded(ta1.noteCode, 3, Element(5));
      ta1.segmentNumber = interchange.segmentCount;
      ++interchange.ta1Count;
      if (interchange.firstTa1 == 0) interchange.firstTa1 = ta1sMade_;
    } else if (kind == Envelope::kGs) {
      Split(segment, length);
      ClearElements(elements_, elementCount_, 8);
      GroupEntry& group = AddEntry(groups_, groupsMade_);
      group.interchange = interchangesMade_;
      group.start = AsEntryNumber(start);
      group.segmentNumber = interchange.segmentCount;
      group.segmentCount = 1;
      CopyCut(group.functionalId, 2, Element(1));
      CopyCut(group.senderCode, 15, Element(2));
      CopyCut(group.receiverCode, 15, Element(3));
      CopyCut(group.date, 8, Element(4));
      CopyCut(group.time, 8, Element(5));
      group.controlNumber = NumberOf(6);
      CopyCut(group.agencyCode, 2, Element(7));
      CopyCut(group.version, 12, Element(8));
      if (interchange.firstGroup == 0) interchange.firstGroup = groupsMade_;
      inGroup_ = true;
    } else if (kind == Envelope::kGe) {
      Split(segment, length);
      ++interchange.groupsClosed;
      if (groupsMade_ > 0) {
        GroupEntry& group = groups_[groupsMade_];
        group.length = AsEntryNumber(end - EntryOffset(group.start));
        ClearElements(elements_, elementCount_, 1);
        group.geSetCount = NumberOf(1);
      }
      inGroup_ = false;
    } else if (kind == Envelope::kSt) {
      Split(segment, length);
      ClearElements(elements_, elementCount_, 2);
      SetEntry& set = AddEntry(sets_, setsMade_);
      CopyCut(set.setId, 3, Element(1));
      SetLoopTags(set);
      set.interchange = interchangesMade_;
      set.group = groupsMade_;
      set.start = AsEntryNumber(start);
      set.segmentNumber = groupsMade_ > 0 ? groups_[groupsMade_].segmentCount : 0;
      set.segmentCount = 1;
      set.controlNumber = NumberOf(2);
      if (groupsMade_ > 0 && groups_[groupsMade_].firstSet == 0) groups_[groupsMade_].firstSet = setsMade_;
      inSet_ = true;
    } else if (kind == Envelope::kSe) {
      Split(segment, length);
      if (groupsMade_ > 0) ++groups_[groupsMade_].setsClosed;
      if (setsMade_ > 0) {
        SetEntry& set = sets_[setsMade_];
        set.length = AsEntryNumber(end - EntryOffset(set.start));
        ClearElements(elements_, elementCount_, 2);
        set.seSegmentCount = NumberOf(1);
      }
      inSet_ = false;
    } else if (inSet_) {
      SetEntry& set = sets_[setsMade_];
      if (TagIs(tag, tagLength, set.loopTag1)) {
        ++set.loopCount1;
      } else if (TagIs(tag, tagLength, set.loopTag2)) {
        ++set.loopCount2;
      }
    }
  }

  ScanInput& input_;
  size_t size_;
  size_t pos_ = 0;
  // The current window of the input: its bytes and their offsets.
  const char* window_ = nullptr;
  size_t windowStart_ = 0;
  size_t windowEnd_ = 0;
  CopyWriter copy_;
  InterchangeTable& interchanges_;
  Ta1Table& ta1s_;
  GroupTable& groups_;
  SetTable& sets_;
  const ProgressTarget& progress_;
  static constexpr size_t kPlainStretch = size_t{1} << 16;
  int lastPercent_ = 0;

  bool inInterchange_ = false;
  bool inGroup_ = false;
  bool inSet_ = false;
  int32_t interchangesMade_ = 0;
  int32_t ta1sMade_ = 0;
  int32_t groupsMade_ = 0;
  int32_t setsMade_ = 0;

  char elementSeparator_ = 0;
  char terminator_ = 0;
  const char* lineEnd_ = "\r\n";
  size_t lineEndLength_ = 2;

  std::string crossing_;  // a segment that crosses a window's edge
  std::string joined_;
  std::string splitText_;
  ElementTable elements_;
  int32_t elementCount_ = 0;
};

}  // namespace

int32_t ScanX12Buffer(const char* text, size_t size, CopySink* copy, InterchangeTable& interchanges,
                      Ta1Table& ta1s, GroupTable& groups, SetTable& sets,
                      const ProgressTarget& progress) {
  if (size == 0) return kScanCantOpen;
  if (size < kIsaLength) return kScanTooSmall;
  MemoryInput input(text, size);
  return Scanner(input, copy, interchanges, ta1s, groups, sets, progress).Run();
}

namespace {

// The checks before a file is scanned, and its opening: 0, or the code
// that ends the scan at once.
int32_t OpenInput(const std::string& inputPath, InputFile& input, size_t windowSize = 0) {
  uint64_t size = 0;
  bool sizeKnown = false;
  if (InspectInputPath(inputPath, &size, &sizeKnown) == InputKind::kMissing) return kScanNotFound;
  if (sizeKnown && size > kLargestFile) return kScanTooLarge;
  if (!input.Open(inputPath, windowSize)) return kScanCantOpen;
  if (input.size() > kLargestFile) return kScanTooLarge;
  if (input.size() < kIsaLength) return kScanTooSmall;
  return kScanOk;
}

}  // namespace

int32_t ScanX12File(const std::string& inputPath, const std::string& copyPath,
                    const std::string& /*reserved*/, InterchangeTable& interchanges,
                    Ta1Table& ta1s, GroupTable& groups, SetTable& sets,
                    const ProgressTarget& progress, int32_t* copyError, CopyTee* tee) {
  if (copyError != nullptr) *copyError = 0;
  InputFile input;
  if (const int32_t code = OpenInput(inputPath, input)) return code;

  int32_t result = kScanOk;
  if (copyPath.empty()) {
    result = Scanner(input, nullptr, interchanges, ta1s, groups, sets, progress).Run();
  } else {
    errno = 0;
    FILE* file = OpenCopyForWriting(copyPath);
    if (file == nullptr) {
      // The scan does not depend on its copy; the caller learns of the failure.
      if (copyError != nullptr) *copyError = errno != 0 ? errno : EIO;
      result = Scanner(input, nullptr, interchanges, ta1s, groups, sets, progress).Run();
    } else {
      FileCopySink sink(file, tee);
      // The too-small check was made above, as ScanX12Buffer would.
      result = Scanner(input, &sink, interchanges, ta1s, groups, sets, progress, &sink).Run();
      const int32_t error = sink.Close();
      if (copyError != nullptr) *copyError = error;
    }
  }
  // Tables made from a file that changed under the scan (or from the zeros
  // that stood in for its lost part) describe no file at all.
  if (!input.Close()) result = kScanInputChanged;
  return result;
}

int32_t ScanX12FileToSink(const std::string& inputPath, CopySink& copy,
                          InterchangeTable& interchanges, Ta1Table& ta1s, GroupTable& groups,
                          SetTable& sets, const ProgressTarget& progress, size_t windowSize) {
  InputFile input;
  if (const int32_t code = OpenInput(inputPath, input, windowSize)) return code;
  int32_t result = Scanner(input, &copy, interchanges, ta1s, groups, sets, progress).Run();
  // As for ScanX12File: what was read from a file that changed under the
  // scan describes no file at all.
  if (!input.Close()) result = kScanInputChanged;
  return result;
}

std::string ScanErrorText(int32_t code) {
  switch (code) {
    case kScanOk: return "No Error";
    case kScanNoInterchange: return "No Interchange(s) Found (No Valid ISA Segments)";
    case kScanCantOpen: return "Can't open file or file is zero size";
    case kScanTooSmall: return "File too small to contain an interchange";
    case kScanNotFound: return "Input File Not found";
    case kScanUnexpectedEnd: return "Unexpected End of File Encountered";
    case kScanTooLarge: return "File too large for library";
    case kScanInputChanged: return "Input File changed or could not be read during the scan";
    default: return std::string();
  }
}

std::string ScanLibraryVersion() { return "3.1.1"; }
