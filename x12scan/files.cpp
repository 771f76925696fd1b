// File access of the scanning library: whole-file reads, the input file,
// transaction-set read-back and the heap-block helpers.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "internal.h"
#include "x12scan.h"

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

struct FileCloser {
  void operator()(FILE* f) const {
    if (f != nullptr) std::fclose(f);
  }
};

bool SeekTo(FILE* f, uint64_t offset) {
#ifdef _WIN32
  return _fseeki64(f, static_cast<__int64>(offset), SEEK_SET) == 0;
#else
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// Reads up to `limit` bytes from the current position of `f`.
std::string ReadUpTo(FILE* f, uint64_t limit) {
  std::string text;
  char buffer[1 << 16];
  while (text.size() < limit) {
    const uint64_t want64 = limit - text.size();
    const size_t want = want64 < sizeof buffer ? static_cast<size_t>(want64) : sizeof buffer;
    const size_t got = std::fread(buffer, 1, want, f);
    text.append(buffer, got);
    if (got < want) break;
  }
  return text;
}

}  // namespace

#ifndef _WIN32
FILE* OpenFileShared(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}
#endif

std::string ReadWholeFile(const std::string& path) {
  std::unique_ptr<FILE, FileCloser> f(OpenFileShared(path, "rb"));
  if (!f) return std::string();
  return ReadUpTo(f.get(), UINT64_MAX);
}

std::string ReadTransactionSetText(const std::string& path, const SetEntry& set) {
  std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "rb"));
  if (!f) return std::string();
  if (!SeekTo(f.get(), EntryOffset(set.start))) return std::string();
  return ReadUpTo(f.get(), EntryOffset(set.length));
}

bool SplitTransactionSet(const std::string& path, const InterchangeEntry& interchange,
                         const SetEntry& set, std::vector<std::string>& segments) {
  const std::string text = ReadTransactionSetText(path, set);
  if (text.empty()) return true;
  const char terminator = static_cast<char>(interchange.terminator);
  size_t count = 0;
  for (char c : text) count += c == terminator ? 1 : 0;
  if (count == 0) return true;
  segments.assign(count + 1, std::string());

  // The work block starts at 8 KiB and doubles for longer segments, so a
  // segment of any length is kept whole.
  size_t capacity = 8192;
  char* block = static_cast<char*>(HeapAllocBlock(capacity));
  size_t k = 0;
  size_t fill = 0;
  bool inside = false;
  for (char c : text) {
    if (c == terminator) {
      segments[++k].assign(block, fill);
      inside = false;
      fill = 0;
      continue;
    }
    if (c == '\r' || c == '\n') continue;
    const bool startsSegment = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (startsSegment) inside = true;
    if (!inside) continue;  // bytes before a segment's first letter or digit are dropped
    if (fill == capacity) {
      block = static_cast<char*>(HeapResizeBlock(block, capacity, capacity * 2));
      capacity *= 2;
    }
    block[fill++] = c;
  }
  HeapFreeBlock(block);
  return false;
}

void* HeapAllocBlock(size_t size) {
  void* block = std::calloc(size == 0 ? 1 : size, 1);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* HeapResizeBlock(void* block, size_t oldSize, size_t newSize) {
  void* grown = std::realloc(block, newSize == 0 ? 1 : newSize);
  if (grown == nullptr) throw std::bad_alloc();
  if (newSize > oldSize) std::memset(static_cast<char*>(grown) + oldSize, 0, newSize - oldSize);
  return grown;
}

void HeapFreeBlock(void* block) { std::free(block); }

InputKind InspectInputPath(const std::string& path, uint64_t* size, bool* sizeKnown) {
  *size = 0;
  *sizeKnown = false;
#ifdef _WIN32
  // The find-first search reports the hidden and system attributes.
  struct __finddata64_t found;
  const intptr_t handle = _findfirst64(path.c_str(), &found);
  if (handle == -1) return InputKind::kMissing;
  _findclose(handle);
  if ((found.attrib & (_A_SUBDIR | _A_HIDDEN | _A_SYSTEM)) != 0) return InputKind::kMissing;
  *size = static_cast<uint64_t>(found.size);
  *sizeKnown = true;
  return InputKind::kPlainFile;
#else
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return InputKind::kMissing;
  *size = static_cast<uint64_t>(info.st_size);
  *sizeKnown = true;
  return InputKind::kPlainFile;
#endif
}

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const std::string& path, size_t windowSize) {
  return windows_.Open(path, windowSize == 0 ? kScanWindowSize : windowSize);
}

FILE* OpenCopyForWriting(const std::string& path) {
#ifndef _WIN32
  // A file that is already empty (usually the temporary file made for the
  // copy just before) is not truncated: on some file systems truncating
  // marks the file to be forced out to disk when it is closed, and a copy
  // that lives for one run has no need of that cost.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  struct stat info;
  FILE* file = nullptr;
  if (fstat(fd, &info) == 0 && (info.st_size == 0 || ftruncate(fd, 0) == 0)) {
    file = fdopen(fd, "wb");
  }
  if (file == nullptr) {
    const int error = errno;
    close(fd);
    errno = error;
  }
  return file;
#else
  return OpenFileShared(path, "wb");
#endif
}

#ifndef _WIN32
bool OpenFileSize(FILE* file, uint64_t* size) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}
#endif
