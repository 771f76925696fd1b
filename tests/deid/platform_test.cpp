#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "platform.h"
#include "test_util.h"
#include "x12scan.h"

using namespace testutil;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

// What this process's descriptors lead to inside `folder`.
std::vector<std::string> OpenIn(const std::string& folder) {
  std::vector<std::string> targets;
  for (const OpenDescriptor& open : OpenDescriptors("self")) {
    if (open.target.rfind(folder + "/", 0) == 0) targets.push_back(open.target);
  }
  return targets;
}

}  // namespace

// A private temporary file never shows a name in the folder (so nothing is
// left whatever ends the process), is its owner's only, opens again through
// its path with a file position of its own, and is gone once closed.
TEST(CreatePrivateTempFile, NamelessOwnerOnlyAndGoneWhenClosed) {
  TempDir dir;
  TmpDirOverride tmp(dir.Path() + "/");
  PrivateTempFile file;
  ASSERT_EQ(CreatePrivateTempFile("~uwxyz", file), 0);
  EXPECT_FALSE(file.named);
  EXPECT_TRUE(dir.Entries().empty());
  const std::vector<std::string> open = OpenIn(dir.Path());
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0].rfind(dir.Path() + "/~uw", 0), 0u) << open[0];
  EXPECT_EQ(open[0].size(), (dir.Path() + "/~uwXXXXXX (deleted)").size()) << open[0];
  EXPECT_EQ(open[0].substr(open[0].size() - 10), " (deleted)");
  EXPECT_EQ(ModeOf(file.path), 0600u);

  FILE* writer = OpenFileShared(file.path, "wb");
  ASSERT_NE(writer, nullptr);
  std::fputs("CLP*A1~\r\n", writer);
  std::fflush(writer);
  EXPECT_EQ(ReadWholeFile(file.path), "CLP*A1~\r\n");  // read from its start
  std::fclose(writer);
  EXPECT_EQ(ReadWholeFile(file.path), "CLP*A1~\r\n");  // kept by the descriptor

  ClosePrivateTempFile(file);
  EXPECT_TRUE(OpenIn(dir.Path()).empty());
  EXPECT_EQ(file.path, "");
  EXPECT_EQ(file.handle, -1);
  ClosePrivateTempFile(file);  // again: nothing to do

  TmpDirOverride missing(dir.File("gone"));
  PrivateTempFile kept;
  kept.path = "kept";
  EXPECT_EQ(CreatePrivateTempFile("~RT", kept), ENOENT);
  EXPECT_EQ(kept.path, "kept");
}

// The rewrite gives back the room of the copy's blocks once it has read
// them: those bytes read as zeros (on Linux, whose file systems for
// temporary files make holes), the bytes around them and the size stay.
TEST(DiscardFileRange, RangeReadsAsZerosAndTheRestStays) {
  TempDir dir;
  TmpDirOverride tmp(dir.Path() + "/");
  ScopedPrivateTempFile file;
  ASSERT_EQ(file.Create("~uw"), 0);
  std::string text;
  for (char fill : {'A', 'B', 'C'}) text.append(size_t{65536}, fill);
  FILE* writer = OpenFileShared(file.Path(), "wb");
  ASSERT_NE(writer, nullptr);
  ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), writer), text.size());
  ASSERT_EQ(std::fclose(writer), 0);
  const struct {
    uint64_t offset, size;
  } ranges[] = {{65536, 65536}, {70001, 9999}, {0, 0}, {196000, 1000}};
  std::string expected = text;
  for (const auto& range : ranges) {
    file.Discard(range.offset, range.size);
#if defined(__linux__)
    // A range past the end zeroes up to the end; the size stays.
    const size_t stop = std::min<size_t>(expected.size(), range.offset + range.size);
    std::fill(expected.begin() + static_cast<long>(range.offset),
              expected.begin() + static_cast<long>(stop), '\0');
#endif
  }
  const std::string now = ReadWholeFile(file.Path());
  ASSERT_EQ(now.size(), text.size());
  EXPECT_TRUE(now == expected);
  EXPECT_EQ(now.substr(0, 65536), text.substr(0, 65536));
  EXPECT_EQ(now.substr(131072, 64464), text.substr(131072, 64464));
}

TEST(MakeTempFileName, OwnerOnlyEmptyFileWithPrefix) {
  TempDir dir;
  TmpDirOverride tmp(dir.Path() + "/");
  std::string path = "unchanged";
  ASSERT_EQ(MakeTempFileName("~uwxyz", path), 0);
  EXPECT_EQ(path.rfind(dir.Path() + "/~uw", 0), 0u) << path;
  EXPECT_EQ(ModeOf(path), 0600u);
  EXPECT_EQ(ReadFile(path), "");
  std::string second;
  ASSERT_EQ(MakeTempFileName("~uw", second), 0);
  EXPECT_NE(second, path);
  ForgetTempFile(path);
  ForgetTempFile(second);

  TmpDirOverride missing(dir.File("gone"));
  std::string kept = "kept";
  EXPECT_EQ(MakeTempFileName("~RT", kept), ENOENT);
  EXPECT_EQ(kept, "kept");
}

// The output test never deletes a file it did not create itself.
TEST(IsUsableOutputPath, Cases) {
  TempDir dir;
  WriteFile(dir.File("empty"), "");
  WriteFile(dir.File("full"), "data");
  mkdir(dir.File("folder").c_str(), 0755);
  mkfifo(dir.File("pipe").c_str(), 0600);
  symlink(dir.File("nowhere").c_str(), dir.File("dangling").c_str());
  const struct {
    std::string path;
    bool usable;
    bool existsAfter;
  } cases[] = {
      {dir.File("new.txt"), true, false},      // created and deleted again
      {dir.File("empty"), true, true},         // existing empty file left alone
      {dir.File("full"), true, true},
      {dir.File("folder"), false, true},
      {dir.File("pipe"), false, true},
      {dir.File("dangling"), false, true},
      {dir.File("missing/new.txt"), false, false},
      {"/dev/null", false, true},
      {"", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsUsableOutputPath(c.path), c.usable) << c.path;
    EXPECT_EQ(FileExists(c.path), c.existsAfter) << c.path;
  }
  EXPECT_EQ(ReadFile(dir.File("full")), "data");
}

TEST(IsSameFile, ByDeviceAndFileNumber) {
  TempDir dir;
  WriteFile(dir.File("a"), "x");
  WriteFile(dir.File("b"), "x");
  link(dir.File("a").c_str(), dir.File("hard").c_str());
  symlink(dir.File("a").c_str(), dir.File("soft").c_str());
  EXPECT_TRUE(IsSameFile(dir.File("a"), dir.File("hard")));
  EXPECT_TRUE(IsSameFile(dir.File("a"), dir.File("soft")));
  EXPECT_TRUE(IsSameFile(dir.File("a"), dir.Path() + "/./a"));
  EXPECT_FALSE(IsSameFile(dir.File("a"), dir.File("b")));
  EXPECT_FALSE(IsSameFile(dir.File("a"), dir.File("missing")));
}

// The output replaces the file a link points to, keeps that file's mode,
// and the temporary file, made in the target's folder, shows no name there
// until it is moved into place (a killed run leaves nothing).  Let go of
// instead, it is gone.
TEST(CreateOutputTempFile, ReplacesTargetOfLinkKeepingMode) {
  TempDir dir;
  WriteFile(dir.File("target"), "old");
  chmod(dir.File("target").c_str(), 0640);
  symlink(dir.File("target").c_str(), dir.File("link").c_str());
  std::string temp, target;
  FILE* file = nullptr;
  ASSERT_EQ(CreateOutputTempFile(dir.File("link"), temp, target, &file), 0);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(target, dir.File("target"));
  std::fputs("new", file);
  std::fclose(file);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link", "target"}));
  ASSERT_EQ(MoveFileReplacing(temp, target), 0);
  EXPECT_EQ(ReadFile(dir.File("link")), "new");
  EXPECT_EQ(ModeOf(dir.File("target")), 0640u);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link", "target"}));
  EXPECT_TRUE(OpenIn(dir.Path()).empty());

  ASSERT_EQ(CreateOutputTempFile(dir.File("new"), temp, target, &file), 0);
  std::fputs("scrambled", file);
  std::fclose(file);
  EXPECT_EQ(RemoveFile(temp), 0);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link", "target"}));
  EXPECT_TRUE(OpenIn(dir.Path()).empty());

  EXPECT_EQ(CreateOutputTempFile(dir.File("missing/out"), temp, target, &file), ENOENT);
  EXPECT_EQ(file, nullptr);
}

TEST(RemoveFile, MissingOrEmptyPathIsNoError) {
  TempDir dir;
  WriteFile(dir.File("f"), "x");
  EXPECT_EQ(RemoveFile(dir.File("f")), 0);
  EXPECT_FALSE(FileExists(dir.File("f")));
  EXPECT_EQ(RemoveFile(dir.File("f")), 0);
  EXPECT_EQ(RemoveFile(""), 0);
}

// An interrupt deletes the registered temporary files, and the process
// still ends by that signal.
TEST(InterruptCleanup, SignalDeletesRegisteredFiles) {
  for (int signalNumber : {SIGINT, SIGTERM}) {
    TempDir dir;
    WriteFile(dir.File("registered"), "phi");
    WriteFile(dir.File("forgotten"), "keep");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      RegisterTempFile(dir.File("registered"));
      RegisterTempFile(dir.File("forgotten"));
      ForgetTempFile(dir.File("forgotten"));
      InstallInterruptCleanup();
      raise(signalNumber);
      _exit(0);  // not reached
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << status;
    EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"forgotten"}));
  }
}

// Blocks below and above the size that gets a mapping of its own (and one
// a few bytes past a huge page): zero-filled and usable to their last
// byte, kept whole when moved; a size no system can give is refused with
// std::bad_alloc, as the run's memory failure expects.
TEST(LargeBuffer, ZeroFilledUsableToItsEndAndRefusedWhenImpossible) {
  for (size_t bytes : {size_t{100}, size_t{1} << 20, (size_t{3} << 20) + 5}) {
    SCOPED_TRACE(bytes);
    LargeBuffer buffer(bytes);
    ASSERT_NE(buffer.get(), nullptr);
    ASSERT_EQ(buffer.size(), bytes);
    size_t nonZero = 0;
    for (size_t i = 0; i < bytes; ++i) nonZero += buffer.get()[i] != 0;
    EXPECT_EQ(nonZero, 0u);
    buffer.get()[0] = 1;
    buffer.get()[bytes - 1] = 2;
    unsigned char* const data = buffer.get();
    LargeBuffer moved(std::move(buffer));
    EXPECT_EQ(buffer.get(), nullptr);
    EXPECT_EQ(moved.get(), data);
    EXPECT_EQ(moved.get()[bytes - 1], 2);
    LargeBuffer assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.get()[0], 1);
  }
  EXPECT_THROW(LargeBuffer(SIZE_MAX - 4096), std::bad_alloc);
}
