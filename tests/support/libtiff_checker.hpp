// Checks a merged file with libtiff as an independent reader: every page in
// order, its tags and its decoded pixels equal to those of the input page it
// came from, and not one error or warning from libtiff along the way.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

typedef struct tiff TIFF;

namespace vellox::test {

// One page of a TIFF file: the file and the page's 0-based position in it.
struct PageRef {
  std::string Path;
  std::uint32_t Index = 0;
};

// Opens `path` read-only for libtiff through 64-bit file offsets of our own,
// as libtiff's own opener in some 32-bit builds (Debian's i386 one) seeks
// with a 32-bit off_t and stops at 2 GiB. Close with TIFFClose.
TIFF* OpenTiff(const std::string& path, const char* mode);

// Number of pages libtiff finds in `path` (-1 when it cannot open it).
int CountPages(const std::string& path);

// Every page of every file, in order: what a merge of `files` must hold.
std::vector<PageRef> PagesOf(const std::vector<std::string>& files);

// Whether libtiff opens `path` as a big-endian TIFF.
bool IsBigEndianTiff(const std::string& path);

// The output has exactly the pages `expected`, in that order, each equal in
// its tags and decoded pixels to the page it refers to; where the copy
// cannot have changed the stored bytes, the raw strips or tiles are equal
// too. libtiff reading the output (and the references) must not report an
// error or a warning. With `firstPage`, the output's pages from that one on.
testing::AssertionResult PagesMatch(const std::string& output, const std::vector<PageRef>& expected,
                                    std::uint32_t firstPage = 0);

// libtiff reads every page of `path`, decoding every strip or tile, and
// reports nothing.
testing::AssertionResult ReadsCleanly(const std::string& path);

// Whether the `tiffinfo` tool is on the PATH.
bool TiffinfoAvailable();

// `tiffinfo -D` reads `path` with exit status 0 and nothing on its error
// stream. Succeeds without running anything when the tool is absent.
testing::AssertionResult TiffinfoClean(const std::string& path);

}  // namespace vellox::test
