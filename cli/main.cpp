// scramble835: the de-identification engine as a command-line tool.
//
//   scramble835 [--listing] [--report FILE] [--seed N] [--quiet] INPUT OUTPUT
//   scramble835 --inspect INPUT
//   scramble835 --help | --version
//
// Exit status: 0 success, 2 bad arguments or paths, 3 the scan failed,
// 4 the output (or the report file) could not be written.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "check_command.h"
#include "envelope.h"
#include "platform.h"
#include "random.h"
#include "run.h"
#include "x12scan.h"

#ifndef SCRAMBLE835_VERSION
#define SCRAMBLE835_VERSION "0.0.0"
#endif

namespace {

enum ExitCode { kExitOk = 0, kExitUsage = 2, kExitScanFailed = 3, kExitNotWritten = 4 };

const char kUsage[] =
    "Usage: scramble835 [--listing] [--report FILE] [--seed N] [--quiet] INPUT OUTPUT\n"
    "       scramble835 --inspect INPUT\n"
    "       scramble835 --check [--json] INPUT OUTPUT\n"
    "       scramble835 --help | --version\n"
    "\n"
    "De-identifies an X12 835 remittance file: exchanges the names and\n"
    "identifiers of the claims between the claims of the file, gives every\n"
    "patient and insured a new member id, and writes the result to OUTPUT,\n"
    "one segment per line.  The run report goes to standard output.\n"
    "\n"
    "  --listing      list every changed segment before and after in the report\n"
    "  --report FILE  write the report to FILE instead of standard output\n"
    "  --seed N       reproducible run from the seed N (0 to 4294967295);\n"
    "                 without it the system's secure random source is used\n"
    "  --quiet        no progress on standard error\n"
    "  --inspect      show the envelope of INPUT\n"
    "  --check        check OUTPUT against INPUT (first argument: check only;\n"
    "                 after options: check the run's own output); --json for\n"
    "                 a JSON summary; status 0 faithful, 1 not, 3 scan failed\n"
    "\n"
    "Exit status: 0 done, 2 bad arguments or paths, 3 scan failed,\n"
    "4 output or report not written.\n";

struct Options {
  bool listing = false;
  bool quiet = false;
  bool hasSeed = false;
  uint32_t seed = 0;
  std::string reportPath;
  std::string input;
  std::string output;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "scramble835: %s\n", message.c_str());
  std::fprintf(stderr, "Try 'scramble835 --help'.\n");
  return kExitUsage;
}

bool ParseSeed(const char* text, uint32_t& seed) {
  if (text == nullptr || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) return false;
  seed = static_cast<uint32_t>(value);
  return true;
}

// Status texts and percentages on standard error.  On a terminal the
// percentage of the current stage is updated in place; elsewhere each
// status text is one line and no percentages are shown.
class Progress {
 public:
  Progress(bool enabled, bool terminal) : enabled_(enabled), terminal_(terminal) {}
  ~Progress() { EndLine(); }

  void Status(const std::string& text) {
    if (!enabled_) return;
    EndLine();
    current_ = text;
    if (terminal_) {
      std::fprintf(stderr, "%s", text.c_str());
      open_ = true;
    } else {
      std::fprintf(stderr, "%s\n", text.c_str());
    }
    std::fflush(stderr);
  }
  void Percent(int percent) {
    if (!enabled_ || !terminal_) return;
    std::fprintf(stderr, "\r%s %3d%%", current_.c_str(), percent);
    std::fflush(stderr);
    open_ = true;
  }
  void EndLine() {
    if (open_) std::fputc('\n', stderr);
    open_ = false;
  }
  ProgressTarget Target() {
    ProgressTarget target;
    if (enabled_ && terminal_) {
      target.window = 1;
      target.step = [](const ProgressTarget& self, int percent) {
        static_cast<Progress*>(self.context)->Percent(percent);
      };
      target.context = this;
    }
    return target;
  }

 private:
  bool enabled_;
  bool terminal_;
  bool open_ = false;
  std::string current_;
};

class CliDialog final : public EngineDialog {
 public:
  CliDialog(const Options& options, Progress& progress) : options_(options), progress_(progress) {}
  std::string InputPathText() override { return options_.input; }
  std::string OutputPathText() override { return options_.output; }
  bool ListingChecked() override { return options_.listing; }
  void SetStatusText(const std::string& text) override { progress_.Status(text); }

 private:
  const Options& options_;
  Progress& progress_;
};

class CliNotice final : public EngineNotice {
 public:
  explicit CliNotice(Progress& progress) : progress_(progress) {}
  void Show(const std::string& text) override {
    progress_.EndLine();
    std::fprintf(stderr, "%s\n", text.c_str());
  }

 private:
  Progress& progress_;
};

// Validates the paths in the order and with the texts of the dialog's own
// validation; returns the message, or an empty text when a run may start.
std::string ValidatePaths(const Options& options) {
  if (!IsRegularFile(options.input)) return "Can't find Input File";
  if (!IsUsableOutputPath(options.output)) return "Invalid or Missing Output File Path or Name";
  // The same file under another name (or, for a file still to be made,
  // the same folder spelled another way) would be overwritten while it is
  // read, or replaced by another of the run's files.
  if (IsSamePath(options.input, options.output)) {
    return "Output File cannot be same as Input File";
  }
  if (!options.reportPath.empty()) {
    const std::string& report = options.reportPath;
    if (IsSamePath(report, options.input) || IsSamePath(report, options.output)) {
      return "Report File cannot be same as Input or Output File";
    }
    if (!IsUsableOutputPath(report)) return "Invalid or Missing Report File Path or Name";
  }
  return std::string();
}

// Writes the report to its file through a temporary file beside it, both
// the owner's alone: with the listing, the report pairs every original
// segment with its replacement.
int32_t WriteReportFile(const std::string& path, const std::string& text) {
  std::string tempPath, targetPath;
  FILE* file = nullptr;
  int32_t code = CreateReportTempFile(path, tempPath, targetPath, &file);
  if (code != 0) return code;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) code = errno != 0 ? errno : EIO;
  errno = 0;
  if (std::fclose(file) != 0 && code == 0) code = errno != 0 ? errno : EIO;
  if (code == 0) code = MoveFileReplacing(tempPath, targetPath);
  if (code != 0) RemoveFile(tempPath);
  ForgetTempFile(tempPath);
  return code;
}

int Scramble(const Options& options) {
  std::string problem = ValidatePaths(options);
  if (!problem.empty()) {
    std::fprintf(stderr, "%s\n", problem.c_str());
    return kExitUsage;
  }
  InstallInterruptCleanup();

  Progress progress(!options.quiet, IsTerminalStream(stderr));
  CliDialog dialog(options, progress);
  CliNotice notice(progress);
  LcgRandom seeded(static_cast<float>(options.seed));
  SystemRandom secure;
  RandomSource& random = options.hasSeed ? static_cast<RandomSource&>(seeded) : secure;

  RunResult run = RunScramble(dialog, random, notice, progress.Target());
  progress.Status("Done, Ready");
  progress.EndLine();

  if (run.scanCode != 0) {
    std::fprintf(stderr, "%s\n", run.report.c_str());
    return kExitScanFailed;
  }
  if (run.copyError != 0) {  // nothing was scrambled
    std::fprintf(stderr, "%s\n", run.report.c_str());
    return kExitNotWritten;
  }
  int status = kExitOk;
  if (run.scramble.opened && !run.scramble.reportWritten) {
    // The temporary report file could not be written whole (a full
    // temporary folder): what follows is only part of the report.
    std::fprintf(stderr, "Report incomplete: could not write the temporary report file\n");
    status = kExitNotWritten;
  }
  if (!options.reportPath.empty()) {
    if (int32_t code = WriteReportFile(options.reportPath, run.report)) {
      std::fprintf(stderr, "Report NOT written: could not write file %s (%s)\n",
                   options.reportPath.c_str(), PlatformErrorText(code).c_str());
      status = kExitNotWritten;
    }
  } else {
    errno = 0;
    std::fwrite(run.report.data(), 1, run.report.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      const int32_t code = errno != 0 ? errno : EIO;
      std::fprintf(stderr, "Report NOT written: could not write to standard output (%s)\n",
                   PlatformErrorText(code).c_str());
      status = kExitNotWritten;
    }
  }
  if (!run.scramble.outputWritten) {
    if (run.scramble.opened) {
      std::fprintf(stderr, "%s\n",
                   OutputNotWrittenText(options.output, run.scramble.outputError).c_str());
    }
    status = kExitNotWritten;
  }
  // Warnings go out whatever --quiet says: each tells of identifying data
  // left in place or of input left out.
  for (const std::string& warning : run.scramble.warnings) {
    std::fprintf(stderr, "scramble835: warning: %s\n", warning.c_str());
  }
  // An output cut short at a byte 0x1A is written, but the run did not do
  // what was asked of it.
  if (run.scramble.endMarkMet) status = kExitNotWritten;
  return status;
}

// The end of a run that a failure it could not go on from cut short: the
// temporary files go (the unnamed ones go with the process), and the exit
// status says that nothing was written.  No allocation here.
int Abandon(const char* reason) {
  DeleteRegisteredTempFiles();
  std::fputs("scramble835: ", stderr);
  std::fputs(reason, stderr);
  std::fputs("\n", stderr);
  return kExitNotWritten;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef SIGPIPE
  // A closed pipe or the file-size limit makes the write fail, which the
  // run handles and reports, instead of ending the process on the spot.
  std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
  std::signal(SIGXFSZ, SIG_IGN);
#endif
  if (argc > 1 && std::strcmp(argv[1], "--check") == 0) return CheckCommand(argc - 2, argv + 2);
  const CheckAfterRun check = TakeCheckOption(argc, argv);
  Options options;
  std::vector<std::string> paths;
  bool inspect = false;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      paths.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version") {
      std::printf("scramble835 %s (x12scan %s)\n", SCRAMBLE835_VERSION,
                  ScanLibraryVersion().c_str());
      return kExitOk;
    } else if (arg == "--listing") {
      options.listing = true;
    } else if (arg == "--quiet" || arg == "-q") {
      options.quiet = true;
    } else if (arg == "--inspect") {
      inspect = true;
    } else if (arg == "--report" || arg == "--seed") {
      if (i + 1 >= argc) return UsageError("option " + arg + " needs a value");
      const char* value = argv[++i];
      if (arg == "--report") {
        if (*value == '\0') return UsageError("option --report needs a file name");
        options.reportPath = value;
      } else {
        if (!ParseSeed(value, options.seed)) {
          return UsageError(std::string("invalid seed '") + value +
                            "' (a whole number from 0 to 4294967295)");
        }
        options.hasSeed = true;
      }
    } else {
      return UsageError("unknown option " + arg);
    }
  }

  if (inspect) {
    if (paths.size() != 1) return UsageError("--inspect takes one INPUT");
    return RunInspect(paths[0], stdout, stderr);
  }
  if (paths.size() != 2) return UsageError("expected INPUT and OUTPUT");
  options.input = paths[0];
  options.output = paths[1];
  try {
    return FinishRun(check, Scramble(options), options.input, options.output);
  } catch (const std::bad_alloc&) {
    return Abandon("out of memory");
  } catch (const std::exception&) {
    return Abandon("the run failed");
  }
}
