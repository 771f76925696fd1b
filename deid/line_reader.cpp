#include "line_reader.h"

#include <cerrno>
#include <cstring>

#include "platform.h"

namespace {

constexpr size_t kBlockSize = size_t{4} << 20;

}  // namespace

int32_t LineReader::Open(const std::string& path) {
  Close();
  errno = 0;
  file_ = path.empty() ? nullptr : OpenFileShared(path, "rb");
  if (file_ == nullptr) {
    int32_t code = errno != 0 ? errno : ENOENT;
    return code;
  }
  // Blocks go straight into our own buffer.
  std::setvbuf(file_, nullptr, _IONBF, 0);
  // The size, for the progress of a pass; files pass 2 GiB.
  fileSize_ = 0;
#if defined(_WIN32)
  if (_fseeki64(file_, 0, SEEK_END) == 0) {
    const __int64 size = _ftelli64(file_);
    if (size > 0) fileSize_ = static_cast<uint64_t>(size);
    _fseeki64(file_, 0, SEEK_SET);
  }
#else
  if (fseeko(file_, 0, SEEK_END) == 0) {
    const off_t size = ftello(file_);
    if (size > 0) fileSize_ = static_cast<uint64_t>(size);
    fseeko(file_, 0, SEEK_SET);
  }
#endif
  buffer_.resize(kBlockSize);
  pos_ = end_ = 0;
  atEnd_ = readFailed_ = stoppedAtMark_ = false;
  consumed_ = 0;
  return 0;
}

int32_t SeekStream(FILE* file, uint64_t offset) {
  errno = 0;
#if defined(_WIN32)
  const int failed = _fseeki64(file, static_cast<__int64>(offset), SEEK_SET);
#else
  const int failed = fseeko(file, static_cast<off_t>(offset), SEEK_SET);
#endif
  return failed == 0 ? 0 : ErrnoCode(errno != 0 ? errno : EIO);
}

int32_t LineReader::SkipTo(uint64_t offset) {
  if (file_ == nullptr) return EBADF;
  if (int32_t error = SeekStream(file_, offset)) return error;
  pos_ = end_ = 0;
  atEnd_ = false;
  consumed_ = offset;
  return 0;
}

void LineReader::Close() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  atEnd_ = true;
}

void LineReader::Fill() {
  if (pos_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);  // a line longer than a block
  size_t got = std::fread(buffer_.data() + end_, 1, buffer_.size() - end_, file_);
  if (got == 0) {
    if (std::ferror(file_)) readFailed_ = true;
    atEnd_ = true;
    return;
  }
  const void* stop = std::memchr(buffer_.data() + end_, 0x1A, got);
  if (stop != nullptr) {
    got = static_cast<size_t>(static_cast<const char*>(stop) - (buffer_.data() + end_));
    atEnd_ = true;
    stoppedAtMark_ = true;
  }
  end_ += got;
}

int CutElements(std::string_view body, int separator, std::string_view* elements, int count) {
  int found = 0;
  if (count > 0) {
    if (separator < 0) {
      elements[found++] = body;
    } else {
      const unsigned char sep = static_cast<unsigned char>(separator);
      const char* const end = body.data() + body.size();
      const char* start = body.data();
      // The separators of 16 bytes at a time, as a mask.  The last few
      // bytes are looked at in the 16 that end the body, or in a copy of a
      // body shorter than that: nothing after the body is read.
      for (const char* chunk = body.data(); chunk < end && found < count; chunk += 16) {
        uint32_t mask;
        const size_t left = static_cast<size_t>(end - chunk);
        if (left >= 16) {
          mask = line_detail::ByteMask16(chunk, sep);
        } else if (body.size() >= 16) {
          mask = line_detail::ByteMask16(end - 16, sep) >> (16 - left);
        } else {
          char tail[16];
          std::memcpy(tail, chunk, left);
          mask = line_detail::ByteMask16(tail, sep) & ((uint32_t{1} << left) - 1);
        }
        while (mask != 0 && found < count) {
          const char* const stop = chunk + line_detail::LowestBit(mask);
          mask &= mask - 1;
          elements[found++] = std::string_view(start, static_cast<size_t>(stop - start));
          start = stop + 1;
        }
      }
      if (found < count) {
        elements[found++] = std::string_view(start, static_cast<size_t>(end - start));
      }
    }
  }
  for (int i = found; i < count; ++i) elements[i] = std::string_view();
  return found;
}

namespace {

// Zero bytes for an empty value's 16-byte load.
const char kNoBytes[kReadAhead] = {};

// Copies a piece of `n` bytes; with `kPadded`, a piece of up to 16 bytes
// as 16 whole bytes (both sides have the room).
template <bool kPadded>
inline void CopyPiece(char* to, const char* from, size_t n) {
  if (kPadded && n <= kReadAhead) {
    std::memcpy(to, from, kReadAhead);
  } else {
    line_detail::CopyBytes(to, from, n);
  }
}

template <bool kPadded>
size_t ReplaceInto(std::string_view segment, int separator, const ElementChange* changes, int count,
                   char* out) {
  if (separator < 0) {  // one piece only
    const std::string_view whole =
        count > 0 && changes[0].position == 0 ? changes[0].value : segment;
    if (!whole.empty()) std::memcpy(out, whole.data(), whole.size());
    return whole.size();
  }
  if (count == 0) {
    if (!segment.empty()) std::memcpy(out, segment.data(), segment.size());
    return segment.size();
  }
  // The elements up to the last change found at once (in room on the stack
  // for the positions segments use); the text between two changed elements
  // goes out in one piece.
  constexpr int kRoomPositions = 16;
  const int wanted = changes[count - 1].position + 1;
  ElementRoom<kRoomPositions> room;
  std::vector<std::string_view> more;
  std::string_view* elements = room.at;
  if (wanted > kRoomPositions) {
    more.resize(static_cast<size_t>(wanted));
    elements = more.data();
  }
  const int found = wanted > 0 ? CutElements(segment, separator, elements, wanted) : 0;
  char* write = out;
  const char* p = segment.data();
  const char* const end = p + segment.size();
  int done = -1;  // the position of the last change applied
  for (int i = 0; i < count; ++i) {
    const int at = changes[i].position;
    if (at <= done || at < 0) continue;  // a position given twice takes the first
    if (at >= found) break;             // no element is ever added
    const char* const start = elements[at].data();
    CopyPiece<kPadded>(write, p, static_cast<size_t>(start - p));
    write += start - p;
    // An emptied value may be a view of nothing at all.
    const std::string_view value = changes[i].value;
    CopyPiece<kPadded>(write, kPadded && value.data() == nullptr ? kNoBytes : value.data(),
                       value.size());
    write += value.size();
    p = start + elements[at].size();
    done = at;
  }
  CopyPiece<kPadded>(write, p, static_cast<size_t>(end - p));
  write += end - p;
  return static_cast<size_t>(write - out);
}

}  // namespace

size_t ReplaceElementsInto(std::string_view segment, int separator, const ElementChange* changes,
                           int count, char* out) {
  return ReplaceInto<false>(segment, separator, changes, count, out);
}

size_t ReplaceElementsIntoPadded(std::string_view segment, int separator,
                                 const ElementChange* changes, int count, char* out) {
  return ReplaceInto<true>(segment, separator, changes, count, out);
}

bool HoldsEitherPadded(const char* p, size_t size, unsigned char a, unsigned char b) {
  uint32_t hits = 0;
  size_t at = 0;
  for (; size - at > kReadAhead; at += kReadAhead) {
    hits |= line_detail::ByteMask16(p + at, a) | line_detail::ByteMask16(p + at, b);
  }
  // The last 1 to 16 bytes (none of an empty value), looked at among 16.
  const uint32_t last = line_detail::ByteMask16(p + at, a) | line_detail::ByteMask16(p + at, b);
  return (hits | (last & ((uint32_t{1} << (size - at)) - 1))) != 0;
}

void ReplaceElements(std::string_view segment, int separator, const ElementChange* changes,
                     int count, std::string& out) {
  size_t room = segment.size();
  for (int i = 0; i < count; ++i) room += changes[i].value.size();
  out.resize(room);
  out.resize(ReplaceElementsInto(segment, separator, changes, count, &out[0]));
}

void ReplaceElement(std::string& segment, int position, int separator, std::string_view value) {
  if (position < 0) return;
  const ElementChange change{position, value};
  std::string out;
  ReplaceElements(segment, separator, &change, 1, out);
  segment.swap(out);
}
