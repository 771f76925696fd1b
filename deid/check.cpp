#include "check.h"

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>
#include <utility>

#include "adjustments.h"
#include "claim_table.h"
#include "line_reader.h"
#include "platform.h"
#include "random.h"
#include "x12scan.h"

namespace {

// True when `text` is `word`, a tag or code of a few characters: a compare
// of a length known when compiling, which the compiler makes a compare of
// whole words (`text == word` calls the library's memcmp for every tag of
// the same length, many times per segment).
template <size_t N>
inline bool Is(std::string_view text, const char (&word)[N]) {
  return text.size() == N - 1 && std::memcmp(text.data(), word, N - 1) == 0;
}

// ---------------------------------------------------------------------------
// Hashes of the input's identifying values, by column.

// The member ids of every kind of NM1 form one pool: an original id is
// forbidden in any of them.  The line item control numbers of a thorough
// run's service lines form a pool of their own.
constexpr int kAnyMemberId = kThoroughColumnCount;
constexpr int kLineItemColumn = kThoroughColumnCount + 1;
constexpr int kPoolCount = kThoroughColumnCount + 2;

uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

uint64_t HashValue(int column, std::string_view value) {
  uint64_t h = Mix(0x9E3779B97F4A7C15ull * static_cast<uint64_t>(column + 1) ^ value.size());
  const char* p = value.data();
  size_t n = value.size();
  while (n >= 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    h = Mix(h ^ word);
    p += 8;
    n -= 8;
  }
  uint64_t word = 0;
  if (n > 0) std::memcpy(&word, p, n);
  h = Mix(h ^ word ^ (static_cast<uint64_t>(n) << 56));
  return h == 0 ? 1 : h;
}

// A set of 64-bit hashes (never 0): open addressing, linear probing.  The
// slots are a large block from the system (zero-filled, in huge pages where
// it can): a vector of that size was filled with zeros page by page, each
// page a fault of its own, a large share of the first pass's time.
class HashSet {
 public:
  // Room for about `expected` hashes before the set first grows.
  void Reserve(size_t expected) {
    size_t size = size_t{1} << 12;
    while (size < expected * 2) size *= 2;
    if (size > size_ && count_ == 0) Allocate(size);
  }
  void Insert(uint64_t h) {
    if ((count_ + 1) * 2 > size_) Grow();
    if (Place(slots_, size_, h)) ++count_;
  }
  const uint64_t* SlotOf(uint64_t h) const {
    return size_ == 0 ? nullptr : &slots_[static_cast<size_t>(h) & (size_ - 1)];
  }
  bool Contains(uint64_t h) const {
    if (size_ == 0) return false;
    const size_t mask = size_ - 1;
    for (size_t i = static_cast<size_t>(h) & mask;; i = (i + 1) & mask) {
      if (slots_[i] == h) return true;
      if (slots_[i] == 0) return false;
    }
  }

 private:
  static bool Place(uint64_t* slots, size_t size, uint64_t h) {
    const size_t mask = size - 1;
    for (size_t i = static_cast<size_t>(h) & mask;; i = (i + 1) & mask) {
      if (slots[i] == h) return false;
      if (slots[i] == 0) {
        slots[i] = h;
        return true;
      }
    }
  }
  void Allocate(size_t size) {
    memory_ = LargeBuffer(size * sizeof(uint64_t));
    slots_ = reinterpret_cast<uint64_t*>(memory_.get());
    size_ = size;
  }
  void Grow() {
    const size_t size = size_ == 0 ? size_t{1} << 12 : size_ * 2;
    LargeBuffer bigger(size * sizeof(uint64_t));
    uint64_t* const slots = reinterpret_cast<uint64_t*>(bigger.get());
    for (size_t i = 0; i < size_; ++i) {
      if (slots_[i] != 0) Place(slots, size, slots_[i]);
    }
    memory_ = std::move(bigger);
    slots_ = slots;
    size_ = size;
  }

  LargeBuffer memory_;
  uint64_t* slots_ = nullptr;
  size_t size_ = 0;
  size_t count_ = 0;
};

// The set is far larger than the processor's caches, so nearly every
// insertion or lookup waits for memory: they are gathered in batches, each
// slot asked for ahead (prefetched) as its hash is known, and done when the
// batch is full, so that the waits overlap.
constexpr size_t kBatch = 64;

inline void PrefetchSlot(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

class Pools {
 public:
  void Reserve(size_t expected) { values_.Reserve(expected); }
  uint64_t HashOf(int column, std::string_view value) const {
    const uint64_t h = HashValue(column, value);
    PrefetchSlot(values_.SlotOf(h));
    return h;
  }
  bool Has(uint64_t hash) const { return values_.Contains(hash); }
  bool Has(int column, std::string_view value) const { return Has(HashValue(column, value)); }
  void Add(int column, std::string_view value) {
    if (value.empty()) return;
    Queue(HashOf(column, value));
    // The scan of an output drops the spaces that end a segment: a value
    // that ends in spaces and lands last in its segment comes back without
    // them.
    size_t kept = value.size();
    while (kept > 0 && value[kept - 1] == ' ') --kept;
    if (kept > 0 && kept < value.size()) Queue(HashOf(column, value.substr(0, kept)));
  }
  // Inserts what is queued; called before the first lookup.
  void Flush() {
    for (size_t i = 0; i < queued_; ++i) values_.Insert(queue_[i]);
    queued_ = 0;
  }

 private:
  void Queue(uint64_t h) {
    queue_[queued_++] = h;
    if (queued_ == kBatch) Flush();
  }
  HashSet values_;  // HashValue(column, value) of every non-empty collected value
  uint64_t queue_[kBatch];
  size_t queued_ = 0;
};

// ---------------------------------------------------------------------------
// Lines of an unwrapped copy, cut as the engine cuts them: at CR, a LF
// right after the CR belonging to the line end.

// Cuts the pieces of a copy, in order, into lines; a line may run on
// from one piece into the next.
class LineCutter {
 public:
  // The next whole line of `piece` from `pos` on, moving `pos` past it and
  // its line end; false once the rest of the piece (if any) is a line that
  // goes on in the next piece.  `line` is valid until the next call and the
  // piece's.
  bool Next(std::string_view piece, size_t& pos, std::string_view& line) {
    const char* const base = piece.data();
    // A piece is read from its start on: its CRs are found 64 bytes at a
    // time (a search per line costs a mispredicted exit per line).
    if (pos == 0) crs_ = line_detail::CrFinder(base, base + piece.size());
    if (pendingLf_ && pos < piece.size()) {
      pendingLf_ = false;
      if (piece[pos] == '\n') ++pos;
    }
    if (pos >= piece.size()) return false;
    const char* cr = crs_.Next(base + pos);
    if (cr == nullptr) {
      if (!carrying_) carry_.clear();
      carry_.append(base + pos, piece.size() - pos);
      carrying_ = true;
      pos = piece.size();
      return false;
    }
    const size_t at = static_cast<size_t>(cr - base);
    line = piece.substr(pos, at - pos);
    if (carrying_) {
      carry_.append(line.data(), line.size());
      line = carry_;
      carrying_ = false;
    }
    pos = at + 1;
    if (pos < piece.size()) {
      if (base[pos] == '\n') ++pos;
    } else {
      pendingLf_ = true;
    }
    return true;
  }
  // At the end of the copy: the line begun in the last piece, if any.
  bool Last(std::string_view& line) {
    if (!carrying_) return false;
    carrying_ = false;
    line = carry_;
    return true;
  }

 private:
  std::string carry_;
  bool carrying_ = false;
  bool pendingLf_ = false;
  line_detail::CrFinder crs_{nullptr, nullptr};
};

// Pieces of a copy passed from a scan on its own thread to the reader: a
// few at most, their buffers used again.
class PieceQueue {
 public:
  void Push(const char* data, size_t size) {
    std::string buffer;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return full_.size() < kDepth; });
      if (!free_.empty()) {
        buffer.swap(free_.back());
        free_.pop_back();
      }
    }
    buffer.assign(data, size);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      full_.push_back(std::move(buffer));
    }
    changed_.notify_all();
  }
  void Close() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closed_ = true;
    }
    changed_.notify_all();
  }
  // The next piece into `piece`, whose old buffer goes back for use; false
  // at the end.
  bool Pop(std::string& piece) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return !full_.empty() || closed_; });
      if (full_.empty()) return false;
      if (piece.capacity() > 0 && free_.size() < kDepth) free_.push_back(std::move(piece));
      piece = std::move(full_.front());
      full_.pop_front();
    }
    changed_.notify_all();
    return true;
  }

 private:
  static constexpr size_t kDepth = 4;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> full_;
  std::vector<std::string> free_;
  bool closed_ = false;
};

class QueueSink final : public CopySink {
 public:
  explicit QueueSink(PieceQueue& queue) : queue_(queue) {}
  void Write(const char* data, size_t size) override { queue_.Push(data, size); }

 private:
  PieceQueue& queue_;
};

// The lines of a copy that a scan on its own thread writes into a queue.
class LineSource {
 public:
  explicit LineSource(PieceQueue& queue) : queue_(queue) {}
  // The next line, valid until the next call; false at the end.
  bool Next(std::string_view& line) {
    for (;;) {
      if (cutter_.Next(piece_, pos_, line)) return true;
      if (ended_ || !queue_.Pop(piece_)) {
        ended_ = true;
        return cutter_.Last(line);
      }
      pos_ = 0;
    }
  }

 private:
  PieceQueue& queue_;
  LineCutter cutter_;
  std::string piece_;
  size_t pos_ = 0;
  bool ended_ = false;
};

struct ScanTables {
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
};

// A scan of one file into a queue, on a thread of its own: through `sink`
// (which passes the pieces on to Queue()) and into `tables` when given,
// else straight into the queue and into tables of its own.
class ScanJob {
 public:
  explicit ScanJob(const std::string& path, CopySink* sink = nullptr, ScanTables* tables = nullptr)
      : path_(path), sink_(sink), tables_(tables != nullptr ? tables : &ownTables_) {}
  // A scan still running (the reader gave up) is let run to its end.
  ~ScanJob() {
    if (!thread_.joinable()) return;
    std::string piece;
    while (queue_.Pop(piece)) {
    }
    Join();
  }
  void Start() {
    thread_ = std::thread([this] {
      QueueSink queued(queue_);
      try {
        code_ = ScanX12FileToSink(path_, sink_ != nullptr ? *sink_ : queued, tables_->interchanges,
                                  tables_->ta1s, tables_->groups, tables_->sets, ProgressTarget());
      } catch (const std::bad_alloc&) {
        outOfMemory_ = true;
      }
      queue_.Close();
    });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  PieceQueue& Queue() { return queue_; }
  int32_t Code() const { return code_; }
  bool OutOfMemory() const { return outOfMemory_; }
  const ScanTables& Tables() const { return *tables_; }

 private:
  std::string path_;
  CopySink* sink_;
  ScanTables ownTables_;
  ScanTables* tables_;
  PieceQueue queue_;
  int32_t code_ = 0;
  bool outOfMemory_ = false;
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// Elements.

void CutAll(std::string_view body, int separator, std::vector<std::string_view>& elements) {
  elements.clear();
  if (separator < 0) {
    elements.push_back(body);
    return;
  }
  const char* p = body.data();
  const char* const end = p + body.size();
  for (;;) {
    const char* stop = line_detail::FindByte(p, end, static_cast<unsigned char>(separator));
    if (stop == nullptr) stop = end;
    elements.emplace_back(p, static_cast<size_t>(stop - p));
    if (stop == end) break;
    p = stop + 1;
  }
}

std::string_view ElementAt(const std::vector<std::string_view>& elements, size_t k) {
  return k < elements.size() ? elements[k] : std::string_view();
}

// A code fit to be named in a finding: one to three capital letters or
// digits.  Anything else is not named.
std::string CodeName(std::string_view code) {
  if (code.empty() || code.size() > 3) return "(other)";
  for (char c : code) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return "(other)";
  }
  return std::string(code);
}

std::string ElementName(std::string_view tag, size_t position) {
  std::string name = CodeName(tag);
  if (position < 10) name += '0';
  return name + std::to_string(position);
}

// An X12 decimal amount in ten-thousandths; false for text that is none
// (or too large or too fine to add up exactly).
bool ParseAmount(std::string_view text, int64_t& value) {
  value = 0;
  if (text.empty()) return true;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '-' || text[0] == '+') {
    negative = text[0] == '-';
    ++i;
  }
  int64_t whole = 0;
  int64_t fraction = 0;
  int fractionDigits = 0;
  bool dot = false, digits = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !dot) {
      dot = true;
    } else if (c >= '0' && c <= '9') {
      digits = true;
      if (!dot) {
        if (whole > 100000000000000LL) return false;
        whole = whole * 10 + (c - '0');
      } else if (fractionDigits < 4) {
        fraction = fraction * 10 + (c - '0');
        ++fractionDigits;
      } else if (c != '0') {
        return false;
      }
    } else {
      return false;
    }
  }
  if (!digits) return false;
  for (; fractionDigits < 4; ++fractionDigits) fraction *= 10;
  value = whole * 10000 + fraction;
  if (negative) value = -value;
  return true;
}

// Findings by kind, in the order met.
class FindingList {
 public:
  // `code` follows `prefix` in the kind's name (NM1 GB, REF F8, ...).
  void Add(const char* kind, int64_t segment) { Add(kind, std::string(), segment); }
  void Add(const char* prefix, std::string_view code, int64_t segment) {
    Add(prefix, CodeName(code), segment);
  }

 private:
  void Add(const char* prefix, const std::string& name, int64_t segment) {
    size_t at = 0;
    const size_t prefixSize = std::strlen(prefix);
    while (at < list_.size()) {
      const std::string& kind = list_[at].kind;
      if (kind.size() == prefixSize + name.size() && kind.compare(0, prefixSize, prefix) == 0 &&
          kind.compare(prefixSize, std::string::npos, name) == 0) {
        break;
      }
      ++at;
    }
    if (at == list_.size()) {
      list_.push_back(CheckFinding());
      list_.back().kind = prefix + name;
    }
    CheckFinding& finding = list_[at];
    ++finding.count;
    if (finding.segments.size() < CheckFinding::kPositions) finding.segments.push_back(segment);
  }

 public:
  std::vector<CheckFinding> Take() { return std::move(list_); }

 private:
  std::vector<CheckFinding> list_;
};

// The balance of the 835 sets of one file, set by set: BPR02 against the
// CLP04 total less the PLB adjustments.
class BalanceWalker {
 public:
  enum State : signed char { kUnknown = -1, kUnbalanced = 0, kBalanced = 1 };

  // Takes a segment's elements; `in835` tells whether it stands in an 835
  // set (for ST: whether the set it opens is one).
  void Segment(const std::vector<std::string_view>& e, bool in835, int64_t segment) {
    const std::string_view tag = e[0];
    if (Is(tag, "ST")) {
      open_ = in835;
      if (open_) {
        bpr_ = clp_ = plb_ = 0;
        hasBpr_ = false;
        broken_ = false;
        starts_.push_back(segment);
      }
      return;
    }
    if (!open_) return;
    int64_t amount = 0;
    if (Is(tag, "SE")) {
      open_ = false;
      states_.push_back(!hasBpr_ || broken_ ? kUnknown : bpr_ == clp_ - plb_ ? kBalanced : kUnbalanced);
    } else if (Is(tag, "BPR")) {
      hasBpr_ = ParseAmount(ElementAt(e, 2), bpr_);
      if (!hasBpr_) broken_ = true;
    } else if (Is(tag, "CLP")) {
      if (ParseAmount(ElementAt(e, 4), amount)) clp_ += amount;
      else broken_ = true;
    } else if (Is(tag, "PLB")) {
      for (size_t k = 4; k <= 14; k += 2) {
        if (ParseAmount(ElementAt(e, k), amount)) plb_ += amount;
        else broken_ = true;
      }
    }
  }
  const std::vector<signed char>& States() const { return states_; }
  const std::vector<int64_t>& Starts() const { return starts_; }

 private:
  bool open_ = false;
  bool hasBpr_ = false;
  bool broken_ = false;
  int64_t bpr_ = 0, clp_ = 0, plb_ = 0;
  std::vector<signed char> states_;
  std::vector<int64_t> starts_;
};

const char* const kColumnNames[kPoolCount] = {
    "CLP01 claim submitter's id",
    "CLP07 payer claim control number",
    "REF EA",
    "NM1 QC last name",
    "NM1 QC first name",
    "NM1 QC middle name",
    "NM1 QC member id",
    "REF BB",
    "REF 1G",
    "REF SY",
    "REF A6",
    "REF 1L",
    "REF 1W",
    "REF G3",
    "NM1 IL last name",
    "NM1 IL first name",
    "NM1 IL middle name",
    "NM1 IL member id",
    "NM1 74 last name",
    "NM1 74 first name",
    "NM1 74 middle name",
    "NM1 74 member id",
    // a thorough run's
    "NM1 GB last name",
    "NM1 GB first name",
    "NM1 GB middle name",
    "NM1 GB member id",
    "REF 28",
    "REF 6P",
    "REF IG",
    "REF F8",
    "REF G1",
    "REF 9A",
    "REF 9C",
    "REF CE",
    "",  // the member ids' pool
    "REF 6R line item control number",
};

bool IsMemberIdColumn(int column) {
  return column == kPatientMemberId || column == kInsuredMemberId ||
         column == kCorrectedMemberId || column == kOtherSubscriberMemberId;
}

// The pool that holds a column's values.
int PoolOf(int column) { return IsMemberIdColumn(column) ? kAnyMemberId : column; }

// One replaced position of a collected line and its column.
struct Replaced {
  size_t position;
  int column;
};

// The replaced positions of a collected line, in ascending order; their
// number.
int ReplacedPositions(const LineClass& line, Replaced* out) {
  if (line.kind == LineKind::kClaim) {
    out[0] = {1, kClaimSubmitterId};
    out[1] = {7, kPayerClaimControlNumber};
    return 2;
  }
  if (const NameColumns* columns = NameColumnsOf(line.kind)) {
    out[0] = {3, columns->last};
    out[1] = {4, columns->first};
    out[2] = {5, columns->middle};
    out[3] = {9, columns->memberId};
    return 4;
  }
  if (line.kind == LineKind::kReference) {
    out[0] = {2, line.refColumn};
    return 1;
  }
  if (line.kind == LineKind::kLineItemReference) {
    out[0] = {2, kLineItemColumn};
    return 1;
  }
  return 0;
}

bool IsReferenceKind(LineKind kind) {
  return kind == LineKind::kReference || kind == LineKind::kLineItemReference;
}

std::string KindLabel(const LineClass& line, const std::vector<std::string_view>& e) {
  if (line.kind == LineKind::kClaim) return "CLP";
  if (line.kind == LineKind::kProviderAdjustment) return "PLB";
  if (IsReferenceKind(line.kind)) return "REF " + CodeName(ElementAt(e, 1));
  return "NM1 " + CodeName(ElementAt(e, 1));
}

// ---------------------------------------------------------------------------
// The check proper.

class Checker {
 public:
  Checker(CheckResult& result, const CheckOptions& options)
      : result_(result), thorough_(options.thorough) {
    inScanner_.thorough = thorough_;
  }

  // Room in the pools for the values of files of `bytes` bytes in all:
  // about one distinct value for every 64 bytes, so that the set seldom
  // grows.
  void ReservePools(uint64_t bytes) {
    if (bytes > 0) pools_.Reserve(static_cast<size_t>(bytes / 64));
  }

  // First pass over an input (the checked one, or another input of its
  // pool): the pools of every column; its claims are counted in `claims`.
  // The scan runs on a thread of its own and hands its pieces over, and
  // this thread takes their lines in, so that the two halve the pass.  Each
  // piece goes with the number of interchanges the scan had recorded when
  // it handed the piece over, and its lines are classified with the
  // terminators of just those interchanges, as on the scan's own thread.
  int32_t CollectPools(const std::string& inputPath, ScanTables& tables, int64_t& claims) {
    struct Taker {
      Checker* checker;
      int64_t* claims;
      LineCutter cutter;
      LineScanner scanner;
      std::string_view e[10];
      void Take(std::string_view line, const InterchangeTerminators& interchanges) {
        const LineClass kind = ClassifyLine(line, scanner, interchanges);
        if (kind.kind == LineKind::kClaim) ++*claims;
        Replaced replaced[4];
        const int count = ReplacedPositions(kind, replaced);
        if (count == 0) return;
        CutElements(kind.body, scanner.elementSeparator, e,
                    static_cast<int>(replaced[count - 1].position) + 1);
        for (int i = 0; i < count; ++i) {
          checker->pools_.Add(PoolOf(replaced[i].column), e[replaced[i].position]);
        }
      }
    } taker;
    taker.checker = this;
    taker.claims = &claims;
    taker.scanner.thorough = thorough_;
    // Called on the scan's thread: the tables hold every interchange of
    // the piece.
    struct HandingSink final : public CopySink {
      PieceQueue* queue = nullptr;
      const InterchangeTable* interchanges = nullptr;
      std::mutex mutex;
      InterchangeTerminators published;
      std::deque<int32_t> counts;  // of the pieces in the queue, in order
      void Write(const char* data, size_t size) override {
        {
          std::lock_guard<std::mutex> lock(mutex);
          published.Extend(*interchanges);
          counts.push_back(published.Count());
        }
        queue->Push(data, size);
      }
    } sink;
    ScanJob scan(inputPath, &sink, &tables);
    sink.queue = &scan.Queue();
    sink.interchanges = &tables.interchanges;
    scan.Start();
    InterchangeTerminators known;
    std::string piece;
    while (scan.Queue().Pop(piece)) {
      {
        std::lock_guard<std::mutex> lock(sink.mutex);
        known.Extend(sink.published, sink.counts.front());
        sink.counts.pop_front();
      }
      size_t pos = 0;
      std::string_view line;
      while (taker.cutter.Next(piece, pos, line)) taker.Take(line, known);
    }
    scan.Join();
    if (scan.OutOfMemory()) throw std::bad_alloc();
    known.Extend(tables.interchanges);
    std::string_view last;
    if (taker.cutter.Last(last)) taker.Take(last, known);
    pools_.Flush();
    return scan.Code();
  }

  // Second pass: both files side by side.
  void Compare(LineSource& input, LineSource& output, const InterchangeTable& inputInterchanges) {
    std::string_view inLine, outLine;
    for (;;) {
      const bool hasIn = input.Next(inLine);
      const bool hasOut = output.Next(outLine);
      if (!hasIn && !hasOut) break;
      if (hasIn) ++result_.inputSegments;
      if (hasOut) ++result_.outputSegments;
      const int64_t n = hasOut ? result_.outputSegments : result_.inputSegments;
      LineClass kind;
      if (hasIn) {
        kind = ClassifyLine(inLine, inScanner_, inputInterchanges);
        CutAll(kind.body, inScanner_.elementSeparator, inElements_);
        inBalance_.Segment(inElements_, inScanner_.in835, result_.inputSegments);
      }
      std::string_view outBody;
      if (hasOut) {
        outBody = OutputBody(outLine);
        CutAll(outBody, outSeparator_, outElements_);
        WalkOutput(n);
      }
      if (misaligned_) continue;
      if (!hasIn || !hasOut) {
        Fail(kPointSegments, hasIn ? "the output ends before input segment " + std::to_string(n)
                                   : "the output holds segment " + std::to_string(n) +
                                         " beyond the input's last");
        misaligned_ = true;
        continue;
      }
      ++Point(kPointSegments).checked;
      if (inElements_[0] != outElements_[0]) {
        Fail(kPointSegments, "segment " + std::to_string(n) + ": the output holds " +
                                 CodeName(outElements_[0]) + " where the input holds " +
                                 CodeName(inElements_[0]));
        misaligned_ = true;
        continue;
      }
      ++Point(kPointKeptElements).checked;
      if (!IsReplacedKind(kind.kind)) {
        if (inLine != outLine) KeptDiffers(n);
      } else if (kind.kind == LineKind::kProviderAdjustment) {
        CompareAdjustment(n);
      } else {
        CompareCollected(n, kind);
      }
    }
  }

  void Finish(const ScanTables& in, const ScanTables& out) {
    ResolveLookups();
    CompareEnvelope(in, out);
    CompareBalance();
    result_.untouched = untouched_.Take();
    std::vector<CheckFinding> plb = plbReferences_.Take();
    result_.untouched.insert(result_.untouched.end(), plb.begin(), plb.end());
    result_.dates = dates_.Take();
    result_.invalid = invalid_.Take();
    for (int c = 0; c < kPoolCount; ++c) {
      if (IsMemberIdColumn(c) || c == kAnyMemberId || values_[c] == 0) continue;
      result_.columns.push_back({kColumnNames[c], values_[c], kept_[c]});
    }
  }

 private:
  CheckPointResult& Point(int point) { return result_.points[point]; }
  void Fail(int point, const std::string& message) {
    CheckPointResult& p = Point(point);
    if (p.failures++ == 0) p.first = message;
  }

  // The output line without its terminator; a header line sets the
  // delimiters (the output's tables fill on another thread, so they come
  // from the header line itself).  Header lines are told as the input's
  // are (see ClassifyLine).
  std::string_view OutputBody(std::string_view line) {
    if (line_detail::OpensInterchange(line, outInterchangeOpen_)) {
      outInterchangeOpen_ = true;
      outSeparator_ = static_cast<unsigned char>(line[3]);
      outSub_ = line[104];
      outTerminator_ = line.size() > 105 ? line[105] : '\r';
      return line.substr(0, 105);
    }
    if (!line.empty() && line.back() == outTerminator_) line.remove_suffix(1);
    return line;
  }

  // Privacy findings and balance, from the output's own segments.
  void WalkOutput(int64_t n) {
    const std::vector<std::string_view>& e = outElements_;
    const std::string_view tag = e[0];
    if (Is(tag, "IEA")) outInterchangeOpen_ = false;
    if (Is(tag, "ST")) {
      outIn835_ = Is(ElementAt(e, 1).substr(0, 3), "835");
      if (outIn835_) ++result_.sets835;
      inClaim_ = false;
    }
    outBalance_.Segment(e, outIn835_, n);
    if (Is(tag, "SE")) {
      outIn835_ = false;
      inClaim_ = false;
    }
    if (!outIn835_) return;
    if (Is(tag, "CLP")) {
      inClaim_ = true;
    } else if (Is(tag, "LX")) {
      inClaim_ = false;
    } else if (Is(tag, "PLB")) {
      inClaim_ = false;
      // A thorough run's PLB references follow their claims: they hold the
      // claims' new numbers, which are other claims' original ones.
      if (thorough_) return;
      for (size_t k = 3; k <= 13; k += 2) {
        const std::string_view adjustment = ElementAt(e, k);
        if (adjustment.empty()) continue;
        std::string_view reference = adjustment;
        const size_t cut = outSub_ != 0 ? adjustment.find(outSub_) : std::string_view::npos;
        if (cut != std::string_view::npos) reference = adjustment.substr(cut + 1);
        if (HoldsClaimNumber(reference) || HoldsClaimNumber(adjustment)) {
          plbReferences_.Add("PLB reference holding an original claim number", n);
          break;
        }
      }
    } else if (inClaim_) {
      if (Is(tag, "NM1")) {
        const std::string_view code = ElementAt(e, 1);
        const bool exchanged = Is(code, "QC") || Is(code, "IL") || Is(code, "74") ||
                               (thorough_ && Is(code, "GB"));
        if (!exchanged) untouched_.Add("NM1 ", code, n);
      } else if (Is(tag, "REF")) {
        const std::string_view qualifier = ElementAt(e, 1);
        const bool exchanged = line_detail::RefColumn(qualifier, thorough_) >= 0 ||
                               (thorough_ && Is(qualifier, "6R"));
        if (!exchanged) untouched_.Add("REF ", qualifier, n);
      } else if (Is(tag, "DTM")) {
        dates_.Add("DTM ", ElementAt(e, 1), n);
      }
    }
  }

  bool HoldsClaimNumber(std::string_view text) const {
    return !text.empty() && (pools_.Has(kClaimSubmitterId, text) ||
                             pools_.Has(kPayerClaimControlNumber, text));
  }

  // An element the run never replaces differs (or the number of elements
  // does).
  void KeptDiffers(int64_t n) {
    const std::vector<std::string_view>& a = inElements_;
    const std::vector<std::string_view>& b = outElements_;
    const std::string where = "segment " + std::to_string(n) + " (" + CodeName(a[0]) + ")";
    if (a.size() != b.size()) {
      Fail(kPointKeptElements, where + ": " + std::to_string(b.size() - 1) +
                                   " elements where the input has " + std::to_string(a.size() - 1));
      return;
    }
    for (size_t k = 1; k < a.size(); ++k) {
      if (a[k] != b[k]) {
        Fail(kPointKeptElements, where + ": element " + ElementName(a[0], k) + " differs");
        return;
      }
    }
    Fail(kPointKeptElements, where + ": the segment's terminator differs");
  }

  void CompareCollected(int64_t n, const LineClass& kind) {
    const std::vector<std::string_view>& a = inElements_;
    const std::vector<std::string_view>& b = outElements_;
    Replaced replaced[4];
    const int count = ReplacedPositions(kind, replaced);
    if (a.size() != b.size()) {
      KeptDiffers(n);
      return;
    }
    size_t next = 0;
    for (size_t k = 1; k < a.size(); ++k) {
      if (next < static_cast<size_t>(count) && replaced[next].position == k) {
        Value(n, kind, replaced[next++].column, k, a[k], b[k]);
      } else if (a[k] != b[k]) {
        Fail(kPointKeptElements, "segment " + std::to_string(n) + " (" + KindLabel(kind, a) +
                                     "): element " + ElementName(a[0], k) + " differs");
      }
    }
    Validity(n, kind);
  }

  // A thorough run's PLB: every element is the input's but the references
  // of PLB03, PLB05, ... PLB13 (after the first sub-element separator),
  // where each whole-token occurrence of a claim number of the input (CLP01
  // or CLP07, taken as the run takes them) may hold another claim number of
  // the input, or nothing (a number that would have held a delimiter).
  void CompareAdjustment(int64_t n) {
    const std::vector<std::string_view>& a = inElements_;
    const std::vector<std::string_view>& b = outElements_;
    if (a.size() != b.size()) {
      KeptDiffers(n);
      return;
    }
    const std::string where = "segment " + std::to_string(n) + " (PLB): element ";
    const char inSub = inScanner_.subSeparator;
    for (size_t k = 1; k < a.size(); ++k) {
      if (a[k] == b[k]) continue;
      const size_t inCut = inSub != 0 ? a[k].find(inSub) : std::string_view::npos;
      const size_t outCut = outSub_ != 0 ? b[k].find(outSub_) : std::string_view::npos;
      if (k < 3 || k > 13 || k % 2 == 0 || inCut == std::string_view::npos ||
          outCut == std::string_view::npos || a[k].substr(0, inCut + 1) != b[k].substr(0, outCut + 1)) {
        Fail(kPointKeptElements, where + ElementName(a[0], k) + " differs");
        return;
      }
      ++Point(kPointReplacedValues).checked;
      if (!ReferenceFollowsClaims(a[k].substr(inCut + 1), b[k].substr(outCut + 1))) {
        Fail(kPointReplacedValues, where + ElementName(a[0], k) +
                                       " holds a reference that is not the input's with claim "
                                       "numbers exchanged");
      }
    }
  }

  bool IsClaimNumber(std::string_view text) const {
    return pools_.Has(kClaimSubmitterId, text) || pools_.Has(kPayerClaimControlNumber, text);
  }

  // True when `after` is `before` with each whole-token claim number in it
  // replaced by a claim number of the input or by nothing.
  bool ReferenceFollowsClaims(std::string_view before, std::string_view after) const {
    // A reference too long to be searched is written empty.
    if (before.size() > kLongestSearchedReference) return after.empty();
    // The input's reference as pieces of kept text, each claim number a gap.
    std::vector<std::string> kept(1);
    WalkWholeTokens(
        before, before.size(), [&](std::string_view token) { return IsClaimNumber(token); },
        [&](std::string_view) { kept.emplace_back(); }, [&](char c) { kept.back() += c; });
    int64_t budget = 100000;  // a bound on the search for pathological references
    return Matches(kept, 0, after, 0, budget);
  }

  // True when `text` from `at` on is kept[piece], a gap, kept[piece + 1],
  // ... up to the end: each gap empty or a claim number.
  bool Matches(const std::vector<std::string>& kept, size_t piece, std::string_view text,
               size_t at, int64_t& budget) const {
    if (--budget < 0) return false;
    const std::string& literal = kept[piece];
    if (text.compare(at, literal.size(), literal) != 0) return false;
    at += literal.size();
    if (piece + 1 == kept.size()) return at == text.size();
    for (size_t end = at; end <= text.size(); ++end) {
      const std::string_view gap = text.substr(at, end - at);
      if ((gap.empty() || IsClaimNumber(gap)) && Matches(kept, piece + 1, text, end, budget)) {
        return true;
      }
    }
    return false;
  }

  // A replaced value: counted now, looked up in its column's pool with a
  // batch of others (see kBatch).
  void Value(int64_t n, const LineClass& kind, int column, size_t k, std::string_view before,
             std::string_view after) {
    const bool memberId = IsMemberIdColumn(column);
    ++Point(memberId ? kPointMemberIds : kPointReplacedValues).checked;
    if (!memberId && !before.empty()) {
      ++values_[column];
      if (before == after) ++kept_[column];
    }
    // An empty value is the column's own (a claim without one passes it
    // on); validity names what that leaves invalid.
    if (after.empty()) return;
    Lookup& l = lookups_[lookupCount_++];
    l.hash = pools_.HashOf(PoolOf(column), after);
    l.segment = n;
    l.position = k;
    l.kind = kind.kind;
    l.memberId = memberId;
    l.newForm = memberId && IsNewMemberIdShape(after);
    const std::string_view code = ElementAt(inElements_, 1);
    l.code = kind.kind == LineKind::kClaim ? std::string() : CodeName(code);
    if (lookupCount_ == kBatch) ResolveLookups();
  }

  void ResolveLookups() {
    for (size_t i = 0; i < lookupCount_; ++i) {
      const Lookup& l = lookups_[i];
      const bool found = pools_.Has(l.hash);
      auto where = [&] {
        const char* tag = l.kind == LineKind::kClaim ? "CLP" : IsReferenceKind(l.kind) ? "REF" : "NM1";
        return "segment " + std::to_string(l.segment) + " (" + tag + (l.code.empty() ? "" : " ") +
               l.code + "): " + ElementName(tag, l.position);
      };
      if (l.memberId) {
        if (found) {
          Fail(kPointMemberIds, where() + " is an original member id");
        } else if (!l.newForm) {
          Fail(kPointMemberIds, where() + " is not a new member id");
        } else {
          ++result_.newMemberIds;
        }
      } else if (!found) {
        Fail(kPointReplacedValues, where() + " holds no value of its column in the input");
      }
    }
    lookupCount_ = 0;
  }

  // Segments the exchange left invalid: invalid now, not in the input.
  void Validity(int64_t n, const LineClass& kind) {
    const std::vector<std::string_view>& a = inElements_;
    const std::vector<std::string_view>& b = outElements_;
    auto check = [&](const char* what, auto invalid) {
      if (invalid(b) && !invalid(a)) invalid_.Add(what, n);
    };
    using Elements = std::vector<std::string_view>;
    if (NameColumnsOf(kind.kind) != nullptr) {
      check("NM1 with NM108 but an empty NM109", [](const Elements& e) {
        return !ElementAt(e, 8).empty() && ElementAt(e, 9).empty();
      });
      check("person's NM1 (NM102 1) with an empty last name", [](const Elements& e) {
        return Is(ElementAt(e, 2), "1") && ElementAt(e, 3).empty();
      });
    } else if (IsReferenceKind(kind.kind)) {
      check("REF with an empty REF02", [](const Elements& e) {
        return ElementAt(e, 2).empty() && ElementAt(e, 3).empty();
      });
    } else if (kind.kind == LineKind::kClaim) {
      check("CLP with an empty CLP01", [](const Elements& e) { return ElementAt(e, 1).empty(); });
    }
  }

  void CompareEnvelope(const ScanTables& in, const ScanTables& out) {
    CheckPointResult& p = Point(kPointEnvelope);
    auto fail = [&](const std::string& message) { Fail(kPointEnvelope, message); };
    auto countText = [](const char* what, int32_t a, int32_t b) {
      return std::string("the output has ") + std::to_string(b) + " " + what +
             " where the input has " + std::to_string(a);
    };
    const int32_t ni = in.interchanges.Count();
    p.checked += ni + in.groups.Count() + in.sets.Count();
    if (ni != out.interchanges.Count()) fail(countText("interchange entries", ni, out.interchanges.Count()));
    for (int32_t i = 1; i <= ni && i <= out.interchanges.Count(); ++i) {
      const InterchangeEntry& a = in.interchanges[i];
      const InterchangeEntry& b = out.interchanges[i];
      const std::string where = "interchange " + std::to_string(i) + ": ";
      if (std::strcmp(a.isaText, b.isaText) != 0) fail(where + "the ISA header differs (control number or other element)");
      if (a.terminator != b.terminator) fail(where + "the segment terminator differs");
      if (a.ieaGroupCount != b.ieaGroupCount) fail(where + "IEA01 differs");
      if (a.groupsClosed != b.groupsClosed) fail(where + "the number of groups differs");
      if (a.segmentCount != b.segmentCount) fail(where + "the number of segments differs");
      if (a.ta1Count != b.ta1Count) fail(where + "the number of TA1 segments differs");
      if ((a.length == 0) != (b.length == 0)) fail(where + "closed in one file only");
    }
    if (in.ta1s.Count() != out.ta1s.Count()) fail(countText("TA1 entries", in.ta1s.Count(), out.ta1s.Count()));
    for (int32_t i = 1; i <= in.ta1s.Count() && i <= out.ta1s.Count(); ++i) {
      const Ta1Entry& a = in.ta1s[i];
      const Ta1Entry& b = out.ta1s[i];
      if (std::strcmp(a.controlNumber, b.controlNumber) != 0 || std::strcmp(a.date, b.date) != 0 ||
          std::strcmp(a.time, b.time) != 0 || std::strcmp(a.ackCode, b.ackCode) != 0 ||
          std::strcmp(a.noteCode, b.noteCode) != 0 || a.segmentNumber != b.segmentNumber) {
        fail("TA1 " + std::to_string(i) + " differs");
      }
    }
    if (in.groups.Count() != out.groups.Count()) fail(countText("group entries", in.groups.Count(), out.groups.Count()));
    for (int32_t i = 1; i <= in.groups.Count() && i <= out.groups.Count(); ++i) {
      const GroupEntry& a = in.groups[i];
      const GroupEntry& b = out.groups[i];
      const std::string where = "group " + std::to_string(i) + ": ";
      if (a.controlNumber != b.controlNumber) fail(where + "the control number (GS06) differs");
      if (std::strcmp(a.functionalId, b.functionalId) != 0 || std::strcmp(a.senderCode, b.senderCode) != 0 ||
          std::strcmp(a.receiverCode, b.receiverCode) != 0 || std::strcmp(a.date, b.date) != 0 ||
          std::strcmp(a.time, b.time) != 0 || std::strcmp(a.agencyCode, b.agencyCode) != 0 ||
          std::strcmp(a.version, b.version) != 0) {
        fail(where + "the GS header differs");
      }
      if (a.interchange != b.interchange || a.segmentNumber != b.segmentNumber) fail(where + "stands elsewhere");
      if (a.geSetCount != b.geSetCount) fail(where + "GE01 differs");
      if (a.setsClosed != b.setsClosed) fail(where + "the number of sets differs");
      if (a.segmentCount != b.segmentCount) fail(where + "the number of segments differs");
      if ((a.length == 0) != (b.length == 0)) fail(where + "closed in one file only");
    }
    if (in.sets.Count() != out.sets.Count()) fail(countText("set entries", in.sets.Count(), out.sets.Count()));
    for (int32_t i = 1; i <= in.sets.Count() && i <= out.sets.Count(); ++i) {
      const SetEntry& a = in.sets[i];
      const SetEntry& b = out.sets[i];
      const std::string where = "transaction set " + std::to_string(i) + ": ";
      if (a.controlNumber != b.controlNumber) fail(where + "the control number (ST02) differs");
      if (std::strcmp(a.setId, b.setId) != 0) fail(where + "ST01 differs");
      if (a.interchange != b.interchange || a.group != b.group || a.segmentNumber != b.segmentNumber) {
        fail(where + "stands elsewhere");
      }
      if (a.seSegmentCount != b.seSegmentCount) fail(where + "SE01 differs");
      if (a.segmentCount != b.segmentCount) fail(where + "the number of segments differs");
      if (a.loopCount1 != b.loopCount1 || a.loopCount2 != b.loopCount2) fail(where + "the number of loops differs");
      if ((a.length == 0) != (b.length == 0)) fail(where + "closed in one file only");
    }
    auto made = [](int32_t count, bool firstUsed) { return firstUsed ? count : 0; };
    result_.interchanges = made(ni, in.interchanges[1].isaText[0] != '\0');
    result_.groups = made(in.groups.Count(), in.groups[1].segmentNumber != 0);
    result_.sets = made(in.sets.Count(), in.sets[1].setId[0] != '\0' || in.sets[1].segmentNumber != 0);
  }

  void CompareBalance() {
    const std::vector<signed char>& a = inBalance_.States();
    const std::vector<signed char>& b = outBalance_.States();
    CheckPointResult& p = Point(kPointBalance);
    for (size_t i = 0; i < a.size(); ++i) {
      if (a[i] != BalanceWalker::kBalanced) {
        ++result_.setsUnbalancedInInput;
        continue;
      }
      ++p.checked;
      if (i >= b.size() || b[i] != BalanceWalker::kBalanced) {
        std::string where = "835 set " + std::to_string(i + 1);
        if (i < outBalance_.Starts().size()) {
          where += " (segment " + std::to_string(outBalance_.Starts()[i]) + ")";
        }
        Fail(kPointBalance, where + ": BPR02 no longer equals the CLP04 total less the PLB adjustments");
      }
    }
  }

  CheckResult& result_;
  const bool thorough_;
  Pools pools_;
  LineScanner inScanner_;
  std::vector<std::string_view> inElements_, outElements_;
  int outSeparator_ = -1;
  char outSub_ = 0;
  char outTerminator_ = 0;
  bool outInterchangeOpen_ = false;
  bool outIn835_ = false;
  bool inClaim_ = false;
  bool misaligned_ = false;
  BalanceWalker inBalance_, outBalance_;
  FindingList untouched_, plbReferences_, dates_, invalid_;
  int64_t values_[kPoolCount] = {};
  struct Lookup {
    uint64_t hash;
    int64_t segment;
    size_t position;
    LineKind kind;
    bool memberId;
    bool newForm;
    std::string code;
  };
  Lookup lookups_[kBatch];
  size_t lookupCount_ = 0;
  int64_t kept_[kPoolCount] = {};
};

}  // namespace

const char* CheckPointName(int point) {
  static const char* const kNames[kCheckPointCount] = {
      "segments", "envelope", "kept elements", "member ids", "replaced values", "balance"};
  return point >= 0 && point < kCheckPointCount ? kNames[point] : "";
}

int CheckResult::FirstFailed() const {
  for (int i = 0; i < kCheckPointCount; ++i) {
    if (points[i].failures > 0) return i;
  }
  return -1;
}

namespace {

uint64_t FileSize(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  const std::streamoff size = file ? static_cast<std::streamoff>(file.tellg()) : 0;
  return size > 0 ? static_cast<uint64_t>(size) : 0;
}

}  // namespace

CheckResult CheckScrambledFile(const std::string& inputPath, const std::string& outputPath,
                               const CheckOptions& options) {
  CheckResult result;
  Checker checker(result, options);
  uint64_t bytes = FileSize(inputPath);
  for (const std::string& other : options.poolInputs) bytes += FileSize(other);
  checker.ReservePools(bytes);
  ScanTables inputTables;
  result.inputScan = checker.CollectPools(inputPath, inputTables, result.claims);
  if (result.inputScan != 0) return result;
  result.poolClaims = result.claims;
  for (size_t i = 0; i < options.poolInputs.size(); ++i) {
    ScanTables otherTables;
    result.poolScan = checker.CollectPools(options.poolInputs[i], otherTables, result.poolClaims);
    if (result.poolScan != 0) {
      result.poolScanFailed = i;
      return result;
    }
    ++result.poolInputs;
  }
  ScanJob input(inputPath), output(outputPath);
  input.Start();
  output.Start();
  {
    LineSource inLines(input.Queue());
    LineSource outLines(output.Queue());
    checker.Compare(inLines, outLines, inputTables.interchanges);
  }
  input.Join();
  output.Join();
  if (input.OutOfMemory() || output.OutOfMemory()) throw std::bad_alloc();
  result.outputScan = output.Code();
  if (input.Code() != 0) result.inputScan = input.Code();  // the input changed since the first pass
  if (!result.Scanned()) return result;
  checker.Finish(input.Tables(), output.Tables());
  return result;
}

namespace {

std::string Plural(int64_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Positions(const CheckFinding& finding) {
  std::string text;
  for (size_t i = 0; i < finding.segments.size(); ++i) {
    text += (i == 0 ? "" : ", ") + std::to_string(finding.segments[i]);
  }
  if (finding.count > static_cast<int64_t>(finding.segments.size())) text += ", ...";
  return text;
}

void FindingLines(std::string& text, const std::vector<CheckFinding>& findings) {
  for (const CheckFinding& f : findings) {
    std::string label = "    " + f.kind + ": ";
    text += label + Plural(f.count, "segment", "segments") + " (" + Positions(f) + ")\n";
  }
}

std::string JsonText(const std::string& value) {
  std::string out = "\"";
  for (unsigned char c : value) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonFindings(const std::vector<CheckFinding>& findings) {
  std::string out = "[";
  for (size_t i = 0; i < findings.size(); ++i) {
    const CheckFinding& f = findings[i];
    out += i == 0 ? "" : ",";
    out += "{\"kind\":" + JsonText(f.kind) + ",\"count\":" + std::to_string(f.count) +
           ",\"segments\":[";
    for (size_t k = 0; k < f.segments.size(); ++k) {
      out += (k == 0 ? "" : ",") + std::to_string(f.segments[k]);
    }
    out += "]}";
  }
  return out + "]";
}

std::string FirstFailureText(const CheckResult& result) {
  const int first = result.FirstFailed();
  if (first < 0) return std::string();
  return std::string(CheckPointName(first)) + ": " + result.points[first].first;
}

}  // namespace

std::string CheckSummaryText(const CheckResult& result, const std::string& inputPath,
                             const std::string& outputPath) {
  std::string text;
  const int first = result.FirstFailed();
  text += first < 0 ? "Check: PASSED\n" : "Check: FAILED: " + FirstFailureText(result) + "\n";
  text += "Input:  " + inputPath + " (" + Plural(result.inputSegments, "segment", "segments") +
          ", " + Plural(result.interchanges, "interchange", "interchanges") + ", " +
          Plural(result.groups, "group", "groups") + ", " +
          Plural(result.sets, "transaction set", "transaction sets") + " of which " +
          std::to_string(result.sets835) + " 835, " + Plural(result.claims, "claim", "claims") +
          ")\n";
  text += "Output: " + outputPath + " (" + Plural(result.outputSegments, "segment", "segments") +
          ")\n";

  text += "\nIntegrity\n";
  for (int i = 0; i < kCheckPointCount; ++i) {
    const CheckPointResult& p = result.points[i];
    text += p.failures == 0 ? "  passed  " : "  FAILED  ";
    text += std::string(CheckPointName(i)) + " (" + std::to_string(p.checked) + " checked";
    if (p.failures > 0) {
      text += ", " + std::to_string(p.failures) + " failed; first: " + p.first;
    }
    text += ")\n";
  }
  if (result.setsUnbalancedInInput > 0) {
    text += "  " + Plural(result.setsUnbalancedInInput, "835 set does", "835 sets do") +
            " not balance in the input (or has no BPR): not checked for balance\n";
  }

  text += "\nPrivacy\n";
  if (result.poolInputs > 1) {
    text += "  Values were exchanged among the " + Plural(result.poolClaims, "claim", "claims") +
            " of a pool of " + std::to_string(result.poolInputs) + " inputs" +
            (result.poolClaims <= 1 ? ": no value could be exchanged with another claim" : "") +
            ".\n";
  } else if (result.claims <= 1) {
    text += "  The input holds " + Plural(result.claims, "claim", "claims") +
            ": no value could be exchanged with another claim.\n";
  } else {
    text += "  Values were exchanged among " + std::to_string(result.claims) + " claims.\n";
  }
  text += "  New member ids: " + std::to_string(result.newMemberIds) + "\n";
  if (!result.columns.empty()) {
    text += "  Values left where they were, by column (of the input's non-empty values):\n";
    for (const ColumnKept& c : result.columns) {
      text += "    " + c.column + ": " + std::to_string(c.kept) + " of " +
              std::to_string(c.values) + "\n";
    }
  }
  if (result.untouched.empty()) {
    text += "  Identifying data the run does not exchange: none found\n";
  } else {
    text += "  Identifying data the run does not exchange (left in place):\n";
    FindingLines(text, result.untouched);
  }
  if (!result.dates.empty()) {
    text += "  Dates inside claims, kept on purpose (dates of service identify too):\n";
    FindingLines(text, result.dates);
  }

  text += "\nValidity\n";
  if (result.invalid.empty()) {
    text += "  No segment left invalid by the exchange\n";
  } else {
    text += "  Segments the exchange left invalid:\n";
    FindingLines(text, result.invalid);
  }
  return text;
}

std::string CheckSummaryJson(const CheckResult& result, const std::string& inputPath,
                             const std::string& outputPath) {
  const int first = result.FirstFailed();
  std::string out = "{";
  out += "\"result\":" + std::string(first < 0 ? "\"passed\"" : "\"failed\"");
  out += ",\"firstFailure\":";
  if (first < 0) {
    out += "null";
  } else {
    out += "{\"point\":" + JsonText(CheckPointName(first)) +
           ",\"message\":" + JsonText(result.points[first].first) + "}";
  }
  out += ",\"input\":{\"path\":" + JsonText(inputPath) +
         ",\"segments\":" + std::to_string(result.inputSegments) +
         ",\"interchanges\":" + std::to_string(result.interchanges) +
         ",\"groups\":" + std::to_string(result.groups) +
         ",\"transactionSets\":" + std::to_string(result.sets) +
         ",\"sets835\":" + std::to_string(result.sets835) +
         ",\"claims\":" + std::to_string(result.claims) + "}";
  out += ",\"output\":{\"path\":" + JsonText(outputPath) +
         ",\"segments\":" + std::to_string(result.outputSegments) + "}";
  out += ",\"integrity\":[";
  for (int i = 0; i < kCheckPointCount; ++i) {
    const CheckPointResult& p = result.points[i];
    out += i == 0 ? "" : ",";
    out += "{\"point\":" + JsonText(CheckPointName(i)) +
           ",\"passed\":" + (p.failures == 0 ? "true" : "false") +
           ",\"checked\":" + std::to_string(p.checked) +
           ",\"failures\":" + std::to_string(p.failures) +
           ",\"first\":" + (p.failures == 0 ? std::string("null") : JsonText(p.first)) + "}";
  }
  out += "],\"setsNotBalancedInInput\":" + std::to_string(result.setsUnbalancedInInput);
  out += ",\"privacy\":{\"claims\":" + std::to_string(result.claims);
  if (result.poolInputs > 1) {
    out += ",\"poolInputs\":" + std::to_string(result.poolInputs) +
           ",\"poolClaims\":" + std::to_string(result.poolClaims);
  }
  out += 
         ",\"newMemberIds\":" + std::to_string(result.newMemberIds) + ",\"columns\":[";
  for (size_t i = 0; i < result.columns.size(); ++i) {
    const ColumnKept& c = result.columns[i];
    out += i == 0 ? "" : ",";
    out += "{\"column\":" + JsonText(c.column) + ",\"values\":" + std::to_string(c.values) +
           ",\"kept\":" + std::to_string(c.kept) + "}";
  }
  out += "],\"untouched\":" + JsonFindings(result.untouched) +
         ",\"dates\":" + JsonFindings(result.dates) + "}";
  out += ",\"validity\":" + JsonFindings(result.invalid);
  out += "}\n";
  return out;
}
