// The scan of a file read in windows (the way the Windows port reads every
// input) against the scan of the same bytes held whole: the same result
// code, tables and unwrapped copy, wherever the windows' edges fall.  Built
// into the native tests and into the Windows test program.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scan_summary.h"
#include "x12scan.h"

namespace {

// An ISA header of 105 characters with separator `e`, sub-element separator
// `s` and control number `control`; no terminator.
std::string Header(char e, char s, const std::string& control) {
  std::string h = "ISA*00*          *00*          *ZZ*SENDER         *ZZ*RECEIVER       *240101*1200*^*"
                  "00501*" + control + "*0*P*";
  for (char& c : h) {
    if (c == '*') c = e;
  }
  return h + s;
}

// Bytes that put the scan through each of its paths: junk and rejected
// header candidates before the first header, a header cut by CR LF, a
// segment cut by a line break, trailing spaces, a byte 0x1A inside a
// segment, a segment far longer than a small window, TA1, a second
// interchange with other delimiters and a CR terminator.
std::string MixedText() {
  const std::string claim = "CLP*PCN1*1*10*5**MC*PAY1~NM1*QC*1*DOE*JOHN****MI*OLD1~";
  std::string first = Header('*', ':', "000000001");
  first.insert(40, "\r\n");
  first += "~\r\nTA1*000000001*240101*1200*A*000~GS*HP*S*R*20240101*1200*1*X*005010X221A1~"
           "ST*835*0001~BPR*I*10\r\n0*C*CHK   ~" + claim + "NM1*IL*1*ROE*R\x1A" "ICH~" +
           "REF*EA*" + std::string(700, 'L') + "~" + claim + "SE*9*0001~GE*1*1~IEA*1*000000001~\r\n";
  std::string second = Header('|', '^', "000000002") + "\r" +
                       "GS|HP|S|R|20240101|1200|2|X|005010X221A1\rST|835|0002\r"
                       "CLP|PCN2|1|10|5||MC|PAY2\rSE|3|0002\rGE|1|2\rIEA|1|000000002\r";
  return "Subject: ISA remittance, Item IS\r\n" + Header('*', '*', "000000009") + "~" + first + second;
}

using testsupport::DescribeScan;
using testsupport::ScanTables;

class StringSink : public CopySink {
 public:
  void Write(const char* data, size_t size) override { text.append(data, size); }
  std::string text;
};

std::string ScanWhole(const std::string& text) {
  ScanTables t;
  StringSink sink;
  const int32_t code =
      ScanX12Buffer(text.data(), text.size(), &sink, t.interchanges, t.ta1s, t.groups, t.sets, ProgressTarget());
  return DescribeScan(code, t, sink.text);
}

std::string ScanInWindows(const std::string& path, size_t windowSize,
                          const ProgressTarget& progress = ProgressTarget()) {
  ScanTables t;
  StringSink sink;
  const int32_t code = ScanX12FileToSink(path, sink, t.interchanges, t.ta1s, t.groups, t.sets, progress,
                                         windowSize);
  return DescribeScan(code, t, sink.text);
}

class WindowedFile {
 public:
  WindowedFile(const std::string& name, const std::string& content) : path_(testing::TempDir() + name) {
    std::ofstream(path_, std::ios::binary) << content;
  }
  ~WindowedFile() { std::remove(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(WindowedScan, SameResultsWhereverTheWindowsEdgesFall) {
  const std::string mixed = MixedText();
  const size_t wrappedHeader = mixed.find("~ISA") + 1;
  const size_t secondHeader = mixed.find("ISA|");
  const size_t crLf = mixed.find("\r\nTA1");
  const size_t endMark = mixed.find('\x1A');
  const size_t longSegment = mixed.find("REF*EA*") + 300;
  ASSERT_NE(secondHeader, std::string::npos);
  const struct Fixture {
    const char* name;
    std::string text;
    int32_t code;
  } fixtures[] = {
      {"mixed", mixed, kScanOk},
      {"an interchange without its end", mixed + Header('*', ':', "000000003") + "~GS*HP~\r\n",
       kScanUnexpectedEnd},
      {"a header too short to carry a terminator at the end", mixed + Header('*', ':', "000000004"), kScanOk},
  };
  // Small windows put an edge everywhere (1: between every two bytes);
  // the others put the first edge just before a byte that matters: the LF
  // that cuts the first header, that header's terminator, ...
  std::vector<size_t> sizes = {1, 2, 3, 7, 64, 105, 106, 107, 108, 109, 128, 129, 4096, kScanWindowSize};
  for (size_t at : {wrappedHeader + 41, wrappedHeader + 107, secondHeader + 1, secondHeader + 60,
                    secondHeader + 105, crLf + 1, endMark, endMark + 1, longSegment}) {
    sizes.push_back(at);
  }
  for (const Fixture& f : fixtures) {
    SCOPED_TRACE(f.name);
    const std::string whole = ScanWhole(f.text);
    ASSERT_EQ(whole.rfind("code " + std::to_string(f.code) + "\n", 0), 0u) << whole;
    WindowedFile file("windowed.x12", f.text);
    EXPECT_EQ(ScanInWindows(file.path(), 0), whole) << "the platform's own way";
    for (size_t size : sizes) EXPECT_EQ(ScanInWindows(file.path(), size), whole) << "window of " << size;
  }
}

// A file cut short or grown while it is read in windows (here at 30 % of the
// scan, from the progress callback) gives 107, whatever the window's size.
TEST(WindowedScan, FileChangedDuringTheScanGives107) {
  std::string text;
  while (text.size() < (size_t{256} << 10)) text += MixedText();
  struct Change {
    std::string path;
    long long keep;  // bytes left by the cut; -1 appends instead
    bool done;
  };
  for (long long keep : {static_cast<long long>(text.size() / 10), 0LL, -1LL}) {
    SCOPED_TRACE(keep);
    WindowedFile input("changing-windowed.x12", text);
    Change change{input.path(), keep, false};
    ProgressTarget target;
    target.window = 1;
    target.context = &change;
    target.step = [](const ProgressTarget& t, int percent) {
      Change& ch = *static_cast<Change*>(t.context);
      if (percent < 30 || ch.done) return;
      ch.done = true;
      if (ch.keep >= 0) {
        std::filesystem::resize_file(ch.path, static_cast<std::uintmax_t>(ch.keep));
      } else {
        std::ofstream(ch.path, std::ios::binary | std::ios::app) << "ISA*";
      }
    };
    const std::string result = ScanInWindows(input.path(), 4096, target);
    EXPECT_TRUE(change.done);
    EXPECT_EQ(result.rfind("code 107\n", 0), 0u) << result.substr(0, 40);
  }
}

}  // namespace
