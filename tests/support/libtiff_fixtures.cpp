#include "support/libtiff_fixtures.hpp"

#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "support/libtiff_messages.hpp"

namespace vellox::test {
namespace {

struct TiffCloser {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

std::uint16_t BitsPerSample(Pixels kind) {
  switch (kind) {
    case Pixels::Bilevel1: return 1;
    case Pixels::Grey16:
    case Pixels::Float16: return 16;
    case Pixels::Int32:
    case Pixels::Float32: return 32;
    case Pixels::Grey64:
    case Pixels::Float64: return 64;
    default: return 8;
  }
}

std::uint16_t SampleFormat(Pixels kind) {
  switch (kind) {
    case Pixels::Int32: return SAMPLEFORMAT_INT;
    case Pixels::Float16:
    case Pixels::Float32:
    case Pixels::Float64: return SAMPLEFORMAT_IEEEFP;
    default: return SAMPLEFORMAT_UINT;
  }
}

std::uint16_t SamplesPerPixel(Pixels kind) {
  return kind == Pixels::Rgb8 ? 3 : 1;
}

std::uint16_t Photometric(Pixels kind) {
  switch (kind) {
    case Pixels::Rgb8: return PHOTOMETRIC_RGB;
    case Pixels::Palette8: return PHOTOMETRIC_PALETTE;
    case Pixels::Bilevel1: return PHOTOMETRIC_MINISWHITE;
    default: return PHOTOMETRIC_MINISBLACK;
  }
}

// A small deterministic hash, so pixel content is the same on every run.
std::uint32_t Mix(std::uint32_t x, std::uint32_t y, std::uint32_t s, std::uint32_t seed) {
  std::uint32_t h = x * 0x9E3779B1u ^ (y + 0x7F4A7C15u) * 0x85EBCA77u ^ (s + 1) * 0xC2B2AE3Du ^ seed * 0x27D4EB2Fu;
  h ^= h >> 15;
  h *= 0x2C1B3C6Du;
  h ^= h >> 12;
  return h;
}

// Writes sample (x, y) of a 32- or 64-bit or floating-point page in the
// machine's byte order: every byte varies, so a sample in the wrong byte
// order reads as another number.
void PutWideSample(unsigned char* to, const PageRecipe& page, std::uint32_t x, std::uint32_t y) {
  const double smooth = x * 0.75 + y * 1.25 + page.Seed * 3.5 - 40.0;
  const std::uint64_t noise = std::uint64_t{Mix(x, y, 7, page.Seed)} << 32 | Mix(y, x, 3, page.Seed);
  switch (page.Kind) {
    case Pixels::Int32: {
      const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(noise) ^ (x * 65599u + y * 257u));
      std::memcpy(to, &value, 4);
      return;
    }
    case Pixels::Grey64: std::memcpy(to, &noise, 8); return;
    case Pixels::Float16: {
      // A half with a smooth exponent and mantissa: sign 0, exponent 14-17.
      const auto half = static_cast<std::uint16_t>((14 + (x + y) % 4) << 10 | (noise & 0x3FF));
      std::memcpy(to, &half, 2);
      return;
    }
    case Pixels::Float32: {
      const auto value = static_cast<float>(smooth + static_cast<double>(noise & 0xFF) / 64.0);
      std::memcpy(to, &value, 4);
      return;
    }
    case Pixels::Float64: {
      const double value = smooth + static_cast<double>(noise & 0xFFFFF) / 1e6;
      std::memcpy(to, &value, 8);
      return;
    }
    default: return;
  }
}

bool IsWide(Pixels kind) {
  return kind == Pixels::Int32 || kind == Pixels::Grey64 || kind == Pixels::Float16 || kind == Pixels::Float32 ||
         kind == Pixels::Float64;
}

// The value of sample `s` of pixel (x, y): a pattern (so the compressors
// have something to do) with a little noise (so every page differs).
std::uint32_t SampleValue(const PageRecipe& page, std::uint32_t x, std::uint32_t y, std::uint32_t s) {
  const std::uint32_t noise = page.Noise ? Mix(x, y, s, page.Seed) : 1;
  switch (page.Kind) {
    case Pixels::Bilevel1: return ((x / 7 + y / 5 + page.Seed) % 4 == 0 || noise % 61 == 0) ? 1 : 0;
    case Pixels::Grey16:
      // Both bytes vary, so a sample stored in the wrong byte order reads
      // as a different number.
      return (x * 977 + y * 131 + page.Seed * 4099 + (noise & 0x3F)) & 0xFFFF;
    default: return (x * 3 + y * 5 + s * 85 + page.Seed * 17 + (noise & 0x07)) & 0xFF;
  }
}

// Samples held in one plane: all of them when they are interleaved.
std::uint32_t SamplesInPlane(const PageRecipe& page) {
  return page.Separate ? 1 : SamplesPerPixel(page.Kind);
}

std::size_t RowBytes(const PageRecipe& page, std::uint32_t width) {
  return (std::size_t{width} * SamplesInPlane(page) * BitsPerSample(page.Kind) + 7) / 8;
}

// The whole decoded image of one plane, rows back to back, samples in the
// machine's byte order (libtiff converts them for the file).
std::vector<unsigned char> PlaneImage(const PageRecipe& page, std::uint32_t plane) {
  const std::size_t rowBytes = RowBytes(page, page.Width);
  const std::uint32_t samples = SamplesInPlane(page);
  const std::uint16_t bits = BitsPerSample(page.Kind);
  std::vector<unsigned char> image(rowBytes * page.Height, 0);
  for (std::uint32_t y = 0; y < page.Height; ++y) {
    unsigned char* row = image.data() + rowBytes * y;
    for (std::uint32_t x = 0; x < page.Width; ++x) {
      for (std::uint32_t i = 0; i < samples; ++i) {
        const std::uint32_t value = SampleValue(page, x, y, page.Separate ? plane : i);
        const std::size_t index = std::size_t{x} * samples + i;
        if (IsWide(page.Kind)) {
          PutWideSample(row + bits / 8 * index, page, x, y);
        } else if (bits == 1) {
          if (value != 0) row[index / 8] = static_cast<unsigned char>(row[index / 8] | (0x80u >> (index % 8)));
        } else if (bits == 16) {
          const auto sample = static_cast<std::uint16_t>(value);
          std::memcpy(row + 2 * index, &sample, 2);
        } else {
          row[index] = static_cast<unsigned char>(value);
        }
      }
    }
  }
  return image;
}

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("libtiff fixture: " + what);
}

void SetPageFields(TIFF* tif, const PageRecipe& page, std::size_t pageIndex, std::size_t pageCount) {
  const std::uint16_t compression = CompressionNumber(page.Compression);
  Check(TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, page.Width) == 1, "width");
  Check(TIFFSetField(tif, TIFFTAG_IMAGELENGTH, page.Height) == 1, "length");
  Check(TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, BitsPerSample(page.Kind)) == 1, "bits per sample");
  Check(TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, SamplesPerPixel(page.Kind)) == 1, "samples per pixel");
  if (SampleFormat(page.Kind) != SAMPLEFORMAT_UINT)
    Check(TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SampleFormat(page.Kind)) == 1, "sample format");
  Check(TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, Photometric(page.Kind)) == 1, "photometric");
  Check(TIFFSetField(tif, TIFFTAG_PLANARCONFIG, page.Separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG) == 1,
        "planar configuration");
  Check(TIFFSetField(tif, TIFFTAG_COMPRESSION, compression) == 1, "compression");
  Check(TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) == 1, "orientation");
  // Resolution is a RATIONAL pair stored out of line: it exercises the
  // relocation and byte order of out-of-line values.
  Check(TIFFSetField(tif, TIFFTAG_XRESOLUTION, 150.0f + static_cast<float>(page.Seed)) == 1, "x resolution");
  Check(TIFFSetField(tif, TIFFTAG_YRESOLUTION, 75.5f) == 1, "y resolution");
  Check(TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH) == 1, "resolution unit");
  const std::string description = "vellox fixture page " + std::to_string(pageIndex) + " seed " +
                                  std::to_string(page.Seed) + " " + FormatName(page);
  Check(TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description.c_str()) == 1, "description");
  Check(TIFFSetField(tif, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(pageIndex),
                     static_cast<std::uint16_t>(pageCount)) == 1,
        "page number");
  if (pageCount > 1) Check(TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE) == 1, "subfile type");

  if (page.Predictor || page.FloatPredictor) {
    Check(page.Compression == Codec::Lzw || page.Compression == Codec::Deflate || page.Compression == Codec::Zstd,
          "predictor needs LZW, Deflate or Zstd");
    Check(!page.FloatPredictor || SampleFormat(page.Kind) == SAMPLEFORMAT_IEEEFP,
          "floating-point predictor needs floats");
    Check(
        TIFFSetField(tif, TIFFTAG_PREDICTOR, page.FloatPredictor ? PREDICTOR_FLOATINGPOINT : PREDICTOR_HORIZONTAL) == 1,
        "predictor");
  }
  if (page.Compression == Codec::G4) Check(page.Kind == Pixels::Bilevel1, "G4 needs a bilevel page");
  if (page.Compression == Codec::Jpeg) {
    Check(page.Kind == Pixels::Grey8 || page.Kind == Pixels::Rgb8, "JPEG needs 8-bit grey or RGB");
    Check(TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 80) == 1, "JPEG quality");
  }
  if (page.Separate) Check(page.Kind == Pixels::Rgb8, "separate planes need RGB");

  if (page.Kind == Pixels::Palette8) {
    std::vector<std::uint16_t> red(256), green(256), blue(256);
    for (std::uint32_t i = 0; i < 256; ++i) {
      red[i] = static_cast<std::uint16_t>(i * 257);
      green[i] = static_cast<std::uint16_t>((255 - i) * 257);
      blue[i] = static_cast<std::uint16_t>(((i * 7 + page.Seed) & 0xFF) * 257 + 1);
    }
    Check(TIFFSetField(tif, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data()) == 1, "colour map");
  }

  if (page.Organisation == Layout::Tiles) {
    Check(TIFFSetField(tif, TIFFTAG_TILEWIDTH, page.TileSize) == 1, "tile width");
    Check(TIFFSetField(tif, TIFFTAG_TILELENGTH, page.TileSize) == 1, "tile length");
  } else {
    Check(TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, page.RowsPerStrip) == 1, "rows per strip");
  }
}

void WriteStrips(TIFF* tif, const PageRecipe& page) {
  const std::uint32_t planes = page.Separate ? SamplesPerPixel(page.Kind) : 1;
  const std::size_t rowBytes = RowBytes(page, page.Width);
  for (std::uint32_t plane = 0; plane < planes; ++plane) {
    const std::vector<unsigned char> image = PlaneImage(page, plane);
    for (std::uint32_t row = 0; row < page.Height; row += page.RowsPerStrip) {
      const std::uint32_t rows = std::min(page.RowsPerStrip, page.Height - row);
      // libtiff may change the buffer in place (byte swapping), so each
      // strip gets its own copy.
      std::vector<unsigned char> strip(image.begin() + static_cast<std::ptrdiff_t>(rowBytes * row),
                                       image.begin() + static_cast<std::ptrdiff_t>(rowBytes * (row + rows)));
      const std::uint32_t index = TIFFComputeStrip(tif, row, static_cast<std::uint16_t>(plane));
      Check(TIFFWriteEncodedStrip(tif, index, strip.data(), static_cast<tmsize_t>(strip.size())) >= 0,
            "writing a strip");
    }
  }
}

void WriteTiles(TIFF* tif, const PageRecipe& page) {
  const std::uint32_t planes = page.Separate ? SamplesPerPixel(page.Kind) : 1;
  const std::size_t rowBytes = RowBytes(page, page.Width);
  const std::size_t tileRowBytes = RowBytes(page, page.TileSize);
  for (std::uint32_t plane = 0; plane < planes; ++plane) {
    const std::vector<unsigned char> image = PlaneImage(page, plane);
    for (std::uint32_t y0 = 0; y0 < page.Height; y0 += page.TileSize) {
      for (std::uint32_t x0 = 0; x0 < page.Width; x0 += page.TileSize) {
        // Edge tiles are padded with zeros beyond the image.
        std::vector<unsigned char> tile(tileRowBytes * page.TileSize, 0);
        const std::size_t from = RowBytes(page, x0);
        const std::size_t take = std::min(tileRowBytes, rowBytes - from);
        for (std::uint32_t dy = 0; dy < page.TileSize && y0 + dy < page.Height; ++dy)
          std::memcpy(tile.data() + tileRowBytes * dy, image.data() + rowBytes * (y0 + dy) + from, take);
        const std::uint32_t index = TIFFComputeTile(tif, x0, y0, 0, static_cast<std::uint16_t>(plane));
        Check(TIFFWriteEncodedTile(tif, index, tile.data(), static_cast<tmsize_t>(tile.size())) >= 0, "writing a tile");
      }
    }
  }
}

void WriteImage(TIFF* tif, const PageRecipe& page) {
  if (page.Organisation == Layout::Tiles)
    WriteTiles(tif, page);
  else
    WriteStrips(tif, page);
}

// Writes the page's EXIF directory on its own and returns its offset; the
// page's main directory must be started afresh afterwards.
std::uint64_t WriteExifDirectory(TIFF* tif, const PageRecipe& page) {
  Check(TIFFCreateEXIFDirectory(tif) == 0, "creating an EXIF directory");
  const std::string taken = "2024:05:0" + std::to_string(1 + page.Seed % 9) + " 12:34:56";
  const std::uint16_t iso[2] = {static_cast<std::uint16_t>(100 * page.Seed), 400};
  Check(TIFFSetField(tif, EXIFTAG_DATETIMEORIGINAL, taken.c_str()) == 1, "EXIF date");
  Check(TIFFSetField(tif, EXIFTAG_EXPOSURETIME, 1.0 / (60.0 + page.Seed)) == 1, "EXIF exposure time");
  Check(TIFFSetField(tif, EXIFTAG_ISOSPEEDRATINGS, 2, iso) == 1, "EXIF ISO speed");
  Check(TIFFSetField(tif, EXIFTAG_PIXELXDIMENSION, page.Width) == 1, "EXIF pixel width");
  std::uint64_t offset = 0;
  Check(TIFFWriteCustomDirectory(tif, &offset) == 1, "writing the EXIF directory");
  // TIFFCreateDirectory does not free the EXIF values it replaces.
  TIFFFreeDirectory(tif);
  Check(TIFFCreateDirectory(tif) == 0, "starting the page's directory");
  return offset;
}

PageRecipe ThumbnailOf(const PageRecipe& page) {
  PageRecipe thumbnail = page;
  thumbnail.Width = std::max(1u, page.Width / 2);
  thumbnail.Height = std::max(1u, page.Height / 2);
  thumbnail.Seed = page.Seed + 1000;
  thumbnail.Exif = false;
  thumbnail.Thumbnail = false;
  return thumbnail;
}

}  // namespace

std::uint16_t CompressionNumber(Codec codec) {
  switch (codec) {
    case Codec::None: return COMPRESSION_NONE;
    case Codec::Lzw: return COMPRESSION_LZW;
    case Codec::Deflate: return COMPRESSION_ADOBE_DEFLATE;
    case Codec::PackBits: return COMPRESSION_PACKBITS;
    case Codec::G4: return COMPRESSION_CCITTFAX4;
    case Codec::Jpeg: return COMPRESSION_JPEG;
    case Codec::Zstd: return COMPRESSION_ZSTD;
  }
  return COMPRESSION_NONE;
}

bool CodecAvailable(Codec codec) {
  return TIFFIsCODECConfigured(CompressionNumber(codec)) == 1;
}

std::string FormatName(const PageRecipe& page) {
  static constexpr const char* kKinds[] = {"grey8", "rgb8",   "palette8", "bilevel1", "grey16",
                                           "int32", "grey64", "float16",  "float32",  "float64"};
  static constexpr const char* kCodecs[] = {"none", "lzw", "deflate", "packbits", "g4", "jpeg", "zstd"};
  std::string name = std::string(kKinds[static_cast<int>(page.Kind)]) + "_" +
                     kCodecs[static_cast<int>(page.Compression)] +
                     (page.Organisation == Layout::Tiles ? "_tiles" : "_strips");
  const bool onePiece = page.Organisation == Layout::Tiles ? page.TileSize >= page.Width && page.TileSize >= page.Height
                                                           : page.RowsPerStrip >= page.Height;
  if (onePiece) name += page.Organisation == Layout::Tiles ? "_one_tile" : "_one_strip";
  if (page.Separate) name += "_planar";
  if (page.Predictor) name += "_predictor";
  if (page.FloatPredictor) name += "_float_predictor";
  if (page.Exif) name += "_exif";
  if (page.Thumbnail) name += "_thumbnail";
  return name;
}

void RegisterPrivateTags() {
  static const TIFFExtendProc previous = TIFFSetTagExtender([](TIFF* tif) {
    static const TIFFFieldInfo long8 = {kLong8Tag, 1, 1, TIFF_LONG8, FIELD_CUSTOM, 1, 0, const_cast<char*>("Long8")};
    TIFFMergeFieldInfo(tif, &long8, 1);
    if (previous != nullptr) previous(tif);
  });
}

void WriteTiff(const std::string& path, const FileRecipe& recipe) {
  RegisterPrivateTags();
  LibtiffMessageLog log;
  {
    const std::string mode = std::string(recipe.LittleEndian ? "wl" : "wb") + (recipe.Big ? "8" : "");
    TiffHandle tif(TIFFOpen(path.c_str(), mode.c_str()));
    Check(tif != nullptr, "cannot create " + path);
    for (std::size_t i = 0; i < recipe.Pages.size(); ++i) {
      const PageRecipe& page = recipe.Pages[i];
      const std::uint64_t exif = page.Exif ? WriteExifDirectory(tif.get(), page) : 0;
      SetPageFields(tif.get(), page, i, recipe.Pages.size());
      if (page.Exif) Check(TIFFSetField(tif.get(), TIFFTAG_EXIFIFD, exif) == 1, "EXIF pointer");
      if (page.Long8 != 0) {
        // Registered per page: every new directory forgets merged fields.
        static const TIFFFieldInfo long8 = {kLong8Tag,    1, 1, TIFF_LONG8,
                                            FIELD_CUSTOM, 1, 0, const_cast<char*>("Long8")};
        Check(TIFFMergeFieldInfo(tif.get(), &long8, 1) == 0 && TIFFSetField(tif.get(), kLong8Tag, page.Long8) == 1,
              "LONG8 tag");
      }
      if (page.Thumbnail) {
        // libtiff writes the next directory as the sub-directory.
        std::uint64_t placeholder[1] = {0};
        Check(TIFFSetField(tif.get(), TIFFTAG_SUBIFD, 1, placeholder) == 1, "sub-directory pointer");
      }
      WriteImage(tif.get(), page);
      Check(TIFFWriteDirectory(tif.get()) == 1, "writing a directory");
      if (page.Thumbnail) {
        const PageRecipe thumbnail = ThumbnailOf(page);
        SetPageFields(tif.get(), thumbnail, i, recipe.Pages.size());
        Check(TIFFSetField(tif.get(), TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE) == 1, "subfile type");
        WriteImage(tif.get(), thumbnail);
        Check(TIFFWriteDirectory(tif.get()) == 1, "writing a sub-directory");
      }
    }
  }
  Check(log.Empty(), "libtiff complained while writing " + path + ":\n" + log.Text());
}

}  // namespace vellox::test
