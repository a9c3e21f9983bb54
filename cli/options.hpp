// What `merge`, `append` and `batch` share: exit codes, the merge options and
// their command-line spelling.
#pragma once

#include <CLI/CLI.hpp>

#include "vellox/vellox.hpp"

namespace vellox::cli {

constexpr int kExitOk = 0;
constexpr int kExitNothingWritten = 1;  // merge: no output; batch: some job wrote nothing
constexpr int kExitUsage = 2;
constexpr int kExitSomeInputFailed = 3;

// Adds --sync, --format, --clone and --byte-order to a command that merges,
// filling `options` as they are parsed. A value that names none of the
// choices (in any case) is a usage error that lists them.
void AddMergeOptions(CLI::App& command, MergeOptions& options);
// Adds what of them applies to `append`: --clone (the target decides the
// format and byte order, and an append always reaches the disk).
void AddAppendOptions(CLI::App& command, MergeOptions& options);

}  // namespace vellox::cli
