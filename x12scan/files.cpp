// File access of the scanning library: whole-file reads, the input mapping,
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
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
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

#ifndef _WIN32
// The guard of mapped inputs against a file cut short under its mapping:
// reading a mapped page that lies wholly past the end of the file raises
// SIGBUS.  While at least one input is mapped, a handler looks whether the
// faulting address lies in a guarded mapping; if so it maps zero pages over
// the rest of that mapping, so that the read sees zeros when it is retried,
// and marks the mapping as damaged.  Any other SIGBUS goes to the
// disposition that was in force before.
constexpr int kGuardSlots = 16;

struct GuardSlot {
  std::atomic<uintptr_t> begin{0};  // 0 while the slot is free
  std::atomic<uintptr_t> end{0};    // the mapping's end, rounded up to a whole page
  std::atomic<int> damaged{0};
};

GuardSlot gGuards[kGuardSlots];
std::mutex gGuardLock;  // taken to fill and free slots, never by the handler
int gGuardUsers = 0;
struct sigaction gEarlierBusAction;
std::atomic<uintptr_t> gPageSize{4096};

void OnBusError(int signalNumber, siginfo_t* info, void*) {
  // A positive code comes with a fault; 0 and below with a signal sent by
  // kill, raise or sigqueue.
  if (info->si_code > 0) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (GuardSlot& slot : gGuards) {
      const uintptr_t begin = slot.begin.load(std::memory_order_acquire);
      const uintptr_t end = slot.end.load(std::memory_order_relaxed);
      if (begin == 0 || address < begin || address >= end) continue;
      const uintptr_t page = address & ~(gPageSize.load(std::memory_order_relaxed) - 1);
      void* zeros = mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
      if (zeros == MAP_FAILED) break;
      slot.damaged.store(1, std::memory_order_relaxed);
      return;
    }
  }
  // Not a guarded mapping's fault: the earlier disposition takes it.  A
  // fault recurs by itself when the instruction is retried on return; a
  // sent signal is sent again, and arrives once this handler has returned.
  sigaction(SIGBUS, &gEarlierBusAction, nullptr);
  if (info->si_code <= 0) raise(signalNumber);
}

// Guards the mapping at `data`; returns its slot, or -1 when the guard could
// not be set up (then the mapping must not be read).
int GuardMapping(const void* data, size_t size) {
  std::lock_guard<std::mutex> lock(gGuardLock);
  int free = -1;
  for (int i = 0; i < kGuardSlots && free < 0; ++i) {
    if (gGuards[i].begin.load(std::memory_order_relaxed) == 0) free = i;
  }
  if (free < 0) return -1;
  if (gGuardUsers == 0) {
    gPageSize.store(static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)), std::memory_order_relaxed);
    struct sigaction action {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGBUS, &action, &gEarlierBusAction) != 0) return -1;
  }
  ++gGuardUsers;
  const uintptr_t page = gPageSize.load(std::memory_order_relaxed);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(data);
  GuardSlot& slot = gGuards[free];
  slot.end.store((begin + size + page - 1) / page * page, std::memory_order_relaxed);
  slot.damaged.store(0, std::memory_order_relaxed);
  slot.begin.store(begin, std::memory_order_release);
  return free;
}

// Ends the guard of a slot, before its mapping goes; true when part of the
// mapping was lost.  The last guard gives SIGBUS back to the earlier
// disposition.
bool UnguardMapping(int index) {
  std::lock_guard<std::mutex> lock(gGuardLock);
  GuardSlot& slot = gGuards[index];
  const bool damaged = slot.damaged.load(std::memory_order_relaxed) != 0;
  slot.begin.store(0, std::memory_order_release);
  if (--gGuardUsers == 0) sigaction(SIGBUS, &gEarlierBusAction, nullptr);
  return damaged;
}
#endif

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

bool InputFile::Close() {
  bool whole = true;
  if (windowed_) {
    whole = windows_.Close();
    windowed_ = false;
  }
#ifndef _WIN32
  if (mapped_) {
    // The guard ends first: once unmapped, the addresses may be given to
    // another mapping, which the guard must not touch.
    if (guardSlot_ >= 0 && UnguardMapping(guardSlot_)) whole = false;
    guardSlot_ = -1;
    munmap(const_cast<char*>(data_), size_);
    mapped_ = false;
  }
  if (fd_ >= 0) {
    struct stat info;
    if (fstat(fd_, &info) != 0 || static_cast<uint64_t>(info.st_size) != size_) whole = false;
    close(fd_);
    fd_ = -1;
  }
#endif
  data_ = nullptr;
  size_ = 0;
  released_ = 0;
  mappedAhead_ = 0;
  copy_.clear();
  return whole;
}

void InputFile::ReleaseBefore(size_t offset) {
#ifndef _WIN32
  if (!mapped_) return;
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t end = offset < size_ ? offset / page * page : size_;
  if (end <= released_) return;
  madvise(const_cast<char*>(data_) + released_, end - released_, MADV_DONTNEED);
  released_ = end;
#else
  (void)offset;
#endif
}

void InputFile::MapAhead(size_t offset) {
#if !defined(_WIN32) && defined(MADV_POPULATE_READ)
  if (!mapped_) return;
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t end = offset < size_ ? offset / page * page : size_;
  const size_t begin = mappedAhead_ > released_ ? mappedAhead_ : released_;
  if (end <= begin) return;
  // A file cut short meanwhile makes this fail, and the read itself then
  // meets the loss as it would have without it.
  madvise(const_cast<char*>(data_) + begin, end - begin, MADV_POPULATE_READ);
  mappedAhead_ = end;
#else
  (void)offset;
#endif
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

const char* InputFile::Window(size_t offset, size_t* start, size_t* length) {
  if (windowed_) return windows_.Window(offset, start, length);
  *start = 0;
  *length = size_;
  return data_;
}

bool InputFile::Open(const std::string& path, size_t windowSize) {
#ifdef _WIN32
  // No whole mapping here: a 32-bit process could not hold a large file.
  if (windowSize == 0) windowSize = kScanWindowSize;
#endif
  if (windowSize > 0) {
    windowed_ = windows_.Open(path, windowSize);
    return windowed_;
  }
#ifndef _WIN32
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    const size_t size = static_cast<size_t>(info.st_size);
    void* view = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (view != MAP_FAILED) {
      const int slot = GuardMapping(view, size);
      if (slot >= 0) {
        madvise(view, size, MADV_SEQUENTIAL);
        data_ = static_cast<const char*>(view);
        size_ = size;
        mapped_ = true;
        guardSlot_ = slot;
        fd_ = fd;
        return true;
      }
      munmap(view, size);  // unguarded, it is read as a copy instead
    }
  }
  close(fd);
#endif
  copy_ = ReadWholeFile(path);
  data_ = copy_.data();
  size_ = copy_.size();
  return !copy_.empty();
}

#ifndef _WIN32
bool OpenFileSize(FILE* file, uint64_t* size) {
  struct stat info;
  if (fstat(fileno(file), &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}
#endif
