// Tests of the X12 scanning library: header rules, element handling, number
// conversion, the scan's tables and its unwrapped copy.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "x12scan.h"

namespace {

// An ISA header of exactly 105 characters with the given delimiters; the
// terminator is not included.
std::string Isa(char sep = '*', char sub = ':', const std::string& control = "000000905") {
  std::string s = "ISA";
  auto field = [&](const std::string& v, size_t width) {
    s += sep;
    std::string padded = v;
    padded.resize(width, ' ');
    s += padded;
  };
  field("00", 2);
  field("", 10);
  field("00", 2);
  field("", 10);
  field("ZZ", 2);
  field("SENDER", 15);
  field("ZZ", 2);
  field("RECEIVER", 15);
  field("020101", 6);
  field("1200", 4);
  field("U", 1);
  field("00401", 5);
  field(control, 9);
  field("0", 1);
  field("P", 1);
  s += sep;
  s += sub;
  return s;
}

// Joins segments, each followed by the terminator and `after`.
std::string Segments(const std::vector<std::string>& segments, char term = '~', const std::string& after = "") {
  std::string s;
  for (const std::string& seg : segments) s += seg + term + after;
  return s;
}

// A complete one-claim 835 interchange.
std::string Interchange(const std::string& after = "", char term = '~') {
  return Segments({Isa(), "GS*HP*SENDER*RECEIVER*20020101*1200*1*X*004010X091A1", "ST*835*0001",
                   "BPR*I*100*C*CHK", "CLP*A1*1*100*100**MC*X1", "NM1*QC*1*DOE*JANE", "SVC*HC:99213*100*100",
                   "SE*6*0001", "GE*1*1", "IEA*1*000000905"},
                  term, after);
}

class StringSink : public CopySink {
 public:
  void Write(const char* data, size_t size) override { text.append(data, size); }
  std::string text;
};

struct Scan {
  InterchangeTable interchanges;
  Ta1Table ta1s;
  GroupTable groups;
  SetTable sets;
  std::string copy;
  int32_t code = -1;
};

// Every index that one table holds into another points inside it.
void ExpectConsistent(const Scan& s) {
  for (int32_t i = 1; i <= s.interchanges.Count(); ++i) {
    const InterchangeEntry& e = s.interchanges[i];
    EXPECT_TRUE(e.firstGroup == 0 || s.groups.Has(e.firstGroup));
    EXPECT_TRUE(e.firstTa1 == 0 || s.ta1s.Has(e.firstTa1));
  }
  for (int32_t g = 1; g <= s.groups.Count(); ++g) {
    const GroupEntry& e = s.groups[g];
    EXPECT_TRUE(e.interchange == 0 || s.interchanges.Has(e.interchange));
    EXPECT_TRUE(e.firstSet == 0 || s.sets.Has(e.firstSet));
  }
  for (int32_t k = 1; k <= s.sets.Count(); ++k) {
    const SetEntry& e = s.sets[k];
    EXPECT_TRUE(e.interchange == 0 || s.interchanges.Has(e.interchange));
    EXPECT_TRUE(e.group == 0 || s.groups.Has(e.group));
  }
}

Scan ScanText(const std::string& text, const ProgressTarget& progress = ProgressTarget()) {
  Scan s;
  StringSink sink;
  s.code = ScanX12Buffer(text.data(), text.size(), &sink, s.interchanges, s.ta1s, s.groups, s.sets, progress);
  s.copy = sink.text;
  ExpectConsistent(s);
  return s;
}

// A file in the test's temporary folder, removed at the end of the test.
// Its name holds the process id: tests run side by side (ctest -j, several
// build trees) must not write into each other's files.
class TempFile {
 public:
  explicit TempFile(const std::string& name, const std::string& content = std::string(), bool create = true)
      : path_(testing::TempDir() + std::to_string(getpid()) + "-" + name) {
    if (create) {
      std::ofstream out(path_, std::ios::binary);
      out << content;
    }
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

Scan ScanFile(const std::string& path, const std::string& copyPath = std::string()) {
  Scan s;
  s.code = ScanX12File(path, copyPath, "", s.interchanges, s.ta1s, s.groups, s.sets, ProgressTarget());
  ExpectConsistent(s);
  return s;
}

TEST(ScanErrorText, GivesTheMessageOfEachCode) {
  const std::pair<int32_t, const char*> cases[] = {
      {0, "No Error"},
      {101, "No Interchange(s) Found (No Valid ISA Segments)"},
      {102, "Can't open file or file is zero size"},
      {103, "File too small to contain an interchange"},
      {104, "Input File Not found"},
      {105, "Unexpected End of File Encountered"},
      {106, "File too large for library"},
      {107, "Input File changed or could not be read during the scan"},
      {108, ""},
      {-1, ""},
      {100, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ScanErrorText(c.first), c.second) << c.first;
  EXPECT_EQ(ScanLibraryVersion(), "3.1.1");
}

TEST(X12Number, ConvertsDecimalTextRoundingHalvesToEven) {
  const std::pair<const char*, int32_t> cases[] = {
      {"000000905", 905}, {"", 0},         {"   42", 42},     {"-17", -17},     {"+8", 8},
      {"2.5", 2},         {"3.5", 4},      {"2.500001", 3},   {"-2.5", -2},     {"-3.5", -4},
      {"0.49", 0},        {"-0.6", -1},    {".5", 0},         {"1.", 1},        {"12abc", 12},
      {"abc", 0},         {"-", 0},        {" - 5", 0},       {"\t5", 0},       {"1e5", 1},
      {"2147483647", INT32_MAX},           {"2147483648", INT32_MAX},           {"99999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},          {"-2147483649", INT32_MIN},          {"2147483646.5", 2147483646},
      {"2147483647.5", INT32_MAX},
  };
  for (const auto& c : cases) EXPECT_EQ(X12Number(c.first, std::strlen(c.first)), c.second) << '"' << c.first << '"';
}

TEST(IsValidIsa, AcceptsOnlyAWellFormedHeader) {
  EXPECT_TRUE(IsValidIsa(Isa().c_str()));
  EXPECT_TRUE(IsValidIsa(Isa('|', '^').c_str()));
  // ISA16 equal to the element separator.
  EXPECT_FALSE(IsValidIsa(Isa('*', '*').c_str()));
  // Lower-case tag.
  std::string lower = Isa();
  lower[0] = 'i';
  EXPECT_FALSE(IsValidIsa(lower.c_str()));
  // ISA02 one character short shifts every later separator.
  std::string shortField = Isa();
  shortField.erase(7, 1);
  shortField += ' ';
  EXPECT_FALSE(IsValidIsa(shortField.c_str()));
  // Every fixed character, one at a time: the tag, and each place where the
  // layout puts the element separator (position 3 sets it).
  for (const std::string& good : {Isa(), Isa('|', '^')}) {
    const char separator = good[3];
    int fixed = 0;
    for (size_t position = 0; position < good.size(); ++position) {
      if (position >= 3 && good[position] != separator) continue;
      std::string broken = good;
      broken[position] = position < 3 ? 'X' : ' ';
      EXPECT_FALSE(IsValidIsa(broken.c_str())) << "position " << position << ": " << broken;
      ++fixed;
    }
    EXPECT_EQ(fixed, 3 + 16);  // the tag and the separators before ISA01 to ISA16
  }
  // Element contents are not checked.
  std::string odd = Isa();
  odd[4] = '#';
  EXPECT_TRUE(IsValidIsa(odd.c_str()));
}

TEST(SplitElements, FillsSlotsAndBlanksTheOneAfterTheLast) {
  ElementTable t;
  EXPECT_EQ(SplitElements("GS*HP*A*B*C*D*E*F*G", '*', t), 8);
  EXPECT_EQ(SplitElements("GS*HP*S*R", '*', t), 3);
  EXPECT_EQ(t.slot[0], "GS");
  EXPECT_EQ(t.slot[3], "R");
  EXPECT_EQ(t.slot[4], "");   // blanked by the split
  EXPECT_EQ(t.slot[5], "D");  // left over from the earlier segment
  ClearElements(t, 3, 8);
  for (int k = 4; k <= 8; ++k) EXPECT_EQ(t.slot[k], "") << k;

  EXPECT_EQ(SplitElements("SE*", '*', t), 1);
  EXPECT_EQ(t.slot[1], "");
  EXPECT_EQ(SplitElements("LX", '*', t), 0);
  EXPECT_EQ(t.slot[0], "LX");

  std::string many = "X";
  for (int i = 1; i <= 60; ++i) many += "*" + std::to_string(i);
  EXPECT_EQ(SplitElements(many, '*', t), 60);
  EXPECT_EQ(t.slot[50], "50");

  t.slot[2] = "keep";
  ClearElements(t, 5, 2);  // nothing to blank
  EXPECT_EQ(t.slot[2], "keep");
}

TEST(SetLoopTags, ChoosesTheCountedTagsFromTheSetId) {
  struct Case {
    const char* id;
    const char* tag1;
    const char* tag2;
    bool unknown;
  } cases[] = {
      {"835", "CLP", "SVC", false}, {"837", "CLM", "LX", false}, {"997", "AK2", "AK3", false},
      {"850", "PO1", "", false},    {"856", "HL", "LIN", false}, {"810", "IT1", "SAC", false},
      {"999", "", "", true},        {"", "", "", true},          {"83", "", "", true},
  };
  for (const Case& c : cases) {
    SetEntry set{};
    std::strcpy(set.setId, c.id);
    EXPECT_EQ(SetLoopTags(set), c.unknown) << c.id;
    EXPECT_STREQ(set.loopTag1, c.tag1) << c.id;
    EXPECT_STREQ(set.loopTag2, c.tag2) << c.id;
  }
}

TEST(Scan, RecordsTheEnvelopeOfAnInterchange) {
  const std::string text = Interchange("\r\n");
  Scan s = ScanText(text);
  ASSERT_EQ(s.code, 0);
  ASSERT_EQ(s.interchanges.Count(), 1);
  const InterchangeEntry& ic = s.interchanges[1];
  EXPECT_EQ(ic.start, 0);
  EXPECT_EQ(EntryOffset(ic.length), text.size() - 2);  // through the IEA's terminator
  EXPECT_EQ(std::string(ic.isaText), Isa());
  EXPECT_EQ(ic.terminator, '~');
  EXPECT_EQ(ic.segmentCount, 10);
  EXPECT_EQ(ic.groupsClosed, 1);
  EXPECT_EQ(ic.ieaGroupCount, 1);
  EXPECT_EQ(ic.firstGroup, 1);
  EXPECT_EQ(ic.ta1Count, 0);
  EXPECT_EQ(ic.firstTa1, 0);
  EXPECT_EQ(s.ta1s.Count(), 1);
  EXPECT_EQ(s.ta1s[1].segmentNumber, 0);

  const GroupEntry& g = s.groups[1];
  EXPECT_EQ(g.interchange, 1);
  EXPECT_EQ(EntryOffset(g.start), text.find("GS*"));
  EXPECT_EQ(g.segmentNumber, 2);
  EXPECT_EQ(EntryOffset(g.length), text.find("IEA") - 2 - text.find("GS*"));
  EXPECT_EQ(g.setsClosed, 1);
  EXPECT_EQ(g.geSetCount, 1);
  EXPECT_EQ(g.firstSet, 1);
  EXPECT_EQ(g.segmentCount, 8);
  EXPECT_STREQ(g.functionalId, "HP");
  EXPECT_STREQ(g.senderCode, "SENDER");
  EXPECT_STREQ(g.receiverCode, "RECEIVER");
  EXPECT_STREQ(g.date, "20020101");
  EXPECT_STREQ(g.time, "1200");
  EXPECT_EQ(g.controlNumber, 1);
  EXPECT_STREQ(g.agencyCode, "X");
  EXPECT_STREQ(g.version, "004010X091A1");

  const SetEntry& st = s.sets[1];
  EXPECT_EQ(st.interchange, 1);
  EXPECT_EQ(st.group, 1);
  EXPECT_EQ(EntryOffset(st.start), text.find("ST*"));
  EXPECT_EQ(st.segmentNumber, 2);
  EXPECT_STREQ(st.setId, "835");
  EXPECT_EQ(st.segmentCount, 6);
  EXPECT_EQ(st.seSegmentCount, 6);
  EXPECT_EQ(st.controlNumber, 1);
  EXPECT_STREQ(st.loopTag1, "CLP");
  EXPECT_EQ(st.loopCount1, 1);
  EXPECT_STREQ(st.loopTag2, "SVC");
  EXPECT_EQ(st.loopCount2, 1);
  EXPECT_EQ(ReadTransactionSetText("", st), "");

  // The same file without line breaks gives the same tables but for offsets.
  Scan flat = ScanText(Interchange());
  EXPECT_EQ(flat.copy, s.copy);
  EXPECT_EQ(flat.interchanges[1].segmentCount, ic.segmentCount);
  EXPECT_EQ(flat.sets[1].segmentCount, st.segmentCount);
  EXPECT_EQ(flat.sets[1].loopCount1, 1);
}

TEST(Scan, ResultCodesForShortAndBrokenInput) {
  const std::string one = Interchange();
  const std::string second = Segments({Isa(), "GS*HP*S*R*20020101*1200*2*X*V", "ST*835*2"});
  struct Case {
    const char* name;
    std::string text;
    int32_t code;
  } cases[] = {
      {"104 bytes", std::string(104, 'x'), 103},
      {"a bare 105-character header", Isa(), 101},
      {"a header and terminator only", Isa() + "~", 101},
      {"no header at all", std::string(400, 'A'), 101},
      {"lower-case isa is no header", [] { std::string t = Interchange(); t[0] = 'i'; return t; }(), 101},
      {"one interchange without IEA", Segments({Isa(), "GS*HP"}), 101},
      {"one interchange without IEA, CR LF after", Segments({Isa(), "GS*HP"}) + "\r\n", 101},
      {"second interchange without IEA", one + second, 0},
      {"second interchange without IEA, CR LF after", one + second + "\r\n", 105},
      {"junk after a complete interchange", one + "\r\nnot x12 at all", 0},
      {"a header text too short to carry a terminator", one + Isa(), 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ScanText(c.text).code, c.code) << c.name;
}

TEST(Scan, FileLevelResultCodes) {
  TempFile empty("empty.x12");
  TempFile small("small.x12", std::string(104, 'A'));
  TempFile good("good.x12", Interchange());
  TempFile missing("missing.x12", "", false);
  EXPECT_EQ(ScanFile(missing.path()).code, 104);
  EXPECT_EQ(ScanFile(testing::TempDir()).code, 104);  // a folder is not a file
  EXPECT_EQ(ScanFile(empty.path()).code, 102);
  EXPECT_EQ(ScanFile(small.path()).code, 103);

  // No copy is written when the scan fails before reading.
  TempFile copy("copy.x12", "", false);
  EXPECT_EQ(ScanFile(small.path(), copy.path()).code, 103);
  EXPECT_EQ(ReadWholeFile(copy.path()), "");
  std::ifstream probe(copy.path());
  EXPECT_FALSE(probe.good());

  // An existing copy is emptied first and receives the unwrapped text.
  TempFile oldCopy("old-copy.x12", std::string(10000, 'Z'));
  Scan s = ScanFile(good.path(), oldCopy.path());
  EXPECT_EQ(s.code, 0);
  EXPECT_EQ(ReadWholeFile(oldCopy.path()), ScanText(Interchange()).copy);
}

TEST(Scan, CopyFailureIsReportedWithoutChangingTheResult) {
  TempFile good("good2.x12", Interchange());
  InterchangeTable i;
  Ta1Table t;
  GroupTable g;
  SetTable s;
  int32_t copyError = -1;
  const int32_t code =
      ScanX12File(good.path(), testing::TempDir() + "no/such/folder/copy", "", i, t, g, s, ProgressTarget(), &copyError);
  EXPECT_EQ(code, 0);
  EXPECT_NE(copyError, 0);
}

// A tee that runs out of memory, on the scan's thread (Handing) or on the
// helper that shows it the copy (Written): the scan throws std::bad_alloc
// to its caller instead of ending the process, and nothing is handed on
// twice on the way out.
TEST(Scan, TeeFailureReachesTheCaller) {
  struct FailingTee final : CopyTee {
    bool inHanding = false;
    int calls = 0;
    void Handing() override {
      if (inHanding && calls++ == 0) throw std::bad_alloc();
    }
    void Written(const char*, size_t) override {
      if (!inHanding && calls++ == 0) throw std::bad_alloc();
    }
  };
  std::string text;
  for (int k = 0; k < 10000; ++k) text += Interchange();  // several pieces of copy
  TempFile input("tee.x12", text);
  TempFile copy("tee-copy.x12", "", false);
  for (bool inHanding : {true, false}) {
    SCOPED_TRACE(inHanding ? "Handing" : "Written");
    FailingTee tee;
    tee.inHanding = inHanding;
    InterchangeTable i;
    Ta1Table t;
    GroupTable g;
    SetTable s;
    int32_t copyError = 0;
    EXPECT_THROW(ScanX12File(input.path(), copy.path(), "", i, t, g, s, ProgressTarget(), &copyError,
                             &tee),
                 std::bad_alloc);
    EXPECT_EQ(tee.calls, 1);
  }
}

// The helper that shows a tee the copy lets it work while no piece is
// there (the scan's thread holds the first piece back until it has): a tee
// that runs out of memory then reaches the caller too, and one that does
// not sees the whole copy.
TEST(Scan, TeeWorksWhileItWaitsForAPiece) {
  struct WaitingTee final : CopyTee {
    bool fail = false;
    std::mutex mutex;
    std::condition_variable waited;
    bool hasWaited = false;
    int handings = 0;
    std::string seen;
    void Handing() override {
      if (handings++ > 0) return;
      std::unique_lock<std::mutex> lock(mutex);
      waited.wait(lock, [this] { return hasWaited; });
    }
    void Written(const char* data, size_t size) override { seen.append(data, size); }
    bool Waiting() override {
      {
        std::lock_guard<std::mutex> lock(mutex);
        hasWaited = true;
      }
      waited.notify_all();
      if (fail) throw std::bad_alloc();
      return false;
    }
  };
  std::string text;
  for (int k = 0; k < 10000; ++k) text += Interchange();  // several pieces of copy
  TempFile input("waiting.x12", text);
  TempFile copy("waiting-copy.x12", "", false);
  for (bool fail : {true, false}) {
    SCOPED_TRACE(fail ? "runs out of memory" : "works");
    WaitingTee tee;
    tee.fail = fail;
    InterchangeTable i;
    Ta1Table t;
    GroupTable g;
    SetTable s;
    int32_t copyError = 0;
    if (fail) {
      EXPECT_THROW(ScanX12File(input.path(), copy.path(), "", i, t, g, s, ProgressTarget(),
                               &copyError, &tee),
                   std::bad_alloc);
      continue;
    }
    ASSERT_EQ(ScanX12File(input.path(), copy.path(), "", i, t, g, s, ProgressTarget(), &copyError,
                          &tee),
              0);
    EXPECT_EQ(copyError, 0);
    std::ifstream written(copy.path(), std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(written)),
                           std::istreambuf_iterator<char>());
    EXPECT_GT(tee.handings, 2);
    EXPECT_TRUE(tee.seen == file);
  }
}

TEST(Scan, UnwrappedCopyHasOneSegmentPerLine) {
  // Text before the header, a segment cut by a line break, spaces before a
  // terminator, and junk between segments.
  const std::string preamble = "From: someone\r\nSubject: remittance\r\n\r\n";
  const std::string text = preamble + Isa() + "~\r\nGS*HP*SEN\r\nDER*RECEIVER*20020101*1200*1*X*V   ~\r\n" +
                           "  ...ST*835*1~ax12~SE*2*1~GE*1*1~IEA*1*000000905~\r\n";
  Scan s = ScanText(text);
  ASSERT_EQ(s.code, 0);
  EXPECT_EQ(EntryOffset(s.interchanges[1].start), preamble.size());
  EXPECT_EQ(s.copy, Isa() + "~\r\nGS*HP*SENDER*RECEIVER*20020101*1200*1*X*V~\r\nST*835*1~\r\n12~\r\n" +
                        "SE*2*1~\r\nGE*1*1~\r\nIEA*1*000000905~\r\n");
  // The split sees the spaces the copy drops; the raw length counts the line break.
  EXPECT_STREQ(s.groups[1].version, "V   ");
  const size_t gs = text.find("GS*");
  EXPECT_EQ(EntryOffset(s.groups[1].length), text.find("IEA") - gs);
  EXPECT_STREQ(s.groups[1].senderCode, "SENDER");
  // Characters that cannot begin a segment are skipped like line breaks.
  EXPECT_EQ(s.interchanges[1].segmentCount, 7);
}

// A long set whose segments stand in the input in every form the copy
// normalises, some already as the copy holds them: the copy holds each
// segment once, and every piece the tee is shown ends at a line's end.
TEST(Scan, CopyOfLongMixedInputComesInWholeLines) {
  struct Pieces final : CopyTee {
    std::vector<std::string> seen;
    void Handing() override {}
    void Written(const char* data, size_t size) override { seen.emplace_back(data, size); }
  };
  const char* const forms[] = {"~\r\n", "~", "~\n", "  ~\r\n", "~\r\n\r\n", "~ \r\n"};
  std::string text = Isa() + "~\r\nGS*HP*S*R*20020101*1200*1*X*V~\r\nST*835*1~\r\n";
  std::string expected = Isa() + "~\r\nGS*HP*S*R*20020101*1200*1*X*V~\r\nST*835*1~\r\n";
  const int claims = 60000;  // about 3 MiB of copy: several pieces
  for (int k = 0; k < claims; ++k) {
    const std::string clp = "CLP*C" + std::to_string(k) + "*1*10*10";
    const std::string nm1 = "NM1*QC*1*LAST" + std::to_string(k % 97) + "*FIRST";
    text += clp + forms[k % 6];
    // Every seventh name is cut by a line break, which the copy drops.
    text += k % 7 == 0 ? nm1.substr(0, 5) + "\r\n" + nm1.substr(5) + "~\r\n" : nm1 + forms[(k / 6) % 6];
    expected += clp + "~\r\n" + nm1 + "~\r\n";
  }
  const std::string tail = "SE*" + std::to_string(2 * claims + 2) + "*1~\r\nGE*1*1~\r\nIEA*1*000000905~\r\n";
  text += tail;
  expected += tail;
  TempFile input("mixed.x12", text);
  TempFile copy("mixed-copy.x12", "", false);
  Pieces tee;
  Scan s;
  int32_t copyError = -1;
  s.code = ScanX12File(input.path(), copy.path(), "", s.interchanges, s.ta1s, s.groups, s.sets,
                       ProgressTarget(), &copyError, &tee);
  ASSERT_EQ(s.code, 0);
  ASSERT_EQ(copyError, 0);
  std::string joined;
  for (const std::string& piece : tee.seen) {
    EXPECT_LE(piece.size(), size_t{1} << 20);
    EXPECT_EQ(piece.substr(piece.size() - 3), "~\r\n");
    joined += piece;
  }
  EXPECT_GT(tee.seen.size(), 2u);
  EXPECT_TRUE(joined == expected);
  std::ifstream written(copy.path(), std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(file == expected);
  EXPECT_EQ(s.interchanges[1].segmentCount, 2 * claims + 6);
  EXPECT_EQ(s.sets[1].segmentCount, 2 * claims + 2);
  EXPECT_EQ(s.sets[1].seSegmentCount, 2 * claims + 2);
  EXPECT_EQ(s.sets[1].loopCount1, claims);
}

TEST(Scan, LineEndFollowsTheTerminator) {
  // CR terminator: the copy's lines end CR (terminator) then LF.
  Scan cr = ScanText(Segments({Isa(), "GS*HP*S*R", "GE*0*1", "IEA*1*1"}, '\r'));
  ASSERT_EQ(cr.code, 0);
  EXPECT_EQ(cr.copy, Isa() + "\r\nGS*HP*S*R\r\nGE*0*1\r\nIEA*1*1\r\n");
  EXPECT_EQ(cr.interchanges[1].terminator, '\r');
  EXPECT_EQ(cr.interchanges[1].segmentCount, 4);

  // LF terminator, with a CR before each LF: the CR is a skipped line break
  // inside the segment, and the LF ends it.
  Scan lf = ScanText(Isa() + "\nGS*HP*S*R\r\nGE*0*1\r\nIEA*1*1\r\n");
  ASSERT_EQ(lf.code, 0);
  EXPECT_EQ(lf.copy, Isa() + "\n\r\nGS*HP*S*R\n\r\nGE*0*1\n\r\nIEA*1*1\n\r\n");
}

TEST(Scan, DelimitersArePerInterchange) {
  const std::string text =
      Segments({Isa('*', ':'), "GS*HP*A*B", "ST*835*1", "CLP*1", "SE*3*1", "GE*1*1", "IEA*1*1"}, '~') +
      Segments({Isa('|', '^'), "GS|HP|C|D", "ST|835|2", "CLP|1", "CLP|2", "SE|4|2", "GE|1|2", "IEA|1|2"}, '!', "\n");
  Scan s = ScanText(text);
  ASSERT_EQ(s.code, 0);
  ASSERT_EQ(s.interchanges.Count(), 2);
  EXPECT_EQ(s.interchanges[2].terminator, '!');
  EXPECT_STREQ(s.groups[2].senderCode, "C");
  EXPECT_EQ(s.groups[2].interchange, 2);
  EXPECT_EQ(s.sets[2].controlNumber, 2);
  EXPECT_EQ(s.sets[2].loopCount1, 2);
  EXPECT_EQ(s.sets[2].seSegmentCount, 4);
  EXPECT_EQ(s.sets[2].segmentCount, 4);
}

TEST(Scan, WrappedHeaderIsAcceptedAndFoldingDoesNotChangeTheCopy) {
  std::string flat;
  for (int claim = 0; claim < 40; ++claim) flat += "CLP*C" + std::to_string(claim) + "*1*10*10~NM1*QC*1*LAST*FIRST~";
  flat = Isa() + "~GS*HP*S*R*20020101*1200*1*X*V~ST*835*1~" + flat + "SE*82*1~GE*1*1~IEA*1*000000905~";
  std::string folded;
  for (size_t i = 0; i < flat.size(); i += 80) folded += flat.substr(i, 80) + "\r\n";

  Scan a = ScanText(flat);
  Scan b = ScanText(folded);
  ASSERT_EQ(a.code, 0);
  ASSERT_EQ(b.code, 0);
  EXPECT_EQ(b.copy, a.copy);
  EXPECT_EQ(std::string(b.interchanges[1].isaText), Isa());
  EXPECT_EQ(b.sets[1].loopCount1, 40);
  EXPECT_EQ(b.sets[1].segmentCount, a.sets[1].segmentCount);
}

// A line break standing in a field's padding (the header keeps its fixed
// widths) does not cut the header's line of the copy: it becomes a space.
TEST(Scan, LineBreakInTheHeaderPaddingStaysOutOfTheCopy) {
  std::string header = Isa();
  const size_t padding = header.find("RECEIVER") + 10;
  ASSERT_EQ(header.substr(padding, 2), "  ");
  header.replace(padding, 2, "\r\n");
  Scan scan = ScanText(header + "~GS*HP*S*R*1*1*1*X*V~GE*0*1~IEA*1*000000905~");
  ASSERT_EQ(scan.code, 0);
  EXPECT_EQ(std::string(scan.interchanges[1].isaText), Isa());
  EXPECT_EQ(scan.copy.rfind(Isa() + "~\r\n", 0), 0u);
  EXPECT_EQ(std::count(scan.copy.begin(), scan.copy.end(), '\r'), 4);
  // A delimiter that is a line break cannot stand in a copy of one segment
  // per line: such a header is not accepted.
  for (size_t position : {size_t{3}, size_t{82}, size_t{104}}) {
    std::string broken = Isa();
    if (position == 3) std::replace(broken.begin(), broken.end(), '*', '\r');
    broken[position] = '\r';
    EXPECT_EQ(ScanText(broken + "~GS" + broken.substr(3, 1) + "HP~IEA" + broken.substr(3, 1) + "1~").code,
              kScanNoInterchange)
        << position;
  }
}

TEST(Scan, RejectedHeaderCandidatesAreSkipped) {
  // A header whose ISA16 equals its separator, then a good one.
  const std::string bad = Isa('*', '*') + "~";
  Scan s = ScanText(bad + Interchange());
  ASSERT_EQ(s.code, 0);
  EXPECT_EQ(EntryOffset(s.interchanges[1].start), bad.size());
  EXPECT_EQ(s.interchanges.Count(), 1);
}

TEST(Scan, RecordsTa1AndSegmentNumbers) {
  Scan s = ScanText(Segments({Isa(), "TA1*000000905*020101*1200*A*0", "TA1*1*2*3*R", "GS*FA*S*R*20020101*1200*7*X*V",
                              "ST*997*1", "AK2*835*1", "AK2*835*2", "AK3*NM1", "SE*5*1", "GE*1*7", "IEA*1*1"}));
  ASSERT_EQ(s.code, 0);
  ASSERT_EQ(s.ta1s.Count(), 2);
  EXPECT_STREQ(s.ta1s[1].controlNumber, "000000905");
  EXPECT_STREQ(s.ta1s[1].noteCode, "0  ");
  EXPECT_EQ(s.ta1s[1].segmentNumber, 2);
  EXPECT_STREQ(s.ta1s[2].controlNumber, "1        ");
  EXPECT_STREQ(s.ta1s[2].ackCode, "R");
  EXPECT_STREQ(s.ta1s[2].noteCode, "   ");  // missing element reads as empty
  EXPECT_EQ(s.interchanges[1].ta1Count, 2);
  EXPECT_EQ(s.interchanges[1].firstTa1, 1);
  EXPECT_EQ(s.groups[1].segmentNumber, 4);
  EXPECT_EQ(s.sets[1].segmentNumber, 2);
  EXPECT_EQ(s.sets[1].loopCount1, 2);
  EXPECT_EQ(s.sets[1].loopCount2, 1);
}

TEST(Scan, ShortAndLongEnvelopeElements) {
  Scan s = ScanText(Segments({Isa(), "GS*HP*SENDER*RECEIVER*20020101*1200*1*X*004010X091A1", "GE*0*1",
                              "GS*HP*ABCDEFGHIJKLMNOPQRST*R", "ST*8359*77", "CLP*1", "SE", "GE", "IEA"}));
  ASSERT_EQ(s.code, 0);
  const GroupEntry& g = s.groups[2];
  EXPECT_STREQ(g.senderCode, "ABCDEFGHIJKLMNO");
  EXPECT_STREQ(g.receiverCode, "R");
  EXPECT_STREQ(g.date, "");
  EXPECT_STREQ(g.time, "");
  EXPECT_EQ(g.controlNumber, 0);
  EXPECT_STREQ(g.agencyCode, "");
  EXPECT_STREQ(g.version, "");
  EXPECT_STREQ(s.sets[1].setId, "835");  // cut to three characters, then matched
  EXPECT_EQ(s.sets[1].loopCount1, 1);
  EXPECT_EQ(s.sets[1].seSegmentCount, 0);
  EXPECT_EQ(g.geSetCount, 0);
  EXPECT_EQ(s.interchanges[1].ieaGroupCount, 0);
}

TEST(Scan, CountsOnlyInsideSets) {
  Scan s = ScanText(Segments({Isa(), "GS*HP*S*R", "CLP*0", "ST*835*1", "CLP*1", "SVC*1", "CLP*2", "SVC*2", "SVC*3",
                              "CLP*3", "SVC*4", "SVC*5", "SE*11*1", "CLP*4", "GE*1*1", "IEA*1*1"}));
  ASSERT_EQ(s.code, 0);
  EXPECT_EQ(s.sets[1].loopCount1, 3);
  EXPECT_EQ(s.sets[1].loopCount2, 5);
}

TEST(Scan, EnvelopeSegmentsOutOfOrderChangeNoMissingEntry) {
  Scan s = ScanText(Segments({Isa(), "GE*5*1", "SE*3*1", "ST*835*9", "CLP*1", "SE*3*9", "GS*HP*S*R", "IEA*1*1"}));
  ASSERT_EQ(s.code, 0);
  EXPECT_EQ(s.interchanges[1].groupsClosed, 1);
  EXPECT_EQ(s.groups[1].geSetCount, 0);  // the GE before any GS went nowhere
  EXPECT_EQ(s.groups[1].length, 0);
  const SetEntry& st = s.sets[1];
  EXPECT_EQ(st.group, 0);
  EXPECT_EQ(st.segmentNumber, 0);
  EXPECT_EQ(st.controlNumber, 9);
  EXPECT_EQ(st.seSegmentCount, 3);
  EXPECT_EQ(st.loopCount1, 1);
  EXPECT_EQ(s.groups[1].firstSet, 0);
}

TEST(Scan, UnclosedGroupsAndSetsRunOnAcrossInterchanges) {
  // The first interchange leaves its group and set open; an ISA inside an
  // interchange without IEA is an ordinary segment.
  Scan s = ScanText(Segments({Isa(), "GS*HP*S*R", "ST*835*1", "CLP*1", "IEA*1*1", Isa(), "CLP*2", Isa(), "IEA*1*2"}));
  ASSERT_EQ(s.code, 0);
  ASSERT_EQ(s.interchanges.Count(), 2);
  EXPECT_EQ(s.interchanges[2].segmentCount, 4);
  EXPECT_EQ(s.sets[1].loopCount1, 2);
  EXPECT_EQ(s.groups[1].segmentCount, 7);
  EXPECT_NE(s.copy.find("\r\n" + Isa() + "~\r\nIEA*1*2~\r\n"), std::string::npos);
}

TEST(Scan, SegmentsLongerThan8192CharactersAreKeptWhole) {
  const std::string longElement(20000, 'N');
  Scan s = ScanText(Segments({Isa(), "GS*HP*S*R", "ST*835*1", "NM1*QC*1*" + longElement, "SE*2*1", "GE*1*1", "IEA*1*1"}));
  ASSERT_EQ(s.code, 0);
  EXPECT_NE(s.copy.find("NM1*QC*1*" + longElement + "~\r\n"), std::string::npos);
  EXPECT_EQ(s.sets[1].segmentCount, 3);
}

TEST(Scan, ReportsProgressOncePerWholePercent) {
  std::string text = Interchange();
  for (int i = 0; i < 300; ++i) text += Interchange();
  struct Seen {
    std::vector<int> steps;
  } seen;
  ProgressTarget target;
  target.window = 1;
  target.context = &seen;
  target.step = [](const ProgressTarget& t, int percent) { static_cast<Seen*>(t.context)->steps.push_back(percent); };
  ASSERT_EQ(ScanText(text, target).code, 0);
  ASSERT_FALSE(seen.steps.empty());
  EXPECT_LE(seen.steps.size(), 100u);
  for (size_t i = 1; i < seen.steps.size(); ++i) EXPECT_GT(seen.steps[i], seen.steps[i - 1]);
  EXPECT_EQ(seen.steps.back(), 99);

  target.window = 0;
  seen.steps.clear();
  ScanText(text, target);
  EXPECT_TRUE(seen.steps.empty());
}

// A file cut short or grown while it is scanned (here at 30 % of the scan,
// from the progress callback) gives 107 and no crash, whether the part read
// next is gone or only the size differs at the end.  The SIGBUS disposition
// is the one from before the scan afterwards.
TEST(Scan, FileChangedDuringTheScanGives107) {
  std::string text;
  const std::string one = Interchange();
  while (text.size() < (size_t{4} << 20)) text += one;
  const off_t size = static_cast<off_t>(text.size());
  struct Change {
    std::string path;
    off_t keep;  // bytes left by the cut; -1 appends instead
    bool done;
  };
  const struct Case {
    const char* name;
    off_t keep;
    bool withCopy;
  } cases[] = {
      {"cut to a tenth", size / 10, true},
      {"cut to a tenth, no copy", size / 10, false},
      {"cut ahead of the scan", size * 6 / 10, true},
      {"cut to nothing", 0, true},
      {"grown", -1, true},
  };
  struct sigaction before {};
  sigaction(SIGBUS, nullptr, &before);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFile input("changing.x12", text);
    TempFile copy("changing.copy", "", false);
    Change change{input.path(), c.keep, false};
    ProgressTarget target;
    target.window = 1;
    target.context = &change;
    target.step = [](const ProgressTarget& t, int percent) {
      Change& ch = *static_cast<Change*>(t.context);
      if (percent < 30 || ch.done) return;
      ch.done = true;
      if (ch.keep >= 0) {
        ASSERT_EQ(truncate(ch.path.c_str(), ch.keep), 0);
      } else {
        std::ofstream(ch.path, std::ios::binary | std::ios::app) << "ISA*";
      }
    };
    Scan s;
    int32_t copyError = -1;
    s.code = ScanX12File(input.path(), c.withCopy ? copy.path() : std::string(), "", s.interchanges,
                         s.ta1s, s.groups, s.sets, target, &copyError);
    EXPECT_TRUE(change.done);
    EXPECT_EQ(s.code, 107);
    ExpectConsistent(s);
    struct sigaction after {};
    sigaction(SIGBUS, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    EXPECT_EQ(after.sa_flags & SA_SIGINFO, before.sa_flags & SA_SIGINFO);
  }
}

// A SIGBUS raised during the scan reaches the handler that was in place
// before the scan, and that handler is in place after it.
TEST(Scan, OtherBusErrorsGoToTheEarlierHandler) {
  static volatile sig_atomic_t received = 0;
  struct sigaction mine {}, earlier {}, after {};
  mine.sa_handler = [](int) { received = received + 1; };
  sigemptyset(&mine.sa_mask);
  ASSERT_EQ(sigaction(SIGBUS, &mine, &earlier), 0);
  std::string text;
  for (int i = 0; i < 2000; ++i) text += Interchange();
  TempFile input("bus.x12", text);
  ProgressTarget target;
  target.window = 1;
  target.step = [](const ProgressTarget&, int percent) {
    if (percent == 30) raise(SIGBUS);
  };
  Scan s;
  EXPECT_EQ(ScanX12File(input.path(), "", "", s.interchanges, s.ta1s, s.groups, s.sets, target), 0);
  EXPECT_EQ(received, 1);
  sigaction(SIGBUS, &earlier, &after);
  EXPECT_EQ(after.sa_handler, mine.sa_handler);
}

TEST(SplitTransactionSet, ReturnsTheSetsSegments) {
  const std::string plain = Interchange();
  const std::string broken = Interchange("\r\n");
  for (const std::string& text : {plain, broken}) {
    TempFile file("split.x12", text);
    Scan s = ScanFile(file.path());
    ASSERT_EQ(s.code, 0);
    const std::string setText = ReadTransactionSetText(file.path(), s.sets[1]);
    EXPECT_EQ(setText.substr(0, 3), "ST*");
    EXPECT_EQ(setText.substr(setText.size() - 10), "SE*6*0001~");
    std::vector<std::string> segments;
    EXPECT_FALSE(SplitTransactionSet(file.path(), s.interchanges[1], s.sets[1], segments));
    const std::vector<std::string> expected = {"",          "ST*835*0001",       "BPR*I*100*C*CHK",
                                               "CLP*A1*1*100*100**MC*X1", "NM1*QC*1*DOE*JANE", "SVC*HC:99213*100*100",
                                               "SE*6*0001"};
    EXPECT_EQ(segments, expected);
  }

  TempFile file("split2.x12", Interchange());
  Scan s = ScanFile(file.path());
  std::vector<std::string> segments;
  InterchangeEntry otherTerminator = s.interchanges[1];
  otherTerminator.terminator = '!';
  EXPECT_TRUE(SplitTransactionSet(file.path(), otherTerminator, s.sets[1], segments));
  EXPECT_TRUE(SplitTransactionSet(testing::TempDir() + "gone.x12", s.interchanges[1], s.sets[1], segments));

  // A segment far beyond the 8 KiB work block survives whole.
  const std::string longValue(30000, 'Q');
  TempFile longFile("split3.x12", Segments({Isa(), "GS*HP", "ST*835*1", "REF*EA*" + longValue, "SE*3*1", "GE*1*1",
                                            "IEA*1*1"}));
  Scan l = ScanFile(longFile.path());
  ASSERT_EQ(l.code, 0);
  EXPECT_FALSE(SplitTransactionSet(longFile.path(), l.interchanges[1], l.sets[1], segments));
  ASSERT_EQ(segments.size(), 4u);
  EXPECT_EQ(segments[2], "REF*EA*" + longValue);
}

TEST(HeapBlocks, AreZeroFilledAndGrowZeroFilled) {
  char* block = static_cast<char*>(HeapAllocBlock(16));
  for (int i = 0; i < 16; ++i) EXPECT_EQ(block[i], 0);
  std::memset(block, 'x', 16);
  block = static_cast<char*>(HeapResizeBlock(block, 16, 64));
  EXPECT_EQ(block[15], 'x');
  for (int i = 16; i < 64; ++i) EXPECT_EQ(block[i], 0);
  HeapFreeBlock(block);
}

}  // namespace
