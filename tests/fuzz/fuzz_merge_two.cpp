// Fuzz target: the fuzz input, split in two, gives the two files of a merge,
// so that the second is copied into an output the first one started (and
// possibly in the other byte order).
#include <cstddef>
#include <cstdint>
#include <string>

#include "merge_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vellox::fuzz::CheckMerge(vellox::fuzz::SplitInTwo(std::string(reinterpret_cast<const char*>(data), size)));
  return 0;
}
