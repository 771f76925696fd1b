// Reading a file through a buffer of one window: the input reading of the
// platforms that do not map a file whole, and of tests that want the
// window's edges to fall anywhere.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "x12scan.h"

namespace {

bool SeekStreamTo(FILE* file, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

}  // namespace

bool WindowedReader::Open(const std::string& path, size_t windowSize) {
  Close();
  if (windowSize == 0) return false;
  file_ = OpenFileShared(path, "rb");
  if (file_ == nullptr) return false;
  // Reads go straight into the window's buffer.
  std::setvbuf(file_, nullptr, _IONBF, 0);
  uint64_t size = 0;
  if (!OpenFileSize(file_, &size) || size == 0 || static_cast<size_t>(size) != size) {
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  size_ = static_cast<size_t>(size);
  // A buffer larger than the file would hold nothing more.
  windowSize_ = windowSize < size_ ? windowSize : size_;
  if (windowSize_ > SIZE_MAX - kWindowOverlap) windowSize_ = SIZE_MAX - kWindowOverlap;
  buffer_.reset(new char[kWindowOverlap + windowSize_]);
  start_ = 0;
  length_ = 0;
  filePosition_ = 0;
  lost_ = false;
  return true;
}

const char* WindowedReader::Window(size_t offset, size_t* start, size_t* length) {
  const size_t end = start_ + length_;
  if (offset < start_ || offset >= end) {
    // The window after the current one keeps the current one's last bytes;
    // any other jump starts afresh at `offset`.
    const size_t keep = offset == end ? (length_ < kWindowOverlap ? length_ : kWindowOverlap) : 0;
    Fill(end - keep, offset);
  }
  *start = start_;
  *length = length_;
  return buffer_.get();
}

void WindowedReader::Fill(size_t keepFrom, size_t offset) {
  const size_t keep = offset - keepFrom;
  if (keep > 0) std::memmove(buffer_.get(), buffer_.get() + (keepFrom - start_), keep);
  start_ = keepFrom;
  const size_t remaining = size_ - offset;
  const size_t want = remaining < windowSize_ ? remaining : windowSize_;
  char* into = buffer_.get() + keep;
  size_t got = 0;
  // Once a part is lost, the rest is not read: the scan runs on over zeros
  // only to reach its end, and its result will be refused.
  if (!lost_ && (filePosition_ == offset || SeekStreamTo(file_, offset))) {
    got = std::fread(into, 1, want, file_);
    filePosition_ = offset + got;
  }
  if (got < want) {
    std::memset(into + got, 0, want - got);
    lost_ = true;
  }
  length_ = keep + want;
}

bool WindowedReader::Close() {
  if (file_ == nullptr) return true;
  bool whole = !lost_;
  uint64_t size = 0;
  if (!OpenFileSize(file_, &size) || size != size_) whole = false;
  std::fclose(file_);
  file_ = nullptr;
  buffer_.reset();
  size_ = windowSize_ = start_ = length_ = 0;
  filePosition_ = 0;
  lost_ = false;
  return whole;
}
