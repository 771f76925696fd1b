// The rich-text viewer: a modal dialog ("RTFABOUT") that shows an RTF
// document taken from the program's resources in a read-only pane, opens
// the links in it with the shell and can print it.
#pragma once

#include <windows.h>

#include <cstdint>

/// What ShowRtfViewer hands the dialog as its creation parameter.
struct RtfViewerParams {
  char className[64];     ///< window class of the rich-text control
  const char* caption;    ///< the dialog's title; null keeps the template's
  ULONG_PTR resourceType; ///< integer id below 65536, else a pointer to a name
  ULONG_PTR resourceName; ///< same rule
  int32_t allowPrint;     ///< 0 removes the Print button
};

/// Control ids of the viewer dialog.
enum : int {
  kViewerCloseId = 1,
  kViewerPaneId = 102,
  kViewerPrintId = 103,
  kViewerLogoId = 104,
};

/// Loads the rich-edit library and runs the viewer modally; the library is
/// unloaded when it ends.  0 when no rich-edit library is found (after a
/// message box saying so), else the dialog's result.
int32_t ShowRtfViewer(HWND owner, const char* caption, HINSTANCE instance, const char* resourceType,
                      const char* resourceName, int32_t allowPrint);

/// Loads "RICHED20.DLL" (class "RichEdit20A") or else "RICHED32.DLL"
/// (class "RichEdit"); writes the class into `className` (64 bytes) only
/// when one of them loads.  The library's handle, or null.
HMODULE LoadRichEditLibrary(char* className);

/// -1 when `value`, as an unsigned 32-bit number, is below 65536 (an
/// integer resource identifier); 0 otherwise.
int32_t IsResourceId(ULONG_PTR value);

/// Streams the zero-terminated `text` into the rich-text `control` in the
/// stream `format` (SF_RTF).  Always 1.
int32_t StreamRtfFromText(HWND control, const char* text, int32_t format);

/// Places the pane and the buttons by the client size of `dialog`.
void LayoutRtfViewer(HWND dialog);

/// The viewer's dialog procedure; exported by the program under this name.
extern "C" INT_PTR CALLBACK RTFADIALOGPROC(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

/// Window procedure put in front of the rich-text control: it lets only the
/// scrolling keys and the left mouse button through.
LRESULT CALLBACK RtfViewFilterProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

/// How a clicked link is opened: ShellExecuteA with "open" unless a test
/// puts something else in.  Returns the opener that was in place.
using LinkOpener = void (*)(HWND dialog, const char* link);
LinkOpener SetLinkOpener(LinkOpener opener);

/// The library names tried, in order, with their classes; tests replace
/// them to see the failure path.  Returns the table that was in place.
struct RichEditLibraryName {
  const char* library;
  const char* className;
};
const RichEditLibraryName* SetRichEditLibraryNames(const RichEditLibraryName* names, int count,
                                                   int* previousCount);
