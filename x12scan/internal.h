// Pieces shared by the files of the scanning library; not part of its interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
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

/// The input as the scan reads it: windows, each a run of consecutive bytes
/// of the input held in memory.  A whole buffer is one window; a file read
/// piece by piece gives one window per piece.
class ScanInput {
 public:
  virtual ~ScanInput() = default;
  /// Bytes of input in all.
  virtual size_t size() const = 0;
  /// Makes current a window that holds the byte at `offset` (< size()) and
  /// returns its first byte, with its offset in `*start` and its length in
  /// `*length`.  The bytes of the window made current before are not to be
  /// used after this call.  Never fails: bytes that could not be read are
  /// given as zeros, and the input's owner learns of it when it closes the
  /// input.
  virtual const char* Window(size_t offset, size_t* start, size_t* length) = 0;
};

/// Bytes in memory, as one window.
class MemoryInput final : public ScanInput {
 public:
  MemoryInput(const char* data, size_t size) : data_(data), size_(size) {}
  size_t size() const override { return size_; }
  const char* Window(size_t, size_t* start, size_t* length) override {
    *start = 0;
    *length = size_;
    return data_;
  }

 private:
  const char* data_;
  size_t size_;
};

/// Bytes a window keeps of the window before it, in front of its own: a
/// header candidate read across a window's edge is followed by a step back
/// of at most this many bytes, which then needs no reading.
constexpr size_t kWindowOverlap = 128;

/// A file read through a buffer that holds one window of it at a time: each
/// window is the next `windowSize` bytes of the file, after the last
/// kWindowOverlap bytes of the window before.  Memory stays at the buffer's
/// size whatever the file's size.  A part that cannot be read (the file was
/// cut short, or a read failed) reads as zeros, and Close tells.
class WindowedReader {
 public:
  WindowedReader() = default;
  WindowedReader(const WindowedReader&) = delete;
  WindowedReader& operator=(const WindowedReader&) = delete;
  ~WindowedReader() { Close(); }

  /// Opens `path` to be read in windows of `windowSize` bytes (at least 1);
  /// false when it cannot be opened, is empty, or is too large to address.
  bool Open(const std::string& path, size_t windowSize);
  size_t size() const { return size_; }
  /// As ScanInput::Window.
  const char* Window(size_t offset, size_t* start, size_t* length);
  /// Closes the file; true when every byte given came from it and its size
  /// is still the size it had when opened.
  bool Close();

 private:
  // Reads the window that begins with the byte at `offset`, keeping the
  // bytes of the buffer from `keepFrom` on in front of it.
  void Fill(size_t keepFrom, size_t offset);

  FILE* file_ = nullptr;
  size_t size_ = 0;
  size_t windowSize_ = 0;
  std::unique_ptr<char[]> buffer_;  // kWindowOverlap + windowSize_ bytes
  size_t start_ = 0;                // offset of buffer_[0]
  size_t length_ = 0;               // bytes of the buffer in use
  uint64_t filePosition_ = 0;       // where the next read of the file starts
  bool lost_ = false;               // bytes were given as zeros
};

/// The size of the open file behind `file`; false when it cannot be told.
bool OpenFileSize(FILE* file, uint64_t* size);

/// The input file as the scan sees it: windows of the file read one after
/// the other (WindowedReader), on every platform.  Reading into one buffer
/// costs less than mapping the file: the mapping's pages are touched one
/// by one as the scan passes, the buffer's stay in the cache.  A file cut
/// short while it is read gives zeros for its lost part, and Close tells.
class InputFile final : public ScanInput {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() override;

  /// Opens `path`; false when it cannot be read.  A `windowSize` of 0
  /// reads windows of kScanWindowSize bytes; any other size windows of that
  /// many bytes.
  bool Open(const std::string& path, size_t windowSize = 0);
  size_t size() const override { return windows_.size(); }
  const char* Window(size_t offset, size_t* start, size_t* length) override {
    return windows_.Window(offset, start, length);
  }

  /// Lets go of the file and tells whether its bytes were what the file
  /// held throughout: false when part of it could not be read (it was cut
  /// short), or when its size is no longer the size it had when opened (it
  /// was cut or grew while it was read).
  bool Close() { return windows_.Close(); }

 private:
  WindowedReader windows_;
};

/// Opens `path` for writing from its start, created if missing and emptied
/// if not, as fopen's "wb" does; null with errno set on failure.
FILE* OpenCopyForWriting(const std::string& path);

/// What the scan learns about an input path before reading it.
enum class InputKind { kMissing, kPlainFile };

/// Whether `path` names an existing plain file (directories, hidden and
/// system files do not count) and, when known, its size in bytes.
InputKind InspectInputPath(const std::string& path, uint64_t* size, bool* sizeKnown);
