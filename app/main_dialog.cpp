#include "main_dialog.h"

#include <commctrl.h>

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
  ResizeMainDialog(dialog);
}

void OnDestroy(HWND dialog) {
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
  HWND button = GetDlgItem(dialog, IDC_SCRAMBLE);
  HWND focus = GetFocus();
  SetDlgItemTextA(dialog, IDC_REPORT, "");
  EnableWindow(button, FALSE);
  // The class cursor takes effect at the next WM_SETCURSOR, which no run
  // lets through; SetCursor shows the wait cursor at once.
  HCURSOR wait = LoadCursor(nullptr, IDC_WAIT);
  SetClassLongPtrA(dialog, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(wait));
  SetCursor(wait);
  ScrambleCommand(dialog);
  EnableWindow(button, TRUE);
  HCURSOR arrow = LoadCursor(nullptr, IDC_ARROW);
  SetClassLongPtrA(dialog, GCLP_HCURSOR, reinterpret_cast<LONG_PTR>(arrow));
  SetCursor(arrow);
  // Disabling the button took the focus away if it had it; give it back so
  // that the keyboard keeps working after the run.
  if (GetFocus() == nullptr && focus != nullptr) SetFocus(focus);
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
      // IDOK and IDCANCEL (Enter and Esc), the check box and the edit
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
    case WM_SIZE:
      ResizeMainDialog(dialog);
      SendDlgItemMessageA(dialog, IDC_STATUS_BAR, WM_SIZE, wParam, lParam);
      return FALSE;
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

void ResizeMainDialog(HWND dialog) {
  HWND report = GetDlgItem(dialog, IDC_REPORT);
  if (report == nullptr) return;
  RECT client{};
  GetClientRect(dialog, &client);
  RECT box{};
  GetWindowRect(report, &box);
  // Both edges in client coordinates, so that the rule does not depend on
  // where the dialog stands on the screen.
  POINT top{box.left, box.top};
  ScreenToClient(dialog, &top);
  LONG bottom = client.bottom;
  HWND statusBar = GetDlgItem(dialog, IDC_STATUS_BAR);
  if (statusBar != nullptr) {
    RECT bar{};
    GetWindowRect(statusBar, &bar);
    bottom -= bar.bottom - bar.top;
  }
  constexpr LONG kGapAboveStatusBar = 2;
  LONG height = bottom - kGapAboveStatusBar - top.y;
  LONG width = client.right - 4;
  SetWindowPos(report, nullptr, 0, 0, width > 0 ? width : 0, height > 0 ? height : 0,
               SWP_NOMOVE | SWP_NOZORDER);
}

bool IsCloseCommand(WPARAM command) { return (command & 0xFFF0) == SC_CLOSE; }

std::string ControlText(HWND dialog, int controlId) {
  char buffer[260] = {};
  GetDlgItemTextA(dialog, controlId, buffer, sizeof buffer);
  return buffer;
}
