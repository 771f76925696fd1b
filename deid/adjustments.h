// References of provider adjustments (PLB) that quote a claim's number: in a
// thorough run each such occurrence is replaced by the claim's new number,
// so that the adjustment still points at the same claim.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "claim_table.h"

/// The longest PLB reference that is searched for claim numbers (the
/// element holds at most 50 characters in a valid file).  A longer one is
/// written empty, as no claim number may stay in it and searching it would
/// cost time that grows with the square of its length.
constexpr size_t kLongestSearchedReference = 256;

/// One composite element of a PLB segment (PLB03, PLB05, ... PLB13) that
/// holds a reference after its adjustment reason code.
struct AdjustmentReference {
  int position = 0;       ///< the element's position in the segment
  std::string head;       ///< the element up to and including the first sub-element separator
  std::string reference;  ///< the rest of the element
  std::string rewritten;  ///< the element as written, once the references are resolved
};

/// A PLB segment with references, as the collection found it.
struct AdjustmentReferences {
  int64_t ordinal = 0;      ///< the PLB's number among the PLB segments of 835 sets (from 1)
  int64_t set = 0;          ///< the number of its 835 set (from 1)
  uint32_t delimiters = 0;  ///< the delimiters it stands under (see DelimiterKey)
  std::vector<AdjustmentReference> references;
  /// Once resolved: whether an occurrence of a claim number was replaced,
  /// and how many were written empty (the new number held a delimiter of
  /// the PLB's interchange).
  bool changed = false;
  int64_t emptied = 0;
};

/// True for the characters that tell where a quoted claim number ends: all
/// but letters and digits.
inline bool IsTokenBoundary(char c) {
  return !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'));
}

/// Walks `text` from left to right, taking at each place the longest key
/// that stands there as a whole token: an occurrence starts at the
/// beginning of the text or after a boundary character, and ends at the end
/// of the text or before one.  `isKey(token)` tells a key; keys are at most
/// `longest` characters long.  Calls `key(token)` for each occurrence and
/// `other(c)` for every character outside them.
template <typename IsKey, typename OnKey, typename OnOther>
void WalkWholeTokens(std::string_view text, size_t longest, const IsKey& isKey, const OnKey& key,
                     const OnOther& other) {
  size_t i = 0;
  while (i < text.size()) {
    bool matched = false;
    if (i == 0 || IsTokenBoundary(text[i - 1])) {
      const size_t most = text.size() - i < longest ? text.size() - i : longest;
      for (size_t length = most; length > 0; --length) {
        const size_t end = i + length;
        if (end < text.size() && !IsTokenBoundary(text[end])) continue;
        const std::string_view token = text.substr(i, length);
        if (isKey(token)) {
          key(token);
          i = end;
          matched = true;
          break;
        }
      }
    }
    if (!matched) other(text[i++]);
  }
}

/// `text` with every whole-token occurrence of a key (see WalkWholeTokens)
/// replaced: `find(token)` gives the replacement of a key, or null for a
/// token that is none.  Adds the number of replacements to `*replaced`.
template <typename Find>
std::string ReplaceWholeTokens(std::string_view text, size_t longest, const Find& find,
                               int64_t* replaced) {
  std::string out;
  out.reserve(text.size());
  const std::string* value = nullptr;
  WalkWholeTokens(
      text, longest, [&](std::string_view token) { return (value = find(token)) != nullptr; },
      [&](std::string_view) {
        out += *value;
        ++*replaced;
      },
      [&](char c) { out += c; });
  return out;
}

/// The claims whose original CLP01 or CLP07 stands as a whole token in a
/// reference, gathered before the reorder; after it, each reference is
/// rewritten with the new numbers of those claims.  A number that several
/// claims carry stands for the first of them in the PLB's own 835 set, or
/// else the first of the file; a claim that carries it as CLP01 and CLP07
/// gives its new CLP01.
class ClaimNumberCarriers {
 public:
  /// Before the reorder: `table` still holds every claim's own values.
  /// The claims of the PLBs' own input are rows `firstRow` to `lastRow`.
  void Find(const std::vector<AdjustmentReferences>& adjustments, const ClaimTable& table,
            int64_t firstRow, int64_t lastRow);
  /// After the reorder: fills in `rewritten`, `changed` and `emptied` of
  /// every reference.  `setFirstRows[k]` is the first claim row of 835 set
  /// k + 1.
  void Apply(std::vector<AdjustmentReferences>& adjustments, const ClaimTable& table,
             const std::vector<int64_t>& setFirstRows) const;

 private:
  struct Carrier {
    int64_t row;
    int column;
  };
  // A bit filter in front of the map: nearly every claim number of a file
  // is quoted by no reference, and telling so from two bits of a small
  // array costs a fraction of a search of the map (whose nodes lie spread
  // over the heap).  Each candidate sets two bits chosen by its hash; a
  // value with either bit clear is no candidate.
  static uint64_t TokenHash(std::string_view token);
  void FilterBits(std::string_view token, size_t* first, size_t* second) const;
  bool MayBeCandidate(std::string_view token) const;
  void FilterAdd(std::string_view token);
  std::vector<uint64_t> filter_;
  unsigned filterBits_ = 0;  // the filter holds 2^filterBits_ bits

  std::deque<std::string> tokens_;  // the candidate tokens, which the map's keys view
  std::unordered_map<std::string_view, std::vector<Carrier>> carriers_;
  uint64_t lengths_ = 0;  // bit k: a candidate of k characters (k < 64)
  size_t longest_ = 0;
};
