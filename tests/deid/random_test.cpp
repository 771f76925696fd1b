#include <gtest/gtest.h>

#include <set>

#include "claim_table.h"
#include "random.h"
#include "test_util.h"

using testutil::Shape;

namespace {

// Returns the values it is given, in turn.
class ScriptedRandom final : public RandomSource {
 public:
  explicit ScriptedRandom(std::vector<double> values) : values_(std::move(values)) {}
  double Next() override { return values_[used_++ % values_.size()]; }
  size_t used_ = 0;

 private:
  std::vector<double> values_;
};

}  // namespace

TEST(LcgRandom, SeedIsTheSingleBitPatternAndSequenceIsPinned) {
  LcgRandom random(1.0f);
  EXPECT_EQ(random.State(), 0x3F800000u);
  EXPECT_DOUBLE_EQ(random.Next(), 0.240234375);
  EXPECT_EQ(random.State(), 1031798785u);
  EXPECT_DOUBLE_EQ(random.Next(), 998802438u / 2 / 2147483648.0);
  EXPECT_EQ(random.State(), 998802438u);
  EXPECT_EQ(LcgRandom(12345.0f).State(), 0x4640E400u);
}

// Seeds up to 2^24 start where their single does; each larger seed is its
// own state, except the ones whose number is the bit pattern of a smaller
// seed's single: those take that smaller seed's number as their state.
TEST(LcgRandom, EverySeedHasAStateOfItsOwn) {
  const struct {
    uint32_t seed, state;
  } cases[] = {
      {0, 0},
      {1, 0x3F800000u},
      {12345, 0x4640E400u},
      {16777215, 0x4B7FFFFFu},
      {16777216, 0x4B800000u},
      {16777217, 16777217},
      {0x3F800000u, 1},          // the single 1.0
      {0x3F800001u, 0x3F800001u},  // just above 1.0: no whole number
      {0x3FC00000u, 0x3FC00000u},  // 1.5
      {0x4B7FFFFFu, 16777215},
      {0x4B800000u, 16777216},
      {0x4B800001u, 0x4B800001u},  // 16777218: above 2^24
      {0xBF800000u, 0xBF800000u},  // -1.0
      {0x7FC00000u, 0x7FC00000u},  // not a number
      {0xFFFFFFFFu, 0xFFFFFFFFu},
  };
  std::set<uint32_t> states;
  for (const auto& c : cases) {
    EXPECT_EQ(LcgRandom::FromSeed(c.seed).State(), c.state) << c.seed;
    states.insert(c.state);
  }
  EXPECT_EQ(states.size(), sizeof cases / sizeof cases[0]);
}

TEST(RandomInt, StaysInRangeAtTheExtremes) {
  const double kLargest = 4294967295.0 / 4294967296.0;  // the secure source's largest value
  const double kLargestLcg = 2147483647.0 / 2147483648.0;
  const struct {
    double r;
    int32_t lo, hi, expected;
  } cases[] = {
      {0.0, 100000000, 999999999, 100000000}, {kLargest, 100000000, 999999999, 999999999},
      {kLargestLcg, 100000000, 999999999, 999999999}, {kLargest, 65, 90, 90},
      {0.5, 65, 90, 78},
  };
  for (const auto& c : cases) {
    ScriptedRandom random({c.r});
    EXPECT_EQ(RandomInt(random, c.lo, c.hi), c.expected) << c.r;
  }
}

TEST(NewMemberId, FormatAndOrderOfDraws) {
  SystemRandom secure;
  std::set<std::string> seen;
  for (int i = 0; i < 2000; ++i) {
    std::string id = NewMemberId(secure);
    ASSERT_TRUE(Shape(id) == "999999999A" && id[0] != '0') << id;
    ASSERT_TRUE(IsNewMemberIdShape(id)) << id;
    seen.insert(id);
  }
  EXPECT_GT(seen.size(), 1990u);
  ScriptedRandom scripted({0.0, 0.999});  // digits first, then the letter
  EXPECT_EQ(NewMemberId(scripted), "100000000Z");
  EXPECT_EQ(scripted.used_, 2u);
  for (const char* other : {"", "023456789A", "12345678AA", "123456789a", "123456789",
                            "1234567890A", "12345 789A"}) {
    EXPECT_FALSE(IsNewMemberIdShape(other)) << other;
  }
}

TEST(ClaimTable, ReorderPermutesEachColumnOnItsOwn) {
  const int n = 500;
  ClaimTable table;
  table.Create(n);
  for (int c = 0; c < kClaimColumnCount; ++c) {
    table.Set(0, c, "row0");
    for (int row = 1; row <= n; ++row) {
      // Some empty cells and one long value, which move like the others.
      if (row % 7 == 0) continue;
      std::string value = std::to_string(row);
      if (row == 3) value = std::string(300, 'L');
      table.Set(row, c, value);
    }
  }
  table.Set(n + 1, 0, "outside");  // ignored: no such row
  EXPECT_EQ(table.Get(n + 1, 0), "");

  ScriptedRandom counter({0.25, 0.5, 0.75});
  LcgRandom random(42.0f);
  table.Reorder(random);
  std::vector<std::vector<std::string>> columns(kClaimColumnCount);
  for (int c = 0; c < kClaimColumnCount; ++c) {
    EXPECT_EQ(table.Get(0, c), "row0");
    std::multiset<std::string> values;
    for (int row = 1; row <= n; ++row) {
      values.insert(std::string(table.Get(row, c)));
      columns[c].emplace_back(table.Get(row, c));
    }
    std::multiset<std::string> original;
    for (int row = 1; row <= n; ++row) {
      original.insert(row % 7 == 0 ? "" : row == 3 ? std::string(300, 'L') : std::to_string(row));
    }
    EXPECT_EQ(values, original) << "column " << c;
  }
  EXPECT_NE(columns[0], columns[1]);
  int fixedPoints = 0;
  for (int row = 1; row <= n; ++row) fixedPoints += columns[0][row - 1] == std::to_string(row);
  EXPECT_LT(fixedPoints, 20);

  // N values per column, in column order.
  ClaimTable small;
  small.Create(3);
  small.Reorder(counter);
  EXPECT_EQ(counter.used_, 3u * kClaimColumnCount);
}

TEST(ClaimTable, SmallerKeyComesFirst) {
  ClaimTable table;
  table.Create(3);
  table.Set(1, kClaimSubmitterId, "a");
  table.Set(2, kClaimSubmitterId, "b");
  table.Set(3, kClaimSubmitterId, "c");
  ScriptedRandom keys({0.9, 0.1, 0.5});  // a gets 0.9, b 0.1, c 0.5
  table.Reorder(keys);
  EXPECT_EQ(table.Get(1, kClaimSubmitterId), "b");
  EXPECT_EQ(table.Get(2, kClaimSubmitterId), "c");
  EXPECT_EQ(table.Get(3, kClaimSubmitterId), "a");
}
