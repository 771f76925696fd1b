// The Windows file-system services that the run, the dialog and the
// command-line tool share.
#include <windows.h>
#include <aclapi.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "platform.h"
#include "x12scan.h"
#include "win_files.h"
#include "win_test_util.h"

namespace {

TEST(MakeTempFileName, CreatesAnEmptyFileNamedFromThreePrefixCharacters) {
  std::string path = "unchanged";
  ASSERT_EQ(MakeTempFileName("~uwXYZ", path), 0);
  const std::string folder = SystemTempFolder();
  ASSERT_GT(path.size(), folder.size());
  EXPECT_EQ(path.substr(0, folder.size()), folder);
  EXPECT_EQ(path.substr(folder.size(), 3), "~uw");
  EXPECT_NE(path.substr(folder.size(), 4), "~uwX");
  EXPECT_TRUE(IsRegularFile(path));
  EXPECT_EQ(ReadWholeFile(path), "");

  std::string second;
  ASSERT_EQ(MakeTempFileName("~RT", second), 0);
  EXPECT_NE(second, path);
  EXPECT_EQ(RemoveFile(path), 0);
  EXPECT_EQ(RemoveFile(second), 0);
  ForgetTempFile(path);
  ForgetTempFile(second);
  EXPECT_FALSE(IsRegularFile(path));
  // Deleting what is not there, or nothing, is no error.
  EXPECT_EQ(RemoveFile(path), 0);
  EXPECT_EQ(RemoveFile(""), 0);
}

// A private temporary file opens again only with delete sharing (as
// OpenFileShared opens), is deleted when its handle closes (as when the
// process is killed), and is gone once let go of.
TEST(CreatePrivateTempFile, OpensSharedAndGoesWithItsHandle) {
  PrivateTempFile file;
  ASSERT_EQ(CreatePrivateTempFile("~uwXYZ", file), 0);
  const std::string folder = SystemTempFolder();
  ASSERT_GT(file.path.size(), folder.size());
  EXPECT_EQ(file.path.substr(0, folder.size() + 3), folder + "~uw");
  EXPECT_TRUE(file.named);
  EXPECT_TRUE(IsRegularFile(file.path));

  FILE* writer = OpenFileShared(file.path, "wb");
  ASSERT_NE(writer, nullptr);
  std::fputs("CLP*A1~\r\n", writer);
  std::fclose(writer);
  EXPECT_EQ(ReadWholeFile(file.path), "CLP*A1~\r\n");
  // Without delete sharing the file does not open.
  FILE* plain = std::fopen(file.path.c_str(), "rb");
  EXPECT_EQ(plain, nullptr);
  if (plain != nullptr) std::fclose(plain);

  const std::string path = file.path;
  ClosePrivateTempFile(file);
  EXPECT_FALSE(IsRegularFile(path));
  EXPECT_EQ(file.path, "");
  ClosePrivateTempFile(file);  // again: nothing to do

  // Its handle alone keeps it.
  ASSERT_EQ(CreatePrivateTempFile("~RT", file), 0);
  EXPECT_TRUE(IsRegularFile(file.path));
  CloseHandle(reinterpret_cast<HANDLE>(file.handle));
  EXPECT_FALSE(IsRegularFile(file.path));
  ForgetTempFile(file.path);
}

// The access list of a file: protected, and its entries' SIDs.
struct AccessList {
  bool protectedList = false;
  std::vector<std::vector<BYTE>> sids;
};

AccessList ReadAccessList(const std::string& path) {
  AccessList list;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return list;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  list.protectedList = (control & SE_DACL_PROTECTED) != 0;
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace))) continue;
    PSID sid = &ace->SidStart;
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    list.sids.emplace_back(bytes, bytes + GetLengthSid(sid));
  }
  LocalFree(descriptor);
  return list;
}

// Wine accepts a new access list for a file but keeps none (the list read
// back is the one made from the Unix mode), so this can only be seen on
// Windows itself.
bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The SID of the user this process runs as.
std::vector<BYTE> CurrentUserSid() {
  HANDLE rawToken = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) return {};
  UniqueFileHandle token(rawToken);
  BYTE buffer[256] = {};
  DWORD size = 0;
  if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof buffer, &size)) return {};
  PSID user = reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid;
  const BYTE* userBytes = static_cast<const BYTE*>(user);
  return std::vector<BYTE>(userBytes, userBytes + GetLengthSid(user));
}

TEST(MakeTempFileName, OnlyTheOwnerMayOpenTheFile) {
  if (RunningUnderWine()) GTEST_SKIP() << "Wine keeps no access lists on files";
  std::string path;
  ASSERT_EQ(MakeTempFileName("~uw", path), 0);
  AccessList list = ReadAccessList(path);
  RemoveFile(path);
  ForgetTempFile(path);

  EXPECT_TRUE(list.protectedList);
  ASSERT_EQ(list.sids.size(), 1u);
  EXPECT_EQ(list.sids[0], CurrentUserSid());
}

// The report that replaces a file is its owner's alone.
TEST(CreateReportTempFile, OnlyTheOwnerMayOpenTheReport) {
  if (RunningUnderWine()) GTEST_SKIP() << "Wine keeps no access lists on files";
  ScratchFolder folder;
  const std::string target = folder.Write("report.txt", "old");
  std::string tempPath, targetPath;
  FILE* file = nullptr;
  ASSERT_EQ(CreateReportTempFile(target, tempPath, targetPath, &file), 0);
  std::fputs("new", file);
  std::fclose(file);
  ASSERT_EQ(MoveFileReplacing(tempPath, targetPath), 0);
  AccessList list = ReadAccessList(target);
  EXPECT_TRUE(list.protectedList);
  ASSERT_EQ(list.sids.size(), 1u);
  EXPECT_EQ(list.sids[0], CurrentUserSid());
}

// A C library failure is told with the C library's text: errno values and
// Windows error codes overlap, and a full disk (errno 28) must not read as
// Windows error 28, "the printer is out of paper".
TEST(PlatformErrorText, TellsErrnoValuesAndWindowsCodesApart) {
  for (int value : {ENOSPC, EIO, EACCES, ENOENT}) {
    SCOPED_TRACE(value);
    EXPECT_EQ(PlatformErrorText(ErrnoCode(value)), std::strerror(value));
    EXPECT_NE(PlatformErrorText(ErrnoCode(value)), PlatformErrorText(value));
  }
  EXPECT_EQ(ErrnoCode(0), 0);
}

TEST(FileSearch, SkipsFoldersHiddenAndSystemEntries) {
  ScratchFolder folder;
  const std::string f = folder.Path();
  std::string plain = folder.Write("a.txt", "x");
  std::string hidden = folder.Write("b.txt", "x");
  SetFileAttributesA(hidden.c_str(), FILE_ATTRIBUTE_HIDDEN);
  CreateDirectoryA((f + "sub").c_str(), nullptr);
  struct Case { std::string pattern; bool found; };
  for (const Case& c : {Case{plain, true}, Case{hidden, false}, Case{f + "sub", false},
                        Case{f + "b*", false}, Case{f + "?.txt", true}, Case{f, true},
                        Case{f + "sub\\", false}, Case{"", false}}) {
    EXPECT_EQ(FileSearchFindsPlainFile(c.pattern), c.found) << c.pattern;
  }
  EXPECT_TRUE(IsRegularFile(plain));
  EXPECT_FALSE(IsRegularFile(f + "sub"));
  EXPECT_FALSE(IsRegularFile(f + "?.txt"));
}

TEST(IsSameFile, ComparesTheFilesNotTheirNames) {
  ScratchFolder folder;
  std::string a = folder.Write("a.txt", "x");
  std::string b = folder.Write("b.txt", "x");
  EXPECT_TRUE(IsSameFile(a, a));
  EXPECT_TRUE(IsSameFile(a, folder.Path() + "A.TXT"));
  EXPECT_TRUE(IsSameFile(a, folder.Path() + ".\\a.txt"));
  EXPECT_FALSE(IsSameFile(a, b));
  EXPECT_FALSE(IsSameFile(a, folder.Path() + "missing.txt"));
}

// Another spelling of a file still to be made names the same file.
TEST(IsSamePath, OtherSpellingsOfAFileStillToBeMade) {
  ScratchFolder folder;
  const std::string f = folder.Path();
  CreateDirectoryA((f + "sub").c_str(), nullptr);
  const std::string out = f + "out.txt";
  for (const std::string& other : {f + "OUT.TXT", f + ".\\out.txt", f + "sub\\..\\out.txt",
                                   f + "sub\\..\\\\out.txt", f + "sub/../out.txt", f + "out.txt."}) {
    EXPECT_TRUE(IsSamePath(out, other)) << other;
    EXPECT_TRUE(IsSamePath(other, out)) << other;
  }
  for (const std::string& other : {f + "sub\\out.txt", f + "out.txt2", f + "out"}) {
    EXPECT_FALSE(IsSamePath(out, other)) << other;
  }
  // An existing file under another name is the same file too.
  const std::string a = folder.Write("a.txt", "x");
  EXPECT_TRUE(IsSamePath(a, f + "sub\\..\\A.txt"));
}

TEST(OutputReplacement, WritesBesideTheTargetAndReplacesItInOneMove) {
  ScratchFolder folder;
  std::string target = folder.Write("out.txt", "old content");
  std::string tempPath, targetPath;
  FILE* file = nullptr;
  ASSERT_EQ(CreateOutputTempFile(target, tempPath, targetPath, &file), 0);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(targetPath, target);
  EXPECT_EQ(tempPath.substr(0, folder.Path().size()), folder.Path());
  std::fputs("new content", file);
  std::fclose(file);
  EXPECT_EQ(ReadWholeFile(target), "old content");  // untouched until the move
  ASSERT_EQ(MoveFileReplacing(tempPath, targetPath), 0);
  EXPECT_EQ(ReadWholeFile(target), "new content");
  EXPECT_FALSE(IsRegularFile(tempPath));

  // A read-only target or a folder is refused and nothing is left behind.
  SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_NE(CreateOutputTempFile(target, tempPath, targetPath, &file), 0);
  EXPECT_EQ(file, nullptr);
  EXPECT_NE(CreateOutputTempFile(folder.Path() + ".", tempPath, targetPath, &file), 0);
  EXPECT_EQ(FilesMatching(folder.Path(), "~sc*").size(), 0u);
}

// An output in the making is marked for deletion until it is moved: once
// its stream is closed, a run that stops without moving it (memory ran
// out, or the process was killed) leaves nothing.
TEST(OutputReplacement, AbandonedOutputIsDeleted) {
  ScratchFolder folder;
  std::string tempPath, targetPath;
  FILE* file = nullptr;
  ASSERT_EQ(CreateOutputTempFile(folder.Path() + "out.txt", tempPath, targetPath, &file), 0);
  std::fputs("scrambled", file);
  std::fclose(file);
  EXPECT_EQ(FilesMatching(folder.Path(), "~sc*").size(), 1u);
  DeleteRegisteredTempFiles();
  EXPECT_EQ(FilesMatching(folder.Path(), "~sc*").size(), 0u);
  EXPECT_FALSE(IsRegularFile(folder.Path() + "out.txt"));
}

TEST(WinHandles, MovedOwnerClosesOnce) {
  ScratchFolder folder;
  std::string path = folder.Write("h.txt", "x");
  UniqueFileHandle first(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(first.Valid());
  UniqueFileHandle second(std::move(first));
  EXPECT_FALSE(first.Valid());
  ASSERT_TRUE(second.Valid());
  // Opened without sharing: a second open fails while the handle lives...
  EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  second.Reset();
  // ...and succeeds once the one owner has closed it.
  UniqueFileHandle third(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  EXPECT_TRUE(third.Valid());
  static_assert(!std::is_copy_constructible<UniqueFileHandle>::value, "no copies");
  static_assert(!std::is_copy_assignable<UniqueFileHandle>::value, "no copies");
}

}  // namespace
