#include "check_command.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "check.h"
#include "x12scan.h"

namespace {

enum CheckExit { kCheckPassed = 0, kCheckFailed = 1, kCheckUsage = 2, kCheckScan = 3, kCheckNotRun = 4 };

// Checks one output against its input; prints why when the check cannot be
// made, else puts the summary in `summary`.  Returns the exit status.
int CheckPair(const std::string& input, const std::string& output, const CheckOptions& options,
              bool json, std::string& summary) {
  CheckResult result;
  try {
    result = CheckScrambledFile(input, output, options);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "scramble835: check: out of memory\n");
    return kCheckNotRun;
  } catch (const std::exception&) {
    std::fprintf(stderr, "scramble835: check: could not start its reading threads\n");
    return kCheckNotRun;
  }
  if (result.inputScan != 0) {
    std::fprintf(stderr, "scramble835: check: %s: %s\n", input.c_str(),
                 ScanErrorText(result.inputScan).c_str());
    return kCheckScan;
  }
  if (result.outputScan != 0) {
    std::fprintf(stderr, "scramble835: check: %s: %s\n", output.c_str(),
                 ScanErrorText(result.outputScan).c_str());
    return kCheckScan;
  }
  if (result.poolScan != 0) {
    std::fprintf(stderr, "scramble835: check: %s: %s\n",
                 options.poolInputs[result.poolScanFailed].c_str(),
                 ScanErrorText(result.poolScan).c_str());
    return kCheckScan;
  }
  summary = json ? CheckSummaryJson(result, input, output) : CheckSummaryText(result, input, output);
  return result.Passed() ? kCheckPassed : kCheckFailed;
}

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

int Check(const std::string& input, const std::string& output, bool json,
          const CheckOptions& options) {
  std::string summary;
  const int status = CheckPair(input, output, options, json, summary);
  Print(summary);
  return status;
}

// Every input of a pool against its output: one summary each (as JSON, one
// object that holds them all), then the pool's status.  The exit status is
// the highest of the pairs'.
int CheckPool(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
              bool json, bool thorough) {
  int status = kCheckPassed;
  size_t failed = 0, notChecked = 0;
  std::string pairs;
  for (size_t i = 0; i < inputs.size(); ++i) {
    CheckOptions options;
    options.thorough = thorough;
    for (size_t k = 0; k < inputs.size(); ++k) {
      if (k != i) options.poolInputs.push_back(inputs[k]);
    }
    std::string summary;
    const int pair = CheckPair(inputs[i], outputs[i], options, json, summary);
    if (pair > status) status = pair;
    if (summary.empty()) {
      ++notChecked;
      continue;
    }
    if (pair != kCheckPassed) ++failed;
    if (json) {
      summary.pop_back();  // its line end
      pairs += (pairs.empty() ? "" : ",") + summary;
    } else {
      Print(summary + "\n");
    }
  }
  const bool passed = status == kCheckPassed;
  if (json) {
    Print(std::string("{\"result\":\"") + (passed ? "passed" : "failed") +
          "\",\"failed\":" + std::to_string(failed) +
          ",\"notChecked\":" + std::to_string(notChecked) + ",\"pairs\":[" + pairs + "]}\n");
  } else if (passed) {
    Print("Pool check: PASSED (" + std::to_string(inputs.size()) + " inputs and their outputs)\n");
  } else {
    Print("Pool check: FAILED (" + std::to_string(failed) + " of " +
          std::to_string(inputs.size()) + " outputs failed, " + std::to_string(notChecked) +
          " could not be checked)\n");
  }
  return status;
}

}  // namespace

int CheckCommand(int argc, char** argv) {
  bool json = false;
  CheckOptions options;
  bool optionsEnded = false;
  bool pool = false;
  std::string outDir;
  std::vector<std::string> paths;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      paths.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--json") {
      json = true;
    } else if ((arg == "--out-dir" && i + 1 < argc) || arg.compare(0, 10, "--out-dir=") == 0) {
      pool = true;
      outDir = arg == "--out-dir" ? argv[++i] : arg.substr(10);
    } else if (arg == "--thorough") {
      options.thorough = true;
    } else {
      std::fprintf(stderr, "scramble835: --check: unknown option %s\nTry 'scramble835 --help'.\n",
                   arg.c_str());
      return kCheckUsage;
    }
  }
  if (pool) {
    if (paths.empty() || outDir.empty()) {
      std::fprintf(stderr, "scramble835: --check --out-dir expects DIR and one INPUT or more\n"
                           "Try 'scramble835 --help'.\n");
      return kCheckUsage;
    }
    std::vector<std::string> outputs;
    for (const std::string& input : paths) outputs.push_back(PoolOutputPath(outDir, input));
    return CheckPool(paths, outputs, json, options.thorough);
  }
  if (paths.size() != 2) {
    std::fprintf(stderr, "scramble835: --check expects INPUT and OUTPUT\nTry 'scramble835 --help'.\n");
    return kCheckUsage;
  }
  return Check(paths[0], paths[1], json, options);
}

CheckAfterRun TakeCheckOption(int& argc, char** argv) {
  CheckAfterRun check;
  std::vector<int> taken;
  int json = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "--report") == 0 || std::strcmp(argv[i], "--seed") == 0 ||
        std::strcmp(argv[i], "--out-dir") == 0) {
      ++i;  // its value
    } else if (std::strcmp(argv[i], "--check") == 0) {
      check.wanted = true;
      taken.push_back(i);
    } else if (std::strcmp(argv[i], "--json") == 0) {
      json = i;
    } else if (std::strcmp(argv[i], "--thorough") == 0) {
      check.thorough = true;  // left for the run's own parsing
    }
  }
  if (!check.wanted) return check;  // a lone --json stays for the parser to refuse
  if (json >= 0) {
    check.json = true;
    taken.push_back(json);
  }
  int to = 1;
  for (int from = 1; from < argc; ++from) {
    bool drop = false;
    for (int t : taken) drop = drop || t == from;
    if (!drop) argv[to++] = argv[from];
  }
  argc = to;
  argv[argc] = nullptr;
  return check;
}

int FinishRun(const CheckAfterRun& check, int runStatus, const std::string& input,
              const std::string& output) {
  if (!check.wanted || runStatus != 0) return runStatus;
  std::fflush(stdout);
  CheckOptions options;
  options.thorough = check.thorough;
  return Check(input, output, check.json, options);
}

std::string PoolOutputPath(const std::string& dir, const std::string& input) {
#if defined(_WIN32)
  const char* const kSeparators = "/\\:";
#else
  const char* const kSeparators = "/";
#endif
  const size_t cut = input.find_last_of(kSeparators);
  const std::string name = cut == std::string::npos ? input : input.substr(cut + 1);
  const bool ends = !dir.empty() && std::strchr(kSeparators, dir.back()) != nullptr;
  return dir + (ends ? "" : "/") + name;
}

int FinishPoolRun(const CheckAfterRun& check, int runStatus, const std::vector<std::string>& inputs,
                  const std::vector<std::string>& outputs) {
  if (!check.wanted || runStatus != 0) return runStatus;
  std::fflush(stdout);
  return CheckPool(inputs, outputs, check.json, check.thorough);
}
