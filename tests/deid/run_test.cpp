// One whole run: scan, engine, report, and the temporary files around them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform.h"
#include "random.h"
#include "run.h"
#include "test_util.h"

using namespace testutil;

namespace {

const std::string kSmall835 =
    "ISA*00*          *00*          *ZZ*SENDER         *ZZ*RECEIVER       *240101*1200*^*00501*"
    "000000001*0*P*:~GS*HP*S*R*20240101*1200*1*X*005010X221A1~ST*835*0001~BPR*I*100*C*CHK~"
    "CLP*A1*1*100*80**MC*P1~NM1*QC*1*DOE*JOHN****MI*M1~CLP*A2*1*50*40**MC*P2~"
    "NM1*QC*1*ROE*JANE****MI*M2~REF*EA*R2~SE*8*0001~GE*1*1~IEA*1*000000001~";

// What the temporary folder shows when the engine starts collecting, and
// the files in it that the run holds open (their names as they were made,
// and their modes).
struct Snapshot {
  std::string dir;
  std::vector<std::string> shown;
  std::vector<std::string> open;
  std::vector<unsigned> modes;
};

void TakeSnapshot(const std::string& text, void* context) {
  if (text != "Collecting Information") return;
  auto* snapshot = static_cast<Snapshot*>(context);
  snapshot->shown = FolderEntries(snapshot->dir);
  for (const OpenDescriptor& open : OpenDescriptors("self")) {
    if (open.target.rfind(snapshot->dir + "/", 0) != 0) continue;
    struct stat info {};
    stat(open.path.c_str(), &info);
    snapshot->open.push_back(open.target.substr(snapshot->dir.size() + 1));
    snapshot->modes.push_back(info.st_mode & 07777);
  }
}

// The first three characters of the names, sorted, each once.
std::vector<std::string> Prefixes(const std::vector<std::string>& names) {
  std::vector<std::string> prefixes;
  for (const std::string& name : names) prefixes.push_back(name.substr(0, 3));
  std::sort(prefixes.begin(), prefixes.end());
  prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
  return prefixes;
}

}  // namespace

TEST(RunScramble, TemporaryFilesAreOwnerOnlyAndDeleted) {
  TempDir tmp, work;
  TmpDirOverride override(tmp.Path());
  WriteFile(work.File("in.835"), kSmall835);
  FakeDialog dialog;
  dialog.input = work.File("in.835");
  dialog.output = work.File("out.txt");
  Snapshot snapshot;
  snapshot.dir = tmp.Path();
  dialog.onStatus = TakeSnapshot;
  dialog.context = &snapshot;
  RecordingNotice notice;
  LcgRandom random(4.0f);
  RunResult run = RunScramble(dialog, random, notice);

  EXPECT_EQ(run.scanCode, 0);
  EXPECT_TRUE(run.scramble.outputWritten);
  // Both files exist, owner-only, without a name anyone could open.
  EXPECT_TRUE(snapshot.shown.empty());
  EXPECT_EQ(Prefixes(snapshot.open), (std::vector<std::string>{"~RT", "~uw"}));
  for (const std::string& name : snapshot.open) {
    EXPECT_EQ(name.substr(name.size() - 10), " (deleted)");
  }
  for (unsigned mode : snapshot.modes) EXPECT_EQ(mode, 0600u);
  EXPECT_TRUE(tmp.Entries().empty());
  for (const OpenDescriptor& open : OpenDescriptors("self")) {
    EXPECT_NE(open.target.rfind(tmp.Path() + "/", 0), 0u) << open.target;  // let go of
  }
  EXPECT_EQ(run.report.rfind("Quorvel Systems Inc '835' Data Scrambler Begins at ", 0), 0u);
  EXPECT_NE(run.report.find("\r\nInput File (original file) is " + dialog.input + "\r\n"),
            std::string::npos);
  EXPECT_NE(run.report.find("\r\nScrambled data written to file " + dialog.output + "\r\n"),
            std::string::npos);
  EXPECT_EQ(dialog.statuses,
            (std::vector<std::string>{"Scanning " + dialog.input, "Scan Complete",
                                      "Collecting Information",
                                      "Randomly Scrambling Collected Information",
                                      "Writing ANSI Data to " + dialog.output}));
  EXPECT_TRUE(notice.shown.empty());
}

TEST(RunScramble, ScanFailureGivesItsMessageAndNoEngine) {
  TempDir tmp, work;
  TmpDirOverride override(tmp.Path());
  WriteFile(work.File("junk"), std::string(300, 'x'));
  WriteFile(work.File("tiny"), "ISA*00");
  const struct {
    std::string input;
    std::string report;
  } cases[] = {
      {work.File("junk"), "Scan failed: No Interchange(s) Found (No Valid ISA Segments)"},
      {work.File("tiny"), "Scan failed: File too small to contain an interchange"},
      {work.File("missing"), "Scan failed: Input File Not found"},
  };
  for (const auto& c : cases) {
    FakeDialog dialog;
    dialog.input = c.input;
    dialog.output = work.File("out.txt");
    RecordingNotice notice;
    LcgRandom random(1.0f);
    RunResult run = RunScramble(dialog, random, notice);
    EXPECT_NE(run.scanCode, 0);
    EXPECT_EQ(run.report, c.report);
    EXPECT_FALSE(run.scramble.opened);
    EXPECT_EQ(dialog.statuses, (std::vector<std::string>{"Scanning " + c.input, "Scan Complete"}));
    EXPECT_FALSE(FileExists(work.File("out.txt")));
    EXPECT_TRUE(tmp.Entries().empty());
  }
}

// An input cut short while it is scanned (here at 30 % of the scan): the
// run fails with the scan's message, writes no output and leaves no
// temporary file, whatever had been collected or copied by then.
TEST(RunScramble, InputCutDuringTheScanFailsTheRun) {
  TempDir tmp, work;
  TmpDirOverride override(tmp.Path());
  std::string input = kSmall835.substr(0, kSmall835.find("SE*"));
  while (input.size() < (size_t{3} << 20)) input += "CLP*A1*1*100*80**MC*P1~NM1*QC*1*DOE*JOHN****MI*M1~";
  input += "SE*8*0001~GE*1*1~IEA*1*000000001~";
  WriteFile(work.File("in.835"), input);
  FakeDialog dialog;
  dialog.input = work.File("in.835");
  dialog.output = work.File("out.txt");
  RecordingNotice notice;
  LcgRandom random(1.0f);
  ProgressTarget progress;
  progress.window = 1;
  progress.context = &dialog;
  progress.step = [](const ProgressTarget& target, int percent) {
    const FakeDialog& d = *static_cast<const FakeDialog*>(target.context);
    if (percent >= 30) {
      ASSERT_EQ(truncate(d.input.c_str(), 4096), 0);  // again at each step: no change
    }
  };
  RunResult run = RunScramble(dialog, random, notice, progress);
  EXPECT_EQ(run.scanCode, kScanInputChanged);
  EXPECT_EQ(run.report, "Scan failed: Input File changed or could not be read during the scan");
  EXPECT_FALSE(run.scramble.opened);
  EXPECT_EQ(work.Entries(), (std::vector<std::string>{"in.835"}));
  EXPECT_TRUE(tmp.Entries().empty());
}

TEST(RunScramble, ScanStatusIsCutTo259Characters) {
  TempDir tmp;
  TmpDirOverride override(tmp.Path());
  FakeDialog dialog;
  dialog.input = "/" + std::string(300, 'p');
  RecordingNotice notice;
  LcgRandom random(1.0f);
  RunScramble(dialog, random, notice);
  ASSERT_FALSE(dialog.statuses.empty());
  EXPECT_EQ(dialog.statuses[0], ("Scanning " + dialog.input).substr(0, 259));
}

// A temporary copy that cannot be written whole (here: the file-size
// limit, as a full temporary folder would) must not be scrambled as if it
// were the whole file.
TEST(RunScramble, TruncatedCopyIsNotScrambled) {
  TempDir tmp, work;
  TmpDirOverride override(tmp.Path());
  std::string input = kSmall835.substr(0, kSmall835.find("SE*"));
  for (int i = 0; i < 500; ++i) input += "REF*ZZ*PADDING-PADDING~";
  input += "SE*8*0001~GE*1*1~IEA*1*000000001~";
  WriteFile(work.File("in.835"), input);
  FakeDialog dialog;
  dialog.input = work.File("in.835");
  dialog.output = work.File("out.txt");
  RecordingNotice notice;
  LcgRandom random(1.0f);
  RunResult run;
  {
    FileSizeLimit limit(4096);
    run = RunScramble(dialog, random, notice);
  }
  EXPECT_EQ(run.scanCode, 0);
  EXPECT_EQ(run.copyError, EFBIG);
  EXPECT_FALSE(run.scramble.opened);
  EXPECT_EQ(run.report, "Scrambled data NOT written: could not write temporary file (File too large)");
  EXPECT_FALSE(FileExists(dialog.output));
  EXPECT_TRUE(tmp.Entries().empty());
}

// No temporary folder: the empty copy path goes on, the engine's open
// fails with its notice, and nothing is written.
TEST(RunScramble, NoTemporaryFolder) {
  TempDir work;
  TmpDirOverride override(work.File("gone"));
  WriteFile(work.File("in.835"), kSmall835);
  FakeDialog dialog;
  dialog.input = work.File("in.835");
  dialog.output = work.File("out.txt");
  RecordingNotice notice;
  LcgRandom random(1.0f);
  RunResult run = RunScramble(dialog, random, notice);
  EXPECT_FALSE(run.scramble.outputWritten);
  EXPECT_EQ(run.report, "");
  ASSERT_EQ(notice.shown.size(), 1u);
  EXPECT_EQ(notice.shown[0].rfind("Error # ", 0), 0u);
  EXPECT_FALSE(FileExists(work.File("out.txt")));
}

// A tag followed by blanks ("CLP  ", "SE  ") is the same tag to the scan and
// to the engine, which reads the copy where the blanks are gone: both count
// the same claims, so every claim has its own row and none goes out as
// read.
TEST(RunScramble, ScanAndEngineCountTheSameClaims) {
  const struct {
    const char* name;
    const char* inserted;  // after the second claim
    int64_t claims;
  } cases[] = {
      {"CLP with trailing blanks", "CLP  ~", 7},
      {"SE with trailing blanks", "SE  ~", 2},
      {"ST01 beginning with 835", "SE*1*1~ST*835X*2~", 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string input =
        "ISA*00*          *00*          *ZZ*SENDER         *ZZ*RECEIVER       *240101*1200*^*"
        "00501*000000001*0*P*:~GS*HP*S*R*20240101*1200*1*X*005010X221A1~ST*835*0001~";
    for (int k = 1; k <= 6; ++k) {
      const std::string n = std::to_string(k);
      input += "CLP*PCN" + n + "*1*10*5**MC*PAY" + n + "~NM1*QC*1*LAST" + n + "*FIRST" + n +
               "****MI*ORIGID" + n + "~";
      if (k == 2) input += c.inserted;
    }
    input += "SE*20*0001~GE*1*1~IEA*1*000000001~";
    TempDir work;
    WriteFile(work.File("in.835"), input);
    FakeDialog dialog;
    dialog.input = work.File("in.835");
    dialog.output = work.File("out.txt");
    RecordingNotice notice;
    LcgRandom random(8.0f);
    RunResult run = RunScramble(dialog, random, notice);
    ASSERT_EQ(run.scanCode, 0);
    ASSERT_TRUE(run.scramble.outputWritten) << run.report;
    EXPECT_EQ(run.scramble.counts.claimsFound, c.claims);
    EXPECT_EQ(run.scramble.counts.clpChanged, c.claims);
    const std::string output = ReadFile(dialog.output);
    // The claims inside 835 sets all got new member ids.
    for (int k = 1; k <= std::min<int64_t>(c.claims, 6); ++k) {
      EXPECT_EQ(output.find("ORIGID" + std::to_string(k) + "~"), std::string::npos) << k;
    }
  }
}
