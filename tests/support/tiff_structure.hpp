// Checks the raw structure of a TIFF file without libtiff: where its
// directories and values lie, and that they are laid out as readers that
// map or seek into the file expect.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace vellox::test {

// Walks every directory of the classic TIFF or BigTIFF at `path`, in either
// byte order: the page chain and what hangs off each directory (SubIFDs and
// their chains, EXIF, GPS, Interoperability). Fails, naming the directory,
// the tag and the offset, unless
//   - every directory starts on a 2-byte boundary (8 in BigTIFF) and every
//     out-of-line value on an even offset;
//   - every directory, out-of-line value and piece of image data (strips,
//     tiles, an old-style JPEG stream, free space) lies inside the file;
//   - no directory or out-of-line value overlaps the header, another
//     directory, another value or image data. Image data may overlap image
//     data: old-style JPEG strips point into their page's stream.
// Reads only the header, directories and the values it needs, so files of
// any size can be checked; hostile files end the walk with a failure.
testing::AssertionResult IsWellFormedTiff(const std::string& path);

}  // namespace vellox::test
