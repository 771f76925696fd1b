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

/// Traits of a handle whose empty value is INVALID_HANDLE_VALUE (null is
/// treated as empty too), closed by `close`.
template <auto close>
struct InvalidValueHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(Handle h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  static void Close(Handle h) { close(h); }
};

/// A kernel handle from CreateFile and friends.
using UniqueFileHandle = UniqueWinHandle<InvalidValueHandleTraits<&CloseHandle>>;
/// A search handle from FindFirstFileA.
using UniqueFindHandle = UniqueWinHandle<InvalidValueHandleTraits<&FindClose>>;

/// Traits of a handle type whose empty value is null, closed by `close`.
template <typename H, auto close>
struct NullHandleTraits {
  using Handle = H;
  static Handle Invalid() { return nullptr; }
  static bool IsValid(Handle h) { return h != nullptr; }
  static void Close(Handle h) { close(h); }
};

/// An icon loaded with LoadImageA without LR_SHARED.
using UniqueIcon = UniqueWinHandle<NullHandleTraits<HICON, &DestroyIcon>>;
/// A window hook from SetWindowsHookExA.
using UniqueHook = UniqueWinHandle<NullHandleTraits<HHOOK, &UnhookWindowsHookEx>>;
/// A window made with CreateWindowEx or CreateDialogParam.
using UniqueWindow = UniqueWinHandle<NullHandleTraits<HWND, &DestroyWindow>>;
/// A GDI object (brush, font, pen, bitmap) made by the program, deleted with DeleteObject.
using UniqueGdiObject = UniqueWinHandle<NullHandleTraits<HGDIOBJ, &DeleteObject>>;
/// A library loaded with LoadLibraryA.
using UniqueLibrary = UniqueWinHandle<NullHandleTraits<HMODULE, &FreeLibrary>>;
/// A device context made by CreateDC or returned by PrintDlgA, deleted with DeleteDC.
using UniqueDeviceContext = UniqueWinHandle<NullHandleTraits<HDC, &DeleteDC>>;
