// The Scramble command on the real dialog: status texts, report box, the
// cut at the box's limit, temporary files, and the message boxes.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "main_dialog.h"
#include "platform.h"
#include "x12scan.h"
#include "scramble_command.h"
#include "system_error_text.h"
#include "win_test_util.h"

namespace {

// The report's last line, before its closing line ends.
bool EndsWithEndOfReport(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  const std::string last = " ** END OF REPORT **";
  return text.size() >= last.size() && text.compare(text.size() - last.size(), last.size(), last) == 0;
}

// Each run of these tests gets a temporary folder of its own (GetTempPathA
// follows TMP), so that the check for files left behind sees only its own.
class Scramble : public testing::Test {
 protected:
  void SetUp() override {
    input_ = folder_.Write("remit.835", ExampleRemittance());
    output_ = folder_.Path() + "scrambled.txt";
    dialog_.SetText(IDC_INPUT_PATH, input_);
    dialog_.SetText(IDC_OUTPUT_PATH, output_);
    ASSERT_TRUE(CreateDirectoryA(tempFolder_.c_str(), nullptr));
    char saved[MAX_PATH + 1] = {};
    if (GetEnvironmentVariableA("TMP", saved, sizeof saved) > 0) savedTmp_ = saved;
    SetEnvironmentVariableA("TMP", tempFolder_.c_str());
    ASSERT_EQ(SystemTempFolder(), tempFolder_ + "\\");
  }
  void TearDown() override {
    SetEnvironmentVariableA("TMP", savedTmp_.empty() ? nullptr : savedTmp_.c_str());
    // Neither the unwrapped copy ("~uw") nor the report file ("~RT") is left.
    EXPECT_EQ(FilesMatching(tempFolder_ + "\\", "*.*"), (std::vector<std::string>{".", ".."}));
  }

  ScratchFolder folder_;
  MainDialogWindow dialog_;
  std::string input_, output_;
  std::string tempFolder_ = folder_.Path() + "temp";
  std::string savedTmp_;
};

TEST_F(Scramble, RunShowsStagesAndReportAndWritesTheOutput) {
  ASSERT_GT(ExampleRemittance().size(), 1000u);
  // The run works on a thread of its own: while the engine works, every
  // control that could start something is disabled, the class cursor
  // waits, and Exit or a close request ends nothing.  Each stage's text
  // comes while the progress bar still shows where the stage before ended.
  const int controls[] = {IDC_SCRAMBLE,      IDC_EXIT,    IDC_INFO,     IDC_BROWSE_INPUT,
                          IDC_BROWSE_OUTPUT, IDC_LISTING, IDC_THOROUGH, IDC_INPUT_PATH,
                          IDC_OUTPUT_PATH};
  int busyStages = 0;
  std::vector<LRESULT> positions;
  TextRecorder status(dialog_.Item(IDC_STATUS_BAR), [&](const std::string& text) {
    positions.push_back(SendMessageA(dialog_.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0));
    if (text != "Collecting Information") return;
    HCURSOR cursor = reinterpret_cast<HCURSOR>(GetClassLongPtrA(dialog_.Get(), GCLP_HCURSOR));
    bool allDisabled = true;
    for (int id : controls) allDisabled = allDisabled && !IsWindowEnabled(dialog_.Item(id));
    if (allDisabled && cursor == LoadCursor(nullptr, IDC_WAIT)) ++busyStages;
    SendMessageA(dialog_.Get(), WM_COMMAND, IDC_EXIT, 0);
    SendMessageA(dialog_.Get(), WM_SYSCOMMAND, SC_CLOSE, 0);
  });
  TextRecorder report(dialog_.Item(IDC_REPORT));
  MessageBoxCapture capture;
  SetFocus(dialog_.Item(IDC_SCRAMBLE));
  dialog_.Scramble();
  EXPECT_EQ(busyStages, 1);
  EXPECT_TRUE(IsWindowVisible(dialog_.Get()));  // not ended by Exit
  for (int id : controls) EXPECT_TRUE(IsWindowEnabled(dialog_.Item(id))) << id;
  EXPECT_EQ(GetFocus(), dialog_.Item(IDC_SCRAMBLE));  // the keyboard still works afterwards
  // The scan moved the bar before "Scan Complete", the writing before
  // "Done, Ready"; then it starts afresh.
  ASSERT_EQ(positions.size(), 6u);
  EXPECT_GT(positions[1], 0);
  EXPECT_GT(positions[5], 0);
  EXPECT_EQ(SendMessageA(dialog_.Item(IDC_PROGRESS), PBM_GETPOS, 0, 0), 0);

  EXPECT_TRUE(capture.Boxes().empty());
  const std::vector<std::string> stages = {
      "Scanning " + input_, "Scan Complete", "Collecting Information",
      "Randomly Scrambling Collected Information", "Writing ANSI Data to " + output_,
      "Done, Ready"};
  EXPECT_EQ(status.Texts(), stages);
  ASSERT_EQ(report.Texts().size(), 3u);
  EXPECT_EQ(report.Texts()[0], "");
  EXPECT_EQ(report.Texts()[1], "Scanning " + input_);

  const std::string shown = dialog_.Text(IDC_REPORT);
  EXPECT_EQ(shown, report.Texts()[2]);
  EXPECT_NE(shown.find("Input File (original file) is " + input_), std::string::npos);
  EXPECT_NE(shown.find("Scrambled data written to file " + output_), std::string::npos);
  EXPECT_TRUE(EndsWithEndOfReport(shown));

  const std::string written = ReadWholeFile(output_);
  EXPECT_EQ(written.compare(0, 4, "ISA*"), 0);
  EXPECT_NE(written, ExampleRemittance());
  EXPECT_TRUE(IsWindowEnabled(dialog_.Item(IDC_SCRAMBLE)));
  EXPECT_EQ(reinterpret_cast<HCURSOR>(GetClassLongPtrA(dialog_.Get(), GCLP_HCURSOR)),
            LoadCursor(nullptr, IDC_ARROW));
}

// A file dropped on either path field while the engine works changes
// neither field, and the run writes where the fields named when it began.
TEST_F(Scramble, FileDroppedDuringARunIsIgnored) {
  const std::string dropped = folder_.Path() + "dropped.835";
  for (int landsOn : {IDC_INPUT_PATH, IDC_OUTPUT_PATH}) {
    SCOPED_TRACE(landsOn);
    DeleteFileA(output_.c_str());
    bool droppedDuringRun = false;
    TextRecorder status(dialog_.Item(IDC_STATUS_BAR), [&](const std::string& text) {
      if (text != "Collecting Information") return;
      droppedDuringRun = ScrambleRunning(dialog_.Get());
      const POINT point = MiddleOf(dialog_.Get(), dialog_.Item(landsOn));
      SendMessageA(dialog_.Get(), WM_DROPFILES,
                   reinterpret_cast<WPARAM>(MakeDrop(dropped, point, FALSE)), 0);
    });
    MessageBoxCapture capture;
    dialog_.Scramble();
    ASSERT_TRUE(droppedDuringRun);
    EXPECT_TRUE(capture.Boxes().empty());
    EXPECT_EQ(dialog_.Text(IDC_INPUT_PATH), input_);
    EXPECT_EQ(dialog_.Text(IDC_OUTPUT_PATH), output_);
    EXPECT_EQ(ReadWholeFile(output_).compare(0, 4, "ISA*"), 0);
    EXPECT_EQ(GetFileAttributesA(dropped.c_str()), INVALID_FILE_ATTRIBUTES);
  }
}

TEST_F(Scramble, ListingOptionIsReadAtEachRun) {
  dialog_.Scramble();
  const std::string without = dialog_.Text(IDC_REPORT);
  dialog_.Click(IDC_LISTING);
  dialog_.Scramble();
  const std::string with = dialog_.Text(IDC_REPORT);
  EXPECT_NE(without.find("Detailed Segment changes not shown."), std::string::npos);
  EXPECT_EQ(with.find("Detailed Segment changes not shown."), std::string::npos);
  EXPECT_GT(with.size(), without.size());
}

// "Thorough" is read at each run: checked, the other subscribers' names
// (NM1 GB) are exchanged among the claims; unchecked, they stay in place.
TEST_F(Scramble, ThoroughOptionExchangesOtherSubscribers) {
  std::string input =
      "ISA*00*          *00*          *ZZ*SENDER         *ZZ*RECEIVER       *240101*1200*^*"
      "00501*000000001*0*P*:~GS*HP*S*R*20240101*1200*1*X*005010X221A1~ST*835*0001~";
  std::vector<std::string> names;
  for (int k = 0; k < 20; ++k) {
    names.push_back("GBLAST" + std::to_string(k));
    input += "CLP*PCN" + std::to_string(k) + "*1*10*5~NM1*GB*1*" + names.back() + "*ANN~";
  }
  input += "SE*42*0001~GE*1*1~IEA*1*000000001~";
  folder_.Write("remit.835", input);
  // The last names of the NM1 GB segments of the output, in order.
  auto lastNames = [&] {
    std::vector<std::string> found;
    const std::string text = ReadWholeFile(output_);
    for (size_t at = text.find("NM1*GB*1*"); at != std::string::npos;
         at = text.find("NM1*GB*1*", at + 1)) {
      const size_t begin = at + 9;
      found.push_back(text.substr(begin, text.find('*', begin) - begin));
    }
    return found;
  };
  dialog_.Scramble();
  EXPECT_EQ(lastNames(), names);
  dialog_.Click(IDC_THOROUGH);
  dialog_.Scramble();
  const std::vector<std::string> exchanged = lastNames();
  EXPECT_NE(exchanged, names);
  EXPECT_TRUE(std::is_permutation(exchanged.begin(), exchanged.end(), names.begin(), names.end()));
}

TEST_F(Scramble, FailedScanShowsOneLineAndRunsNoEngine) {
  struct Case {
    std::string content;
    const char* report;
  };
  for (const Case& c : {Case{"hello", "Scan failed: File too small to contain an interchange"},
                        Case{std::string(300, 'x'),
                             "Scan failed: No Interchange(s) Found (No Valid ISA Segments)"}}) {
    folder_.Write("remit.835", c.content);
    TextRecorder status(dialog_.Item(IDC_STATUS_BAR));
    MessageBoxCapture capture;
    dialog_.Scramble();
    EXPECT_TRUE(capture.Boxes().empty());
    EXPECT_EQ(dialog_.Text(IDC_REPORT), c.report);
    EXPECT_EQ(status.Texts(),
              (std::vector<std::string>{"Scanning " + input_, "Scan Complete", "Done, Ready"}));
    EXPECT_EQ(GetFileAttributesA(output_.c_str()), INVALID_FILE_ATTRIBUTES);
  }
}

// After a run that leaves identifying data in place or input unread, a
// warning box tells the user, once the report is shown.
TEST_F(Scramble, WarningsAfterTheRun) {
  const std::string header =
      "ISA*00*          *00*          *ZZ*SENDER         *ZZ*RECEIVER       *240101*1200*^*"
      "00501*000000001*0*P*:~GS*HP*S*R*20240101*1200*1*X*005010X221A1~ST*835*0001~";
  const std::string claim = "CLP*PCN1*1*10*5**MC*PAY1~NM1*QC*1*DOE*JOHN****MI*OLD1~";
  const std::string trailer = "SE*4*0001~GE*1*1~IEA*1*000000001~";
  const struct {
    std::string input;
    const char* text;
  } cases[] = {
      {header + claim + trailer, "The input holds only one claim: "},
      {header + claim + "CLP*PCN2*1*10*5**MC*PAY2~" + trailer,
       "The input holds a byte 0x1A (an end-of-file mark) inside its data"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    folder_.Write("remit.835", c.input);
    TextRecorder status(dialog_.Item(IDC_STATUS_BAR));
    MessageBoxCapture capture;
    dialog_.Scramble();
    ASSERT_EQ(capture.Boxes().size(), 1u);
    EXPECT_EQ(capture.Boxes()[0].text.rfind(c.text, 0), 0u) << capture.Boxes()[0].text;
    EXPECT_EQ(capture.Boxes()[0].caption, kDefaultCaption);
    EXPECT_TRUE(capture.Boxes()[0].hasIcon);
    EXPECT_EQ(status.Texts().back(), "Done, Ready");
    EXPECT_NE(dialog_.Text(IDC_REPORT).find("Scrambled data written to file"), std::string::npos);
  }
}

TEST_F(Scramble, StatusTextIsCutTo259Characters) {
  // Called directly: a path of 259 characters that names nothing.
  const std::string longPath = folder_.Path() + std::string(259 - folder_.Path().size(), 'p');
  ASSERT_EQ(longPath.size(), 259u);
  dialog_.SetText(IDC_INPUT_PATH, longPath);
  TextRecorder status(dialog_.Item(IDC_STATUS_BAR));
  ScrambleCommand(dialog_.Get());
  ASSERT_FALSE(status.Texts().empty());
  EXPECT_EQ(status.Texts()[0], ("Scanning " + longPath).substr(0, 259));
  EXPECT_EQ(dialog_.Text(IDC_REPORT), "Scan failed: Input File Not found");
}

// A message of the engine during a run (here: no temporary copy could be
// made, the temporary folder being gone) comes as a message box on the
// dialog's thread, and the run ends as usual.
TEST_F(Scramble, EngineMessageDuringARunComesAsAMessageBox) {
  SetEnvironmentVariableA("TMP", (folder_.Path() + "gone").c_str());
  TextRecorder status(dialog_.Item(IDC_STATUS_BAR));
  MessageBoxCapture capture;
  dialog_.Scramble();
  ASSERT_EQ(capture.Boxes().size(), 1u);
  EXPECT_EQ(capture.Boxes()[0].caption, kDefaultCaption);
  EXPECT_EQ(capture.Boxes()[0].text.rfind("Error # ", 0), 0u) << capture.Boxes()[0].text;
  EXPECT_EQ(status.Texts().back(), "Done, Ready");
  EXPECT_EQ(GetFileAttributesA(output_.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Stands in for the program's random source: runs out of memory at its
// first draw once armed.
class FailingRandom final : public RandomSource {
 public:
  double Next() override {
    if (armed) throw std::bad_alloc();
    return 0.5;
  }
  std::atomic<bool> armed{false};
};

// Memory that runs out in the middle of a run (in the scan's helper, or in
// the reordering after the collection) ends it with a message box and
// leaves no temporary file (the fixture checks the temporary folder) and
// no output; the dialog is ready for the next run.
TEST_F(Scramble, RunThatMemoryRanOutUnderLeavesNothingBehind) {
  for (const char* armedAt : {"Scanning", "Randomly Scrambling Collected Information"}) {
    SCOPED_TRACE(armedAt);
    FailingRandom random;
    SetProgramRandomSource(&random);
    TextRecorder status(dialog_.Item(IDC_STATUS_BAR), [&](const std::string& text) {
      if (text.rfind(armedAt, 0) == 0) random.armed = true;
    });
    MessageBoxCapture capture;
    dialog_.Scramble();
    SetProgramRandomSource(nullptr);
    ASSERT_TRUE(random.armed);
    ASSERT_EQ(capture.Boxes().size(), 1u);
    EXPECT_EQ(capture.Boxes()[0].text, kOutOfMemoryText);
    EXPECT_TRUE(capture.Boxes()[0].hasIcon);
    EXPECT_EQ(status.Texts().back(), "Done, Ready");
    EXPECT_EQ(dialog_.Text(IDC_REPORT), "");
    EXPECT_EQ(GetFileAttributesA(output_.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(FilesMatching(folder_.Path(), "~*").empty());
    EXPECT_TRUE(IsWindowEnabled(dialog_.Item(IDC_SCRAMBLE)));
  }
}

TEST_F(Scramble, ReportLongerThanTheBoxIsCutInTheMiddle) {
  const size_t limit = 700;
  SendMessageA(dialog_.Item(IDC_REPORT), EM_LIMITTEXT, limit, 0);
  dialog_.Click(IDC_LISTING);  // a report far longer than the limit
  MessageBoxCapture capture;
  dialog_.Scramble();

  ASSERT_EQ(capture.Boxes().size(), 1u);
  const CapturedBox& box = capture.Boxes()[0];
  EXPECT_EQ(box.caption, "Report too big");
  EXPECT_EQ(box.text, "Text is too long for this screen.\r\nWill edit detail from middle");
  EXPECT_FALSE(box.hasIcon);
  EXPECT_FALSE(box.hasCancel);
  EXPECT_FALSE(box.hasOwner);

  const std::string shown = dialog_.Text(IDC_REPORT);
  ASSERT_EQ(shown.size(), limit - 254);
  EXPECT_EQ(shown.compare(0, 22, "Quorvel Systems Inc '8"), 0);
  EXPECT_EQ(shown.substr(320, 26), "\r\n\r\n[ detail removed ]\r\n\r\n");
  EXPECT_TRUE(EndsWithEndOfReport(shown));
  EXPECT_EQ(dialog_.Text(IDC_STATUS_BAR), "Done, Ready");
}

TEST(CutReportForBox, KeepsHeadMarkerAndTailAroundTheLimit) {
  // A report of 1000 characters with a CR LF pair across the head's end.
  std::string report;
  for (int i = 0; report.size() < 1000; ++i) report += static_cast<char>('a' + i % 26);
  report[319] = '\r';
  report[320] = '\n';
  struct Case { size_t limit; bool cut; };
  for (Case c : {Case{1000, false}, Case{1001, false}, Case{999, true}, Case{601, true},
                 Case{700, true}}) {
    SCOPED_TRACE(c.limit);
    const std::string shown = CutReportForBox(report, c.limit);
    if (!c.cut) {
      EXPECT_EQ(shown, report);
      continue;
    }
    ASSERT_EQ(shown.size(), c.limit - 254);
    EXPECT_EQ(shown.substr(0, 320), report.substr(0, 320));  // ends with the lone CR
    EXPECT_EQ(shown.substr(320, 26), "\r\n\r\n[ detail removed ]\r\n\r\n");
    EXPECT_EQ(shown.substr(346), report.substr(report.size() - (c.limit - 600)));
  }
}

TEST(MessageBoxNotice, ShowsTheEngineMessageWithTheDefaultCaption) {
  MessageBoxCapture capture;
  MessageBoxNotice notice;
  notice.Show("Error # 2 On OPEN Of C:\\x");
  ASSERT_EQ(capture.Boxes().size(), 1u);
  EXPECT_EQ(capture.Boxes()[0].caption, kDefaultCaption);
  EXPECT_EQ(capture.Boxes()[0].text, "Error # 2 On OPEN Of C:\\x");
  EXPECT_FALSE(capture.Boxes()[0].hasIcon);
  EXPECT_FALSE(capture.Boxes()[0].hasOwner);
}

TEST(SystemErrorText, CodeSpaceAndTheSystemsText) {
  const std::string denied = SystemErrorText(5);
  ASSERT_GT(denied.size(), 2u);
  EXPECT_EQ(denied.substr(0, 2), "5 ");
  EXPECT_NE(denied[2], ' ');
  EXPECT_EQ(SystemErrorText(0).substr(0, 2), "0 ");
  EXPECT_GT(SystemErrorText(0).size(), 2u);
  // No text for the code: the digits and the space alone.
  EXPECT_EQ(SystemErrorText(0x7FFFFF0F), "2147483407 ");
  EXPECT_EQ(SystemErrorText(-1).substr(0, 3), "-1 ");
  EXPECT_EQ(SystemErrorText(1234567).substr(0, 8), "1234567 ");
}

}  // namespace
