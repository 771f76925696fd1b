#include "win_test_util.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "main_dialog.h"
#include "platform.h"
#include "scramble_command.h"

namespace {

// Boxes seen by the hook of this thread; hooks are per thread, so is this.
thread_local std::vector<CapturedBox> tBoxes;
thread_local std::vector<HWND> tNewDialogs;
thread_local std::vector<HWND> tPending;
thread_local int tCommand = IDOK;

BOOL CALLBACK ReadChild(HWND child, LPARAM boxPointer) {
  auto* box = reinterpret_cast<CapturedBox*>(boxPointer);
  char className[32] = {};
  GetClassNameA(child, className, sizeof className);
  if (lstrcmpiA(className, "Static") != 0) return TRUE;
  LONG style = GetWindowLongA(child, GWL_STYLE);
  if ((style & SS_TYPEMASK) == SS_ICON) {
    if (IsWindowVisible(child) && SendMessageA(child, STM_GETICON, 0, 0) != 0) box->hasIcon = true;
  } else if (box->text.empty()) {
    box->text = WindowText(child);
  }
  return TRUE;
}

// Runs inside the message box's own loop, once the box is fully set up:
// reads it and presses OK.
void CALLBACK ReadPendingBoxes(HWND, UINT, UINT_PTR timer, DWORD) {
  KillTimer(nullptr, timer);
  std::vector<HWND> pending;
  pending.swap(tPending);
  for (HWND window : pending) {
    if (!IsWindow(window)) continue;
    CapturedBox box;
    box.caption = WindowText(window);
    box.hasOwner = GetWindow(window, GW_OWNER) != nullptr;
    EnumChildWindows(window, ReadChild, reinterpret_cast<LPARAM>(&box));
    HWND cancel = GetDlgItem(window, IDCANCEL);
    box.hasCancel = cancel != nullptr && IsWindowVisible(cancel);
    tBoxes.push_back(box);
    PostMessageA(window, WM_COMMAND, tCommand, 0);
  }
}

LRESULT CALLBACK CaptureHook(int code, WPARAM wParam, LPARAM lParam) {
  HWND window = reinterpret_cast<HWND>(wParam);
  if (code == HCBT_CREATEWND) {
    char className[16] = {};
    GetClassNameA(window, className, sizeof className);
    if (lstrcmpA(className, "#32770") == 0) tNewDialogs.push_back(window);
  } else if (code == HCBT_ACTIVATE) {
    // A box may be activated more than once (other programs' windows take
    // the activation away): read each one once.
    for (auto it = tNewDialogs.begin(); it != tNewDialogs.end(); ++it) {
      if (*it != window) continue;
      tNewDialogs.erase(it);
      tPending.push_back(window);
      SetTimer(nullptr, 0, 1, ReadPendingBoxes);
      break;
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

MessageBoxCapture::MessageBoxCapture(int command)
    : hook_(SetWindowsHookExA(WH_CBT, CaptureHook, nullptr, GetCurrentThreadId())) {
  tCommand = command;
  tBoxes.clear();
  tNewDialogs.clear();
  tPending.clear();
  EXPECT_TRUE(hook_.Valid());
}

MessageBoxCapture::~MessageBoxCapture() { tNewDialogs.clear(); }

const std::vector<CapturedBox>& MessageBoxCapture::Boxes() const { return tBoxes; }

ScratchFolder::ScratchFolder() {
  std::string base = SystemTempFolder();
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    std::string candidate = base + "x12test" + std::to_string(GetCurrentProcessId()) + "_" +
                            std::to_string(GetTickCount() + static_cast<DWORD>(attempt));
    if (CreateDirectoryA(candidate.c_str(), nullptr)) path_ = candidate + "\\";
  }
  EXPECT_FALSE(path_.empty());
}

namespace {
void RemoveTree(const std::string& folder) {
  WIN32_FIND_DATAA entry{};
  UniqueFindHandle find(FindFirstFileA((folder + "*").c_str(), &entry));
  if (find) {
    do {
      std::string name = entry.cFileName;
      if (name == "." || name == "..") continue;
      std::string path = folder + name;
      SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(path + "\\");
      } else {
        DeleteFileA(path.c_str());
      }
    } while (FindNextFileA(find.Get(), &entry));
  }
  find.Reset();
  RemoveDirectoryA(folder.c_str());
}
}  // namespace

ScratchFolder::~ScratchFolder() {
  if (!path_.empty()) RemoveTree(path_);
}

std::string ScratchFolder::Write(const std::string& name, const std::string& content) const {
  std::string path = path_ + name;
  UniqueFileHandle file(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(file.Valid()) << path;
  DWORD written = 0;
  if (file) WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  EXPECT_EQ(written, content.size());
  return path;
}

MainDialogWindow::MainDialogWindow()
    : window_(CreateDialogParamA(GetModuleHandleA(nullptr), "MAIN", nullptr, MAINDIALOGPROC, 0)) {
  EXPECT_TRUE(window_.Valid()) << "CreateDialogParamA failed: " << GetLastError();
}

std::string MainDialogWindow::Text(int id) const { return WindowText(Item(id)); }

void MainDialogWindow::SetText(int id, const std::string& text) const {
  SetDlgItemTextA(window_.Get(), id, text.c_str());
}

void MainDialogWindow::Click(int id) const { SendMessageA(Item(id), BM_CLICK, 0, 0); }

void MainDialogWindow::Scramble() const {
  Click(IDC_SCRAMBLE);
  while (ScrambleRunning(Get())) {
    MSG message;
    if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    } else {
      MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
  }
}

namespace {
const char kRecorderProperty[] = "x12.TextRecorder";
}  // namespace

LRESULT CALLBACK TextRecorder::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* recorder = static_cast<TextRecorder*>(GetPropA(window, kRecorderProperty));
  if (message == WM_SETTEXT && lParam != 0) {
    recorder->texts_.push_back(reinterpret_cast<const char*>(lParam));
    if (recorder->onText_) recorder->onText_(recorder->texts_.back());
  }
  return CallWindowProcA(recorder->previous_, window, message, wParam, lParam);
}

TextRecorder::TextRecorder(HWND window, std::function<void(const std::string&)> onText)
    : window_(window), onText_(std::move(onText)) {
  SetPropA(window_, kRecorderProperty, this);
  previous_ = reinterpret_cast<WNDPROC>(SetWindowLongPtrA(
      window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&TextRecorder::Proc)));
}

TextRecorder::~TextRecorder() {
  SetWindowLongPtrA(window_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previous_));
  RemovePropA(window_, kRecorderProperty);
}

RECT ClientRectOf(HWND dialog, HWND control) {
  RECT r{};
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

POINT MiddleOf(HWND dialog, HWND control) {
  const RECT r = ClientRectOf(dialog, control);
  return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

HGLOBAL MakeDrop(const std::string& path, POINT point, BOOL nonClient) {
  HGLOBAL drop = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + path.size() + 2);
  auto* files = static_cast<DROPFILES*>(GlobalLock(drop));
  files->pFiles = sizeof(DROPFILES);
  files->pt = point;
  files->fNC = nonClient;
  files->fWide = FALSE;
  std::memcpy(reinterpret_cast<char*>(files) + sizeof(DROPFILES), path.data(), path.size());
  GlobalUnlock(drop);
  return drop;
}

std::string WindowText(HWND window) {
  int length = GetWindowTextLengthA(window);
  std::string text(static_cast<size_t>(length) + 1, '\0');
  int got = GetWindowTextA(window, &text[0], length + 1);
  text.resize(static_cast<size_t>(got > 0 ? got : 0));
  return text;
}

std::string ExampleRemittance() {
  HRSRC found = FindResourceA(nullptr, "EXAMPLE835", MAKEINTRESOURCEA(10));  // RT_RCDATA
  if (found == nullptr) return std::string();
  HGLOBAL loaded = LoadResource(nullptr, found);
  const char* data = static_cast<const char*>(LockResource(loaded));
  return std::string(data, SizeofResource(nullptr, found));
}

std::vector<std::string> FilesMatching(const std::string& folder, const std::string& pattern) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA entry{};
  UniqueFindHandle find(FindFirstFileA((folder + pattern).c_str(), &entry));
  if (!find) return names;
  do {
    names.push_back(entry.cFileName);
  } while (FindNextFileA(find.Get(), &entry));
  return names;
}

std::string SystemTempFolder() {
  char folder[MAX_PATH + 1] = {};
  GetTempPathA(sizeof folder, folder);
  return folder;
}
