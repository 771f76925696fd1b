// The main dialog as its template and WM_INITDIALOG make it, and its
// reactions to resizing, closing, Esc and Enter.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main_dialog.h"
#include "win_test_util.h"

namespace {

struct ControlRow {
  int id;
  const char* className;
  const char* text;
  RECT units;  // left, top, width, height in dialog units
  DWORD styles;
};

// Ids, texts, places and styles of the template, in tab order.
const ControlRow kControls[] = {
    {IDC_INPUT_PATH, "Edit", "", {54, 10, 200, 12}, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL},
    {IDC_BROWSE_INPUT, "Button", "B&rowse", {260, 10, 40, 14}, WS_TABSTOP | BS_PUSHBUTTON},
    {IDC_OUTPUT_PATH, "Edit", "", {55, 30, 200, 12}, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL},
    {IDC_BROWSE_OUTPUT, "Button", "Bro&wse", {260, 30, 40, 14}, WS_TABSTOP | BS_PUSHBUTTON},
    {IDC_SCRAMBLE, "Button", "&Scramble", {137, 45, 60, 14}, WS_TABSTOP | BS_PUSHBUTTON},
    {IDC_EXIT, "Button", "E&xit", {312, 30, 40, 14}, WS_TABSTOP | BS_PUSHBUTTON},
    {IDC_REPORT, "Edit", "No Files Processed Yet.", {1, 64, 354, 76},
     WS_BORDER | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY},
    {IDC_INFO, "Button", "In&fo", {312, 10, 40, 14}, WS_TABSTOP | BS_PUSHBUTTON},
    {IDC_LISTING, "Button", "Report All Changed Segments", {8, 47, 110, 10},
     WS_TABSTOP | BS_AUTOCHECKBOX},
    {IDC_THOROUGH, "Button", "&Thorough", {205, 47, 45, 10}, WS_TABSTOP | BS_AUTOCHECKBOX},
};

RECT PixelsOf(HWND dialog, RECT units) {
  RECT r{units.left, units.top, units.left + units.right, units.top + units.bottom};
  MapDialogRect(dialog, &r);
  return r;
}

TEST(MainDialog, ControlsMatchTheTemplate) {
  MainDialogWindow dialog;
  ASSERT_TRUE(dialog.Get());
  for (const ControlRow& row : kControls) {
    SCOPED_TRACE(row.id);
    HWND control = dialog.Item(row.id);
    ASSERT_TRUE(control);
    char className[32] = {};
    GetClassNameA(control, className, sizeof className);
    EXPECT_STREQ(className, row.className);
    EXPECT_EQ(dialog.Text(row.id), row.text);
    DWORD style = static_cast<DWORD>(GetWindowLongA(control, GWL_STYLE));
    // An edit control in a dialog turns its WS_BORDER into a client edge.
    if (GetWindowLongA(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE) style |= WS_BORDER;
    EXPECT_EQ(style & row.styles, row.styles);
    if (row.styles & BS_AUTOCHECKBOX) {
      EXPECT_EQ(style & BS_TYPEMASK, static_cast<DWORD>(BS_AUTOCHECKBOX));
    } else if (std::string(className) == "Button") {
      // No default push button: Enter in a path field presses nothing.
      EXPECT_EQ(style & BS_TYPEMASK, static_cast<DWORD>(BS_PUSHBUTTON));
    }
    RECT actual = ClientRectOf(dialog.Get(), control);
    RECT expected = PixelsOf(dialog.Get(), row.units);
    EXPECT_EQ(actual.left, expected.left);
    EXPECT_EQ(actual.top, expected.top);
    if (row.id != IDC_REPORT) {  // the report box is sized at set-up
      EXPECT_EQ(actual.right, expected.right);
      EXPECT_EQ(actual.bottom, expected.bottom);
    }
  }
  EXPECT_EQ(GetWindowLongA(dialog.Item(IDC_REPORT), GWL_STYLE) & (WS_HSCROLL | ES_AUTOHSCROLL), 0);
  EXPECT_EQ(IsDlgButtonChecked(dialog.Get(), IDC_LISTING), static_cast<UINT>(BST_UNCHECKED));
  EXPECT_EQ(IsDlgButtonChecked(dialog.Get(), IDC_THOROUGH), static_cast<UINT>(BST_UNCHECKED));

  // Tab order is template order, starting at the input-path field.
  HWND item = dialog.Item(IDC_INPUT_PATH);
  for (const ControlRow& row : kControls) {
    EXPECT_EQ(GetDlgCtrlID(item), row.id);
    item = GetNextDlgTabItem(dialog.Get(), item, FALSE);
  }
  EXPECT_EQ(GetDlgCtrlID(item), IDC_INPUT_PATH);

  DWORD style = static_cast<DWORD>(GetWindowLongA(dialog.Get(), GWL_STYLE));
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX),
            static_cast<DWORD>(WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX));
  EXPECT_EQ(style & WS_MAXIMIZEBOX, 0u);
  EXPECT_NE(GetWindowLongA(dialog.Get(), GWL_EXSTYLE) & WS_EX_CLIENTEDGE, 0);
}

TEST(MainDialog, SetUpGivesCaptionLimitsFontIconAndStatusBar) {
  MainDialogWindow dialog;
  ASSERT_TRUE(dialog.Get());
  EXPECT_EQ(ProgramVersionText(), "2.1.1");
  EXPECT_EQ(WindowText(dialog.Get()),
            "Quorvel Systems Inc. '835' Remittance De-Identifier version 2.1.1");
  EXPECT_EQ(SendMessageA(dialog.Item(IDC_INPUT_PATH), EM_GETLIMITTEXT, 0, 0), 259);
  EXPECT_EQ(SendMessageA(dialog.Item(IDC_OUTPUT_PATH), EM_GETLIMITTEXT, 0, 0), 259);
  EXPECT_EQ(reinterpret_cast<HGDIOBJ>(SendMessageA(dialog.Item(IDC_REPORT), WM_GETFONT, 0, 0)),
            GetStockObject(SYSTEM_FIXED_FONT));
  EXPECT_NE(SendMessageA(dialog.Get(), WM_GETICON, ICON_BIG, 0), 0);
  EXPECT_NE(SendMessageA(dialog.Get(), WM_GETICON, ICON_SMALL, 0), 0);

  HWND bar = dialog.Item(IDC_STATUS_BAR);
  ASSERT_TRUE(bar);
  char className[32] = {};
  GetClassNameA(bar, className, sizeof className);
  EXPECT_STREQ(className, STATUSCLASSNAMEA);
  EXPECT_EQ(WindowText(bar), "");
  DWORD style = static_cast<DWORD>(GetWindowLongA(bar, GWL_STYLE));
  EXPECT_EQ(style & (WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP | CCS_BOTTOM),
            static_cast<DWORD>(WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP | CCS_BOTTOM));
  EXPECT_EQ(SendMessageA(bar, SB_GETPARTS, 0, 0), 1);

  // The report box is white although read-only; other controls are left
  // to the system.
  EXPECT_EQ(MAINDIALOGPROC(dialog.Get(), WM_CTLCOLORSTATIC, 0,
                           reinterpret_cast<LPARAM>(dialog.Item(IDC_REPORT))),
            reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH)));
  EXPECT_EQ(MAINDIALOGPROC(dialog.Get(), WM_CTLCOLORSTATIC, 0,
                           reinterpret_cast<LPARAM>(dialog.Item(IDC_LISTING))),
            FALSE);
}

TEST(MainDialog, WorksOnWithoutAStatusBar) {
  // Without the status-bar class the bar cannot be made.
  // The class is put back as it was afterwards.
  HINSTANCE commonControls = GetModuleHandleA("comctl32.dll");
  WNDCLASSEXA statusClass{};
  statusClass.cbSize = sizeof statusClass;
  ASSERT_TRUE(GetClassInfoExA(commonControls, STATUSCLASSNAMEA, &statusClass));
  statusClass.lpszClassName = STATUSCLASSNAMEA;
  ASSERT_TRUE(UnregisterClassA(STATUSCLASSNAMEA, commonControls));
  {
    MessageBoxCapture capture;
    MainDialogWindow dialog;
    ASSERT_TRUE(dialog.Get());
    ASSERT_EQ(capture.Boxes().size(), 1u);
    EXPECT_EQ(capture.Boxes()[0].caption, "BAD PROBLEM!!");
    EXPECT_EQ(capture.Boxes()[0].text, "Could Not Create Status Bar");
    EXPECT_FALSE(capture.Boxes()[0].hasIcon);
    EXPECT_FALSE(capture.Boxes()[0].hasOwner);
    EXPECT_EQ(dialog.Item(IDC_STATUS_BAR), nullptr);
    // The progress bar then reaches the bottom of the client area, the
    // report box down to just above it.
    RECT client{};
    GetClientRect(dialog.Get(), &client);
    const RECT box = ClientRectOf(dialog.Get(), dialog.Item(IDC_REPORT));
    const RECT progress = ClientRectOf(dialog.Get(), dialog.Item(IDC_PROGRESS));
    EXPECT_LE(progress.bottom, client.bottom);
    EXPECT_GE(progress.bottom, client.bottom - 4);
    EXPECT_LE(box.bottom, progress.top);
    EXPECT_GE(box.bottom, progress.top - 4);
  }
  ASSERT_NE(RegisterClassExA(&statusClass), 0);
  MainDialogWindow restored;
  EXPECT_NE(restored.Item(IDC_STATUS_BAR), nullptr);
}

TEST(MainDialog, TypingIntoAPathFieldStopsAt259Characters) {
  MainDialogWindow dialog;
  for (int id : {IDC_INPUT_PATH, IDC_OUTPUT_PATH}) {
    for (int i = 0; i < 300; ++i) SendMessageA(dialog.Item(id), WM_CHAR, 'a', 1);
    EXPECT_EQ(dialog.Text(id).size(), 259u);
  }
}

// The report box reaches from its fixed top-left corner to just above the
// progress bar, the client width less 4; the progress bar, as wide, stands
// just above the status bar; nothing else moves.
void ExpectReportBoxFitted(const MainDialogWindow& dialog, const RECT& topLeftUnits) {
  RECT client{};
  GetClientRect(dialog.Get(), &client);
  RECT box = ClientRectOf(dialog.Get(), dialog.Item(IDC_REPORT));
  RECT progress = ClientRectOf(dialog.Get(), dialog.Item(IDC_PROGRESS));
  RECT bar = ClientRectOf(dialog.Get(), dialog.Item(IDC_STATUS_BAR));
  RECT place = PixelsOf(dialog.Get(), topLeftUnits);
  EXPECT_EQ(box.left, place.left);
  EXPECT_EQ(box.top, place.top);
  EXPECT_EQ(box.right - box.left, client.right - 4);
  EXPECT_EQ(bar.bottom, client.bottom);
  EXPECT_EQ(progress.left, box.left);
  EXPECT_EQ(progress.right, box.right);
  EXPECT_EQ(progress.bottom - progress.top, PixelsOf(dialog.Get(), {0, 0, 0, kProgressBarUnitsHigh}).bottom);
  EXPECT_LE(progress.bottom, bar.top);
  EXPECT_GE(progress.bottom, bar.top - 4);
  EXPECT_LE(box.bottom, progress.top);
  EXPECT_GE(box.bottom, progress.top - 4);
}

TEST(MainDialog, ResizingStretchesOnlyTheReportBoxWhereverTheDialogStands) {
  MainDialogWindow dialog;
  ASSERT_TRUE(dialog.Get());
  const RECT reportUnits{1, 64, 0, 0};
  ExpectReportBoxFitted(dialog, reportUnits);
  RECT fieldBefore = ClientRectOf(dialog.Get(), dialog.Item(IDC_INPUT_PATH));
  RECT boxSize{};

  struct Placement { int x, y, width, height; };
  for (Placement p : {Placement{0, 0, 800, 500}, Placement{300, 200, 800, 500},
                      Placement{10, 10, 700, 420}}) {
    SCOPED_TRACE(p.x);
    SetWindowPos(dialog.Get(), nullptr, p.x, p.y, p.width, p.height, SWP_NOZORDER);
    ExpectReportBoxFitted(dialog, reportUnits);
    RECT field = ClientRectOf(dialog.Get(), dialog.Item(IDC_INPUT_PATH));
    EXPECT_EQ(field.left, fieldBefore.left);
    EXPECT_EQ(field.right, fieldBefore.right);
    EXPECT_EQ(field.bottom, fieldBefore.bottom);
    if (p.width == 800) {
      RECT box = ClientRectOf(dialog.Get(), dialog.Item(IDC_REPORT));
      if (p.x == 0) {
        boxSize = box;
      } else {  // the same size at another place on the screen
        EXPECT_EQ(box.bottom - box.top, boxSize.bottom - boxSize.top);
      }
    }
  }
}

BOOL CALLBACK CollectChild(HWND child, LPARAM children) {
  reinterpret_cast<std::vector<HWND>*>(children)->push_back(child);
  return TRUE;
}

// The dialog cannot be made smaller than the size at which every control
// shows whole: sized far below it, by the program or by dragging its
// frame, it stops there, and there nothing is cut off.
TEST(MainDialog, StopsAtTheSmallestSizeThatShowsEveryControl) {
  MainDialogWindow dialog;
  ASSERT_TRUE(dialog.Get());
  POINT smallest{};
  ASSERT_TRUE(MinimumDialogSize(dialog.Get(), &smallest));
  MINMAXINFO limits{};
  SendMessageA(dialog.Get(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
  EXPECT_EQ(limits.ptMinTrackSize.x, smallest.x);
  EXPECT_EQ(limits.ptMinTrackSize.y, smallest.y);

  SetWindowPos(dialog.Get(), nullptr, 0, 0, 120, 90, SWP_NOZORDER | SWP_NOMOVE);
  RECT window{};
  GetWindowRect(dialog.Get(), &window);
  EXPECT_EQ(window.right - window.left, smallest.x);
  EXPECT_EQ(window.bottom - window.top, smallest.y);
  ExpectReportBoxFitted(dialog, {1, 64, 0, 0});

  RECT client{};
  GetClientRect(dialog.Get(), &client);
  std::vector<HWND> children;
  EnumChildWindows(dialog.Get(), CollectChild, reinterpret_cast<LPARAM>(&children));
  ASSERT_GE(children.size(), 13u);  // the template's, the status bar and the progress bar
  for (HWND child : children) {
    if (GetParent(child) != dialog.Get()) continue;  // parts of a control
    SCOPED_TRACE(GetDlgCtrlID(child));
    const RECT place = ClientRectOf(dialog.Get(), child);
    EXPECT_GE(place.left, 0);
    EXPECT_GE(place.top, 0);
    EXPECT_LE(place.right, client.right);
    EXPECT_LE(place.bottom, client.bottom);
  }
  const RECT box = ClientRectOf(dialog.Get(), dialog.Item(IDC_REPORT));
  EXPECT_GE(box.bottom - box.top, PixelsOf(dialog.Get(), {0, 0, 0, kReportUnitsHighAtLeast}).bottom);
}

// After a resize the whole status bar is drawn again (its text and border),
// not only the strip that the new size uncovered.
TEST(MainDialog, ResizingRedrawsTheWholeStatusBar) {
  MainDialogWindow dialog;
  HWND bar = dialog.Item(IDC_STATUS_BAR);
  ASSERT_TRUE(bar);
  SetWindowTextA(bar, "Done, Ready");
  for (SIZE size : {SIZE{700, 420}, SIZE{900, 420}, SIZE{900, 500}}) {
    SCOPED_TRACE(size.cx);
    UpdateWindow(dialog.Get());
    UpdateWindow(bar);
    SetWindowPos(dialog.Get(), nullptr, 0, 0, size.cx, size.cy, SWP_NOZORDER | SWP_NOMOVE);
    RECT client{};
    GetClientRect(bar, &client);
    RECT update{};
    ASSERT_TRUE(GetUpdateRect(bar, &update, FALSE));
    EXPECT_EQ(update.left, client.left);
    EXPECT_EQ(update.top, client.top);
    EXPECT_EQ(update.right, client.right);
    EXPECT_EQ(update.bottom, client.bottom);
  }
}

// A file dropped on the output field goes into it; dropped anywhere else,
// into the input field.  A path no field can hold changes nothing.
TEST(MainDialog, DroppedFileGoesIntoTheFieldItLandsOn) {
  MainDialogWindow dialog;
  ASSERT_NE(GetWindowLongA(dialog.Get(), GWL_EXSTYLE) & WS_EX_ACCEPTFILES, 0);
  const std::string path = "C:\\remittances\\june.835";
  struct Case {
    const char* name;
    int landsOn;
    bool frame;  // the drop is in the frame: its point is no client point
    int field;   // 0: none
    std::string path;
  } cases[] = {
      {"output field", IDC_OUTPUT_PATH, false, IDC_OUTPUT_PATH, path},
      {"input field", IDC_INPUT_PATH, false, IDC_INPUT_PATH, path},
      {"report box", IDC_REPORT, false, IDC_INPUT_PATH, path},
      {"Scramble button", IDC_SCRAMBLE, false, IDC_INPUT_PATH, path},
      {"frame", IDC_OUTPUT_PATH, true, IDC_INPUT_PATH, path},
      {"too long a path", IDC_OUTPUT_PATH, false, 0, "C:\\" + std::string(260, 'p')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dialog.SetText(IDC_INPUT_PATH, "in");
    dialog.SetText(IDC_OUTPUT_PATH, "out");
    const POINT point = MiddleOf(dialog.Get(), dialog.Item(c.landsOn));
    SendMessageA(dialog.Get(), WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(c.path, point, c.frame)), 0);
    EXPECT_EQ(dialog.Text(IDC_INPUT_PATH), c.field == IDC_INPUT_PATH ? c.path : "in");
    EXPECT_EQ(dialog.Text(IDC_OUTPUT_PATH), c.field == IDC_OUTPUT_PATH ? c.path : "out");
  }
}

TEST(MainDialog, IsCloseCommandMasksTheLowFourBits) {
  struct Case { WPARAM command; bool close; };
  for (Case c : {Case{SC_CLOSE, true}, Case{SC_CLOSE | 0x2, true}, Case{SC_CLOSE | 0xF, true},
                 Case{SC_MINIMIZE, false}, Case{SC_MOVE, false}, Case{SC_KEYMENU, false},
                 Case{SC_CLOSE + 0x10, false}}) {
    EXPECT_EQ(IsCloseCommand(c.command), c.close) << std::hex << c.command;
  }
}

TEST(MainDialog, CloseCommandPostsExitAndEscOrEnterDoNothing) {
  MainDialogWindow dialog;
  dialog.SetText(IDC_INPUT_PATH, "kept");
  MSG pending;
  for (int i = 0; i < 1000 && PeekMessageA(&pending, nullptr, 0, 0, PM_REMOVE); ++i) {
    DispatchMessageA(&pending);
  }

  SendMessageA(dialog.Get(), WM_COMMAND, IDCANCEL, 0);
  SendMessageA(dialog.Get(), WM_COMMAND, IDOK, 0);
  SendMessageA(dialog.Item(IDC_INPUT_PATH), WM_KEYDOWN, VK_ESCAPE, 0);
  EXPECT_TRUE(IsWindowVisible(dialog.Get()));
  EXPECT_EQ(dialog.Text(IDC_INPUT_PATH), "kept");

  // Another system command posts nothing.
  MAINDIALOGPROC(dialog.Get(), WM_SYSCOMMAND, SC_MOVE, 0);
  MSG posted{};
  EXPECT_FALSE(PeekMessageA(&posted, dialog.Get(), WM_COMMAND, WM_COMMAND, PM_REMOVE));

  EXPECT_EQ(MAINDIALOGPROC(dialog.Get(), WM_SYSCOMMAND, SC_CLOSE, 0), FALSE);
  ASSERT_TRUE(PeekMessageA(&posted, dialog.Get(), WM_COMMAND, WM_COMMAND, PM_REMOVE));
  EXPECT_EQ(posted.wParam, static_cast<WPARAM>(IDC_EXIT));
  EXPECT_EQ(posted.lParam, reinterpret_cast<LPARAM>(dialog.Item(IDC_EXIT)));
}

// The dialog of this thread (other test programs may have windows open, so
// neither the active window nor a search by caption will do).
BOOL CALLBACK FindThreadDialog(HWND window, LPARAM found) {
  char className[16] = {};
  GetClassNameA(window, className, sizeof className);
  if (lstrcmpA(className, "#32770") != 0) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

HWND ThreadDialog() {
  HWND found = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindThreadDialog, reinterpret_cast<LPARAM>(&found));
  return found;
}

// Closes the modal dialog through its system menu.  Timer messages come
// only from a message loop, and only when nothing else is queued: the first
// one that finds the dialog comes from its own loop, after its setup.
void CALLBACK CloseModalDialog(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = ThreadDialog();
  if (dialog == nullptr) return;  // not made yet: the next tick looks again
  KillTimer(nullptr, timer);
  PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
}

TEST(MainDialog, ModalDialogEndsWithZeroWhenClosed) {
  UINT_PTR timer = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, CloseModalDialog);
  ASSERT_NE(timer, 0u);
  INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), "MAIN", nullptr, MAINDIALOGPROC, 0);
  KillTimer(nullptr, timer);
  EXPECT_EQ(result, 0);
}

}  // namespace
