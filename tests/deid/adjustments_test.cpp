// The replacement of claim numbers inside PLB references: whole tokens
// only, the longest key at each place, from left to right.
#include <gtest/gtest.h>

#include <map>

#include "adjustments.h"

TEST(Adjustments, WholeTokensLongestFirstLeftToRight) {
  const struct {
    const char* name;
    const char* text;
    std::map<std::string, std::string> keys;
    const char* expected;
    int64_t replaced;
  } cases[] = {
      {"the whole reference", "PCN1", {{"PCN1", "NEW7"}}, "NEW7", 1},
      {"not inside a longer token", "XPCN1 PCN1X", {{"PCN1", "NEW7"}}, "XPCN1 PCN1X", 0},
      {"a one-character key rewrites no digit of a longer token",
       "A1B-1", {{"1", "9"}}, "A1B-9", 1},
      {"the longest key at a place", "AB-1/2", {{"AB", "X"}, {"AB-1", "Y"}}, "Y/2", 1},
      {"every occurrence, left to right", "7 7/7", {{"7", "C22"}}, "C22 C22/C22", 3},
      {"a replacement is not read again", "P1", {{"P1", "P2"}, {"P2", "P3"}}, "P2", 1},
      {"no key", "WO 12345", {}, "WO 12345", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    size_t longest = 0;
    for (const auto& key : c.keys) longest = std::max(longest, key.first.size());
    auto find = [&](std::string_view token) -> const std::string* {
      const auto found = c.keys.find(std::string(token));
      return found == c.keys.end() ? nullptr : &found->second;
    };
    int64_t replaced = 0;
    EXPECT_EQ(ReplaceWholeTokens(c.text, longest, find, &replaced), c.expected);
    EXPECT_EQ(replaced, c.replaced);
  }
}

// Among thousands of claims, a reference to any claim's CLP01 or CLP07
// quotes that claim's new number after the reorder, whatever the number's
// length, and a number that no claim carries stays as it was.
TEST(Adjustments, EveryQuotedClaimAmongThousandsIsFound) {
  constexpr int64_t kClaims = 4000;
  ClaimTable table;
  table.Create(kClaims, kClaimColumnCount);
  auto number = [](const char* prefix, int64_t row) {
    // Lengths from 2 to 41 characters: values end at every place of an
    // 8-byte word, and many are longer than 16.
    return prefix + std::to_string(row) + std::string(static_cast<size_t>(row % 37), 'Z');
  };
  for (int64_t row = 1; row <= kClaims; ++row) {
    table.Set(row, kClaimSubmitterId, number("P", row));
    table.Set(row, kPayerClaimControlNumber, number("Q", row));
  }
  std::vector<AdjustmentReferences> adjustments;
  for (int64_t row = 1; row <= kClaims; row += 3) {
    AdjustmentReferences plb;
    plb.ordinal = static_cast<int64_t>(adjustments.size()) + 1;
    plb.set = 1;
    plb.delimiters = '*' | '~' << 8 | ':' << 16 | uint32_t{'^'} << 24;
    const int column = row % 2 == 0 ? kClaimSubmitterId : kPayerClaimControlNumber;
    plb.references.push_back(
        {3, "WO:", std::string(table.Get(row, column)) + "-NOCLAIM" + std::to_string(row), ""});
    adjustments.push_back(std::move(plb));
  }
  ClaimNumberCarriers carriers;
  carriers.Find(adjustments, table, 1, kClaims);
  LcgRandom random(5.0f);
  table.Reorder(random);
  carriers.Apply(adjustments, table, {1});
  int64_t row = 1;
  for (size_t k = 0; k < adjustments.size(); ++k, row += 3) {
    const int column = row % 2 == 0 ? kClaimSubmitterId : kPayerClaimControlNumber;
    const std::string expected =
        "WO:" + std::string(table.Get(row, column)) + "-NOCLAIM" + std::to_string(row);
    ASSERT_EQ(adjustments[k].references[0].rewritten, expected) << "claim " << row;
    EXPECT_TRUE(adjustments[k].changed);
  }
}
