// Fuzz target: the fuzz input is the only file of a merge.
#include <cstddef>
#include <cstdint>
#include <string>

#include "merge_harness.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vellox::fuzz::CheckMerge({std::string(reinterpret_cast<const char*>(data), size)});
  return 0;
}
