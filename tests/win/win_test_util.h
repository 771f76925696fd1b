// Helpers of the Windows tests: message-box capture, a scratch folder, the
// main dialog made from its template, recorders of window texts and files
// dropped on a dialog.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "win_handles.h"

/// What a captured message box showed.
struct CapturedBox {
  std::string caption;
  std::string text;
  bool hasOwner = false;
  bool hasIcon = false;
  bool hasCancel = false;
};

/// While alive, every message box (and every other dialog box) that the
/// thread opens is read and closed at once with `command` (OK unless told
/// otherwise), so that no test waits for a user.
class MessageBoxCapture {
 public:
  explicit MessageBoxCapture(int command = IDOK);
  ~MessageBoxCapture();
  MessageBoxCapture(const MessageBoxCapture&) = delete;
  MessageBoxCapture& operator=(const MessageBoxCapture&) = delete;
  const std::vector<CapturedBox>& Boxes() const;

 private:
  UniqueHook hook_;
};

/// A new empty folder under the system's temporary folder, removed with
/// everything in it at the end.  Path() ends in a backslash.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::string& Path() const { return path_; }
  /// Writes a file below the folder and returns its full path.
  std::string Write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

/// The main dialog made modelessly from the "MAIN" template with the real
/// dialog procedure; destroyed at the end.
class MainDialogWindow {
 public:
  MainDialogWindow();
  HWND Get() const { return window_.Get(); }
  HWND Item(int id) const { return GetDlgItem(window_.Get(), id); }
  std::string Text(int id) const;
  void SetText(int id, const std::string& text) const;
  void Click(int id) const;
  /// Presses Scramble and handles this thread's messages until the run it
  /// started has ended and shown its report (at once when none started).
  void Scramble() const;

 private:
  UniqueWindow window_;
};

/// Records every text set on a window (WM_SETTEXT) while alive.
class TextRecorder {
 public:
  /// `onText`, when given, is called with each text as it is set.
  explicit TextRecorder(HWND window, std::function<void(const std::string&)> onText = nullptr);
  ~TextRecorder();
  TextRecorder(const TextRecorder&) = delete;
  TextRecorder& operator=(const TextRecorder&) = delete;
  const std::vector<std::string>& Texts() const { return texts_; }

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  HWND window_;
  WNDPROC previous_;
  std::vector<std::string> texts_;
  std::function<void(const std::string&)> onText_;
};

/// A control's rectangle in its dialog's client coordinates.
RECT ClientRectOf(HWND dialog, HWND control);

/// The middle of a control in its dialog's client coordinates.
POINT MiddleOf(HWND dialog, HWND control);

/// A drop as Explorer makes it: one file, dropped at `point` (client
/// coordinates of the dialog; `nonClient` when in its frame).  The window
/// that receives it in WM_DROPFILES frees it.
HGLOBAL MakeDrop(const std::string& path, POINT point, BOOL nonClient);

/// Text of a window as GetWindowTextA gives it, of any length.
std::string WindowText(HWND window);

/// The bundled example remittance.
std::string ExampleRemittance();

/// Names of the files in `folder` whose names match `pattern` (e.g. "~uw*").
std::vector<std::string> FilesMatching(const std::string& folder, const std::string& pattern);

/// The system's temporary folder, ending in a backslash.
std::string SystemTempFolder();
