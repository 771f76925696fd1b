// Choosing and checking the input and output paths of the main dialog.
#pragma once

#include <windows.h>
#include <commdlg.h>

#include <string>

/// Kinds of file dialog: the open dialog for the input path, the save
/// dialog for the output path.  Each kind remembers its own folder.
constexpr int kInputKind = 1;
constexpr int kOutputKind = 2;

/// Shows the open (input kind) or save (output kind) dialog, opening in the
/// folder of the last file chosen with that kind (the current directory at
/// the first call).  Returns the chosen full path, or an empty text when
/// the user cancelled or the dialog failed ("Yikes!!!" box).
std::string BrowseForFile(HWND dialog, int kind);

/// Checks the two path fields.  Returns 0 when a run may start; otherwise
/// the id of the field to correct (101 or 105) with `message` set.
int ValidateFileFields(HWND dialog, std::string& message);

/// The system services BrowseForFile calls.  Tests put their own in to
/// stand for the user's choice; the defaults are the system's dialogs.
struct FileDialogServices {
  BOOL(WINAPI* open)(LPOPENFILENAMEA) = GetOpenFileNameA;
  BOOL(WINAPI* save)(LPOPENFILENAMEA) = GetSaveFileNameA;
  DWORD(WINAPI* extendedError)() = CommDlgExtendedError;
};
void SetFileDialogServices(const FileDialogServices& services);
