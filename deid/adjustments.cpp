#include "adjustments.h"

#include <algorithm>
#include <cstring>

namespace {

// True when `value` holds one of the four delimiters of `key` (see
// DelimiterKey: element separator, terminator, sub-element and repetition
// separators, a byte each; 0 stands for none).
bool HoldsDelimiterOf(std::string_view value, uint32_t key) {
  for (char c : value) {
    const uint32_t byte = static_cast<unsigned char>(c);
    for (int shift = 0; shift < 32; shift += 8) {
      const uint32_t delimiter = (key >> shift) & 0xFF;
      if (delimiter != 0 && byte == delimiter) return true;
    }
  }
  return false;
}

}  // namespace

uint64_t ClaimNumberCarriers::TokenHash(std::string_view token) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  uint64_t hash = token.size() * kMultiplier;
  size_t i = 0;
  for (; i + 8 <= token.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, token.data() + i, 8);
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 29;
  }
  if (i < token.size()) {
    uint64_t word = 0;
    std::memcpy(&word, token.data() + i, token.size() - i);
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 29;
  }
  return hash * kMultiplier;
}

void ClaimNumberCarriers::FilterBits(std::string_view token, size_t* first, size_t* second) const {
  const uint64_t hash = TokenHash(token);
  const uint64_t mask = (uint64_t{1} << filterBits_) - 1;
  *first = static_cast<size_t>(hash >> (64 - filterBits_));
  *second = static_cast<size_t>((hash >> (32 - filterBits_ / 2)) & mask);
}

void ClaimNumberCarriers::FilterAdd(std::string_view token) {
  size_t first, second;
  FilterBits(token, &first, &second);
  filter_[first >> 6] |= uint64_t{1} << (first & 63);
  filter_[second >> 6] |= uint64_t{1} << (second & 63);
}

bool ClaimNumberCarriers::MayBeCandidate(std::string_view token) const {
  size_t first, second;
  FilterBits(token, &first, &second);
  return ((filter_[first >> 6] >> (first & 63)) & 1) != 0 &&
         ((filter_[second >> 6] >> (second & 63)) & 1) != 0;
}

void ClaimNumberCarriers::Find(const std::vector<AdjustmentReferences>& adjustments,
                               const ClaimTable& table, int64_t firstRow, int64_t lastRow) {
  // Every piece of a reference that could be a whole token.
  for (const AdjustmentReferences& adjustment : adjustments) {
    for (const AdjustmentReference& entry : adjustment.references) {
      const std::string& text = entry.reference;
      if (text.size() > kLongestSearchedReference) continue;
      for (size_t begin = 0; begin < text.size(); ++begin) {
        if (begin > 0 && !IsTokenBoundary(text[begin - 1])) continue;
        for (size_t end = begin + 1; end <= text.size(); ++end) {
          if (end < text.size() && !IsTokenBoundary(text[end])) continue;
          const std::string_view token(text.data() + begin, end - begin);
          if (carriers_.count(token) != 0) continue;
          tokens_.emplace_back(token);
          carriers_.emplace(tokens_.back(), std::vector<Carrier>());
          if (token.size() < 64) lengths_ |= uint64_t{1} << token.size();
          longest_ = std::max(longest_, token.size());
        }
      }
    }
  }
  if (carriers_.empty()) return;
  // About sixteen bits per candidate: one value in a hundred or so that is
  // none gets past the filter to the map.  At most 8 MiB: with more
  // candidates than that holds well, more values go on to the map.
  filterBits_ = 12;
  while (filterBits_ < 26 && (uint64_t{1} << filterBits_) < carriers_.size() * 16) ++filterBits_;
  filter_.assign(size_t{1} << (filterBits_ - 6), 0);
  for (const auto& candidate : carriers_) FilterAdd(candidate.first);
  const int kColumns[] = {kClaimSubmitterId, kPayerClaimControlNumber};
  for (int64_t row = firstRow; row <= lastRow && row <= table.ClaimCount(); ++row) {
    for (int column : kColumns) {
      const std::string_view value = table.Get(row, column);
      if (value.empty() || value.size() > longest_) continue;
      if (value.size() < 64 && ((lengths_ >> value.size()) & 1) == 0) continue;
      if (!MayBeCandidate(value)) continue;
      const auto found = carriers_.find(value);
      if (found != carriers_.end()) found->second.push_back({row, column});
    }
  }
}

void ClaimNumberCarriers::Apply(std::vector<AdjustmentReferences>& adjustments,
                                const ClaimTable& table,
                                const std::vector<int64_t>& setFirstRows) const {
  for (AdjustmentReferences& adjustment : adjustments) {
    const size_t set = static_cast<size_t>(adjustment.set);
    const int64_t setBegin = set >= 1 && set <= setFirstRows.size() ? setFirstRows[set - 1] : 0;
    const int64_t setEnd = set >= 1 && set < setFirstRows.size() ? setFirstRows[set] : INT64_MAX;
    std::string value;
    auto find = [&](std::string_view token) -> const std::string* {
      const auto found = carriers_.find(token);
      if (found == carriers_.end() || found->second.empty()) return nullptr;
      const std::vector<Carrier>& carriers = found->second;
      const Carrier* chosen = &carriers.front();
      for (const Carrier& carrier : carriers) {
        if (carrier.row >= setBegin && carrier.row < setEnd) {
          chosen = &carrier;
          break;
        }
      }
      value.assign(table.Get(chosen->row, chosen->column));
      if (HoldsDelimiterOf(value, adjustment.delimiters)) {
        // The new number would cut the element: the occurrence goes.
        value.clear();
        ++adjustment.emptied;
      }
      return &value;
    };
    for (AdjustmentReference& entry : adjustment.references) {
      if (entry.reference.size() > kLongestSearchedReference) {
        entry.rewritten = entry.head;
        adjustment.changed = true;
        ++adjustment.emptied;
        continue;
      }
      int64_t replaced = 0;
      entry.rewritten = entry.head + ReplaceWholeTokens(entry.reference, longest_, find, &replaced);
      if (replaced > 0) adjustment.changed = true;
    }
  }
}
