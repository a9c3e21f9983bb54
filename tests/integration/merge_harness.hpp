// Runs merges on real files for the integration tests and looks at the
// raw structure of their output.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/libtiff_checker.hpp"
#include "support/temp_dir.hpp"
#include "support/tiff_structure.hpp"
#include "vellox/KWVellox.hpp"

namespace vellox::test {

struct MergeOutcome {
  std::int32_t Result = 0;
  MergeReport Report;
  std::string Output;  // full path of the output file
};

// Merges `inputs` (full paths) into `outputDir`/`name` with a fresh merger.
MergeOutcome Merge(const std::vector<std::string>& inputs, const std::string& outputDir,
                   const std::string& name = "merged.tif", const MergeOptions& options = {});

// The chain of directories of a classic TIFF or a BigTIFF, walked byte by
// byte without libtiff.
struct RawChain {
  bool LittleEndian = true;
  bool Big = false;                        // BigTIFF: version 43
  std::vector<std::uint64_t> Directories;  // offsets, in chain order
  bool EndsWithZeroLink = false;           // the chain ends with a link of 0
  bool CrLfAfterLinks = true;              // every link is followed by CR LF (the merger's layout)
  std::string Problem;                     // why the walk stopped early
};
RawChain WalkChain(const std::string& bytes);

// Everything a merged output must be: libtiff finds exactly the pages
// `expected` in order, equal in tags and decoded pixels, with no error or
// warning; `tiffinfo -D` reads it cleanly (when installed); its raw chain
// has one directory per page, each link followed by CR LF, and ends with a
// link of 0; its last byte is the trailer byte 0xA0; and its directories and
// values are aligned and overlap nothing (IsWellFormedTiff).
testing::AssertionResult IsMergeOf(const std::string& output, const std::vector<PageRef>& expected);

// Writes a one-page 8-bit grey TIFF (BigTIFF when `big`), width x height in
// one uncompressed strip right after the directory, whose bytes are a hole
// (zeros) but for `marker` at the strip's start and end: gigabytes of image
// cost no disk and no time. Returns the strip's offset.
std::uint64_t WriteSparseTiff(const std::string& path, std::uint32_t width, std::uint32_t height, bool big,
                              const std::string& marker);

// Copies `from` to `to` byte for byte.
void CopyFile(const std::string& from, const std::string& to);

}  // namespace vellox::test
