// Generates the benchmark workloads with libtiff, reproducibly (fixed seed,
// no time stamps), so that every machine measures the same bytes.
//
//   vellox_bench_gen DIR [--only W1,W2,W3,W4,W5,W7] [--scale F] [--seed N]
//
//   W1  200 single-page CCITT G4 files, 1728x2200, text-like strokes
//   W2  50 files x 10 pages, 8-bit grey LZW 1700x2200, every third file
//       big-endian
//   W3  2 single-page uncompressed RGB files of about 540 MB each, 16-row
//       strips; --scale shrinks their height for quick runs
//   W4  20 tiled (256x256) Deflate RGB files, 2048x2048
//   W5  3 single-page uncompressed RGB files of about 1.6 GB each, 16-row
//       strips: together past 4 GiB; --scale shrinks their height too
//   W7  a tiny little-endian 8-bit grey page, then one big-endian 16-bit grey
//       page of 4000x4000, Deflate with horizontal differencing, 64-row
//       strips: merged in the first file's byte order, the big page is
//       transcoded; --scale shrinks its height
//
// Files go to DIR/w1 ... DIR/w7 as NNN.tif, in merge order.
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// splitmix64: a small, fast generator whose output depends only on its seed.
class Random {
 public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  int Below(int limit) { return static_cast<int>(Next() % static_cast<std::uint64_t>(limit)); }

 private:
  std::uint64_t state_;
};

std::uint64_t FileSeed(std::uint64_t seed, int workload, int index) {
  Random mix(seed * 1000003u + static_cast<std::uint64_t>(workload) * 7919u + static_cast<std::uint64_t>(index));
  return mix.Next();
}

class Tiff {
 public:
  Tiff(const fs::path& path, bool bigEndian) {
    tif_ = TIFFOpen(path.c_str(), bigEndian ? "wb" : "wl");
    if (tif_ == nullptr) throw std::runtime_error("cannot create " + path.string());
  }
  ~Tiff() {
    if (tif_ != nullptr) TIFFClose(tif_);
  }
  Tiff(const Tiff&) = delete;
  Tiff& operator=(const Tiff&) = delete;
  TIFF* get() const { return tif_; }
  void Close() {
    TIFFClose(tif_);
    tif_ = nullptr;
  }

 private:
  TIFF* tif_;
};

void Check(int ok, const char* what) {
  if (ok != 1) throw std::runtime_error(std::string("libtiff failed: ") + what);
}

fs::path FileName(const fs::path& dir, int index) {
  char name[16];
  std::snprintf(name, sizeof name, "%03d.tif", index);
  return dir / name;
}

// ---------------------------------------------------------------------------
// W1: bilevel pages that look like typed text: lines of "words" made of
// glyphs, each glyph a few thick strokes, with paragraph breaks and margins.

constexpr std::uint32_t kFaxWidth = 1728, kFaxHeight = 2200;

struct Glyph {
  int Width = 0;
  std::vector<std::uint8_t> Ink;  // Width x kGlyphHeight, 1 = black
};
constexpr int kGlyphHeight = 26;

std::vector<Glyph> MakeGlyphs(Random& random) {
  std::vector<Glyph> glyphs(80);
  for (Glyph& glyph : glyphs) {
    glyph.Width = 10 + random.Below(9);
    glyph.Ink.assign(static_cast<std::size_t>(glyph.Width * kGlyphHeight), 0);
    auto dot = [&glyph](int x, int y) {
      for (int dy = 0; dy < 3; ++dy)
        for (int dx = 0; dx < 3; ++dx) {
          const int px = x + dx, py = y + dy;
          if (px >= 0 && px < glyph.Width && py >= 0 && py < kGlyphHeight)
            glyph.Ink[static_cast<std::size_t>(py * glyph.Width + px)] = 1;
        }
    };
    const int strokes = 2 + random.Below(3);
    for (int s = 0; s < strokes; ++s) {
      // A straight or curved stroke between two random points.
      const int x0 = random.Below(glyph.Width - 2), y0 = 4 + random.Below(kGlyphHeight - 6);
      const int x1 = random.Below(glyph.Width - 2), y1 = 4 + random.Below(kGlyphHeight - 6);
      const double bend = (random.Below(3) - 1) * 4.0;
      for (int t = 0; t <= 32; ++t) {
        const double u = t / 32.0;
        const double x = x0 + (x1 - x0) * u + bend * std::sin(u * 3.14159);
        const double y = y0 + (y1 - y0) * u;
        dot(static_cast<int>(x), static_cast<int>(y));
      }
    }
  }
  return glyphs;
}

void WriteFaxPage(const fs::path& path, Random& random, const std::vector<Glyph>& glyphs) {
  const std::size_t rowBytes = kFaxWidth / 8;
  std::vector<std::uint8_t> bits(rowBytes * kFaxHeight, 0);
  auto set = [&](int x, int y) {
    bits[static_cast<std::size_t>(y) * rowBytes + static_cast<std::size_t>(x >> 3)] |= 0x80 >> (x & 7);
  };

  const int left = 140 + random.Below(20), right = static_cast<int>(kFaxWidth) - 140;
  int y = 160 + random.Below(40);
  while (y + kGlyphHeight < static_cast<int>(kFaxHeight) - 160) {
    const bool lastOfParagraph = random.Below(8) == 0;
    const int lineEnd = lastOfParagraph ? left + 200 + random.Below(right - left - 200) : right;
    int x = left;
    while (true) {
      const int letters = 2 + random.Below(8);
      int wordWidth = 0;
      std::array<int, 10> word{};
      for (int i = 0; i < letters; ++i) {
        word[static_cast<std::size_t>(i)] = random.Below(static_cast<int>(glyphs.size()));
        wordWidth += glyphs[static_cast<std::size_t>(word[static_cast<std::size_t>(i)])].Width + 2;
      }
      if (x + wordWidth > lineEnd) break;
      for (int i = 0; i < letters; ++i) {
        const Glyph& g = glyphs[static_cast<std::size_t>(word[static_cast<std::size_t>(i)])];
        for (int gy = 0; gy < kGlyphHeight; ++gy)
          for (int gx = 0; gx < g.Width; ++gx)
            if (g.Ink[static_cast<std::size_t>(gy * g.Width + gx)] != 0) set(x + gx, y + gy);
        x += g.Width + 2;
      }
      x += 12;
    }
    y += 38 + (lastOfParagraph ? 40 : 0);
  }

  Tiff tiff(path, false);
  TIFF* t = tiff.get();
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kFaxWidth);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, kFaxHeight);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
  TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kFaxHeight);
  TIFFSetField(t, TIFFTAG_XRESOLUTION, 200.0);
  TIFFSetField(t, TIFFTAG_YRESOLUTION, 200.0);
  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  if (TIFFWriteEncodedStrip(t, 0, bits.data(), static_cast<tmsize_t>(bits.size())) < 0)
    throw std::runtime_error("cannot encode " + path.string());
  tiff.Close();
}

void GenerateW1(const fs::path& dir, std::uint64_t seed) {
  Random atlas(FileSeed(seed, 1, 9999));
  const std::vector<Glyph> glyphs = MakeGlyphs(atlas);
  for (int i = 0; i < 200; ++i) {
    Random random(FileSeed(seed, 1, i));
    WriteFaxPage(FileName(dir, i), random, glyphs);
  }
}

// ---------------------------------------------------------------------------
// Continuous-tone content: a smooth two-dimensional wave plus a little
// sensor-like noise, so compressors find about as much to do as on scans.

class SmoothField {
 public:
  SmoothField(Random& random, std::uint32_t width, std::uint32_t height) : columns_(width), rows_(height) {
    const double fx = 0.002 + static_cast<double>(random.Below(1000)) * 0.00001;
    const double fy = 0.0015 + static_cast<double>(random.Below(1000)) * 0.00001;
    const double px = static_cast<double>(random.Below(628)) / 100.0,
                 py = static_cast<double>(random.Below(628)) / 100.0;
    for (std::uint32_t x = 0; x < width; ++x) columns_[x] = static_cast<float>(std::sin(fx * x + px));
    for (std::uint32_t y = 0; y < height; ++y) rows_[y] = static_cast<float>(std::cos(fy * y + py));
  }
  // 0..255 at (x, y), before noise.
  int At(std::uint32_t x, std::uint32_t y) const {
    return static_cast<int>(128.0f + 50.0f * columns_[x] + 40.0f * rows_[y] + 20.0f * columns_[x] * rows_[y]);
  }
  // The same wave on a 16-bit scale without At's rounding to 8 bits, so that
  // 16-bit samples change smoothly rather than in steps of 256.
  int At16(std::uint32_t x, std::uint32_t y) const {
    return static_cast<int>(256.0 * (128.0 + 50.0 * columns_[x] + 40.0 * rows_[y] + 20.0 * columns_[x] * rows_[y]));
  }

 private:
  std::vector<float> columns_, rows_;
};

// Fills `row` (width x samples) with the field's values plus noise of
// `noiseBits` random low bits.
void FillRow(std::uint8_t* row, std::uint32_t width, int samples, std::uint32_t y,
             const std::vector<SmoothField>& fields, Random& random, int noiseBits) {
  std::uint64_t pool = 0;
  int poolBits = 0;
  const std::uint64_t mask = (1u << noiseBits) - 1;
  for (std::uint32_t x = 0; x < width; ++x) {
    for (int s = 0; s < samples; ++s) {
      if (poolBits < noiseBits) {
        pool = random.Next();
        poolBits = 64;
      }
      const int noise = static_cast<int>(pool & mask) - static_cast<int>(mask >> 1);
      pool >>= noiseBits;
      poolBits -= noiseBits;
      const int value = fields[static_cast<std::size_t>(s)].At(x, y) + noise;
      *row++ = static_cast<std::uint8_t>(std::clamp(value, 0, 255));
    }
  }
}

constexpr std::uint32_t kGreyWidth = 1700, kGreyHeight = 2200;

void GenerateW2(const fs::path& dir, std::uint64_t seed) {
  std::vector<std::uint8_t> row(kGreyWidth);
  for (int i = 0; i < 50; ++i) {
    const bool bigEndian = i % 3 == 1;  // the first file, which sets the output's order, is little-endian
    Tiff tiff(FileName(dir, i), bigEndian);
    TIFF* t = tiff.get();
    Random random(FileSeed(seed, 2, i));
    for (int page = 0; page < 10; ++page) {
      const std::vector<SmoothField> fields{SmoothField(random, kGreyWidth, kGreyHeight)};
      TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kGreyWidth);
      TIFFSetField(t, TIFFTAG_IMAGELENGTH, kGreyHeight);
      TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
      TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
      TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
      TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
      TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
      TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, 0));
      TIFFSetField(t, TIFFTAG_XRESOLUTION, 200.0);
      TIFFSetField(t, TIFFTAG_YRESOLUTION, 200.0);
      TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
      TIFFSetField(t, TIFFTAG_PAGENUMBER, page, 10);
      for (std::uint32_t y = 0; y < kGreyHeight; ++y) {
        FillRow(row.data(), kGreyWidth, 1, y, fields, random, 2);
        Check(TIFFWriteScanline(t, row.data(), y, 0), "TIFFWriteScanline");
      }
      Check(TIFFWriteDirectory(t), "TIFFWriteDirectory");
    }
  }
}

// ---------------------------------------------------------------------------
// W3 and W5: large uncompressed RGB pages in 16-row strips.

void GenerateLargeRgb(const fs::path& dir, std::uint64_t seed, double scale, int workload, int files,
                      std::uint32_t width, std::uint32_t fullHeight) {
  constexpr std::uint32_t kRowsPerStrip = 16;
  const auto height = std::max<std::uint32_t>(kRowsPerStrip, static_cast<std::uint32_t>(fullHeight * scale));
  const std::size_t rowBytes = std::size_t{width} * 3;
  std::vector<std::uint8_t> strip(rowBytes * kRowsPerStrip);
  for (int i = 0; i < files; ++i) {
    Random random(FileSeed(seed, workload, i));
    const std::vector<SmoothField> fields{SmoothField(random, width, height), SmoothField(random, width, height),
                                          SmoothField(random, width, height)};
    Tiff tiff(FileName(dir, i), false);
    TIFF* t = tiff.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kRowsPerStrip);
    const std::uint32_t strips = (height + kRowsPerStrip - 1) / kRowsPerStrip;
    for (std::uint32_t s = 0; s < strips; ++s) {
      const std::uint32_t first = s * kRowsPerStrip;
      const std::uint32_t rows = std::min(kRowsPerStrip, height - first);
      for (std::uint32_t r = 0; r < rows; ++r)
        FillRow(strip.data() + r * rowBytes, width, 3, first + r, fields, random, 3);
      if (TIFFWriteEncodedStrip(t, s, strip.data(), static_cast<tmsize_t>(rows * rowBytes)) < 0)
        throw std::runtime_error("cannot write a strip");
    }
    tiff.Close();
  }
}

void GenerateW3(const fs::path& dir, std::uint64_t seed, double scale) {
  GenerateLargeRgb(dir, seed, scale, 3, 2, 12000, 15000);  // 540,000,000 bytes a page
}

void GenerateW5(const fs::path& dir, std::uint64_t seed, double scale) {
  GenerateLargeRgb(dir, seed, scale, 5, 3, 23000, 23200);  // 1,600,800,000 bytes a page
}

// ---------------------------------------------------------------------------
// W4: tiled Deflate RGB.

void GenerateW4(const fs::path& dir, std::uint64_t seed) {
  constexpr std::uint32_t kSize = 2048, kTile = 256;
  std::vector<std::uint8_t> image(std::size_t{kSize} * kSize * 3);
  std::vector<std::uint8_t> tile(std::size_t{kTile} * kTile * 3);
  for (int i = 0; i < 20; ++i) {
    Random random(FileSeed(seed, 4, i));
    const std::vector<SmoothField> fields{SmoothField(random, kSize, kSize), SmoothField(random, kSize, kSize),
                                          SmoothField(random, kSize, kSize)};
    for (std::uint32_t y = 0; y < kSize; ++y)
      FillRow(image.data() + std::size_t{y} * kSize * 3, kSize, 3, y, fields, random, 2);

    Tiff tiff(FileName(dir, i), false);
    TIFF* t = tiff.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kSize);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, kSize);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_TILEWIDTH, kTile);
    TIFFSetField(t, TIFFTAG_TILELENGTH, kTile);
    for (std::uint32_t ty = 0; ty < kSize; ty += kTile)
      for (std::uint32_t tx = 0; tx < kSize; tx += kTile) {
        for (std::uint32_t r = 0; r < kTile; ++r)
          std::copy_n(image.data() + (std::size_t{ty + r} * kSize + tx) * 3, kTile * 3,
                      tile.data() + std::size_t{r} * kTile * 3);
        if (TIFFWriteTile(t, tile.data(), tx, ty, 0, 0) < 0) throw std::runtime_error("cannot write a tile");
      }
    tiff.Close();
  }
}

// ---------------------------------------------------------------------------
// W7: a page that must be transcoded. The first file, a small little-endian
// 8-bit page, sets the output's byte order; the second holds one big-endian
// page of 16-bit samples, Deflate-compressed after horizontal differencing,
// whose samples a merge into a little-endian file must decode, swap and
// encode again. Its content is a smooth wave plus 6 bits of noise (about
// what a 16-bit scanner or camera records), so that Deflate has work to do.

void GenerateW7(const fs::path& dir, std::uint64_t seed, double scale) {
  {
    constexpr std::uint32_t kSmall = 64;
    Random random(FileSeed(seed, 7, 0));
    const std::vector<SmoothField> fields{SmoothField(random, kSmall, kSmall)};
    std::vector<std::uint8_t> image(std::size_t{kSmall} * kSmall);
    for (std::uint32_t y = 0; y < kSmall; ++y) FillRow(image.data() + y * kSmall, kSmall, 1, y, fields, random, 2);
    Tiff tiff(FileName(dir, 0), false);
    TIFF* t = tiff.get();
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kSmall);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, kSmall);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kSmall);
    if (TIFFWriteEncodedStrip(t, 0, image.data(), static_cast<tmsize_t>(image.size())) < 0)
      throw std::runtime_error("cannot write a strip");
    tiff.Close();
  }

  constexpr std::uint32_t kWidth = 4000, kFullHeight = 4000, kRowsPerStrip = 64;
  constexpr int kNoiseBits = 6;
  const auto height = std::max<std::uint32_t>(kRowsPerStrip, static_cast<std::uint32_t>(kFullHeight * scale));
  Random random(FileSeed(seed, 7, 1));
  const SmoothField field(random, kWidth, height);
  Tiff tiff(FileName(dir, 1), true);
  TIFF* t = tiff.get();
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 16);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, kRowsPerStrip);
  TIFFSetField(t, TIFFTAG_XRESOLUTION, 300.0);
  TIFFSetField(t, TIFFTAG_YRESOLUTION, 300.0);
  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  // Samples in the machine's order: libtiff differences and swaps them (in
  // this buffer, which is why every strip is filled anew).
  std::vector<std::uint16_t> strip(std::size_t{kWidth} * kRowsPerStrip);
  constexpr std::uint64_t kMask = (1u << kNoiseBits) - 1;
  const std::uint32_t strips = (height + kRowsPerStrip - 1) / kRowsPerStrip;
  for (std::uint32_t s = 0; s < strips; ++s) {
    const std::uint32_t first = s * kRowsPerStrip;
    const std::uint32_t rows = std::min(kRowsPerStrip, height - first);
    std::uint64_t pool = 0;
    int poolBits = 0;
    for (std::uint32_t r = 0; r < rows; ++r)
      for (std::uint32_t x = 0; x < kWidth; ++x) {
        if (poolBits < kNoiseBits) {
          pool = random.Next();
          poolBits = 64;
        }
        const int noise = static_cast<int>(pool & kMask) - static_cast<int>(kMask >> 1);
        pool >>= kNoiseBits;
        poolBits -= kNoiseBits;
        strip[std::size_t{r} * kWidth + x] =
            static_cast<std::uint16_t>(std::clamp(field.At16(x, first + r) + noise, 0, 65535));
      }
    if (TIFFWriteEncodedStrip(t, s, strip.data(), static_cast<tmsize_t>(std::size_t{rows} * kWidth * 2)) < 0)
      throw std::runtime_error("cannot write a strip");
  }
  tiff.Close();
}

[[noreturn]] void Usage() {
  std::fprintf(stderr, "usage: vellox_bench_gen DIR [--only W1,W2,W3,W4,W5,W7] [--scale F] [--seed N]\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) Usage();
  const fs::path root = argv[1];
  std::string only = "W1,W2,W3,W4,W5,W7";
  double scale = 1.0;
  std::uint64_t seed = 20240611;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (i + 1 >= argc) Usage();
    if (arg == "--only") {
      only = argv[++i];
    } else if (arg == "--scale") {
      scale = std::atof(argv[++i]);
      if (!(scale > 0.0 && scale <= 1.0)) Usage();
    } else if (arg == "--seed") {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else {
      Usage();
    }
  }
  try {
    struct Workload {
      const char* Name;
      void (*Generate)(const fs::path&, std::uint64_t, double);
    };
    const Workload workloads[] = {
        {"W1", [](const fs::path& d, std::uint64_t s, double) { GenerateW1(d, s); }},
        {"W2", [](const fs::path& d, std::uint64_t s, double) { GenerateW2(d, s); }},
        {"W3", [](const fs::path& d, std::uint64_t s, double f) { GenerateW3(d, s, f); }},
        {"W4", [](const fs::path& d, std::uint64_t s, double) { GenerateW4(d, s); }},
        {"W5", [](const fs::path& d, std::uint64_t s, double f) { GenerateW5(d, s, f); }},
        {"W7", [](const fs::path& d, std::uint64_t s, double f) { GenerateW7(d, s, f); }},
    };
    for (const Workload& w : workloads) {
      if (only.find(w.Name) == std::string::npos) continue;
      std::string folder = w.Name;
      folder[0] = 'w';
      const fs::path dir = root / folder;
      fs::remove_all(dir);
      fs::create_directories(dir);
      std::fprintf(stderr, "generating %s in %s\n", w.Name, dir.c_str());
      w.Generate(dir, seed, scale);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "vellox_bench_gen: %s\n", error.what());
    return 1;
  }
  return 0;
}
