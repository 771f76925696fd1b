// `scramble835 --inspect`: a readable listing of a file's envelope.
#pragma once

#include <cstdio>
#include <string>

/// Exit status of the envelope listing when the input cannot be used.
constexpr int kInspectBadArgument = 2;
/// Exit status of the envelope listing when the scan returned a non-zero code.
constexpr int kInspectScanFailed = 3;

/// Scans `path` (no copy written) and prints its envelope to `out`; problems
/// with the argument itself go to `err`.  Returns the exit status: 0 when the
/// scan code is 0, kInspectScanFailed for any other code, kInspectBadArgument
/// when `path` does not name a readable plain file.
int RunInspect(const std::string& path, FILE* out, FILE* err);
