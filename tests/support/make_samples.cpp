// Writes the small sample TIFFs bundled in samples/ for the README's demo:
//   vellox_make_samples <folder>
// Each file is written by libtiff, so the demo merges files that an
// independent implementation produced.
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "support/libtiff_fixtures.hpp"

namespace {

using vellox::test::Codec;
using vellox::test::FileRecipe;
using vellox::test::Layout;
using vellox::test::PageRecipe;
using vellox::test::Pixels;

PageRecipe Sample(Pixels kind, Codec codec, std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  PageRecipe page;
  page.Kind = kind;
  page.Compression = codec;
  page.Width = width;
  page.Height = height;
  page.RowsPerStrip = 32;
  page.Noise = false;  // smooth patterns keep the files to a few KB
  page.Seed = seed;
  page.Predictor = codec == Codec::Lzw || codec == Codec::Deflate;
  return page;
}

PageRecipe Tiled(PageRecipe page, std::uint32_t tileSize) {
  page.Organisation = Layout::Tiles;
  page.TileSize = tileSize;
  return page;
}

struct SampleFile {
  const char* Name;
  FileRecipe Recipe;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: vellox_make_samples <folder>\n";
    return 2;
  }
  const std::filesystem::path folder = argv[1];
  const SampleFile samples[] = {
      {"grey-lzw-2pages-le.tif",
       {true, {Sample(Pixels::Grey8, Codec::Lzw, 200, 150, 1), Sample(Pixels::Grey8, Codec::Lzw, 200, 150, 2)}}},
      {"rgb-deflate-be.tif", {false, {Sample(Pixels::Rgb8, Codec::Deflate, 160, 120, 3)}}},
      {"fax-g4-le.tif", {true, {Sample(Pixels::Bilevel1, Codec::G4, 864, 400, 4)}}},
      {"palette-tiled-le.tif", {true, {Tiled(Sample(Pixels::Palette8, Codec::Lzw, 192, 128, 5), 64)}}},
      {"grey16-be.tif", {false, {Sample(Pixels::Grey16, Codec::None, 64, 48, 6)}}},
  };
  try {
    std::filesystem::create_directories(folder);
    for (const SampleFile& sample : samples) {
      const std::filesystem::path path = folder / sample.Name;
      vellox::test::WriteTiff(path.string(), sample.Recipe);
      std::cout << path.string() << " (" << std::filesystem::file_size(path) << " bytes)\n";
    }
  } catch (const std::exception& error) {
    std::cerr << "vellox_make_samples: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
