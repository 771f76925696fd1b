// The engine over hand-made unwrapped copies and hand-filled scan tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "checked_writer.h"
#include "collector.h"
#include "feed_copy.h"
#include "line_reader.h"
#include "random.h"
#include "test_util.h"

using namespace testutil;

namespace {

// Member ids that a run seeded like `LcgRandom(seed)` draws first, in order.
std::vector<std::string> FirstIds(float seed, int count) {
  LcgRandom random(seed);
  std::vector<std::string> ids;
  for (int i = 0; i < count; ++i) ids.push_back(NewMemberId(random));
  return ids;
}

// Replaces "{ID1}", "{ID2}", ... with the given ids.
std::string WithIds(std::string text, const std::vector<std::string>& ids) {
  for (size_t i = 0; i < ids.size(); ++i) {
    const std::string mark = "{ID" + std::to_string(i + 1) + "}";
    for (size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), ids[i]);
  }
  return text;
}

struct SingleClaimCase {
  const char* name;
  char term;
  std::vector<std::string> segments;  // between ST*835 and SE, one claim
  std::vector<std::string> expected;  // output lines for the same segments
  ScrambleCounts counts;              // CLP, patient, insured, other, total used
};

}  // namespace

// With one claim the reordering keeps every value in place, so the output
// is fully known from the seed: these pin the rewrite of each segment kind.
// The rewrite hands the output over in blocks of about 4 MB, which go to
// the file in pieces: every byte arrives once and in order, around the
// writer's own buffer, and a write that fails is reported at Close.
TEST(CheckedWriter, LargeBlocksArriveWholeAndAFailureIsReported) {
  TempDir dir;
  std::string expected;
  {
    CheckedWriter writer(size_t{1} << 16);
    FILE* file = std::fopen(dir.File("out").c_str(), "wb");
    ASSERT_NE(file, nullptr);
    writer.Attach(file);
    for (size_t size : {size_t{10}, (size_t{7} << 19) + 3, size_t{5}, size_t{1} << 20, size_t{1}}) {
      std::string block(size, '\0');
      for (size_t i = 0; i < size; ++i) block[i] = static_cast<char>('a' + (expected.size() + i) % 23);
      writer.Write(block);
      expected += block;
    }
    EXPECT_EQ(writer.Close(), 0);
  }
  EXPECT_TRUE(ReadWholeFile(dir.File("out")) == expected);

#if !defined(_WIN32)
  FILE* full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  CheckedWriter failing;
  failing.Attach(full);
  failing.Write(std::string(size_t{3} << 20, 'x'));
  EXPECT_EQ(failing.Close(), ErrnoCode(ENOSPC));
#endif
}

TEST(EngineRewrite, SingleClaimSegments) {
  const SingleClaimCase cases[] = {
      {"patient name with member id",
       '~',
       {"CLP*PCN1*1*100*80**MC*PAYERREF", "NM1*QC*1*DOE*JOHN*Q***MI*OLDID"},
       {"CLP*PCN1*1*100*80**MC*PAYERREF~", "NM1*QC*1*DOE*JOHN*Q***MI*{ID1}~"},
       {0, 0, 1, 1, 0, 0, 2}},
      {"NM1 QC up to NM103 gains no elements but counts",
       '~',
       {"CLP*PCN1*1*100*80", "NM1*QC*1*DOE"},
       {"CLP*PCN1*1*100*80~", "NM1*QC*1*DOE~"},
       {0, 0, 1, 1, 0, 0, 2}},
      {"REF EA as last element keeps the terminator; other qualifiers untouched",
       '~',
       {"CLP*PCN1*1", "REF*EA*ACCT1", "REF*ZZ*KEEP", "REF*F8*KEEP2"},
       {"CLP*PCN1*1~", "REF*EA*ACCT1~", "REF*ZZ*KEEP~", "REF*F8*KEEP2~"},
       {0, 0, 1, 0, 0, 1, 2}},
      {"second REF EA of a claim wins for both",
       '~',
       {"CLP*PCN1*1", "REF*EA*FIRST", "REF*EA*SECOND"},
       {"CLP*PCN1*1~", "REF*EA*SECOND~", "REF*EA*SECOND~"},
       {0, 0, 1, 0, 0, 2, 3}},
      {"empty REF02 is an empty cell",
       '~',
       {"CLP*PCN1*1", "REF*1L*", "REF*1L"},
       {"CLP*PCN1*1~", "REF*1L*~", "REF*1L~"},
       {0, 0, 1, 0, 0, 2, 3}},
      {"insured and corrected insured, all eight REF qualifiers",
       '~',
       {"CLP*A*1", "NM1*IL*1*INS*IRA****MI*X", "NM1*74*1*COR*CAL*M", "REF*BB*1", "REF*1G*2",
        "REF*SY*3", "REF*A6*4", "REF*1L*5", "REF*1W*6", "REF*G3*7", "REF*EA*8"},
       {"CLP*A*1~", "NM1*IL*1*INS*IRA****MI*{ID1}~", "NM1*74*1*COR*CAL*M~", "REF*BB*1~",
        "REF*1G*2~", "REF*SY*3~", "REF*A6*4~", "REF*1L*5~", "REF*1W*6~", "REF*G3*7~",
        "REF*EA*8~"},
       {0, 0, 1, 0, 1, 9, 11}},
      {"terminator CR: appended again, line ends CR CR LF",
       '\r',
       {"CLP*PCN1*1", "NM1*QC*1*DOE*JOHN*Q***MI*OLD"},
       {"CLP*PCN1*1\r", "NM1*QC*1*DOE*JOHN*Q***MI*{ID1}\r"},
       {0, 0, 1, 1, 0, 0, 2}},
      {"terminator LF: the LF stays in the line and out of the last element",
       '\n',
       {"CLP*PCN1*1", "NM1*QC*1*DOE*JOHN", "REF*EA*ACCT"},
       {"CLP*PCN1*1\n", "NM1*QC*1*DOE*JOHN\n", "REF*EA*ACCT\n"},
       {0, 0, 1, 1, 0, 1, 3}},
  };
  for (const SingleClaimCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> segments = {Isa(), "GS*HP*S*R*20240101*1200*1*X*005010X221A1",
                                         "ST*835*0001"};
    segments.insert(segments.end(), c.segments.begin(), c.segments.end());
    segments.insert(segments.end(), {"SE*9*0001", "GE*1*1", "IEA*1*000000001"});
    LcgRandom random(7.0f);
    EngineRun run = RunEngine(UnwrappedCopy(segments, c.term), Interchanges({c.term}), Sets835(1),
                              random);
    ASSERT_TRUE(run.result.outputWritten);
    std::vector<std::string> lines = CrLfLines(run.output);
    ASSERT_EQ(lines.size(), segments.size());
    std::vector<std::string> ids = FirstIds(7.0f, 3);
    for (size_t i = 0; i < c.expected.size(); ++i) {
      EXPECT_EQ(lines[3 + i], WithIds(c.expected[i], ids));
    }
    // Envelope lines are copied as read, terminator added where the line lacks it.
    EXPECT_EQ(lines[0], Isa() + c.term);
    EXPECT_EQ(lines.back(), std::string("IEA*1*000000001") + c.term);
    const ScrambleCounts& n = run.result.counts;
    EXPECT_EQ(n.segmentsIn, static_cast<int64_t>(segments.size()));
    EXPECT_EQ(n.claimsFound, 1);
    EXPECT_EQ(n.clpChanged, c.counts.clpChanged);
    EXPECT_EQ(n.patientChanged, c.counts.patientChanged);
    EXPECT_EQ(n.insuredChanged, c.counts.insuredChanged);
    EXPECT_EQ(n.otherChanged, c.counts.otherChanged);
    EXPECT_EQ(n.totalChanged, c.counts.totalChanged);
  }
}

// Values before the file's first CLP belong to no claim: they are written
// empty (and said so), while the claims' values are exchanged among the
// claims.
TEST(EngineRewrite, RowZeroIsEmptiedClaimsExchange) {
  std::vector<std::string> segments = {Isa(), "GS*HP*S*R*1*1*1*X*1", "ST*835*1",
                                       "NM1*QC*1*ZERO*Z*Z***MI*OLD0"};
  for (int k = 1; k <= 40; ++k) {
    const std::string n = std::to_string(k);
    segments.push_back("CLP*C" + n + "*1*10*5**MC*P" + n);
    segments.push_back("NM1*QC*1*LAST" + n + "*FIRST" + n + "*M" + n + "***MI*OLD" + n);
  }
  segments.insert(segments.end(), {"SE*83*1", "GE*1*1", "IEA*1*1"});
  const std::string copy = UnwrappedCopy(segments);
  LcgRandom random(99.0f);
  EngineRun run = RunEngine(copy, Interchanges({'~'}), Sets835(40), random);
  ASSERT_TRUE(run.result.outputWritten);
  std::vector<std::string> lines = CrLfLines(run.output);
  // Row 0 loses its names and gets the first id drawn.
  EXPECT_EQ(lines[3], "NM1*QC*1******MI*" + FirstIds(99.0f, 1)[0] + "~");
  EXPECT_EQ(run.result.counts.valuesEmptied, 3);
  EXPECT_EQ(run.result.counts.patientChanged, 41);
  ASSERT_EQ(run.result.warnings.size(), 1u);
  EXPECT_NE(run.result.warnings[0].find("3 identifying value(s) were written empty"),
            std::string::npos);
  EXPECT_EQ(CheckScramble(copy, run.output, Interchanges({'~'}), 40, run.result.counts), "");
  // Each column has its own order: the last and first names of claim k
  // do not all come from one claim, and not every claim keeps its own.
  int sameSource = 0, unchanged = 0;
  for (int k = 1; k <= 40; ++k) {
    const std::string& nm1 = lines[3 + 2 * k];
    size_t last = nm1.find("LAST") + 4, first = nm1.find("FIRST") + 5;
    std::string lastFrom = nm1.substr(last, nm1.find('*', last) - last);
    std::string firstFrom = nm1.substr(first, nm1.find('*', first) - first);
    if (lastFrom == firstFrom) ++sameSource;
    if (lastFrom == std::to_string(k)) ++unchanged;
  }
  EXPECT_LT(sameSource, 10);
  EXPECT_LT(unchanged, 10);
}

// Every column of the claim table over 200 claims, each value distinct and
// tagged with its column: read at the element where the value is written,
// each column's values leave their claims (a uniform shuffle of 200 keeps
// more than 10 in place with a chance below one in a million), the names
// and REF values are the same multiset, and the member ids are new.  The
// elements around them stay as read.
TEST(EngineRewrite, EveryColumnLeavesItsClaims) {
  struct Column {
    const char* name;
    const char* tag;        // segment of the value
    const char* qualifier;  // NM101 or REF01; "" for CLP
    size_t element;
    bool memberId;
  };
  const Column kColumns[] = {
      {"CLP01", "CLP", "", 1, false},           {"CLP07", "CLP", "", 7, false},
      {"QC last", "NM1", "QC", 3, false},       {"QC first", "NM1", "QC", 4, false},
      {"QC middle", "NM1", "QC", 5, false},     {"QC id", "NM1", "QC", 9, true},
      {"IL last", "NM1", "IL", 3, false},       {"IL first", "NM1", "IL", 4, false},
      {"IL middle", "NM1", "IL", 5, false},     {"IL id", "NM1", "IL", 9, true},
      {"74 last", "NM1", "74", 3, false},       {"74 first", "NM1", "74", 4, false},
      {"74 middle", "NM1", "74", 5, false},     {"74 id", "NM1", "74", 9, true},
      {"REF EA", "REF", "EA", 2, false},        {"REF BB", "REF", "BB", 2, false},
      {"REF 1G", "REF", "1G", 2, false},        {"REF SY", "REF", "SY", 2, false},
      {"REF A6", "REF", "A6", 2, false},        {"REF 1L", "REF", "1L", 2, false},
      {"REF 1W", "REF", "1W", 2, false},        {"REF G3", "REF", "G3", 2, false},
  };
  constexpr int kClaims = 200;
  constexpr int kMostInPlace = 10;
  // The segments of a claim, with the elements no column touches filled in
  // with values of their own.
  const std::vector<std::vector<std::string>> kLayout = {
      {"CLP", "", "1", "100", "80", "", "MC", "", "11", "1"},
      {"NM1", "QC", "1", "", "", "", "", "", "MI", ""},
      {"NM1", "IL", "1", "", "", "", "", "", "MI", ""},
      {"NM1", "74", "1", "", "", "", "", "", "C", ""},
      {"REF", "EA", ""}, {"REF", "BB", ""}, {"REF", "1G", ""}, {"REF", "SY", ""},
      {"REF", "A6", ""}, {"REF", "1L", ""}, {"REF", "1W", ""}, {"REF", "G3", ""},
  };
  auto segmentOf = [&](const Column& column) {
    for (size_t s = 0; s < kLayout.size(); ++s) {
      if (kLayout[s][0] == column.tag && (kLayout[s][0] == "CLP" || kLayout[s][1] == column.qualifier)) {
        return s;
      }
    }
    ADD_FAILURE() << column.name;
    return size_t{0};
  };
  auto join = [](const std::vector<std::string>& elements) {
    std::string text;
    for (const std::string& e : elements) text += (text.empty() ? "" : "*") + e;
    return text;
  };
  auto split = [](std::string text) {
    if (!text.empty() && text.back() == '~') text.pop_back();
    std::vector<std::string> elements;
    size_t start = 0;
    for (size_t at; (at = text.find('*', start)) != std::string::npos; start = at + 1) {
      elements.push_back(text.substr(start, at - start));
    }
    elements.push_back(text.substr(start));
    return elements;
  };

  // value[c][k]: column c's value in claim k.
  std::vector<std::vector<std::string>> value(std::size(kColumns));
  std::vector<std::vector<std::string>> claimSegments;  // elements, claim by claim
  std::vector<std::string> segments = {Isa(), "GS*HP*S*R*20240101*1200*1*X*005010X221A1",
                                       "ST*835*0001"};
  const size_t firstClaimLine = segments.size();
  for (int k = 0; k < kClaims; ++k) {
    std::vector<std::vector<std::string>> claim = kLayout;
    claim[1][7] = "QS" + std::to_string(k);  // name suffixes, each its own
    claim[2][6] = "IP" + std::to_string(k);  // name prefix
    for (size_t c = 0; c < std::size(kColumns); ++c) {
      // Member ids in the shape of a new one, so that an id written again
      // would pass for one.
      char text[16];
      if (kColumns[c].memberId) std::snprintf(text, sizeof text, "%09zuZ", 100000000 + c * 1000 + k);
      else std::snprintf(text, sizeof text, "V%02zuK%03d", c, k);
      value[c].push_back(text);
      claim[segmentOf(kColumns[c])][kColumns[c].element] = text;
    }
    for (const auto& elements : claim) segments.push_back(join(elements));
    claimSegments.insert(claimSegments.end(), claim.begin(), claim.end());
  }
  segments.insert(segments.end(), {"SE*2402*0001", "GE*1*1", "IEA*1*000000001"});
  const std::string copy = UnwrappedCopy(segments);
  LcgRandom random(2024.0f);
  EngineRun run = RunEngine(copy, Interchanges({'~'}), Sets835(kClaims), random);
  ASSERT_TRUE(run.result.outputWritten);
  EXPECT_EQ(CheckScramble(copy, run.output, Interchanges({'~'}), kClaims, run.result.counts), "");
  const std::vector<std::string> lines = CrLfLines(run.output);
  ASSERT_EQ(lines.size(), segments.size());

  std::vector<std::vector<std::string>> written(claimSegments.size());
  for (size_t i = 0; i < claimSegments.size(); ++i) {
    written[i] = split(lines[firstClaimLine + i]);
    ASSERT_EQ(written[i].size(), claimSegments[i].size()) << lines[firstClaimLine + i];
  }
  // Elements that belong to no column are as read.
  for (size_t i = 0; i < claimSegments.size(); ++i) {
    for (size_t e = 0; e < claimSegments[i].size(); ++e) {
      const bool inColumn = std::any_of(std::begin(kColumns), std::end(kColumns), [&](const Column& c) {
        return segmentOf(c) == i % kLayout.size() && c.element == e;
      });
      if (!inColumn) {
        EXPECT_EQ(written[i][e], claimSegments[i][e]) << lines[firstClaimLine + i];
      }
    }
  }
  std::set<std::string> original, newIds;
  for (const auto& column : value) original.insert(column.begin(), column.end());
  for (size_t c = 0; c < std::size(kColumns); ++c) {
    const Column& column = kColumns[c];
    SCOPED_TRACE(column.name);
    std::vector<std::string> out;
    for (int k = 0; k < kClaims; ++k) {
      out.push_back(written[static_cast<size_t>(k) * kLayout.size() + segmentOf(column)][column.element]);
    }
    if (column.memberId) {
      for (const std::string& id : out) {
        EXPECT_EQ(Shape(id), "999999999A") << id;
        EXPECT_EQ(original.count(id), 0u) << id;
        EXPECT_TRUE(newIds.insert(id).second) << id << " made twice";
      }
      continue;
    }
    int inPlace = 0;
    for (int k = 0; k < kClaims; ++k) inPlace += out[static_cast<size_t>(k)] == value[c][static_cast<size_t>(k)];
    EXPECT_LE(inPlace, kMostInPlace);
    std::vector<std::string> sorted = out;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, value[c]);  // values were made in sorted order
  }
}

// The collection meets another number of claims than the scan counted
// (more: a claim would have no row; fewer: a claim would go out as read):
// the run writes no output at all and says why, whether the claims arrive
// while the scan writes the copy or from the copy file.
TEST(EngineRewrite, ClaimsTheScanDidNotCountRefuseTheRun) {
  const std::vector<std::string> segments = {Isa(),          "ST*835*1",  "CLP*ONE*1",
                                             "NM1*QC*1*A*B", "CLP*TWO*1", "NM1*QC*1*C*D",
                                             "REF*EA*X",     "SE*7*1",    "IEA*1*1"};
  const std::string copy = UnwrappedCopy(segments);
  for (int32_t scanCount : {1, 3}) {
    for (bool streamed : {false, true}) {
      SCOPED_TRACE("scan counted " + std::to_string(scanCount) + (streamed ? ", streamed" : ""));
      LcgRandom random(3.0f);
      const InterchangeTable table = Interchanges({'~'});
      InterchangeTable live;
      CopyCollector collector(live, random);
      if (streamed) testsupport::FeedLikeTheScan(copy, table, 16, live, collector);
      EngineRun run = RunEngine(copy, table, Sets835(scanCount), random, false,
                                streamed ? &collector : nullptr);
      EXPECT_FALSE(run.result.outputWritten);
      EXPECT_FALSE(run.outputExists);
      EXPECT_EQ(run.result.outputError, kRefusedClaimsDisagree);
      EXPECT_NE(run.report.find("Scrambled data NOT written: could not write file " +
                                run.outputPath + " (its claims could not all be matched"),
                std::string::npos)
          << run.report;
    }
  }
}

// Separators come from each ISA line, terminators from the interchange
// table; an ISA without a table entry of its own uses the last entry's
// terminator.  A well-formed ISA inside an interchange whose IEA is missing
// is an ordinary segment, as the scan takes it: separator and terminator
// stay, and what follows is read under them.
TEST(EngineRewrite, SeparatorsPerInterchangeAndIsaPastTheTable) {
  const std::string first =
      UnwrappedCopy({Isa('*'), "ST*835*1", "CLP*A*1*2*3*4*5*PAY1", "SE*2*1", "IEA*1*1"}, '~') +
      UnwrappedCopy({Isa('|', '^'), "ST|835|2", "CLP|B|1|2|3|4|5|PAY2", "NM1|QC|1|X"}, '\n');
  const InterchangeTable table = Interchanges({'~', '\n'});
  {
    SCOPED_TRACE("a third interchange past the table");
    const std::string copy =
        first + UnwrappedCopy({"IEA|1|2", Isa('!'), "CLP!C!1!2!3!4!5!PAY3", "SE!4!2"}, '\n');
    LcgRandom random(5.0f);
    EngineRun run = RunEngine(copy, table, Sets835(3), random);
    ASSERT_TRUE(run.result.outputWritten);
    EXPECT_EQ(run.result.counts.clpChanged, 3);
    EXPECT_EQ(run.result.counts.patientChanged, 1);
    EXPECT_EQ(CheckScramble(copy, run.output, table, 3, run.result.counts), "");
    std::vector<std::string> lines = CrLfLines(run.output);
    ASSERT_EQ(lines.size(), 13u);
    // The third ISA's lines end with the last entry's LF terminator, cut at '!'.
    EXPECT_EQ(lines[11].back(), '\n');
    EXPECT_EQ(lines[11].rfind("CLP!", 0), 0u);
    EXPECT_EQ(std::count(lines[11].begin(), lines[11].end(), '!'), 7);
  }
  {
    SCOPED_TRACE("an ISA segment inside the open second interchange");
    const std::string inside = UnwrappedCopy({Isa('!'), "CLP!C!1!2!3!4!5!PAY3", "SE|4|2"}, '\n');
    const std::string copy = first + inside;
    LcgRandom random(5.0f);
    EngineRun run = RunEngine(copy, table, Sets835(2), random);
    ASSERT_TRUE(run.result.outputWritten);
    EXPECT_EQ(run.result.counts.clpChanged, 2);
    EXPECT_EQ(CheckScramble(copy, run.output, table, 2, run.result.counts), "");
    // Written as read, each line ending with the second interchange's own
    // terminator and nothing after it.
    EXPECT_EQ(run.output.substr(run.output.size() - inside.size()), inside);
  }
}

// NM1 and REF inside a non-835 set are neither collected nor changed.
TEST(EngineRewrite, OtherTransactionSetsAreCopied) {
  const std::vector<std::string> segments = {
      Isa(),          "GS*FA*S*R*1*1*1*X*1", "ST*997*1",   "CLP*NOT*1", "NM1*QC*1*KEEP*ME",
      "REF*EA*KEEP",  "SE*5*1",              "ST*835*2",   "CLP*YES*1", "SE*2*2",
      "NM1*QC*1*AFTER*SE", "GE*2*1",         "IEA*1*1"};
  LcgRandom random(1.0f);
  EngineRun run = RunEngine(UnwrappedCopy(segments), Interchanges({'~'}), Sets835(1), random);
  std::vector<std::string> lines = CrLfLines(run.output);
  ASSERT_EQ(lines.size(), segments.size());
  for (size_t i = 0; i < segments.size(); ++i) EXPECT_EQ(lines[i], segments[i] + "~");
  EXPECT_EQ(run.result.counts.totalChanged, 1);
  EXPECT_EQ(run.result.counts.clpChanged, 1);
}

// A byte 0x1A ends both passes: the output ends with the segments before it.
TEST(EngineRewrite, EndOfFileMarkStopsBothPasses) {
  std::string copy = UnwrappedCopy({Isa(), "ST*835*1", "CLP*A*1"}) + "\x1A" +
                     UnwrappedCopy({"NM1*QC*1*HIDDEN", "SE*3*1", "IEA*1*1"});
  LcgRandom random(1.0f);
  EngineRun run = RunEngine(copy, Interchanges({'~'}), Sets835(1), random);
  EXPECT_EQ(CrLfLines(run.output).size(), 3u);
  EXPECT_EQ(run.result.counts.segmentsIn, 3);
  EXPECT_EQ(run.result.counts.patientChanged, 0);
}

TEST(EngineReport, LineForLineWithListing) {
  const std::string copy = UnwrappedCopy(
      {Isa(), "ST*835*1", "CLP*A*1", "NM1*QC*1*DOE*JO****MI*OLD", "SE*4*1", "IEA*1*1"});
  LcgRandom random(2.0f);
  EngineRun run = RunEngine(copy, Interchanges({'~'}), Sets835(1), random, /*listing=*/true);
  const std::string id = FirstIds(2.0f, 1)[0];
  std::vector<std::string> lines = CrLfLines(run.report);
  ASSERT_EQ(run.report.substr(run.report.size() - 2), "\r\n");
  ASSERT_EQ(lines.size(), 25u);
  const std::string header = "Quorvel Systems Inc '835' Data Scrambler Begins at ";
  EXPECT_EQ(lines[0].substr(0, header.size()), header);
  EXPECT_EQ(Shape(lines[0].substr(header.size())), "99:99:99 on 99-99-9999") << lines[0];
  const std::vector<std::string> expected = {
      "Input File (original file) is input.835",
      "",
      "Listing of changed segments",
      "---------------------------",
      "",
      "Segment in ==>CLP*A*1~",
      "Segment out==>CLP*A*1~",
      "",
      "Segment in ==>NM1*QC*1*DOE*JO****MI*OLD~",
      "Segment out==>NM1*QC*1*DOE*JO****MI*" + id + "~",
      "",
      "",
      " Segments in                 :       6",
      " Claims Found                :       1",
      " CLP Segments Changed        :       1",
      " Patient ID Segments Changed :       1",
      " Insured ID Segments Changed :       0",
      " Other   ID Segments Changed :       0",
      " Total      Segments Changed :       2",
      "",
      "Scrambled data written to file " + std::string(),  // path checked below
      "",
      " ** END OF REPORT **",
      "",
  };
  for (size_t i = 0; i < expected.size(); ++i) {
    if (i == 20) {
      EXPECT_EQ(lines[1 + i].rfind("Scrambled data written to file /", 0), 0u) << lines[1 + i];
      EXPECT_NE(lines[1 + i].find("/out.txt"), std::string::npos);
    } else {
      EXPECT_EQ(lines[1 + i], expected[i]) << "report line " << i + 2;
    }
  }
  EXPECT_EQ(run.statuses.size(), 3u);
  EXPECT_EQ(run.statuses[0], "Collecting Information");
  EXPECT_EQ(run.statuses[1], "Randomly Scrambling Collected Information");
  EXPECT_EQ(run.statuses[2].rfind("Writing ANSI Data to /", 0), 0u);
}

TEST(EngineReport, NoClaimsAndListingOff) {
  const std::string copy =
      UnwrappedCopy({Isa(), "GS*FA*S*R*1*1*1*X*1", "ST*997*1", "AK1*HP*1", "SE*3*1", "GE*1*1",
                     "IEA*1*1"});
  SetTable sets;
  std::strcpy(sets[1].setId, "997");
  sets[1].loopCount1 = 4;  // not an 835: never a claim
  LcgRandom random(2.0f);
  EngineRun run = RunEngine(copy, Interchanges({'~'}), sets, random);
  std::vector<std::string> lines = CrLfLines(run.report);
  ASSERT_GE(lines.size(), 13u);
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "Detailed Segment changes not shown.");
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(lines[5], "");
  EXPECT_EQ(lines[6], " Segments in                 :       7");
  EXPECT_EQ(lines[7], " Claims Found                :       0");
  EXPECT_EQ(lines[12], " Total      Segments Changed :       0");
  EXPECT_EQ(run.output, copy);  // CR LF lines that end with their terminator: unchanged bytes
}

TEST(EngineReport, CountFormat) {
  const struct {
    int64_t value;
    const char* text;
  } cases[] = {{0, "      0"},      {7, "      7"},       {999, "    999"},
               {1000, "  1,000"},   {12345, " 12,345"},    {999999, "999,999"},
               {1000000, "1,000,000"}, {1234567, "1,234,567"},
               {12345678, "12,345,678"}, {-1234, " -1,234"}};
  for (const auto& c : cases) EXPECT_EQ(FormatReportCount(c.value), c.text) << c.value;
  struct tm t {};
  t.tm_hour = 14, t.tm_min = 5, t.tm_sec = 9, t.tm_mon = 2, t.tm_mday = 7, t.tm_year = 124;
  EXPECT_EQ(FormatReportTime(t), "14:05:09");
  EXPECT_EQ(FormatReportDate(t), "03-07-2024");
}

// Failures to open the unwrapped copy or the report file end the run at
// once with the "Error #" notice.
TEST(EngineOpen, FailureNoticeAndNothingWritten) {
  TempDir dir;
  WriteFile(dir.File("copy"), UnwrappedCopy({Isa(), "IEA*1*1"}));
  const struct {
    std::string copy, report;
    std::string notice;
  } cases[] = {
      {dir.File("missing"), dir.File("report"), "Error # 2 On OPEN Of " + dir.File("missing")},
      {dir.File("copy"), dir.File("no/report"), "Error # 2 On OPEN Of " + dir.File("no/report")},
  };
  for (const auto& c : cases) {
    FakeDialog dialog;
    dialog.output = dir.File("out");
    RecordingNotice notice;
    LcgRandom random(1.0f);
    ScrambleResult result = ScrambleFile(dialog, c.copy, c.report, Interchanges({'~'}),
                                         GroupTable(), Sets835(0), random, notice);
    EXPECT_FALSE(result.opened);
    EXPECT_FALSE(result.outputWritten);
    ASSERT_EQ(notice.shown.size(), 1u);
    EXPECT_EQ(notice.shown[0], c.notice);
    EXPECT_FALSE(FileExists(dir.File("out")));
    EXPECT_TRUE(dialog.statuses.empty());
  }
}

// An output that cannot be created: the report says so in place of the
// "written" line, and the result tells the caller.
TEST(EngineOutput, MissingFolderIsReportedNotClaimed) {
  TempDir dir;
  WriteFile(dir.File("copy"), UnwrappedCopy({Isa(), "ST*835*1", "CLP*A*1", "SE*2*1", "IEA*1*1"}));
  FakeDialog dialog;
  dialog.output = dir.File("no-such-folder/out.txt");
  RecordingNotice notice;
  LcgRandom random(1.0f);
  ScrambleResult result = ScrambleFile(dialog, dir.File("copy"), dir.File("report"),
                                       Interchanges({'~'}), GroupTable(), Sets835(1), random, notice);
  EXPECT_TRUE(result.opened);
  EXPECT_FALSE(result.outputWritten);
  EXPECT_TRUE(result.reportWritten);
  const std::string report = ReadFile(dir.File("report"));
  EXPECT_EQ(report.find("Scrambled data written"), std::string::npos);
  EXPECT_NE(report.find("\r\nScrambled data NOT written: could not write file " +
                        dialog.output + " (No such file or directory)\r\n"),
            std::string::npos)
      << report;
  EXPECT_EQ(result.counts.clpChanged, 1);  // the pass still counted
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"copy", "report"}));
}

// A write that fails part-way (here: the file-size limit, as a full disk
// would): nothing is left under the output name, an existing output keeps
// its old content, and no temporary file remains.
TEST(EngineOutput, FailedWriteLeavesNoHalfFile) {
  TempDir dir;
  std::vector<std::string> segments = {Isa(), "ST*835*1"};
  for (int k = 0; k < 400; ++k) {
    segments.push_back("CLP*CLAIM" + std::to_string(k) + "*1*100*80");
    segments.push_back("NM1*QC*1*LASTNAME*FIRSTNAME*M***MI*ID" + std::to_string(k));
  }
  segments.insert(segments.end(), {"SE*802*1", "IEA*1*1"});
  WriteFile(dir.File("copy"), UnwrappedCopy(segments));
  for (bool existing : {false, true}) {
    SCOPED_TRACE(existing ? "existing output" : "new output");
    if (existing) WriteFile(dir.File("out.txt"), "previous content");
    FakeDialog dialog;
    dialog.output = dir.File("out.txt");
    RecordingNotice notice;
    LcgRandom random(1.0f);
    ScrambleResult result;
    {
      FileSizeLimit limit(16384);  // room for the report, not for the output
      result = ScrambleFile(dialog, dir.File("copy"), dir.File("report"), Interchanges({'~'}),
                            GroupTable(), Sets835(400), random, notice);
    }
    EXPECT_FALSE(result.outputWritten);
    EXPECT_EQ(result.outputError, EFBIG);
    EXPECT_NE(ReadFile(dir.File("report")).find("Scrambled data NOT written: could not write file " +
                                                dialog.output + " (File too large)"),
              std::string::npos);
    if (existing) {
      EXPECT_EQ(ReadFile(dir.File("out.txt")), "previous content");
      EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"copy", "out.txt", "report"}));
    } else {
      EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"copy", "report"}));
    }
  }
}

// Without a seed the run draws from the system's secure source: two runs
// differ.  The same seed gives the same output twice.
TEST(EngineRandom, UnseededRunsDifferSeededRunsRepeat) {
  std::vector<std::string> segments = {Isa(), "ST*835*1"};
  for (int k = 0; k < 20; ++k) {
    segments.push_back("CLP*C" + std::to_string(k) + "*1");
    segments.push_back("NM1*QC*1*L" + std::to_string(k) + "*F***MI*X");
  }
  segments.insert(segments.end(), {"SE*42*1", "IEA*1*1"});
  const std::string copy = UnwrappedCopy(segments);
  SystemRandom first, second;
  std::string a = RunEngine(copy, Interchanges({'~'}), Sets835(20), first).output;
  std::string b = RunEngine(copy, Interchanges({'~'}), Sets835(20), second).output;
  EXPECT_NE(a, b);
  LcgRandom seeded1(12345.0f), seeded2(12345.0f);
  EXPECT_EQ(RunEngine(copy, Interchanges({'~'}), Sets835(20), seeded1).output,
            RunEngine(copy, Interchanges({'~'}), Sets835(20), seeded2).output);
}

TEST(ReplaceElement, PositionsAndNoAddedElements) {
  const struct {
    const char* segment;
    int position;
    const char* value;
    const char* expected;
  } cases[] = {
      {"NM1*QC*1*DOE*JOHN~", 3, "ROE", "NM1*QC*1*ROE*JOHN~"},
      {"NM1*QC*1*DOE*JOHN~", 4, "JIM", "NM1*QC*1*DOE*JIM"},  // terminator goes with the last piece
      {"NM1*QC*1*DOE~", 9, "123456789A", "NM1*QC*1*DOE~"},    // never added
      {"REF*EA*X~", 2, "", "REF*EA*"},
      {"CLP**1", 1, "NEW", "CLP*NEW*1"},
  };
  for (const auto& c : cases) {
    std::string segment = c.segment;
    ReplaceElement(segment, c.position, '*', c.value);
    EXPECT_EQ(segment, c.expected) << c.segment << " @" << c.position;
  }
}

// Several changes in one pass, at positions near and far, given twice or
// past the last element: the same as cutting the segment into all its
// pieces, replacing those that exist and joining them again.
TEST(ReplaceElement, SeveralChangesAsPiecesReplacedAndJoined) {
  std::mt19937 random(835);
  const char* values[] = {"", "V", "VALUE*WITH", "LONGER-VALUE-0123456789"};
  for (int round = 0; round < 3000; ++round) {
    std::string segment = "SEG";
    const int pieces = static_cast<int>(random() % 22);
    for (int i = 0; i < pieces; ++i) {
      segment += "*" + std::string(random() % 20, static_cast<char>('a' + i));
    }
    if (random() % 2) segment += "~";
    std::vector<ElementChange> changes;
    for (int position = -1; position < 24; ++position) {
      const int copies = random() % 7 == 0 ? 2 : random() % 3 == 0 ? 1 : 0;
      for (int k = 0; k < copies; ++k) changes.push_back({position, values[random() % 4]});
    }
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
      const size_t stop = segment.find('*', start);
      parts.push_back(segment.substr(start, stop == std::string::npos ? stop : stop - start));
      if (stop == std::string::npos) break;
      start = stop + 1;
    }
    int done = -2;
    for (const ElementChange& change : changes) {
      if (change.position <= done || change.position < 0) continue;
      done = change.position;
      const size_t at = static_cast<size_t>(change.position);
      if (at < parts.size()) parts[at] = std::string(change.value);
    }
    std::string expected;
    for (size_t i = 0; i < parts.size(); ++i) expected += (i > 0 ? "*" : "") + parts[i];
    std::string got;
    ReplaceElements(segment, '*', changes.data(), static_cast<int>(changes.size()), got);
    ASSERT_EQ(got, expected) << segment << " with " << changes.size() << " changes";

    // The same from a segment and values that may be read 16 bytes on,
    // separators and terminators lying in the bytes after each: those
    // bytes are never written out.
    const std::string after(kReadAhead, '*');
    const std::string paddedSegment = segment + after + "~";
    std::vector<std::string> paddedValues;
    paddedValues.reserve(changes.size());
    std::vector<ElementChange> paddedChanges;
    for (const ElementChange& change : changes) {
      paddedValues.push_back(std::string(change.value) + after);
      const bool nothing = change.value.empty() && paddedValues.size() % 2 == 0;
      paddedChanges.push_back({change.position, nothing ? std::string_view()
                                                        : std::string_view(paddedValues.back().data(),
                                                                           change.value.size())});
    }
    size_t room = segment.size() + kReadAhead;
    for (const ElementChange& change : changes) room += change.value.size();
    std::string out(room, '?');
    const size_t size = ReplaceElementsIntoPadded(std::string_view(paddedSegment.data(), segment.size()), '*',
                                                  paddedChanges.data(),
                                                  static_cast<int>(paddedChanges.size()), &out[0]);
    ASSERT_EQ(out.substr(0, size), expected) << segment << " read in 16-byte pieces";
  }
}

// A value holds a delimiter whichever of its bytes it is, and the bytes
// after it that a 16-byte load also reads do not count.
TEST(ReplaceElement, DelimiterFoundAtEveryPlaceOfAValue) {
  for (size_t size = 0; size <= 40; ++size) {
    for (size_t at = 0; at <= size; ++at) {
      std::string value(size, 'v');
      if (at < size) value[at] = '~';
      value += std::string(kReadAhead, '*') + "~";
      const bool holds = at < size;
      ASSERT_EQ(HoldsEitherPadded(value.data(), size, '~', '*'), holds) << size << " " << at;
      ASSERT_EQ(HoldsEitherPadded(value.data(), size, '*', '~'), holds) << size << " " << at;
      ASSERT_FALSE(HoldsEitherPadded(value.data(), size, '|', '^')) << size << " " << at;
    }
  }
}

// Interchanges with other delimiters: a value never moves into one whose
// delimiters it could hold, so every segment keeps its elements and every
// remittance its amounts; a value that would still land there (a name met
// in the second interchange before its first claim belongs to the first
// interchange's last claim) is written empty, and the run says so.
TEST(EngineRewrite, ValuesStayAmongClaimsUnderTheSameDelimiters) {
  std::vector<std::string> first = {Isa('*', ':'), "ST*835*1"};
  std::vector<std::string> second = {Isa('|', '^'), "ST|835|2", "NM1|QC|1|EARLY"};
  for (int k = 1; k <= 6; ++k) {
    const std::string n = std::to_string(k);
    first.push_back("CLP*A|" + n + "*1*100*80**MC*P|" + n);
    first.push_back("NM1*QC*1*L|" + n + "*F" + n);
    second.push_back("CLP|B" + n + "|1|100|80||MC|Q" + n);
    second.push_back("NM1|QC|1|M" + n + "|G:" + n);
  }
  first.insert(first.end(), {"SE*14*1", "IEA*1*1"});
  second.insert(second.end(), {"SE|15|2", "IEA|1|1"});
  const std::string copy = UnwrappedCopy(first) + UnwrappedCopy(second);
  const InterchangeTable table = Interchanges({'~', '~'});
  int64_t emptied = 0;
  for (float seed : {1.0f, 2.0f, 3.0f}) {
    LcgRandom random(seed);
    EngineRun run = RunEngine(copy, table, Sets835(12), random);
    ASSERT_TRUE(run.result.outputWritten);
    const std::vector<std::string> in = EngineLines(copy);
    const std::vector<std::string> out = CrLfLines(run.output);
    ASSERT_EQ(out.size(), in.size());
    int moved = 0;
    for (size_t i = 0; i < in.size(); ++i) {
      const char sep = i < first.size() ? '*' : '|';
      EXPECT_EQ(std::count(out[i].begin(), out[i].end(), sep),
                std::count(in[i].begin(), in[i].end(), sep))
          << in[i] << " became " << out[i];
      if (in[i].rfind("CLP", 0) == 0) {
        // The amounts stay; the claim ids come from claims of the same
        // delimiters.
        EXPECT_NE(out[i].find(sep + std::string("1") + sep + "100" + sep + "80" + sep), std::string::npos)
            << out[i];
        EXPECT_EQ(out[i].find(i < first.size() ? "B" : "A|"), std::string::npos) << out[i];
        if (out[i] != in[i]) ++moved;
      }
    }
    EXPECT_GT(moved, 4);  // values do move within each group
    // The early name shares its cell with the first interchange's last
    // claim: it receives one of that pool's names, or its own.
    const std::string& early = out[first.size() + 2];
    EXPECT_TRUE(early == "NM1|QC|1|~" || early == "NM1|QC|1|EARLY~") << early;
    emptied += run.result.counts.valuesEmptied;
    EXPECT_EQ(run.result.counts.valuesEmptied > 0, !run.result.warnings.empty());
    EXPECT_EQ(run.result.unexchangedClaims, 0);
  }
  EXPECT_GT(emptied, 0);
}

// The copy changes between the collection and the rewrite (same size):
// every recorded position is checked before it is used, so the run ends
// with its own error and writes nothing, instead of reading out of bounds
// or writing a claim's segments as read.  A block that is rewritten from
// its own lines (here: the one block that holds the header) has no
// recorded positions; it is refused when its claims differ from those
// collected.
TEST(EngineRewrite, CopyChangedBetweenThePassesIsRefused) {
  const std::string copy = UnwrappedCopy(
      {Isa(), "ST*835*1", "BPR*I*100*C", "CLP*PCN1*1*100*80", "NM1*QC*1*DOE*JOHN****MI*ID1",
       "REF*EA*ACCOUNT1", "CLP*PCN2*1*50*40", "NM1*QC*1*ROE*JANE****MI*ID2", "SE*8*1",
       "IEA*1*1"});
  const size_t afterIsa = copy.find("ST*835");
  std::string rotated = copy;  // every line after the header moved on by 7 bytes
  std::rotate(rotated.begin() + static_cast<std::ptrdiff_t>(afterIsa), rotated.end() - 7,
              rotated.end());
  std::string retagged = copy;  // a claim's tag overwritten
  retagged.replace(retagged.find("CLP*PCN2"), 3, "DTM");
  std::string requalified = copy;  // a reference's qualifier overwritten
  requalified.replace(requalified.find("REF*EA"), 6, "REF*ZZ");
  std::string renamed = copy;  // a patient's line made an insured's
  renamed.replace(renamed.find("NM1*QC*1*ROE"), 6, "NM1*IL");
  // In blocks of 48 bytes most blocks go out from their marks alone; one
  // block holds the header and is read line by line.
  for (const std::string* changed : {&rotated, &retagged, &requalified, &renamed}) {
    for (uint64_t blockBytes : {uint64_t{48}, Collection::kCopyBlockBytes}) {
      const auto& c = *changed;
      SCOPED_TRACE(c + " in blocks of " + std::to_string(blockBytes));
      ASSERT_EQ(c.size(), copy.size());
      LcgRandom random(2.0f);
      const InterchangeTable table = Interchanges({'~'});
      InterchangeTable live;
      CopyCollector collector(live, random, blockBytes);
      testsupport::FeedLikeTheScan(copy, table, copy.size(), live, collector);
      EngineRun run = RunEngine(c, table, Sets835(2), random, false, &collector);
      EXPECT_FALSE(run.result.outputWritten);
      EXPECT_FALSE(run.outputExists);
      EXPECT_EQ(run.result.outputError, kRefusedCopyChanged);
      EXPECT_NE(run.report.find("(the temporary copy of the input changed during the run)"),
                std::string::npos);
    }
  }
}
