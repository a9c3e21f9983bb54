// Checks a merged file page by page against its inputs with libtiff: every
// page of every input, in order, must appear in the output with the same
// image description fields and the same decoded strips or tiles.
//
//   vellox_bench_verify OUTPUT INPUT...
//
// Exit status 0 when every page matches and the output has no extra page.
#include <tiffio.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Closer {
  void operator()(TIFF* tif) const { TIFFClose(tif); }
};
using TiffHandle = std::unique_ptr<TIFF, Closer>;

TiffHandle Open(const char* path) {
  return TiffHandle(TIFFOpen(path, "r"));
}

// Fields that decide how pixels decode; every one must agree.
constexpr ttag_t kShortFields[] = {
    TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_COMPRESSION, TIFFTAG_PHOTOMETRIC,  TIFFTAG_PLANARCONFIG,
    TIFFTAG_FILLORDER,     TIFFTAG_PREDICTOR,       TIFFTAG_ORIENTATION, TIFFTAG_SAMPLEFORMAT, TIFFTAG_RESOLUTIONUNIT};
constexpr ttag_t kLongFields[] = {TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH, TIFFTAG_ROWSPERSTRIP, TIFFTAG_TILEWIDTH,
                                  TIFFTAG_TILELENGTH};
constexpr ttag_t kFloatFields[] = {TIFFTAG_XRESOLUTION, TIFFTAG_YRESOLUTION};

// Codecs that carry no Predictor field (libtiff complains when asked).
bool HasNoPredictor(TIFF* tif) {
  std::uint16_t compression = COMPRESSION_NONE;
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  return compression <= COMPRESSION_CCITTFAX4 || compression == COMPRESSION_JPEG || compression == COMPRESSION_PACKBITS;
}

std::string FieldsDiffer(TIFF* a, TIFF* b) {
  for (const ttag_t tag : kShortFields) {
    if (tag == TIFFTAG_PREDICTOR && HasNoPredictor(a) && HasNoPredictor(b)) continue;
    std::uint16_t va = 0, vb = 0;
    const int ha = TIFFGetFieldDefaulted(a, tag, &va), hb = TIFFGetFieldDefaulted(b, tag, &vb);
    if (ha != hb || va != vb) return "field " + std::to_string(tag);
  }
  for (const ttag_t tag : kLongFields) {
    std::uint32_t va = 0, vb = 0;
    const int ha = TIFFGetField(a, tag, &va), hb = TIFFGetField(b, tag, &vb);
    if (ha != hb || va != vb) return "field " + std::to_string(tag);
  }
  for (const ttag_t tag : kFloatFields) {
    float va = 0, vb = 0;
    const int ha = TIFFGetField(a, tag, &va), hb = TIFFGetField(b, tag, &vb);
    if (ha != hb || va != vb) return "field " + std::to_string(tag);
  }
  return {};
}

// Decodes every strip (or tile) of both pages and compares them.
std::string PixelsDiffer(TIFF* a, TIFF* b) {
  const bool tiled = TIFFIsTiled(a) != 0;
  if (tiled != (TIFFIsTiled(b) != 0)) return "one page is tiled, the other not";
  const std::uint32_t pieces = tiled ? TIFFNumberOfTiles(a) : TIFFNumberOfStrips(a);
  if (pieces != (tiled ? TIFFNumberOfTiles(b) : TIFFNumberOfStrips(b))) return "different number of strips or tiles";
  const tmsize_t size = tiled ? TIFFTileSize(a) : TIFFStripSize(a);
  if (size <= 0) return "no strip size";
  std::vector<unsigned char> bufferA(static_cast<std::size_t>(size)), bufferB(static_cast<std::size_t>(size));
  for (std::uint32_t i = 0; i < pieces; ++i) {
    const tmsize_t gotA =
        tiled ? TIFFReadEncodedTile(a, i, bufferA.data(), size) : TIFFReadEncodedStrip(a, i, bufferA.data(), size);
    const tmsize_t gotB =
        tiled ? TIFFReadEncodedTile(b, i, bufferB.data(), size) : TIFFReadEncodedStrip(b, i, bufferB.data(), size);
    if (gotA < 0 || gotB < 0) return "piece " + std::to_string(i) + " does not decode";
    if (gotA != gotB || std::memcmp(bufferA.data(), bufferB.data(), static_cast<std::size_t>(gotA)) != 0)
      return "piece " + std::to_string(i) + " differs";
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: vellox_bench_verify OUTPUT INPUT...\n");
    return 2;
  }
  TiffHandle output = Open(argv[1]);
  if (!output) return 1;
  std::uint64_t pages = 0;
  bool outputHasPage = true;
  for (int i = 2; i < argc; ++i) {
    TiffHandle input = Open(argv[i]);
    if (!input) return 1;
    do {
      if (!outputHasPage) {
        std::fprintf(stderr, "%s: output ends before page %llu\n", argv[1], static_cast<unsigned long long>(pages));
        return 1;
      }
      std::string problem = FieldsDiffer(input.get(), output.get());
      if (problem.empty()) problem = PixelsDiffer(input.get(), output.get());
      if (!problem.empty()) {
        std::fprintf(stderr, "%s: page %llu (from %s) differs: %s\n", argv[1], static_cast<unsigned long long>(pages),
                     argv[i], problem.c_str());
        return 1;
      }
      ++pages;
      outputHasPage = TIFFReadDirectory(output.get()) == 1;
    } while (TIFFReadDirectory(input.get()) == 1);
  }
  if (outputHasPage) {
    std::fprintf(stderr, "%s: more pages than its inputs\n", argv[1]);
    return 1;
  }
  std::printf("%llu pages verified\n", static_cast<unsigned long long>(pages));
  return 0;
}
