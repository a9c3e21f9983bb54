// The merge report as the command line prints it, shared by `merge` and
// `batch`, and the JSON both read and write.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "vellox/vellox.hpp"

namespace vellox::cli {

using Json = nlohmann::ordered_json;

// The report as JSON: `result`, `status`, `reason`, `output`, `pages`,
// `bytes`, `files` (each with `path`, `fate`, `status`, `result`, `pages`,
// `reason`, `skipped`, `left_out`, `transcoded`).
Json ReportJson(const MergeReport& report);

// JSON text for values whose strings may hold any bytes: well-formed UTF-8
// passes through, every other byte b becomes \udcXX (U+DC00 + b), the
// mapping of Python's "surrogateescape". indent < 0: on one line.
std::string DumpJson(const Json& value, int indent = -1);

// Parses JSON text, reading \udcXX (XX from 80 to FF) and any byte that is
// not well-formed UTF-8 inside a string as that byte, the reverse of
// DumpJson. Throws nlohmann::json::exception for text that is not JSON.
// Strings read this way must pass through BytesOf before use.
Json ParseJson(std::string_view text);
std::string BytesOf(const std::string& parsed);

// Any bytes as a JSON string's value: marked for DumpJson where they are
// not UTF-8 (see report.cpp).
std::string JsonText(const std::string& bytes);

// "1 page", "2 pages".
std::string Count(std::uint64_t count, const char* one, const char* many);

}  // namespace vellox::cli
