#include "rich_edit_print.h"

#include <commdlg.h>

#include <cmath>
#include <string>

#include "win_handles.h"

namespace {

constexpr int kTwipsPerInch = 1440;
constexpr int kFallbackPointSize = 10;

// The control's own formatter: EM_FORMATRANGE.
class RichEditFormatter : public PageFormatter {
 public:
  RichEditFormatter(HWND control, HDC printer) : control_(control), printer_(printer) {}
  LONG FormatRange(FORMATRANGE& range, bool draw) override {
    return static_cast<LONG>(
        SendMessageA(control_, EM_FORMATRANGE, draw ? TRUE : FALSE, reinterpret_cast<LPARAM>(&range)));
  }
  void StartPage() override { ::StartPage(printer_); }
  void EndPage() override { ::EndPage(printer_); }

 private:
  HWND control_;
  HDC printer_;
};

// The program's own formatter, for rich-edit controls that cannot format
// for a printer (Wine's answers every EM_FORMATRANGE with 0): the control's
// plain text, word-wrapped into the same rectangle in one printer font,
// page after page.  Offsets are into that text; the last page ends at its
// length, which the caller takes as cpMax.
class PlainTextFormatter : public PageFormatter {
 public:
  PlainTextFormatter(HWND control, HDC printer) : printer_(printer) {
    LRESULT length = SendMessageA(control, WM_GETTEXTLENGTH, 0, 0);
    if (length > 0) {
      text_.resize(static_cast<size_t>(length) + 1);
      LRESULT got = SendMessageA(control, WM_GETTEXT, text_.size(), reinterpret_cast<LPARAM>(&text_[0]));
      text_.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
    for (char& c : text_) {
      if (c == '\t') c = ' ';
    }
    LOGFONTA face{};
    face.lfHeight = -MulDiv(kFallbackPointSize, GetDeviceCaps(printer, LOGPIXELSY), 72);
    face.lfWeight = FW_NORMAL;
    face.lfCharSet = ANSI_CHARSET;
    lstrcpynA(face.lfFaceName, "Tahoma", LF_FACESIZE);
    font_.Reset(CreateFontIndirectA(&face));
  }

  LONG Length() const { return static_cast<LONG>(text_.size()); }

  LONG FormatRange(FORMATRANGE& range, bool draw) override {
    const int dpiX = GetDeviceCaps(printer_, LOGPIXELSX);
    const int dpiY = GetDeviceCaps(printer_, LOGPIXELSY);
    const int left = MulDiv(range.rc.left, dpiX, kTwipsPerInch);
    const int right = MulDiv(range.rc.right, dpiX, kTwipsPerInch);
    const int top = MulDiv(range.rc.top, dpiY, kTwipsPerInch);
    const int bottom = MulDiv(range.rc.bottom, dpiY, kTwipsPerInch);
    const LONG end = range.chrg.cpMax < Length() ? range.chrg.cpMax : Length();
    HGDIOBJ previous = SelectObject(printer_, font_.Get());
    TEXTMETRICA metrics{};
    GetTextMetricsA(printer_, &metrics);
    const int lineHeight = metrics.tmHeight + metrics.tmExternalLeading;
    if (draw) SetBkMode(printer_, TRANSPARENT);
    LONG pos = range.chrg.cpMin < 0 ? 0 : range.chrg.cpMin;
    int y = top;
    while (pos < end && lineHeight > 0 && y + lineHeight <= bottom) {
      LONG lineEnd = pos;
      while (lineEnd < end && text_[lineEnd] != '\r' && text_[lineEnd] != '\n') ++lineEnd;
      int fit = 0;
      SIZE size{};
      GetTextExtentExPointA(printer_, text_.data() + pos, lineEnd - pos, right - left, &fit,
                            nullptr, &size);
      LONG count = fit;
      LONG next;
      if (count < lineEnd - pos) {
        // Break at the last space that fits; a word longer than the line is
        // cut, and at least one character goes on each line.
        LONG space = pos + count;
        while (space > pos && text_[space] != ' ') --space;
        if (space > pos) {
          count = space - pos;
          next = space + 1;
        } else {
          if (count == 0) count = 1;
          next = pos + count;
        }
      } else {
        next = lineEnd;
        if (next < end && text_[next] == '\r') ++next;
        if (next < end && text_[next] == '\n') ++next;
      }
      if (draw && count > 0) TextOutA(printer_, left, y, text_.data() + pos, count);
      y += lineHeight;
      pos = next;
    }
    SelectObject(printer_, previous);
    return pos;
  }
  void StartPage() override { ::StartPage(printer_); }
  void EndPage() override { ::EndPage(printer_); }

 private:
  HDC printer_;
  std::string text_;
  UniqueGdiObject font_;
};

LONG Twips(float inches) { return static_cast<LONG>(std::lround(kTwipsPerInch * inches)); }

}  // namespace

RECT PrintRectangleTwips(int horzRes, int logPixelsX, int vertRes, int logPixelsY,
                         float leftMargin, float rightMargin, float topMargin, float bottomMargin) {
  const long long pageWidth = logPixelsX > 0 ? 1LL * kTwipsPerInch * horzRes / logPixelsX : 0;
  const long long pageHeight = logPixelsY > 0 ? 1LL * kTwipsPerInch * vertRes / logPixelsY : 0;
  RECT r{};
  r.left = Twips(leftMargin);
  r.top = Twips(topMargin);
  r.right = static_cast<LONG>(pageWidth - Twips(rightMargin));
  r.bottom = static_cast<LONG>(pageHeight - Twips(bottomMargin));
  return r;
}

PageLoopResult RunPageLoop(PageFormatter& formatter, FORMATRANGE& range) {
  int32_t pages = 0;
  for (;;) {
    LONG next = formatter.FormatRange(range, false);
    if (next > range.chrg.cpMax) return {pages, PageLoopStop::kPastEnd};
    if (next < range.chrg.cpMin) return {pages, PageLoopStop::kBeforeStart};
    if (next == range.chrg.cpMin) return {pages, PageLoopStop::kNoProgress};
    formatter.StartPage();
    formatter.FormatRange(range, true);
    ++pages;
    formatter.EndPage();
    range.chrg.cpMin = next;
  }
}

int32_t PrintRichEdit(HWND owner, HINSTANCE instance, HWND control, float leftMargin,
                      float rightMargin, float topMargin, float bottomMargin) {
  PRINTDLGA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.Flags = PD_NOPAGENUMS | PD_PRINTSETUP | PD_RETURNDC;
  dialog.hInstance = instance;
  if (!PrintDlgA(&dialog)) return 0;
  // The dialog hands back its printer settings too; nothing keeps them.
  if (dialog.hDevMode != nullptr) GlobalFree(dialog.hDevMode);
  if (dialog.hDevNames != nullptr) GlobalFree(dialog.hDevNames);
  UniqueDeviceContext printer(dialog.hDC);
  HDC dc = printer.Get();

  SetCursor(LoadCursor(nullptr, IDC_WAIT));
  FORMATRANGE range{};
  range.hdc = dc;
  range.hdcTarget = dc;
  range.rc = PrintRectangleTwips(GetDeviceCaps(dc, HORZRES), GetDeviceCaps(dc, LOGPIXELSX),
                                 GetDeviceCaps(dc, VERTRES), GetDeviceCaps(dc, LOGPIXELSY),
                                 leftMargin, rightMargin, topMargin, bottomMargin);
  range.rcPage = range.rc;

  char documentName[200] = "RTF Printer";
  DOCINFOA document{};
  document.cbSize = sizeof document;
  document.lpszDocName = documentName;
  StartDocA(dc, &document);

  const LONG length = static_cast<LONG>(SendMessageA(control, WM_GETTEXTLENGTH, 0, 0));
  int32_t pages = 0;
  if (length > 0) {
    range.chrg.cpMin = 0;
    range.chrg.cpMax = length - 1;
    RichEditFormatter own(control, dc);
    PageLoopResult result = RunPageLoop(own, range);
    pages = result.pages;
    if (pages == 0 && result.stop == PageLoopStop::kNoProgress) {
      // The control formatted nothing of a text that is there: print its
      // text through the program's own formatter instead.
      PlainTextFormatter fallback(control, dc);
      FORMATRANGE plain = range;
      plain.chrg.cpMin = 0;
      plain.chrg.cpMax = fallback.Length();
      pages = RunPageLoop(fallback, plain).pages;
    }
  }
  SendMessageA(control, EM_FORMATRANGE, TRUE, 0);
  EndDoc(dc);
  printer.Reset();
  SetCursor(LoadCursor(nullptr, IDC_ARROW));
  return pages;
}
