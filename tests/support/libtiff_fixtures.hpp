// Input TIFFs written by libtiff, as an independent writer: strips or tiles,
// the common compressions, grey, RGB, palette, bilevel and 16-bit pages, in
// either byte order, classic TIFF or BigTIFF, with deterministic pixel
// content.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vellox::test {

enum class Pixels : std::uint8_t {
  Grey8,     // 8-bit, min-is-black
  Rgb8,      // 3 x 8-bit
  Palette8,  // 8-bit indexes into a 256-entry colour map
  Bilevel1,  // 1-bit, min-is-white (the fax convention)
  Grey16,    // 16-bit, min-is-black
  Int32,     // signed 32-bit, min-is-black
  Grey64,    // unsigned 64-bit, min-is-black
  Float16,   // IEEE half, min-is-black
  Float32,   // IEEE single, min-is-black
  Float64,   // IEEE double, min-is-black
};

enum class Codec : std::uint8_t { None, Lzw, Deflate, PackBits, G4, Jpeg, Zstd };

enum class Layout : std::uint8_t { Strips, Tiles };

struct PageRecipe {
  Pixels Kind = Pixels::Grey8;
  Codec Compression = Codec::None;
  Layout Organisation = Layout::Strips;
  std::uint32_t Width = 67;  // odd, so rows and tiles do not line up neatly
  std::uint32_t Height = 45;
  std::uint32_t RowsPerStrip = 8;
  std::uint32_t TileSize = 16;  // tile width and length; a multiple of 16
  bool Separate = false;        // one plane per sample (RGB only)
  bool Predictor = false;       // horizontal differencing (LZW and Deflate)
  bool FloatPredictor = false;  // the floating-point predictor (float pages, LZW and Deflate)
  bool Exif = false;            // an EXIF directory hangs off the page
  bool Thumbnail = false;       // a half-size copy of the page as a sub-directory
  bool Noise = true;            // a little noise on the pattern; off for small files
  std::uint32_t Seed = 1;       // varies the pixels and the description
  std::uint64_t Long8 = 0;      // BigTIFF only: when not 0, a private LONG8 tag (kLong8Tag) holds it
};

inline constexpr std::uint16_t kLong8Tag = 65100;

struct FileRecipe {
  bool LittleEndian = true;
  std::vector<PageRecipe> Pages;
  bool Big = false;  // BigTIFF (libtiff's "w8")
};

// Makes libtiff know kLong8Tag (as a 64-bit integer, whatever integer type
// a file stores it in) from now on, for writing and reading.
void RegisterPrivateTags();

// Writes `recipe` to `path` with libtiff. Throws std::runtime_error when
// libtiff fails or reports an error or a warning.
void WriteTiff(const std::string& path, const FileRecipe& recipe);

// Short readable name of a page's format, e.g. "rgb8_lzw_tiles".
std::string FormatName(const PageRecipe& page);

// libtiff's number for a codec.
std::uint16_t CompressionNumber(Codec codec);

// Whether the libtiff in use can write and read `codec`.
bool CodecAvailable(Codec codec);

}  // namespace vellox::test
