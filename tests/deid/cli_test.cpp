// The built scramble835 program: arguments, path checks, exit codes,
// messages, progress and interruption.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "platform.h"
#include "test_util.h"
#include "x12scan.h"

using namespace testutil;

namespace {

struct CliResult {
  int exit = -1;
  std::string out, err;
};

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  return quoted + "'";
}

// Runs a bash command line in `cwd`, standard input from /dev/null unless
// it says otherwise; "$SCRAMBLE835" names the program.
CliResult RunBash(const std::string& commandLine, const std::string& cwd = ".") {
  TempDir capture;
  std::string command = "cd " + Quote(cwd) + " && SCRAMBLE835=" + Quote(SCRAMBLE835_PATH) +
                        " && { " + commandLine + "; } >" + Quote(capture.File("out")) + " 2>" +
                        Quote(capture.File("err")) + " </dev/null";
  int status = std::system(("/bin/bash -c " + Quote(command)).c_str());
  CliResult result;
  result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = ReadFile(capture.File("out"));
  result.err = ReadFile(capture.File("err"));
  return result;
}

// Runs the program through bash (after `setup`, e.g. limits) in `cwd`.
CliResult RunCli(const std::vector<std::string>& args, const std::string& cwd = ".",
                 const std::string& setup = "", const std::string& env = "") {
  std::string command = setup + " " + env + " exec \"$SCRAMBLE835\"";
  for (const std::string& arg : args) command += " " + Quote(arg);
  return RunBash(command, cwd);
}

std::string Replaced(std::string text, const std::vector<std::pair<std::string, std::string>>& edits) {
  for (const auto& edit : edits) {
    const size_t at = text.find(edit.first);
    if (at != std::string::npos) text.replace(at, edit.first.size(), edit.second);
  }
  return text;
}

// One set of `claims` claims, 65 bytes each.
std::string ManyClaims(int claims) {
  std::string input =
      "ISA*00*          *00*          *ZZ*SENDER         *ZZ*RECEIVER       *240101*1200*^*00501*"
      "000000001*0*P*:~GS*HP*S*R*1*1*1*X*1~ST*835*1~";
  const std::string claim = "CLP*A*1*100*80**MC*P~NM1*QC*1*DOE*JOHN****MI*M~SVC*HC:1*100*80~\r\n";
  input.reserve(input.size() + claim.size() * claims + 32);
  for (int i = 0; i < claims; ++i) input += claim;
  return input + "SE*3*1~GE*1*1~IEA*1*1~";
}

// True once the child has ended (it is left to be waited for).
bool HasEnded(pid_t child) {
  siginfo_t info {};
  return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == child;
}

// Waits until the child holds open a file that has no name any more and
// had one starting with `prefix`: true; or until it has ended: false.
bool WaitForNamelessFile(pid_t child, const std::string& prefix) {
  const std::string id = std::to_string(child);
  const std::string deleted = " (deleted)";
  for (;;) {
    for (const OpenDescriptor& open : OpenDescriptors(id)) {
      const std::string& target = open.target;
      if (target.rfind(prefix, 0) == 0 && target.size() > deleted.size() &&
          target.compare(target.size() - deleted.size(), deleted.size(), deleted) == 0) {
        return true;
      }
    }
    if (HasEnded(child)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
#else
constexpr bool kUnderSanitizer = false;
#endif

const std::string kInput =
    "ISA*00*          *00*          *ZZ*SENDER         *ZZ*RECEIVER       *240101*1200*^*00501*"
    "000000001*0*P*:~\r\nGS*HP*S*R*20240101*1200*1*X*005010X221A1~\r\nST*835*0001~\r\n"
    "CLP*A1*1*100*80**MC*P1~\r\nNM1*QC*1*DOE*JOHN****MI*M1~\r\nCLP*A2*1*50*40**MC*P2~\r\n"
    "NM1*QC*1*ROE*JANE****MI*M2~\r\nSE*6*0001~\r\nGE*1*1~\r\nIEA*1*000000001~\r\n";

// What --seed 77 made of kInput before seeds above 2^24 had states of their
// own: runs with small seeds stay as they were.
const std::string kSeed77Output =
    Replaced(kInput, {{"DOE*JOHN****MI*M1", "ROE*JOHN****MI*865083390Y"},
                      {"ROE*JANE****MI*M2", "DOE*JANE****MI*736355590P"}});

}  // namespace

TEST(Cli, HelpVersionAndBadArguments) {
  for (const char* option : {"--help", "-h"}) {
    CliResult help = RunCli({option});
    EXPECT_EQ(help.exit, 0);
    EXPECT_EQ(help.out.rfind("Usage: scramble835 [--listing] [--thorough] [--report FILE] [--seed N] "
                             "[-q | -v] INPUT OUTPUT\n", 0),
              0u)
        << option;
  }
  for (const char* option : {"--version", "-V"}) {
    CliResult version = RunCli({option});
    EXPECT_EQ(version.exit, 0);
    EXPECT_EQ(version.out, "scramble835 2.1.1 (x12scan " + ScanLibraryVersion() + ")\n") << option;
  }
  const std::vector<std::string> bad[] = {
      {}, {"one"}, {"a", "b", "c"}, {"--bogus", "a", "b"}, {"--seed", "x1", "a", "b"},
      {"--seed", "4294967296", "a", "b"}, {"--seed"}, {"--report"}, {"--seed=", "a", "b"},
      {"--seed=-1", "a", "b"}, {"--report=", "a", "b"}, {"--listing=yes", "a", "b"},
      {"-x", "a", "b"}, {"-qv", "a", "b"}, {"--report=r.txt", "--check", "-", "b"},
      {"--thorough=yes", "a", "b"},
  };
  for (const auto& args : bad) {
    CliResult run = RunCli(args);
    EXPECT_EQ(run.exit, 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(run.err.find("Try 'scramble835 --help'."), std::string::npos);
    EXPECT_EQ(run.out, "");
  }
}

// The option forms that mean the same run give the same output and report
// file, and with the seed 77 the output that seed always gave.
TEST(Cli, OptionForms) {
  TempDir dir;
  WriteFile(dir.File("in.835"), kInput);
  const std::vector<std::string> forms[] = {
      {"--quiet", "--seed", "77", "--report", "report.txt", "in.835", "out.txt"},
      {"-q", "--seed=77", "--report=report.txt", "in.835", "out.txt"},
      {"--report=report.txt", "in.835", "--seed", "77", "out.txt", "-q"},
      {"--verbose", "--seed=77", "--quiet", "--report", "report.txt", "--", "in.835", "out.txt"},
  };
  for (const auto& args : forms) {
    SCOPED_TRACE(args[0] + " " + args[1]);
    CliResult run = RunCli(args, dir.Path());
    EXPECT_EQ(run.exit, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(ReadFile(dir.File("out.txt")), kSeed77Output);
    EXPECT_NE(ReadFile(dir.File("report.txt")).find("\r\nScrambled data written to file out.txt\r\n"),
              std::string::npos);
    RemoveFile(dir.File("out.txt"));
    RemoveFile(dir.File("report.txt"));
  }
}

// Each seed gives a run of its own: seeds above 2^24, which a single does
// not hold exactly, once shared runs (16777216 and 16777217 alike), and a
// seed whose own number is the bit pattern of a smaller seed's single must
// not meet that seed's run either.  Seeds up to 2^24 keep their runs.
TEST(Cli, EverySeedHasARunOfItsOwn) {
  TempDir dir;
  WriteFile(dir.File("in.835"), kInput);
  const char* seeds[] = {"1", "1065353216", "16777215", "16777216", "16777217", "16777218",
                         "1266679808", "4294967295"};
  std::set<std::string> outputs;
  for (const char* seed : seeds) {
    CliResult run = RunCli({"--quiet", "--seed", seed, "in.835", "out.txt"}, dir.Path());
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_TRUE(outputs.insert(ReadFile(dir.File("out.txt"))).second) << seed;
  }
  ASSERT_EQ(RunCli({"-q", "--seed", "16777216", "in.835", "out.txt"}, dir.Path()).exit, 0);
  EXPECT_EQ(ReadFile(dir.File("out.txt")),
            Replaced(kInput, {{"A1*1*100*80**MC*P1", "A2*1*100*80**MC*P2"},
                              {"DOE*JOHN****MI*M1", "DOE*JANE****MI*527148437K"},
                              {"A2*1*50*40**MC*P2", "A1*1*50*40**MC*P1"},
                              {"ROE*JANE****MI*M2", "ROE*JOHN****MI*753654557N"}}));
}

// Path checks in order, with the dialog's texts followed by the path and
// the reason, exit status 2, nothing written and nothing deleted.
TEST(Cli, PathValidation) {
  TempDir dir;
  WriteFile(dir.File("in.835"), kInput);
  WriteFile(dir.File("empty.txt"), "");
  mkdir(dir.File("folder").c_str(), 0755);
  link(dir.File("in.835").c_str(), dir.File("alias.835").c_str());
  const std::string kNoInput = "scramble835: Can't find Input File: ";
  const std::string kBadOutput = "scramble835: Invalid or Missing Output File Path or Name: ";
  const std::string kSame = "scramble835: Output File cannot be same as Input File: ";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"missing.835", "out.txt"}, kNoInput + "missing.835 (No such file or directory)\n"},
      {{"folder", "out.txt"}, kNoInput + "folder (Is a directory)\n"},
      {{"missing.835", "folder"}, kNoInput + "missing.835 (No such file or directory)\n"},
      {{"in.835", "folder"}, kBadOutput + "folder (Is a directory)\n"},
      {{"in.835", "no-folder/out.txt"}, kBadOutput + "no-folder/out.txt (No such file or directory)\n"},
      {{"in.835", "/dev/null"}, kBadOutput + "/dev/null (not a regular file)\n"},
      {{"in.835", "in.835"}, kSame + "in.835\n"},
      {{"in.835", "alias.835"}, kSame + "alias.835\n"},
      {{"in.835", "./in.835"}, kSame + "./in.835\n"},
      {{"in.835", "out.txt", "--report", "in.835"},
       "scramble835: Report File cannot be same as Input or Output File: in.835\n"},
      {{"in.835", "out.txt", "--report=folder"},
       "scramble835: Invalid or Missing Report File Path or Name: folder (Is a directory)\n"},
  };
  for (const auto& c : cases) {
    CliResult run = RunCli(c.args, dir.Path());
    EXPECT_EQ(run.exit, 2) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(run.err, c.err) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(ReadFile(dir.File("in.835")), kInput);
  EXPECT_EQ(dir.Entries(),
            (std::vector<std::string>{"alias.835", "empty.txt", "folder", "in.835"}));
  // An existing empty output file is fine and is replaced by the output.
  CliResult run = RunCli({"--quiet", "--seed", "1", "in.835", "empty.txt"}, dir.Path());
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(ReadFile(dir.File("empty.txt")), "");
}

// The same file spelled another way, for each pair among input, output
// and report, is refused before anything is written; above all a report
// that names the output still to be made, which would replace it.
TEST(Cli, SameFileUnderAnotherSpellingIsRefused) {
  TempDir dir;
  WriteFile(dir.File("in.835"), kInput);
  mkdir(dir.File("sub").c_str(), 0755);
  symlink(dir.Path().c_str(), dir.File("link").c_str());
  const std::vector<std::string> before = dir.Entries();
  const std::vector<std::string> beforeSub = FolderEntries(dir.File("sub"));
  // Other spellings of `name`, a file directly in the folder.
  auto spellings = [&dir](const std::string& name) {
    return std::vector<std::string>{"./" + name, "sub/../" + name, "sub/..//" + name,
                                    "link/" + name, dir.File(name), "link/sub/../" + name};
  };
  auto same = [](const std::string& output) {
    return "scramble835: Output File cannot be same as Input File: " + output + "\n";
  };
  auto sameReport = [](const std::string& report) {
    return "scramble835: Report File cannot be same as Input or Output File: " + report + "\n";
  };
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  std::vector<Case> cases;
  for (const std::string& other : spellings("in.835")) {
    cases.push_back({{"in.835", other}, same(other)});
    cases.push_back({{other, "in.835"}, same("in.835")});
    cases.push_back({{"in.835", "out", "--report", other}, sameReport(other)});
  }
  for (const std::string& other : spellings("out")) {
    cases.push_back({{"in.835", "out", "--report", other}, sameReport(other)});
    cases.push_back({{"in.835", other, "--report", "out"}, sameReport("out")});
  }
  cases.push_back({{"in.835", "sub//out", "--report", "sub/out"}, sameReport("sub/out")});
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--quiet", "--seed", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CliResult run = RunCli(args, dir.Path());
    const std::string trace = c.args[0] + " " + c.args[1] + " " + c.args.back();
    EXPECT_EQ(run.exit, 2) << trace;
    EXPECT_EQ(run.err, c.err) << trace;
    EXPECT_EQ(run.out, "") << trace;
    EXPECT_EQ(dir.Entries(), before) << trace;
    EXPECT_EQ(FolderEntries(dir.File("sub")), beforeSub) << trace;
    RemoveFile(dir.File("out"));  // so that a failed case does not hide the next ones
  }
  EXPECT_EQ(ReadFile(dir.File("in.835")), kInput);
  // Truly different files in the same folders run.
  CliResult run = RunCli({"--quiet", "--seed", "1", "link/in.835", "sub/../out", "--report", "sub/out"},
                         dir.Path());
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(ReadFile(dir.File("out")).find("CLP*"), std::string::npos);
  EXPECT_NE(ReadFile(dir.File("sub/out")).find("Claims Found"), std::string::npos);
}

// The report (which with the listing pairs every original segment with its
// replacement) is the owner's alone, new or replacing a file, even under
// umask 000; the output keeps the usual rules: a new one as the umask
// allows, a replaced one with the replaced file's permissions.
TEST(Cli, ReportIsOwnerOnlyAndOutputKeepsItsMode) {
  const struct {
    const char* name;
    mode_t existing;  // 0: no file yet
    mode_t output;
  } cases[] = {
      {"new files", 0, 0666},
      {"replaced files", 0644, 0644},
      {"replaced files, other modes", 0640, 0640},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir.File("in.835"), kInput);
    if (c.existing != 0) {
      WriteFile(dir.File("out.txt"), "old");
      WriteFile(dir.File("report.txt"), "old");
      chmod(dir.File("out.txt").c_str(), c.existing);
      chmod(dir.File("report.txt").c_str(), c.existing);
    }
    CliResult run = RunCli({"--quiet", "--listing", "--report", "report.txt", "in.835", "out.txt"},
                           dir.Path(), "umask 000;");
    EXPECT_EQ(run.exit, 0) << run.err;
    struct stat report {}, output {};
    ASSERT_EQ(stat(dir.File("report.txt").c_str(), &report), 0);
    ASSERT_EQ(stat(dir.File("out.txt").c_str(), &output), 0);
    EXPECT_EQ(report.st_mode & 07777, 0600u);
    EXPECT_EQ(output.st_mode & 07777, c.output);
    EXPECT_NE(ReadFile(dir.File("report.txt")).find("Listing of changed segments"), std::string::npos);
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"in.835", "out.txt", "report.txt"}));
  }
}

// A failed scan says so with the file and the scan's message, and claims
// neither a complete scan nor a finished run.
TEST(Cli, ScanFailureExits3) {
  TempDir dir;
  WriteFile(dir.File("junk.txt"), std::string(400, 'z'));
  CliResult run = RunCli({"--verbose", "junk.txt", "out.txt"}, dir.Path());
  EXPECT_EQ(run.exit, 3);
  EXPECT_EQ(run.err,
            "Scanning junk.txt\n"
            "scramble835: Scan failed: junk.txt (No Interchange(s) Found (No Valid ISA Segments))\n");
  EXPECT_EQ(run.out, "");
  EXPECT_FALSE(FileExists(dir.File("out.txt")));
}

namespace {

uint64_t Fnv1a64(const std::string& bytes) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : bytes) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

// Splits a file of segments ending in '~' (and a line end) into elements.
std::vector<std::vector<std::string>> SegmentsOf(const std::string& text) {
  std::vector<std::vector<std::string>> segments;
  std::vector<std::string> current(1);
  for (char c : text) {
    if (c == '\r' || c == '\n') continue;
    if (c == '~') {
      segments.push_back(current);
      current.assign(1, std::string());
    } else if (c == '*') {
      current.emplace_back();
    } else {
      current.back() += c;
    }
  }
  return segments;
}

const std::string kOtherIdsFixture =
    std::string(X12_SOURCE_DIR) + "/tests/data/thorough/other-ids-5010.835";

}  // namespace

// A default run gives, for a seed, the very output it gave before thorough
// runs came: the bundled example, the public samples, a 5010 file with the
// identifiers only a thorough run exchanges, and a generated file of three
// interchanges under different delimiters that the rewrite takes in two
// blocks.  The outputs were made by the tool as it stood then.
TEST(Cli, DefaultRunGivesTheOutputItAlwaysGave) {
  TempDir dir;
  const std::string source = X12_SOURCE_DIR;
  EXPECT_EQ(RunCli({"-q", "--seed", "7", kOtherIdsFixture, dir.File("fixture.out")}).exit, 0);
  EXPECT_EQ(ReadFile(dir.File("fixture.out")),
            ReadFile(source + "/tests/data/thorough/other-ids-5010.seed7.out"));
  std::vector<std::pair<std::string, uint64_t>> files = {
      {"examples/example.835", 0x3936810ce6fecb33ull},
      {"tests/data/835/emedny-isa13-iea02-mismatch-one-line.edi", 0xe72ccb74e551a5a4ull},
      {"tests/data/835/emedny-newline-segment-terminator-5010.edi", 0x551eb28a8913fe8eull},
      {"tests/data/835/emedny-outpatient-retro-5010-crlf.edi", 0xbaa5d87af384caf2ull},
      {"tests/data/835/emedny-pharmacy-5010-one-line.edi", 0x8202163968abb579ull},
      {"tests/data/835/emedny-profee-5010-one-line.edi", 0x904a772c18e3d032ull},
      {"tests/data/835/oopfactory-inline-placeholders-5010-one-line.edi", 0x3d31509e85c07a0bull},
      {"tests/data/835/pyx12-835-mult-loops-5010.edi", 0xebdee67915d2192bull},
      {"tests/data/835/pyx12-835-simple-4010-reversals.edi", 0x86e9258efd26c872ull},
      {"tests/data/835/pyx12-997-ta1-ack-for-835-simple.edi", 0xe369aead4afa516eull},
      {"tests/data/835/stupidedi-5010-dental-9-claims-one-line.edi", 0x8c9998c5389013bdull},
      {"tests/data/835/stupidedi-5010-x221-preamble-text-crlf.edi", 0x8020317ca7f09bf5ull},
      {"tests/data/835/uhc-legacy-5010-one-line-gt-component.edi", 0xf6d64031d33678cfull},
      {"tests/data/835/lfh-managed-care-5010-lf.835", 0x17619c1b66ab70d2ull},
      {"tests/data/835/oopfactory-example1-4010-bom-crlf-indented.txt", 0x03928b35bdf0a0e0ull},
      {"tests/data/835/oopfactory-nth-deident-01-masked-crlf-indented.txt", 0x2e8f70fb2749abbfull},
  };
#ifdef GEN835_PATH
  const std::string generated = dir.File("generated.835");
  ASSERT_EQ(std::system((std::string(GEN835_PATH) + " --claims 12000 --seed 5 --interchanges 3 "
                         "--separators-per-interchange --newline crlf -o " + Quote(generated))
                            .c_str()),
            0);
  // The generator still writes the file the expected output was made from.
  ASSERT_EQ(Fnv1a64(ReadFile(generated)), 0x84bf4f987a70ffbcull);
  files.push_back({generated, 0xfa70bd42a8973572ull});
#endif
  for (const auto& [name, expected] : files) {
    SCOPED_TRACE(name);
    const std::string path = name[0] == '/' ? name : source + "/" + name;
    ASSERT_EQ(RunCli({"-q", "--seed", "7", path, dir.File("out")}).exit, 0);
    EXPECT_EQ(Fnv1a64(ReadFile(dir.File("out"))), expected);
  }
#ifdef GEN835_PATH
  // The check of the generated output, whose interchanges (each with its
  // own delimiters) the scan hands over in several pieces, passes.
  EXPECT_EQ(RunCli({"--check", generated, dir.File("out")}).exit, 0);
#endif
}

// --thorough on a 5010 file with other subscribers (NM1 GB), the eight
// claim REFs only a thorough run exchanges, line item control numbers (REF
// 6R) and PLB references that quote claim numbers: every column is
// exchanged among the claims (service lines) that hold it, the GB member
// ids are new, each PLB reference quotes its claim's new number, the new
// segments count among the other ids, and the check of a thorough run's
// output passes (and fails without --thorough, which takes the new columns
// for kept elements).
TEST(Cli, ThoroughExchangesTheOtherIdentifiers) {
  TempDir dir;
  const CliResult run =
      RunCli({"--thorough", "--seed", "3", kOtherIdsFixture, "out.835"}, dir.Path());
  ASSERT_EQ(run.exit, 0) << run.err;
  EXPECT_NE(run.out.find(" Other   ID Segments Changed :      46\r\n"), std::string::npos) << run.out;
  const auto in = SegmentsOf(ReadFile(kOtherIdsFixture));
  const auto out = SegmentsOf(ReadFile(dir.File("out.835")));
  ASSERT_EQ(in.size(), out.size());
  const struct {
    const char* tag;
    const char* code;  // NM101 or REF01
    size_t element;
  } kColumns[] = {{"NM1", "GB", 3}, {"NM1", "GB", 4}, {"NM1", "GB", 5}, {"REF", "28", 2},
                  {"REF", "6P", 2}, {"REF", "IG", 2}, {"REF", "F8", 2}, {"REF", "G1", 2},
                  {"REF", "9A", 2}, {"REF", "9C", 2}, {"REF", "CE", 2}, {"REF", "6R", 2}};
  for (const auto& column : kColumns) {
    SCOPED_TRACE(std::string(column.code) + " " + std::to_string(column.element));
    std::multiset<std::string> before, after;
    int moved = 0;
    for (size_t i = 0; i < in.size(); ++i) {
      if (in[i][0] != column.tag || in[i][1] != column.code) continue;
      before.insert(in[i][column.element]);
      after.insert(out[i][column.element]);
      moved += in[i][column.element] != out[i][column.element];
    }
    EXPECT_GE(before.size(), 4u);
    EXPECT_EQ(after, before);
    EXPECT_GT(moved, 0);
  }
  std::vector<size_t> claims, plbs;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i][0] == "CLP") claims.push_back(i);
    if (in[i][0] == "PLB") plbs.push_back(i);
    if (in[i][0] == "NM1" && in[i][1] == "GB") {
      EXPECT_EQ(Shape(out[i][9]), "999999999A");
      EXPECT_NE(out[i][9].substr(0, 4), "GBID");
    }
  }
  ASSERT_EQ(claims.size(), 5u);
  ASSERT_EQ(plbs.size(), 2u);
  // "WO:PCN002" quotes claim 2, "72:PCN001/2024" claim 1, "FB:PAYER0005"
  // the CLP07 of claim 5: of the claims of the PLB's own file.
  auto expectPlbsFollow = [&](const std::vector<std::vector<std::string>>& o) {
    EXPECT_EQ(o[plbs[0]][3], "WO:" + o[claims[1]][1]);
    EXPECT_EQ(o[plbs[0]][5], "72:" + o[claims[0]][1] + "/2024");
    EXPECT_EQ(o[plbs[1]][3], "FB:" + o[claims[4]][7]);
    EXPECT_EQ(o[plbs[1]][5], "L6");
  };
  expectPlbsFollow(out);

  EXPECT_EQ(RunCli({"--check", "--thorough", kOtherIdsFixture, "out.835"}, dir.Path()).exit, 0);
  const CliResult asDefault = RunCli({"--check", kOtherIdsFixture, "out.835"}, dir.Path());
  EXPECT_EQ(asDefault.exit, 1);
  EXPECT_EQ(asDefault.out.rfind("Check: FAILED: kept elements: segment 13 (NM1)", 0), 0u)
      << asDefault.out;
  // The options combine: a listing of the thorough run, and its own check.
  const CliResult both = RunCli({"--quiet", "--listing", "--thorough", "--seed", "3", "--check",
                                 kOtherIdsFixture, "again.835"},
                                dir.Path());
  EXPECT_EQ(both.exit, 0) << both.out;
  EXPECT_NE(both.out.find("Segment out==>NM1*GB*1*"), std::string::npos);
  EXPECT_NE(both.out.find("\nCheck: PASSED\n"), std::string::npos) << both.out;
  EXPECT_EQ(ReadFile(dir.File("again.835")), ReadFile(dir.File("out.835")));

  // A pool of two copies of the file: each output's PLBs follow the claims
  // of its own file, which carry the same numbers as the other's, and the
  // check of the pool as thorough outputs passes.
  WriteFile(dir.File("a.835"), ReadFile(kOtherIdsFixture));
  WriteFile(dir.File("b.835"), ReadFile(kOtherIdsFixture));
  ASSERT_EQ(mkdir(dir.File("pool").c_str(), 0700), 0);
  const CliResult pool =
      RunCli({"--quiet", "--thorough", "--seed", "4", "--out-dir", "pool", "a.835", "b.835"},
             dir.Path());
  ASSERT_EQ(pool.exit, 0) << pool.err;
  const auto a = SegmentsOf(ReadFile(dir.File("pool/a.835")));
  const auto b = SegmentsOf(ReadFile(dir.File("pool/b.835")));
  ASSERT_EQ(a.size(), in.size());
  ASSERT_EQ(b.size(), in.size());
  ASSERT_NE(a[claims[1]][1], b[claims[1]][1]);  // the seed tells the files' claim 2 apart
  expectPlbsFollow(a);
  expectPlbsFollow(b);
  // The line item control numbers of both files, among the service lines of both.
  std::multiset<std::string> lineItems, exchanged;
  int moved = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i][0] != "REF" || in[i][1] != "6R") continue;
    lineItems.insert({in[i][2], in[i][2]});
    exchanged.insert({a[i][2], b[i][2]});
    moved += (a[i][2] != in[i][2]) + (b[i][2] != in[i][2]);
  }
  EXPECT_EQ(exchanged, lineItems);
  EXPECT_GT(moved, 0);
  EXPECT_EQ(RunCli({"--check", "--thorough", "--out-dir", "pool", "a.835", "b.835"}, dir.Path()).exit,
            0);
}

TEST(Cli, SuccessReportProgressAndSeed) {
  TempDir dir;
  WriteFile(dir.File("in.835"), kInput);
  const std::string kStages =
      "Scanning in.835\nScan Complete\nCollecting Information\n"
      "Randomly Scrambling Collected Information\nWriting ANSI Data to out1.txt\nDone, Ready\n";
  // Standard error is no terminal here: the stages appear only when asked
  // for, one status per line; the last of --quiet and --verbose decides.
  const struct {
    std::vector<std::string> options;
    std::string err;
  } cases[] = {
      {{}, ""}, {{"--verbose"}, kStages}, {{"-v"}, kStages},
      {{"-v", "--quiet"}, ""}, {{"-q", "--verbose"}, kStages},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"--seed", "77", "in.835", "out1.txt"});
    CliResult run = RunCli(args, dir.Path());
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.err, c.err) << (c.options.empty() ? "" : c.options[0]);
    EXPECT_NE(run.out.find("\r\nInput File (original file) is in.835\r\n"), std::string::npos);
    EXPECT_NE(run.out.find("\r\n Claims Found                :       2\r\n"), std::string::npos);
    EXPECT_NE(run.out.find("\r\nScrambled data written to file out1.txt\r\n"), std::string::npos);
    EXPECT_NE(run.out.find("Detailed Segment changes not shown."), std::string::npos);
  }

  CliResult again = RunCli({"--quiet", "--listing", "--seed", "77", "--report", "report.txt",
                            "in.835", "out2.txt"},
                           dir.Path());
  EXPECT_EQ(again.exit, 0);
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(again.out, "");
  EXPECT_NE(ReadFile(dir.File("report.txt")).find("Listing of changed segments\r\n"),
            std::string::npos);
  EXPECT_EQ(ReadFile(dir.File("out1.txt")), ReadFile(dir.File("out2.txt")));

  // Without a seed, the secure source: another output, and another again
  // on the next run, so that no run can be repeated to undo it.
  EXPECT_EQ(RunCli({"--quiet", "in.835", "out3.txt"}, dir.Path()).exit, 0);
  EXPECT_NE(ReadFile(dir.File("out1.txt")), ReadFile(dir.File("out3.txt")));
  EXPECT_EQ(RunCli({"--quiet", "in.835", "out4.txt"}, dir.Path()).exit, 0);
  EXPECT_NE(ReadFile(dir.File("out3.txt")), ReadFile(dir.File("out4.txt")));
  EXPECT_NE(ReadFile(dir.File("out4.txt")), "");
}

// '-' reads standard input and writes standard output, so the tool works in
// a pipeline; the temporary files for both are gone afterwards.  Standard
// output receives nothing from a run that fails, and a report that says why.
TEST(Cli, StandardInputAndOutput) {
  std::string endMark = kInput;
  endMark.insert(endMark.find("ROE*JANE"), "\x1A");
  const std::string kFromStandardInput = "\r\nInput File (original file) is standard input\r\n";
  const std::string kWritten = "\r\nScrambled data written to file standard output\r\n";
  const struct {
    const char* name;
    std::string input;
    std::string command;  // in the folder of in.835; the report goes to r.txt
    int exit;
    std::string out;          // what reaches standard output
    std::string err;          // standard error (start)
    std::vector<std::string> reportLines;  // in r.txt; none: no report file
  } cases[] = {
      {"pipeline", kInput, "cat in.835 | \"$SCRAMBLE835\" --seed 77 --report r.txt - -", 0,
       kSeed77Output, "", {kFromStandardInput, kWritten}},
      {"file to standard output", kInput, "\"$SCRAMBLE835\" --seed=77 --report=r.txt in.835 -", 0,
       kSeed77Output, "", {"\r\nInput File (original file) is in.835\r\n", kWritten}},
      {"standard input to a file", kInput,
       "\"$SCRAMBLE835\" --seed 77 --report r.txt - out.835 < in.835 && cat out.835", 0,
       kSeed77Output, "",
       {kFromStandardInput, "\r\nScrambled data written to file out.835\r\n"}},
      {"full standard output", kInput, "\"$SCRAMBLE835\" --report r.txt in.835 - > /dev/full", 4,
       "",
       "scramble835: Scrambled data NOT written: could not write to standard output (No space "
       "left on device)\n",
       {"\r\nScrambled data NOT written: could not write to standard output (No space left on "
        "device)\r\n"}},
      {"input cut short", endMark, "\"$SCRAMBLE835\" --report r.txt - - < in.835", 4, "",
       "scramble835: Scrambled data NOT written: held back from standard output (the input was "
       "read only up to a byte 0x1A)\nscramble835: warning: The input holds a byte 0x1A",
       {"\r\nScrambled data NOT written: held back from standard output (the input was read only "
        "up to a byte 0x1A)\r\n"}},
      {"unreadable standard input", kInput, "\"$SCRAMBLE835\" --report r.txt - out.835 < .", 2, "",
       "scramble835: Can't find Input File: standard input (Is a directory)\n", {}},
      {"empty standard input", kInput, "\"$SCRAMBLE835\" --report r.txt - - < /dev/null", 3, "",
       "scramble835: Scan failed: standard input (", {}},
      {"no report file", kInput, "\"$SCRAMBLE835\" in.835 - < in.835", 2, "",
       "scramble835: with OUTPUT '-' the output takes standard output: name a file for the "
       "report with --report FILE\n",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir, tmp;
    WriteFile(dir.File("in.835"), c.input);
    CliResult run = RunBash("export TMPDIR=" + Quote(tmp.Path()) + "; " + c.command, dir.Path());
    EXPECT_EQ(run.exit, c.exit);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
    if (c.reportLines.empty()) {
      EXPECT_FALSE(FileExists(dir.File("r.txt")));
    } else {
      const std::string report = ReadFile(dir.File("r.txt"));
      for (const std::string& line : c.reportLines) {
        EXPECT_NE(report.find(line), std::string::npos) << report;
      }
    }
    EXPECT_TRUE(tmp.Entries().empty());
  }
}

// The envelope listing, of a file or of standard input, and its refusal.
TEST(Cli, Inspect) {
  TempDir dir, tmp;
  WriteFile(dir.File("in.835"), kInput);
  const struct {
    std::string command;
    int exit;
    std::string out, err;  // out: a line of it
  } cases[] = {
      {"\"$SCRAMBLE835\" --inspect in.835", 0, "\ninterchanges: 1  groups: 1  sets: 1  claims: 2\n",
       ""},
      {"cat in.835 | \"$SCRAMBLE835\" --inspect -", 0,
       "\ninterchanges: 1  groups: 1  sets: 1  claims: 2\n", ""},
      {"\"$SCRAMBLE835\" --inspect missing.835", 2, "",
       "scramble835: Can't find Input File: missing.835 (No such file or directory)\n"},
  };
  for (const auto& c : cases) {
    CliResult run = RunBash("export TMPDIR=" + Quote(tmp.Path()) + "; " + c.command, dir.Path());
    EXPECT_EQ(run.exit, c.exit) << c.command;
    EXPECT_NE(run.out.find(c.out), std::string::npos) << c.command << "\n" << run.out;
    EXPECT_EQ(run.err, c.err) << c.command;
  }
  EXPECT_TRUE(tmp.Entries().empty());
}

// A reader that went away before the output came (`| head -c 0`, say): the
// write fails rather than a signal ending the run, and the status, the
// message and the report say so; no temporary file is left.
TEST(Cli, ClosedPipeOnStandardOutput) {
  TempDir dir, tmp;
  WriteFile(dir.File("in.835"), kInput);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    setenv("TMPDIR", tmp.Path().c_str(), 1);
    if (chdir(dir.Path().c_str()) != 0) _exit(99);
    if (dup2(fds[1], 1) < 0 || std::freopen("err", "w", stderr) == nullptr) _exit(97);
    signal(SIGPIPE, SIG_DFL);  // as a shell hands it on
    execl(SCRAMBLE835_PATH, SCRAMBLE835_PATH, "--report", "r.txt", "in.835", "-",
          static_cast<char*>(nullptr));
    _exit(98);
  }
  close(fds[1]);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4) << status;
  const std::string line = "Scrambled data NOT written: could not write to standard output (Broken pipe)";
  EXPECT_EQ(ReadFile(dir.File("err")), "scramble835: " + line + "\n");
  EXPECT_NE(ReadFile(dir.File("r.txt")).find("\r\n" + line + "\r\n"), std::string::npos);
  EXPECT_TRUE(tmp.Entries().empty());
}

// An output that cannot be written completely: exit 4, the report says so,
// and no file is left under the output name.  The file-size limit stands in
// for a full disk; it is set between the size of the unwrapped copy and the
// size of the output (with CR terminators each output line is longer).
TEST(Cli, OutputWriteFailureExits4) {
  TempDir dir, tmp;
  std::string input =
      "ISA*00*          *00*          *ZZ*SENDER         *ZZ*RECEIVER       *240101*1200*^*00501*"
      "000000001*0*P*:\rGS*HP*S*R*1*1*1*X*1\rST*835*1\rCLP*A*1\r";
  for (int i = 0; i < 3000; ++i) input += "REF*ZZ*1234567890\r";
  input += "SE*3003*1\rGE*1*1\rIEA*1*1\r";
  WriteFile(dir.File("in.835"), input);
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
  ASSERT_EQ(ScanX12File(dir.File("in.835"), tmp.File("copy"), "", interchanges, ta1s, groups, sets,
                        ProgressTarget()),
            0);
  const size_t copySize = ReadFile(tmp.File("copy")).size();
  RemoveFile(tmp.File("copy"));
  const std::string limit = "trap '' XFSZ; ulimit -f " + std::to_string(copySize / 1024 + 1) + ";";
  CliResult run = RunCli({"--seed", "1", "--quiet", "in.835", "out.txt"}, dir.Path(), limit,
                         "TMPDIR=" + Quote(tmp.Path()));
  EXPECT_EQ(run.exit, 4);
  const std::string line = "Scrambled data NOT written: could not write file out.txt (File too large)";
  EXPECT_NE(run.out.find("\r\n" + line + "\r\n"), std::string::npos) << run.out;
  EXPECT_EQ(run.err, "scramble835: " + line + "\n");
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"in.835"}));
  EXPECT_TRUE(tmp.Entries().empty());
}

// However a run is ended from outside, during the scan or during the
// rewrite, Ctrl-C or SIGKILL, it leaves neither temporary files nor an
// output behind; and while it runs, the temporary folder shows no name of
// its files.
TEST(Cli, InterruptLeavesNoFiles) {
  TempDir dir;
  // Large enough that each stage lasts a while (26 MB).
  WriteFile(dir.File("in.835"), ManyClaims(400000));
  const struct {
    int signalNumber;
    bool rewriting;  // else scanning
  } cases[] = {{SIGINT, false}, {SIGINT, true}, {SIGKILL, false}, {SIGKILL, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(strsignal(c.signalNumber)) + (c.rewriting ? ", rewrite" : ", scan"));
    TempDir tmp;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setenv("TMPDIR", tmp.Path().c_str(), 1);
      if (chdir(dir.Path().c_str()) != 0) _exit(99);
      if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(97);
      execl(SCRAMBLE835_PATH, SCRAMBLE835_PATH, "--quiet", "in.835", "out.txt",
            static_cast<char*>(nullptr));
      _exit(98);
    }
    // The scan holds the unwrapped copy; the rewrite holds the output's
    // temporary file too.
    const bool underWay = c.rewriting ? WaitForNamelessFile(child, dir.Path() + "/")
                                      : WaitForNamelessFile(child, tmp.Path() + "/~uw");
    EXPECT_TRUE(underWay);
    EXPECT_TRUE(tmp.Entries().empty());
    kill(child, c.signalNumber);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.signalNumber) << status;
    EXPECT_TRUE(tmp.Entries().empty());
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"in.835"}));
  }
}

// Standard input is copied into a file that has no name from the start
// (it holds everything read so far): an interrupt or a kill while it is
// being copied leaves nothing behind.
TEST(Cli, InterruptWhileReadingStandardInputLeavesNoFile) {
  for (int signalNumber : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(strsignal(signalNumber));
    TempDir dir, tmp;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setenv("TMPDIR", tmp.Path().c_str(), 1);
      if (chdir(dir.Path().c_str()) != 0 || dup2(fds[0], 0) < 0) _exit(99);
      close(fds[0]);
      close(fds[1]);
      execl(SCRAMBLE835_PATH, SCRAMBLE835_PATH, "--quiet", "--report", "r.txt", "-", "out.txt",
            static_cast<char*>(nullptr));
      _exit(98);
    }
    close(fds[0]);
    // Part of the input, and standard input left open: the copy goes on.
    ASSERT_EQ(write(fds[1], kInput.data(), kInput.size()), static_cast<ssize_t>(kInput.size()));
    EXPECT_TRUE(WaitForNamelessFile(child, tmp.Path() + "/~in"));
    EXPECT_TRUE(tmp.Entries().empty());
    kill(child, signalNumber);
    int status = 0;
    waitpid(child, &status, 0);
    close(fds[1]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
    EXPECT_TRUE(tmp.Entries().empty());
    EXPECT_TRUE(dir.Entries().empty());
  }
}

// What the counts do not tell goes to standard error, --quiet or not: a
// file whose claims cannot be exchanged (exit 0), data cut short by a byte
// 0x1A (exit 4, though the part before it is written).
TEST(Cli, WarningsOnStandardErrorEvenWhenQuiet) {
  std::string oneClaim = kInput;
  oneClaim.erase(oneClaim.find("CLP*A2"), oneClaim.find("SE*6") - oneClaim.find("CLP*A2"));
  std::string endMark = kInput;
  endMark.insert(endMark.find("ROE*JANE"), "\x1A");  // inside a segment: between two the scan drops it
  const struct {
    const char* name;
    std::string input;
    int exit;
    const char* warning;  // null: none
  } cases[] = {
      {"two claims", kInput, 0, nullptr},
      {"one claim", oneClaim, 0, "scramble835: warning: The input holds only one claim: "},
      {"end-of-file mark", endMark, 4,
       "scramble835: warning: The input holds a byte 0x1A (an end-of-file mark) inside its "
       "data: it was read only up to that byte"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    WriteFile(dir.File("in.835"), c.input);
    CliResult run = RunCli({"--quiet", "in.835", "out.835"}, dir.Path());
    EXPECT_EQ(run.exit, c.exit) << run.err;
    EXPECT_TRUE(FileExists(dir.File("out.835")));
    if (c.warning == nullptr) {
      EXPECT_EQ(run.err, "");
    } else {
      EXPECT_EQ(run.err.rfind(c.warning, 0), 0u) << run.err;
    }
  }
}

TEST(Cli, CheckExitStatuses) {
  TempDir dir;
  WriteFile(dir.File("in.835"), kInput);
  WriteFile(dir.File("junk.txt"), std::string(200, 'x'));
  ASSERT_EQ(RunCli({"--quiet", "--seed", "1", "in.835", "out.835"}, dir.Path()).exit, 0);
  std::string tampered = ReadFile(dir.File("out.835"));
  const size_t amount = tampered.find("*100*");
  ASSERT_NE(amount, std::string::npos);
  tampered.replace(amount, 5, "*101*");
  WriteFile(dir.File("tampered.835"), tampered);
  const struct {
    std::vector<std::string> args;
    int exit;
    const char* out;  // the start of standard output
    const char* err;  // found in standard error
  } cases[] = {
      {{"--check", "in.835", "out.835"}, 0, "Check: PASSED\n", ""},
      {{"--check", "--json", "in.835", "out.835"}, 0, "{\"result\":\"passed\"", ""},
      {{"--check", "in.835", "tampered.835"}, 1, "Check: FAILED: kept elements: segment 4 (CLP)", ""},
      {{"--check", "--json", "in.835", "tampered.835"}, 1, "{\"result\":\"failed\"", ""},
      {{"--check", "in.835"}, 2, "", "expects INPUT and OUTPUT"},
      {{"--check", "--listing", "in.835", "out.835"}, 2, "", "unknown option --listing"},
      {{"--json", "in.835", "out2.835"}, 2, "", "unknown option --json"},
      {{"--check", "in.835", "junk.txt"}, 3, "", "junk.txt: No Interchange(s) Found"},
      {{"--check", "missing.835", "out.835"}, 3, "", "missing.835: Input File Not found"},
      // A run that checks its own output: the report, then the check.
      {{"--quiet", "--seed", "2", "--check", "in.835", "run.835"}, 0, "Quorvel", ""},
      {{"--quiet", "--report", "r.txt", "--check", "--json", "in.835", "run2.835"}, 0,
       "{\"result\":\"passed\"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1]);
    const CliResult run = RunCli(c.args, dir.Path());
    EXPECT_EQ(run.exit, c.exit) << run.err;
    EXPECT_EQ(run.out.compare(0, std::strlen(c.out), c.out), 0) << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
  }
  const std::string runOut = RunCli({"--quiet", "--seed", "3", "--check", "in.835", "run3.835"},
                                    dir.Path()).out;
  EXPECT_NE(runOut.find("\nCheck: PASSED\n"), std::string::npos) << runOut;
}

// A write that fails on a closed pipe or at the file-size limit, and
// memory that runs out, end the run with status 4 and leave no temporary
// file behind (rather than ending the process by a signal or an abort on
// the spot, with the unwrapped copy left in the temporary folder).
TEST(Cli, FailedWriteOrMemoryExits4WithoutTemporaryFiles) {
  TempDir dir;
  // 2.6 MB: a run needs some 40 MB of address space; the program starts in 6.
  WriteFile(dir.File("in.835"), ManyClaims(40000));
  const rlim_t kNone = RLIM_INFINITY;
  const struct {
    const char* what;
    bool reportToClosedPipe;
    bool progressToClosedPipe;
    rlim_t fileSize;
    rlim_t addressSpace;
    std::string message;  // the last line on standard error, when it can be read
    bool outputWritten;
  } cases[] = {
      {"report to a closed pipe", true, false, kNone, kNone,
       "scramble835: Report NOT written: could not write to standard output (Broken pipe)", true},
      {"report and progress to a closed pipe", true, true, kNone, kNone, "", true},
      {"file-size limit", false, false, 64 << 10, kNone,
       "scramble835: Scrambled data NOT written: could not write temporary file (File too large)", false},
      {"address-space limit", false, false, kNone, rlim_t{16} << 20,
       "scramble835: out of memory", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.addressSpace != kNone && kUnderSanitizer) continue;  // the sanitizer reserves more
    TempDir tmp, capture;
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    close(pipeEnds[0]);  // closed before the program exists: every write fails
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      setenv("TMPDIR", tmp.Path().c_str(), 1);
      if (chdir(dir.Path().c_str()) != 0) _exit(99);
      signal(SIGPIPE, SIG_DFL);
      signal(SIGXFSZ, SIG_DFL);
      const int errors = open(capture.File("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int nothing = open("/dev/null", O_WRONLY);
      dup2(c.reportToClosedPipe ? pipeEnds[1] : nothing, 1);
      dup2(c.progressToClosedPipe ? pipeEnds[1] : errors, 2);
      const struct rlimit fileSize = {c.fileSize, c.fileSize};
      const struct rlimit addressSpace = {c.addressSpace, c.addressSpace};
      if (setrlimit(RLIMIT_FSIZE, &fileSize) != 0 || setrlimit(RLIMIT_AS, &addressSpace) != 0) {
        _exit(96);
      }
      execl(SCRAMBLE835_PATH, SCRAMBLE835_PATH, "in.835", "out.txt", static_cast<char*>(nullptr));
      _exit(98);
    }
    close(pipeEnds[1]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 4) << status;
    const std::string errors = ReadFile(capture.File("err"));
    if (!c.message.empty()) {
      EXPECT_EQ(errors.substr(errors.rfind('\n', errors.size() - 2) + 1), c.message + "\n")
          << errors;
    }
    EXPECT_TRUE(tmp.Entries().empty());
    EXPECT_EQ(dir.Entries(), c.outputWritten ? (std::vector<std::string>{"in.835", "out.txt"})
                                             : (std::vector<std::string>{"in.835"}));
    RemoveFile(dir.File("out.txt"));
  }
}

// ---------------------------------------------------------------------------
// Pools: --out-dir DIR INPUT...

namespace {

// One 835 set of `claims` claims, each with its own ids and patient name
// made from `tag` and the claim's number; `sep` separates the elements.
std::string ClaimsFile(const std::string& tag, int claims, char sep = '*') {
  std::string isa = Isa(sep);
  std::string text = isa + "~\r\nGS" + sep + "HP" + sep + "S" + sep + "R" + sep + "20240101" + sep +
                     "1200" + sep + "1" + sep + "X" + sep + "005010X221A1~\r\nST" + sep + "835" +
                     sep + "0001~\r\n";
  for (int i = 1; i <= claims; ++i) {
    const std::string n = tag + std::to_string(i);
    text += "CLP" + std::string(1, sep) + "C" + n + sep + "1" + sep + "100" + sep + "80" + sep + sep +
            "MC" + sep + "P" + n + "~\r\n";
    text += "NM1" + std::string(1, sep) + "QC" + sep + "1" + sep + "LAST" + n + sep + "FIRST" + n +
            sep + sep + sep + sep + "MI" + sep + "M" + n + "~\r\n";
  }
  text += "SE" + std::string(1, sep) + std::to_string(2 + 2 * claims) + sep + "0001~\r\nGE" + sep +
          "1" + sep + "1~\r\nIEA" + sep + "1" + sep + "000000001~\r\n";
  return text;
}

// The patient last names (NM103 of NM1*QC) of a file written with '*'.
std::vector<std::string> PatientNames(const std::string& text) {
  std::vector<std::string> names;
  for (size_t at = text.find("NM1*QC*1*"); at != std::string::npos;
       at = text.find("NM1*QC*1*", at + 1)) {
    const size_t start = at + 9;
    names.push_back(text.substr(start, text.find('*', start) - start));
  }
  return names;
}

// The seven counts under the report line `heading`; false when missing.
bool CountsUnder(const std::string& report, const std::string& heading, ScrambleCounts& counts) {
  const size_t at = report.find("\r\n" + heading + "\r\n");
  return at != std::string::npos && ReportCounts(report.substr(at + heading.size() + 4), counts);
}

bool SameCounts(const ScrambleCounts& a, const ScrambleCounts& b) {
  return a.segmentsIn == b.segmentsIn && a.claimsFound == b.claimsFound &&
         a.clpChanged == b.clpChanged && a.patientChanged == b.patientChanged &&
         a.insuredChanged == b.insuredChanged && a.otherChanged == b.otherChanged &&
         a.totalChanged == b.totalChanged;
}

}  // namespace

// Three files of one claim each and one of 40, scrambled as one pool: the
// single claims' names go to other files (each column is exchanged across
// all of them), every name stays in the pool, and the check of every input
// against its output passes with the pool's other inputs as the values of
// their columns.
TEST(Cli, PoolExchangesAcrossFilesAndEveryPairPassesTheCheck) {
  TempDir dir, tmp;
  const std::vector<std::string> inputs = {"a.835", "b.835", "c.835", "forty.835"};
  WriteFile(dir.File("a.835"), ClaimsFile("A", 1));
  WriteFile(dir.File("b.835"), ClaimsFile("B", 1));
  WriteFile(dir.File("c.835"), ClaimsFile("C", 1));
  WriteFile(dir.File("forty.835"), ClaimsFile("F", 40));
  mkdir(dir.File("out").c_str(), 0755);
  std::vector<std::string> args = {"--quiet", "--seed", "5", "--report", "r.txt", "--check",
                                    "--out-dir", "out"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  CliResult run = RunCli(args, dir.Path(), "", "TMPDIR=" + Quote(tmp.Path()));
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_NE(run.out.find("\nPool check: PASSED (4 inputs and their outputs)\n"), std::string::npos)
      << run.out;
  std::multiset<std::string> before, after;
  for (const std::string& input : inputs) {
    const std::vector<std::string> in = PatientNames(ReadFile(dir.File(input)));
    const std::vector<std::string> out = PatientNames(ReadFile(dir.File("out/" + input)));
    ASSERT_EQ(in.size(), out.size()) << input;
    if (in.size() == 1) {
      EXPECT_NE(out[0], in[0]) << input << " kept its own name";
    }
    before.insert(in.begin(), in.end());
    after.insert(out.begin(), out.end());
  }
  EXPECT_EQ(before, after);
  // The check-only form, and as JSON.
  const CliResult check = RunCli({"--check", "--json", "--out-dir", "out", "a.835", "b.835",
                                  "c.835", "forty.835"},
                                 dir.Path());
  EXPECT_EQ(check.exit, 0) << check.err;
  EXPECT_EQ(check.out.rfind("{\"result\":\"passed\",\"failed\":0,\"notChecked\":0,\"pairs\":[", 0),
            0u)
      << check.out;
  EXPECT_TRUE(tmp.Entries().empty());
}

// A pool is refused before any work, with status 2, the message and
// nothing written: a folder that is missing or no folder, two inputs of one
// file name, an output that is an input, a report that is an output,
// standard input, a missing input.
TEST(Cli, PoolRefusals) {
  TempDir dir;
  WriteFile(dir.File("a.835"), kInput);
  mkdir(dir.File("sub").c_str(), 0755);
  WriteFile(dir.File("sub/a.835"), kInput);
  WriteFile(dir.File("b.835"), kInput);
  mkdir(dir.File("out").c_str(), 0755);
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--out-dir", "none", "a.835"},
       "scramble835: Invalid or Missing Output Folder: none (No such file or directory)\n"},
      {{"--out-dir", "b.835", "a.835"},
       "scramble835: Invalid or Missing Output Folder: b.835 (Not a directory)\n"},
      {{"--out-dir", "out", "a.835", "b.835", "sub/a.835"},
       "scramble835: Two Input Files have the same file name: sub/a.835 (as a.835)\n"},
      {{"--out-dir", ".", "b.835", "sub/a.835"},
       "scramble835: Output File cannot be same as Input File: ./b.835\n"},
      {{"--out-dir=sub/", "sub/a.835"},
       "scramble835: Output File cannot be same as Input File: sub/a.835\n"},
      {{"--report", "out//b.835", "--out-dir", "out", "a.835", "b.835"},
       "scramble835: Report File cannot be same as Input or Output File: out//b.835\n"},
      {{"--out-dir", "out", "a.835", "-"},
       "scramble835: Invalid Input File for --out-dir: - (standard input cannot be part of a "
       "pool)\n"},
      {{"--out-dir", "out", "a.835", "missing.835"},
       "scramble835: Can't find Input File: missing.835 (No such file or directory)\n"},
  };
  const std::vector<std::string> before = dir.Entries();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    CliResult run = RunCli(c.args, dir.Path());
    EXPECT_EQ(run.exit, 2);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(dir.Entries(), before);
    EXPECT_TRUE(FolderEntries(dir.File("out")).empty());
    EXPECT_EQ(FolderEntries(dir.File("sub")), std::vector<std::string>{"a.835"});
  }
  CliResult noInput = RunCli({"--out-dir", "out"}, dir.Path());
  EXPECT_EQ(noInput.exit, 2);
  EXPECT_NE(noInput.err.find("Try 'scramble835 --help'."), std::string::npos);
}

// All or nothing: when one input fails to scan, or one output cannot be
// written, no output is placed (an existing one stays as it was), no
// temporary file is left, and the messages name the file and say so.
TEST(Cli, PoolWritesNothingWhenOneInputFails) {
  // Its unwrapped copy (a line per segment, ended by the CR terminator)
  // stays below the file-size limit set below, its output (CR LF after
  // each terminator) does not: it fails after the small one's is complete.
  std::string big = Isa() + "\rGS*HP*S*R*1*1*1*X*1\rST*835*1\rCLP*A*1\r";
  for (int i = 0; i < 20000; ++i) big += "REF*ZZ*1\r";
  big += "SE*20003*1\rGE*1*1\rIEA*1*1\r";
  const struct {
    const char* name;
    std::string second;  // the second input, big.835
    std::string setup;
    int exit;
    std::string err;
  } cases[] = {
      {"scan fails", std::string(400, 'z'), "", 3,
       "scramble835: Scan failed: big.835 (No Interchange(s) Found (No Valid ISA Segments))\n"
       "scramble835: Scrambled data NOT written: no file of the pool was written to out\n"},
      {"write fails", big, "trap '' XFSZ; ulimit -f 200;", 4,
       "scramble835: Scrambled data NOT written: could not write file out/a.835 (another file of "
       "the pool was not written, and the files of a pool are placed only all together)\n"
       "scramble835: Scrambled data NOT written: could not write file out/big.835 (File too "
       "large)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir, tmp;
    WriteFile(dir.File("a.835"), kInput);
    WriteFile(dir.File("big.835"), c.second);
    mkdir(dir.File("out").c_str(), 0755);
    WriteFile(dir.File("out/a.835"), "old");
    CliResult run = RunCli({"--quiet", "--report", "r.txt", "--out-dir", "out", "a.835", "big.835"},
                           dir.Path(), c.setup, "TMPDIR=" + Quote(tmp.Path()));
    EXPECT_EQ(run.exit, c.exit);
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(FolderEntries(dir.File("out")), std::vector<std::string>{"a.835"});
    EXPECT_EQ(ReadFile(dir.File("out/a.835")), "old");
    EXPECT_TRUE(tmp.Entries().empty());
  }
}

// The report of a pool: the header names every input in order; with the
// listing, each input's changed segments under its name; then each input's
// seven counts (those of a run of that input alone) and their total in the
// one-file report's lines; a line for every output.
TEST(Cli, PoolReport) {
  TempDir dir;
  WriteFile(dir.File("a.835"), kInput);
  WriteFile(dir.File("b.835"), ClaimsFile("B", 3));
  mkdir(dir.File("out").c_str(), 0755);
  CliResult run = RunCli({"-q", "--listing", "--out-dir", "out", "a.835", "b.835"}, dir.Path());
  ASSERT_EQ(run.exit, 0) << run.err;
  const std::string& report = run.out;
  const size_t header = report.find("\r\nInput File (original file) is a.835\r\n"
                                    "Input File (original file) is b.835\r\n\r\n"
                                    "Listing of changed segments\r\n");
  EXPECT_NE(header, std::string::npos) << report;
  const size_t listA = report.find("\r\nChanged segments of a.835\r\nSegment in ==>CLP*A1*");
  const size_t listB = report.find("\r\nChanged segments of b.835\r\nSegment in ==>CLP*CB1*");
  EXPECT_TRUE(header < listA && listA < listB && listB != std::string::npos) << report;
  ScrambleCounts total {}, sum {};
  for (const char* input : {"a.835", "b.835"}) {
    SCOPED_TRACE(input);
    CliResult alone = RunCli({"-q", input, std::string("alone-") + input}, dir.Path());
    ScrambleCounts own {}, pooled {};
    ASSERT_TRUE(ReportCounts(alone.out, own));
    ASSERT_TRUE(CountsUnder(report, std::string("Counts of ") + input, pooled));
    EXPECT_TRUE(SameCounts(own, pooled));
    sum.segmentsIn += own.segmentsIn;
    sum.claimsFound += own.claimsFound;
    sum.clpChanged += own.clpChanged;
    sum.patientChanged += own.patientChanged;
    sum.insuredChanged += own.insuredChanged;
    sum.otherChanged += own.otherChanged;
    sum.totalChanged += own.totalChanged;
  }
  ASSERT_TRUE(CountsUnder(report, "Total of all input files", total));
  EXPECT_TRUE(SameCounts(total, sum));
  EXPECT_EQ(sum.claimsFound, 5);
  EXPECT_NE(report.find(" Total      Segments Changed :      10\r\n\r\n"
                        "Scrambled data written to file out/a.835\r\n"
                        "Scrambled data written to file out/b.835\r\n\r\n ** END OF REPORT **\r\n"),
            std::string::npos)
      << report;
}

// A pool of one input gives the output of a run of that input with the same
// seed.
TEST(Cli, PoolOfOneIsARunOfOne) {
  TempDir dir;
  WriteFile(dir.File("in.835"), kInput);
  WriteFile(dir.File("many.835"), ClaimsFile("M", 30) + ClaimsFile("N", 20, '|'));
  mkdir(dir.File("out").c_str(), 0755);
  ASSERT_EQ(RunCli({"-q", "--seed", "77", "--out-dir", "out", "in.835"}, dir.Path()).exit, 0);
  EXPECT_EQ(ReadFile(dir.File("out/in.835")), kSeed77Output);
  ASSERT_EQ(RunCli({"-q", "--seed", "9", "--out-dir", "out", "many.835"}, dir.Path()).exit, 0);
  ASSERT_EQ(RunCli({"-q", "--seed", "9", "many.835", "alone.835"}, dir.Path()).exit, 0);
  EXPECT_EQ(ReadFile(dir.File("out/many.835")), ReadFile(dir.File("alone.835")));
}

// Values move only between claims under the same delimiters, across the
// files of a pool as inside one file: one claim with '*' in one file and
// one with '|' in another stand alone, while two files with the same
// delimiters exchange.
TEST(Cli, PoolExchangesOnlyUnderTheSameDelimiters) {
  TempDir dir;
  WriteFile(dir.File("star.835"), ClaimsFile("S", 1));
  WriteFile(dir.File("pipe.835"), ClaimsFile("P", 1, '|'));
  WriteFile(dir.File("star2.835"), ClaimsFile("T", 1));
  mkdir(dir.File("out").c_str(), 0755);
  CliResult run = RunCli({"-q", "--seed", "3", "--out-dir", "out", "star.835", "pipe.835",
                          "star2.835"},
                         dir.Path());
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(run.err,
            "scramble835: warning: 1 claim(s) stand alone among interchanges with other "
            "delimiters: their names and identifiers could not be exchanged with another claim "
            "and stay where they were (only the member ids are new).\n");
  EXPECT_NE(ReadFile(dir.File("out/pipe.835")).find("NM1|QC|1|LASTP1|FIRSTP1|"), std::string::npos);
  EXPECT_EQ(PatientNames(ReadFile(dir.File("out/star.835"))), std::vector<std::string>{"LASTT1"});
  EXPECT_EQ(PatientNames(ReadFile(dir.File("out/star2.835"))), std::vector<std::string>{"LASTS1"});
}

// The values before a file's first claim belong to no claim, in every file
// of a pool as in a file alone: they are written empty, not taken for
// values of the last claim of the file before.
TEST(Cli, PoolValuesBeforeAFilesFirstClaimBelongToNoClaim) {
  TempDir dir;
  std::string second = ClaimsFile("B", 2);
  second.insert(second.find("CLP*"), "REF*EA*HEADERVALUE~\r\n");
  WriteFile(dir.File("a.835"), ClaimsFile("A", 2));
  WriteFile(dir.File("b.835"), second);
  mkdir(dir.File("out").c_str(), 0755);
  CliResult run = RunCli({"-q", "--out-dir", "out", "a.835", "b.835"}, dir.Path());
  EXPECT_EQ(run.exit, 0) << run.err;
  EXPECT_EQ(run.err.rfind("scramble835: warning: 1 identifying value(s) were written empty", 0), 0u)
      << run.err;
  EXPECT_NE(ReadFile(dir.File("out/b.835")).find("\r\nREF*EA*~\r\nCLP*"), std::string::npos);
}
