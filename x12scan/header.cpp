// ISA header recognition, delimiters, element splitting and the envelope
// element conversions.
#include <cstring>

#include "internal.h"
#include "x12scan.h"

namespace {

// Positions of the ISA header that must repeat the element separator found
// at position 3, in the order they are compared.
constexpr int kSeparatorPositions[] = {6, 17, 20, 31, 34, 50, 53, 69, 76, 81, 83, 89, 99, 101, 103};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

struct LoopTags {
  int32_t setId;
  const char* tag1;
  const char* tag2;
};

// The two segment tags counted inside each kind of transaction set.
constexpr LoopTags kLoopTags[] = {
    {850, "PO1", ""},  {856, "HL", "LIN"}, {810, "IT1", "SAC"},
    {835, "CLP", "SVC"}, {837, "CLM", "LX"}, {997, "AK2", "AK3"},
};

}  // namespace

bool IsValidIsa(const char* text) {
  if (text[0] != 'I' || text[1] != 'S' || text[2] != 'A') return false;
  const char separator = text[3];
  for (int position : kSeparatorPositions) {
    if (text[position] != separator) return false;
  }
  return text[104] != separator;
}

// True when a delimiter of the header is a line break: the copy, one
// segment per line, cannot hold such an interchange (the line reader would
// cut its segments at every delimiter), so the header is not accepted.
bool HasLineBreakDelimiter(const char* header) {
  for (size_t position : {size_t{3}, size_t{82}, size_t{104}}) {
    if (header[position] == '\r' || header[position] == '\n') return true;
  }
  return false;
}

int AcceptIsaHeader(const char* text, size_t remaining, char* header) {
  if (remaining < kIsaLength + 1) return 0;
  if (IsValidIsa(text)) {
    if (HasLineBreakDelimiter(text)) return 0;
    std::memcpy(header, text, kIsaLength);
    header[kIsaLength] = '\0';
    // A line break that stands in a field's padding would cut the header's
    // line of the copy in two (the engine reads the copy line by line): it
    // becomes a space, as the padding it replaces.  Delimiter positions are
    // left alone.
    for (size_t i = 4; i < kIsaLength - 1; ++i) {
      if ((header[i] != '\r' && header[i] != '\n') || i == 82) continue;
      bool delimiter = false;
      for (int position : kSeparatorPositions) delimiter = delimiter || static_cast<size_t>(position) == i;
      if (!delimiter) header[i] = ' ';
    }
    return kIsaLength;
  }
  // A header that a line break has cut in two: drop the CR and LF bytes of
  // the next 107 characters and fit what is left to 105.
  constexpr size_t kWrappedLength = kIsaLength + 2;
  if (remaining < kWrappedLength + 1) return 0;
  size_t kept = 0;
  for (size_t i = 0; i < kWrappedLength && kept < kIsaLength; ++i) {
    if (text[i] != '\r' && text[i] != '\n') header[kept++] = text[i];
  }
  while (kept < kIsaLength) header[kept++] = ' ';
  header[kIsaLength] = '\0';
  return IsValidIsa(header) && !HasLineBreakDelimiter(header) ? static_cast<int>(kWrappedLength) : 0;
}

int32_t SplitElements(const std::string& segment, char separator, ElementTable& elements) {
  const char* data = segment.data();
  const size_t size = segment.size();
  int32_t separators = 0;
  size_t fieldStart = 0;
  int slot = 0;
  for (size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != separator) continue;
    if (slot < ElementTable::kSlots) elements.slot[slot].assign(data + fieldStart, i - fieldStart);
    ++slot;
    fieldStart = i + 1;
    if (i < size) ++separators;
  }
  // The slot just after the last field reads as empty, like any field beyond the end.
  if (slot < ElementTable::kSlots) elements.slot[slot].clear();
  return separators;
}

void ClearElements(ElementTable& elements, int32_t count, int32_t upper) {
  if (upper > ElementTable::kSlots - 1) upper = ElementTable::kSlots - 1;
  for (int32_t k = count + 1; k <= upper; ++k) {
    if (k >= 0) elements.slot[k].clear();
  }
}

int32_t X12Number(const char* text, size_t size) {
  size_t i = 0;
  while (i < size && text[i] == ' ') ++i;
  bool negative = false;
  if (i < size && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Anything at or above this is beyond the 32-bit range and saturates.
  constexpr uint64_t kBeyond = uint64_t{1} << 33;
  uint64_t whole = 0;
  bool anyDigit = false;
  for (; i < size && IsDigit(text[i]); ++i) {
    anyDigit = true;
    if (whole < kBeyond) whole = whole * 10 + static_cast<uint64_t>(text[i] - '0');
  }
  int firstFraction = -1;
  bool restNonZero = false;
  if (i < size && text[i] == '.') {
    ++i;
    if (i < size && IsDigit(text[i])) {
      anyDigit = true;
      firstFraction = text[i] - '0';
      for (++i; i < size && IsDigit(text[i]); ++i) {
        if (text[i] != '0') restNonZero = true;
      }
    }
  }
  if (!anyDigit) return 0;
  // Round to nearest, halves to even.
  if (firstFraction > 5 || (firstFraction == 5 && (restNonZero || (whole & 1) != 0))) ++whole;
  if (negative) {
    return whole >= uint64_t{1} << 31 ? INT32_MIN : -static_cast<int32_t>(whole);
  }
  return whole > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(whole);
}

bool SetLoopTags(SetEntry& set) {
  const int32_t id = X12Number(set.setId, std::strlen(set.setId));
  set.loopTag1[0] = '\0';
  set.loopTag2[0] = '\0';
  for (const LoopTags& tags : kLoopTags) {
    if (tags.setId == id) {
      std::strcpy(set.loopTag1, tags.tag1);
      std::strcpy(set.loopTag2, tags.tag2);
      return false;
    }
  }
  return true;
}

void CopyCut(char* field, size_t maxChars, const std::string& value) {
  const size_t n = value.size() < maxChars ? value.size() : maxChars;
  std::memcpy(field, value.data(), n);
  field[n] = '\0';
}

void CopyPadded(char* field, size_t width, const std::string& value) {
  const size_t n = value.size() < width ? value.size() : width;
  std::memcpy(field, value.data(), n);
  std::memset(field + n, ' ', width - n);
  field[width] = '\0';
}
