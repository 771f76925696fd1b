// The main dialog "MAIN": its dialog procedure and the helpers it uses.
#pragma once

#include <windows.h>

#include <string>

#include "default_caption.h"
#include "resource_ids.h"


/// Start of the dialog's caption; the program's version follows it.
extern const char kCaptionPrefix[];

/// The dialog procedure of "MAIN"; exported by the program under this name.
extern "C" INT_PTR CALLBACK MAINDIALOGPROC(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

/// "major.minor.third" of the running program's product version, or "Error"
/// when the program's file carries no version information.
std::string ProgramVersionText();

/// Height of the progress bar in dialog units, and the least height of the
/// report box in a dialog of the smallest size.
constexpr LONG kProgressBarUnitsHigh = 8;
constexpr LONG kReportUnitsHighAtLeast = 24;

/// Stretches the report box to the client width less 4 pixels and down to
/// just above the progress bar, which stands just above the status bar,
/// as wide as the report box; nothing else moves.
void ResizeMainDialog(HWND dialog);

/// The smallest window size (in `size`) at which the dialog shows every
/// control whole: its fixed controls, three lines of the report box, the
/// progress bar and the status bar.  False before the controls are made.
bool MinimumDialogSize(HWND dialog, POINT* size);

/// True when a WM_SYSCOMMAND command, low four bits masked off, is SC_CLOSE.
bool IsCloseCommand(WPARAM command);

/// Text of a dialog control, at most 259 characters.
std::string ControlText(HWND dialog, int controlId);
