#include "rewrite.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "engine.h"
#include "line_reader.h"
#include "platform.h"

namespace {

const char kLineEnd[] = "\r\n";

// A growable run of bytes, kept from block to block.  Its memory is a
// large block straight from the system (on Linux in huge pages), so that
// filling it for the first time costs a fault per 2 MiB, not per 4 KiB.
class ByteBuffer {
 public:
  void Clear() { size_ = 0; }
  const char* Data() const { return reinterpret_cast<const char*>(data_.get()); }
  size_t Size() const { return size_; }
  void Append(const char* data, size_t size) {
    if (size == 0) return;
    if (size > data_.size() - size_) Grow(size);
    std::memcpy(data_.get() + size_, data, size);
    size_ += size;
  }
  void Append(std::string_view text) { Append(text.data(), text.size()); }
  void Put(char c) {
    if (size_ == data_.size()) Grow(1);
    data_.get()[size_++] = static_cast<unsigned char>(c);
  }
  // Room for `more` bytes after those held, which the caller writes and
  // then takes in with Commit.
  char* Reserve(size_t more) {
    if (more > data_.size() - size_) Grow(more);
    return reinterpret_cast<char*>(data_.get()) + size_;
  }
  void Commit(size_t written) { size_ += written; }
  // Room for `size` bytes, which the caller fills, and kReadAhead bytes
  // after them that may be read: what the buffer held before is gone.
  char* Prepare(size_t size) {
    size_ = 0;
    if (size + kReadAhead > data_.size()) Grow(size + kReadAhead);
    size_ = size;
    return reinterpret_cast<char*>(data_.get());
  }

 private:
  static constexpr size_t kFirstCapacity = size_t{1} << 20;
  void Grow(size_t more) {
    size_t capacity = data_.size() < kFirstCapacity ? kFirstCapacity : data_.size() * 2;
    if (capacity - size_ < more) capacity = size_ + more;
    LargeBuffer data(capacity);
    if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
  }

  LargeBuffer data_;
  size_t size_ = 0;
};

// True when `value`, a value of a claim table (or empty), holds the element
// separator or the terminator.
bool HoldsDelimiter(std::string_view value, int separator, char terminator) {
  static const char kNoBytes[kReadAhead] = {};
  const unsigned char end = static_cast<unsigned char>(terminator);
  return HoldsEitherPadded(value.data() != nullptr ? value.data() : kNoBytes, value.size(), end,
                           separator >= 0 ? static_cast<unsigned char>(separator) : end);
}

// True when the element at `position` of `line` is empty or missing (the
// terminator that may end the last one aside).
bool OriginalIsEmpty(std::string_view line, int separator, char terminator, int position) {
  std::string_view elements[10];
  if (position < 0 || position >= 10) return true;
  CutElements(line, separator, elements, position + 1);
  const std::string_view element = elements[position];
  return element.empty() || (element.size() == 1 && element[0] == terminator);
}

// One block of the copy in the making: its bytes, its output lines, its
// listing lines and its counts.
struct Block {
  ByteBuffer text;
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

// What the rewrite replaces values from: the claim table and, in a
// thorough run, the service lines' table and the resolved PLB references.
struct RewriteSources {
  const ClaimTable* table = nullptr;
  const ClaimTable* services = nullptr;
  const std::vector<AdjustmentReferences>* adjustments = nullptr;
  int64_t adjustmentCount = 0;

  // True when the line of kind `kind`, with the scanner `at` after it, has
  // the row its values come from: the collection found one for every such
  // line, so a line without one means that the copy changed since.
  bool HasRowFor(LineKind kind, const LineScanner& at) const {
    switch (kind) {
      case LineKind::kLineItemReference:
        return services != nullptr && services->HasRow(at.inServiceLine ? at.serviceRow : 0);
      case LineKind::kProviderAdjustment:
        return at.adjustmentRow >= 1 && at.adjustmentRow <= adjustmentCount;
      default:
        return table->HasRow(TableRow(at));
    }
  }
  // The references of PLB number `ordinal`, or null when it has none.
  const AdjustmentReferences* AdjustmentOf(int64_t ordinal) const {
    if (adjustments == nullptr) return nullptr;
    const auto found = std::lower_bound(
        adjustments->begin(), adjustments->end(), ordinal,
        [](const AdjustmentReferences& a, int64_t wanted) { return a.ordinal < wanted; });
    return found != adjustments->end() && found->ordinal == ordinal ? &*found : nullptr;
  }
};

// Writes the lines of one block that do not go out as read.
class BlockWriter {
 public:
  BlockWriter(const RewriteSources& sources, bool listing, Block& block)
      : sources_(sources), table_(*sources.table), listing_(listing), block_(block) {}

  // Has each row's first changed line ask for the values of the row a few
  // rows on: for a rewrite that does not know its lines in advance.
  void AskRowsAhead() { askRowsAhead_ = true; }

  // An unchanged line that needs its terminator or its CR LF.
  void Unchanged(std::string_view line, char terminator) {
    ByteBuffer& output = block_.output;
    output.Append(line);
    if (line.empty() || line.back() != terminator) output.Put(terminator);
    output.Append(kLineEnd, 2);
  }

  // A collected line of claim row `row` (inside the table), with the
  // row's reordered values.  Row 0 holds values met before the file's first
  // claim, which belong to no claim and so have nowhere to move: they are
  // written empty (a member id is a new one all the same).  A value that
  // holds the receiving interchange's element separator or terminator
  // would cut its element in two: it is written empty too.
  //
  // A REF "6R" takes its service line's value (row 0 of the service lines'
  // table when it stands before its claim's first service line: written
  // empty, as it belongs to no service line).  A PLB takes its resolved
  // references, and goes out as read when none of them changed.
  void Changed(std::string_view line, LineKind kind, int refColumn, const LineScanner& at) {
    const int separator = at.elementSeparator;
    const char terminator = at.terminator;
    if (kind == LineKind::kProviderAdjustment) {
      Adjustment(line, at);
      return;
    }
    ScrambleCounts& counts = block_.counts;
    int64_t row = TableRow(at);
    ElementChange changes[4];
    int count = 0;
    const NameColumns* columns = NameColumnsOf(kind);
    if (askRowsAhead_ && kind != LineKind::kLineItemReference && row != askedRow_) {
      table_.AskEarlyRow(row + kRowsAhead);
      askedRow_ = row;
    }
    if (kind == LineKind::kLineItemReference) {
      row = at.inServiceLine ? at.serviceRow : 0;
      if (askRowsAhead_) sources_.services->AskEarly(row + 2 * kRowsAhead, 0);
      changes[count++] = {2, sources_.services->Get(row, 0)};
      ++counts.otherChanged;
    } else if (kind == LineKind::kClaim) {
      changes[count++] = {1, table_.Get(row, kClaimSubmitterId)};
      changes[count++] = {7, table_.Get(row, kPayerClaimControlNumber)};
      ++counts.clpChanged;
    } else if (columns != nullptr) {
      changes[count++] = {3, table_.Get(row, columns->last)};
      changes[count++] = {4, table_.Get(row, columns->first)};
      changes[count++] = {5, table_.Get(row, columns->middle)};
      changes[count++] = {9, table_.Get(row, columns->memberId)};
      if (kind == LineKind::kPatient) {
        ++counts.patientChanged;
      } else if (kind == LineKind::kInsured) {
        ++counts.insuredChanged;
      } else {
        ++counts.otherChanged;
      }
    } else {
      changes[count++] = {2, table_.Get(row, refColumn)};
      ++counts.otherChanged;
    }
    for (int i = 0; i < count; ++i) {
      std::string_view& value = changes[i].value;
      const bool newMemberId = columns != nullptr && changes[i].position == 9;
      if (row == 0 && !newMemberId && !OriginalIsEmpty(line, separator, terminator, changes[i].position)) {
        value = std::string_view();
        ++counts.valuesEmptied;
      } else if (HoldsDelimiter(value, separator, terminator)) {
        value = std::string_view();
        ++counts.valuesEmptied;
      }
    }
    Write(line, separator, terminator, changes, count, true);
  }

  // Lines copied as read lie one after the other in the block's text: they
  // go out together, up to the next line that does not.
  void StartRun(const char* at) { run_ = at; }
  void EndRun(const char* upTo) { block_.output.Append(run_, static_cast<size_t>(upTo - run_)); }

 private:
  // `line` with `changes` applied goes out, ending with the terminator
  // (added where it lacks one) and CR LF, and is counted and listed.
  // With `padded`, the values are a claim table's and the line lies in the
  // block's text, so that both may be read in whole 16-byte pieces.
  void Write(std::string_view line, int separator, char terminator, const ElementChange* changes,
             int count, bool padded) {
    size_t room = line.size() + 3 + kReadAhead;
    for (int i = 0; i < count; ++i) room += changes[i].value.size();
    ByteBuffer& output = block_.output;
    char* const out = output.Reserve(room);
    size_t size = padded ? ReplaceElementsIntoPadded(line, separator, changes, count, out)
                         : ReplaceElementsInto(line, separator, changes, count, out);
    if (size == 0 || out[size - 1] != terminator) out[size++] = terminator;
    const std::string_view written(out, size);
    out[size++] = kLineEnd[0];
    out[size++] = kLineEnd[1];
    output.Commit(size);
    ++block_.counts.totalChanged;
    if (listing_) {
      ListingLine(block_.listing, "Segment in ==>", line);
      ListingLine(block_.listing, "Segment out==>", written);
      block_.listing.Append(kLineEnd, 2);
    }
  }

  // A PLB line: its references that quote a claim's number now quote the
  // claim's new one.  It counts among the other ids when one did.
  void Adjustment(std::string_view line, const LineScanner& at) {
    const AdjustmentReferences* adjustment = sources_.AdjustmentOf(at.adjustmentRow);
    if (adjustment == nullptr || !adjustment->changed) {
      Unchanged(line, at.terminator);
      return;
    }
    ElementChange changes[8];
    int count = 0;
    for (const AdjustmentReference& reference : adjustment->references) {
      if (count < 8) changes[count++] = {reference.position, reference.rewritten};
    }
    ++block_.counts.otherChanged;
    block_.counts.valuesEmptied += adjustment->emptied;
    Write(line, at.elementSeparator, at.terminator, changes, count, false);
  }

  static constexpr int64_t kRowsAhead = 4;
  const RewriteSources& sources_;
  const ClaimTable& table_;
  const bool listing_;
  bool askRowsAhead_ = false;
  Block& block_;
  int64_t askedRow_ = -1;  // the last row whose first line asked ahead
  const char* run_ = nullptr;
};

// The line at `p` (which is below `end`): its text without the line end,
// whether CR LF ends it, and where the next line starts.  A line ends at a
// CR; a LF right after it belongs to the line end.
struct Line {
  std::string_view text;
  bool crLf = false;
  const char* next = nullptr;
};
inline Line LineAt(const char* p, const char* end) {
  Line line;
  const char* cr = line_detail::FindCr(p, end);
  if (cr == nullptr) {
    line.text = std::string_view(p, static_cast<size_t>(end - p));
    line.next = end;
  } else {
    line.text = std::string_view(p, static_cast<size_t>(cr - p));
    line.crLf = cr + 1 < end && cr[1] == '\n';
    line.next = line.crLf ? cr + 2 : cr + 1;
  }
  return line;
}

inline bool GoesOutAsRead(const Line& line, char terminator) {
  return line.crLf && !line.text.empty() && line.text.back() == terminator;
}

// Rewrites the lines of `text` (whole lines, the scanner in the state
// before the first), looking at every one.  False when the text does not
// fit the table, when its collected lines are not those the collection
// marked (`marks`, `markCount`: the same kinds at the same places), or when
// it does not end at claim row `endRow` as the collection did (the copy
// changed since it was collected).
bool RewriteLines(const char* text, size_t size, LineScanner scanner,
                  const InterchangeTable& interchanges, const RewriteSources& sources,
                  const LineMark* marks, size_t markCount, int64_t endRow, BlockWriter& writer) {
  const char* p = text;
  const char* const end = text + size;
  size_t marked = 0;  // the marks met so far
  writer.AskRowsAhead();
  writer.StartRun(p);
  while (p < end) {
    const char* const lineStart = p;
    const Line line = LineAt(p, end);
    p = line.next;
    const LineClass kind = ClassifyLine(line.text, scanner, interchanges);
    if (kind.kind != LineKind::kPlain && kind.kind != LineKind::kIsa) {
      // A line of a collected kind where the collection found none, or of
      // another kind, would go out with values it was never given.
      if (marked == markCount) return false;
      const LineMark mark = marks[marked++];
      if (mark.OffsetInBlock() != static_cast<uint64_t>(lineStart - text) ||
          mark.Kind() != kind.kind || mark.RefColumn() != kind.refColumn) {
        return false;
      }
    }
    const bool changed = IsReplacedKind(kind.kind);
    // The collection found a row for every claim; a claim without one means
    // that the copy is no longer what was collected.
    if (changed && !sources.HasRowFor(kind.kind, scanner)) return false;
    if (!changed && GoesOutAsRead(line, scanner.terminator)) continue;
    writer.EndRun(lineStart);
    writer.StartRun(p);
    if (changed) {
      writer.Changed(line.text, kind.kind, kind.refColumn, scanner);
    } else {
      writer.Unchanged(line.text, scanner.terminator);
    }
  }
  writer.EndRun(end);
  // A collected line that became an ordinary one leaves a mark unmet.
  return marked == markCount && scanner.claimRow == endRow;
}

// Tells whether a line is still of the kind its mark recorded: a line
// scanner inside an 835 set of an open interchange, kept from mark to mark
// (classifying a collected line moves only its counts on; the first line
// that does not fit ends the block).
class MarkCheck {
 public:
  MarkCheck() {
    probe_.in835 = true;
    probe_.interchange = 1;
    probe_.interchangeOpen = true;
    probe_.thorough = true;  // tells every kind apart; a line of a default kind is told the same
  }
  bool StillCollected(std::string_view text, LineKind kind, int refColumn, int separator,
                      char terminator) {
    if (StartsAsCollected(text, kind, refColumn, separator, terminator)) return true;
    static const InterchangeTerminators kNone;
    probe_.elementSeparator = separator;
    probe_.terminator = terminator;
    const LineClass now = ClassifyLine(text, probe_, kNone);
    return now.kind == kind && now.refColumn == refColumn;
  }

 private:
  // True when `text` starts as only a line of `kind` can: its tag, and for
  // NM1 and REF its qualifier, each followed by the element separator.
  // Classifying the line would give the same kind then; a line this does
  // not recognize (a segment of its tag alone, say) is classified.
  static bool StartsAsCollected(std::string_view text, LineKind kind, int refColumn, int separator,
                                char terminator) {
    if (separator < 0 || static_cast<unsigned char>(terminator) == separator) return false;
    const char sep = static_cast<char>(separator);
    const char* tag = nullptr;
    const char* qualifier = nullptr;
    switch (kind) {
      case LineKind::kClaim: tag = "CLP"; break;
      case LineKind::kServiceLine: tag = "SVC"; break;
      case LineKind::kProviderAdjustment: tag = "PLB"; break;
      case LineKind::kPatient: tag = "NM1"; qualifier = "QC"; break;
      case LineKind::kInsured: tag = "NM1"; qualifier = "IL"; break;
      case LineKind::kCorrected: tag = "NM1"; qualifier = "74"; break;
      case LineKind::kOtherSubscriber: tag = "NM1"; qualifier = "GB"; break;
      case LineKind::kLineItemReference: tag = "REF"; qualifier = "6R"; break;
      case LineKind::kReference: tag = "REF"; break;
      default: return false;
    }
    if (text.size() < 4 || std::memcmp(text.data(), tag, 3) != 0 || text[3] != sep) return false;
    if (kind == LineKind::kReference) {
      return text.size() >= 7 && text[6] == sep &&
             line_detail::RefColumn(text.substr(4, 2), true) == refColumn;
    }
    if (qualifier == nullptr) return true;
    return text.size() >= 7 && text[4] == qualifier[0] && text[5] == qualifier[1] && text[6] == sep;
  }

  LineScanner probe_;
};

// Asks for the values that the marked lines a little further on will
// write, so that they are on their way from memory when their lines come
// (the values of neighbouring rows lie scattered once reordered).  It walks
// the marks ahead of the rewrite, moving the rows on as the rewrite does.
// It asks in batches, the values of kMarksAhead marks one right after the
// other: asks spread out between the lines' work held the rewrite up at
// each ask in turn (most of them seem to wait for an address translation,
// which the processor works on only a few at a time), while asks made
// together are worked on side by side.
class MarksAhead {
 public:
  MarksAhead(const char* text, size_t size, const LineMark* marks, size_t count,
             const LineScanner& start, const RewriteSources& sources)
      : text_(text), size_(size), marks_(marks), count_(count), at_(start), sources_(sources) {}

  // Called with every mark `k` in turn: at each kMarksAhead-th, asks for
  // the values of the marks up to `k` + 2 kMarksAhead.
  void Through(size_t k) {
    if (k % kMarksAhead != 0) return;
    const size_t stop = k + 2 * kMarksAhead < count_ ? k + 2 * kMarksAhead : count_;
    for (; next_ < stop; ++next_) {
      const LineMark mark = marks_[next_];
      const LineKind kind = mark.Kind();
      // The line itself: read from the copy a while ago, it has left the
      // nearest caches by the time it comes.
      if (mark.OffsetInBlock() < size_) AskForLine(text_ + mark.OffsetInBlock());
      switch (kind) {
        case LineKind::kClaim:
          ++at_.claimRow;
          at_.inServiceLine = false;
          // Once per cache line of handles, those of the rows a line on.
          if ((at_.claimRow & 15) == 0) sources_.table->AskEarlyHandles(TableRow(at_) + 32);
          Ask(kClaimSubmitterId);
          Ask(kPayerClaimControlNumber);
          break;
        case LineKind::kServiceLine:
          ++at_.serviceRow;
          at_.inServiceLine = true;
          break;
        case LineKind::kProviderAdjustment:
        case LineKind::kPlain:
        case LineKind::kIsa:
          break;
        case LineKind::kLineItemReference:
          if (sources_.services != nullptr) {
            sources_.services->AskEarly(at_.inServiceLine ? at_.serviceRow : 0, 0);
          }
          break;
        case LineKind::kReference:
          Ask(mark.RefColumn());
          break;
        default:
          if (const NameColumns* columns = NameColumnsOf(kind)) {
            Ask(columns->last);
            Ask(columns->first);
            Ask(columns->middle);
            Ask(columns->memberId);
          }
          break;
      }
    }
  }

 private:
  // About sixteen claims' changed lines.
  static constexpr size_t kMarksAhead = 64;
  void Ask(int column) const { sources_.table->AskEarly(TableRow(at_), column); }

  static void AskForLine(const char* line) {
#if defined(__GNUC__)
    __builtin_prefetch(line);
    asm volatile("");
#else
    (void)line;
#endif
  }

  const char* text_;
  size_t size_;
  const LineMark* marks_;
  size_t count_;
  size_t next_ = 0;
  LineScanner at_;
  const RewriteSources& sources_;
};

// Rewrites a plain block, whose other lines all go out as read, from the
// marks of its collected lines alone.  Every mark is checked against the
// text before it is used: false when one no longer fits (the copy changed
// since it was collected), and nothing of the block is to be written.
bool RewriteMarked(const char* text, size_t size, const CopyBlockStart& start,
                   const LineMark* marks, size_t count, const RewriteSources& sources,
                   BlockWriter& writer) {
  const char* const end = text + size;
  // The scanner's rows and delimiters as the marked lines move them on (a
  // plain block holds no header line).
  LineScanner at = start.scanner;
  const char* done = text;  // the end of the last line rewritten
  MarkCheck check;
  MarksAhead ahead(text, size, marks, count, start.scanner, sources);
  writer.StartRun(text);
  for (size_t k = 0; k < count; ++k) {
    ahead.Through(k);
    const LineMark mark = marks[k];
    if (mark.OffsetInBlock() >= size) return false;
    const char* const lineStart = text + mark.OffsetInBlock();
    if (lineStart < done) return false;
    const LineKind kind = mark.Kind();
    if (kind == LineKind::kClaim) {
      ++at.claimRow;
      at.inServiceLine = false;
    } else if (kind == LineKind::kServiceLine) {
      ++at.serviceRow;
      at.inServiceLine = true;
    } else if (kind == LineKind::kProviderAdjustment) {
      ++at.adjustmentRow;
    }
    const Line line = LineAt(lineStart, end);
    if (!check.StillCollected(line.text, kind, mark.RefColumn(), at.elementSeparator, at.terminator)) {
      return false;
    }
    if (kind == LineKind::kServiceLine) continue;  // goes out as read, in the run
    if (!sources.HasRowFor(kind, at)) return false;
    writer.EndRun(lineStart);
    writer.StartRun(line.next);
    writer.Changed(line.text, kind, mark.RefColumn(), at);
    done = line.next;
  }
  writer.EndRun(end);
  return true;
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
  // What work or done threw (memory ran out): everything stops, and it is
  // thrown here once the helpers are joined.
  std::exception_ptr failure;
  auto fail = [&] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = std::current_exception();
      next = count;
    }
    changed.notify_all();
  };
  auto helper = [&] {
    for (;;) {
      size_t i;
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return next >= count || next < consumed + kSlots; });
        if (next >= count) return;
        i = next++;
      }
      try {
        work(i, i % kSlots);
      } catch (...) {
        fail();
        return;
      }
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
      changed.wait(lock, [&] { return ready[i % kSlots] == i || failure; });
      if (failure) break;
    }
    try {
      done(i, i % kSlots);
    } catch (...) {
      fail();
      break;
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      ready[i % kSlots] = SIZE_MAX;
      consumed = i + 1;
    }
    changed.notify_all();
  }
  for (int k = 0; k < started; ++k) helpers[k].join();
  if (failure) std::rethrow_exception(failure);
}

// Reads the bytes [offset, offset + size) of a file that several threads
// share.
class SharedReader {
 public:
  explicit SharedReader(FILE* file) : file_(file) {}
  int32_t Read(uint64_t offset, size_t size, ByteBuffer& into) {
    char* const bytes = into.Prepare(size);
    if (size == 0) return 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (int32_t error = SeekStream(file_, offset)) return error;
    errno = 0;
    const size_t got = std::fread(bytes, 1, size, file_);
    if (got != size) return ErrnoCode(errno != 0 ? errno : EIO);  // shorter than when it was collected
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
  std::unique_ptr<FILE, int (*)(FILE*)> file(OpenFileShared(input.copyPath, "rb"),
                                             &std::fclose);
  if (file == nullptr) return ErrnoCode(errno != 0 ? errno : ENOENT);
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  SharedReader reader(file.get());

  RewriteSources sources;
  sources.table = input.table;
  sources.services = input.services;
  sources.adjustments = input.adjustments;
  sources.adjustmentCount = input.adjustmentCount;
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
    // What was read is not read again: its cached pages can take the
    // output's lines instead of fresh memory.
    if (input.copy != nullptr) input.copy->Discard(begin, size);
    if (block.readError != 0) {
      size_t known = firstFailed.load();
      while (i < known && !firstFailed.compare_exchange_weak(known, i)) {
      }
      return;
    }
    BlockWriter writer(sources, listing != nullptr, block);
    const CopyBlockStart& start = starts[i];
    bool fits;
    if (start.plain) {
      fits = RewriteMarked(block.text.Data(), block.text.Size(), start, start.marks,
                           start.markCount, sources, writer);
    } else {
      const int64_t endRow =
          i + 1 < starts.size() ? starts[i + 1].scanner.claimRow : input.endClaimRow;
      fits = RewriteLines(block.text.Data(), block.text.Size(), start.scanner,
                          *input.interchanges, sources, start.marks, start.markCount, endRow,
                          writer);
    }
    if (!fits) block.readError = kRefusedCopyChanged;
    if (block.readError != 0) {
      size_t known = firstFailed.load();
      while (i < known && !firstFailed.compare_exchange_weak(known, i)) {
      }
    }
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
    counts.valuesEmptied += block.counts.valuesEmptied;
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
  return error;
}
