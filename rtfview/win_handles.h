// Small owners for Win32 handles: each closes its handle exactly once, can
// be moved but not copied (a copy would close the handle twice).
#pragma once

#include <windows.h>

#include <utility>

template <typename Traits>
class UniqueWinHandle {
 public:
  using Handle = typename Traits::Handle;

  UniqueWinHandle() = default;
  explicit UniqueWinHandle(Handle handle) : handle_(handle) {}
  UniqueWinHandle(const UniqueWinHandle&) = delete;
  UniqueWinHandle& operator=(const UniqueWinHandle&) = delete;
  UniqueWinHandle(UniqueWinHandle&& other) noexcept : handle_(other.Release()) {}
  UniqueWinHandle& operator=(UniqueWinHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ~UniqueWinHandle() { Reset(); }

  Handle Get() const { return handle_; }
  bool Valid() const { return Traits::IsValid(handle_); }
  explicit operator bool() const { return Valid(); }

  /// Gives up ownership without closing.
  Handle Release() {
    Handle handle = handle_;
    handle_ = Traits::Invalid();
    return handle;
  }
  /// Closes the handle held (if any) and takes `handle`.
  void Reset(Handle handle = Traits::Invalid()) {
    if (Traits::IsValid(handle_)) Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

/// A kernel handle from CreateFile and friends (INVALID_HANDLE_VALUE when empty).
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(Handle h) { CloseHandle(h); }
};
using UniqueFileHandle = UniqueWinHandle<FileHandleTraits>;

/// A search handle from FindFirstFileA.
struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(Handle h) { FindClose(h); }
};
using UniqueFindHandle = UniqueWinHandle<FindHandleTraits>;

/// An icon loaded with LoadImageA without LR_SHARED.
struct IconTraits {
  using Handle = HICON;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { DestroyIcon(h); }
};
using UniqueIcon = UniqueWinHandle<IconTraits>;

/// A window hook from SetWindowsHookExA.
struct HookTraits {
  using Handle = HHOOK;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { UnhookWindowsHookEx(h); }
};
using UniqueHook = UniqueWinHandle<HookTraits>;

/// A window made with CreateWindowEx or CreateDialogParam.
struct WindowTraits {
  using Handle = HWND;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { DestroyWindow(h); }
};
using UniqueWindow = UniqueWinHandle<WindowTraits>;

/// A GDI object (brush, font, pen, bitmap) made by the program, deleted with DeleteObject.
struct GdiObjectTraits {
  using Handle = HGDIOBJ;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { DeleteObject(h); }
};
using UniqueGdiObject = UniqueWinHandle<GdiObjectTraits>;

/// A library loaded with LoadLibraryA.
struct LibraryTraits {
  using Handle = HMODULE;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { FreeLibrary(h); }
};
using UniqueLibrary = UniqueWinHandle<LibraryTraits>;

/// A device context made by CreateDC or returned by PrintDlgA, deleted with DeleteDC.
struct DeviceContextTraits {
  using Handle = HDC;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { DeleteDC(h); }
};
using UniqueDeviceContext = UniqueWinHandle<DeviceContextTraits>;
