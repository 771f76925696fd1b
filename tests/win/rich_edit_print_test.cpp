// Printing a rich-text control: the page loop against a scripted formatter,
// the printing rectangle, and (PrintToPrinter.*, run by print_to_pdf.sh
// with a PDF printer set up) real prints through the Print Setup dialog.
#include <windows.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "rich_edit_print.h"
#include "rtf_viewer.h"
#include "win_test_util.h"

namespace {

// Answers each measurement from a script and logs every call.
class ScriptedFormatter : public PageFormatter {
 public:
  explicit ScriptedFormatter(std::vector<LONG> answers) : answers_(std::move(answers)) {}
  LONG FormatRange(FORMATRANGE& range, bool draw) override {
    if (draw) {
      log_ += "D" + std::to_string(range.chrg.cpMin) + " ";
      return lastAnswer_;
    }
    log_ += "M" + std::to_string(range.chrg.cpMin) + " ";
    // A formatter that keeps answering past its script would hang a loop
    // that trusted it: fail loudly instead.
    if (next_ >= answers_.size()) {
      ADD_FAILURE() << "measured more often than scripted";
      return -1;
    }
    lastAnswer_ = answers_[next_++];
    return lastAnswer_;
  }
  void StartPage() override { log_ += "S "; }
  void EndPage() override { log_ += "E "; }
  const std::string& Log() const { return log_; }

 private:
  std::vector<LONG> answers_;
  size_t next_ = 0;
  LONG lastAnswer_ = 0;
  std::string log_;
};

TEST(PageLoop, StopsWhereTheFormatterSays) {
  struct Row {
    const char* what;
    LONG cpMax;
    std::vector<LONG> answers;
    int32_t pages;
    PageLoopStop stop;
    const char* log;
  };
  const Row rows[] = {
      {"last page ends at cpMax, then nothing more fits", 99, {40, 99, 99}, 2,
       PageLoopStop::kNoProgress, "M0 S D0 E M40 S D40 E M99 "},
      {"a measurement past cpMax prints no page", 99, {40, 80, 100}, 2, PageLoopStop::kPastEnd,
       "M0 S D0 E M40 S D40 E M80 "},
      {"a measurement below cpMin ends the loop", 99, {40, 30}, 1, PageLoopStop::kBeforeStart,
       "M0 S D0 E M40 "},
      {"a formatter that formats nothing (Wine's EM_FORMATRANGE)", 99, {0}, 0,
       PageLoopStop::kNoProgress, "M0 "},
      {"a single page", 10, {10, 11}, 1, PageLoopStop::kPastEnd, "M0 S D0 E M10 "},
      {"an error answer", 10, {-1}, 0, PageLoopStop::kBeforeStart, "M0 "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScriptedFormatter formatter(row.answers);
    FORMATRANGE range{};
    range.chrg.cpMin = 0;
    range.chrg.cpMax = row.cpMax;
    PageLoopResult result = RunPageLoop(formatter, range);
    EXPECT_EQ(result.pages, row.pages);
    EXPECT_EQ(result.stop, row.stop);
    EXPECT_EQ(formatter.Log(), row.log);
  }
}

TEST(PrintRectangle, MarginsAreMeasuredFromThePrintableArea) {
  struct Row {
    int horzRes, logX, vertRes, logY;
    float left, right, top, bottom;
    RECT expected;
  };
  const Row rows[] = {
      {4800, 600, 6600, 600, 0.75f, 0.75f, 0.75f, 0.75f, {1080, 1080, 10440, 14760}},
      {2550, 300, 3300, 300, 1.0f, 0.5f, 0.25f, 0.0f, {1440, 360, 11520, 15840}},
      // 1440 x 4799 / 600 = 11517.6, cut to 11517; 0.3 in = 432 twips.
      {4799, 600, 6599, 600, 0.3f, 0.3f, 0.3f, 0.3f, {432, 432, 11085, 15405}},
  };
  for (const Row& row : rows) {
    RECT r = PrintRectangleTwips(row.horzRes, row.logX, row.vertRes, row.logY, row.left, row.right,
                                 row.top, row.bottom);
    EXPECT_EQ(r.left, row.expected.left);
    EXPECT_EQ(r.top, row.expected.top);
    EXPECT_EQ(r.right, row.expected.right);
    EXPECT_EQ(r.bottom, row.expected.bottom);
  }
}

// The viewer over the "INFO" document, made modelessly.
struct InfoViewer {
  InfoViewer() : library(LoadRichEditLibrary(params.className)) {
    params.resourceType = reinterpret_cast<ULONG_PTR>("RTF");
    params.resourceName = reinterpret_cast<ULONG_PTR>("INFO");
    params.allowPrint = 1;
    window.Reset(CreateDialogParamA(GetModuleHandleA(nullptr), "RTFABOUT", nullptr, RTFADIALOGPROC,
                                    reinterpret_cast<LPARAM>(&params)));
  }
  RtfViewerParams params{};
  UniqueLibrary library;
  UniqueWindow window;
};

const float kMargin = 0.75f;

TEST(PrintToPrinter, PrintsTheInfoDocument) {
  InfoViewer viewer;
  ASSERT_TRUE(viewer.window.Valid());
  HWND pane = GetDlgItem(viewer.window.Get(), kViewerPaneId);
  ASSERT_GT(SendMessageA(pane, WM_GETTEXTLENGTH, 0, 0), 1000);
  MessageBoxCapture capture;  // presses OK in the Print Setup dialog
  int32_t pages = PrintRichEdit(viewer.window.Get(), GetModuleHandleA(nullptr), pane, kMargin,
                                kMargin, kMargin, kMargin);
  ASSERT_EQ(capture.Boxes().size(), 1u) << "the printer dialog did not come up once";
  EXPECT_GT(pages, 0);
  EXPECT_EQ(GetCursor(), LoadCursor(nullptr, IDC_ARROW));
  // print_to_pdf.sh compares the count with the pages of the PDF.
  const char* report = std::getenv("X12_PRINT_PAGES");
  ASSERT_NE(report, nullptr) << "run by print_to_pdf.sh";
  UniqueFileHandle file(CreateFileA(report, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(file.Valid()) << report;
  std::string text = std::to_string(pages) + "\n";
  DWORD written = 0;
  WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  EXPECT_EQ(written, text.size());
}

TEST(PrintToPrinter, EmptyControlPrintsNoPage) {
  char className[64] = {};
  UniqueLibrary library(LoadRichEditLibrary(className));
  UniqueWindow pane(CreateWindowExA(0, className, "", WS_POPUP | ES_MULTILINE, 0, 0, 200, 200,
                                    nullptr, nullptr, GetModuleHandleA(nullptr), nullptr));
  ASSERT_TRUE(pane.Valid());
  ASSERT_EQ(SendMessageA(pane.Get(), WM_GETTEXTLENGTH, 0, 0), 0);
  MessageBoxCapture capture;
  EXPECT_EQ(PrintRichEdit(nullptr, GetModuleHandleA(nullptr), pane.Get(), kMargin, kMargin, kMargin,
                          kMargin),
            0);
  EXPECT_EQ(capture.Boxes().size(), 1u) << "the printer dialog was not accepted";
}

TEST(PrintToPrinter, CancelledDialogLeavesEverythingAlone) {
  InfoViewer viewer;
  ASSERT_TRUE(viewer.window.Valid());
  // The pointer goes where no window of this program is, so that no
  // window of ours sets a cursor of its own while the dialog comes and goes.
  SetCursorPos(GetSystemMetrics(SM_CXSCREEN) - 1, GetSystemMetrics(SM_CYSCREEN) - 1);
  HCURSOR cross = LoadCursor(nullptr, IDC_CROSS);
  SetCursor(cross);
  MessageBoxCapture capture(IDCANCEL);
  EXPECT_EQ(PrintRichEdit(viewer.window.Get(), GetModuleHandleA(nullptr),
                          GetDlgItem(viewer.window.Get(), kViewerPaneId), kMargin, kMargin, kMargin,
                          kMargin),
            0);
  EXPECT_EQ(capture.Boxes().size(), 1u) << "the printer dialog did not come up once";
  EXPECT_EQ(GetCursor(), cross);
}

}  // namespace
