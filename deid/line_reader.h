// Reading the unwrapped copy line by line, and the line scanner that both
// passes of the engine share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "claim_table.h"
#include "x12scan.h"

/// Moves `file` to byte `offset`, beyond 2 GiB too; returns 0 or the error
/// number.
int32_t SeekStream(FILE* file, uint64_t offset);

/// Reads a file in large blocks and hands out its lines.  A line ends at a
/// CR; a LF right after that CR belongs to the line end, a LF anywhere else
/// is an ordinary character.  Reading stops at the end of the file or at a
/// byte 0x1A.  Lines are handed out exactly as read.
class LineReader {
 public:
  LineReader() = default;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader() { Close(); }

  /// Opens the file; returns 0 or the error number of the failed open.
  int32_t Open(const std::string& path);
  void Close();
  /// Goes on reading from byte `offset` of the file, right after Open;
  /// returns 0 or the error number of the failed move.
  int32_t SkipTo(uint64_t offset);

  /// The next line without its line end; false when there is none.  The
  /// view is valid until the next call.
  bool Next(std::string_view& line);

  /// True when the line last handed out ended in CR LF, which then follows
  /// it in memory: the line's bytes and its line end can be copied at once.
  bool LastEndedWithCrLf() const { return lastCrLf_; }
  /// True when a read error (not the end of the file) stopped the reading.
  bool ReadFailed() const { return readFailed_; }
  /// True when a byte 0x1A ended the reading before the end of the file.
  bool StoppedAtEndMark() const { return stoppedAtMark_; }
  /// Bytes of the file handed out so far, and the file's size when known.
  uint64_t Consumed() const { return consumed_; }
  uint64_t FileSize() const { return fileSize_; }

 private:
  void Fill();

  FILE* file_ = nullptr;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t end_ = 0;
  bool atEnd_ = false;
  bool readFailed_ = false;
  bool stoppedAtMark_ = false;
  bool lastCrLf_ = false;
  uint64_t consumed_ = 0;
  uint64_t fileSize_ = 0;
};

/// What a line of the unwrapped copy is to the engine.
enum class LineKind {
  kPlain,        ///< copied as read
  kIsa,          ///< an ISA line: new separator, next interchange
  kClaim,        ///< CLP inside an 835 set
  kPatient,      ///< NM1 "QC" inside an 835 set
  kInsured,      ///< NM1 "IL"
  kCorrected,    ///< NM1 "74"
  kReference,    ///< REF with one of the collected qualifiers
  // Kinds of a thorough run only.
  kOtherSubscriber,     ///< NM1 "GB"
  kServiceLine,         ///< SVC inside an 835 set: counted, copied as read
  kLineItemReference,   ///< REF "6R": the service line's own column
  kProviderAdjustment,  ///< PLB inside an 835 set: references to claims follow them
};

/// True for the kinds of line whose values a run replaces.
inline bool IsReplacedKind(LineKind kind) {
  return kind != LineKind::kPlain && kind != LineKind::kIsa && kind != LineKind::kServiceLine;
}

/// The name and member-id columns of one kind of NM1, in replacement order.
struct NameColumns {
  int last, first, middle, memberId;
};

/// The columns of a patient, insured, corrected insured or other
/// subscriber line; null for any other kind.
inline const NameColumns* NameColumnsOf(LineKind kind) {
  static constexpr NameColumns kPatient{kPatientLastName, kPatientFirstName, kPatientMiddleName,
                                        kPatientMemberId};
  static constexpr NameColumns kInsured{kInsuredLastName, kInsuredFirstName, kInsuredMiddleName,
                                        kInsuredMemberId};
  static constexpr NameColumns kCorrected{kCorrectedLastName, kCorrectedFirstName,
                                          kCorrectedMiddleName, kCorrectedMemberId};
  static constexpr NameColumns kOtherSubscriber{kOtherSubscriberLastName,
                                                kOtherSubscriberFirstName,
                                                kOtherSubscriberMiddleName,
                                                kOtherSubscriberMemberId};
  switch (kind) {
    case LineKind::kPatient: return &kPatient;
    case LineKind::kInsured: return &kInsured;
    case LineKind::kCorrected: return &kCorrected;
    case LineKind::kOtherSubscriber: return &kOtherSubscriber;
    default: return nullptr;
  }
}

/// The segment terminators of interchanges 1 to Count() of the scan's
/// table, as far as they are known: a collection that runs while the scan
/// is still filling the table works from this list.
class InterchangeTerminators {
 public:
  int32_t Count() const { return static_cast<int32_t>(list_.size()); }
  /// The terminator of interchange `number`, or of the last one known when
  /// `number` passes the end (the first for a number below 1).
  char Of(int32_t number) const {
    if (list_.empty()) return 0;
    int32_t index = number > Count() ? Count() : number;
    if (index < 1) index = 1;
    return list_[static_cast<size_t>(index) - 1];
  }
  /// Takes in the entries of `interchanges` beyond those known.
  void Extend(const InterchangeTable& interchanges) {
    for (int32_t i = Count() + 1; i <= interchanges.Count(); ++i) {
      list_.push_back(static_cast<char>(static_cast<unsigned char>(interchanges[i].terminator)));
    }
  }
  /// Takes in the entries of `other` beyond those known, up to its first
  /// `upTo` (all of them when negative).
  void Extend(const InterchangeTerminators& other, int32_t upTo = -1) {
    size_t stop = other.list_.size();
    if (upTo >= 0 && static_cast<size_t>(upTo) < stop) stop = static_cast<size_t>(upTo);
    if (stop > list_.size()) {
      list_.insert(list_.end(), other.list_.begin() + static_cast<std::ptrdiff_t>(list_.size()),
                   other.list_.begin() + static_cast<std::ptrdiff_t>(stop));
    }
  }

 private:
  std::vector<char> list_;
};

/// State of the line scanner for one pass.
struct LineScanner {
  int elementSeparator = -1;  ///< -1: none yet
  char terminator = 0;        ///< of the current interchange
  bool in835 = false;
  int64_t claimRow = 0;
  int32_t interchange = 0;
  /// A header was read and its IEA not yet.  The scan opens an interchange
  /// only where none is open, and takes an ISA segment inside an open one
  /// for an ordinary segment: so must the engine, or it would move on to the
  /// next interchange's terminator there.
  bool interchangeOpen = false;
  /// The sub-element and repetition separators of the current interchange's
  /// header (0 where the header has none: a repetition "separator" that is a
  /// letter or digit is the older standards identifier, not a delimiter).
  char subSeparator = 0;
  char repetitionSeparator = 0;
  /// The claim rows of the inputs before this one in a pool (0 for a run of
  /// one input): this input's claims take the rows after them.
  int64_t rowsBefore = 0;
  /// A thorough run: the kinds of a thorough run are told apart, and the
  /// counts below kept.
  bool thorough = false;
  /// The 835 sets met so far.
  int64_t sets835 = 0;
  /// The service lines (SVC inside 835 sets) met so far, and whether one
  /// stands since the last claim: a REF "6R" belongs to it, else to none.
  int64_t serviceRow = 0;
  bool inServiceLine = false;
  /// The PLB segments inside 835 sets met so far.
  int64_t adjustmentRow = 0;
};

/// The table row that the values of the current line belong to: the claim
/// row, or row 0 before the input's first claim (values that belong to no
/// claim), also in a pool where the row count goes on from the input
/// before.
inline int64_t TableRow(const LineScanner& scanner) {
  return scanner.claimRow > scanner.rowsBefore ? scanner.claimRow : 0;
}

/// The four delimiters the scanner stands under, as one number: values move
/// only between claims whose interchanges share all of them, so that a value
/// never carries a delimiter into an interchange where it would cut an
/// element in two.
inline uint32_t DelimiterKey(const LineScanner& scanner) {
  return static_cast<uint32_t>(static_cast<unsigned char>(scanner.elementSeparator)) |
         static_cast<uint32_t>(static_cast<unsigned char>(scanner.terminator)) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(scanner.subSeparator)) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(scanner.repetitionSeparator)) << 24;
}

/// The result of classifying one line.
struct LineClass {
  LineKind kind = LineKind::kPlain;
  int refColumn = -1;      ///< the ClaimTable column of a kReference line
  std::string_view body;   ///< the line without the terminator that ends it
};

/// Cuts `body` once into elements 0 to count-1 (fewer when it has fewer
/// pieces; the rest of `elements` is set empty).  Returns the number of
/// pieces found, at most `count`.
int CutElements(std::string_view body, int separator, std::string_view* elements, int count);

/// Room for the elements of a line that CutElements fills in, left
/// unset until then: the collection cuts millions of lines, and setting
/// an array of views empty first costs as much as a short cut.
template <int N>
struct ElementRoom {
  union {
    std::string_view at[N];
  };
  ElementRoom() {}
};

/// One element replacement: the element at `position` becomes `value`.
struct ElementChange {
  int position;
  std::string_view value;
};

/// Writes to `out` the segment with each change applied, in one pass;
/// `changes` in ascending order of position.  Positions at or beyond the
/// number of pieces are left out: no element is ever added.  The last piece
/// includes whatever ends the text (the terminator), and is replaced whole.
void ReplaceElements(std::string_view segment, int separator, const ElementChange* changes,
                     int count, std::string& out);

/// As ReplaceElements, writing to `out`, which has room for the segment's
/// size plus the sizes of all the changes' values; returns the bytes
/// written.
size_t ReplaceElementsInto(std::string_view segment, int separator, const ElementChange* changes,
                           int count, char* out);

/// As ReplaceElementsInto, where kReadAhead bytes may be read from the
/// start of every change's value (or its value is empty) and after the end
/// of `segment`, and `out` has room for kReadAhead bytes more than the
/// segment's size plus the values' sizes.
size_t ReplaceElementsIntoPadded(std::string_view segment, int separator,
                                 const ElementChange* changes, int count, char* out);

/// True when one of the `size` bytes at `p` is `a` or `b`, where kReadAhead
/// bytes may be read from `p` (which is never null).
bool HoldsEitherPadded(const char* p, size_t size, unsigned char a, unsigned char b);

/// Replaces element `position` of `segment` with `value`.  A position at or
/// beyond the number of pieces leaves the text unchanged: no element is ever
/// added.  The last piece includes whatever ends the text (the terminator).
void ReplaceElement(std::string& segment, int position, int separator, std::string_view value);

// Inline definitions: both passes call these once per line.
namespace line_detail {

// First byte `c` in [p, end), or null.  Lines and elements are short (a
// few dozen bytes), so an inline scan eight bytes at a time beats a library
// call per line or element.
inline const char* FindByte(const char* p, const char* end, unsigned char c) {
#if defined(__GNUC__) && defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  const uint64_t pattern = 0x0101010101010101ull * c;
  while (end - p >= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    const uint64_t x = word ^ pattern;
    // The lowest marked byte is the first match; higher marks may be false.
    const uint64_t marks = (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
    if (marks != 0) return p + (__builtin_ctzll(marks) >> 3);
    p += 8;
  }
#endif
  for (; p < end; ++p) {
    if (static_cast<unsigned char>(*p) == c) return p;
  }
  return nullptr;
}

inline const char* FindCr(const char* p, const char* end) { return FindByte(p, end, '\r'); }

// Copies `n` bytes, reading and writing none outside the two ranges: the
// pieces of a changed line are a few bytes each, for which a call to
// memcpy costs more than the copy.
inline void CopyBytes(char* to, const char* from, size_t n) {
  if (n >= 8 && n <= 16) {
    uint64_t head, tail;
    std::memcpy(&head, from, 8);
    std::memcpy(&tail, from + n - 8, 8);
    std::memcpy(to, &head, 8);
    std::memcpy(to + n - 8, &tail, 8);
  } else if (n >= 4 && n < 8) {
    uint32_t head, tail;
    std::memcpy(&head, from, 4);
    std::memcpy(&tail, from + n - 4, 4);
    std::memcpy(to, &head, 4);
    std::memcpy(to + n - 4, &tail, 4);
  } else if (n < 4) {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, n);
  }
}

// The bytes equal to `c` among the 16 at `p` (all of which may be read), as
// a mask: bit i for p[i].  ByteMask16 is the vector form where the target
// has one (every 64-bit x86 does), else this.
inline uint32_t ByteMask16ByteByByte(const char* p, unsigned char c) {
  uint32_t mask = 0;
  for (int i = 0; i < 16; ++i) {
    if (static_cast<unsigned char>(p[i]) == c) mask |= uint32_t{1} << i;
  }
  return mask;
}

inline uint32_t ByteMask16(const char* p, unsigned char c) {
#if defined(__SSE2__)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return static_cast<uint32_t>(
      _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(c)))));
#else
  return ByteMask16ByteByByte(p, c);
#endif
}

// The same for the 64 bytes at `p`.
inline uint64_t ByteMask64(const char* p, unsigned char c) {
  uint64_t mask = 0;
  for (int i = 0; i < 4; ++i) mask |= static_cast<uint64_t>(ByteMask16(p + 16 * i, c)) << (16 * i);
  return mask;
}

// The index of the lowest set bit of a mask that is not 0.
inline int LowestBit(uint64_t mask) {
#if defined(__GNUC__)
  return __builtin_ctzll(mask);
#else
  int bit = 0;
  while ((mask & 1) == 0) {
    mask >>= 1;
    ++bit;
  }
  return bit;
#endif
}

// Finds the CRs of a long run of text in order, 64 bytes at a time: for a
// reader that goes through every line of a large piece, much quicker than a
// search per line.
class CrFinder {
 public:
  CrFinder(const char* begin, const char* end) : chunk_(begin), end_(end) {
#if defined(__SSE2__)
    Load();
#endif
  }

  // The first CR at or after `from`, or null; `from` never goes back.
  const char* Next(const char* from) {
#if defined(__SSE2__)
    for (;;) {
      if (from >= chunk_ + 64) {
        if (chunk_ + 64 >= end_) return nullptr;
        chunk_ += 64;
        Load();
        continue;
      }
      if (from > chunk_) mask_ &= ~uint64_t{0} << (from - chunk_);
      if (mask_ != 0) return chunk_ + LowestBit(mask_);
      from = chunk_ + 64;
    }
#else
    // Without vector compares the search eight bytes at a time is quicker.
    return FindCr(from, end_);
#endif
  }

 private:
  void Load() {
    const ptrdiff_t left = end_ - chunk_;
    if (left >= 64) {
      mask_ = ByteMask64(chunk_, '\r');
    } else if (left <= 0) {
      mask_ = 0;
    } else {
      // The last, short chunk: what lies after the end is not read.
      char tail[64] = {};
      std::memcpy(tail, chunk_, static_cast<size_t>(left));
      mask_ = ByteMask64(tail, '\r');
    }
  }

  const char* chunk_;
  const char* end_;
  uint64_t mask_ = 0;
};

// True when the segment identifier (element 0) of `body` is `tag`.
inline bool TagIs(std::string_view body, int separator, const char* tag, size_t size) {
  if (body.size() < size || std::memcmp(body.data(), tag, size) != 0) return false;
  return body.size() == size || static_cast<unsigned char>(body[size]) == separator;
}

// True when element 1 of `body`, whose identifier is `tagSize` long, is
// exactly `value`.
inline bool Element1Is(std::string_view body, int separator, size_t tagSize, const char* value,
                       size_t size) {
  const size_t start = tagSize + 1;
  if (body.size() < start + size || std::memcmp(body.data() + start, value, size) != 0) {
    return false;
  }
  return body.size() == start + size ||
         static_cast<unsigned char>(body[start + size]) == separator;
}

// True when element 1 of `body`, whose identifier is `tagSize` long,
// begins with `value`.
inline bool Element1StartsWith(std::string_view body, size_t tagSize, const char* value,
                               size_t size) {
  const size_t start = tagSize + 1;
  return body.size() >= start + size && std::memcmp(body.data() + start, value, size) == 0;
}

// True when `line` is a header line of the copy: only a well-formed header
// opens an interchange, as in the scan; a segment that merely begins with
// "ISA" is an ordinary one.
inline bool IsHeaderLine(std::string_view line) {
  return line.size() >= 105 && line.compare(0, 3, "ISA") == 0 && IsValidIsa(line.data());
}

// True when `line` opens an interchange: a header line where no
// interchange is open (see LineScanner::interchangeOpen).
inline bool OpensInterchange(std::string_view line, bool interchangeOpen) {
  return !interchangeOpen && IsHeaderLine(line);
}

inline char TerminatorOf(const InterchangeTable& interchanges, int32_t number) {
  int32_t index = number;
  if (index > interchanges.Count()) index = interchanges.Count();
  if (index < 1) index = 1;
  return static_cast<char>(static_cast<unsigned char>(interchanges[index].terminator));
}

inline char TerminatorOf(const InterchangeTerminators& terminators, int32_t number) {
  return terminators.Of(number);
}

// The claim table's column of a REF qualifier; -1 for a qualifier the run
// does not collect.  A thorough run collects eight more.
inline int RefColumn(std::string_view qualifier, bool thorough = false) {
  if (qualifier.size() != 2) return -1;
  static const struct {
    const char* code;
    int column;
  } kQualifiers[] = {{"BB", kRefBB}, {"EA", kRefEA}, {"1G", kRef1G}, {"SY", kRefSY},
                     {"1L", kRef1L}, {"A6", kRefA6}, {"1W", kRef1W}, {"G3", kRefG3},
                     // thorough runs only
                     {"28", kRef28}, {"6P", kRef6P}, {"IG", kRefIG}, {"F8", kRefF8},
                     {"G1", kRefG1}, {"9A", kRef9A}, {"9C", kRef9C}, {"CE", kRefCE}};
  const size_t count = thorough ? sizeof kQualifiers / sizeof kQualifiers[0] : 8;
  for (size_t i = 0; i < count; ++i) {
    if (qualifier[0] == kQualifiers[i].code[0] && qualifier[1] == kQualifiers[i].code[1]) {
      return kQualifiers[i].column;
    }
  }
  return -1;
}

}  // namespace line_detail

inline bool LineReader::Next(std::string_view& line) {
  if (file_ == nullptr) return false;
  size_t searched = pos_;
  for (;;) {
    const char* base = buffer_.data();
    const char* found = line_detail::FindCr(base + searched, base + end_);
    if (found != nullptr) {
      size_t cr = static_cast<size_t>(found - base);
      if (cr + 1 < end_ || atEnd_) {
        line = std::string_view(base + pos_, cr - pos_);
        size_t next = cr + 1;
        lastCrLf_ = next < end_ && base[next] == '\n';
        if (lastCrLf_) ++next;
        consumed_ += next - pos_;
        pos_ = next;
        return true;
      }
    } else if (atEnd_) {
      if (pos_ == end_) return false;
      line = std::string_view(base + pos_, end_ - pos_);
      lastCrLf_ = false;
      consumed_ += end_ - pos_;
      pos_ = end_;
      return true;
    }
    // The line (or the LF that may follow its CR) goes on past the buffer.
    size_t keep = end_ - pos_;
    size_t lastCr = found != nullptr ? keep - 1 : keep;
    Fill();
    searched = pos_ + lastCr;
    if (searched > end_) searched = end_;
  }
}

/// Classifies `line` and moves the scanner on (separator, interchange,
/// 835 flag, claim row).  The terminator of interchange number k is that of
/// entry k, or of the last entry when k passes the end of the table.
/// `interchanges` is the scan's InterchangeTable or InterchangeTerminators.
template <typename Interchanges>
LineClass ClassifyLine(std::string_view line, LineScanner& scanner,
                       const Interchanges& interchanges) {
  LineClass result;
  if (line_detail::OpensInterchange(line, scanner.interchangeOpen)) {
    scanner.interchangeOpen = true;
    scanner.elementSeparator = static_cast<unsigned char>(line[3]);
    scanner.subSeparator = line[104];
    const char repetition = line[82];
    const bool alphanumeric = (repetition >= 'A' && repetition <= 'Z') ||
                              (repetition >= 'a' && repetition <= 'z') ||
                              (repetition >= '0' && repetition <= '9');
    scanner.repetitionSeparator = alphanumeric ? 0 : repetition;
    ++scanner.interchange;
    scanner.terminator = line_detail::TerminatorOf(interchanges, scanner.interchange);
    result.kind = LineKind::kIsa;
    result.body = line;
    return result;
  }
  if (scanner.interchange == 0) scanner.terminator = line_detail::TerminatorOf(interchanges, 0);
  std::string_view body = line;
  if (!body.empty() && body.back() == scanner.terminator) body.remove_suffix(1);
  result.body = body;
  if (body.empty()) return result;
  // Only ST, SE, CLP, NM1 and REF matter; most lines are turned away by
  // their first letter.
  const int sep = scanner.elementSeparator;
  switch (body[0]) {
    case 'I':
      if (line_detail::TagIs(body, sep, "IEA", 3)) scanner.interchangeOpen = false;
      break;
    case 'S':
      if (line_detail::TagIs(body, sep, "ST", 2)) {
        // The scan records the first three characters of ST01 as the set's
        // identifier and counts the claims of every set whose identifier is
        // "835"; the same rule here keeps the two claim counts equal.
        scanner.in835 = line_detail::Element1StartsWith(body, 2, "835", 3);
        if (scanner.thorough && scanner.in835) ++scanner.sets835;
      } else if (scanner.in835 && line_detail::TagIs(body, sep, "SE", 2)) {
        scanner.in835 = false;
      } else if (scanner.thorough && scanner.in835 && line_detail::TagIs(body, sep, "SVC", 3)) {
        ++scanner.serviceRow;
        scanner.inServiceLine = true;
        result.kind = LineKind::kServiceLine;
      }
      break;
    case 'C':
      if (scanner.in835 && line_detail::TagIs(body, sep, "CLP", 3)) {
        ++scanner.claimRow;
        scanner.inServiceLine = false;
        result.kind = LineKind::kClaim;
      }
      break;
    case 'N':
      if (scanner.in835 && line_detail::TagIs(body, sep, "NM1", 3)) {
        if (line_detail::Element1Is(body, sep, 3, "QC", 2)) {
          result.kind = LineKind::kPatient;
        } else if (line_detail::Element1Is(body, sep, 3, "IL", 2)) {
          result.kind = LineKind::kInsured;
        } else if (line_detail::Element1Is(body, sep, 3, "74", 2)) {
          result.kind = LineKind::kCorrected;
        } else if (scanner.thorough && line_detail::Element1Is(body, sep, 3, "GB", 2)) {
          result.kind = LineKind::kOtherSubscriber;
        }
      }
      break;
    case 'R':
      if (scanner.in835 && line_detail::TagIs(body, sep, "REF", 3)) {
        // A two-character qualifier ends at a separator or the end.
        if (body.size() >= 6 && (body.size() == 6 || static_cast<unsigned char>(body[6]) == sep)) {
          const std::string_view qualifier = body.substr(4, 2);
          result.refColumn = line_detail::RefColumn(qualifier, scanner.thorough);
          if (result.refColumn < 0 && scanner.thorough && qualifier == "6R") {
            result.kind = LineKind::kLineItemReference;
          }
        }
        if (result.refColumn >= 0) result.kind = LineKind::kReference;
      }
      break;
    case 'P':
      if (scanner.thorough && scanner.in835 && line_detail::TagIs(body, sep, "PLB", 3)) {
        ++scanner.adjustmentRow;
        result.kind = LineKind::kProviderAdjustment;
      }
      break;
    default:
      break;
  }
  return result;
}

