#include "support/libtiff_references.hpp"

#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "support/libtiff_messages.hpp"
#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_reader.hpp"

namespace vellox::test {
namespace {

struct TiffCloser {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, TiffCloser>;

void Check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error("libtiff references: " + what);
}

std::uint64_t Fnv(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::uint64_t hash = 0xCBF29CE484222325ull;
  for (std::size_t i = 0; i < length; ++i) hash = (hash ^ bytes[i]) * 0x100000001B3ull;
  return hash;
}

std::string Hex(std::uint64_t value) {
  std::ostringstream text;
  text << std::hex << value;
  return text.str();
}

// --- Writing with libtiff ------------------------------------------------------

unsigned char PixelValue(std::uint32_t x, std::uint32_t y, std::uint32_t sample, std::uint32_t seed) {
  return static_cast<unsigned char>((x * 5 + y * 3 + sample * 70 + seed * 29 + (x * y + seed) % 7) & 0xFF);
}

std::vector<unsigned char> Image(std::uint32_t width, std::uint32_t height, std::uint32_t samples, std::uint32_t seed) {
  std::vector<unsigned char> image(std::size_t{width} * height * samples);
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x)
      for (std::uint32_t s = 0; s < samples; ++s)
        image[(std::size_t{y} * width + x) * samples + s] = PixelValue(x, y, s, seed);
  return image;
}

void WriteImage(TIFF* tif, const RichPage& page, std::uint32_t width, std::uint32_t height, std::uint32_t subfileType,
                std::uint32_t seed) {
  const std::uint16_t samples = page.Rgb ? 3 : 1;
  Check(TIFFSetField(tif, TIFFTAG_SUBFILETYPE, subfileType) == 1, "subfile type");
  Check(TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width) == 1, "width");
  Check(TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height) == 1, "length");
  Check(TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) == 1, "bits per sample");
  Check(TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples) == 1, "samples per pixel");
  Check(TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, page.Rgb ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK) == 1,
        "photometric");
  Check(TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) == 1, "planar configuration");
  Check(TIFFSetField(tif, TIFFTAG_COMPRESSION, CompressionNumber(page.Compression)) == 1, "compression");
  Check(TIFFSetField(tif, TIFFTAG_XRESOLUTION, 100.0f + static_cast<float>(seed)) == 1, "x resolution");
  Check(TIFFSetField(tif, TIFFTAG_YRESOLUTION, 72.0f) == 1, "y resolution");
  const std::string description =
      "rich page seed " + std::to_string(seed) + " " + std::to_string(width) + "x" + std::to_string(height);
  Check(TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, description.c_str()) == 1, "description");

  const std::vector<unsigned char> image = Image(width, height, samples, seed);
  const std::size_t rowBytes = std::size_t{width} * samples;
  if (page.Tiles) {
    constexpr std::uint32_t kTile = 16;
    Check(TIFFSetField(tif, TIFFTAG_TILEWIDTH, kTile) == 1, "tile width");
    Check(TIFFSetField(tif, TIFFTAG_TILELENGTH, kTile) == 1, "tile length");
    const std::size_t tileRowBytes = std::size_t{kTile} * samples;
    for (std::uint32_t y0 = 0; y0 < height; y0 += kTile) {
      for (std::uint32_t x0 = 0; x0 < width; x0 += kTile) {
        std::vector<unsigned char> tile(tileRowBytes * kTile, 0);
        const std::size_t take = std::min<std::size_t>(tileRowBytes, rowBytes - std::size_t{x0} * samples);
        for (std::uint32_t dy = 0; dy < kTile && y0 + dy < height; ++dy)
          std::memcpy(tile.data() + tileRowBytes * dy, image.data() + rowBytes * (y0 + dy) + std::size_t{x0} * samples,
                      take);
        Check(TIFFWriteEncodedTile(tif, TIFFComputeTile(tif, x0, y0, 0, 0), tile.data(),
                                   static_cast<tmsize_t>(tile.size())) >= 0,
              "writing a tile");
      }
    }
    return;
  }
  constexpr std::uint32_t kRowsPerStrip = 8;
  Check(TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, kRowsPerStrip) == 1, "rows per strip");
  for (std::uint32_t row = 0; row < height; row += kRowsPerStrip) {
    const std::uint32_t rows = std::min(kRowsPerStrip, height - row);
    std::vector<unsigned char> strip(image.begin() + static_cast<std::ptrdiff_t>(rowBytes * row),
                                     image.begin() + static_cast<std::ptrdiff_t>(rowBytes * (row + rows)));
    Check(TIFFWriteEncodedStrip(tif, row / kRowsPerStrip, strip.data(), static_cast<tmsize_t>(strip.size())) >= 0,
          "writing a strip");
  }
}

// An EXIF directory with fields of many types: rationals, a SHORT array,
// text, fixed and variable UNDEFINED bytes, SHORT and LONG scalars.
std::uint64_t WriteExifDirectory(TIFF* tif, std::uint32_t seed) {
  Check(TIFFCreateEXIFDirectory(tif) == 0, "creating an EXIF directory");
  Check(TIFFSetField(tif, EXIFTAG_EXPOSURETIME, 1.0 / (125.0 * seed)) == 1, "exposure time");
  Check(TIFFSetField(tif, EXIFTAG_FNUMBER, 2.0 + 0.5 * seed) == 1, "f-number");
  const std::uint16_t iso[2] = {static_cast<std::uint16_t>(100 * seed), 50};
  Check(TIFFSetField(tif, EXIFTAG_ISOSPEEDRATINGS, 2, iso) == 1, "ISO speed");
  const std::string taken = "2024:05:0" + std::to_string(seed % 10) + " 10:20:30";
  Check(TIFFSetField(tif, EXIFTAG_DATETIMEORIGINAL, taken.c_str()) == 1, "date taken");
  Check(TIFFSetField(tif, EXIFTAG_EXIFVERSION, "0231") == 1, "EXIF version");
  const std::string comment = std::string("ASCII\0\0\0", 8) + "merged page " + std::to_string(seed);
  Check(TIFFSetField(tif, EXIFTAG_USERCOMMENT, static_cast<int>(comment.size()), comment.data()) == 1, "comment");
  Check(TIFFSetField(tif, EXIFTAG_METERINGMODE, 2 + seed % 3) == 1, "metering mode");
  Check(TIFFSetField(tif, EXIFTAG_PIXELXDIMENSION, 4000u + seed) == 1, "pixel x dimension");
  Check(TIFFSetField(tif, EXIFTAG_FOCALLENGTH, 35.0 + seed) == 1, "focal length");
  std::uint64_t offset = 0;
  Check(TIFFWriteCustomDirectory(tif, &offset) == 1, "writing the EXIF directory");
  TIFFFreeDirectory(tif);  // creating the next directory does not free these values
  return offset;
}

std::uint64_t WriteGpsDirectory(TIFF* tif, std::uint32_t seed) {
  Check(TIFFCreateGPSDirectory(tif) == 0, "creating a GPS directory");
  const std::uint8_t version[4] = {2, 3, 0, 0};
  Check(TIFFSetField(tif, GPSTAG_VERSIONID, version) == 1, "GPS version");
  Check(TIFFSetField(tif, GPSTAG_LATITUDEREF, "N") == 1, "latitude ref");
  const double latitude[3] = {51.0, 30.0, 12.5 + seed};
  Check(TIFFSetField(tif, GPSTAG_LATITUDE, latitude) == 1, "latitude");
  Check(TIFFSetField(tif, GPSTAG_LONGITUDEREF, "W") == 1, "longitude ref");
  const double longitude[3] = {0.0, 7.0, 39.25};
  Check(TIFFSetField(tif, GPSTAG_LONGITUDE, longitude) == 1, "longitude");
  Check(TIFFSetField(tif, GPSTAG_ALTITUDEREF, 0) == 1, "altitude ref");
  Check(TIFFSetField(tif, GPSTAG_ALTITUDE, 35.5 + seed) == 1, "altitude");
  Check(TIFFSetField(tif, GPSTAG_MAPDATUM, "WGS-84") == 1, "map datum");
  std::uint64_t offset = 0;
  Check(TIFFWriteCustomDirectory(tif, &offset) == 1, "writing the GPS directory");
  TIFFFreeDirectory(tif);  // creating the next directory does not free these values
  return offset;
}

void WritePage(TIFF* tif, const RichPage& page) {
  // Custom directories are written first; then a fresh image directory.
  const std::uint64_t exif = page.Exif ? WriteExifDirectory(tif, page.Seed) : 0;
  const std::uint64_t gps = page.Gps ? WriteGpsDirectory(tif, page.Seed) : 0;
  if (page.Exif || page.Gps) Check(TIFFCreateDirectory(tif) == 0, "starting an image directory");

  if (page.ReducedImages > 0) {
    // The reduced images are the next directories written; libtiff fills
    // in their offsets.
    std::vector<toff_t> placeholders(page.ReducedImages, 0);
    Check(TIFFSetField(tif, TIFFTAG_SUBIFD, static_cast<std::uint16_t>(page.ReducedImages), placeholders.data()) == 1,
          "SubIFDs");
  }
  if (page.Exif) Check(TIFFSetField(tif, TIFFTAG_EXIFIFD, exif) == 1, "EXIF pointer");
  if (page.Gps) Check(TIFFSetField(tif, TIFFTAG_GPSIFD, gps) == 1, "GPS pointer");
  WriteImage(tif, page, page.Width, page.Height, 0, page.Seed);
  Check(TIFFWriteDirectory(tif) == 1, "writing a page");

  std::uint32_t width = page.Width, height = page.Height;
  for (std::uint32_t k = 1; k <= page.ReducedImages; ++k) {
    width = std::max(1u, width / 2);
    height = std::max(1u, height / 2);
    WriteImage(tif, page, width, height, FILETYPE_REDUCEDIMAGE, page.Seed * 10 + k);
    Check(TIFFWriteDirectory(tif) == 1, "writing a reduced image");
  }
}

// --- Byte editing --------------------------------------------------------------

std::string Encode(std::uint64_t value, std::size_t width, bool little) {
  std::string out;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t shift = 8 * (little ? i : width - 1 - i);
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
  }
  return out;
}

// --- Old-style JPEG --------------------------------------------------------------

struct JpegParts {
  std::vector<std::size_t> QuantTables;  // by table id: offset of the 64 values
  std::vector<std::size_t> DcTables;     // by table id: offset of the 16 counts
  std::vector<std::size_t> AcTables;
  std::vector<std::size_t> QuantLengths, DcLengths, AcLengths;
  std::size_t ScanData = 0;  // first byte after the SOS segment
};

unsigned Byte(const std::string& bytes, std::size_t at) {
  return static_cast<unsigned char>(bytes.at(at));
}

void Place(std::vector<std::size_t>& table, std::vector<std::size_t>& lengths, std::size_t id, std::size_t offset,
           std::size_t length) {
  if (table.size() <= id) {
    table.resize(id + 1, 0);
    lengths.resize(id + 1, 0);
  }
  table[id] = offset;
  lengths[id] = length;
}

JpegParts FindJpegParts(const std::string& stream) {
  JpegParts parts;
  Check(Byte(stream, 0) == 0xFF && Byte(stream, 1) == 0xD8, "JPEG stream without SOI");
  for (std::size_t at = 2; at + 4 <= stream.size();) {
    Check(Byte(stream, at) == 0xFF, "JPEG marker expected");
    const unsigned marker = Byte(stream, at + 1);
    const std::size_t length = Byte(stream, at + 2) << 8 | Byte(stream, at + 3);
    const std::size_t end = at + 2 + length;
    if (marker == 0xDB) {
      for (std::size_t t = at + 4; t < end;) {
        const std::size_t values = (Byte(stream, t) >> 4) != 0 ? 128 : 64;
        Place(parts.QuantTables, parts.QuantLengths, Byte(stream, t) & 0x0F, t + 1, values);
        t += 1 + values;
      }
    } else if (marker == 0xC4) {
      for (std::size_t t = at + 4; t < end;) {
        std::size_t codes = 0;
        for (std::size_t i = 0; i < 16; ++i) codes += Byte(stream, t + 1 + i);
        const bool ac = (Byte(stream, t) >> 4) != 0;
        Place(ac ? parts.AcTables : parts.DcTables, ac ? parts.AcLengths : parts.DcLengths, Byte(stream, t) & 0x0F,
              t + 1, 16 + codes);
        t += 1 + 16 + codes;
      }
    } else if (marker == 0xDA) {
      parts.ScanData = end;
      return parts;
    }
    at = end;
  }
  Check(false, "JPEG stream without SOS");
  return parts;
}

// --- Describing with libtiff -----------------------------------------------------

bool IsReal(TIFFDataType type) {
  return type == TIFF_RATIONAL || type == TIFF_SRATIONAL || type == TIFF_FLOAT || type == TIFF_DOUBLE;
}

bool IsSigned(TIFFDataType type) {
  return type == TIFF_SBYTE || type == TIFF_SSHORT || type == TIFF_SLONG || type == TIFF_SLONG8;
}

// `count` values of libtiff's internal storage of `size` bytes each.
std::string StoredValues(const void* data, std::uint32_t count, int size, TIFFDataType type) {
  if (data == nullptr) return "null";
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (type == TIFF_ASCII) return "\"" + std::string(reinterpret_cast<const char*>(bytes), count) + "\"";
  std::ostringstream text;
  text << std::setprecision(12);
  for (std::uint32_t i = 0; i < count; ++i) {
    if (i > 0) text << ',';
    const unsigned char* at = bytes + std::size_t{i} * static_cast<std::size_t>(size);
    if (IsReal(type) && size == 8) {
      double value = 0;
      std::memcpy(&value, at, 8);
      text << value;
    } else if (IsReal(type) && size == 4) {
      float value = 0;
      std::memcpy(&value, at, 4);
      text << value;
    } else {
      std::uint64_t value = 0;
      if (size == 1) value = *at;
      if (size == 2)
        value = [at] {
          std::uint16_t v;
          std::memcpy(&v, at, 2);
          return v;
        }();
      if (size == 4)
        value = [at] {
          std::uint32_t v;
          std::memcpy(&v, at, 4);
          return v;
        }();
      if (size == 8) std::memcpy(&value, at, 8);
      if (IsSigned(type) && size < 8 && (value >> (8 * size - 1)) != 0)
        text << '-' << ((1ull << (8 * size)) - value);
      else
        text << value;
    }
  }
  return text.str();
}

constexpr std::uint32_t kInteroperabilityTag = 40965;

// One field of a custom (EXIF or GPS) directory, as libtiff returns it.
std::string CustomField(TIFF* tif, const TIFFField* field) {
  const std::uint32_t tagNumber = TIFFFieldTag(field);
  const TIFFDataType type = TIFFFieldDataType(field);
  const int size = TIFFFieldSetGetSize(field);
  void* data = nullptr;
  if (TIFFFieldPassCount(field) != 0) {
    std::uint32_t count = 0;
    if (TIFFFieldSetGetCountSize(field) == 4) {
      if (TIFFGetField(tif, tagNumber, &count, &data) != 1) return "unreadable";
    } else {
      std::uint16_t shortCount = 0;
      if (TIFFGetField(tif, tagNumber, &shortCount, &data) != 1) return "unreadable";
      count = shortCount;
    }
    return StoredValues(data, count, size, type);
  }
  if (type == TIFF_ASCII) {
    const char* text = nullptr;
    if (TIFFGetField(tif, tagNumber, &text) != 1 || text == nullptr) return "unreadable";
    return "\"" + std::string(text) + "\"";
  }
  const int readCount = TIFFFieldReadCount(field);
  if (readCount == 1) {
    alignas(8) unsigned char value[8] = {};
    if (TIFFGetField(tif, tagNumber, value) != 1) return "unreadable";
    return StoredValues(value, 1, size, type);
  }
  if (readCount <= 0) return "count " + std::to_string(readCount);
  if (TIFFGetField(tif, tagNumber, &data) != 1) return "unreadable";
  return StoredValues(data, static_cast<std::uint32_t>(readCount), size, type);
}

std::string CustomDirectory(TIFF* tif) {
  std::string text;
  const int fields = TIFFGetTagListCount(tif);
  for (int i = 0; i < fields; ++i) {
    const std::uint32_t tagNumber = TIFFGetTagListEntry(tif, i);
    const TIFFField* field = TIFFFieldWithTag(tif, tagNumber);
    // libtiff does not know the Interoperability pointer inside EXIF and
    // shows it as a number; where it points is the byte-level view's part.
    const std::string value = tagNumber == kInteroperabilityTag ? "(an offset)"
                              : field != nullptr                ? CustomField(tif, field)
                                                                : "no field";
    text +=
        "  " + std::to_string(tagNumber) + " " + (field != nullptr ? TIFFFieldName(field) : "?") + " = " + value + "\n";
  }
  return text;
}

template <typename T>
std::string FieldText(TIFF* tif, ttag_t tagNumber) {
  T value{};
  if (TIFFGetField(tif, tagNumber, &value) != 1) return "-";
  return std::to_string(+value);
}

// An image directory: its main fields and its pixels, decoded to RGBA.
std::string ImageDirectory(TIFF* tif) {
  std::uint32_t width = 0, height = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
  std::string text = "  " + std::to_string(width) + "x" + std::to_string(height) +
                     " bits=" + FieldText<std::uint16_t>(tif, TIFFTAG_BITSPERSAMPLE) +
                     " samples=" + FieldText<std::uint16_t>(tif, TIFFTAG_SAMPLESPERPIXEL) +
                     " compression=" + FieldText<std::uint16_t>(tif, TIFFTAG_COMPRESSION) +
                     " photometric=" + FieldText<std::uint16_t>(tif, TIFFTAG_PHOTOMETRIC) +
                     " subfile=" + FieldText<std::uint32_t>(tif, TIFFTAG_SUBFILETYPE) +
                     " pieces=" + std::to_string(TIFFNumberOfStrips(tif));
  const char* description = nullptr;
  if (TIFFGetField(tif, TIFFTAG_IMAGEDESCRIPTION, &description) == 1 && description != nullptr)
    text += " description=\"" + std::string(description) + "\"";
  if (width == 0 || height == 0 || std::uint64_t{width} * height > (1u << 24)) return text + " rgba=unusable\n";
  std::vector<std::uint32_t> raster(std::size_t{width} * height);
  if (TIFFReadRGBAImageOriented(tif, width, height, raster.data(), ORIENTATION_TOPLEFT, 0) != 1)
    return text + " rgba=failed\n";
  return text + " rgba=" + Hex(Fnv(raster.data(), raster.size() * sizeof(std::uint32_t))) + "\n";
}

std::string LibtiffPage(TIFF* tif, tdir_t index) {
  std::string text = ImageDirectory(tif);
  toff_t exif = 0, gps = 0;
  const bool hasExif = TIFFGetField(tif, TIFFTAG_EXIFIFD, &exif) == 1;
  const bool hasGps = TIFFGetField(tif, TIFFTAG_GPSIFD, &gps) == 1;
  std::vector<toff_t> subIfds;
  std::uint16_t subIfdCount = 0;
  toff_t* subIfdOffsets = nullptr;
  if (TIFFGetField(tif, TIFFTAG_SUBIFD, &subIfdCount, &subIfdOffsets) == 1 && subIfdOffsets != nullptr)
    subIfds.assign(subIfdOffsets, subIfdOffsets + subIfdCount);

  if (hasExif) {
    text += "EXIF:\n";
    text += TIFFReadEXIFDirectory(tif, exif) == 1 ? CustomDirectory(tif) : "  unreadable\n";
  }
  if (hasGps) {
    text += "GPS:\n";
    text += TIFFReadGPSDirectory(tif, gps) == 1 ? CustomDirectory(tif) : "  unreadable\n";
  }
  for (std::size_t i = 0; i < subIfds.size(); ++i) {
    text += "SubIFD " + std::to_string(i) + ":\n";
    if (TIFFSetSubDirectory(tif, subIfds[i]) != 1) {
      text += "  unreadable\n";
      continue;
    }
    text += ImageDirectory(tif);
    // A SubIFD may start a chain of directories.
    for (int link = 0; link < 8 && TIFFReadDirectory(tif) == 1; ++link) text += " then" + ImageDirectory(tif);
  }
  if (hasExif || hasGps || !subIfds.empty()) Check(TIFFSetDirectory(tif, index) == 1, "returning to a page");
  return text;
}

// --- Describing byte by byte -----------------------------------------------------

constexpr std::uint16_t kStripOffsets = 273, kStripByteCounts = 279, kTileOffsets = 324, kTileByteCounts = 325;
constexpr std::uint16_t kSubIfds = 330, kJpegStream = 513, kJpegStreamLength = 514;
constexpr std::uint16_t kJpegQ = 519, kJpegDc = 520, kJpegAc = 521;
constexpr std::uint16_t kExif = 34665, kGps = 34853, kInteroperability = 40965;
constexpr int kMaxDepth = 6;

class TreeDescriber {
 public:
  TreeDescriber(const std::string& bytes, const std::set<std::uint16_t>& skip) : reader_(bytes), skip_(skip) {}

  const TiffReader& Reader() const { return reader_; }

  std::string Directory(std::uint32_t offset, int depth) {
    if (depth > kMaxDepth) return "{too deep}";
    if (std::find(path_.begin(), path_.end(), offset) != path_.end()) return "{loop}";
    ParsedDirectory directory;
    try {
      directory = reader_.Directory(offset);
    } catch (const std::exception&) {
      return "{unreadable}";
    }
    path_.push_back(offset);
    std::string text = "{";
    for (std::size_t k = 0; k < directory.Entries.size(); ++k) {
      const ParsedEntry& entry = directory.Entries[k];
      if (skip_.count(entry.Tag) != 0) continue;
      text += "\n" + std::string(2 * static_cast<std::size_t>(depth + 1), ' ') + Entry(directory, k, depth);
    }
    path_.pop_back();
    return text + "}";
  }

 private:
  // Where an entry's values are: inline in the entry, or out-of-line.
  std::size_t ValuesAt(const ParsedDirectory& directory, std::size_t k) const {
    const ParsedEntry& entry = directory.Entries[k];
    const std::size_t size = ElementSize(entry.Type);
    if (size * entry.Count <= 4) return directory.Offset + 2 + 12 * k + 8;
    return entry.FieldNumber;
  }

  static std::size_t ElementSize(std::uint16_t type) {
    if (type == 13) return 4;
    return FieldTypeSize(type);
  }

  std::vector<std::uint64_t> Numbers(const ParsedDirectory& directory, std::size_t k) const {
    const ParsedEntry& entry = directory.Entries[k];
    const std::size_t size = ElementSize(entry.Type);
    if (size == 0 || size > 4 || entry.Count > (1u << 20)) throw std::out_of_range("not a list of offsets");
    const std::size_t at = ValuesAt(directory, k);
    std::vector<std::uint64_t> values;
    for (std::size_t i = 0; i < entry.Count; ++i) values.push_back(reader_.Number(at + i * size, size));
    return values;
  }

  std::vector<std::uint64_t> NumbersOf(const ParsedDirectory& directory, std::uint16_t tagNumber) const {
    for (std::size_t k = 0; k < directory.Entries.size(); ++k)
      if (directory.Entries[k].Tag == tagNumber) return Numbers(directory, k);
    return {};
  }

  // A range of bytes; with a sample width, uncompressed samples of that
  // many bytes, read as numbers in the file's byte order.
  std::string Bytes(std::uint64_t offset, std::uint64_t length, std::size_t sampleWidth = 1) const {
    const std::string& all = reader_.Bytes();
    if (offset > all.size() || length > all.size() - offset) return "outside";
    std::string bytes = all.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length));
    if (sampleWidth > 1 && reader_.LittleEndian())
      for (std::size_t at = 0; at + sampleWidth <= bytes.size(); at += sampleWidth)
        std::reverse(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                     bytes.begin() + static_cast<std::ptrdiff_t>(at + sampleWidth));
    return std::to_string(length) + ":" + Hex(Fnv(bytes.data(), bytes.size()));
  }

  // Bytes per sample when a directory's image data is uncompressed samples
  // wider than a byte (stored in the file's byte order), else 1.
  std::size_t SampleWidth(const ParsedDirectory& directory) const {
    try {
      const auto compression = NumbersOf(directory, 259);
      const auto bits = NumbersOf(directory, 258);
      if (bits.empty() || (!compression.empty() && compression[0] != 1)) return 1;
      if (std::any_of(bits.begin(), bits.end(), [&bits](std::uint64_t b) { return b != bits[0]; })) return 1;
      return bits[0] == 16 || bits[0] == 32 ? static_cast<std::size_t>(bits[0] / 8) : 1;
    } catch (const std::exception&) {
      return 1;
    }
  }

  // Plain values, decoded in the file's byte order.
  std::string PlainValues(const ParsedDirectory& directory, std::size_t k) const {
    const ParsedEntry& entry = directory.Entries[k];
    std::size_t size = FieldTypeSize(entry.Type);
    if (size == 0) return "field " + std::to_string(entry.FieldNumber);
    std::size_t count = entry.Count;
    if (entry.Type == 5 || entry.Type == 10) size = 4, count *= 2;
    if (entry.Type == 12) count *= 2, size = 4;
    const std::size_t at = ValuesAt(directory, k);
    if (at + size * count > reader_.Bytes().size()) return "outside";
    if (entry.Type == 2) return "\"" + reader_.Bytes().substr(at, count) + "\"";
    std::string text;
    for (std::size_t i = 0; i < count; ++i) {
      // A DOUBLE is two halves in file order; the high half first when big-endian.
      const std::size_t element = entry.Type == 12 && reader_.LittleEndian() ? (i ^ 1) : i;
      text += (i > 0 ? "," : "") + std::to_string(reader_.Number(at + element * size, size));
    }
    if (count > 64) return std::to_string(count) + " values " + Hex(Fnv(text.data(), text.size()));
    return text;
  }

  // The JPEG stream of a directory (513 with 514), when it has one.
  std::pair<std::uint64_t, std::uint64_t> Stream(const ParsedDirectory& directory) const {
    try {
      const auto offset = NumbersOf(directory, kJpegStream);
      const auto length = NumbersOf(directory, kJpegStreamLength);
      if (offset.size() == 1 && length.size() == 1) return {offset[0], length[0]};
    } catch (const std::exception&) {
    }
    return {0, 0};
  }

  // A pointer into the JPEG stream is described by its place inside it too.
  std::string InStream(const ParsedDirectory& directory, std::uint64_t offset) const {
    const auto [start, length] = Stream(directory);
    if (length == 0 || offset < start || offset >= start + length) return "";
    return "@stream+" + std::to_string(offset - start);
  }

  std::string Entry(const ParsedDirectory& directory, std::size_t k, int depth) {
    const ParsedEntry& entry = directory.Entries[k];
    const std::string head = std::to_string(entry.Tag) + " count " + std::to_string(entry.Count);
    const std::string typed = head + " type " + std::to_string(entry.Type);
    try {
      switch (entry.Tag) {
        case kStripOffsets:
        case kTileOffsets: {
          const auto offsets = Numbers(directory, k);
          const auto lengths = NumbersOf(directory, entry.Tag == kStripOffsets ? kStripByteCounts : kTileByteCounts);
          std::string text = head + " pieces";
          for (std::size_t i = 0; i < offsets.size(); ++i)
            text += " " + InStream(directory, offsets[i]) +
                    Bytes(offsets[i], i < lengths.size() ? lengths[i] : 0, SampleWidth(directory));
          return text;
        }
        case kJpegStream: {
          const auto [start, length] = Stream(directory);
          if (length != 0) return head + " stream " + Bytes(start, length);
          // Without its length the stream is as long as the first strip.
          const auto offsets = Numbers(directory, k);
          const auto counts = NumbersOf(directory, kStripByteCounts);
          return head + " stream " + Bytes(offsets.at(0), counts.empty() ? 0 : counts[0]);
        }
        case kJpegQ:
        case kJpegDc:
        case kJpegAc: {
          std::string text = head + " tables";
          for (const std::uint64_t offset : Numbers(directory, k)) {
            std::uint64_t length = 64;
            if (entry.Tag != kJpegQ) {
              length = 16;
              for (std::size_t i = 0; i < 16; ++i) length += reader_.Number(static_cast<std::size_t>(offset) + i, 1);
            }
            text += " " + InStream(directory, offset) + Bytes(offset, length);
          }
          return text;
        }
        case kExif:
        case kGps:
        case kInteroperability: {
          const auto offsets = Numbers(directory, k);
          std::string text = typed + " ->";
          for (const std::uint64_t offset : offsets)
            text += " " + Directory(static_cast<std::uint32_t>(offset), depth + 1);
          return text;
        }
        case kSubIfds: {
          std::string text = typed + " ->";
          for (const std::uint64_t offset : Numbers(directory, k)) text += " " + Chain(offset, depth + 1);
          return text;
        }
        default: return typed + " = " + PlainValues(directory, k);
      }
    } catch (const std::exception& error) {
      return typed + " broken (" + error.what() + ")";
    }
  }

  std::string Chain(std::uint64_t offset, int depth) {
    std::string text;
    std::set<std::uint64_t> seen;
    for (int i = 0; offset != 0 && i < 8 && seen.insert(offset).second; ++i) {
      text += (i > 0 ? " then " : "") + Directory(static_cast<std::uint32_t>(offset), depth);
      try {
        offset = reader_.Directory(static_cast<std::uint32_t>(offset)).Link;
      } catch (const std::exception&) {
        break;
      }
    }
    return text;
  }

  TiffReader reader_;
  const std::set<std::uint16_t>& skip_;
  std::vector<std::uint32_t> path_;
};

// --- The plain layout ------------------------------------------------------------

std::size_t PlainElementSize(std::uint16_t type) {
  if (type == 5 || type == 10) return 4;  // each half of a rational
  return FieldTypeSize(type);
}

// `bytes` of values of `type` in the order `from` becomes order `to`.
std::string Reorder(std::string bytes, std::uint16_t type, bool from, bool to) {
  const std::size_t size = PlainElementSize(type);
  if (from == to || size < 2) return bytes;
  for (std::size_t at = 0; at + size <= bytes.size(); at += size)
    std::reverse(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                 bytes.begin() + static_cast<std::ptrdiff_t>(at + size));
  return bytes;
}

struct PlainPage {
  const TiffReader* Reader = nullptr;
  ParsedDirectory Directory;
};

std::vector<std::uint64_t> EntryNumbers(const TiffReader& reader, const ParsedEntry* entry) {
  if (entry == nullptr) return {};
  return reader.Values(*entry);
}

// One page in the documented layout, at `at`, with the link `link`.
std::string PlainPageBytes(const PlainPage& page, bool outLittle, std::uint64_t at, bool last, std::uint64_t& end) {
  const TiffReader& reader = *page.Reader;
  const bool inLittle = reader.LittleEndian();
  const ParsedDirectory& directory = page.Directory;
  const std::size_t n = directory.Entries.size();
  const bool tiled = directory.Find(kTileOffsets) != nullptr;
  const std::uint16_t offsetsTag = tiled ? kTileOffsets : kStripOffsets;
  const auto offsets = EntryNumbers(reader, directory.Find(offsetsTag));
  const auto lengths = EntryNumbers(reader, directory.Find(tiled ? kTileByteCounts : kStripByteCounts));

  // Out-of-line values, in entry order.
  std::string outOfLine;
  std::vector<std::string> valueFields(n);
  const std::uint64_t entriesEnd = at + 8 + 12 * n;
  std::uint64_t outOfLineLength = 0;
  for (const ParsedEntry& entry : directory.Entries) {
    if (entry.Tag == offsetsTag)
      outOfLineLength += entry.Count >= 2 ? 4ull * entry.Count : 0;
    else if (FieldTypeSize(entry.Type) * entry.Count > 4)
      outOfLineLength += (FieldTypeSize(entry.Type) * entry.Count + 1) / 2 * 2;  // each on a word boundary
  }
  const std::uint64_t imageStart = entriesEnd + outOfLineLength;

  std::string image;
  std::vector<std::uint64_t> newOffsets;
  if (!offsets.empty()) {
    image = reader.Bytes().substr(static_cast<std::size_t>(offsets[0] - 1), 1);
    const auto bits = EntryNumbers(reader, directory.Find(258));
    const auto compression = EntryNumbers(reader, directory.Find(259));
    const bool uncompressed = compression.empty() || compression[0] == 1;
    const bool swapSamples = inLittle != outLittle && !bits.empty() && bits[0] == 16 && uncompressed;
    // Runs of pieces back to back in the input begin at a multiple of an
    // uncompressed sample's size, else on a word boundary.
    const std::uint64_t sampleBytes = !bits.empty() && uncompressed ? bits[0] / 8 : 0;
    const std::uint64_t alignment = sampleBytes == 4 || sampleBytes == 8 ? sampleBytes : 2;
    std::uint64_t next = imageStart + 1;
    for (std::size_t i = 0; i < offsets.size(); ++i) {
      if (i == 0 || offsets[i] != offsets[i - 1] + lengths[i - 1]) {
        const std::uint64_t pad = (alignment - next % alignment) % alignment;
        image.append(static_cast<std::size_t>(pad), '\0');
        next += pad;
      }
      std::string piece =
          reader.Bytes().substr(static_cast<std::size_t>(offsets[i]), static_cast<std::size_t>(lengths[i]));
      if (swapSamples) piece = Reorder(piece, 3, true, false);
      image += piece;
      newOffsets.push_back(next);
      next += lengths[i];
    }
  }

  std::string entries = Encode(n, 2, outLittle);
  for (const ParsedEntry& entry : directory.Entries) {
    const std::uint64_t outOfLineAt = entriesEnd + outOfLine.size();
    entries += Encode(entry.Tag, 2, outLittle);
    if (entry.Tag == offsetsTag) {
      entries += Encode(4, 2, outLittle) + Encode(entry.Count, 4, outLittle);
      if (newOffsets.size() == 1) {
        entries += Encode(newOffsets[0], 4, outLittle);
      } else if (newOffsets.empty()) {
        entries += Encode(0, 4, outLittle);
      } else {
        entries += Encode(outOfLineAt, 4, outLittle);
        for (const std::uint64_t offset : newOffsets) outOfLine += Encode(offset, 4, outLittle);
      }
      continue;
    }
    entries += Encode(entry.Type, 2, outLittle) + Encode(entry.Count, 4, outLittle);
    const std::size_t size = FieldTypeSize(entry.Type);
    const std::uint64_t total = std::uint64_t{size} * entry.Count;
    if (size == 0) {
      entries += Reorder(entry.ValueField, 4, inLittle, outLittle);  // one 4-byte number
    } else if (total > 4) {
      entries += Encode(outOfLineAt, 4, outLittle);
      outOfLine += Reorder(reader.Bytes().substr(entry.FieldNumber, static_cast<std::size_t>(total)), entry.Type,
                           inLittle, outLittle);
      outOfLine.resize((outOfLine.size() + 1) / 2 * 2, '\0');
    } else {
      std::string inline_ =
          Reorder(entry.ValueField.substr(0, static_cast<std::size_t>(total)), entry.Type, inLittle, outLittle);
      inline_.resize(4, '\0');
      entries += inline_;
    }
  }
  image.resize(static_cast<std::size_t>((imageStart + image.size() + 1) / 2 * 2 - imageStart), '\0');  // the next page
  end = imageStart + image.size();
  return entries + Encode(last ? 0 : end, 4, outLittle) + "\r\n" + outOfLine + image;
}

}  // namespace

void WriteRichTiff(const std::string& path, bool littleEndian, const std::vector<RichPage>& pages) {
  LibtiffMessageLog log;
  {
    TiffHandle tif(TIFFOpen(path.c_str(), littleEndian ? "wl" : "wb"));
    Check(tif != nullptr, "cannot create " + path);
    for (const RichPage& page : pages) WritePage(tif.get(), page);
  }
  Check(log.Empty(), "libtiff complained while writing " + path + ":\n" + log.Text());
}

void AddInteroperability(const std::string& path, std::uint32_t page) {
  std::string bytes = ReadFile(path);
  const TiffReader reader(bytes);
  const bool little = reader.LittleEndian();
  const std::vector<ParsedDirectory> chain = reader.Chain();
  Check(page < chain.size(), "no such page");
  const ParsedDirectory& directory = chain[page];
  std::size_t exifEntry = directory.Entries.size();
  for (std::size_t k = 0; k < directory.Entries.size(); ++k)
    if (directory.Entries[k].Tag == kExif) exifEntry = k;
  Check(exifEntry < directory.Entries.size(), "the page has no EXIF directory");
  const ParsedDirectory exif = reader.Directory(directory.Entries[exifEntry].FieldNumber);
  Check(exif.Find(kInteroperability) == nullptr, "the EXIF directory already has an Interoperability directory");

  if (bytes.size() % 2 != 0) bytes.push_back('\0');
  const auto interoperability = static_cast<std::uint32_t>(bytes.size());
  bytes += Encode(2, 2, little);
  bytes += Encode(1, 2, little) + Encode(2, 2, little) + Encode(4, 4, little) + std::string("R98\0", 4);
  bytes += Encode(2, 2, little) + Encode(7, 2, little) + Encode(4, 4, little) + "0100";
  bytes += Encode(0, 4, little);

  // The EXIF entries are copied as they are (their values stay where they
  // were); 40965 is the highest EXIF tag, so it goes last.
  const auto newExif = static_cast<std::uint32_t>(bytes.size());
  bytes += Encode(exif.Entries.size() + 1, 2, little);
  bytes += reader.Bytes().substr(exif.Offset + 2, 12 * exif.Entries.size());
  bytes += Encode(kInteroperability, 2, little) + Encode(4, 2, little) + Encode(1, 4, little) +
           Encode(interoperability, 4, little);
  bytes += Encode(0, 4, little);
  bytes.replace(directory.Offset + 2 + 12 * exifEntry + 8, 4, Encode(newExif, 4, little));
  WriteFile(path, bytes);
}

std::string JpegStream(bool colour, std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  TempDir scratch;
  const std::string path = scratch / "stream.tif";
  const std::uint16_t samples = colour ? 3 : 1;
  LibtiffMessageLog log;
  {
    TiffHandle tif(TIFFOpen(path.c_str(), "w"));
    Check(tif != nullptr, "cannot create " + path);
    TIFF* t = tif.get();
    Check(TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width) == 1, "width");
    Check(TIFFSetField(t, TIFFTAG_IMAGELENGTH, height) == 1, "length");
    Check(TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8) == 1, "bits per sample");
    Check(TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples) == 1, "samples per pixel");
    Check(TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_JPEG) == 1, "compression");
    Check(TIFFSetField(t, TIFFTAG_PHOTOMETRIC, colour ? PHOTOMETRIC_YCBCR : PHOTOMETRIC_MINISBLACK) == 1,
          "photometric");
    if (colour) Check(TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB) == 1, "colour mode");
    Check(TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, height) == 1, "rows per strip");
    // Tables in every strip: the one strip is a whole interchange stream.
    Check(TIFFSetField(t, TIFFTAG_JPEGTABLESMODE, 0) == 1, "tables mode");
    Check(TIFFSetField(t, TIFFTAG_JPEGQUALITY, 85) == 1, "quality");
    std::vector<unsigned char> image = Image(width, height, samples, seed);
    Check(TIFFWriteEncodedStrip(t, 0, image.data(), static_cast<tmsize_t>(image.size())) >= 0, "writing the strip");
    Check(TIFFWriteDirectory(t) == 1, "writing the directory");
  }
  std::string stream;
  {
    TiffHandle tif(TIFFOpen(path.c_str(), "r"));
    Check(tif != nullptr, "cannot reopen " + path);
    stream.resize(static_cast<std::size_t>(TIFFGetStrileByteCount(tif.get(), 0)));
    Check(TIFFReadRawStrip(tif.get(), 0, stream.data(), static_cast<tmsize_t>(stream.size())) ==
              static_cast<tmsize_t>(stream.size()),
          "reading the raw strip");
  }
  Check(log.Empty(), "libtiff complained while making a JPEG stream:\n" + log.Text());
  Check(stream.size() > 4 && Byte(stream, stream.size() - 2) == 0xFF && Byte(stream, stream.size() - 1) == 0xD9,
        "the strip is not a whole JPEG stream");
  return stream;
}

std::string OldJpegTiff(bool littleEndian, const std::vector<OldJpegPage>& pages) {
  TiffBuilder tiff(littleEndian);
  std::uint32_t previous = 0;
  for (const OldJpegPage& page : pages) {
    const std::string stream = JpegStream(page.Colour, page.Width, page.Height, page.Seed);
    const JpegParts parts = FindJpegParts(stream);
    tiff.Append("#");  // the byte before the stream is not part of it
    const std::uint32_t streamAt = tiff.Append(stream);

    // Tables per component: the luminance tables, then the chrominance
    // ones for both colour components.
    auto perComponent = [&](const std::vector<std::size_t>& ids, const std::vector<std::size_t>& lengths) {
      std::vector<std::uint64_t> offsets;
      for (std::size_t component = 0; component < (page.Colour ? 3u : 1u); ++component) {
        const std::size_t id = std::min<std::size_t>(component, 1);
        Check(id < ids.size(), "JPEG table missing");
        std::uint64_t offset = streamAt + ids[id];
        if (page.Tables == JpegTables::Separate)
          offset = tiff.Append(stream.substr(ids[id], lengths[id]));  // a copy apart from the stream
        offsets.push_back(offset);
      }
      return offsets;
    };
    std::vector<Field> tables;
    if (page.Tables != JpegTables::None) {
      tables.push_back(tiff.Values(kJpegQ, 4, perComponent(parts.QuantTables, parts.QuantLengths)));
      tables.push_back(tiff.Values(kJpegDc, 4, perComponent(parts.DcTables, parts.DcLengths)));
      tables.push_back(tiff.Values(kJpegAc, 4, perComponent(parts.AcTables, parts.AcLengths)));
    }

    const std::uint64_t samples = page.Colour ? 3 : 1;
    const std::uint64_t stripAt = page.StripIsWholeStream ? streamAt : streamAt + parts.ScanData;
    const std::uint64_t stripLength = page.StripIsWholeStream ? stream.size() : stream.size() - parts.ScanData;
    std::vector<Field> fields = {
        tiff.Values(256, 3, {page.Width}),
        tiff.Values(257, 3, {page.Height}),
        tiff.Values(258, 3, std::vector<std::uint64_t>(samples, 8)),
        tiff.Values(259, 3, {6}),
        tiff.Values(262, 3, {page.Colour ? 6u : 1u}),
        tiff.Values(kStripOffsets, 4, {stripAt}),
        tiff.Values(277, 3, {samples}),
        tiff.Values(278, 3, {page.Height}),
        tiff.Values(kStripByteCounts, 4, {stripLength}),
        tiff.Values(512, 3, {1}),
        tiff.Values(kJpegStream, 4, {streamAt}),
    };
    if (page.WithLength) fields.push_back(tiff.Values(kJpegStreamLength, 4, {stream.size()}));
    fields.insert(fields.end(), tables.begin(), tables.end());
    if (page.Colour) fields.push_back(tiff.Values(530, 3, {2, 2}));
    const std::uint32_t directory = tiff.AppendDirectory(fields);
    if (previous == 0)
      tiff.SetFirstDirectory(directory);
    else
      tiff.SetLink(previous, directory);
    previous = directory;
  }
  return tiff.Bytes();
}

LibtiffView ViewWithLibtiff(const std::string& path) {
  LibtiffView view;
  LibtiffMessageLog log;
  {
    TiffHandle tif(TIFFOpen(path.c_str(), "r"));
    if (tif) {
      tdir_t index = 0;
      do {
        view.Pages.push_back(LibtiffPage(tif.get(), index));
        ++index;
      } while (TIFFReadDirectory(tif.get()) == 1 && index < 1000);
    }
  }
  view.Messages = log.Messages();
  if (view.Pages.empty()) view.Messages.push_back("libtiff cannot open " + path);
  return view;
}

std::vector<std::string> PagesOfViews(const std::vector<LibtiffView>& views) {
  std::vector<std::string> pages;
  for (const LibtiffView& view : views) pages.insert(pages.end(), view.Pages.begin(), view.Pages.end());
  return pages;
}

bool IsOldJpegNotice(const std::string& message) {
  return message.find("Deprecated and troublesome old-style JPEG compression") != std::string::npos;
}

std::vector<std::string> DescribePages(const std::string& bytes, const std::set<std::uint16_t>& skip) {
  TreeDescriber describer(bytes, skip);
  std::vector<std::string> pages;
  for (const ParsedDirectory& directory : describer.Reader().Chain())
    pages.push_back(describer.Directory(directory.Offset, 0));
  return pages;
}

std::vector<std::string> DescribeFiles(const std::vector<std::string>& paths, const std::set<std::uint16_t>& skip) {
  std::vector<std::string> pages;
  for (const std::string& path : paths) {
    const std::vector<std::string> more = DescribePages(ReadFile(path), skip);
    pages.insert(pages.end(), more.begin(), more.end());
  }
  return pages;
}

std::string ExpectedPlainMerge(const std::vector<std::string>& paths) {
  std::vector<std::unique_ptr<TiffReader>> readers;
  std::vector<PlainPage> pages;
  for (const std::string& path : paths) {
    readers.push_back(std::make_unique<TiffReader>(ReadFile(path)));
    for (ParsedDirectory& directory : readers.back()->Chain()) pages.push_back({readers.back().get(), directory});
  }
  Check(!readers.empty(), "nothing to merge");
  const bool outLittle = readers.front()->LittleEndian();
  std::string out = (outLittle ? std::string("II*\0", 4) : std::string("MM\0*", 4)) + Encode(8, 4, outLittle);
  for (std::size_t i = 0; i < pages.size(); ++i) {
    std::uint64_t end = 0;
    out += PlainPageBytes(pages[i], outLittle, out.size(), i + 1 == pages.size(), end);
    Check(end == out.size(), "page length mismatch in the model");
  }
  return out + "\xA0";
}

}  // namespace vellox::test
