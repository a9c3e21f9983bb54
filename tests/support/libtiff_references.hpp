// Inputs whose fields point at more data in the file (EXIF, GPS and
// Interoperability directories, SubIFDs, old-style JPEG streams and
// tables), and two independent ways of looking at what a merge made of
// them: libtiff's, and a byte-level walk of every directory tree.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "support/libtiff_fixtures.hpp"

namespace vellox::test {

// --- Inputs written by libtiff ------------------------------------------------

// One page written by libtiff, optionally with EXIF and GPS directories and
// reduced-resolution images in SubIFDs.
struct RichPage {
  bool Rgb = false;
  Codec Compression = Codec::None;  // None, Lzw, Deflate or PackBits
  bool Tiles = false;
  bool Exif = false;
  bool Gps = false;
  std::uint32_t ReducedImages = 0;  // SubIFDs, each half the size of the one before
  std::uint32_t Width = 40;
  std::uint32_t Height = 28;
  std::uint32_t Seed = 1;  // varies pixels and EXIF/GPS values
};

// Writes `pages` to `path` with libtiff. Throws std::runtime_error when
// libtiff fails or reports anything.
void WriteRichTiff(const std::string& path, bool littleEndian, const std::vector<RichPage>& pages);

// Gives the EXIF directory of page `page` of the file an Interoperability
// directory (index "R98", version "0100"), working on the bytes: the EXIF
// directory is rewritten at the end of the file with one more entry (40965,
// LONG) and the page's EXIF pointer is moved to it.
void AddInteroperability(const std::string& path, std::uint32_t page);

// --- Old-style JPEG inputs, built byte by byte --------------------------------

// A complete JPEG interchange stream (SOI ... EOI, with its own tables),
// made by libtiff's JPEG codec: grey, or YCbCr subsampled 2x2 when colour.
std::string JpegStream(bool colour, std::uint32_t width, std::uint32_t height, std::uint32_t seed);

enum class JpegTables : std::uint8_t {
  None,          // no 519-521
  InsideStream,  // 519-521 point at the tables inside the stream
  Separate,      // 519-521 point at copies of the tables elsewhere in the file
};

struct OldJpegPage {
  bool Colour = false;
  bool WithLength = true;          // 514 JPEGInterchangeFormatLength present
  bool StripIsWholeStream = true;  // else the strip is the scan data after SOS
  JpegTables Tables = JpegTables::InsideStream;
  std::uint32_t Width = 32;
  std::uint32_t Height = 16;
  std::uint32_t Seed = 1;
};

// A TIFF of old-style JPEG pages (compression 6): each stream lies in the
// file with 513 pointing at it and the one strip inside it.
std::string OldJpegTiff(bool littleEndian, const std::vector<OldJpegPage>& pages);

// --- libtiff's view -------------------------------------------------------------

// What libtiff reads from each page of a file: the decoded page (as RGBA),
// every field of its EXIF and GPS directories, and every SubIFD (followed
// with TIFFSetSubDirectory, and along its chain): its fields and decoded
// strips. Messages holds everything libtiff reported while reading.
struct LibtiffView {
  std::vector<std::string> Pages;
  std::vector<std::string> Messages;
};
LibtiffView ViewWithLibtiff(const std::string& path);

// The pages of several views, in order.
std::vector<std::string> PagesOfViews(const std::vector<LibtiffView>& views);

// The deprecation notice libtiff gives whenever it decodes old-style JPEG.
bool IsOldJpegNotice(const std::string& message);

// --- A byte-level view ----------------------------------------------------------

// Describes every page of a TIFF byte string as text, following every
// pointer: each entry's tag, type, count and values, decoded in the file's
// byte order; the bytes of strips, tiles, JPEG streams and tables; and every
// directory that EXIF, GPS, Interoperability and SubIFDs (with their
// chains) point at, described the same way. Offsets themselves are not part
// of the text, so a correct copy describes exactly as its input. Entries
// with a tag in `skip` are left out at every level.
std::vector<std::string> DescribePages(const std::string& bytes, const std::set<std::uint16_t>& skip = {});

// Concatenation of several files' page descriptions.
std::vector<std::string> DescribeFiles(const std::vector<std::string>& paths, const std::set<std::uint16_t>& skip = {});

// --- The layout of pages without pointer fields -------------------------------

// The exact bytes a merge of `paths` must produce when none of their pages
// holds a field that points at data other than strips, tiles and
// out-of-line values: the header; then each page as its directory (entries
// in input order, offsets of strips or tiles as LONG), the link to the next
// page, CR LF, the out-of-line values in entry order, the input byte before
// the first strip or tile and every strip or tile in index order; then the
// trailer byte 0xA0. Values and uncompressed 16-bit samples follow the first
// file's byte order.
std::string ExpectedPlainMerge(const std::vector<std::string>& paths);

}  // namespace vellox::test
