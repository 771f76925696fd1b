// Buffered writing to a FILE* in large blocks with every write checked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <condition_variable>
#include <mutex>
#include <thread>

/// Collects bytes in a large buffer and writes them in blocks.  The first
/// failure is kept (with its error number); later writes are dropped.
///
/// In background mode a second thread does the writing while the caller
/// fills the other of two buffers, so that producing a large file and the
/// system's work of storing it overlap.  Without threads it falls back to
/// writing in place.
class CheckedWriter {
 public:
  explicit CheckedWriter(size_t bufferSize = size_t{1} << 20, bool background = false);
  CheckedWriter(const CheckedWriter&) = delete;
  CheckedWriter& operator=(const CheckedWriter&) = delete;
  ~CheckedWriter();

  /// Takes over an open stream.
  void Attach(FILE* file);
  bool IsOpen() const { return file_ != nullptr; }

  void Write(std::string_view text) { Write(text.data(), text.size()); }
  void Write(const char* data, size_t size) {
    if (size == 0) return;  // an empty view may carry a null pointer
    if (size <= capacity_ - used_) {
      std::memcpy(buffer_.get() + used_, data, size);
      used_ += size;
    } else {
      WriteSlow(data, size);
    }
  }
  void Put(char c) {
    if (used_ == capacity_) Flush();
    buffer_[used_++] = c;
  }

  /// Writes out the buffer and closes the stream; returns 0 when every
  /// byte reached the file, the first error number otherwise.
  int32_t Close();
  bool Failed() const;
  int32_t Error() const;

 private:
  void Flush();
  void WriteSlow(const char* data, size_t size);
  void WriteBlock(const char* data, size_t size);
  void Fail(int32_t code);
  void WriterLoop();
  void StopWriter();

  FILE* file_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_;
  size_t used_ = 0;
  int32_t error_ = 0;  // guarded by mutex_ while the writer thread runs

  bool background_;
  std::unique_ptr<char[]> spare_;  // the buffer the writer thread works on
  std::thread writer_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  const char* pending_ = nullptr;  // a block handed to the writer thread
  size_t pendingSize_ = 0;
  bool stop_ = false;
};
