// The About viewer: made from the real "RTFABOUT" template with the real
// dialog procedure over the real "INFO" document, then resized, clicked
// and fed messages.
#include <windows.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "main_dialog.h"
#include "rtf_viewer.h"
#include "win_test_util.h"

namespace {

// The viewer made modelessly, as DialogBoxParamA would make it, with the
// rich-edit library loaded for its lifetime.
class ViewerWindow {
 public:
  ViewerWindow(const char* caption, ULONG_PTR type, ULONG_PTR name, int32_t allowPrint,
               const char* className = nullptr)
      : library_(LoadRichEditLibrary(params_.className)) {
    EXPECT_TRUE(library_.Valid());
    if (className != nullptr) lstrcpynA(params_.className, className, sizeof params_.className);
    params_.caption = caption;
    params_.resourceType = type;
    params_.resourceName = name;
    params_.allowPrint = allowPrint;
    window_.Reset(CreateDialogParamA(GetModuleHandleA(nullptr), "RTFABOUT", nullptr, RTFADIALOGPROC,
                                     reinterpret_cast<LPARAM>(&params_)));
    EXPECT_TRUE(window_.Valid()) << "CreateDialogParamA failed: " << GetLastError();
  }
  static ULONG_PTR Name(const char* text) { return reinterpret_cast<ULONG_PTR>(text); }
  HWND Get() const { return window_.Get(); }
  HWND Item(int id) const { return GetDlgItem(window_.Get(), id); }
  HWND Pane() const { return Item(kViewerPaneId); }

 private:
  RtfViewerParams params_{};
  UniqueLibrary library_;  // declared before the window: freed after it
  UniqueWindow window_;
};

ViewerWindow* MakeInfoViewer(int32_t allowPrint = 1, const char* caption = nullptr) {
  return new ViewerWindow(caption, ViewerWindow::Name("RTF"), ViewerWindow::Name("INFO"), allowPrint);
}

std::string PaneText(HWND pane) {
  LRESULT length = SendMessageA(pane, WM_GETTEXTLENGTH, 0, 0);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  LRESULT got = SendMessageA(pane, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
  text.resize(static_cast<size_t>(got));
  return text;
}

RECT RectIn(HWND dialog, HWND control) {
  RECT r{};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void Pump() {
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

TEST(RtfViewer, ShowsTheInfoDocumentInAReadOnlyPane) {
  std::unique_ptr<ViewerWindow> viewer(MakeInfoViewer());
  ASSERT_TRUE(viewer->Get());
  EXPECT_EQ(WindowText(viewer->Get()), "About");
  HWND pane = viewer->Pane();
  ASSERT_TRUE(pane);
  char className[64] = {};
  GetClassNameA(pane, className, sizeof className);
  EXPECT_STREQ(className, "RichEdit20A");
  LONG style = GetWindowLongA(pane, GWL_STYLE);
  EXPECT_EQ(style & (ES_READONLY | ES_MULTILINE | WS_VSCROLL), ES_READONLY | ES_MULTILINE | WS_VSCROLL);
  EXPECT_EQ(style & WS_HSCROLL, 0);
  std::string text = PaneText(pane);
  // The document, not its RTF source and not the control's first text.
  EXPECT_NE(text.find("What it keeps"), std::string::npos) << text;
  EXPECT_NE(text.find("http://www.example.com/deidentifier"), std::string::npos);
  EXPECT_EQ(text.find("\\rtf1"), std::string::npos);
  EXPECT_EQ(text.find("Dummy Text"), std::string::npos);
  EXPECT_EQ(reinterpret_cast<WNDPROC>(GetWindowLongPtrA(pane, GWLP_WNDPROC)), RtfViewFilterProc);
  // Both buttons are drawn by the dialog; the logo shows its bitmap.
  for (int id : {kViewerCloseId, kViewerPrintId}) {
    ASSERT_TRUE(viewer->Item(id)) << id;
    EXPECT_EQ(GetWindowLongA(viewer->Item(id), GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW) << id;
  }
  EXPECT_TRUE(SendMessageA(viewer->Item(kViewerLogoId), STM_GETIMAGE, IMAGE_BITMAP, 0) != 0);
  EXPECT_TRUE(SendMessageA(viewer->Get(), WM_GETICON, ICON_BIG, 0) != 0);
}

TEST(RtfViewer, ClosingReleasesTheBrushAndTheFont) {
  for (int round = 0; round < 2; ++round) {  // each opening makes its own
    SCOPED_TRACE(round);
    std::unique_ptr<ViewerWindow> viewer(MakeInfoViewer());
    ASSERT_TRUE(viewer->Get());
    HGDIOBJ brush = reinterpret_cast<HGDIOBJ>(SendMessageA(viewer->Get(), WM_CTLCOLORDLG, 0, 0));
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageA(viewer->Item(kViewerCloseId), WM_GETFONT, 0, 0));
    ASSERT_EQ(GetObjectType(brush), static_cast<DWORD>(OBJ_BRUSH));
    ASSERT_EQ(GetObjectType(font), static_cast<DWORD>(OBJ_FONT));
    LOGBRUSH colour{};
    GetObjectA(brush, sizeof colour, &colour);
    EXPECT_EQ(colour.lbColor, RGB(148, 172, 117));
    LOGFONTA heavy{};
    GetObjectA(font, sizeof heavy, &heavy);
    EXPECT_EQ(heavy.lfWeight, 900);
    EXPECT_EQ(SendMessageA(viewer->Item(kViewerPrintId), WM_GETFONT, 0, 0),
              reinterpret_cast<LRESULT>(font));
    viewer.reset();
    EXPECT_EQ(GetObjectType(brush), 0u);
    EXPECT_EQ(GetObjectType(font), 0u);
  }
}

TEST(RtfViewer, CaptionAndPrintButtonFollowTheCaller) {
  struct Row {
    const char* caption;
    int32_t allowPrint;
    const char* title;
    bool printButton;
  };
  const Row rows[] = {{nullptr, 0, "About", false},
                      {nullptr, 1, "About", true},
                      {"Product Notes", -5, "Product Notes", true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.title);
    std::unique_ptr<ViewerWindow> viewer(MakeInfoViewer(row.allowPrint, row.caption));
    ASSERT_TRUE(viewer->Get());
    EXPECT_EQ(WindowText(viewer->Get()), row.title);
    EXPECT_EQ(viewer->Item(kViewerPrintId) != nullptr, row.printButton);
    // The layout did not stumble over a missing Print button.
    RECT client{};
    GetClientRect(viewer->Get(), &client);
    EXPECT_EQ(RectIn(viewer->Get(), viewer->Item(kViewerCloseId)).left, client.right - 120);
  }
}

TEST(RtfViewer, LayoutFollowsTheClientArea) {
  for (int32_t allowPrint : {1, 0}) {
    std::unique_ptr<ViewerWindow> viewer(MakeInfoViewer(allowPrint));
    ASSERT_TRUE(viewer->Get());
    for (SIZE size : {SIZE{700, 520}, SIZE{420, 330}, SIZE{900, 300}}) {
      SCOPED_TRACE(std::to_string(size.cx) + "x" + std::to_string(size.cy));
      SetWindowPos(viewer->Get(), nullptr, 0, 0, size.cx, size.cy, SWP_NOZORDER | SWP_NOMOVE);
      RECT client{};
      GetClientRect(viewer->Get(), &client);
      const LONG w = client.right, h = client.bottom;
      RECT pane = RectIn(viewer->Get(), viewer->Pane());
      EXPECT_EQ(pane.left, 4);
      EXPECT_EQ(pane.top, 4);
      EXPECT_EQ(pane.right, w - 4);
      EXPECT_EQ(pane.bottom, h - 66);
      RECT close = RectIn(viewer->Get(), viewer->Item(kViewerCloseId));
      EXPECT_EQ(close.left, w - 120);
      EXPECT_EQ(close.top, h - 56);
      if (allowPrint) {
        RECT print = RectIn(viewer->Get(), viewer->Item(kViewerPrintId));
        EXPECT_EQ(print.left, w - 240);
        EXPECT_EQ(print.top, h - 56);
        EXPECT_EQ(print.bottom - print.top, close.bottom - close.top);
      }
      RECT logo = RectIn(viewer->Get(), viewer->Item(kViewerLogoId));
      EXPECT_EQ(logo.left, 4);
      EXPECT_EQ(logo.top, h - 89);
    }
    // Minimising lays nothing out; restoring does.
    RECT before = RectIn(viewer->Get(), viewer->Pane());
    ShowWindow(viewer->Get(), SW_MINIMIZE);
    EXPECT_EQ(RectIn(viewer->Get(), viewer->Pane()).right, before.right);
    ShowWindow(viewer->Get(), SW_RESTORE);
    RECT client{};
    GetClientRect(viewer->Get(), &client);
    EXPECT_EQ(RectIn(viewer->Get(), viewer->Pane()).right, client.right - 4);
  }
}

// Stands in for the control's own procedure: records what reaches it.
std::vector<UINT> tReached;
LRESULT CALLBACK RecordingPaneProc(HWND, UINT message, WPARAM, LPARAM) {
  tReached.push_back(message);
  return 77;
}

void SetShift(bool down) {
  BYTE keys[256] = {};
  GetKeyboardState(keys);
  keys[VK_SHIFT] = down ? 0x80 : 0;
  SetKeyboardState(keys);
}

TEST(RtfViewer, FilterLetsOnlyReadingInputThrough) {
  std::unique_ptr<ViewerWindow> viewer(MakeInfoViewer());
  ASSERT_TRUE(viewer->Pane());
  // The filter passes messages on to the procedure kept in the dialog's
  // user-data slot: put the recorder there.
  LONG_PTR own = SetWindowLongPtrA(viewer->Get(), DWLP_USER,
                                   reinterpret_cast<LONG_PTR>(RecordingPaneProc));
  struct Row {
    UINT message;
    WPARAM wParam;
    bool shift;
    bool passes;
    LRESULT swallowedResult;
  };
  const Row rows[] = {
      {WM_SETFOCUS, 0, false, false, 0},      {WM_SETCURSOR, 0, false, false, 0},
      {WM_LBUTTONDBLCLK, 0, false, false, 0}, {WM_RBUTTONDOWN, 0, false, false, 0},
      {WM_RBUTTONUP, 0, false, false, 0},     {WM_RBUTTONDBLCLK, 0, false, false, 0},
      {WM_MBUTTONDOWN, 0, false, false, 0},   {WM_MBUTTONUP, 0, false, false, 0},
      {WM_MBUTTONDBLCLK, 0, false, false, 0}, {WM_MOUSEWHEEL, 0, false, true, 0},
      {WM_LBUTTONDOWN, 0, false, true, 0},    {WM_LBUTTONUP, 0, false, true, 0},
      {WM_MOUSEMOVE, 0, false, true, 0},      {WM_CHAR, 'a', false, true, 0},
      {WM_PAINT, 0, false, true, 0},          {WM_KEYUP, VK_LEFT, false, true, 0},
      {WM_KEYDOWN, VK_LEFT, false, false, 1}, {WM_KEYDOWN, VK_RIGHT, false, false, 1},
      {WM_KEYDOWN, 'A', false, false, 1},     {WM_KEYDOWN, VK_DELETE, false, false, 1},
      {WM_KEYDOWN, VK_LEFT, true, false, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.message) + "/" + std::to_string(row.wParam));
    SetShift(row.shift);
    tReached.clear();
    LRESULT result = SendMessageA(viewer->Pane(), row.message, row.wParam, 0);
    EXPECT_EQ(tReached.size(), row.passes ? 1u : 0u);
    EXPECT_EQ(result, row.passes ? 77 : row.swallowedResult);
  }
  // The scrolling keys reach the pane unless Shift is down.
  for (WPARAM key : {VK_UP, VK_DOWN, VK_PRIOR, VK_NEXT, VK_HOME, VK_END, VK_TAB, VK_SPACE}) {
    for (bool shift : {false, true}) {
      SCOPED_TRACE(std::to_string(key) + (shift ? " with Shift" : ""));
      SetShift(shift);
      tReached.clear();
      LRESULT result = SendMessageA(viewer->Pane(), WM_KEYDOWN, key, 0);
      EXPECT_EQ(tReached.size(), shift ? 0u : 1u);
      EXPECT_EQ(result, shift ? 0 : 77);
    }
  }
  SetShift(false);
  SetWindowLongPtrA(viewer->Get(), DWLP_USER, own);
}

std::vector<std::string> tOpened;
void RecordLink(HWND, const char* link) { tOpened.push_back(link); }

TEST(RtfViewer, LinkOpensOnReleaseAfterBeingSelected) {
  std::unique_ptr<ViewerWindow> viewer(MakeInfoViewer());
  HWND pane = viewer->Pane();
  ASSERT_TRUE(pane);
  LinkOpener previous = SetLinkOpener(RecordLink);
  tOpened.clear();
  const std::string link = "https://www.example.org/x12/835-faq";
  FINDTEXTA find{};
  find.chrg.cpMin = 0;
  find.chrg.cpMax = -1;
  find.lpstrText = link.c_str();
  LONG at = static_cast<LONG>(SendMessageA(pane, EM_FINDTEXT, FR_DOWN, reinterpret_cast<LPARAM>(&find)));
  ASSERT_GE(at, 0);
  // Bring the link into view and press and release the left button on it.
  SendMessageA(pane, EM_SETSEL, at, at);
  SendMessageA(pane, EM_SCROLLCARET, 0, 0);
  SendMessageA(pane, EM_SETSEL, 0, 0);
  Pump();
  POINTL point{};
  SendMessageA(pane, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&point), at + 4);
  LPARAM where = MAKELPARAM(point.x + 2, point.y + 4);
  SendMessageA(pane, WM_LBUTTONDOWN, MK_LBUTTON, where);
  EXPECT_TRUE(tOpened.empty()) << "opened on the press";
  SendMessageA(pane, WM_LBUTTONUP, 0, where);
  ASSERT_EQ(tOpened.size(), 1u);
  EXPECT_EQ(tOpened[0], link);
  CHARRANGE selected{};
  SendMessageA(pane, EM_EXGETSEL, 0, reinterpret_cast<LPARAM>(&selected));
  EXPECT_EQ(selected.cpMin, at);
  EXPECT_EQ(selected.cpMax, at + static_cast<LONG>(link.size()));

  // A release reported for another control, or another notification, opens nothing.
  ENLINK notice{};
  notice.nmhdr.hwndFrom = pane;
  notice.nmhdr.idFrom = kViewerPaneId;
  notice.nmhdr.code = EN_LINK;
  notice.msg = WM_LBUTTONUP;
  notice.chrg = selected;
  SendMessageA(viewer->Get(), WM_NOTIFY, 999, reinterpret_cast<LPARAM>(&notice));
  notice.msg = WM_MOUSEMOVE;
  SendMessageA(viewer->Get(), WM_NOTIFY, kViewerPaneId, reinterpret_cast<LPARAM>(&notice));
  EXPECT_EQ(tOpened.size(), 1u);
  SetLinkOpener(previous);
}

TEST(RtfViewer, ResourceIdentifiersAreNumbersBelow65536) {
  static const char kName[] = "INFO";
  struct Row {
    ULONG_PTR value;
    int32_t expected;
  };
  const Row rows[] = {{0, -1}, {1, -1}, {65535, -1}, {65536, 0}, {0xFFFFFFFFu, 0},
                      {reinterpret_cast<ULONG_PTR>(kName), 0}};
  for (const Row& row : rows) EXPECT_EQ(IsResourceId(row.value), row.expected) << row.value;
}

TEST(RtfViewer, FailuresAreToldInMessageBoxes) {
  {
    SCOPED_TRACE("document missing, by name and by number");
    for (ULONG_PTR name : {ViewerWindow::Name("NOSUCHDOC"), ULONG_PTR{4711}}) {
      MessageBoxCapture capture;
      ViewerWindow viewer(nullptr, ViewerWindow::Name("RTF"), name, 1);
      ASSERT_FALSE(capture.Boxes().empty());
      const CapturedBox& box = capture.Boxes()[0];
      EXPECT_EQ(box.text, "Resource Not found");
      EXPECT_EQ(box.caption, kDefaultCaption);
      EXPECT_FALSE(box.hasIcon);
      EXPECT_FALSE(box.hasOwner);
      ASSERT_TRUE(viewer.Pane());
      EXPECT_EQ(SendMessageA(viewer.Pane(), WM_GETTEXTLENGTH, 0, 0), 0) << PaneText(viewer.Pane());
    }
  }
  {
    SCOPED_TRACE("pane cannot be made");
    MessageBoxCapture capture;
    ViewerWindow viewer(nullptr, ViewerWindow::Name("RTF"), ViewerWindow::Name("INFO"), 1,
                        "NoSuchPaneClass");
    ASSERT_FALSE(capture.Boxes().empty());
    EXPECT_EQ(capture.Boxes()[0].text, "Can't create RT box");
    EXPECT_EQ(capture.Boxes()[0].caption, kDefaultCaption);
    EXPECT_FALSE(capture.Boxes()[0].hasIcon);
    // The dialog opens without a pane, its buttons laid out.
    ASSERT_TRUE(viewer.Get());
    EXPECT_EQ(viewer.Pane(), nullptr);
    RECT client{};
    GetClientRect(viewer.Get(), &client);
    EXPECT_EQ(RectIn(viewer.Get(), viewer.Item(kViewerCloseId)).left, client.right - 120);
  }
  {
    SCOPED_TRACE("no rich-edit library");
    const RichEditLibraryName missing[] = {{"NOSUCHRE20.DLL", "X"}, {"NOSUCHRE32.DLL", "Y"}};
    int count = 0;
    const RichEditLibraryName* previous = SetRichEditLibraryNames(missing, 2, &count);
    char className[64] = "unchanged";
    EXPECT_EQ(LoadRichEditLibrary(className), nullptr);
    EXPECT_STREQ(className, "unchanged");
    MessageBoxCapture capture;
    EXPECT_EQ(ShowRtfViewer(nullptr, "About", nullptr, "RTF", "INFO", 1), 0);
    SetRichEditLibraryNames(previous, count, nullptr);
    ASSERT_EQ(capture.Boxes().size(), 1u);
    EXPECT_EQ(capture.Boxes()[0].text, "Can't find Rich Edit library in this system!");
    EXPECT_EQ(capture.Boxes()[0].caption, "Oops!");
    EXPECT_TRUE(capture.Boxes()[0].hasIcon);
    EXPECT_FALSE(capture.Boxes()[0].hasOwner);
  }
}

TEST(RtfViewer, LibraryIsFoundAsTheSystemNamesIt) {
  char className[64] = {};
  UniqueLibrary library(LoadRichEditLibrary(className));
  ASSERT_TRUE(library.Valid());
  EXPECT_STREQ(className, "RichEdit20A");
  EXPECT_EQ(library.Get(), GetModuleHandleA("RICHED20.DLL"));
}

TEST(RtfViewer, InfoButtonOpensTheViewerModallyAndCloseEndsIt) {
  MainDialogWindow dialog;
  ASSERT_TRUE(dialog.Get());
  // The capture reads the viewer when it comes up and presses command 1,
  // which is Close; the click returns only when the viewer has ended.
  MessageBoxCapture capture;
  dialog.Click(IDC_INFO);
  ASSERT_EQ(capture.Boxes().size(), 1u);
  EXPECT_EQ(capture.Boxes()[0].caption, "About");
  EXPECT_TRUE(capture.Boxes()[0].hasOwner);
  EXPECT_TRUE(IsWindowEnabled(dialog.Get()));
}

}  // namespace
