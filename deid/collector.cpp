#include "collector.h"

#include <algorithm>
#include <cstring>
#include <exception>

void CollectLine(const LineClass& line, const LineScanner& scanner, ClaimTable& table,
                 RandomSource& random) {
  const int64_t row = scanner.claimRow;  // rows past the claim count are not stored
  std::string_view element[8];
  if (line.kind == LineKind::kClaim) {
    CutElements(line.body, scanner.elementSeparator, element, 8);
    table.Set(row, kClaimSubmitterId, element[1]);
    table.Set(row, kPayerClaimControlNumber, element[7]);
  } else if (const NameColumns* columns = NameColumnsOf(line.kind)) {
    CutElements(line.body, scanner.elementSeparator, element, 6);
    table.Set(row, columns->last, element[3]);
    table.Set(row, columns->first, element[4]);
    table.Set(row, columns->middle, element[5]);
    char id[kMemberIdLength];
    NewMemberId(random, id);  // drawn for every such NM1, stored or not
    table.Set(row, columns->memberId, std::string_view(id, kMemberIdLength));
  } else if (line.kind == LineKind::kReference) {
    CutElements(line.body, scanner.elementSeparator, element, 3);
    table.Set(row, line.refColumn, element[2]);
  }
}

CopyCollector::CopyCollector(const InterchangeTable& interchanges, RandomSource& random,
                             uint64_t blockBytes)
    : random_(random), interchanges_(interchanges) {
  collection_.table.CreateGrowing();
  collection_.blockBytes = blockBytes;
  try {
    for (size_t i = 0; i < kPieces; ++i) free_.emplace_back(new char[kPieceSize]);
    thread_ = std::thread([this] { Run(); });
    threaded_ = true;
  } catch (const std::exception&) {
    threaded_ = false;  // collect in the caller's thread instead
  }
}

CopyCollector::~CopyCollector() { Finish(); }

void CopyCollector::Write(const char* data, size_t size) {
  if (idle_.load(std::memory_order_relaxed)) return;
  if (!threaded_) {
    known_.Extend(interchanges_);
    Consume(data, size);
    return;
  }
  while (size > 0) {
    const size_t part = std::min(size, kPieceSize);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !free_.empty() || idle_.load(); });
    if (idle_.load()) return;
    Piece piece;
    piece.bytes = std::move(free_.back());
    free_.pop_back();
    lock.unlock();
    std::memcpy(piece.bytes.get(), data, part);
    piece.size = part;
    lock.lock();
    // Every interchange recorded so far is final: the scan records one
    // before it writes the header line.
    published_.Extend(interchanges_);
    full_.push_back(std::move(piece));
    lock.unlock();
    changed_.notify_all();
    data += part;
    size -= part;
  }
}

void CopyCollector::Run() {
  for (;;) {
    Piece piece;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !full_.empty() || finished_; });
      if (full_.empty()) break;
      piece = std::move(full_.front());
      full_.pop_front();
      known_.Extend(published_);
    }
    Consume(piece.bytes.get(), piece.size);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      free_.push_back(std::move(piece.bytes));
    }
    changed_.notify_all();
  }
  EndOfCopy();
}

void CopyCollector::Finish() {
  if (threaded_) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
    }
    changed_.notify_all();
    thread_.join();
    threaded_ = false;
  } else {
    EndOfCopy();
  }
}

void CopyCollector::Consume(const char* data, size_t size) {
  if (stopped_) return;
  const uint64_t base = offset_;
  offset_ += size;
  const char* p = data;
  const char* end = data + size;
  const void* cut = std::memchr(data, 0x1A, size);  // the copy ends there
  if (cut != nullptr) end = static_cast<const char*>(cut);
  collection_.end = base + static_cast<uint64_t>(end - data);
  if (pendingLf_ && p < end) {
    // The line before ended with the last byte of the piece before.
    if (*p == '\n') {
      ++p;
    } else {
      collection_.NotPlain();
    }
    pendingLf_ = false;
  }
  while (p < end) {
    const char* cr = line_detail::FindCr(p, end);
    if (cr == nullptr) {
      if (!carrying_) {
        carry_.clear();
        carrying_ = true;
        lineStart_ = base + static_cast<uint64_t>(p - data);
      }
      carry_.append(p, static_cast<size_t>(end - p));
      break;
    }
    // A CR that ends the piece is followed by a LF or not in the next one;
    // the block is marked then if not.
    const bool crLf = cr + 1 < end ? cr[1] == '\n' : true;
    if (carrying_) {
      carry_.append(p, static_cast<size_t>(cr - p));
      carrying_ = false;
      ConsumeLine(carry_, lineStart_, crLf);
    } else {
      ConsumeLine(std::string_view(p, static_cast<size_t>(cr - p)),
                  base + static_cast<uint64_t>(p - data), crLf);
    }
    if (stopped_) return;
    p = cr + 1;
    if (p < end) {
      if (*p == '\n') ++p;
    } else {
      pendingLf_ = true;
    }
  }
  if (cut != nullptr) EndOfCopy();
}

void CopyCollector::ConsumeLine(std::string_view line, uint64_t start, bool crLf) {
  LineScanner& scanner = collection_.scanner;
  if (line.size() >= 3 && std::memcmp(line.data(), "ISA", 3) == 0 &&
      scanner.interchange + 1 > known_.Count()) {
    // The terminator of this interchange depends on whether the scan
    // records one more interchange later on: leave the rest to the file.
    deferred_ = true;
    resumeOffset_ = start;
    StopTaking();
    return;
  }
  collection_.NoteLineStart(start);
  ++collection_.lines;
  const LineClass kind = ClassifyLine(line, scanner, known_);
  collection_.NoteLine(start, kind, line, crLf);
  if (kind.kind != LineKind::kPlain && kind.kind != LineKind::kIsa) {
    CollectLine(kind, scanner, collection_.table, random_);
  }
}

void CopyCollector::EndOfCopy() {
  if (stopped_) return;
  if (pendingLf_) collection_.NotPlain();  // the copy ended right after a CR
  // What follows the last CR is a line of its own.
  if (carrying_) {
    carrying_ = false;
    ConsumeLine(carry_, lineStart_, false);
  }
  StopTaking();
}

void CopyCollector::StopTaking() {
  stopped_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.store(true);
  }
  changed_.notify_all();
}
