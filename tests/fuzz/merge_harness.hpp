// The checks every fuzz target makes on a merge of arbitrary input files.
#pragma once

#include <string>
#include <vector>

namespace vellox::fuzz {

// Writes `inputs` as files in a private folder, merges them twice into
// classic TIFF and once into BigTIFF, and aborts when a merge breaks a
// promise: a result code outside {1, 0, -1, -2, -3}, a temporary file left
// behind, an output without success or success without an output, a report
// that disagrees with the result or the output's format, or two merges of
// the same bytes that differ; or when vellox::Info on the first input
// changes it or disagrees with what the merge did with its pages.
void CheckMerge(const std::vector<std::string>& inputs);

// Splits one fuzz input into two files at the first kSplitMarker, or in the
// middle when there is none.
std::vector<std::string> SplitInTwo(const std::string& data);

inline constexpr char kSplitMarker[] = "--VELLOX-SPLIT--";

}  // namespace vellox::fuzz
