// `vellox batch`: many merges from a job list, in parallel, one merger per
// worker thread.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

#include "vellox/KWVellox.hpp"

namespace vellox::cli {

struct BatchOptions {
  std::string Jobs;      // the job list's path, or "-" for standard input
  unsigned Workers = 0;  // 0: one per core
  bool Json = false;
  bool Sync = false;
  OutputFormat Format = OutputFormat::Auto;
  CloneMode Clone = CloneMode::Auto;
  ByteOrder Order = ByteOrder::First;
};

// The most merges that run at once: the library remembers the hidden
// outputs of this many merges for removal on a signal.
constexpr unsigned kMaxWorkers = 64;

// Adds `--byte-order first|little|big|auto` (case-insensitive) to a command
// that merges, filling `order` when parsed.
CLI::Option* AddByteOrderOption(CLI::App& command, ByteOrder& order);

// Adds the `batch` subcommand, which fills `options` when parsed.
CLI::App* AddBatchCommand(CLI::App& app, BatchOptions& options);

// Runs the jobs and returns the exit status: 0 every output was written
// whole; 1 some job wrote nothing; 2 a bad job list (nothing run); 3 every
// job wrote its output, but some input was missing or not copied whole.
int RunBatch(const BatchOptions& options);

}  // namespace vellox::cli
