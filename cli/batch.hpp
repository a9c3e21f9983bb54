// `vellox batch`: many merges from a job list, run in parallel by the
// library's MergeMany.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "vellox/vellox.hpp"

namespace vellox::cli {

struct BatchOptions {
  std::string Jobs;      // the job list's path, or "-" for standard input
  unsigned Workers = 0;  // 0: one per core
  bool Json = false;
  MergeOptions Merge{.Sync = false, .Format = OutputFormat::Auto, .Clone = CloneMode::Auto, .Order = ByteOrder::First};
};

// The longest line a job list may have: a longer one is a usage error
// (reading stops there, so an endless stream without line breaks ends too).
constexpr std::size_t kMaxJobLine = std::size_t{1} << 20;

// Adds the `batch` subcommand, which fills `options` when parsed.
CLI::App* AddBatchCommand(CLI::App& app, BatchOptions& options);

// Runs the jobs and returns the exit status: 0 every output was written
// whole; 1 some job wrote nothing; 2 a bad job list (nothing run); 3 every
// job wrote its output, but some input was missing or not copied whole.
int RunBatch(const BatchOptions& options);

}  // namespace vellox::cli
