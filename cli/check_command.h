// The command line's check of a scrambled output against its input.
#pragma once

#include <string>
#include <vector>

/// `scramble835 --check [--json] [--thorough] INPUT OUTPUT` and
/// `scramble835 --check [--json] [--thorough] --out-dir DIR INPUT...`:
/// `argv` holds the `argc` arguments that follow --check; --thorough checks
/// the output of a thorough run.  Prints the summary on standard output
/// (for a pool one per input and its output, then the pool's status);
/// returns the exit status: 0 integrity holds (for every pair of
/// a pool), 1 it does not, 2 bad arguments, 3 a file fails to scan, 4 the
/// check could not run (for a pool the highest of its pairs).
int CheckCommand(int argc, char** argv);

/// A --check (and --json) given among the options of a run.
struct CheckAfterRun {
  bool wanted = false;
  bool json = false;
  /// The run is a thorough one: its output is checked as such.
  bool thorough = false;
};

/// Takes a --check that follows other options out of `argv` (and a --json
/// with it), so that the run's own option parsing never sees them, and
/// notes a --thorough (which stays for the run).  Values of --report and
/// --seed and everything after "--" are left alone.
CheckAfterRun TakeCheckOption(int& argc, char** argv);

/// The exit status of a run with status `runStatus`: when the run succeeded
/// and a check was asked for, the check of `output` against `input`.
int FinishRun(const CheckAfterRun& check, int runStatus, const std::string& input,
              const std::string& output);

/// The output of `input` in the folder `dir` of a pool: the folder and the
/// input's own file name.
std::string PoolOutputPath(const std::string& dir, const std::string& input);

/// FinishRun for a pool: every input checked against its output, the
/// values of the pool's other inputs counting as values of their columns.
int FinishPoolRun(const CheckAfterRun& check, int runStatus, const std::vector<std::string>& inputs,
                  const std::vector<std::string>& outputs);
