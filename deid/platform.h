// File-system and memory services that the run and the command-line tool
// need, kept behind plain functions so that each platform supplies its own
// version (platform_posix.cpp and platform_win.cpp).
//
// Error codes are the platform's own positive numbers (errno values on
// POSIX, Windows error codes on Windows); 0 means success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>

/// Creates a new, empty file readable and writable by the owner only in the
/// system's temporary folder (TMPDIR or /tmp on POSIX), its name starting
/// with the first three characters of `prefix`.  Returns 0 with `path`
/// holding the file's full path, or an error code with `path` unchanged.
/// The new file is registered for deletion on an interrupt (see
/// RegisterTempFile) before any interrupt can be handled; the caller
/// forgets it once it has deleted it.
int32_t MakeTempFileName(const std::string& prefix, std::string& path);

/// A temporary file that holds protected data during a run: readable and
/// writable by its owner only, and gone however the process ends.
struct PrivateTempFile {
  /// A name under which this process can open the file again, each open
  /// with a file position of its own.  It need not be a name in any folder
  /// (on Linux it reaches the file through the descriptor below): tell the
  /// user "temporary file", not this path.
  std::string path;
  /// The descriptor (POSIX) or handle (Windows) that keeps the file.
  intptr_t handle = -1;
  /// True when `path` is the file's name in the temporary folder and the
  /// name is registered for deletion on an interrupt (see RegisterTempFile).
  bool named = false;
};

/// Creates a private temporary file in the system's temporary folder
/// (TMPDIR or /tmp on POSIX), its name starting with the first three
/// characters of `prefix`.  On POSIX the name is removed at once and the
/// file lives on through its descriptor, so nothing is left whatever ends
/// the process, SIGKILL included; a system without /proc keeps the name,
/// registered for deletion on an interrupt.  On Windows the file is held
/// open to be deleted when its last handle closes (a killed process
/// included) and its name is registered for the console-control cleanup;
/// every other open of it must allow deletion (OpenFileShared does).
/// Returns 0, or an error code with `file` unchanged.
int32_t CreatePrivateTempFile(const std::string& prefix, PrivateTempFile& file);

/// Deletes the file made by CreatePrivateTempFile and lets go of it,
/// leaving `file` empty; on an empty record it does nothing.
void ClosePrivateTempFile(PrivateTempFile& file);

/// Gives back the storage of the bytes [offset, offset + size) of a private
/// temporary file that the run will not read again: they read as zeros
/// afterwards, and the memory that cached them is free for what the run
/// writes next.  Only advice: where the system cannot, the bytes stay.
void DiscardFileRange(const PrivateTempFile& file, uint64_t offset, uint64_t size);

/// Owns a private temporary file (see CreatePrivateTempFile) and deletes it
/// when let go of.
class ScopedPrivateTempFile {
 public:
  ScopedPrivateTempFile() = default;
  ScopedPrivateTempFile(const ScopedPrivateTempFile&) = delete;
  ScopedPrivateTempFile& operator=(const ScopedPrivateTempFile&) = delete;
  ~ScopedPrivateTempFile() { Delete(); }
  /// Creates the file as CreatePrivateTempFile does; returns its result.
  int32_t Create(const char* prefix) { return CreatePrivateTempFile(prefix, file_); }
  /// A name under which this process opens the file (see
  /// PrivateTempFile::path); empty when there is no file.
  const std::string& Path() const { return file_.path; }
  /// True when Path() is no name the user could look up.
  bool Unnamed() const { return !file_.path.empty() && !file_.named; }
  void Delete() { ClosePrivateTempFile(file_); }
  /// See DiscardFileRange.
  void Discard(uint64_t offset, uint64_t size) const { DiscardFileRange(file_, offset, size); }

 private:
  PrivateTempFile file_;
};

/// Deletes a file.  An empty path or a file that does not exist is not an
/// error.  Returns 0 or an error code.  A `tempPath` of CreateOutputTempFile
/// is let go of (and so deleted) this way too.
int32_t RemoveFile(const std::string& path);

/// True when `path` names an existing regular file (following links).
bool IsRegularFile(const std::string& path);

/// Why `path` names no existing regular file, as a message text (no such
/// file, access denied, a folder, ...); empty when IsRegularFile holds.
std::string InputFileProblem(const std::string& path);

/// Why `path` names no existing folder, as a message text (no such file,
/// not a directory, access denied, ...); empty when it names one.
std::string FolderProblem(const std::string& path);

/// True when `path` may receive the output: it names an existing regular
/// file (not opened, not changed), or a file can be created under it.  A
/// file created by this test is deleted again; an existing file of any kind
/// is never deleted.
bool IsUsableOutputPath(const std::string& path);

/// Why `path` may not receive the output, as a message text; empty when
/// IsUsableOutputPath holds.  Tests as IsUsableOutputPath does.
std::string OutputPathProblem(const std::string& path);

/// True when both paths exist and name the very same file (same device and
/// file number), whatever the spelling of the paths.
bool IsSameFile(const std::string& a, const std::string& b);

/// Prepares the atomic replacement of `outputPath`.  `targetPath` receives
/// the file that is finally to be replaced (links resolved); `tempPath` a new
/// empty file in the target's folder, created exclusively with the
/// permissions that the finished output is to have; `file` that file opened
/// for binary writing.  An existing target that this process may not write
/// is refused.  Returns 0 or an error code; on failure nothing is left
/// behind and `file` is null.  Until MoveFileReplacing puts it in place the
/// file is deleted by the system when the process ends, however it ends:
/// on Linux it is made without a name (`tempPath` then reaches it through
/// this process and is no name in the folder), on Windows it is marked for
/// deletion.  Where that cannot be, it is a named file.  Either way its
/// name is registered for deletion on an interrupt while it has one; the
/// caller forgets it after MoveFileReplacing or RemoveFile.
int32_t CreateOutputTempFile(const std::string& outputPath, std::string& tempPath,
                             std::string& targetPath, FILE** file);

/// As CreateOutputTempFile, for a file that may pair original values with
/// their replacements (the run report): the new file, and so the finished
/// file once moved into place, is readable and writable by its owner only,
/// whatever the umask and the permissions of a file it replaces.
int32_t CreateReportTempFile(const std::string& reportPath, std::string& tempPath,
                             std::string& targetPath, FILE** file);

/// True when `a` and `b` lead to the same file, existing or still to be
/// created: equal texts, the same file (IsSameFile), or the same name in
/// the same folder once the folders' spellings are resolved (links, ".",
/// "..", repeated separators; on Windows also letter case).
bool IsSamePath(const std::string& a, const std::string& b);

/// Moves `from` onto `to` in one step, replacing `to` if it exists.
/// Returns 0 or an error code.
int32_t MoveFileReplacing(const std::string& from, const std::string& to);

/// Message text of an error code from this interface, or of a code made by
/// ErrnoCode.
std::string PlatformErrorText(int32_t code);

/// The error code of a C library failure, from its errno value.  On POSIX
/// the two are the same; on Windows errno values and Windows error codes
/// overlap (errno 28 "no space left" is Windows error 28 "the printer is out
/// of paper"), so the errno value is marked as an application's own code
/// and PlatformErrorText gives the C library's text for it.
int32_t ErrnoCode(int errnoValue);

/// Temporary files that an interrupted process must not leave behind.
/// RegisterTempFile records a path (returns false when the registry is full
/// or the path too long), ForgetTempFile removes it.  After
/// InstallInterruptCleanup, an interrupt or termination signal deletes every
/// registered file before the process ends as the signal demands.
bool RegisterTempFile(const std::string& path);
void ForgetTempFile(const std::string& path);
void InstallInterruptCleanup();

/// Deletes every registered file and every output in the making that was
/// not yet moved into place or removed, and forgets them: for a process
/// that caught a failure it cannot finish its run after (memory ran out).
void DeleteRegisteredTempFiles();

/// Memory for the run's large arrays (the claim table's values, cells and
/// packed rows), zero-filled, taken from the system as it is used.  Where
/// the system can map such memory in huge pages it is asked to: a first
/// touch then costs one fault per 2 MiB rather than one per 4 KiB, which is
/// much of a large run's time on some machines.  Returns null when memory
/// ran out.  FreeLarge takes the pointer back with the same `bytes`.
void* AllocateLarge(size_t bytes);
void FreeLarge(void* memory, size_t bytes);

/// Owns one block of AllocateLarge; throws std::bad_alloc when there is
/// none to be had.
class LargeBuffer {
 public:
  LargeBuffer() = default;
  explicit LargeBuffer(size_t bytes) : data_(static_cast<unsigned char*>(AllocateLarge(bytes))), size_(bytes) {
    if (data_ == nullptr && bytes != 0) throw std::bad_alloc();
  }
  LargeBuffer(LargeBuffer&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  LargeBuffer& operator=(LargeBuffer&& other) noexcept {
    if (this != &other) {
      Release();
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  LargeBuffer(const LargeBuffer&) = delete;
  LargeBuffer& operator=(const LargeBuffer&) = delete;
  ~LargeBuffer() { Release(); }
  unsigned char* get() const { return data_; }
  size_t size() const { return size_; }
  void Release() {
    if (data_ != nullptr) FreeLarge(data_, size_);
    data_ = nullptr;
    size_ = 0;
  }

 private:
  unsigned char* data_ = nullptr;
  size_t size_ = 0;
};

/// True when the stream is an interactive terminal.
bool IsTerminalStream(FILE* stream);

/// Makes a standard stream pass bytes as they are (on Windows a stream in
/// text mode turns CR LF into LF and stops reading at a byte 0x1A).
/// Returns false when the stream cannot be switched.
bool SetBinaryStream(FILE* stream);
