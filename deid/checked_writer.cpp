#include "checked_writer.h"

#include <cerrno>
#include <system_error>

CheckedWriter::CheckedWriter(size_t bufferSize, bool background)
    : buffer_(new char[bufferSize]), capacity_(bufferSize), background_(background) {}

CheckedWriter::~CheckedWriter() {
  StopWriter();
  if (file_ != nullptr) std::fclose(file_);
}

void CheckedWriter::Attach(FILE* file) {
  file_ = file;
  used_ = 0;
  error_ = file != nullptr ? 0 : EBADF;
  if (file_ == nullptr) return;
  std::setvbuf(file_, nullptr, _IONBF, 0);
  if (background_) {
    try {
      spare_.reset(new char[capacity_]);
      writer_ = std::thread(&CheckedWriter::WriterLoop, this);
    } catch (const std::exception&) {
      background_ = false;  // no thread to be had: write in place
    }
  }
}

bool CheckedWriter::Failed() const { return Error() != 0; }

int32_t CheckedWriter::Error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

void CheckedWriter::Fail(int32_t code) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (error_ == 0) error_ = code != 0 ? code : EIO;
}

void CheckedWriter::WriteBlock(const char* data, size_t size) {
  if (Failed() || file_ == nullptr) return;
  errno = 0;
  if (std::fwrite(data, 1, size, file_) != size) Fail(errno);
}

void CheckedWriter::WriterLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return pending_ != nullptr || stop_; });
    if (pending_ == nullptr) return;  // stopped with nothing left
    const char* data = pending_;
    const size_t size = pendingSize_;
    lock.unlock();
    WriteBlock(data, size);
    lock.lock();
    pending_ = nullptr;
    changed_.notify_all();
  }
}

void CheckedWriter::StopWriter() {
  if (!writer_.joinable()) return;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return pending_ == nullptr; });
    stop_ = true;
  }
  changed_.notify_all();
  writer_.join();
}

void CheckedWriter::Flush() {
  if (used_ == 0 || file_ == nullptr) {
    used_ = 0;
    return;
  }
  if (writer_.joinable()) {
    // Wait until the writer is done with the spare buffer, then swap.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return pending_ == nullptr; });
    buffer_.swap(spare_);
    pending_ = spare_.get();
    pendingSize_ = used_;
    lock.unlock();
    changed_.notify_all();
  } else {
    WriteBlock(buffer_.get(), used_);
  }
  used_ = 0;
}

void CheckedWriter::WriteSlow(const char* data, size_t size) {
  if (!writer_.joinable() && size >= capacity_) {
    // A block as large as the buffer goes straight to the file.
    Flush();
    WriteBlock(data, size);
    return;
  }
  while (size > 0) {
    if (used_ == capacity_) Flush();
    size_t part = capacity_ - used_;
    if (part > size) part = size;
    std::memcpy(buffer_.get() + used_, data, part);
    used_ += part;
    data += part;
    size -= part;
  }
}

int32_t CheckedWriter::Close() {
  if (file_ == nullptr) return error_ != 0 ? error_ : EBADF;
  Flush();
  StopWriter();
  errno = 0;
  if (std::fflush(file_) != 0) Fail(errno);
  errno = 0;
  if (std::fclose(file_) != 0) Fail(errno);
  file_ = nullptr;
  return error_;
}
