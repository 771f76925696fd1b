// X12 scanning library: finds the interchanges of an X12 file, learns each
// interchange's delimiters from its ISA header, records the envelope (ISA/IEA,
// TA1, GS/GE, ST/SE) in four caller-owned tables and writes the "unwrapped
// copy": one segment per line, each line ending in its segment terminator and
// a line end.
//
// The library keeps no state between calls, never prints and never throws
// (apart from std::bad_alloc when memory runs out).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

/// Scan result codes; ScanErrorText gives their messages.
enum ScanResult : int32_t {
  kScanOk = 0,
  kScanNoInterchange = 101,
  kScanCantOpen = 102,
  kScanTooSmall = 103,
  kScanNotFound = 104,
  kScanUnexpectedEnd = 105,
  kScanTooLarge = 106,
  kScanInputChanged = 107,  ///< the file was cut short, grew or could not be read while scanned
};

/// One accepted ISA header and the interchange it opens.
///
/// Offsets and lengths are byte counts into the input file.  Files up to
/// 4 GiB - 1 bytes are accepted, so a reader takes `start` and `length` as
/// unsigned 32-bit values (see EntryOffset).
struct InterchangeEntry {
  int32_t start;          ///< offset of the "I" of "ISA"
  int32_t length;         ///< bytes from start through the IEA's terminator; 0 until the IEA
  char isaText[106];      ///< the 105 header characters, line breaks removed, NUL-terminated
  int32_t terminator;     ///< segment terminator, character code 0..255
  int32_t groupsClosed;   ///< GE segments read in this interchange
  int32_t ieaGroupCount;  ///< IEA01
  int32_t firstGroup;     ///< group-table index of the first GS; 0 if none
  int32_t segmentCount;   ///< segments read, ISA and IEA included
  int32_t ta1Count;       ///< TA1 segments in this interchange
  int32_t firstTa1;       ///< TA1-table index of the first TA1; 0 if none
};

/// One TA1 acknowledgment. Text fields are fixed width, padded with spaces.
struct Ta1Entry {
  char controlNumber[10];  ///< TA101, 9 characters
  char date[7];            ///< TA102, 6 characters
  char time[5];            ///< TA103, 4 characters
  char ackCode[2];         ///< TA104, 1 character
  char noteCode[4];        ///< TA105, 3 characters
  int32_t segmentNumber;   ///< position among the interchange's segments (ISA = 1)
};

/// One GS segment and the functional group it opens.
struct GroupEntry {
  int32_t interchange;    ///< interchange-table index holding the GS
  int32_t start;          ///< offset of the "G" of GS
  int32_t segmentNumber;  ///< position among the interchange's segments (ISA = 1)
  int32_t length;         ///< bytes from start through the GE's terminator; 0 until a GE
  int32_t setsClosed;     ///< SE segments read while this was the latest group
  int32_t geSetCount;     ///< GE01
  int32_t firstSet;       ///< set-table index of the first ST after this GS; 0 if none
  int32_t segmentCount;   ///< segments from the GS through the GE
  char functionalId[3];   ///< GS01, at most 2 characters
  char senderCode[16];    ///< GS02, at most 15
  char receiverCode[16];  ///< GS03, at most 15
  char date[9];           ///< GS04, at most 8
  char time[9];           ///< GS05, at most 8
  int32_t controlNumber;  ///< GS06
  char agencyCode[3];     ///< GS07, at most 2
  char version[13];       ///< GS08, at most 12
};

/// One ST segment and the transaction set it opens.
struct SetEntry {
  int32_t interchange;     ///< interchange-table index
  int32_t group;           ///< latest group-table index when the ST was read; 0 if none
  int32_t start;           ///< offset of the "S" of ST
  int32_t segmentNumber;   ///< position among the group's segments (GS = 1)
  char setId[4];           ///< ST01, at most 3 characters
  int32_t length;          ///< bytes from start through the SE's terminator; 0 until an SE
  int32_t segmentCount;    ///< segments from the ST through the SE
  int32_t seSegmentCount;  ///< SE01
  int32_t controlNumber;   ///< ST02
  char loopTag1[4];        ///< first counted loop-start tag
  int32_t loopCount1;      ///< segments with tag loopTag1 inside the set
  char loopTag2[4];        ///< second counted loop-start tag
  int32_t loopCount2;      ///< segments with tag loopTag2 inside the set
};

/// A 1-based table of plain records.  A new table holds exactly one zeroed
/// entry, index 1; Grow adds one zeroed entry and keeps the others.
template <typename T>
class EntryTable {
 public:
  EntryTable() : items_(1, T{}) {}

  /// Number of entries (at least 1).
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  /// Entry i, 1 <= i <= Count().  Callers check the index first.
  T& operator[](int32_t i) { return items_[static_cast<size_t>(i) - 1]; }
  const T& operator[](int32_t i) const { return items_[static_cast<size_t>(i) - 1]; }
  /// True when i names an entry of the table.
  bool Has(int32_t i) const { return i >= 1 && i <= Count(); }
  /// Appends one zeroed entry.
  void Grow() { items_.push_back(T{}); }
  /// Back to the state of a new table: one zeroed entry.
  void Reset() { items_.assign(1, T{}); }

 private:
  std::vector<T> items_;
};

using InterchangeTable = EntryTable<InterchangeEntry>;
using Ta1Table = EntryTable<Ta1Entry>;
using GroupTable = EntryTable<GroupEntry>;
using SetTable = EntryTable<SetEntry>;

/// Where the scan reports its progress.  A `window` of 0 switches reporting
/// off.  Otherwise `step` is called once each time the whole percentage of
/// the input read changes (at most 100 times a scan); the Windows program
/// backs it with progress-bar step messages built from the four values, the
/// command-line tool with a callback that prints the percentage.
struct ProgressTarget {
  intptr_t window = 0;
  int32_t useDialogControl = 0;
  intptr_t dialog = 0;
  int32_t controlId = 0;
  void (*step)(const ProgressTarget& target, int percent) = nullptr;
  void* context = nullptr;
};

/// The scan's scratch table of segment elements: slot 0 the tag, slot k the
/// k-th element.
struct ElementTable {
  static constexpr int kSlots = 51;
  std::string slot[kSlots];
};

/// Receives the unwrapped copy written by ScanX12Buffer.
struct CopySink {
  virtual ~CopySink() = default;
  virtual void Write(const char* data, size_t size) = 0;
};

/// Looks at the unwrapped copy as ScanX12File writes it, on a thread of its
/// own where one can be had.  For every piece of the copy, in order,
/// Handing is called on the scan's thread as the piece is written (the
/// tables then hold what the scan has found so far, the piece included),
/// and Written on the helper thread once the piece is in the file (or
/// failed to get there).  The piece is valid only during that call.
/// Without a helper thread both are called on the scan's thread, one right
/// after the other.  Waiting is called on the helper thread when it has
/// no piece to be shown and would wait for the next one: the tee may do a
/// small piece of work of its own meanwhile, and returns whether it has
/// more; it is called again (while no piece has come) until it has none.
struct CopyTee {
  virtual ~CopyTee() = default;
  virtual void Handing() = 0;
  virtual void Written(const char* data, size_t size) = 0;
  virtual bool Waiting() { return false; }
};

/// Scans `inputPath` and fills the four tables (which the caller passes in
/// freshly made); writes the unwrapped copy to `copyPath` unless it is empty.
/// `reserved` is not read.  Returns one of the ScanResult codes.
///
/// The result does not depend on the copy.  A copy that could not be created
/// or completely written is reported through `copyError` (0, or the errno of
/// the failure), so that a caller never works from a truncated copy unawares.
/// When the copy file is open, `tee` (if given) receives every piece of the
/// copy, in order, so that a caller can work on the copy while the scan
/// goes on (see CopyTee).
///
/// A file cut short, grown or unreadable while it is scanned gives
/// kScanInputChanged (the tables and the copy then describe no file), never
/// a crash: the part lost to a cut is read as zeros.  The input is read in
/// windows of kScanWindowSize bytes, never held whole (and never mapped, so
/// a file cut short raises no SIGBUS).
int32_t ScanX12File(const std::string& inputPath, const std::string& copyPath,
                    const std::string& reserved, InterchangeTable& interchanges,
                    Ta1Table& ta1s, GroupTable& groups, SetTable& sets,
                    const ProgressTarget& progress, int32_t* copyError = nullptr,
                    CopyTee* tee = nullptr);

/// Bytes of the input that the scan holds at a time: it reads the input in
/// windows of this size.
constexpr size_t kScanWindowSize = size_t{1} << 20;

/// Scans `inputPath` as ScanX12File does, but hands the unwrapped copy to
/// `copy` (on the calling thread, in pieces of about a megabyte, each valid
/// only during its call) instead of writing it to a file.  The input is
/// read in windows, so that memory stays small whatever the file's size.
/// `windowSize` 0 reads windows of kScanWindowSize bytes; any other size
/// windows of that many bytes, with the same results.  Returns one of the
/// ScanResult codes (kScanInputChanged, as ScanX12File, for a file that
/// changed under the scan: then the pieces handed over describe no file).
int32_t ScanX12FileToSink(const std::string& inputPath, CopySink& copy,
                          InterchangeTable& interchanges, Ta1Table& ta1s, GroupTable& groups,
                          SetTable& sets, const ProgressTarget& progress, size_t windowSize = 0);

/// The scan proper over text held in memory, from preparation step 4 on
/// (the too-small check) to the end.  `copy` may be null.  ScanX12File
/// reads the file in windows instead; tests and fuzzers call this directly.
int32_t ScanX12Buffer(const char* text, size_t size, CopySink* copy,
                      InterchangeTable& interchanges, Ta1Table& ta1s,
                      GroupTable& groups, SetTable& sets,
                      const ProgressTarget& progress);

/// Message of a scan result code; empty text for an unknown code.
std::string ScanErrorText(int32_t code);

/// The library's version, "3.1.1".
std::string ScanLibraryVersion();

/// Whole content of a file read as bytes; empty text when it cannot be opened.
std::string ReadWholeFile(const std::string& path);

/// Opens a file as std::fopen does with `mode` ("rb", "wb", "r+b", ...);
/// null with errno set on failure.  On Windows the file is opened letting
/// others read, write and delete it meanwhile: a file that is held open to
/// be deleted when closed (as the run's temporary files are) opens only so.
FILE* OpenFileShared(const std::string& path, const char* mode);

/// The bytes of a transaction set (`start`, `length` of the entry), fewer if
/// the file ends first; empty text when the file cannot be opened.
std::string ReadTransactionSetText(const std::string& path, const SetEntry& set);

/// Fills `segments` with slots 0..n: slot 0 empty, slots 1..n the set's
/// segments without terminators and line breaks.  Returns false on success,
/// true on failure (unreadable file, or no terminator in the set's text).
bool SplitTransactionSet(const std::string& path, const InterchangeEntry& interchange,
                         const SetEntry& set, std::vector<std::string>& segments);

/// True when the first 105 characters of `text` form a well-formed ISA header.
/// `text` must hold at least 105 characters.
bool IsValidIsa(const char* text);

/// Cuts `segment` at every `separator` into `elements`; returns the number
/// of separators.  Slot 0 receives the tag; at most slots 0..50 are written.
int32_t SplitElements(const std::string& segment, char separator, ElementTable& elements);

/// Empties slots count+1 .. upper of `elements`.
void ClearElements(ElementTable& elements, int32_t count, int32_t upper);

/// Sets loopTag1/loopTag2 of `set` from its setId.  Returns true for a set
/// identifier with no known loop tags (both left empty), false otherwise.
bool SetLoopTags(SetEntry& set);

/// Converts an X12 numeric element: leading spaces, optional sign, decimal
/// digits with an optional fraction; rounded to the nearest integer (halves
/// to even) and saturated to the 32-bit range.  0 for text that is no number.
int32_t X12Number(const char* text, size_t size);

/// A table offset or length as the unsigned byte count it stands for.
inline uint32_t EntryOffset(int32_t value) { return static_cast<uint32_t>(value); }

/// Heap blocks: zero-filled allocation, resize with zero-filled growth, and
/// release.  A failed allocation throws std::bad_alloc.
void* HeapAllocBlock(size_t size);
void* HeapResizeBlock(void* block, size_t oldSize, size_t newSize);
void HeapFreeBlock(void* block);
