// The command line's check of a scrambled output against its input.
#pragma once

#include <string>

/// `scramble835 --check [--json] INPUT OUTPUT`: `argv` holds the `argc`
/// arguments that follow --check.  Prints the summary on standard output;
/// returns the exit status: 0 integrity holds, 1 it does not, 2 bad
/// arguments, 3 a file fails to scan, 4 the check could not run.
int CheckCommand(int argc, char** argv);

/// A --check (and --json) given among the options of a run.
struct CheckAfterRun {
  bool wanted = false;
  bool json = false;
};

/// Takes a --check that follows other options out of `argv` (and a --json
/// with it), so that the run's own option parsing never sees them.  Values
/// of --report and --seed and everything after "--" are left alone.
CheckAfterRun TakeCheckOption(int& argc, char** argv);

/// The exit status of a run with status `runStatus`: when the run succeeded
/// and a check was asked for, the check of `output` against `input`.
int FinishRun(const CheckAfterRun& check, int runStatus, const std::string& input,
              const std::string& output);
