// The merge report as the command line prints it, shared by `merge` and
// `batch`: JSON for any path bytes, the names of fates and result codes.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "vellox/KWVellox.hpp"

namespace vellox::cli {

// JSON string contents for any bytes. Well-formed UTF-8 passes through;
// every other byte b becomes \udcXX (U+DC00 + b), the mapping of Python's
// "surrogateescape".
std::string JsonEscape(const std::string& text);

const char* FateName(InputFate fate);

// What a merge-wide result code means, for a report without a reason.
const char* ResultMessage(std::int32_t code);

// The report as one JSON object: `result`, `reason`, `output`, `pages`,
// `bytes`, `files`. Laid out over several lines (as `merge --json` prints
// it), or on one line with `prefix` (already formatted "key": value pairs
// followed by ", ") as its first members.
void WriteJson(std::ostream& out, const MergeReport& report, const std::string& output);
void WriteJsonLine(std::ostream& out, const MergeReport& report, const std::string& output, const std::string& prefix);

}  // namespace vellox::cli
