#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <set>
#include <thread>

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
  ScriptedRandom everyDigit({23456789.5 / 900000000.0, 0.0});  // every digit in its place
  EXPECT_EQ(NewMemberId(everyDigit), "123456789A");
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

// The rows take their values in the exact order of their keys as singles,
// rows of equal keys in row order, among keys that differ in their last
// bit only, keys below 2^-24, and keys of 0 and 1: the order of a stable
// sort of the keys.
TEST(ClaimTable, RowsTakeValuesInTheExactOrderOfTheirKeys) {
  const int n = 5000;
  std::vector<double> keys;
  LcgRandom lcg = LcgRandom::FromSeed(9);
  for (int row = 1; row <= n; ++row) {
    switch (row % 6) {
      case 0: keys.push_back(0.5); break;  // many equal keys
      case 1: keys.push_back(std::nextafter(0.3f, 1.0f) + (row % 4 == 1 ? 0.0 : 1e-9)); break;
      case 2: keys.push_back(1e-9 * (row % 7)); break;  // 0 and keys below 2^-24
      case 3: keys.push_back(row % 2 == 1 ? 1.0 : std::nextafter(1.0f, 0.0f)); break;
      default: keys.push_back(lcg.Next()); break;
    }
  }
  std::vector<int> order(n);
  for (int i = 0; i < n; ++i) order[i] = i + 1;
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return static_cast<float>(keys[a - 1]) < static_cast<float>(keys[b - 1]);
  });
  ClaimTable table;
  table.Create(n);
  for (int row = 1; row <= n; ++row) table.Set(row, kClaimSubmitterId, std::to_string(row));
  ScriptedRandom source(keys);  // every column takes the same keys
  table.Reorder(source);
  for (int row = 1; row <= n; ++row) {
    ASSERT_EQ(table.Get(row, kClaimSubmitterId), std::to_string(order[row - 1])) << row;
  }
}

// Most rows of a large table without a value (bare claims): every value
// ends up in exactly one row, read the same through Get and GetRow, across
// the blocks of rows the cells are kept in.  With `filledOnly` an empty
// cell stays empty; without, the empty cells move too.
TEST(ClaimTable, SparseRowsKeepTheirValuesAfterReordering) {
  const struct {
    int n;
    bool filledOnly;
  } cases[] = {{1, false}, {63, false}, {64, true}, {65, false}, {200000, false}, {200000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.n << (c.filledOnly ? " filled only" : ""));
    auto original = [](int row, int column) -> std::string {
      if (column == kPatientLastName && row % 3 == 0) return "L" + std::to_string(row);
      if (column == kRef1G && row % 1000 < 70) return "R" + std::to_string(row);
      return "";
    };
    ClaimTable table;
    table.Create(c.n);
    table.Set(0, kRefEA, "row0");
    for (int row = 1; row <= c.n; ++row) {
      for (int column : {kPatientLastName, kRef1G}) table.Set(row, column, original(row, column));
    }
    LcgRandom random = LcgRandom::FromSeed(5);
    table.Reorder(random, nullptr, c.filledOnly);
    EXPECT_EQ(table.Get(0, kRefEA), "row0");
    std::vector<std::string_view> cells(kClaimColumnCount);
    for (int column = 0; column < kClaimColumnCount; ++column) {
      std::vector<std::string> before, after;
      int moved = 0;
      for (int row = 1; row <= c.n; ++row) {
        const std::string value(table.Get(row, column));
        if (c.filledOnly) {
          ASSERT_EQ(value.empty(), original(row, column).empty()) << row;
        }
        moved += value != original(row, column);
        if (!original(row, column).empty()) before.push_back(original(row, column));
        if (!value.empty()) after.push_back(value);
      }
      std::sort(before.begin(), before.end());
      std::sort(after.begin(), after.end());
      ASSERT_EQ(after, before) << "column " << column;
      if (c.n >= 65 && !before.empty()) {
        EXPECT_GT(moved, 0) << "column " << column;
      }
    }
    for (int row = 0; row <= c.n; ++row) {
      table.GetRow(row, cells.data());
      for (int column = 0; column < kClaimColumnCount; ++column) {
        ASSERT_EQ(cells[column], table.Get(row, column)) << row << " " << column;
      }
    }
  }
}

// With `filledOnly` the filled rows of a column take its values in the
// order of the keys drawn for them, every row's key drawn all the same:
// the same placement as drawing the column's keys one by one, whether the
// source passes over the empty rows' keys by jumping (an LCG run with a
// seed) or by drawing them (a source that cannot jump), with whole blocks
// of rows empty, and with runs of filled rows that take their keys in
// batches.
TEST(ClaimTable, FilledOnlyTakesTheKeysOfTheFilledRows) {
  // An LCG that does not let on that it can jump or start part-way.
  class PlainLcg final : public RandomSource {
   public:
    double Next() override { return inner_.Next(); }

   private:
    LcgRandom inner_ = LcgRandom::FromSeed(11);
  };
  const int n = 150000;  // three blocks of rows
  auto original = [](int row, int column) -> std::string {
    if (column == kPatientLastName && row % 5 == 2) return "P" + std::to_string(row);
    if (column == kRefSY && row > 70000 && row < 140000 && row % 97 == 0) {
      return "S" + std::to_string(row);
    }
    if (column == kRef1G && row > 131072 && row % 3 == 0) return "G" + std::to_string(row);
    // Runs of filled rows, short ones and one longer than a batch of keys.
    if (column == kRefA6 && ((row > 1000 && row < 1700) || (row < 100000 && row % 4 != 0))) {
      return "A" + std::to_string(row);
    }
    return "";
  };
  // The expected column: its N keys drawn from the start of its stretch of
  // the sequence, the filled rows ordered by key (then by row), and each
  // filled row taking the value of the filled row that comes in its place.
  auto expected = [&](int column) {
    LcgRandom keys = LcgRandom::FromSeed(11);
    keys.Skip(static_cast<uint64_t>(column) * n);
    std::vector<std::pair<float, int>> filled;
    for (int row = 1; row <= n; ++row) {
      const float key = static_cast<float>(keys.Next());
      if (!original(row, column).empty()) filled.push_back({key, row});
    }
    std::vector<std::pair<float, int>> order = filled;
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> result(n + 1);
    for (size_t j = 0; j < filled.size(); ++j) {
      result[static_cast<size_t>(filled[j].second)] = original(order[j].second, column);
    }
    return result;
  };
  for (bool jumps : {true, false}) {
    SCOPED_TRACE(jumps ? "source that jumps" : "source that draws every key");
    ClaimTable table;
    table.Create(n);
    for (int row = 1; row <= n; ++row) {
      for (int column : {kPatientLastName, kRefSY, kRef1G, kRefA6}) {
        table.Set(row, column, original(row, column));
      }
    }
    LcgRandom lcg = LcgRandom::FromSeed(11);
    PlainLcg plain;
    RandomSource& random = jumps ? static_cast<RandomSource&>(lcg) : plain;
    table.Reorder(random, nullptr, true);
    for (int column : {kPatientLastName, kRefSY, kRef1G, kRefA6}) {
      const std::vector<std::string> want = expected(column);
      for (int row = 1; row <= n; ++row) {
        ASSERT_EQ(table.Get(row, column), want[static_cast<size_t>(row)])
            << "column " << column << " row " << row;
      }
    }
    // The whole stretch of the sequence was taken: what follows starts
    // after every column's keys.
    LcgRandom after = LcgRandom::FromSeed(11);
    after.Skip(static_cast<uint64_t>(kClaimColumnCount) * n);
    EXPECT_EQ(random.Next(), after.Next());
  }
}

// Values held only by the first block of rows move, without `filledOnly`,
// into blocks where their columns had no cells yet: the two reordering
// threads then make those cells at the same time (two such columns).
// Every value arrives once, and most land past the first block.
TEST(ClaimTable, ValuesMoveIntoBlocksTheirColumnHadNoCellsIn) {
  constexpr int kRows = 200000;
  constexpr int kFilled = 1000;
  ClaimTable table;
  table.Create(kRows);
  for (int row = 1; row <= kFilled; ++row) {
    table.Set(row, kPatientLastName, "L" + std::to_string(row));
    table.Set(row, kPatientFirstName, "F" + std::to_string(row));
  }
  LcgRandom random = LcgRandom::FromSeed(9);
  table.Reorder(random);
  for (int column : {kPatientLastName, kPatientFirstName}) {
    SCOPED_TRACE(column);
    std::multiset<std::string> values;
    int pastFirstBlock = 0;
    for (int row = 1; row <= kRows; ++row) {
      const std::string value(table.Get(row, column));
      if (value.empty()) continue;
      values.insert(value);
      pastFirstBlock += row >= 65536;
    }
    std::multiset<std::string> expected;
    for (int row = 1; row <= kFilled; ++row) {
      expected.insert((column == kPatientLastName ? "L" : "F") + std::to_string(row));
    }
    EXPECT_EQ(values, expected);
    EXPECT_GT(pastFirstBlock, kFilled / 2);
  }
}

// Spare blocks made ready, a piece at a time, on two other threads while
// values are stored (as the scan's thread and the waiting collection's
// thread do): every value stored is read back, cells never set are empty
// (a spare cell slab comes zero-filled), and a spare left over when the
// values are all in changes nothing.
TEST(ClaimTable, SparesMadeOnOtherThreadsKeepValuesAndEmptyCells) {
  constexpr int kRows = 400000;  // several value chunks and cell slabs
  auto value = [](int row, int column) {
    return std::string(static_cast<size_t>(20 + row % 13), static_cast<char>('A' + column)) +
           std::to_string(row);
  };
  ClaimTable table;
  table.CreateGrowing();
  bool storing = true;
  std::mutex lock;
  // Two threads make the spares ready a piece at a time, as the scan's
  // thread and the collection's (while it waits) do.
  auto prepare = [&] {
    for (;;) {
      {
        std::lock_guard<std::mutex> guard(lock);
        if (!storing) break;
      }
      table.PrepareSparePiece();
    }
  };
  std::thread helper(prepare);
  std::thread second(prepare);
  for (int row = 1; row <= kRows; ++row) {
    // Every other column of every row, and a column left out of every
    // third block of rows, so that fresh cell arrays keep being cut.
    for (int column = row % 2; column < kClaimColumnCount; column += 2) {
      if (column == kRefG3 && (row >> 16) % 3 == 1) continue;
      table.Set(row, column, value(row, column));
    }
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    storing = false;
  }
  helper.join();
  second.join();
  table.PrepareSpares();  // a spare made after the last value
  table.SetClaimCount(kRows);
  for (int row = 1; row <= kRows; row += 7) {
    for (int column = 0; column < kClaimColumnCount; ++column) {
      const bool set = column % 2 == row % 2 && !(column == kRefG3 && (row >> 16) % 3 == 1);
      ASSERT_EQ(table.Get(row, column), set ? value(row, column) : std::string()) << row << " " << column;
    }
  }
  LcgRandom random = LcgRandom::FromSeed(3);
  table.Reorder(random);
  std::multiset<std::string> names;
  for (int row = 1; row <= kRows; ++row) {
    const std::string_view name = table.Get(row, kPatientLastName);
    if (!name.empty()) names.insert(std::string(name));
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(kRows / 2));
}
