// Buffered writing to a FILE* in large blocks with every write checked.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

/// Collects bytes in a large buffer and writes them in blocks; a block at
/// least as large as the buffer goes straight to the file.  The first
/// failure is kept (with its error number); later writes are dropped.
class CheckedWriter {
 public:
  explicit CheckedWriter(size_t bufferSize = size_t{1} << 20);
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
  bool Failed() const { return error_ != 0; }
  int32_t Error() const { return error_; }

 private:
  void Flush();
  void WriteSlow(const char* data, size_t size);
  void WriteBlock(const char* data, size_t size);
  void Fail(int32_t code);

  FILE* file_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  size_t capacity_;
  size_t used_ = 0;
  int32_t error_ = 0;
};
