// Printing the text of a rich-text control, page by page, on a printer the
// user picks in the Print Setup dialog.
#pragma once

#include <windows.h>
#include <richedit.h>

#include <cstdint>

/// Prints the whole text of `control` inside the margins (inches) and
/// returns the number of pages printed: 0 when the user cancels the
/// printer dialog or the control holds no text.
int32_t PrintRichEdit(HWND owner, HINSTANCE instance, HWND control, float leftMargin,
                      float rightMargin, float topMargin, float bottomMargin);

/// The printing rectangle in twips: the margins measured inwards from the
/// edges of the printable area (`horzRes` x `vertRes` device pixels at
/// `logPixelsX` x `logPixelsY` per inch).
RECT PrintRectangleTwips(int horzRes, int logPixelsX, int vertRes, int logPixelsY,
                         float leftMargin, float rightMargin, float topMargin, float bottomMargin);

/// Measures and draws pages of a character range on a printer.
class PageFormatter {
 public:
  virtual ~PageFormatter() = default;
  /// The index just after the last character that fits in `range.rc` from
  /// `range.chrg.cpMin` on; draws those characters when `draw` is set.
  virtual LONG FormatRange(FORMATRANGE& range, bool draw) = 0;
  virtual void StartPage() = 0;
  virtual void EndPage() = 0;
};

/// Why the page loop stopped.
enum class PageLoopStop {
  kPastEnd,     ///< a measurement ran past cpMax
  kBeforeStart, ///< a measurement fell below cpMin
  kNoProgress,  ///< a measurement returned cpMin itself: nothing more fits
};

struct PageLoopResult {
  int32_t pages;
  PageLoopStop stop;
};

/// Measures a page, prints it when its end lies in cpMin..cpMax and
/// moves on, until a measurement leaves that range or makes no progress.
/// Each page moves cpMin forward, so the loop always ends.
PageLoopResult RunPageLoop(PageFormatter& formatter, FORMATRANGE& range);
