// The check of a scrambled output against its input: tampered outputs are
// caught at the right point, a faithful one passes, and the privacy and
// validity findings name segments and kinds, never a value.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "check.h"
#include "random.h"
#include "run.h"
#include "test_util.h"

using namespace testutil;

namespace {

// A small 5010 remittance: three claims, an other subscriber (NM1 GB) and
// an original reference (REF F8) in the first, a provider adjustment.
// Segment numbers: NM1 GB is 13, REF F8 is 15.
std::vector<std::string> FixtureSegments() {
  std::vector<std::string> set = {
      "ST*835*0001",
      "BPR*I*150*C*ACH*CCP*01*999999999*DA*123456*1512345678**01*999988880*DA*98765*20240105",
      "TRN*1*12345*1512345678",
      "DTM*405*20240105",
      "N1*PR*PAYER NAME",
      "N1*PE*PROVIDER NAME*XX*1234567893",
      "LX*1",
      "CLP*PCN001*1*100*80*20*12*PAYERCN1*11*1",
      "NM1*QC*1*DOE*JOHN*Q***MI*123456789A",
      "NM1*IL*1*DOE*JANE****MI*SUB001",
      "NM1*GB*1*ROE*RICHARD****MI*OTH001",
      "REF*EA*MRN001",
      "REF*F8*ORIGREF1",
      "DTM*232*20240101",
      "SVC*HC:99213*100*80**1",
      "DTM*472*20240101",
      "CAS*CO*45*20",
      "CLP*PCN002*1*50*40*10*12*PAYERCN2*11*1",
      "NM1*QC*1*SMITH*ANNA****MI*MEMB002",
      "REF*EA*MRN002",
      "DTM*232*20240102",
      "CLP*PCN003*1*60*50*10*12*PAYERCN3*11*1",
      "NM1*QC*1*BROWN*TOM****MI*MEMB003",
      "PLB*1234567893*20241231*WO:OTHERREF*20",
  };
  set.push_back("SE*" + std::to_string(set.size() + 1) + "*0001");
  std::vector<std::string> all = {Isa(), "GS*HP*SENDER*RECEIVER*20240101*1200*1*X*005010X221A1"};
  all.insert(all.end(), set.begin(), set.end());
  all.push_back("GE*1*1");
  all.push_back("IEA*1*000000001");
  return all;
}

// The first patient's member id has the shape of a new one: only its
// being an original tells it apart.
// The fixture's identifying values, none of which a finding may print.
const char* const kIdentifying[] = {"PCN001", "PCN002", "PAYERCN1", "DOE", "JOHN", "SMITH",
                                    "123456789A", "SUB001", "ROE", "RICHARD", "OTH001",
                                    "MRN001", "ORIGREF1"};

std::string Joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "~\r\n";
  return text;
}

// Scrambles `input` with a fixed seed into `output`.
void Scramble(const std::string& input, const std::string& output) {
  FakeDialog dialog;
  dialog.input = input;
  dialog.output = output;
  RecordingNotice notice;
  LcgRandom random(5.0f);
  const RunResult run = RunScramble(dialog, random, notice);
  ASSERT_EQ(run.scanCode, 0);
  ASSERT_TRUE(run.scramble.outputWritten);
}

// The output's segments without terminators and line ends.
std::vector<std::string> Segments(const std::string& text) {
  std::vector<std::string> lines = CrLfLines(text);
  for (std::string& line : lines) {
    if (!line.empty() && line.back() == '~') line.pop_back();
  }
  while (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

std::vector<std::string> Split(const std::string& segment) {
  std::vector<std::string> elements(1);
  for (char c : segment) {
    if (c == '*') elements.emplace_back();
    else elements.back() += c;
  }
  return elements;
}

void SetElement(std::string& segment, size_t position, const std::string& value) {
  std::vector<std::string> e = Split(segment);
  ASSERT_LT(position, e.size());
  e[position] = value;
  segment = e[0];
  for (size_t k = 1; k < e.size(); ++k) segment += "*" + e[k];
}

void ExpectNoValue(const std::string& text) {
  for (const char* value : kIdentifying) EXPECT_EQ(text.find(value), std::string::npos) << value;
}

}  // namespace

TEST(Check, TamperedOutputsFailAtTheRightPoint) {
  TempDir dir;
  const std::string input = dir.File("in.835");
  WriteFile(input, Joined(FixtureSegments()));
  const std::string scrambled = dir.File("out.835");
  Scramble(input, scrambled);
  const std::vector<std::string> good = Segments(ReadFile(scrambled));
  ASSERT_EQ(good.size(), FixtureSegments().size());

  using Lines = std::vector<std::string>;
  const struct {
    const char* name;
    std::function<void(Lines&)> tamper;
    int point;  // -1: passes
  } cases[] = {
      {"as written", [](Lines&) {}, -1},
      {"an amount changed", [](Lines& l) { SetElement(l[9], 4, "81"); }, kPointKeptElements},
      {"a segment dropped", [](Lines& l) { l.erase(l.begin() + 15); }, kPointSegments},
      {"segments reordered", [](Lines& l) { std::swap(l[15], l[16]); }, kPointSegments},
      {"an original member id put back", [](Lines& l) { SetElement(l[10], 9, "123456789A"); },
       kPointMemberIds},
      {"a value from another column", [](Lines& l) { SetElement(l[9], 1, "DOE"); },
       kPointReplacedValues},
      {"a name made up", [](Lines& l) { SetElement(l[20], 3, "NOBODY"); }, kPointReplacedValues},
      {"an element added", [](Lines& l) { l[5] += "*X"; }, kPointKeptElements},
      {"a replaced segment given an element", [](Lines& l) { l[13] += "*X"; }, kPointKeptElements},
      {"an envelope control number changed",
       [](Lines& l) {
         SetElement(l[2], 2, "0002");
         SetElement(l[l.size() - 3], 2, "0002");
       },
       kPointEnvelope},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Lines lines = good;
    c.tamper(lines);
    const std::string output = dir.File("tampered.835");
    WriteFile(output, Joined(lines));
    const CheckResult result = CheckScrambledFile(input, output);
    ASSERT_TRUE(result.Scanned());
    EXPECT_EQ(result.FirstFailed(), c.point) << result.points[c.point < 0 ? 0 : c.point].first;
    const std::string text = CheckSummaryText(result, "in.835", "out.835");
    EXPECT_EQ(text.compare(0, 13, c.point < 0 ? "Check: PASSED" : "Check: FAILED"), 0) << text;
    ExpectNoValue(text);
    ExpectNoValue(CheckSummaryJson(result, "in.835", "out.835"));
  }

  // A changed claim amount breaks the set's balance as well.
  Lines amount = good;
  SetElement(amount[9], 4, "81");
  WriteFile(dir.File("amount.835"), Joined(amount));
  const CheckResult result = CheckScrambledFile(input, dir.File("amount.835"));
  EXPECT_EQ(result.points[kPointBalance].checked, 1);
  EXPECT_EQ(result.points[kPointBalance].failures, 1);
}

// The output of a thorough run, checked as one: it passes, with none of
// the thorough columns among the data left in place; tampered, it fails at
// the right point.
TEST(Check, ThoroughOutputAndItsTamperedCopies) {
  TempDir dir;
  const std::string input = std::string(X12_SOURCE_DIR) + "/tests/data/thorough/other-ids-5010.835";
  const std::string scrambled = dir.File("out.835");
  FakeDialog dialog;
  dialog.input = input;
  dialog.output = scrambled;
  dialog.thorough = true;
  RecordingNotice notice;
  LcgRandom random(3.0f);
  ASSERT_TRUE(RunScramble(dialog, random, notice).scramble.outputWritten);
  const std::vector<std::string> good = Segments(ReadFile(scrambled));
  // Segments 13 (NM1 GB), 17 (REF F8), 25 (REF 6R), 58 (PLB, "WO:" and the
  // second claim's number).
  ASSERT_EQ(good[12].compare(0, 6, "NM1*GB"), 0);
  ASSERT_EQ(good[16].compare(0, 6, "REF*F8"), 0);
  ASSERT_EQ(good[24].compare(0, 6, "REF*6R"), 0);
  ASSERT_EQ(good[57].compare(0, 3, "PLB"), 0);
  const std::string reference = Split(good[57])[3].substr(3);

  using Lines = std::vector<std::string>;
  const struct {
    const char* name;
    std::function<void(Lines&)> tamper;
    int point;  // -1: passes
  } cases[] = {
      {"as written", [](Lines&) {}, -1},
      {"an original GB member id put back", [](Lines& l) { SetElement(l[12], 9, "GBID001"); },
       kPointMemberIds},
      {"a REF F8 made up", [](Lines& l) { SetElement(l[16], 2, "ORIG999"); }, kPointReplacedValues},
      {"a REF 6R from another column", [](Lines& l) { SetElement(l[24], 2, "PCN001"); },
       kPointReplacedValues},
      {"a PLB reference made up", [](Lines& l) { SetElement(l[57], 3, "WO:PCN999"); },
       kPointReplacedValues},
      {"a PLB reference's text around the number changed",
       [&](Lines& l) { SetElement(l[57], 3, "WO:" + reference + "/1"); }, kPointReplacedValues},
      {"a PLB reason code changed", [&](Lines& l) { SetElement(l[57], 3, "CS:" + reference); },
       kPointKeptElements},
  };
  CheckOptions thorough;
  thorough.thorough = true;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Lines lines = good;
    c.tamper(lines);
    const std::string output = dir.File("tampered.835");
    WriteFile(output, Joined(lines));
    const CheckResult result = CheckScrambledFile(input, output, thorough);
    ASSERT_TRUE(result.Scanned());
    EXPECT_EQ(result.FirstFailed(), c.point) << result.points[c.point < 0 ? 0 : c.point].first;
    if (c.point < 0) {
      EXPECT_TRUE(result.untouched.empty()) << result.untouched[0].kind;
      EXPECT_TRUE(result.invalid.empty()) << result.invalid[0].kind;
      EXPECT_EQ(result.newMemberIds, 13);
    }
  }
}

TEST(Check, PrivacyFindingsOfAFixture) {
  TempDir dir;
  const std::string input = dir.File("in.835");
  WriteFile(input, Joined(FixtureSegments()));
  const std::string output = dir.File("out.835");
  Scramble(input, output);
  const CheckResult result = CheckScrambledFile(input, output);
  EXPECT_TRUE(result.Passed()) << CheckSummaryText(result, input, output);
  EXPECT_EQ(result.claims, 3);
  EXPECT_GE(result.newMemberIds, 3);
  EXPECT_EQ(result.points[kPointBalance].checked, 1);

  ASSERT_EQ(result.untouched.size(), 2u);
  EXPECT_EQ(result.untouched[0].kind, "NM1 GB");
  EXPECT_EQ(result.untouched[0].segments, std::vector<int64_t>{13});
  EXPECT_EQ(result.untouched[1].kind, "REF F8");
  EXPECT_EQ(result.untouched[1].segments, std::vector<int64_t>{15});
  ASSERT_EQ(result.dates.size(), 2u);
  EXPECT_EQ(result.dates[0].kind, "DTM 232");
  EXPECT_EQ(result.dates[0].segments, (std::vector<int64_t>{16, 23}));
  EXPECT_EQ(result.dates[1].kind, "DTM 472");

  // Each exchanged column is counted over the input's non-empty values.
  int64_t claimIds = -1;
  for (const ColumnKept& c : result.columns) {
    if (c.column.compare(0, 5, "CLP01") == 0) claimIds = c.values;
  }
  EXPECT_EQ(claimIds, 3);

  const std::string json = CheckSummaryJson(result, "in.835", "out.835");
  EXPECT_NE(json.find("\"untouched\":[{\"kind\":\"NM1 GB\",\"count\":1,\"segments\":[13]},"
                      "{\"kind\":\"REF F8\",\"count\":1,\"segments\":[15]}]"),
            std::string::npos)
      << json;
  ExpectNoValue(json);
  ExpectNoValue(CheckSummaryText(result, "in.835", "out.835"));
}

TEST(Check, PlbReferenceToAClaimAndValidity) {
  // A PLB that quotes the first claim's number, and a claim without a
  // patient name: its empty names move to another claim.
  std::vector<std::string> segments = FixtureSegments();
  for (std::string& s : segments) {
    if (s.compare(0, 4, "PLB*") == 0) s = "PLB*1234567893*20241231*WO:PCN001*20";
    if (s == "NM1*QC*1*BROWN*TOM****MI*MEMB003") s = "NM1*PR*2*PAYER";
  }
  TempDir dir;
  const std::string input = dir.File("in.835");
  WriteFile(input, Joined(segments));
  // Seeds until the empty values have landed on claims that have a patient
  // name, which leaves it invalid (and no other kind of fault is named).
  std::set<std::string> seen;
  for (int seed = 1; seed < 60 && seen.size() < 2; ++seed) {
    const std::string output = dir.File("out" + std::to_string(seed) + ".835");
    FakeDialog dialog;
    dialog.input = input;
    dialog.output = output;
    RecordingNotice notice;
    LcgRandom random(static_cast<float>(seed));
    ASSERT_TRUE(RunScramble(dialog, random, notice).scramble.outputWritten);
    const CheckResult result = CheckScrambledFile(input, output);
    ASSERT_TRUE(result.Passed()) << CheckSummaryText(result, input, output);
    ASSERT_FALSE(result.untouched.empty());
    EXPECT_EQ(result.untouched.back().kind, "PLB reference holding an original claim number");
    EXPECT_EQ(result.untouched.back().segments, std::vector<int64_t>{26});
    for (const CheckFinding& f : result.invalid) {
      if (f.kind.compare(0, 3, "REF") == 0) continue;  // claim 3 has no REF EA either
      seen.insert(f.kind);
    }
  }
  EXPECT_EQ(seen, (std::set<std::string>{"NM1 with NM108 but an empty NM109",
                                         "person's NM1 (NM102 1) with an empty last name"}));
}

TEST(Check, SegmentThatMerelyBeginsWithIsaOpensNoInterchange) {
  // Inside the first claim, before the collected segments that follow: the
  // output's delimiters must stay those of its header.
  std::vector<std::string> segments = FixtureSegments();
  for (size_t i = 0; i < segments.size(); ++i) {
    if (segments[i].compare(0, 6, "NM1*QC") == 0) {
      segments.insert(segments.begin() + static_cast<std::ptrdiff_t>(i), "ISA*X");
      break;
    }
  }
  TempDir dir;
  const std::string input = dir.File("in.835");
  WriteFile(input, Joined(segments));
  const std::string output = dir.File("out.835");
  Scramble(input, output);
  const CheckResult result = CheckScrambledFile(input, output);
  EXPECT_TRUE(result.Passed()) << CheckSummaryText(result, input, output);
  EXPECT_EQ(result.interchanges, 1);
}

TEST(Check, FileThatFailsToScan) {
  TempDir dir;
  WriteFile(dir.File("in.835"), Joined(FixtureSegments()));
  WriteFile(dir.File("junk.txt"), std::string(200, 'x'));
  EXPECT_EQ(CheckScrambledFile(dir.File("in.835"), dir.File("junk.txt")).outputScan,
            kScanNoInterchange);
  EXPECT_EQ(CheckScrambledFile(dir.File("missing"), dir.File("in.835")).inputScan, kScanNotFound);
}
