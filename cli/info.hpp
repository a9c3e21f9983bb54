// `vellox info`: what each file holds, page by page, and what a merge would
// do with each page, through the library's Info.
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "vellox/vellox.hpp"

namespace vellox::cli {

struct InfoOptions {
  std::vector<std::string> Files;
  bool Json = false;
};

// Adds the `info` subcommand, which fills `options` when parsed.
CLI::App* AddInfoCommand(CLI::App& app, InfoOptions& options);

// One file as a JSON object: `path`, `status`, `reason`, `format`,
// `byte_order`, `bytes`, `page_count` and `pages`, one object a line (see
// the README for a page's fields). `info --json` prints {"files": [...]}.
std::string InfoJson(const FileInfo& file);

// Reads and prints every file; returns the exit status: 0 every file was
// read to the end of its pages; 1 some file could not be (its reason on
// standard error).
int RunInfo(const InfoOptions& options);

}  // namespace vellox::cli
