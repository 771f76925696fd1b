#include "collector.h"

#include <algorithm>
#include <cstring>

void CollectLine(const LineClass& line, const LineScanner& scanner, ClaimTable& table,
                 RandomSource& random) {
  const int64_t row = TableRow(scanner);  // rows past the claim count are not stored
  ElementRoom<8> room;
  std::string_view* const element = room.at;
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

void Collection::CollectServiceReference(const LineClass& kind) {
  ElementRoom<3> room;
  std::string_view* const element = room.at;
  CutElements(kind.body, scanner.elementSeparator, element, 3);
  services.Set(scanner.inServiceLine ? scanner.serviceRow : 0, 0, element[2]);
}

bool CollectAdjustment(const LineClass& line, const LineScanner& scanner,
                       AdjustmentReferences& out) {
  constexpr int kLast = 13;  // PLB03, PLB05, ... PLB13 are the composite ones
  ElementRoom<kLast + 1> room;
  std::string_view* const element = room.at;
  const int found = CutElements(line.body, scanner.elementSeparator, element, kLast + 1);
  const char sub = scanner.subSeparator;
  for (int position = 3; position < found; position += 2) {
    const std::string_view text = element[position];
    const size_t cut = sub != 0 ? text.find(sub) : std::string_view::npos;
    if (cut == std::string_view::npos || cut + 1 == text.size()) continue;
    AdjustmentReference reference;
    reference.position = position;
    reference.head.assign(text.substr(0, cut + 1));
    reference.reference.assign(text.substr(cut + 1));
    out.references.push_back(std::move(reference));
  }
  if (out.references.empty()) return false;
  out.ordinal = scanner.adjustmentRow;
  out.set = scanner.sets835;
  out.delimiters = DelimiterKey(scanner);
  return true;
}

CopyCollector::CopyCollector(const InterchangeTable& interchanges, RandomSource& random,
                             uint64_t blockBytes, bool thorough)
    : random_(random), interchanges_(interchanges) {
  collection_.table.CreateGrowing(ClaimColumnsOf(thorough));
  collection_.SetThorough(thorough);
  collection_.blockBytes = blockBytes;
}

void CopyCollector::Handing() {
  uint64_t behind;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    published_.Extend(interchanges_);
    behind = ++handed_ - taken_;
  }
  // The scan's thread makes fresh memory ready for the tables, a piece per
  // piece of the copy (more than the tables take in the meantime), while
  // the collection is behind; else the collection's thread, which then
  // waits for the scan, does it.
  if (behind < 2) return;
  if (!collection_.table.PrepareSparePiece() && collection_.thorough) {
    collection_.services.PrepareSparePiece();
  }
}

bool CopyCollector::Waiting() {
  // The collection's thread waits for the scan (which is slow when fresh
  // memory is costly to make ready, as on a machine whose host takes back
  // the memory it does not use): it makes that memory ready meanwhile.
  if (stopped_) return false;
  return collection_.table.PrepareSparePiece() ||
         (collection_.thorough && collection_.services.PrepareSparePiece());
}

void CopyCollector::Written(const char* data, size_t size) {
  if (stopped_) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    known_.Extend(published_);
    ++taken_;
  }
  Consume(data, size);
}

// The collection's thread is the slower side of the scan: everything a line
// goes through is compiled into this one loop (a tenth less time than
// calls per line).
#if defined(__GNUC__)
__attribute__((flatten))
#endif
void CopyCollector::Consume(const char* data, size_t size) {
  const uint64_t base = offset_;
  offset_ += size;
  const char* p = data;
  const char* end = data + size;
  const void* cut = std::memchr(data, 0x1A, size);  // the copy ends there
  if (cut != nullptr) {
    end = static_cast<const char*>(cut);
    collection_.endMarkMet = true;
  }
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
  line_detail::CrFinder crs(p, end);
  while (p < end) {
    const char* cr = crs.Next(p);
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
  if (line_detail::OpensInterchange(line, collection_.scanner.interchangeOpen) &&
      collection_.scanner.interchange + 1 > known_.Count()) {
    // The terminator of this interchange depends on whether the scan
    // records one more interchange later on: leave the rest to the file.
    deferred_ = true;
    resumeOffset_ = start;
    stopped_ = true;
    return;
  }
  collection_.Take(line, start, crLf, known_, random_);
}

void CopyCollector::EndOfCopy() {
  if (stopped_) return;
  if (pendingLf_) collection_.NotPlain();  // the copy ended right after a CR
  // What follows the last CR is a line of its own.
  if (carrying_) {
    carrying_ = false;
    ConsumeLine(carry_, lineStart_, false);
  }
  stopped_ = true;
}
