// The file scan: one forward pass over the input that follows the envelope of
// every interchange, fills the four tables and writes the unwrapped copy.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "internal.h"
#include "x12scan.h"

namespace {

constexpr uint64_t kLargestFile = (uint64_t{1} << 32) - 1;

// Buffers the unwrapped copy and hands it to the sink in large pieces.
class CopyWriter {
 public:
  explicit CopyWriter(CopySink* sink) : sink_(sink) {
    if (sink_ != nullptr) buffer_.reserve(kChunk + 256);
  }
  CopyWriter(const CopyWriter&) = delete;
  CopyWriter& operator=(const CopyWriter&) = delete;
  ~CopyWriter() { Flush(); }

  bool active() const { return sink_ != nullptr; }
  void Put(const char* data, size_t size) {
    if (sink_ == nullptr) return;
    if (buffer_.size() + size > kChunk) {
      Flush();
      if (size > kChunk) {
        sink_->Write(data, size);
        return;
      }
    }
    buffer_.append(data, size);
  }
  void Flush() {
    if (sink_ != nullptr && !buffer_.empty()) sink_->Write(buffer_.data(), buffer_.size());
    buffer_.clear();
  }

 private:
  static constexpr size_t kChunk = 1 << 20;
  CopySink* sink_;
  std::string buffer_;
};

// Writes the copy to a file; remembers the first write error.
class FileCopySink : public CopySink {
 public:
  explicit FileCopySink(FILE* file) : file_(file) {}
  void Write(const char* data, size_t size) override {
    if (error_ == 0 && std::fwrite(data, 1, size, file_) != size) error_ = errno != 0 ? errno : EIO;
  }
  int32_t Close() {
    if (std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
    return error_;
  }

 private:
  FILE* file_;
  int32_t error_ = 0;
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

bool TagIs(const char* tag, size_t tagLength, const char* known) {
  return std::strlen(known) == tagLength && std::memcmp(tag, known, tagLength) == 0;
}

// State of one scan; see ScanX12Buffer.
class Scanner {
 public:
  Scanner(const char* text, size_t size, CopySink* copy, InterchangeTable& interchanges,
          Ta1Table& ta1s, GroupTable& groups, SetTable& sets, const ProgressTarget& progress)
      : text_(text), size_(size), copy_(copy), interchanges_(interchanges), ta1s_(ta1s),
        groups_(groups), sets_(sets), progress_(progress) {}

  int32_t Run() {
    int32_t result = kScanOk;
    while (pos_ < size_) {
      ReportProgress();
      if (!inInterchange_) {
        SearchHeader();
      } else if (!ReadSegment()) {
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

  void SearchHeader() {
    while (pos_ < size_) {
      const char* at = text_ + pos_;
      const size_t remaining = size_ - pos_;
      if (remaining < 3 || at[0] != 'I' || at[1] != 'S' || at[2] != 'A') {
        // Jump to the next "I"; nothing before it can start a header.
        const void* next = std::memchr(at + 1, 'I', remaining - 1);
        pos_ = next != nullptr ? static_cast<size_t>(static_cast<const char*>(next) - text_) : size_;
        continue;
      }
      if (remaining <= kIsaLength) {
        pos_ = size_;
        return;
      }
      char header[kIsaLength + 1];
      const int occupied = AcceptIsaHeader(at, remaining, header);
      if (occupied == 0) {
        ++pos_;
        continue;
      }
      OpenInterchange(header, static_cast<size_t>(occupied));
      return;
    }
  }

  void OpenInterchange(const char* header, size_t occupied) {
    const size_t start = pos_;
    elementSeparator_ = header[3];
    terminator_ = text_[start + occupied];
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

  void WriteLine(const char* data, size_t size) {
    if (!copy_.active()) return;
    copy_.Put(data, size);
    copy_.Put(&terminator_, 1);
    copy_.Put(lineEnd_, lineEndLength_);
  }

  // Reads the next segment of the open interchange.  False when the text
  // ends where a segment should begin.
  bool ReadSegment() {
    while (pos_ < size_ && !StartsSegment(text_[pos_])) ++pos_;
    const size_t start = pos_;
    const char* begin = text_ + start;
    const size_t available = size_ - start;
    const void* found = std::memchr(begin, terminator_, available);
    const size_t rawLength =
        found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - begin) : available;
    pos_ = start + rawLength + (found != nullptr ? 1 : 0);
    if (rawLength == 0) {
      // Either the text ended, or a terminator stands where the segment's
      // first character should be: no segment at all.
      return false;
    }

    // Line breaks inside the segment are not part of its text.
    const char* segment = begin;
    size_t length = rawLength;
    if (std::memchr(begin, '\r', rawLength) != nullptr || std::memchr(begin, '\n', rawLength) != nullptr) {
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

    const void* separator = std::memchr(segment, elementSeparator_, length);
    const size_t tagLength =
        separator != nullptr ? static_cast<size_t>(static_cast<const char*>(separator) - segment) : length;
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
    if (TagIs(tag, tagLength, "IEA")) {
      Split(segment, length);
      inInterchange_ = false;
      interchange.length = AsEntryNumber(end - EntryOffset(interchange.start));
      interchange.ieaGroupCount = NumberOf(1);
    } else if (TagIs(tag, tagLength, "TA1")) {
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
    } else if (TagIs(tag, tagLength, "GS")) {
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
    } else if (TagIs(tag, tagLength, "GE")) {
      Split(segment, length);
      ++interchange.groupsClosed;
      if (groupsMade_ > 0) {
        GroupEntry& group = groups_[groupsMade_];
        group.length = AsEntryNumber(end - EntryOffset(group.start));
        ClearElements(elements_, elementCount_, 1);
        group.geSetCount = NumberOf(1);
      }
      inGroup_ = false;
    } else if (TagIs(tag, tagLength, "ST")) {
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
    } else if (TagIs(tag, tagLength, "SE")) {
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

  const char* text_;
  size_t size_;
  size_t pos_ = 0;
  CopyWriter copy_;
  InterchangeTable& interchanges_;
  Ta1Table& ta1s_;
  GroupTable& groups_;
  SetTable& sets_;
  const ProgressTarget& progress_;
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
  return Scanner(text, size, copy, interchanges, ta1s, groups, sets, progress).Run();
}

int32_t ScanX12File(const std::string& inputPath, const std::string& copyPath,
                    const std::string& /*reserved*/, InterchangeTable& interchanges,
                    Ta1Table& ta1s, GroupTable& groups, SetTable& sets,
                    const ProgressTarget& progress, int32_t* copyError) {
  if (copyError != nullptr) *copyError = 0;
  uint64_t size = 0;
  bool sizeKnown = false;
  if (InspectInputPath(inputPath, &size, &sizeKnown) == InputKind::kMissing) return kScanNotFound;
  if (sizeKnown && size > kLargestFile) return kScanTooLarge;
  InputFile input;
  if (!input.Open(inputPath)) return kScanCantOpen;
  if (input.size() > kLargestFile) return kScanTooLarge;
  if (input.size() < kIsaLength) return kScanTooSmall;

  if (copyPath.empty()) {
    return ScanX12Buffer(input.data(), input.size(), nullptr, interchanges, ta1s, groups, sets, progress);
  }
  FILE* file = std::fopen(copyPath.c_str(), "wb");
  if (file == nullptr) {
    // The scan does not depend on its copy; the caller learns of the failure.
    if (copyError != nullptr) *copyError = errno != 0 ? errno : EIO;
    return ScanX12Buffer(input.data(), input.size(), nullptr, interchanges, ta1s, groups, sets, progress);
  }
  FileCopySink sink(file);
  const int32_t result =
      ScanX12Buffer(input.data(), input.size(), &sink, interchanges, ta1s, groups, sets, progress);
  const int32_t error = sink.Close();
  if (copyError != nullptr) *copyError = error;
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
    default: return std::string();
  }
}

std::string ScanLibraryVersion() { return "3.1.1"; }
