// Files written by the generator in every layout scan cleanly, with counts
// that agree with the envelope, and folding a file does not change its copy.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "x12scan.h"

#ifndef GEN835_PATH
#error "GEN835_PATH must name the generator"
#endif

namespace {

struct Generated {
  std::string path;
  std::string copy;
  int32_t code = -1;
  InterchangeTable interchanges;
  GroupTable groups;
  SetTable sets;
};

Generated Generate(const std::string& name, const std::string& options) {
  Generated g;
  // The process id keeps tests run side by side out of each other's files.
  g.path = testing::TempDir() + std::to_string(getpid()) + "-" + name + ".835";
  const std::string copyPath = g.path + ".copy";
  const std::string command = std::string(GEN835_PATH) + " " + options + " -o " + g.path;
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  Ta1Table ta1s;
  g.code = ScanX12File(g.path, copyPath, "", g.interchanges, ta1s, g.groups, g.sets, ProgressTarget());
  g.copy = ReadWholeFile(copyPath);
  std::remove(copyPath.c_str());
  std::remove(g.path.c_str());
  return g;
}

TEST(GeneratedFiles, ScanWithCountsThatAgreeWithTheEnvelope) {
  struct Case {
    const char* name;
    const char* options;
    int32_t interchanges;
    int32_t claims;
  } cases[] = {
      {"one-line", "--claims 120 --seed 11", 1, 120},
      {"crlf", "--claims 120 --seed 12 --newline crlf", 1, 120},
      {"fold80", "--claims 120 --seed 13 --fold 80", 1, 120},
      {"term-cr", "--claims 50 --seed 14 --term CR", 1, 50},
      {"term-lf", "--claims 50 --seed 15 --term LF --newline none", 1, 50},
      {"mixed", "--claims 90 --seed 16 --interchanges 3 --separators-per-interchange --with-997", 3, 90},
      {"preamble", "--claims 10 --seed 17 --preamble 'From: payer\\r\\nSubject: remittance\\r\\n\\r\\n'", 1, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Generated g = Generate(c.name, c.options);
    ASSERT_EQ(g.code, 0);
    EXPECT_EQ(g.interchanges.Count(), c.interchanges);
    int32_t claims = 0;
    for (int32_t s = 1; s <= g.sets.Count(); ++s) {
      EXPECT_EQ(g.sets[s].segmentCount, g.sets[s].seSegmentCount) << "set " << s;
      if (std::strcmp(g.sets[s].setId, "835") == 0) claims += g.sets[s].loopCount1;
    }
    EXPECT_EQ(claims, c.claims);
    for (int32_t k = 1; k <= g.groups.Count(); ++k) EXPECT_EQ(g.groups[k].setsClosed, g.groups[k].geSetCount);
    for (int32_t k = 1; k <= g.interchanges.Count(); ++k) {
      EXPECT_EQ(g.interchanges[k].groupsClosed, g.interchanges[k].ieaGroupCount);
    }
  }
}

TEST(GeneratedFiles, FoldingAtEightyColumnsLeavesTheCopyUnchanged) {
  Generated flat = Generate("flat", "--claims 200 --seed 21");
  Generated folded = Generate("folded", "--claims 200 --seed 21 --fold 80");
  ASSERT_EQ(flat.code, 0);
  ASSERT_EQ(folded.code, 0);
  EXPECT_FALSE(flat.copy.empty());
  EXPECT_TRUE(flat.copy == folded.copy);
}

}  // namespace
