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
