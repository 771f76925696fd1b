// Windows versions of the file-system services in platform.h, shared by the
// Windows program and the Windows build of the command-line tool.
#include "platform.h"

#include <windows.h>
#include <aclapi.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "win_files.h"
#include "win_handles.h"

namespace {

int32_t LastErrorOr(DWORD fallback) {
  DWORD code = GetLastError();
  return static_cast<int32_t>(code != 0 ? code : fallback);
}

bool IsSkippedEntry(const WIN32_FIND_DATAA& entry) {
  const DWORD skipped = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY;
  return std::strcmp(entry.cFileName, ".") == 0 || std::strcmp(entry.cFileName, "..") == 0 ||
         (entry.dwFileAttributes & skipped) != 0;
}

UniqueFileHandle OpenForQuery(const std::string& path) {
  // No access rights asked for, every sharing allowed: this only reads the
  // file's identity and works on files that others hold open.
  return UniqueFileHandle(CreateFileA(path.c_str(), 0,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// Registry of temporary files for the console control handler, which runs
// on a thread of its own: fixed slots of plain characters.
constexpr int kTempSlots = 16;
char gTempPaths[kTempSlots][MAX_PATH + 1];
std::atomic<bool> gTempUsed[kTempSlots];

void DeleteRegistered() {
  for (int i = 0; i < kTempSlots; ++i) {
    if (gTempUsed[i].load()) DeleteFileA(gTempPaths[i]);
  }
}

BOOL WINAPI DeleteRegisteredOnInterrupt(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      DeleteRegistered();
      // As Windows' own handler does; Wine's would end with status 0, which
      // would pass an interrupted run for a successful one.
      ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      DeleteRegistered();
      break;
    default:
      break;
  }
  return FALSE;  // the default handler then ends the process
}

// Sets or clears the file's mark for deletion when its last handle closes.
bool MarkForDeletion(HANDLE file, bool deleteIt) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = deleteIt ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                    sizeof disposition) != FALSE;
}

// Outputs in the making, marked for deletion: a second handle that keeps
// each one after its stream is closed, until it is unmarked and moved into
// place or let go of.  As many as the run makes: a pool holds every output
// until all are complete.
struct MarkedOutput {
  HANDLE handle = nullptr;
  std::string path;
};
std::mutex gOutputMutex;
std::vector<MarkedOutput> gOutputs;

bool KeepMarkedOutput(HANDLE handle, const std::string& path) {
  std::lock_guard<std::mutex> lock(gOutputMutex);
  try {
    for (MarkedOutput& slot : gOutputs) {
      if (slot.handle == nullptr) {
        slot.path = path;
        slot.handle = handle;
        return true;
      }
    }
    gOutputs.push_back(MarkedOutput{handle, path});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

// The kept handle of the output at `path`, taken out of the list; null
// when there is none.
HANDLE TakeMarkedOutput(const std::string& path) {
  std::lock_guard<std::mutex> lock(gOutputMutex);
  for (MarkedOutput& slot : gOutputs) {
    if (slot.handle != nullptr && slot.path == path) {
      HANDLE handle = slot.handle;
      slot.handle = nullptr;
      slot.path.clear();
      return handle;
    }
  }
  return nullptr;
}

}  // namespace

bool RestrictToOwner(const std::string& path) {
  HANDLE rawToken = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return false;
  UniqueFileHandle token(rawToken);
  DWORD size = 0;
  GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) return false;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());

  EXPLICIT_ACCESS_A access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = NO_INHERITANCE;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  access.Trustee.ptstrName = static_cast<LPSTR>(user->User.Sid);
  PACL acl = nullptr;
  if (SetEntriesInAclA(1, &access, nullptr, &acl) != ERROR_SUCCESS) return false;
  // Protected: nothing is inherited from the folder, so the owner's entry
  // is the only one.
  DWORD result = SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION |
                                           PROTECTED_DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, acl, nullptr);
  LocalFree(acl);
  return result == ERROR_SUCCESS;
}

bool FileSearchFindsPlainFile(const std::string& pattern) {
  if (pattern.empty()) return false;
  std::string search = pattern;
  if (search.back() == '\\' || search.back() == ':') search += "*.*";
  WIN32_FIND_DATAA entry{};
  UniqueFindHandle find(FindFirstFileA(search.c_str(), &entry));
  if (!find) return false;
  do {
    if (!IsSkippedEntry(entry)) return true;
  } while (FindNextFileA(find.Get(), &entry));
  return false;
}

int32_t MakeTempFileName(const std::string& prefix, std::string& path) {
  char folder[MAX_PATH + 1] = {};
  DWORD length = GetTempPathA(sizeof folder, folder);
  if (length == 0 || length > MAX_PATH) return LastErrorOr(ERROR_BUFFER_OVERFLOW);
  // GetTempFileNameA creates the file, empty, under a name nobody holds.
  char name[MAX_PATH + 1] = {};
  const std::string shortPrefix = prefix.substr(0, 3);
  if (GetTempFileNameA(folder, shortPrefix.c_str(), 0, name) == 0) {
    return LastErrorOr(ERROR_FILE_NOT_FOUND);
  }
  // The file will hold identifying data.  The user's own temporary folder
  // already keeps other users out, but TMP may name a shared one: limit the
  // file to its owner.  A file system without access rights (FAT) cannot,
  // and the file is still used there.
  RestrictToOwner(name);
  RegisterTempFile(name);
  path = name;
  return 0;
}

int32_t CreatePrivateTempFile(const std::string& prefix, PrivateTempFile& file) {
  std::string name;
  // MakeTempFileName registers the new file for deletion on an interrupt.
  if (int32_t code = MakeTempFileName(prefix, name)) return code;
  // The handle kept for the run deletes the file when it closes, however
  // the process ends.
  HANDLE handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                              nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const int32_t code = LastErrorOr(ERROR_ACCESS_DENIED);
    DeleteFileA(name.c_str());
    ForgetTempFile(name);
    return code;
  }
  file.path = name;
  file.handle = reinterpret_cast<intptr_t>(handle);
  file.named = true;
  return 0;
}

void ClosePrivateTempFile(PrivateTempFile& file) {
  // Forgotten first: an interrupt from here on ends the process, which
  // closes the handle all the same.  Closing the handle deletes the file
  // (once any other handle to it is closed too); the name is not deleted
  // again, as another process may hold it by then.
  if (!file.path.empty()) ForgetTempFile(file.path);
  if (file.handle != -1) CloseHandle(reinterpret_cast<HANDLE>(file.handle));
  file = PrivateTempFile();
}

void DiscardFileRange(const PrivateTempFile& file, uint64_t offset, uint64_t size) {
  // The file is not sparse: its bytes stay until it is deleted.
  (void)file;
  (void)offset;
  (void)size;
}

int32_t RemoveFile(const std::string& path) {
  if (path.empty()) return 0;
  if (HANDLE marked = TakeMarkedOutput(path)) {
    CloseHandle(marked);  // marked for deletion: gone once its stream is closed too
    return 0;
  }
  if (DeleteFileA(path.c_str())) return 0;
  DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return 0;
  return static_cast<int32_t>(code);
}

bool IsRegularFile(const std::string& path) { return InputFileProblem(path).empty(); }

std::string InputFileProblem(const std::string& path) {
  if (path.empty()) return PlatformErrorText(ERROR_FILE_NOT_FOUND);
  if (path.find_first_of("*?") != std::string::npos) return PlatformErrorText(ERROR_INVALID_NAME);
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return PlatformErrorText(LastErrorOr(ERROR_FILE_NOT_FOUND));
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "Is a directory";
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return "not a regular file";
  return std::string();
}

std::string FolderProblem(const std::string& path) {
  if (path.empty()) return PlatformErrorText(ERROR_PATH_NOT_FOUND);
  if (path.find_first_of("*?") != std::string::npos) return PlatformErrorText(ERROR_INVALID_NAME);
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return PlatformErrorText(LastErrorOr(ERROR_PATH_NOT_FOUND));
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return "Not a directory";
  return std::string();
}

bool IsUsableOutputPath(const std::string& path) { return OutputPathProblem(path).empty(); }

std::string OutputPathProblem(const std::string& path) {
  if (FileSearchFindsPlainFile(path)) return std::string();
  if (path.empty()) return PlatformErrorText(ERROR_FILE_NOT_FOUND);
  // Try to create the file.  CREATE_NEW succeeds only when nothing of that
  // name exists, so the file deleted below is always the one made here.
  UniqueFileHandle created(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (created) {
    created.Reset();
    DeleteFileA(path.c_str());
    return std::string();
  }
  DWORD code = GetLastError();
  if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
    return PlatformErrorText(static_cast<int32_t>(code));
  }
  DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return "Is a directory";
  }
  // Something the search skipped (a hidden or system file) exists there:
  // it is usable if it opens, and it is never deleted.
  for (DWORD access : {GENERIC_READ | GENERIC_WRITE, static_cast<DWORD>(GENERIC_READ)}) {
    UniqueFileHandle existing(CreateFileA(path.c_str(), access, 0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (existing) return std::string();
    code = GetLastError();
  }
  return PlatformErrorText(static_cast<int32_t>(code));
}

bool IsSameFile(const std::string& a, const std::string& b) {
  UniqueFileHandle first = OpenForQuery(a);
  UniqueFileHandle second = OpenForQuery(b);
  if (!first || !second) return false;
  BY_HANDLE_FILE_INFORMATION one{}, two{};
  if (!GetFileInformationByHandle(first.Get(), &one) ||
      !GetFileInformationByHandle(second.Get(), &two)) {
    return false;
  }
  return one.dwVolumeSerialNumber == two.dwVolumeSerialNumber &&
         one.nFileIndexHigh == two.nFileIndexHigh && one.nFileIndexLow == two.nFileIndexLow;
}

namespace {

// CreateOutputTempFile and CreateReportTempFile: the report's file is
// limited to its owner from the start.
int32_t CreateTempBeside(const std::string& outputPath, std::string& tempPath,
                         std::string& targetPath, FILE** file, bool ownerOnly) {
  *file = nullptr;
  if (outputPath.empty()) return ERROR_FILE_NOT_FOUND;
  char full[MAX_PATH + 1] = {};
  char* namePart = nullptr;
  DWORD length = GetFullPathNameA(outputPath.c_str(), sizeof full, full, &namePart);
  if (length == 0) return LastErrorOr(ERROR_INVALID_NAME);
  if (length > MAX_PATH || namePart == nullptr) return ERROR_INVALID_NAME;

  DWORD attributes = GetFileAttributesA(full);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return ERROR_DIRECTORY;
    // A file marked read-only is refused whatever rights we hold (the move
    // would replace it otherwise for an administrator), and any other must
    // open for writing.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return ERROR_ACCESS_DENIED;
    UniqueFileHandle probe(CreateFileA(full, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!probe) return LastErrorOr(ERROR_ACCESS_DENIED);
  }
  const std::string folder(full, static_cast<size_t>(namePart - full));

  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[32];
    unsigned mix = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ (++counter * 2654435761u);
    std::snprintf(suffix, sizeof suffix, "~sc%08x.tmp", mix);
    std::string candidate = folder + suffix;
    // Deletion shared, so that the console-control cleanup can delete it
    // while it is open.
    HANDLE raw = CreateFileA(candidate.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
      DWORD code = GetLastError();
      if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) continue;
      return static_cast<int32_t>(code);
    }
    UniqueFileHandle handle(raw);
    RegisterTempFile(candidate);
    // The report's folder may be shared: the file (which the move keeps
    // with its access list) is limited to its owner while it is still
    // empty, and before it is marked (a file marked for deletion opens for
    // nothing more).  A file system without access rights (FAT) cannot,
    // and the file is still used there.
    if (ownerOnly) RestrictToOwner(candidate);
    // Marked for deletion until it is moved into place, so that a killed
    // process leaves nothing; a second handle keeps it after the stream is
    // closed.  Without the mark, the registration is all there is.
    HANDLE keep = nullptr;
    if (MarkForDeletion(handle.Get(), true)) {
      if (!DuplicateHandle(GetCurrentProcess(), handle.Get(), GetCurrentProcess(), &keep, 0,
                           FALSE, DUPLICATE_SAME_ACCESS) ||
          !KeepMarkedOutput(keep, candidate)) {
        if (keep != nullptr) CloseHandle(keep);
        keep = nullptr;
        MarkForDeletion(handle.Get(), false);
      }
    }
    int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.Get()), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
      handle.Reset();
      RemoveFile(candidate);
      ForgetTempFile(candidate);
      return ERROR_TOO_MANY_OPEN_FILES;
    }
    handle.Release();  // the descriptor owns the handle now
    FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) {
      _close(fd);
      RemoveFile(candidate);
      ForgetTempFile(candidate);
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    tempPath = candidate;
    targetPath = full;
    *file = stream;
    return 0;
  }
  return ERROR_FILE_EXISTS;
}

}  // namespace

int32_t CreateOutputTempFile(const std::string& outputPath, std::string& tempPath,
                             std::string& targetPath, FILE** file) {
  return CreateTempBeside(outputPath, tempPath, targetPath, file, false);
}

int32_t MoveFileReplacing(const std::string& from, const std::string& to) {
  if (HANDLE marked = TakeMarkedOutput(from)) {
    // Kept from here on: unmarked, then moved.
    const bool unmarked = MarkForDeletion(marked, false);
    const int32_t code = unmarked ? 0 : LastErrorOr(ERROR_ACCESS_DENIED);
    CloseHandle(marked);
    if (!unmarked) return code;
  }
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return 0;
  }
  return LastErrorOr(ERROR_ACCESS_DENIED);
}

namespace {
// Bit 29 marks an application's own error codes: Windows defines none with it.
constexpr uint32_t kErrnoMark = uint32_t{1} << 29;
}  // namespace

int32_t ErrnoCode(int errnoValue) {
  if (errnoValue <= 0 || errnoValue > 0xFFFF) return errnoValue;
  return static_cast<int32_t>(kErrnoMark | static_cast<uint32_t>(errnoValue));
}

std::string PlatformErrorText(int32_t code) {
  const uint32_t bits = static_cast<uint32_t>(code);
  if (code > 0 && (bits & kErrnoMark) != 0 && (bits & ~kErrnoMark) <= 0xFFFF) {
    return std::strerror(static_cast<int>(bits & ~kErrnoMark));
  }
  char buffer[512] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                static_cast<DWORD>(code), 0, buffer, sizeof buffer, nullptr);
  std::string text(buffer, length);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  if (text.empty()) text = "Windows error " + std::to_string(code);
  return text;
}

bool RegisterTempFile(const std::string& path) {
  if (path.empty() || path.size() > MAX_PATH) return false;
  for (int i = 0; i < kTempSlots; ++i) {
    if (gTempUsed[i].load()) continue;
    std::memcpy(gTempPaths[i], path.c_str(), path.size() + 1);
    gTempUsed[i].store(true);
    return true;
  }
  return false;
}

void ForgetTempFile(const std::string& path) {
  for (int i = 0; i < kTempSlots; ++i) {
    if (gTempUsed[i].load() && path == gTempPaths[i]) gTempUsed[i].store(false);
  }
}

void DeleteRegisteredTempFiles() {
  {
    // Let go of the outputs in the making, which are marked for deletion.
    std::lock_guard<std::mutex> lock(gOutputMutex);
    for (MarkedOutput& slot : gOutputs) {
      if (slot.handle != nullptr) CloseHandle(slot.handle);
      slot.handle = nullptr;
      slot.path.clear();
    }
  }
  for (int i = 0; i < kTempSlots; ++i) {
    if (!gTempUsed[i].load()) continue;
    DeleteFileA(gTempPaths[i]);
    gTempUsed[i].store(false);
  }
}

void InstallInterruptCleanup() { SetConsoleCtrlHandler(DeleteRegisteredOnInterrupt, TRUE); }

void* AllocateLargeBlock(size_t size) {
  // VirtualAlloc hands out zero-filled pages.  Large pages would need the
  // "lock pages in memory" privilege, which ordinary users lack: not asked.
  void* block = VirtualAlloc(nullptr, size == 0 ? 1 : size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void FreeLargeBlock(void* block, size_t) {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

bool IsTerminalStream(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

int32_t CreateReportTempFile(const std::string& reportPath, std::string& tempPath,
                             std::string& targetPath, FILE** file) {
  return CreateTempBeside(reportPath, tempPath, targetPath, file, true);
}

bool IsSamePath(const std::string& a, const std::string& b) {
  if (a == b || IsSameFile(a, b)) return true;
  // The full paths ("." and "..", repeated and forward separators, trailing
  // dots and spaces resolved), compared as the file system compares names:
  // whatever the letter case.
  std::wstring full[2];
  const std::string* paths[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    char buffer[MAX_PATH + 1] = {};
    const DWORD length = GetFullPathNameA(paths[i]->c_str(), sizeof buffer, buffer, nullptr);
    if (length == 0 || length > MAX_PATH) return false;
    const int wide = MultiByteToWideChar(CP_ACP, 0, buffer, static_cast<int>(length), nullptr, 0);
    if (wide <= 0) return false;
    full[i].resize(static_cast<size_t>(wide));
    MultiByteToWideChar(CP_ACP, 0, buffer, static_cast<int>(length), &full[i][0], wide);
  }
  return CompareStringOrdinal(full[0].c_str(), static_cast<int>(full[0].size()), full[1].c_str(),
                              static_cast<int>(full[1].size()), TRUE) == CSTR_EQUAL;
}

bool SetBinaryStream(FILE* stream) { return _setmode(_fileno(stream), _O_BINARY) != -1; }

namespace {

// Below this a block comes from the heap.
constexpr size_t kLargeBlockBytes = size_t{1} << 20;

}  // namespace

// Large blocks are reserved and committed straight from the system: pages
// that are zero until first touched, and given back whole when freed.
// (Windows' own large pages need a privilege that users do not hold.)
void* AllocateLarge(size_t bytes) {
  if (bytes > SIZE_MAX / 2) return nullptr;  // more than any address space holds
  if (bytes < kLargeBlockBytes) return std::calloc(bytes == 0 ? 1 : bytes, 1);
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeLarge(void* memory, size_t bytes) {
  if (memory == nullptr) return;
  if (bytes < kLargeBlockBytes) {
    std::free(memory);
    return;
  }
  VirtualFree(memory, 0, MEM_RELEASE);
}
