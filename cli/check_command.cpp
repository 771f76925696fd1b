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

int Check(const std::string& input, const std::string& output, bool json) {
  CheckResult result;
  try {
    result = CheckScrambledFile(input, output);
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
  const std::string text = json ? CheckSummaryJson(result, input, output)
                                : CheckSummaryText(result, input, output);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return result.Passed() ? kCheckPassed : kCheckFailed;
}

}  // namespace

int CheckCommand(int argc, char** argv) {
  bool json = false;
  bool optionsEnded = false;
  std::vector<std::string> paths;
  for (int i = 0; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      paths.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--json") {
      json = true;
    } else {
      std::fprintf(stderr, "scramble835: --check: unknown option %s\nTry 'scramble835 --help'.\n",
                   arg.c_str());
      return kCheckUsage;
    }
  }
  if (paths.size() != 2) {
    std::fprintf(stderr, "scramble835: --check expects INPUT and OUTPUT\nTry 'scramble835 --help'.\n");
    return kCheckUsage;
  }
  return Check(paths[0], paths[1], json);
}

CheckAfterRun TakeCheckOption(int& argc, char** argv) {
  CheckAfterRun check;
  std::vector<int> taken;
  int json = -1;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) break;
    if (std::strcmp(argv[i], "--report") == 0 || std::strcmp(argv[i], "--seed") == 0) {
      ++i;  // its value
    } else if (std::strcmp(argv[i], "--check") == 0) {
      check.wanted = true;
      taken.push_back(i);
    } else if (std::strcmp(argv[i], "--json") == 0) {
      json = i;
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
  return Check(input, output, check.json);
}
