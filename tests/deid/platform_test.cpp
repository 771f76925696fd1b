#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "platform.h"
#include "test_util.h"

using namespace testutil;

namespace {

mode_t ModeOf(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

}  // namespace

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
// and the temporary file sits beside the target until moved.
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
  EXPECT_EQ(temp.rfind(dir.Path() + "/", 0), 0u);
  std::fputs("new", file);
  std::fclose(file);
  ASSERT_EQ(MoveFileReplacing(temp, target), 0);
  EXPECT_EQ(ReadFile(dir.File("link")), "new");
  EXPECT_EQ(ModeOf(dir.File("target")), 0640u);
  EXPECT_EQ(dir.Entries(), (std::vector<std::string>{"link", "target"}));

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
