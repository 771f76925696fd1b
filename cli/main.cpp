// scramble835: the de-identification engine as a command-line tool.
//
//   scramble835 [--listing] [--thorough] [--report FILE] [--seed N] [-q | -v] INPUT OUTPUT
//   scramble835 [options] --out-dir DIR INPUT...
//   scramble835 --inspect INPUT
//   scramble835 -h | -V
//
// INPUT '-' reads standard input, OUTPUT '-' writes standard output.
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
    "Usage: scramble835 [--listing] [--thorough] [--report FILE] [--seed N] [-q | -v] INPUT OUTPUT\n"
    "       scramble835 [options] --out-dir DIR INPUT...\n"
    "       scramble835 --inspect INPUT\n"
    "       scramble835 --check [--json] [--thorough] INPUT OUTPUT\n"
    "       scramble835 --check [--json] [--thorough] --out-dir DIR INPUT...\n"
    "       scramble835 -h | -V\n"
    "\n"
    "De-identifies an X12 835 remittance file: exchanges the names and\n"
    "identifiers of the claims between the claims of the file, gives every\n"
    "patient and insured a new member id, and writes the result to OUTPUT,\n"
    "one segment per line.  The run report goes to standard output.\n"
    "INPUT '-' reads standard input.  OUTPUT '-' writes the result to standard\n"
    "output once the run is complete; the report then needs --report.\n"
    "With --out-dir, the INPUT files are scrambled as one pool (values are\n"
    "exchanged among the claims of all of them) and each is written to DIR\n"
    "under its own file name, all of them or none; one report for all.\n"
    "\n"
    "  --listing            list every changed segment before and after in the report\n"
    "  --thorough           also exchange NM1 GB, REF 28 6P IG F8 G1 9A 9C CE and 6R,\n"
    "                       and let PLB references follow their claims; each column\n"
    "                       only among the claims that hold a value of it\n"
    "  --report FILE, --report=FILE\n"
    "                       write the report to FILE instead of standard output\n"
    "  --seed N, --seed=N   reproducible run from the seed N (0 to 4294967295);\n"
    "                       without it the system's secure random source is used\n"
    "  --out-dir DIR, --out-dir=DIR\n"
    "                       scramble the INPUT files as one pool into the folder DIR\n"
    "  -q, --quiet          no progress on standard error\n"
    "  -v, --verbose        the stages on standard error even when it is no terminal\n"
    "  --inspect            show the envelope of INPUT\n"
    "  --check              check OUTPUT against INPUT (first argument: check only;\n"
    "                       after options: check the run's own output); --json for\n"
    "                       a JSON summary, --thorough for a thorough run's output;\n"
    "                       status 0 faithful, 1 not, 3 scan failed\n"
    "  -h, --help           show this help\n"
    "  -V, --version        show the version\n"
    "\n"
    "Errors and warnings go to standard error whatever --quiet says.\n"
    "Exit status: 0 done, 2 bad arguments or paths, 3 scan failed,\n"
    "4 output or report not written.\n";

// INPUT or OUTPUT standing for standard input or output, and the names they
// go by in messages and the report.
const char kStreamArgument[] = "-";
const char kStandardInput[] = "standard input";
const char kStandardOutput[] = "standard output";

// Whether the stage lines go to standard error: by default only to a
// terminal; the last of --quiet and --verbose decides otherwise.
enum class Stages { kOnTerminal, kNever, kAlways };

struct Options {
  bool listing = false;
  bool thorough = false;
  Stages stages = Stages::kOnTerminal;
  bool hasSeed = false;
  uint32_t seed = 0;
  std::string reportPath;
  std::string input;
  std::string output;
  // --out-dir: the folder of a pool's outputs.
  bool pool = false;
  std::string outDir;
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

// "scramble835: " and the text on standard error: every error and refusal.
void Error(const std::string& text) { std::fprintf(stderr, "scramble835: %s\n", text.c_str()); }

bool IsStream(const std::string& path) { return path == kStreamArgument; }

// A named temporary file of this process (made by MakeTempFileName:
// owner-only and registered for deletion on an interrupt), deleted when let
// go of.
class TempFile {
 public:
  TempFile() = default;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { Delete(); }
  int32_t Create(const char* prefix) { return MakeTempFileName(prefix, path_); }
  const std::string& Path() const { return path_; }
  void Delete() {
    if (path_.empty()) return;
    RemoveFile(path_);
    Forget();
  }
  // Removes the file's name while it is open, where the system allows it
  // (POSIX); elsewhere Delete does so once it is closed.
  void Unlink() {
    if (!path_.empty() && RemoveFile(path_) == 0) Forget();
  }

 private:
  void Forget() {
    ForgetTempFile(path_);
    path_.clear();
  }
  std::string path_;
};

// The error of the call that just failed, as errno gives it; EIO when the
// call set none.
int32_t LastErrno() { return ErrnoCode(errno != 0 ? errno : EIO); }
std::string LastErrnoText() { return std::strerror(errno != 0 ? errno : EIO); }

// Copies `in` onto `out` up to the end of `in`, or up to the first failure,
// whose text goes to `readProblem` or `writeProblem`.
void CopyStream(FILE* in, FILE* out, std::string& readProblem, std::string& writeProblem) {
  std::vector<char> buffer(size_t{1} << 16);
  for (;;) {
    errno = 0;
    const size_t got = std::fread(buffer.data(), 1, buffer.size(), in);
    if (got == 0) {
      if (std::ferror(in)) readProblem = LastErrnoText();
      return;
    }
    errno = 0;
    if (std::fwrite(buffer.data(), 1, got, out) != got) {
      writeProblem = LastErrnoText();
      return;
    }
  }
}

// Standard input copied whole into a private temporary file, which the
// scan then reads as it reads any input file.
struct SpoolResult {
  std::string readProblem;   // standard input could not be read
  std::string writeProblem;  // the temporary file could not be made or written
};

SpoolResult SpoolStandardInput(ScopedPrivateTempFile& spool) {
  SpoolResult result;
  SetBinaryStream(stdin);
  if (int32_t code = spool.Create("~in")) {
    result.writeProblem = PlatformErrorText(code);
    return result;
  }
  errno = 0;
  FILE* out = OpenFileShared(spool.Path(), "wb");
  if (out == nullptr) {
    result.writeProblem = LastErrnoText();
    return result;
  }
  CopyStream(stdin, out, result.readProblem, result.writeProblem);
  errno = 0;
  if (std::fclose(out) != 0 && result.writeProblem.empty()) result.writeProblem = LastErrnoText();
  return result;
}

// Copies the finished output to standard output and deletes it; returns
// why the copy failed, or an empty text.
std::string CopyToStandardOutput(TempFile& output) {
  errno = 0;
  FILE* in = std::fopen(output.Path().c_str(), "rb");
  if (in == nullptr) return LastErrnoText();
  // Nothing is left by name should the process end during the copy.
  output.Unlink();
  std::string problem;
  CopyStream(in, stdout, problem, problem);
  std::fclose(in);
  output.Delete();
  errno = 0;
  if (std::fflush(stdout) != 0 && problem.empty()) problem = LastErrnoText();
  return problem;
}

class CliDialog final : public EngineDialog {
 public:
  CliDialog(const Options& options, const std::string& inputFile, const std::string& outputFile,
            Progress& progress)
      : options_(options), inputFile_(inputFile), outputFile_(outputFile), progress_(progress) {}
  std::string InputPathText() override {
    return IsStream(options_.input) ? kStandardInput : options_.input;
  }
  std::string OutputPathText() override {
    return IsStream(options_.output) ? kStandardOutput : options_.output;
  }
  std::string InputFileToRead() override { return inputFile_; }
  std::string OutputFileToWrite() override { return outputFile_; }
  bool ListingChecked() override { return options_.listing; }
  bool ThoroughChecked() override { return options_.thorough; }
  void SetStatusText(const std::string& text) override {
    // The run says "Scan Complete" after a failed scan too: the line waits
    // for what follows a scan that succeeded.
    if (text == "Scan Complete") {
      scanCompletePending_ = true;
      return;
    }
    ConfirmScan();
    progress_.Status(text);
  }
  // The scan succeeded: its line goes out if it has not yet.
  void ConfirmScan() {
    if (scanCompletePending_) progress_.Status("Scan Complete");
    scanCompletePending_ = false;
  }

 private:
  const Options& options_;
  const std::string& inputFile_;
  const std::string& outputFile_;
  Progress& progress_;
  bool scanCompletePending_ = false;
};

class CliNotice final : public EngineNotice {
 public:
  explicit CliNotice(Progress& progress) : progress_(progress) {}
  void Show(const std::string& text) override {
    progress_.EndLine();
    Error(text);
  }

 private:
  Progress& progress_;
};

// Two paths that lead to the same file (see IsSamePath); a stream is the
// same only as itself.
bool SameFile(const std::string& a, const std::string& b) {
  if (IsStream(a) || IsStream(b)) return a == b;
  return IsSamePath(a, b);
}

// Validates the paths in the order of the dialog's own validation, its
// texts followed by the path and the reason; returns the message, or an
// empty text when a run may start.  Standard input and output are not
// checked here.
std::string ValidatePaths(const Options& options) {
  if (!IsStream(options.input)) {
    const std::string problem = InputFileProblem(options.input);
    if (!problem.empty()) return "Can't find Input File: " + options.input + " (" + problem + ")";
  }
  if (!IsStream(options.output)) {
    const std::string problem = OutputPathProblem(options.output);
    if (!problem.empty()) {
      return "Invalid or Missing Output File Path or Name: " + options.output + " (" + problem + ")";
    }
  }
  // The same file under another name (or, for a file still to be made,
  // the same folder spelled another way) would be overwritten while it is
  // read, or replaced by another of the run's files.
  if (!IsStream(options.output) && SameFile(options.input, options.output)) {
    return "Output File cannot be same as Input File: " + options.output;
  }
  if (!options.reportPath.empty()) {
    const std::string& report = options.reportPath;
    if (SameFile(report, options.input) || SameFile(report, options.output)) {
      return "Report File cannot be same as Input or Output File: " + report;
    }
    const std::string problem = OutputPathProblem(report);
    if (!problem.empty()) {
      return "Invalid or Missing Report File Path or Name: " + report + " (" + problem + ")";
    }
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
  if (std::fwrite(text.data(), 1, text.size(), file) != text.size()) code = LastErrno();
  errno = 0;
  if (std::fclose(file) != 0 && code == 0) code = LastErrno();
  if (code == 0) code = MoveFileReplacing(tempPath, targetPath);
  if (code != 0) RemoveFile(tempPath);
  ForgetTempFile(tempPath);
  return code;
}

// The report to its file, or to standard output without --report; false
// (with the message given) when it could not be written.
bool WriteReport(const Options& options, const std::string& report) {
  if (!options.reportPath.empty()) {
    if (int32_t code = WriteReportFile(options.reportPath, report)) {
      Error("Report NOT written: could not write file " + options.reportPath + " (" +
            PlatformErrorText(code) + ")");
      return false;
    }
    return true;
  }
  errno = 0;
  std::fwrite(report.data(), 1, report.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    const int32_t code = LastErrno();
    Error("Report NOT written: could not write to standard output (" + PlatformErrorText(code) +
          ")");
    return false;
  }
  return true;
}

// Puts `line` in place of the report's closing line about the output.
void ReplaceOutputLine(std::string& report, const std::string& line) {
  const std::string written = std::string("Scrambled data written to file ") + kStandardOutput;
  const size_t at = report.rfind(written);
  if (at != std::string::npos) report.replace(at, written.size(), line);
}

int Scramble(const Options& options) {
  std::string problem = ValidatePaths(options);
  if (!problem.empty()) {
    Error(problem);
    return kExitUsage;
  }
  InstallInterruptCleanup();
  // The report's lines end in CR LF already, and the output goes out as
  // written.
  SetBinaryStream(stdout);

  ScopedPrivateTempFile spool;
  std::string inputFile = options.input;
  if (IsStream(options.input)) {
    SpoolResult spooled = SpoolStandardInput(spool);
    if (!spooled.readProblem.empty()) {
      Error(std::string("Can't find Input File: ") + kStandardInput + " (" + spooled.readProblem +
            ")");
      return kExitUsage;
    }
    if (!spooled.writeProblem.empty()) {
      Error(std::string("Scrambled data NOT written: could not write the temporary copy of ") +
            kStandardInput + " (" + spooled.writeProblem + ")");
      return kExitNotWritten;
    }
    inputFile = spool.Path();
  }
  // Standard output receives the output once it is complete: until then it
  // is a temporary file of its own.
  TempFile streamOutput;
  std::string outputFile = options.output;
  const bool toStream = IsStream(options.output);
  if (toStream) {
    if (int32_t code = streamOutput.Create("~so")) {
      Error(std::string("Scrambled data NOT written: could not write temporary file for ") +
            kStandardOutput + " (" + PlatformErrorText(code) + ")");
      return kExitNotWritten;
    }
    outputFile = streamOutput.Path();
  }

  const bool stages = options.stages == Stages::kAlways ||
                      (options.stages == Stages::kOnTerminal && IsTerminalStream(stderr));
  Progress progress(stages, IsTerminalStream(stderr));
  CliDialog dialog(options, inputFile, outputFile, progress);
  CliNotice notice(progress);
  LcgRandom seeded = LcgRandom::FromSeed(options.seed);
  SystemRandom secure;
  RandomSource& random = options.hasSeed ? static_cast<RandomSource&>(seeded) : secure;

  RunResult run = RunScramble(dialog, random, notice, progress.Target());
  spool.Delete();
  if (run.scanCode == 0) {
    dialog.ConfirmScan();
    progress.Status("Done, Ready");
  }
  progress.EndLine();

  if (run.scanCode != 0) {
    Error("Scan failed: " + dialog.InputPathText() + " (" + ScanErrorText(run.scanCode) + ")");
    return kExitScanFailed;
  }
  if (run.copyError != 0) {  // nothing was scrambled
    Error(run.report);
    return kExitNotWritten;
  }
  int status = kExitOk;
  if (run.scramble.opened && !run.scramble.reportWritten) {
    // The temporary report file could not be written whole (a full
    // temporary folder): what follows is only part of the report.
    Error("Report incomplete: could not write the temporary report file");
    status = kExitNotWritten;
  }
  if (!run.scramble.outputWritten) {
    if (run.scramble.opened) {
      Error(OutputNotWrittenText(dialog.OutputPathText(), run.scramble.outputError));
    }
    status = kExitNotWritten;
  }
  // An output cut short at a byte 0x1A is written, but the run did not do
  // what was asked of it.
  if (run.scramble.endMarkMet) status = kExitNotWritten;

  bool reportWritten = false;
  if (toStream && run.scramble.outputWritten) {
    // Standard output receives the output only from a run that succeeded,
    // and only once the report that says so is written; when the output
    // does not go out whole, the report is written again to say why.
    std::string withheld;
    if (status != kExitOk) {
      withheld = std::string("held back from ") + kStandardOutput + " (" +
                 (run.scramble.endMarkMet ? "the input was read only up to a byte 0x1A"
                                          : "the report could not be written whole") +
                 ")";
    } else if (!WriteReport(options, run.report)) {
      withheld = std::string("held back from ") + kStandardOutput + " (the report was not written)";
      reportWritten = true;  // not again: the message is out
      status = kExitNotWritten;
    } else {
      reportWritten = true;
      const std::string copyProblem = CopyToStandardOutput(streamOutput);
      if (!copyProblem.empty()) {
        withheld = std::string("could not write to ") + kStandardOutput + " (" + copyProblem + ")";
        reportWritten = false;
        status = kExitNotWritten;
      }
    }
    if (!withheld.empty()) {
      const std::string line = "Scrambled data NOT written: " + withheld;
      ReplaceOutputLine(run.report, line);
      Error(line);
    }
  }
  streamOutput.Delete();
  if (!reportWritten && !WriteReport(options, run.report)) status = kExitNotWritten;

  // Warnings go out whatever --quiet says: each tells of identifying data
  // left in place or of input left out.
  for (const std::string& warning : run.scramble.warnings) {
    std::fprintf(stderr, "scramble835: warning: %s\n", warning.c_str());
  }
  return status;
}

// Validates a pool's paths before any work, as ValidatePaths does for one
// input, and the pool's own rules: every input a file of its own name, the
// folder an existing one; returns the message, or an empty text.
std::string ValidatePool(const Options& options, const std::vector<std::string>& inputs,
                         const std::vector<std::string>& outputs) {
  for (const std::string& input : inputs) {
    if (IsStream(input)) {
      return "Invalid Input File for --out-dir: " + input +
             " (standard input cannot be part of a pool)";
    }
    const std::string problem = InputFileProblem(input);
    if (!problem.empty()) return "Can't find Input File: " + input + " (" + problem + ")";
  }
  const std::string folderProblem = FolderProblem(options.outDir);
  if (!folderProblem.empty()) {
    return "Invalid or Missing Output Folder: " + options.outDir + " (" + folderProblem + ")";
  }
  for (size_t i = 0; i < outputs.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (IsSamePath(outputs[i], outputs[j])) {
        return "Two Input Files have the same file name: " + inputs[i] + " (as " + inputs[j] + ")";
      }
    }
  }
  for (const std::string& output : outputs) {
    const std::string problem = OutputPathProblem(output);
    if (!problem.empty()) {
      return "Invalid or Missing Output File Path or Name: " + output + " (" + problem + ")";
    }
  }
  // An input in the folder itself would be overwritten while it is read.
  for (const std::string& output : outputs) {
    for (const std::string& input : inputs) {
      if (SameFile(input, output)) return "Output File cannot be same as Input File: " + output;
    }
  }
  if (!options.reportPath.empty()) {
    const std::string& report = options.reportPath;
    bool same = false;
    for (const std::string& input : inputs) same = same || SameFile(report, input);
    for (const std::string& output : outputs) same = same || SameFile(report, output);
    if (same) return "Report File cannot be same as Input or Output File: " + report;
    const std::string problem = OutputPathProblem(report);
    if (!problem.empty()) {
      return "Invalid or Missing Report File Path or Name: " + report + " (" + problem + ")";
    }
  }
  return std::string();
}

// A pool: every input scrambled as one, each output into the folder.
int ScramblePoolRun(const Options& options, const std::vector<std::string>& inputs,
                    const std::vector<std::string>& outputs) {
  std::string problem = ValidatePool(options, inputs, outputs);
  if (!problem.empty()) {
    Error(problem);
    return kExitUsage;
  }
  InstallInterruptCleanup();
  SetBinaryStream(stdout);

  const bool stages = options.stages == Stages::kAlways ||
                      (options.stages == Stages::kOnTerminal && IsTerminalStream(stderr));
  Progress progress(stages, IsTerminalStream(stderr));
  const std::string none;
  CliDialog dialog(options, none, none, progress);
  CliNotice notice(progress);
  LcgRandom seeded = LcgRandom::FromSeed(options.seed);
  SystemRandom secure;
  RandomSource& random = options.hasSeed ? static_cast<RandomSource&>(seeded) : secure;

  std::vector<PoolPaths> paths;
  for (size_t i = 0; i < inputs.size(); ++i) {
    paths.push_back({inputs[i], inputs[i], outputs[i], outputs[i]});
  }
  PoolRunResult run = RunScramblePool(dialog, paths, random, notice, progress.Target());
  const bool collected = run.failedInput == paths.size();
  if (collected) {
    dialog.ConfirmScan();
    progress.Status("Done, Ready");
  }
  progress.EndLine();

  const std::string nothing =
      "Scrambled data NOT written: no file of the pool was written to " + options.outDir;
  if (run.scanCode != 0) {
    Error("Scan failed: " + inputs[run.failedInput] + " (" + ScanErrorText(run.scanCode) + ")");
    Error(nothing);
    return kExitScanFailed;
  }
  if (run.copyError != 0) {
    Error("Scrambled data NOT written: could not write temporary file for " +
          inputs[run.failedInput] + " (" + PlatformErrorText(run.copyError) + ")");
    Error(nothing);
    return kExitNotWritten;
  }
  if (!run.scramble.opened) {
    Error(nothing);
    return kExitNotWritten;
  }
  int status = kExitOk;
  if (!run.scramble.reportWritten) {
    Error("Report incomplete: could not write the temporary report file");
    status = kExitNotWritten;
  }
  for (size_t i = 0; i < run.files.size(); ++i) {
    if (run.files[i].outputWritten) continue;
    Error(OutputNotWrittenText(outputs[i], run.files[i].outputError));
    status = kExitNotWritten;
  }
  // An output cut short at a byte 0x1A is written, but the run did not do
  // what was asked of it.
  if (run.scramble.endMarkMet) status = kExitNotWritten;
  if (!WriteReport(options, run.report)) status = kExitNotWritten;
  for (const std::string& warning : run.scramble.warnings) {
    std::fprintf(stderr, "scramble835: warning: %s\n", warning.c_str());
  }
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

// The envelope listing, of standard input through a temporary copy.
int Inspect(const std::string& input) {
  if (!IsStream(input)) return RunInspect(input, stdout, stderr);
  InstallInterruptCleanup();
  ScopedPrivateTempFile spool;
  SpoolResult spooled = SpoolStandardInput(spool);
  const std::string& problem =
      spooled.readProblem.empty() ? spooled.writeProblem : spooled.readProblem;
  if (!problem.empty()) {
    Error(std::string("Can't find Input File: ") + kStandardInput + " (" + problem + ")");
    return kInspectBadArgument;
  }
  return RunInspect(spool.Path(), stdout, stderr);
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
    if (optionsEnded || arg.empty() || arg[0] != '-' || IsStream(arg)) {
      paths.push_back(arg);
      continue;
    }
    // "--name=value" for the options that take a value.
    std::string name = arg;
    const char* value = nullptr;
    const size_t equals = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
      name = arg.substr(0, equals);
      value = argv[i] + equals + 1;
    }
    if (name == "--report" || name == "--seed" || name == "--out-dir") {
      if (value == nullptr) {
        if (i + 1 >= argc) return UsageError("option " + name + " needs a value");
        value = argv[++i];
      }
      if (name == "--report") {
        if (*value == '\0') return UsageError("option --report needs a file name");
        options.reportPath = value;
      } else if (name == "--out-dir") {
        if (*value == '\0') return UsageError("option --out-dir needs a folder name");
        options.pool = true;
        options.outDir = value;
      } else {
        if (!ParseSeed(value, options.seed)) {
          return UsageError(std::string("invalid seed '") + value +
                            "' (a whole number from 0 to 4294967295)");
        }
        options.hasSeed = true;
      }
    } else if (value != nullptr) {
      return UsageError("option " + name + " takes no value");
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (arg == "--version" || arg == "-V") {
      std::printf("scramble835 %s (x12scan %s)\n", SCRAMBLE835_VERSION,
                  ScanLibraryVersion().c_str());
      return kExitOk;
    } else if (arg == "--listing") {
      options.listing = true;
    } else if (arg == "--thorough") {
      options.thorough = true;
    } else if (arg == "--quiet" || arg == "-q") {
      options.stages = Stages::kNever;
    } else if (arg == "--verbose" || arg == "-v") {
      options.stages = Stages::kAlways;
    } else if (arg == "--inspect") {
      inspect = true;
    } else {
      return UsageError("unknown option " + arg);
    }
  }

  if (inspect) {
    if (paths.size() != 1 || options.pool) return UsageError("--inspect takes one INPUT");
    return Inspect(paths[0]);
  }
  if (options.pool) {
    if (paths.empty()) return UsageError("--out-dir expects one INPUT or more");
    std::vector<std::string> outputs;
    for (const std::string& input : paths) outputs.push_back(PoolOutputPath(options.outDir, input));
    try {
      return FinishPoolRun(check, ScramblePoolRun(options, paths, outputs), paths, outputs);
    } catch (const std::bad_alloc&) {
      return Abandon("out of memory");
    } catch (const std::exception&) {
      return Abandon("the run failed");
    }
  }
  if (paths.size() != 2) return UsageError("expected INPUT and OUTPUT");
  options.input = paths[0];
  options.output = paths[1];
  if (IsStream(options.output) && options.reportPath.empty()) {
    return UsageError("with OUTPUT '-' the output takes standard output: "
                      "name a file for the report with --report FILE");
  }
  if (check.wanted && (IsStream(options.input) || IsStream(options.output))) {
    return UsageError("--check reads INPUT and OUTPUT again after the run: name files, not '-'");
  }
  try {
    return FinishRun(check, Scramble(options), options.input, options.output);
  } catch (const std::bad_alloc&) {
    return Abandon("out of memory");
  } catch (const std::exception&) {
    return Abandon("the run failed");
  }
}
