// Whole files, public samples and generated ones: the scrambled output
// keeps everything but the replaced values, every column is a permutation
// of its collected values, and the report's counts are right.
#include <gtest/gtest.h>

#include <cstdlib>

#include "check.h"
#include "random.h"
#include "run.h"
#include "test_util.h"

using namespace testutil;

namespace {

int64_t ClaimCount(const SetTable& sets) {
  int64_t count = 0;
  for (int32_t i = 1; i <= sets.Count(); ++i) {
    if (std::string(sets[i].setId) == "835") count += sets[i].loopCount1;
  }
  return count;
}

// Scans `input`, runs the engine over the copy and checks the output;
// returns the number of changed segments.
int64_t CheckFile(const std::string& input, bool listing) {
  SCOPED_TRACE(input);
  TempDir dir;
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
  const int32_t code = ScanX12File(input, dir.File("copy"), "", interchanges, ta1s, groups, sets,
                                   ProgressTarget());
  FakeDialog dialog;
  dialog.input = input;
  dialog.output = dir.File("out.txt");
  dialog.listing = listing;
  RecordingNotice notice;
  LcgRandom random(11.0f);
  if (code != 0) {
    // A file the scan refuses: the run reports the scan's message only.
    RunResult run = RunScramble(dialog, random, notice);
    EXPECT_EQ(run.scanCode, code);
    EXPECT_EQ(run.report, "Scan failed: " + ScanErrorText(code));
    EXPECT_FALSE(FileExists(dialog.output));
    return 0;
  }
  ScrambleResult result = ScrambleFile(dialog, dir.File("copy"), dir.File("report"), interchanges,
                                       groups, sets, random, notice);
  EXPECT_TRUE(result.outputWritten);
  const std::string copy = ReadFile(dir.File("copy"));
  const std::string output = ReadFile(dialog.output);
  const std::string report = ReadFile(dir.File("report"));
  ScrambleCounts reported;
  EXPECT_TRUE(ReportCounts(report, reported));
  EXPECT_EQ(reported.segmentsIn, result.counts.segmentsIn);
  EXPECT_EQ(reported.claimsFound, result.counts.claimsFound);
  EXPECT_EQ(reported.totalChanged, result.counts.totalChanged);
  EXPECT_EQ(reported.totalChanged, reported.clpChanged + reported.patientChanged +
                                       reported.insuredChanged + reported.otherChanged);
  EXPECT_EQ(CheckScramble(copy, output, interchanges, ClaimCount(sets), reported), "");
  // The product's own check, from the two files alone, agrees.
  const CheckResult check = CheckScrambledFile(input, dialog.output);
  EXPECT_TRUE(check.Passed()) << CheckSummaryText(check, input, dialog.output);
  EXPECT_EQ(check.claims, ClaimCount(sets));
  // A whole run collects while the scan writes the copy; with the same seed
  // it comes to the very same output and counts.
  FakeDialog whole = dialog;
  whole.output = dir.File("run-out.txt");
  LcgRandom again(11.0f);
  const RunResult run = RunScramble(whole, again, notice);
  EXPECT_EQ(ReadFile(whole.output), output);
  ScrambleCounts runCounts;
  EXPECT_TRUE(ReportCounts(run.report, runCounts));
  EXPECT_EQ(runCounts.segmentsIn, reported.segmentsIn);
  EXPECT_EQ(runCounts.claimsFound, reported.claimsFound);
  EXPECT_EQ(runCounts.totalChanged, reported.totalChanged);
  if (listing) {
    // Three listing lines per changed segment.
    size_t entries = 0;
    for (size_t at = 0; (at = report.find("\r\nSegment in ==>", at)) != std::string::npos; ++at) {
      ++entries;
    }
    EXPECT_EQ(static_cast<int64_t>(entries), reported.totalChanged);
  }
  return reported.totalChanged;
}

}  // namespace

TEST(Samples, EveryPublicSample) {
  const std::string folder = X12_SAMPLES_DIR;
  std::vector<std::string> names = FolderEntries(folder);
  int checked = 0;
  int64_t changed = 0;
  for (const std::string& name : names) {
    // Beside the samples: .gitattributes and the notes on their sources and licences.
    if (name[0] == '.' || (name.size() > 3 && name.compare(name.size() - 3, 3, ".md") == 0)) continue;
    changed += CheckFile(folder + "/" + name, checked % 2 == 0);
    ++checked;
  }
  EXPECT_GE(checked, 10) << "samples not found in " << folder;
  EXPECT_GT(changed, 300);
}

#ifdef GEN835_PATH
TEST(Samples, GeneratedLayouts) {
  const struct {
    const char* name;
    const char* options;
  } cases[] = {
      {"all on one line", "--claims 60 --newline none"},
      {"folded at 80", "--claims 60 --fold 80"},
      {"terminator CR", "--claims 60 --term CR --newline none"},
      {"terminator LF", "--claims 60 --term LF --newline none"},
      {"interchanges with different separators",
       "--claims 90 --interchanges 3 --separators-per-interchange"},
      {"997 beside the 835", "--claims 40 --with-997"},
      {"pipe, caret, CR LF", "--claims 30 --element '|' --sub '^' --newline crlf"},
  };
  TempDir dir;
  int seed = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string file = dir.File("gen" + std::to_string(seed) + ".835");
    const std::string command = std::string(GEN835_PATH) + " " + c.options + " --seed " +
                                std::to_string(seed++) + " -o " + file;
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    EXPECT_GT(CheckFile(file, seed % 2 == 0), 40);
  }
}
#endif
