// POSIX versions of the file-system services in platform.h.
#include "platform.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string TempFolder() {
  const char* dir = std::getenv("TMPDIR");
  std::string folder = (dir != nullptr && dir[0] != '\0') ? dir : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Six characters for a unique name; uniqueness itself comes from O_EXCL.
std::string UniqueSuffix() {
  static unsigned counter = 0;
  static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  struct timespec now {};
  clock_gettime(CLOCK_REALTIME, &now);
  unsigned long long mix = static_cast<unsigned long long>(now.tv_nsec) ^
                           (static_cast<unsigned long long>(getpid()) << 20) ^
                           (static_cast<unsigned long long>(++counter) * 0x9E3779B97F4A7C15ull);
  std::string suffix;
  for (int i = 0; i < 6; ++i) {
    suffix += kChars[mix % 62];
    mix /= 62;
  }
  return suffix;
}

// Registry of temporary files for the signal handler.  Fixed slots of plain
// characters so that the handler touches nothing but these bytes and unlink.
constexpr int kTempSlots = 16;
constexpr size_t kTempPathMax = 4096;
char gTempPaths[kTempSlots][kTempPathMax];
volatile sig_atomic_t gTempUsed[kTempSlots];

const int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Holds off the cleanup signals for its lifetime, so that a file is never
// created without being registered.
class SignalBlock {
 public:
  SignalBlock() {
    sigset_t block;
    sigemptyset(&block);
    for (int signalNumber : kCleanupSignals) sigaddset(&block, signalNumber);
    pthread_sigmask(SIG_BLOCK, &block, &old_);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  SignalBlock(const SignalBlock&) = delete;
  SignalBlock& operator=(const SignalBlock&) = delete;

 private:
  sigset_t old_;
};

void DeleteRegisteredAndDie(int signalNumber) {
  for (int i = 0; i < kTempSlots; ++i) {
    if (gTempUsed[i]) unlink(gTempPaths[i]);
  }
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

// A name under which this process opens the file of descriptor `fd` anew,
// with a file position of its own.
std::string DescriptorPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

// True when `path` reaches the very file of descriptor `fd` (the system
// has /proc).
bool ReachesDescriptor(const std::string& path, int fd) {
  struct stat byPath {}, byDescriptor {};
  return stat(path.c_str(), &byPath) == 0 && fstat(fd, &byDescriptor) == 0 &&
         byPath.st_dev == byDescriptor.st_dev && byPath.st_ino == byDescriptor.st_ino;
}

// Outputs made without a name: the descriptor that keeps each one after its
// stream is closed, until it is linked into place or let go of.  As many as
// the run makes: a pool holds every output until all are complete.
std::mutex gUnnamedMutex;
std::vector<int> gUnnamed;

bool KeepUnnamed(int fd) {
  std::lock_guard<std::mutex> lock(gUnnamedMutex);
  for (int& slot : gUnnamed) {
    if (slot < 0) {
      slot = fd;
      return true;
    }
  }
  try {
    gUnnamed.push_back(fd);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// The kept descriptor that `path` reaches, taken out of the list; -1 when
// `path` is no unnamed output.
int TakeUnnamed(const std::string& path) {
  std::lock_guard<std::mutex> lock(gUnnamedMutex);
  for (int& slot : gUnnamed) {
    if (slot >= 0 && path == DescriptorPath(slot)) {
      const int fd = slot;
      slot = -1;
      return fd;
    }
  }
  return -1;
}

// Creates the output's temporary file in `folder` without a name
// (O_TMPFILE), or returns null where the system or the file system cannot.
FILE* CreateUnnamedOutput(const std::string& folder, mode_t mode, std::string& tempPath) {
#ifdef O_TMPFILE
  const int fd = open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd < 0) return nullptr;
  const int keep = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  FILE* stream = nullptr;
  if (keep >= 0 && ReachesDescriptor(DescriptorPath(keep), keep) && KeepUnnamed(keep)) {
    stream = fdopen(fd, "wb");
    if (stream == nullptr) TakeUnnamed(DescriptorPath(keep));
  }
  if (stream == nullptr) {
    close(fd);
    if (keep >= 0) close(keep);
    return nullptr;
  }
  tempPath = DescriptorPath(keep);
  return stream;
#else
  (void)folder;
  (void)mode;
  (void)tempPath;
  return nullptr;
#endif
}

// Gives the unnamed file of descriptor `keep` (reached as `from`) the name
// `to`, replacing what is there in one step: a link under a fresh name
// beside it, then the rename.  Closes `keep`.
int32_t LinkUnnamedOver(int keep, const std::string& from, const std::string& to) {
  int32_t code = EEXIST;
  for (int attempt = 0; attempt < 100 && code == EEXIST; ++attempt) {
    const std::string candidate = FolderOf(to) + "/.~sc" + UniqueSuffix() + ".tmp";
    SignalBlock block;  // an interrupt comes before the link or after the rename
    if (linkat(AT_FDCWD, from.c_str(), AT_FDCWD, candidate.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      code = errno;
      continue;
    }
    code = rename(candidate.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (code != 0) unlink(candidate.c_str());
  }
  close(keep);
  return code;
}

}  // namespace

int32_t MakeTempFileName(const std::string& prefix, std::string& path) {
  std::string name = TempFolder() + "/" + prefix.substr(0, 3) + "XXXXXX";
  std::string buffer = name;
  SignalBlock block;
  // mkstemp creates the file exclusively with mode 0600.
  int fd = mkstemp(&buffer[0]);
  if (fd < 0) return errno != 0 ? errno : EIO;
  close(fd);
  RegisterTempFile(buffer);
  path = buffer;
  return 0;
}

int32_t CreatePrivateTempFile(const std::string& prefix, PrivateTempFile& file) {
  std::string name = TempFolder() + "/" + prefix.substr(0, 3) + "XXXXXX";
  SignalBlock block;
  // mkostemp creates the file exclusively with mode 0600.
  const int fd = mkostemp(&name[0], O_CLOEXEC);
  if (fd < 0) return errno != 0 ? errno : EIO;
  PrivateTempFile made;
  made.handle = fd;
  made.path = DescriptorPath(fd);
  if (!ReachesDescriptor(made.path, fd) || unlink(name.c_str()) != 0) {
    made.path = name;
    made.named = true;
    RegisterTempFile(name);
  }
  file = made;
  return 0;
}

void ClosePrivateTempFile(PrivateTempFile& file) {
  if (file.named) {
    unlink(file.path.c_str());
    ForgetTempFile(file.path);
  }
  if (file.handle >= 0) close(static_cast<int>(file.handle));
  file = PrivateTempFile();
}

void DiscardFileRange(const PrivateTempFile& file, uint64_t offset, uint64_t size) {
#if defined(__linux__) && defined(FALLOC_FL_PUNCH_HOLE)
  if (file.handle < 0 || size == 0) return;
  if (offset > static_cast<uint64_t>(INT64_MAX) || size > static_cast<uint64_t>(INT64_MAX) - offset) return;
  // A file system without holes refuses; the bytes then stay until the file goes.
  (void)fallocate(static_cast<int>(file.handle), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                  static_cast<off_t>(offset), static_cast<off_t>(size));
#else
  (void)file;
  (void)offset;
  (void)size;
#endif
}

int32_t RemoveFile(const std::string& path) {
  if (path.empty()) return 0;
  const int unnamed = TakeUnnamed(path);
  if (unnamed >= 0) return close(unnamed) == 0 ? 0 : errno;
  if (unlink(path.c_str()) != 0 && errno != ENOENT) return errno;
  return 0;
}

bool IsRegularFile(const std::string& path) { return InputFileProblem(path).empty(); }

std::string InputFileProblem(const std::string& path) {
  struct stat info {};
  if (path.empty()) return std::strerror(ENOENT);
  if (stat(path.c_str(), &info) != 0) return std::strerror(errno);
  if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(info.st_mode)) return "not a regular file";
  return std::string();
}

std::string FolderProblem(const std::string& path) {
  struct stat info {};
  if (path.empty()) return std::strerror(ENOENT);
  if (stat(path.c_str(), &info) != 0) return std::strerror(errno);
  if (!S_ISDIR(info.st_mode)) return std::strerror(ENOTDIR);
  return std::string();
}

bool IsUsableOutputPath(const std::string& path) { return OutputPathProblem(path).empty(); }

std::string OutputPathProblem(const std::string& path) {
  if (path.empty()) return std::strerror(ENOENT);
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISREG(info.st_mode)) return std::string();
    return S_ISDIR(info.st_mode) ? std::strerror(EISDIR) : "not a regular file";
  }
  // Nothing of that name (or a dangling link): try to create it.  O_EXCL
  // makes sure that the file deleted below is the one made here.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return std::strerror(errno);
  close(fd);
  unlink(path.c_str());
  return std::string();
}

bool IsSameFile(const std::string& a, const std::string& b) {
  struct stat first {}, second {};
  if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0) return false;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

namespace {

// Creates the output's temporary file in `folder` under a fresh name,
// registered for deletion on an interrupt.  Returns 0 with `stream` open for
// writing, or an error code.
int32_t CreateNamedOutput(const std::string& folder, mode_t mode, std::string& tempPath,
                          FILE** stream) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = folder + "/.~sc" + UniqueSuffix() + ".tmp";
    SignalBlock block;
    int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    *stream = fdopen(fd, "wb");
    if (*stream == nullptr) {
      int32_t code = errno;
      close(fd);
      unlink(candidate.c_str());
      return code;
    }
    // A name that an interrupt would not delete is refused: the registry
    // is full (a pool of many outputs where the folder's file system makes
    // no unnamed files).
    if (!RegisterTempFile(candidate)) {
      std::fclose(*stream);
      *stream = nullptr;
      unlink(candidate.c_str());
      return EMFILE;
    }
    tempPath = candidate;
    return 0;
  }
  return EEXIST;
}

// CreateOutputTempFile and CreateReportTempFile: the temporary file has the
// output's usual permissions, or is the owner's alone.
int32_t CreateTempBeside(const std::string& outputPath, std::string& tempPath,
                         std::string& targetPath, FILE** file, bool ownerOnly) {
  *file = nullptr;
  if (outputPath.empty()) return ENOENT;
  std::string target = outputPath;
  mode_t mode = ownerOnly ? 0600 : 0666;  // narrowed by the umask, as for any new file
  struct stat info {};
  if (stat(outputPath.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) return EISDIR;
    if (access(outputPath.c_str(), W_OK) != 0) return errno;
    // Replace the file a link points to, not the link.
    char resolved[PATH_MAX];
    if (realpath(outputPath.c_str(), resolved) == nullptr) return errno;
    target = resolved;
    if (!ownerOnly) mode = info.st_mode & 07777;
  }
  const std::string folder = FolderOf(target);
  std::string made;
  FILE* stream = CreateUnnamedOutput(folder, mode, made);
  if (stream == nullptr) {
    if (int32_t code = CreateNamedOutput(folder, mode, made, &stream)) return code;
  }
  // Exactly 0600, whatever the umask took away.
  if (ownerOnly && fchmod(fileno(stream), 0600) != 0) {
    const int32_t code = errno;
    std::fclose(stream);
    RemoveFile(made);
    ForgetTempFile(made);
    return code;
  }
  tempPath = made;
  targetPath = target;
  *file = stream;
  return 0;
}

// The path with its folder resolved (links, ".", "..", repeated slashes)
// and its last name as written; empty when the folder cannot be resolved.
std::string ResolvedPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  char resolved[PATH_MAX];
  if (name.empty() || name == "." || name == "..") {
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
  }
  if (realpath(FolderOf(path).c_str(), resolved) == nullptr) return std::string();
  std::string folder = resolved;
  if (folder.back() != '/') folder += '/';
  return folder + name;
}

}  // namespace

int32_t CreateOutputTempFile(const std::string& outputPath, std::string& tempPath,
                             std::string& targetPath, FILE** file) {
  return CreateTempBeside(outputPath, tempPath, targetPath, file, false);
}

int32_t CreateReportTempFile(const std::string& reportPath, std::string& tempPath,
                             std::string& targetPath, FILE** file) {
  return CreateTempBeside(reportPath, tempPath, targetPath, file, true);
}

bool IsSamePath(const std::string& a, const std::string& b) {
  if (a == b || IsSameFile(a, b)) return true;
  const std::string first = ResolvedPath(a);
  return !first.empty() && first == ResolvedPath(b);
}

int32_t MoveFileReplacing(const std::string& from, const std::string& to) {
  const int unnamed = TakeUnnamed(from);
  if (unnamed >= 0) return LinkUnnamedOver(unnamed, from, to);
  if (rename(from.c_str(), to.c_str()) != 0) return errno;
  return 0;
}

std::string PlatformErrorText(int32_t code) { return std::strerror(code); }

int32_t ErrnoCode(int errnoValue) { return errnoValue; }

bool RegisterTempFile(const std::string& path) {
  if (path.empty() || path.size() >= kTempPathMax) return false;
  for (int i = 0; i < kTempSlots; ++i) {
    if (gTempUsed[i]) continue;
    std::memcpy(gTempPaths[i], path.c_str(), path.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    gTempUsed[i] = 1;
    return true;
  }
  return false;
}

void ForgetTempFile(const std::string& path) {
  for (int i = 0; i < kTempSlots; ++i) {
    if (gTempUsed[i] && path == gTempPaths[i]) gTempUsed[i] = 0;
  }
}

void DeleteRegisteredTempFiles() {
  for (int i = 0; i < kTempSlots; ++i) {
    if (!gTempUsed[i]) continue;
    unlink(gTempPaths[i]);
    gTempUsed[i] = 0;
  }
  std::lock_guard<std::mutex> lock(gUnnamedMutex);
  for (int& slot : gUnnamed) {
    if (slot >= 0) close(slot);
    slot = -1;
  }
}

void InstallInterruptCleanup() {
  struct sigaction action {};
  action.sa_handler = DeleteRegisteredAndDie;
  sigemptyset(&action.sa_mask);
  for (int signalNumber : kCleanupSignals) sigaddset(&action.sa_mask, signalNumber);
  for (int signalNumber : kCleanupSignals) sigaction(signalNumber, &action, nullptr);
}

bool IsTerminalStream(FILE* stream) { return isatty(fileno(stream)) != 0; }

bool SetBinaryStream(FILE*) { return true; }  // POSIX streams never translate

namespace {

// Below this a block comes from the heap: a mapping of its own would cost
// more than it saves.  Under AddressSanitizer every block does, so that
// reads and writes past its end are caught.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define X12_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(X12_ADDRESS_SANITIZER)
constexpr size_t kLargeBlockBytes = SIZE_MAX;
#else
constexpr size_t kLargeBlockBytes = size_t{1} << 20;
#endif
// The size and alignment of a huge page (x86-64, arm64 with 4 KiB pages).
constexpr size_t kHugePageBytes = size_t{2} << 20;

size_t MappedBytes(size_t bytes) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

void* AllocateLarge(size_t bytes) {
  if (bytes > SIZE_MAX / 2) return nullptr;  // more than any address space holds
  if (bytes < kLargeBlockBytes) return std::calloc(bytes == 0 ? 1 : bytes, 1);
  const size_t size = MappedBytes(bytes);
  if (size < bytes || size > SIZE_MAX - kHugePageBytes) return nullptr;
  // Mapped a huge page larger than asked, so that the block can start on a
  // huge page's boundary; what lies before and after it is given back.
  void* mapped = mmap(nullptr, size + kHugePageBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + kHugePageBytes - 1) & ~(uintptr_t{kHugePageBytes} - 1);
  const size_t head = static_cast<size_t>(aligned - start);
  if (head != 0) munmap(mapped, head);
  const size_t tail = kHugePageBytes - head;
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
#if defined(MADV_HUGEPAGE)
  // Only advice: where the system has no huge pages to give, or does not
  // allow them, the block works in ordinary pages.
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
#endif
  return reinterpret_cast<void*>(aligned);
}

void FreeLarge(void* memory, size_t bytes) {
  if (memory == nullptr) return;
  if (bytes < kLargeBlockBytes) {
    std::free(memory);
    return;
  }
  munmap(memory, MappedBytes(bytes));
}
