// Helpers shared by the engine, run, sample and command-line tests.
#pragma once

#include <sys/resource.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine.h"
#include "x12scan.h"

namespace testutil {

// Sets TMPDIR for the scope.
class TmpDirOverride {
 public:
  explicit TmpDirOverride(const std::string& dir) {
    const char* old = std::getenv("TMPDIR");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TmpDirOverride() {
    if (had_) setenv("TMPDIR", old_.c_str(), 1);
    else unsetenv("TMPDIR");
  }

 private:
  bool had_ = false;
  std::string old_;
};

/// Limits the size of files this process writes, for the scope, so that a
/// write fails part-way (EFBIG) instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) : oldHandler_(std::signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &old_);
    struct rlimit small = old_;
    small.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &small);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, oldHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  struct rlimit old_ {};
  void (*oldHandler_)(int);
};

/// A private folder, removed with its contents at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  /// Names of the entries in the folder, sorted.
  std::vector<std::string> Entries() const;

 private:
  std::string path_;
};

/// Names of the entries of a folder, sorted.
std::vector<std::string> FolderEntries(const std::string& dir);

/// An open descriptor of a process: its path under /proc and what it leads
/// to, as /proc shows it (a file without a name has " (deleted)" appended).
struct OpenDescriptor {
  std::string path;
  std::string target;
};
/// The open descriptors of process `pid` ("self" for this one).
std::vector<OpenDescriptor> OpenDescriptors(const std::string& pid);

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

/// A 105-character ISA header with the given element and sub-element separators.
std::string Isa(char separator = '*', char subSeparator = ':');

/// An unwrapped copy of `segments` with terminator `term`: each segment, the
/// terminator and the line end (LF after a CR terminator, CR LF otherwise).
std::string UnwrappedCopy(const std::vector<std::string>& segments, char term = '~');

/// The text with every digit turned into '9' and every capital letter into
/// 'A', for comparing the shape of times, dates and ids.
std::string Shape(const std::string& text);

/// Lines of a text cut the way the engine reads them: at CR, a LF right
/// after it belonging to the line end; stops at 0x1A.
std::vector<std::string> EngineLines(const std::string& text);
/// Lines of an output file or report: cut at each CR LF.
std::vector<std::string> CrLfLines(const std::string& text);

/// An interchange table with one entry per terminator.
InterchangeTable Interchanges(const std::vector<char>& terminators);
/// A set table with one 835 set that counts `claims` CLP segments.
SetTable Sets835(int32_t claims);

class FakeDialog final : public EngineDialog {
 public:
  std::string input = "input.835";
  std::string output;
  bool listing = false;
  bool thorough = false;
  std::vector<std::string> statuses;
  /// Called at every status text, for checks in the middle of a run.
  void (*onStatus)(const std::string& text, void* context) = nullptr;
  void* context = nullptr;

  std::string InputPathText() override { return input; }
  std::string OutputPathText() override { return output; }
  bool ListingChecked() override { return listing; }
  bool ThoroughChecked() override { return thorough; }
  void SetStatusText(const std::string& text) override {
    statuses.push_back(text);
    if (onStatus != nullptr) onStatus(text, context);
  }
};

class RecordingNotice final : public EngineNotice {
 public:
  std::vector<std::string> shown;
  void Show(const std::string& text) override { shown.push_back(text); }
};

/// One engine run over a hand-made unwrapped copy in a private folder.
struct EngineRun {
  ScrambleResult result;
  std::string outputPath;
  std::string output;  ///< the output file's bytes ("" when absent)
  bool outputExists = false;
  std::string report;
  std::vector<std::string> notices;
  std::vector<std::string> statuses;
};
/// With a `collector` that took in `copy`, the engine finishes the
/// collection from it.
EngineRun RunEngine(const std::string& copy, const InterchangeTable& interchanges,
                    const SetTable& sets, RandomSource& random, bool listing = false,
                    CopyCollector* collector = nullptr, bool thorough = false);

/// The run report's seven counts, read back from its text; false when a
/// count line is missing.
bool ReportCounts(const std::string& report, ScrambleCounts& counts);

/// Checks an output against the unwrapped copy it came from, without
/// knowing the permutation: one output line per copy line; in every line
/// each element that is not replaced is byte-identical; the values of each
/// column over the claim rows are a permutation of the collected ones (row 0
/// keeps its own); member ids are fresh 10-character ids; and the counts
/// are those of the copy.  Returns an empty text or the first fault found.
std::string CheckScramble(const std::string& copy, const std::string& output,
                          const InterchangeTable& interchanges, int64_t claimCount,
                          const ScrambleCounts& counts);

}  // namespace testutil
