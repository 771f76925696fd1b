// Windows file access of the scanning library: files opened with every
// kind of sharing, so that a file held open elsewhere to be deleted when
// closed can still be opened, and the size of an open file.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>

#include "internal.h"
#include "x12scan.h"

namespace {

int ErrnoOf(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_TOO_MANY_OPEN_FILES:
      return EMFILE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    default:
      return EIO;
  }
}

}  // namespace

FILE* OpenFileShared(const std::string& path, const char* mode) {
  DWORD access = 0;
  DWORD disposition = 0;
  int flags = 0;
  switch (mode[0]) {
    case 'r':
      access = GENERIC_READ;
      disposition = OPEN_EXISTING;
      flags = _O_RDONLY;
      break;
    case 'w':
      access = GENERIC_WRITE;
      disposition = CREATE_ALWAYS;
      flags = _O_WRONLY;
      break;
    case 'a':
      access = GENERIC_WRITE;
      disposition = OPEN_ALWAYS;
      flags = _O_WRONLY | _O_APPEND;
      break;
    default:
      errno = EINVAL;
      return nullptr;
  }
  if (std::strchr(mode, '+') != nullptr) {
    access = GENERIC_READ | GENERIC_WRITE;
    flags = (flags & ~(_O_RDONLY | _O_WRONLY)) | _O_RDWR;
  }
  flags |= std::strchr(mode, 'b') != nullptr ? _O_BINARY : _O_TEXT;
  HANDLE handle = CreateFileA(path.c_str(), access,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    errno = ErrnoOf(GetLastError());
    return nullptr;
  }
  // From here the descriptor owns the handle, and then the stream the
  // descriptor.
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) {
    CloseHandle(handle);
    errno = EMFILE;
    return nullptr;
  }
  FILE* file = _fdopen(fd, mode);
  if (file == nullptr) {
    _close(fd);
    errno = ENOMEM;
  }
  return file;
}

bool OpenFileSize(FILE* file, uint64_t* size) {
  const intptr_t handle = _get_osfhandle(_fileno(file));
  LARGE_INTEGER value;
  if (handle == -1 || !GetFileSizeEx(reinterpret_cast<HANDLE>(handle), &value)) return false;
  *size = static_cast<uint64_t>(value.QuadPart);
  return true;
}
