#include "main_dialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include <climits>
#include <vector>

#include "file_selection.h"
#include "rtf_viewer.h"
#include "scramble_command.h"
#include "win_handles.h"

const char kCaptionPrefix[] = "Quorvel Systems Inc. '835' Remittance De-Identifier version ";

namespace {

constexpr int kPathFieldLimit = 259;

void OnInitDialog(HWND dialog) {
  SendDlgItemMessageA(dialog, IDC_INPUT_PATH, EM_LIMITTEXT, kPathFieldLimit, 0);
  SendDlgItemMessageA(dialog, IDC_OUTPUT_PATH, EM_LIMITTEXT, kPathFieldLimit, 0);
  SendDlgItemMessageA(dialog, IDC_REPORT, WM_SETFONT,
                      reinterpret_cast<WPARAM>(GetStockObject(SYSTEM_FIXED_FONT)), TRUE);

  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
  // The dialog keeps the icon; WM_DESTROY takes it back and destroys it.
  HANDLE icon = LoadImageA(instance, "PROGRAM", IMAGE_ICON, 0, 0, 0);
  SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

  SetWindowTextA(dialog, (std::string(kCaptionPrefix) + ProgramVersionText()).c_str());
  SetDlgItemTextA(dialog, IDC_REPORT, "No Files Processed Yet.");

  HWND statusBar = CreateWindowExA(0, STATUSCLASSNAMEA, "",
                                   WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP | CCS_BOTTOM, 0, 0, 0, 0,
                                   dialog, reinterpret_cast<HMENU>(IDC_STATUS_BAR), instance,
                                   nullptr);
  if (statusBar == nullptr) MessageBoxA(nullptr, "Could Not Create Status Bar", "BAD PROBLEM!!", MB_OK);
  // The progress of each pass of a run, just above the status bar; placed
  // by ResizeMainDialog.
  CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, dialog,
                  reinterpret_cast<HMENU>(IDC_PROGRESS), instance, nullptr);
  ResizeMainDialog(dialog);
  // Files dragged from Explorer may be dropped on the dialog.
  DragAcceptFiles(dialog, TRUE);
}

void OnDestroy(HWND dialog) {
  AbandonScrambleCommand(dialog);
  HICON big = reinterpret_cast<HICON>(SendMessageA(dialog, WM_SETICON, ICON_BIG, 0));
  HICON small = reinterpret_cast<HICON>(SendMessageA(dialog, WM_SETICON, ICON_SMALL, 0));
  UniqueIcon first(big);
  UniqueIcon second(small != big ? small : nullptr);
}

void OnScramble(HWND dialog) {
  std::string message;
  int field = ValidateFileFields(dialog, message);
  if (field != 0) {
    MessageBoxA(nullptr, message.c_str(), "Edit Error!", MB_OK | MB_ICONHAND | MB_TASKMODAL);
    SetFocus(GetDlgItem(dialog, field));
    return;
  }
  StartScrambleCommand(dialog);
}

// The first file dropped goes into the output field when dropped on it,
// else into the input field.  Nothing changes during a run.
void OnDropFiles(HWND dialog, HDROP drop) {
  const UINT length = DragQueryFileA(drop, 0, nullptr, 0);
  if (!ScrambleRunning(dialog) && length > 0) {
    if (length > static_cast<UINT>(kPathFieldLimit)) {
      MessageBeep(MB_ICONHAND);  // no path field takes it
    } else {
      char path[kPathFieldLimit + 1] = {};
      DragQueryFileA(drop, 0, path, sizeof path);
      POINT point{};
      HWND target = nullptr;
      if (DragQueryPoint(drop, &point)) target = ChildWindowFromPointEx(dialog, point, CWP_SKIPINVISIBLE);
      const int field = target != nullptr && target == GetDlgItem(dialog, IDC_OUTPUT_PATH)
                            ? IDC_OUTPUT_PATH
                            : IDC_INPUT_PATH;
      SetDlgItemTextA(dialog, field, path);
    }
  }
  DragFinish(drop);
}

INT_PTR OnCommand(HWND dialog, WPARAM wParam) {
  switch (LOWORD(wParam)) {
    case IDC_BROWSE_INPUT: {
      std::string path = BrowseForFile(dialog, kInputKind);
      if (!path.empty()) SetDlgItemTextA(dialog, IDC_INPUT_PATH, path.c_str());
      return FALSE;
    }
    case IDC_BROWSE_OUTPUT: {
      std::string path = BrowseForFile(dialog, kOutputKind);
      if (!path.empty()) SetDlgItemTextA(dialog, IDC_OUTPUT_PATH, path.c_str());
      return FALSE;
    }
    case IDC_SCRAMBLE:
      OnScramble(dialog);
      return FALSE;
    case IDC_EXIT:
      // A run is not cut short: the button is disabled meanwhile, and a
      // close request does nothing.
      if (ScrambleRunning(dialog)) return TRUE;
      EndDialog(dialog, 0);
      return TRUE;
    case IDC_INFO: {
      char type[16] = "RTF";
      char name[32] = "INFO";
      HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
      ShowRtfViewer(dialog, "About", instance, type, name, 1);
      return FALSE;
    }
    default:
      // IDOK and IDCANCEL (Enter and Esc), the check boxes and the edit
      // fields: nothing.
      return FALSE;
  }
}

}  // namespace

extern "C" INT_PTR CALLBACK MAINDIALOGPROC(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog(dialog);
      return TRUE;
    case WM_CTLCOLORSTATIC:
      if (GetDlgCtrlID(reinterpret_cast<HWND>(lParam)) == IDC_REPORT) {
        return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
      }
      return FALSE;
    case WM_SYSCOMMAND:
      // Closing by close box, system menu or Alt+F4 takes the Exit path.
      if (IsCloseCommand(wParam)) {
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_EXIT, 0),
                     reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDC_EXIT)));
      }
      return FALSE;
    case WM_SIZE: {
      ResizeMainDialog(dialog);
      // The status bar places itself at the bottom; all of it is drawn
      // again, not only the part that the new size uncovered.
      HWND statusBar = GetDlgItem(dialog, IDC_STATUS_BAR);
      if (statusBar != nullptr) {
        SendMessageA(statusBar, WM_SIZE, wParam, lParam);
        InvalidateRect(statusBar, nullptr, TRUE);
      }
      return FALSE;
    }
    case WM_GETMINMAXINFO: {
      POINT smallest{};
      if (!MinimumDialogSize(dialog, &smallest)) return FALSE;
      MINMAXINFO* limits = reinterpret_cast<MINMAXINFO*>(lParam);
      limits->ptMinTrackSize = smallest;
      return TRUE;
    }
    case WM_DROPFILES:
      OnDropFiles(dialog, reinterpret_cast<HDROP>(wParam));
      return TRUE;
    case kRunNoticeMessage:
      ShowRunNotice(dialog, *reinterpret_cast<const std::string*>(lParam));
      return TRUE;
    case kRunEndedMessage:
      FinishScrambleCommand(dialog);
      return TRUE;
    case WM_COMMAND:
      return OnCommand(dialog, wParam);
    case WM_DESTROY:
      OnDestroy(dialog);
      return FALSE;
    default:
      return FALSE;
  }
}

std::string ProgramVersionText() {
  char path[MAX_PATH + 1] = {};
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return "Error";
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  if (size == 0) return "Error";
  std::vector<char> block(size);
  if (!GetFileVersionInfoA(path, 0, size, block.data())) return "Error";
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixedSize = 0;
  if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &fixedSize) ||
      fixed == nullptr || fixedSize < sizeof(VS_FIXEDFILEINFO)) {
    return "Error";
  }
  return std::to_string(HIWORD(fixed->dwProductVersionMS)) + "." +
         std::to_string(LOWORD(fixed->dwProductVersionMS)) + "." +
         std::to_string(fixed->dwProductVersionLS);
}

namespace {

constexpr LONG kGapAboveBar = 2;

// Pixels of a height in dialog units.
LONG DialogUnitsHigh(HWND dialog, LONG units) {
  RECT r{0, 0, 0, units};
  MapDialogRect(dialog, &r);
  return r.bottom;
}

LONG HeightOf(HWND window) {
  RECT r{};
  if (window != nullptr) GetWindowRect(window, &r);
  return r.bottom - r.top;
}

// A window's rectangle in the dialog's client coordinates.
RECT ClientPlaceOf(HWND dialog, HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

}  // namespace

void ResizeMainDialog(HWND dialog) {
  HWND report = GetDlgItem(dialog, IDC_REPORT);
  if (report == nullptr) return;
  RECT client{};
  GetClientRect(dialog, &client);
  // Both edges in client coordinates, so that the rule does not depend on
  // where the dialog stands on the screen.
  const RECT box = ClientPlaceOf(dialog, report);
  LONG bottom = client.bottom - HeightOf(GetDlgItem(dialog, IDC_STATUS_BAR));
  const LONG width = client.right - 4;
  HWND progress = GetDlgItem(dialog, IDC_PROGRESS);
  if (progress != nullptr) {
    const LONG high = DialogUnitsHigh(dialog, kProgressBarUnitsHigh);
    bottom -= kGapAboveBar + high;
    SetWindowPos(progress, nullptr, box.left, bottom, width > 0 ? width : 0, high, SWP_NOZORDER);
  }
  LONG height = bottom - kGapAboveBar - box.top;
  SetWindowPos(report, nullptr, 0, 0, width > 0 ? width : 0, height > 0 ? height : 0,
               SWP_NOMOVE | SWP_NOZORDER);
}

bool MinimumDialogSize(HWND dialog, POINT* size) {
  HWND report = GetDlgItem(dialog, IDC_REPORT);
  if (report == nullptr) return false;  // not made yet
  // As wide as the controls that keep their place reach, with the margin
  // of the leftmost one on the right too; as high as the report box's top,
  // three lines of it, the progress bar and the status bar.
  LONG right = 0;
  LONG left = LONG_MAX;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
    const int id = GetDlgCtrlID(child);
    if (id == IDC_REPORT || id == IDC_PROGRESS || id == IDC_STATUS_BAR) continue;
    const RECT place = ClientPlaceOf(dialog, child);
    if (place.right > right) right = place.right;
    if (place.left < left) left = place.left;
  }
  if (left == LONG_MAX) left = 0;
  const LONG reportTop = ClientPlaceOf(dialog, report).top;
  RECT client{0, 0, right + left,
              reportTop + DialogUnitsHigh(dialog, kReportUnitsHighAtLeast) + kGapAboveBar +
                  DialogUnitsHigh(dialog, kProgressBarUnitsHigh) + kGapAboveBar +
                  HeightOf(GetDlgItem(dialog, IDC_STATUS_BAR))};
  const DWORD style = static_cast<DWORD>(GetWindowLongA(dialog, GWL_STYLE));
  const DWORD extended = static_cast<DWORD>(GetWindowLongA(dialog, GWL_EXSTYLE));
  if (!AdjustWindowRectEx(&client, style, FALSE, extended)) return false;
  size->x = client.right - client.left;
  size->y = client.bottom - client.top;
  return true;
}

bool IsCloseCommand(WPARAM command) { return (command & 0xFFF0) == SC_CLOSE; }

std::string ControlText(HWND dialog, int controlId) {
  char buffer[260] = {};
  GetDlgItemTextA(dialog, controlId, buffer, sizeof buffer);
  return buffer;
}
