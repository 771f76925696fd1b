#include "rtf_viewer.h"

#include <richedit.h>
#include <shellapi.h>

#include <cstring>
#include <string>

#include "default_caption.h"
#include "rich_edit_print.h"
#include "win_handles.h"

namespace {

// Process-wide state of the viewer windows (one is open at a time).
UniqueGdiObject viewerBrush;  // the dialog's background
HBRUSH faceBrush = nullptr;   // face of an enabled button (stock, not deleted)
int borderWidth = 0;
int borderHeight = 0;
WNDPROC savedEditProc = nullptr;
UniqueGdiObject buttonFont;   // the heavy font of Close and Print

constexpr COLORREF kViewerBackground = RGB(148, 172, 117);
constexpr DWORD kPaneStyle =
    WS_CHILD | WS_VISIBLE | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_SUNKEN | ES_SAVESEL;
constexpr float kPrintMargin = 0.75f;
constexpr int kLinkBufferSize = 260;

void OpenWithShell(HWND dialog, const char* link) {
  // A link that cannot be opened leaves the viewer as it is.
  ShellExecuteA(dialog, "open", link, nullptr, nullptr, SW_SHOWNORMAL);
}
LinkOpener linkOpener = OpenWithShell;

const RichEditLibraryName kSystemLibraries[] = {{"RICHED20.DLL", "RichEdit20A"},
                                                {"RICHED32.DLL", "RichEdit"}};
const RichEditLibraryName* libraryNames = kSystemLibraries;
int libraryCount = 2;

// The stream-in cursor over a text.
struct TextStreamCursor {
  const char* text;
  LONG length;
  LONG position;
};

DWORD CALLBACK TextStreamCallback(DWORD_PTR cookie, LPBYTE buffer, LONG cb, LONG* transferred) {
  auto* cursor = reinterpret_cast<TextStreamCursor*>(cookie);
  LONG count = cursor->length - cursor->position;
  if (cb < count) count = cb;
  *transferred = count;
  if (count != 0) {
    std::memcpy(buffer, cursor->text + cursor->position, count);
    cursor->position += count;
  }
  return 0;
}

// The document text: a copy of the resource's bytes, empty when it is
// missing or unreadable (after telling the user which).
std::string ReadDocument(const RtfViewerParams& params) {
  std::string type = IsResourceId(params.resourceType)
                         ? std::string()
                         : std::string(reinterpret_cast<const char*>(params.resourceType));
  std::string name = IsResourceId(params.resourceName)
                         ? std::string()
                         : std::string(reinterpret_cast<const char*>(params.resourceName));
  LPCSTR typeArg = IsResourceId(params.resourceType) ? MAKEINTRESOURCEA(params.resourceType)
                                                     : type.c_str();
  LPCSTR nameArg = IsResourceId(params.resourceName) ? MAKEINTRESOURCEA(params.resourceName)
                                                     : name.c_str();
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC found = FindResourceA(module, nameArg, typeArg);
  if (found == nullptr) {
    MessageBoxA(nullptr, "Resource Not found", kDefaultCaption, MB_OK);
    return std::string();
  }
  HGLOBAL loaded = LoadResource(module, found);
  if (loaded == nullptr) {
    MessageBoxA(nullptr, "Could not load Resource, should not happen. Ever. ", "ResourceAsString",
                MB_OK);
  }
  DWORD size = SizeofResource(module, found);
  const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
  if (size == 0 || bytes == nullptr) return std::string();
  return std::string(static_cast<const char*>(bytes), size);
}

void OnInitDialog(HWND dialog, const RtfViewerParams& params) {
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), "RTFABOUT");  // shared: not destroyed
  SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

  HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
  HWND pane = CreateWindowExA(WS_EX_CLIENTEDGE, params.className, "Dummy Text", kPaneStyle, 0, 0,
                              100, 100, dialog, reinterpret_cast<HMENU>(kViewerPaneId), instance,
                              nullptr);
  if (pane == nullptr) MessageBoxA(nullptr, "Can't create RT box", kDefaultCaption, MB_OK);
  if (pane != nullptr) {
    // The control's own procedure is stored before the filter goes in, so
    // that the filter can pass on the very first message it sees.
    LONG_PTR own = GetWindowLongPtrA(pane, GWLP_WNDPROC);
    SetWindowLongPtrA(dialog, DWLP_USER, own);
    savedEditProc = reinterpret_cast<WNDPROC>(own);
    SetWindowLongPtrA(pane, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RtfViewFilterProc));
  }
  SendMessageA(pane, EM_AUTOURLDETECT, TRUE, 0);
  SendMessageA(pane, EM_SETEVENTMASK, 0, ENM_LINK);

  std::string document = ReadDocument(params);
  StreamRtfFromText(pane, document.c_str(), SF_RTF);

  viewerBrush.Reset(CreateSolidBrush(kViewerBackground));
  faceBrush = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  borderWidth = GetSystemMetrics(SM_CXBORDER);
  borderHeight = GetSystemMetrics(SM_CYBORDER);

  LOGFONTA heavy{};
  GetObjectA(GetStockObject(SYSTEM_FONT), sizeof heavy, &heavy);
  heavy.lfWeight = 900;
  buttonFont.Reset(CreateFontIndirectA(&heavy));
  SendDlgItemMessageA(dialog, kViewerCloseId, WM_SETFONT,
                      reinterpret_cast<WPARAM>(buttonFont.Get()), FALSE);
  if (params.allowPrint == 0) {
    DestroyWindow(GetDlgItem(dialog, kViewerPrintId));
  } else {
    SendDlgItemMessageA(dialog, kViewerPrintId, WM_SETFONT,
                        reinterpret_cast<WPARAM>(buttonFont.Get()), FALSE);
  }
  if (params.caption != nullptr) SetWindowTextA(dialog, params.caption);
  LayoutRtfViewer(dialog);
}

void OnDestroy(HWND dialog) {
  viewerBrush.Reset();
  buttonFont.Reset();
  HWND pane = GetDlgItem(dialog, kViewerPaneId);
  LONG_PTR own = GetWindowLongPtrA(dialog, DWLP_USER);
  if (pane != nullptr && own != 0) SetWindowLongPtrA(pane, GWLP_WNDPROC, own);
  SetWindowLongPtrA(dialog, DWLP_USER, 0);
  savedEditProc = nullptr;
}

void OnLinkNotify(HWND dialog, WPARAM wParam, const NMHDR* header) {
  if (LOWORD(wParam) != kViewerPaneId || header->code != EN_LINK) return;
  const auto* link = reinterpret_cast<const ENLINK*>(header);
  if (link->msg != WM_LBUTTONUP) return;
  HWND pane = GetDlgItem(dialog, kViewerPaneId);
  // A link longer than the buffer is not opened: a cut address would open
  // the wrong place.
  if (link->chrg.cpMax - link->chrg.cpMin >= kLinkBufferSize) return;
  SendMessageA(pane, EM_SETSEL, link->chrg.cpMin, link->chrg.cpMax);
  char text[kLinkBufferSize] = {};
  SendMessageA(pane, EM_GETSELTEXT, 0, reinterpret_cast<LPARAM>(text));
  linkOpener(dialog, text);
}

void DrawViewerButton(const DRAWITEMSTRUCT& item) {
  char text[36] = {};
  GetWindowTextA(item.hwndItem, text, sizeof text);
  RECT r = item.rcItem;
  bool selected = (item.itemState & ODS_SELECTED) != 0;
  if (selected) OffsetRect(&r, 2, 2);
  FrameRect(item.hDC, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  if (IsWindowEnabled(item.hwndItem)) FillRect(item.hDC, &r, faceBrush);
  DrawEdge(item.hDC, &r, selected ? EDGE_SUNKEN : EDGE_RAISED, BF_RECT);
  SetBkMode(item.hDC, TRANSPARENT);
  SetTextColor(item.hDC, 0);
  DrawTextA(item.hDC, text, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  if (item.itemState & ODS_FOCUS) {
    InflateRect(&r, -3 * borderWidth, -3 * borderHeight);
    DrawFocusRect(item.hDC, &r);
  }
}

bool IsShiftDown() { return (GetKeyState(VK_SHIFT) & 0x8000) != 0; }

}  // namespace

LinkOpener SetLinkOpener(LinkOpener opener) {
  LinkOpener previous = linkOpener;
  linkOpener = opener != nullptr ? opener : OpenWithShell;
  return previous;
}

const RichEditLibraryName* SetRichEditLibraryNames(const RichEditLibraryName* names, int count,
                                                   int* previousCount) {
  const RichEditLibraryName* previous = libraryNames;
  if (previousCount != nullptr) *previousCount = libraryCount;
  libraryNames = names != nullptr ? names : kSystemLibraries;
  libraryCount = names != nullptr ? count : 2;
  return previous;
}

HMODULE LoadRichEditLibrary(char* className) {
  for (int i = 0; i < libraryCount; ++i) {
    HMODULE library = LoadLibraryA(libraryNames[i].library);
    if (library != nullptr) {
      lstrcpynA(className, libraryNames[i].className, 64);
      return library;
    }
  }
  return nullptr;
}

int32_t IsResourceId(ULONG_PTR value) {
  return static_cast<uint32_t>(value) < 65536u && value == static_cast<uint32_t>(value) ? -1 : 0;
}

int32_t StreamRtfFromText(HWND control, const char* text, int32_t format) {
  TextStreamCursor cursor{text, static_cast<LONG>(std::strlen(text)), 0};
  EDITSTREAM stream{};
  stream.dwCookie = reinterpret_cast<DWORD_PTR>(&cursor);
  stream.dwError = 0;
  stream.pfnCallback = TextStreamCallback;
  SendMessageA(control, EM_STREAMIN, static_cast<WPARAM>(format), reinterpret_cast<LPARAM>(&stream));
  return 1;
}

void LayoutRtfViewer(HWND dialog) {
  RECT client{};
  GetClientRect(dialog, &client);
  const int w = client.right;
  const int h = client.bottom;
  SetWindowPos(GetDlgItem(dialog, kViewerPaneId), nullptr, 4, 4, w - 8, h - 70, SWP_NOZORDER);
  constexpr UINT kMove = SWP_NOZORDER | SWP_NOSIZE;
  SetWindowPos(GetDlgItem(dialog, kViewerCloseId), nullptr, w - 120, h - 56, 0, 0, kMove);
  HWND print = GetDlgItem(dialog, kViewerPrintId);
  if (print != nullptr) SetWindowPos(print, nullptr, w - 240, h - 56, 0, 0, kMove);
  SetWindowPos(GetDlgItem(dialog, kViewerLogoId), nullptr, 4, h - 89, 0, 0, kMove);
}

int32_t ShowRtfViewer(HWND owner, const char* caption, HINSTANCE instance, const char* resourceType,
                      const char* resourceName, int32_t allowPrint) {
  RtfViewerParams params{};
  UniqueLibrary library(LoadRichEditLibrary(params.className));
  if (!library) {
    MessageBoxA(nullptr, "Can't find Rich Edit library in this system!", "Oops!",
                MB_OK | MB_ICONHAND);
    return 0;
  }
  params.caption = caption != nullptr && caption[0] != '\0' ? caption : nullptr;
  params.resourceType = reinterpret_cast<ULONG_PTR>(resourceType);
  params.resourceName = reinterpret_cast<ULONG_PTR>(resourceName);
  params.allowPrint = allowPrint;
  HINSTANCE module = instance != nullptr ? instance : GetModuleHandleA(nullptr);
  INT_PTR result = DialogBoxParamA(module, "RTFABOUT", owner, RTFADIALOGPROC,
                                   reinterpret_cast<LPARAM>(&params));
  return static_cast<int32_t>(result);
}

extern "C" INT_PTR CALLBACK RTFADIALOGPROC(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog(dialog, *reinterpret_cast<const RtfViewerParams*>(lParam));
      return FALSE;
    case WM_DESTROY:
      OnDestroy(dialog);
      return FALSE;
    case WM_SIZE:
      if (!IsIconic(dialog)) LayoutRtfViewer(dialog);
      return FALSE;
    case WM_CTLCOLORDLG:
      return reinterpret_cast<INT_PTR>(viewerBrush.Get());
    case WM_NOTIFY:
      OnLinkNotify(dialog, wParam, reinterpret_cast<const NMHDR*>(lParam));
      return FALSE;
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item->CtlID != kViewerCloseId && item->CtlID != kViewerPrintId) return FALSE;
      DrawViewerButton(*item);
      return TRUE;
    }
    case WM_COMMAND:
      if (LOWORD(wParam) == kViewerCloseId) {
        EndDialog(dialog, 0);
      } else if (LOWORD(wParam) == kViewerPrintId) {
        HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
        PrintRichEdit(dialog, instance, GetDlgItem(dialog, kViewerPaneId), kPrintMargin,
                      kPrintMargin, kPrintMargin, kPrintMargin);
      }
      return FALSE;
    default:
      return FALSE;
  }
}

LRESULT CALLBACK RtfViewFilterProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  WNDPROC own = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(GetParent(window), DWLP_USER));
  if (own == nullptr) own = savedEditProc;
  switch (message) {
    case WM_SETFOCUS:
    case WM_SETCURSOR:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
    case WM_MBUTTONDBLCLK:
      return 0;
    case WM_KEYDOWN:
      switch (wParam) {
        case VK_UP:
        case VK_DOWN:
        case VK_PRIOR:
        case VK_NEXT:
        case VK_HOME:
        case VK_END:
        case VK_TAB:
        case VK_SPACE:
          if (IsShiftDown()) return 0;
          break;
        default:
          return 1;
      }
      break;
    default:
      break;
  }
  return own != nullptr ? CallWindowProcA(own, window, message, wParam, lParam)
                        : DefWindowProcA(window, message, wParam, lParam);
}
