// vellox::Info against libtiff, which reads the same files page by page,
// and against the merge: what Info says a merge leaves out of a page, skips
// or stops at is what a merge of the file reports. Damaged chains are read
// up to where they break, and no file is changed.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <memory>

#include "integration/merge_harness.hpp"
#include "support/libtiff_fixtures.hpp"
#include "support/tiff_builder.hpp"
#include "vellox/vellox.hpp"

namespace vellox::test {
namespace {

// Every field of every page as libtiff reads it from the same file.
void ExpectAsLibtiffReadsIt(const std::string& path, const FileInfo& info) {
  std::unique_ptr<TIFF, decltype(&TIFFClose)> tif(TIFFOpen(path.c_str(), "r"), &TIFFClose);
  ASSERT_TRUE(tif);
  TIFF* t = tif.get();
  EXPECT_EQ(info.BigTiff, TIFFIsBigTIFF(t) != 0);
  EXPECT_EQ(info.LittleEndian, TIFFIsBigEndian(t) == 0);
  ASSERT_EQ(info.Pages.size(), TIFFNumberOfDirectories(t));
  for (const PageInfo& page : info.Pages) {
    SCOPED_TRACE("page " + std::to_string(page.Index));
    ASSERT_EQ(TIFFSetDirectory(t, static_cast<tdir_t>(page.Index)), 1);
    EXPECT_EQ(page.Offset, TIFFCurrentDirOffset(t));
    std::uint32_t width = 0, height = 0;
    std::uint16_t bits = 0, samples = 0, compression = 0, photometric = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
    ASSERT_EQ(TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric), 1);
    EXPECT_EQ(page.Width, width);
    EXPECT_EQ(page.Height, height);
    EXPECT_EQ(page.BitsPerSample, bits);
    EXPECT_EQ(page.SamplesPerPixel, samples);
    EXPECT_EQ(page.Compression, compression);
    EXPECT_EQ(page.Photometric, photometric);
    EXPECT_EQ(page.Tiled, TIFFIsTiled(t) != 0);
    EXPECT_EQ(page.Pieces, page.Tiled ? TIFFNumberOfTiles(t) : TIFFNumberOfStrips(t));
    if (page.Tiled) {
      std::uint32_t tileWidth = 0, tileLength = 0;
      TIFFGetField(t, TIFFTAG_TILEWIDTH, &tileWidth);
      TIFFGetField(t, TIFFTAG_TILELENGTH, &tileLength);
      EXPECT_EQ(page.TileWidth, tileWidth);
      EXPECT_EQ(page.TileLength, tileLength);
    }
    std::uint64_t imageBytes = 0;
    for (std::uint32_t piece = 0; piece < page.Pieces; ++piece) imageBytes += TIFFGetStrileByteCount(t, piece);
    EXPECT_EQ(page.ImageBytes, imageBytes);
    std::uint16_t subIfds = 0;
    std::uint64_t* subIfdOffsets = nullptr;
    if (TIFFGetField(t, TIFFTAG_SUBIFD, &subIfds, &subIfdOffsets) != 1) subIfds = 0;
    EXPECT_EQ(page.SubIfds, subIfds);
    std::uint64_t exif = 0;
    EXPECT_EQ(page.Exif, TIFFGetField(t, TIFFTAG_EXIFIFD, &exif) == 1);
  }
}

class InfoTest : public testing::Test {
 protected:
  TempDir dir;
};

// Files libtiff wrote, in both byte orders and both formats: strips and
// tiles, planes, bilevel, palette, RGB and 16-bit pages, with EXIF
// directories and SubIFDs. A merge copies them whole; into the other byte
// order only the compressed 16-bit page is transcoded.
TEST_F(InfoTest, ReadsEveryPageAsLibtiffDoes) {
  const PageRecipe fax{.Kind = Pixels::Bilevel1, .Compression = Codec::G4, .RowsPerStrip = 16};
  const PageRecipe rgbTiles{
      .Kind = Pixels::Rgb8, .Compression = Codec::Lzw, .Organisation = Layout::Tiles, .Exif = true};
  const PageRecipe greyThumbnail{.Kind = Pixels::Grey8, .Compression = Codec::Deflate, .Thumbnail = true};
  const PageRecipe grey16{.Kind = Pixels::Grey16, .Compression = Codec::Deflate, .Predictor = true};
  const PageRecipe planes{.Kind = Pixels::Rgb8, .Compression = Codec::PackBits, .Separate = true};
  const PageRecipe paletteTiles{.Kind = Pixels::Palette8, .Organisation = Layout::Tiles, .Exif = true};
  const std::vector<std::pair<std::string, FileRecipe>> files = {
      {"little.tif", {.LittleEndian = true, .Pages = {fax, rgbTiles, greyThumbnail, grey16}}},
      {"big-bigtiff.tif", {.LittleEndian = false, .Pages = {planes, paletteTiles, grey16}, .Big = true}},
  };
  for (const auto& [name, recipe] : files) {
    SCOPED_TRACE(name);
    const std::string path = dir / name;
    WriteTiff(path, recipe);
    const FileInfo info = Info(path);
    ASSERT_EQ(info.Status, Status::Ok) << info.Reason;
    EXPECT_EQ(info.Bytes, ReadFile(path).size());
    ExpectAsLibtiffReadsIt(path, info);
    for (std::size_t i = 0; i < info.Pages.size(); ++i) {
      const PageInfo& page = info.Pages[i];
      EXPECT_EQ(page.Skipped, "");
      EXPECT_TRUE(page.LeftOut.empty());
      const bool sixteen = recipe.Pages[i].Kind == Pixels::Grey16;
      EXPECT_EQ(page.OtherOrder, sixteen ? OtherOrderFate::Transcoded : OtherOrderFate::Copied) << i;
    }
  }
}

// A page of 16-bit samples in a compression the transcoder cannot code.
Field Number(TiffBuilder& file, std::uint16_t tag, std::uint64_t value) {
  return file.Values(tag, 4, {value});
}

std::uint32_t AddZstd16Page(TiffBuilder& file) {
  const std::uint32_t strip = file.Append(std::string(64, '\x11'));
  return file.AppendDirectory({Number(file, 256, 4), Number(file, 257, 8), file.Values(258, 3, {16}),
                               file.Values(259, 3, {50000}), file.Values(262, 3, {1}), Number(file, 273, strip),
                               file.Values(277, 3, {1}), Number(file, 278, 8), Number(file, 279, 64)});
}

// One file with a page whose GPS directory lies outside the file (a merge
// copies the page without it), a page a merge into the other byte order
// skips, a page whose strip lies outside the file (a merge of the file
// stops there) and a good page after it: Info says of each what the merges
// in both byte orders report.
TEST_F(InfoTest, SaysWhatAMergeLeavesOutSkipsAndStopsAt) {
  TiffBuilder file(true);
  const std::uint32_t first = file.AddGreyPage(4, 2, "abcdefgh", 1, {file.Raw(34853, 4, 1, 0x7FFFFFF0)});
  const std::uint32_t zstd = AddZstd16Page(file);
  file.SetLink(first, zstd);
  const std::uint32_t cut = file.AppendDirectory({Number(file, 256, 4), Number(file, 257, 2), file.Values(258, 3, {8}),
                                                  Number(file, 273, 0x7FFFFFF0), Number(file, 279, 8)});
  file.SetLink(zstd, cut);
  const std::uint32_t last = file.AppendDirectory({Number(file, 256, 1), Number(file, 257, 1), file.Values(258, 3, {8}),
                                                   Number(file, 273, 8), Number(file, 279, 1)});
  file.SetLink(cut, last);
  const std::string path = dir / "parts.tif";
  WriteFile(path, file.Bytes());

  const FileInfo info = Info(path);
  ASSERT_EQ(info.Status, Status::Ok) << info.Reason;
  ASSERT_EQ(info.Pages.size(), 4u);
  EXPECT_TRUE(info.Pages[0].Gps);

  const MergeReport own = Merge({path}, dir.Path().string(), "own.tif").Report;
  ASSERT_EQ(own.Files.size(), 1u);
  const FileReport& copied = own.Files[0];
  EXPECT_EQ(copied.Pages, 2u);
  ASSERT_EQ(copied.LeftOut.size(), 1u);
  EXPECT_EQ(copied.LeftOut[0].Index, 0u);
  EXPECT_EQ(info.Pages[0].LeftOut, std::vector<std::string>{copied.LeftOut[0].Reason});
  EXPECT_EQ(info.Pages[1].Skipped, "");
  EXPECT_EQ(info.Pages[2].Skipped, "the merge of the file stops here: " + copied.Reason);
  EXPECT_EQ(info.Pages[3].Skipped, "the merge of the file stops at an earlier page");

  const MergeReport other = Merge({path}, dir.Path().string(), "other.tif", {.Order = ByteOrder::Big}).Report;
  ASSERT_EQ(other.Files[0].Skipped.size(), 1u);
  EXPECT_EQ(other.Files[0].Skipped[0].Index, 1u);
  EXPECT_EQ(info.Pages[1].OtherOrder, OtherOrderFate::Skipped);
  EXPECT_EQ(info.Pages[1].OtherOrderReason, other.Files[0].Skipped[0].Reason);
  EXPECT_EQ(info.Pages[0].OtherOrder, OtherOrderFate::Copied);
}

// Chains that break off or loop are read up to the break, which the reason
// names; files that are no TIFF say so. Nothing is changed: an empty file
// stays (a merge would delete it).
TEST_F(InfoTest, ReadsDamagedFilesUpToWhereTheyBreak) {
  struct Case {
    const char* Name;
    std::string Bytes;
    Status Expected;
    std::size_t Pages;
    const char* Reason;
  };
  TiffBuilder pastEnd(false);
  const std::uint32_t second = (pastEnd.AddGreyPage(2, 1, "ab"), pastEnd.AddGreyPage(2, 1, "cd"));
  pastEnd.SetLink(second, 0x10000);
  TiffBuilder loop(true, true);
  const std::uint32_t start = loop.AddGreyPage(2, 1, "ab");
  loop.SetLink(loop.AddGreyPage(2, 1, "cd"), start);
  const std::vector<Case> cases = {
      {"past-end.tif", pastEnd.Bytes(), Status::Damaged, 2, "directory at offset 65536 lies outside the file"},
      {"loop.tif", loop.Bytes(), Status::Damaged, 2, "links back to the directory at offset"},
      {"no-pages.tif", std::string("II*\0\0\0\0\0", 8), Status::Damaged, 0, "the file has no pages"},
      {"cut.tif", std::string("II*\0", 4), Status::Damaged, 0, "shorter than a TIFF header"},
      {"text.tif", "plain text, not a TIFF", Status::NotTiff, 0, "not a TIFF file"},
      {"empty.tif", "", Status::NotTiff, 0, "empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = dir / c.Name;
    WriteFile(path, c.Bytes);
    const FileInfo info = Info(path);
    EXPECT_EQ(info.Status, c.Expected);
    EXPECT_NE(info.Reason.find(c.Reason), std::string::npos) << info.Reason;
    EXPECT_EQ(info.Pages.size(), c.Pages);
    EXPECT_EQ(ReadFile(path), c.Bytes);  // still there, unchanged
  }
  EXPECT_EQ(Info(dir / "missing.tif").Status, Status::Missing);
  EXPECT_EQ(Info(dir.Path()).Status, Status::CannotOpen);
}

}  // namespace
}  // namespace vellox::test
