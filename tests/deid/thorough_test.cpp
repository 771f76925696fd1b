// Thorough runs of the engine over hand-made unwrapped copies: each column
// exchanged only among the claims (service lines) that hold a value of it,
// line item control numbers that belong to no service line, and PLB
// references that follow their claims.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "random.h"
#include "test_util.h"

using namespace testutil;

namespace {

std::vector<std::string> Elements(std::string segment, char separator) {
  if (!segment.empty() && segment.back() == '~') segment.pop_back();
  std::vector<std::string> elements(1);
  for (char c : segment) {
    if (c == separator) elements.emplace_back();
    else elements.back() += c;
  }
  return elements;
}

EngineRun RunThorough(const std::vector<std::string>& segments, int interchanges, int claims,
                      float seed) {
  LcgRandom random(seed);
  return RunEngine(UnwrappedCopy(segments), Interchanges(std::vector<char>(interchanges, '~')),
                   Sets835(claims), random, /*listing=*/false, /*collector=*/nullptr,
                   /*thorough=*/true);
}

}  // namespace

// Two interchanges under different element separators, 24 claims each;
// only some claims have a CLP07, an NM1 IL (some with a middle name), an
// NM1 GB, a REF F8 or a line item control number.  In the output every
// replaced element is empty exactly where it was (no NM1 receives an empty
// name or member id, no REF an empty REF02), the values of each column are
// those of the same interchange's claims, exchanged, and every NM109 is a
// new member id.
TEST(EngineThorough, EachColumnOnlyAmongTheClaimsThatHoldIt) {
  std::vector<std::string> segments;
  for (int x = 0; x < 2; ++x) {
    const char s = x == 0 ? '*' : '|';
    auto join = [s](const std::vector<std::string>& elements) {
      std::string text;
      for (const std::string& e : elements) text += (text.empty() ? "" : std::string(1, s)) + e;
      return text;
    };
    segments.push_back(Isa(s));
    segments.push_back(join({"GS", "HP", "S", "R", "20240101", "1200", "1", "X", "005010X221A1"}));
    segments.push_back(join({"ST", "835", "1"}));
    for (int k = 0; k < 24; ++k) {
      const std::string id = std::to_string(x * 24 + k);
      segments.push_back(join({"CLP", "C" + id, "1", "100", "80", "", "MC", k % 3 ? "P" + id : ""}));
      segments.push_back(join({"NM1", "QC", "1", "LQ" + id, "FQ" + id, k % 2 ? "MQ" + id : "", "",
                               "", "MI", "Q" + id}));
      if (k % 4 == 0) {
        segments.push_back(join({"NM1", "IL", "1", "LI" + id, "FI" + id, k % 8 ? "" : "MI" + id,
                                 "", "", "MI", "I" + id}));
      }
      if (k % 5 == 0) {
        segments.push_back(join({"NM1", "GB", "1", "LG" + id, "FG" + id, "", "", "", "MI", "G" + id}));
      }
      if (k % 6 == 0) segments.push_back(join({"REF", "F8", "F" + id}));
      segments.push_back(join({"SVC", "HC:1", "100", "80"}));
      if (k % 2 == 0) segments.push_back(join({"REF", "6R", "R" + id}));
    }
    segments.push_back(join({"SE", "1", "1"}));
    segments.push_back(join({"GE", "1", "1"}));
    segments.push_back(join({"IEA", "1", "1"}));
  }
  const EngineRun run = RunThorough(segments, 2, 48, 5.0f);
  ASSERT_TRUE(run.result.outputWritten);
  const std::vector<std::string> lines = CrLfLines(run.output);
  ASSERT_EQ(lines.size(), segments.size());

  // (interchange, column) -> the values before and after.
  std::map<std::pair<int, std::string>, std::multiset<std::string>> before, after;
  std::map<std::string, int> moved;
  int x = -1;
  for (size_t i = 0; i < segments.size(); ++i) {
    if (segments[i].compare(0, 3, "ISA") == 0) ++x;
    const char s = x == 0 ? '*' : '|';
    const std::vector<std::string> in = Elements(segments[i], s);
    const std::vector<std::string> out = Elements(lines[i], s);
    ASSERT_EQ(in.size(), out.size()) << lines[i];
    std::vector<size_t> replaced;
    if (in[0] == "CLP") replaced = {1, 7};
    if (in[0] == "NM1") replaced = {3, 4, 5};
    if (in[0] == "REF") replaced = {2};
    if (in[0] == "NM1") {
      EXPECT_EQ(Shape(out[9]), "999999999A") << lines[i];
      EXPECT_NE(out[9], in[9]);
    }
    for (size_t k = 0; k < in.size(); ++k) {
      const bool isReplaced = std::find(replaced.begin(), replaced.end(), k) != replaced.end();
      if (!isReplaced) {
        if (!(in[0] == "NM1" && k == 9)) {
          EXPECT_EQ(out[k], in[k]) << lines[i];
        }
        continue;
      }
      EXPECT_EQ(out[k].empty(), in[k].empty()) << segments[i] << " became " << lines[i];
      if (in[k].empty()) continue;
      const std::string column = in[0] + (in[0] == "CLP" ? "" : in[1]) + std::to_string(k);
      before[{x, column}].insert(in[k]);
      after[{x, column}].insert(out[k]);
      moved[column] += in[k] != out[k];
    }
  }
  for (const auto& [key, values] : before) {
    EXPECT_EQ(after[key], values) << key.second << " of interchange " << key.first;
  }
  for (const char* column : {"CLP1", "CLP7", "NM1QC3", "NM1QC5", "NM1IL3", "NM1IL5", "NM1GB4",
                             "REFF82", "REF6R2"}) {
    EXPECT_GT(moved[column], 0) << column;
  }
  EXPECT_EQ(run.result.counts.valuesEmptied, 0);
}

// A REF 6R before its claim's first service line belongs to no service
// line: it is written empty and counted among the emptied values; the
// others are exchanged among the service lines.
TEST(EngineThorough, LineItemReferenceBeforeItsClaimsFirstServiceLineIsEmptied) {
  const std::vector<std::string> segments = {
      Isa(),           "GS*HP*S*R*1*1*1*X*1", "ST*835*1",      "CLP*C1*1*10*5",
      "SVC*HC:1*10*5", "REF*6R*A1",           "CLP*C2*1*10*5", "REF*6R*EARLY",
      "SVC*HC:2*10*5", "REF*6R*B1",           "SVC*HC:3*10*5", "REF*6R*B2",
      "SE*11*1",       "GE*1*1",              "IEA*1*1"};
  const EngineRun run = RunThorough(segments, 1, 2, 3.0f);
  ASSERT_TRUE(run.result.outputWritten);
  const std::vector<std::string> lines = CrLfLines(run.output);
  ASSERT_EQ(lines.size(), segments.size());
  EXPECT_EQ(lines[7], "REF*6R*~");
  EXPECT_EQ((std::multiset<std::string>{lines[5], lines[9], lines[11]}),
            (std::multiset<std::string>{"REF*6R*A1~", "REF*6R*B1~", "REF*6R*B2~"}));
  EXPECT_EQ(run.result.counts.valuesEmptied, 1);
  EXPECT_EQ(run.result.counts.otherChanged, 4);
  ASSERT_EQ(run.result.warnings.size(), 1u);
  EXPECT_NE(run.result.warnings[0].find("1 identifying value(s) were written empty"),
            std::string::npos);
  EXPECT_NE(run.result.warnings[0].find("REF 6R"), std::string::npos);
}

// A PLB reference quotes the new number of the claim whose number it
// quoted: of a number that several claims carry (a reversal and its
// correction), the first claim of the PLB's own set, else the first of the
// file; CLP07 as well as CLP01; whole tokens only.  A new number that would
// hold a delimiter of the PLB's interchange is left out, and so is a
// reference too long to be searched, and said so.
TEST(EngineThorough, PlbReferenceQuotesTheNewNumberOfItsClaim) {
  const std::vector<std::string> segments = {
      Isa(), "GS*HP*S*R*1*1*1*X*1",
      "ST*835*1", "CLP*R1*1*10*5**MC*A7", "CLP*X1*1*10*5**MC*X7", "SE*4*1",
      "ST*835*2", "CLP*R1*22*-10*-5**MC*B7", "CLP*R1*1*10*5**MC*C7", "CLP*D1*1*10*5**MC*Q7",
      "PLB*PROV*20241231*WO:R1*1*CS:Q7*2*72:D1-Q7*3*L6:XR1*4", "SE*6*2",
      "ST*835*3", "CLP*E1*1*10*5**MC*E7", "CLP*F1*1*10*5**MC*F7",
      "PLB*PROV*20241231*WO:R1*1*CS:" + std::string(257, '7') + "*2",
      "SE*5*3", "GE*3*1", "IEA*1*1"};
  const EngineRun run = RunThorough(segments, 1, 7, 5.0f);
  ASSERT_TRUE(run.result.outputWritten);
  const std::vector<std::string> lines = CrLfLines(run.output);
  ASSERT_EQ(lines.size(), segments.size());
  auto element = [&](size_t line, size_t k) { return Elements(lines[line], '*')[k]; };
  const std::string a = element(3, 1), b = element(7, 1), c = element(8, 1);
  // The seed gives the three claims that carried R1 three different numbers,
  // so that the claim chosen shows.
  ASSERT_TRUE(a != b && b != c && a != c) << a << " " << b << " " << c;
  EXPECT_EQ(element(10, 3), "WO:" + b);
  EXPECT_EQ(element(10, 5), "CS:" + element(9, 7));
  EXPECT_EQ(element(10, 7), "72:" + element(9, 1) + "-" + element(9, 7));
  EXPECT_EQ(element(10, 9), "L6:XR1");
  EXPECT_EQ(element(15, 3), "WO:" + a);
  EXPECT_EQ(element(15, 5), "CS:");
  EXPECT_EQ(run.result.counts.otherChanged, 2);
  EXPECT_EQ(run.result.counts.valuesEmptied, 1);

  // The only claim numbered Z9 stands in an interchange under '*', where
  // another claim's number holds '|', the element separator of the PLB's.
  const std::vector<std::string> across = {
      Isa('*'), "GS*HP*S*R*1*1*1*X*1", "ST*835*1", "CLP*Z9*1*10*5", "CLP*P|Q*1*10*5", "SE*4*1",
      "GE*1*1", "IEA*1*1", Isa('|'), "GS|HP|S|R|1|1|1|X|1", "ST|835|2", "CLP|W1|1|10|5",
      "CLP|W2|1|10|5", "PLB|PROV|20241231|WO:Z9|1", "SE|5|2", "GE|1|1", "IEA|1|1"};
  const EngineRun emptied = RunThorough(across, 2, 4, 5.0f);
  ASSERT_TRUE(emptied.result.outputWritten);
  const std::vector<std::string> out = CrLfLines(emptied.output);
  ASSERT_EQ(out[3], "CLP*P|Q*1*10*5~");  // the seed moves the numbers
  EXPECT_EQ(out[13], "PLB|PROV|20241231|WO:|1~");
  EXPECT_EQ(emptied.result.counts.valuesEmptied, 1);
}
