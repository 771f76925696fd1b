// dialog_probe ID: prints the text of control ID of the running program's
// main dialog (found by its caption).  Exit status 1 when the dialog is not
// open.  Used by the end-to-end test to read the status bar and report box.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  HWND dialog = FindWindowA("#32770", "Quorvel Systems Inc. '835' Remittance De-Identifier version 2.1.1");
  if (dialog == nullptr) return 1;
  HWND control = GetDlgItem(dialog, std::atoi(argv[1]));
  if (control == nullptr) return 1;
  // GetWindowTextA does not ask a control of another process for its text:
  // send WM_GETTEXT.  A busy program answers when it is done; the caller's
  // time limit on the whole probe covers a program that never answers.
  const LRESULT length = SendMessageA(control, WM_GETTEXTLENGTH, 0, 0);
  if (length < 0) return 1;
  std::string text(static_cast<size_t>(length) + 1, '\0');
  const LRESULT got = SendMessageA(control, WM_GETTEXT, static_cast<WPARAM>(length) + 1,
                                   reinterpret_cast<LPARAM>(&text[0]));
  if (got < 0 || got > length) return 1;
  _setmode(_fileno(stdout), _O_BINARY);  // the text as it is, CR LF included
  std::fwrite(text.data(), 1, static_cast<size_t>(got), stdout);
  return 0;
}
