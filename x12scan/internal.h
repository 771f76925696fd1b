// Pieces shared by the files of the scanning library; not part of its interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

/// Characters of ISA header text before its segment terminator.
constexpr size_t kIsaLength = 105;

/// Tries to accept an ISA header at `text`, which has `remaining` bytes up to
/// the end of the data.  Returns 0 when there is none; otherwise the number of
/// file bytes the header occupies before its terminator (105 plain, 107 cut by
/// a line break), with the 105 header characters and a NUL written to `header`.
int AcceptIsaHeader(const char* text, size_t remaining, char* header);

/// Stores at most `maxChars` characters of `value` and a NUL in `field`.
void CopyCut(char* field, size_t maxChars, const std::string& value);

/// Stores `value` cut or padded with spaces to exactly `width`, and a NUL.
void CopyPadded(char* field, size_t width, const std::string& value);

/// The input file as the scan sees it: read-only bytes in memory (a mapping
/// where the platform has one, else a copy).  Empty when it cannot be read.
///
/// Another process may cut the file short while it is mapped; reading a
/// page past the new end would then raise SIGBUS.  While the file is
/// mapped, a guard puts zero pages in place of the lost part of the
/// mapping, so that the scan runs on to its end over zeros, and notes the
/// fact for Close.
class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  /// Opens and maps `path`; false (and empty) when it cannot be read.
  bool Open(const std::string& path);
  const char* data() const { return data_; }
  size_t size() const { return size_; }

  /// Lets go of the bytes and tells whether they were what the file held
  /// throughout: false when part of the mapping was lost to a file cut
  /// short, or when the file's size is no longer the size that was mapped
  /// (it was cut or grew while it was read).  The bytes are not to be used
  /// after this call.
  bool Close();

  /// Lets the system take back the memory of the bytes before `offset`,
  /// which the scan has passed: a mapping's pages return to the file cache
  /// and are read in again should they be needed, so that a forward pass
  /// over a large file does not hold all of it.  Does nothing for a copy.
  void ReleaseBefore(size_t offset);

 private:
  const char* data_ = nullptr;
  size_t size_ = 0;
  size_t released_ = 0;
  bool mapped_ = false;
  int fd_ = -1;       // kept open while mapped, to compare the size at Close
  int guardSlot_ = -1;
  std::string copy_;
};

/// Opens `path` for writing from its start, created if missing and emptied
/// if not, as fopen's "wb" does; null with errno set on failure.
FILE* OpenCopyForWriting(const std::string& path);

/// What the scan learns about an input path before reading it.
enum class InputKind { kMissing, kPlainFile };

/// Whether `path` names an existing plain file (directories, hidden and
/// system files do not count) and, when known, its size in bytes.
InputKind InspectInputPath(const std::string& path, uint64_t* size, bool* sizeKnown);
