// Merges of well-formed files written by libtiff, in one byte order: every
// page must come out in order with its tags and decoded pixels intact.
#include <gtest/gtest.h>

#include "integration/merge_harness.hpp"
#include "support/libtiff_fixtures.hpp"

namespace vellox::test {
namespace {

PageRecipe Page(Pixels kind, Codec codec, Layout layout = Layout::Strips) {
  PageRecipe page;
  page.Kind = kind;
  page.Compression = codec;
  page.Organisation = layout;
  return page;
}

PageRecipe WithPredictor(PageRecipe page) {
  page.Predictor = true;
  return page;
}

PageRecipe Planar(PageRecipe page) {
  page.Separate = true;
  return page;
}

// One strip or one tile for the whole page: the offsets entry holds a
// single inline value instead of an out-of-line array.
PageRecipe SinglePiece(PageRecipe page) {
  page.Width = 32;
  page.Height = 16;
  page.RowsPerStrip = 16;
  page.TileSize = 32;
  return page;
}

PageRecipe Seeded(PageRecipe page, std::uint32_t seed) {
  page.Seed = seed;
  return page;
}

std::vector<PageRecipe> AllFormats() {
  return {
      Page(Pixels::Grey8, Codec::None),
      Page(Pixels::Grey8, Codec::Lzw),
      WithPredictor(Page(Pixels::Grey8, Codec::Lzw)),
      Page(Pixels::Grey8, Codec::Deflate, Layout::Tiles),
      Page(Pixels::Grey8, Codec::PackBits),
      SinglePiece(Page(Pixels::Grey8, Codec::None)),
      SinglePiece(Page(Pixels::Grey8, Codec::Lzw, Layout::Tiles)),
      Page(Pixels::Rgb8, Codec::None),
      Page(Pixels::Rgb8, Codec::Lzw, Layout::Tiles),
      Page(Pixels::Rgb8, Codec::Deflate),
      Planar(Page(Pixels::Rgb8, Codec::Deflate)),
      Planar(Page(Pixels::Rgb8, Codec::None, Layout::Tiles)),
      Page(Pixels::Rgb8, Codec::PackBits, Layout::Tiles),
      Page(Pixels::Palette8, Codec::None),
      Page(Pixels::Palette8, Codec::Lzw, Layout::Tiles),
      Page(Pixels::Palette8, Codec::Deflate),
      Page(Pixels::Palette8, Codec::PackBits),
      Page(Pixels::Bilevel1, Codec::None),
      Page(Pixels::Bilevel1, Codec::PackBits),
      Page(Pixels::Bilevel1, Codec::G4),
      Page(Pixels::Bilevel1, Codec::G4, Layout::Tiles),
      SinglePiece(Page(Pixels::Bilevel1, Codec::G4)),
      Page(Pixels::Grey16, Codec::None),
      Page(Pixels::Grey16, Codec::None, Layout::Tiles),
      WithPredictor(Page(Pixels::Grey16, Codec::Lzw)),
      Page(Pixels::Grey16, Codec::Deflate, Layout::Tiles),
      Page(Pixels::Grey16, Codec::PackBits),
      Page(Pixels::Grey8, Codec::Jpeg),
      Page(Pixels::Rgb8, Codec::Jpeg, Layout::Tiles),
  };
}

struct FormatCase {
  PageRecipe Format;
  bool LittleEndian = true;
};

void PrintTo(const FormatCase& c, std::ostream* out) {
  *out << FormatName(c.Format) << (c.LittleEndian ? " little-endian" : " big-endian");
}

std::string CaseName(const testing::TestParamInfo<FormatCase>& info) {
  return FormatName(info.param.Format) + (info.param.LittleEndian ? "_le" : "_be");
}

std::vector<FormatCase> FormatCases() {
  std::vector<FormatCase> cases;
  for (const PageRecipe& format : AllFormats())
    for (const bool little : {true, false}) cases.push_back({format, little});
  return cases;
}

class FormatMerge : public testing::TestWithParam<FormatCase> {
 protected:
  TempDir dir_;
};

// Two files of one format, the first with two pages: three pages out, the
// byte order kept, every file reported as copied.
TEST_P(FormatMerge, EveryPageComesOutIntact) {
  const FormatCase& c = GetParam();
  if (!CodecAvailable(c.Format.Compression)) GTEST_SKIP() << "libtiff was built without this codec";
  const std::string first = dir_ / "first.tif";
  const std::string second = dir_ / "second.tif";
  WriteTiff(first, {c.LittleEndian, {Seeded(c.Format, 1), Seeded(c.Format, 2)}});
  WriteTiff(second, {c.LittleEndian, {Seeded(c.Format, 3)}});

  const MergeOutcome merged = Merge({first, second}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  ASSERT_EQ(merged.Report.Files.size(), 2u);
  EXPECT_EQ(merged.Report.Files[0].Result, 1);
  EXPECT_EQ(merged.Report.Files[0].Pages, 2u);
  EXPECT_EQ(merged.Report.Files[1].Result, 1);
  EXPECT_EQ(merged.Report.Files[1].Pages, 1u);
  EXPECT_EQ(merged.Report.PagesWritten, 3u);
  EXPECT_EQ(IsBigEndianTiff(merged.Output), !c.LittleEndian);
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({first, second})));
}

// A single file merged alone comes out page for page.
TEST_P(FormatMerge, SingleFileAlone) {
  const FormatCase& c = GetParam();
  if (!CodecAvailable(c.Format.Compression)) GTEST_SKIP() << "libtiff was built without this codec";
  const std::string only = dir_ / "only.tif";
  WriteTiff(only, {c.LittleEndian, {Seeded(c.Format, 7)}});

  const MergeOutcome merged = Merge({only}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(0).Result, 1);
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({only})));
}

INSTANTIATE_TEST_SUITE_P(Formats, FormatMerge, testing::ValuesIn(FormatCases()), CaseName);

class MultiPageMerge : public testing::TestWithParam<bool> {
 protected:
  TempDir dir_;
};

// Files of three, one and four pages, each mixing formats, strips and
// tiles: eight pages out, in list order and page order.
TEST_P(MultiPageMerge, PagesFollowListOrderThenPageOrder) {
  const bool little = GetParam();
  const std::string a = dir_ / "a.tif";
  const std::string b = dir_ / "b.tif";
  const std::string c = dir_ / "c.tif";
  WriteTiff(
      a, {little,
          {Seeded(Page(Pixels::Grey8, Codec::Lzw), 11), Seeded(Page(Pixels::Rgb8, Codec::Deflate, Layout::Tiles), 12),
           Seeded(Page(Pixels::Bilevel1, Codec::G4), 13)}});
  WriteTiff(b, {little, {Seeded(Page(Pixels::Palette8, Codec::PackBits, Layout::Tiles), 21)}});
  WriteTiff(c, {little,
                {Seeded(Page(Pixels::Grey16, Codec::None), 31), Seeded(Page(Pixels::Palette8, Codec::Lzw), 32),
                 Seeded(Planar(Page(Pixels::Rgb8, Codec::PackBits)), 33),
                 Seeded(Page(Pixels::Bilevel1, Codec::None, Layout::Tiles), 34)}});

  const MergeOutcome merged = Merge({a, b, c}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  ASSERT_EQ(merged.Report.Files.size(), 3u);
  EXPECT_EQ(merged.Report.Files[0].Pages, 3u);
  EXPECT_EQ(merged.Report.Files[1].Pages, 1u);
  EXPECT_EQ(merged.Report.Files[2].Pages, 4u);
  for (const FileReport& file : merged.Report.Files) EXPECT_EQ(file.Result, 1) << file.Path << ": " << file.Reason;
  EXPECT_EQ(merged.Report.PagesWritten, 8u);
  EXPECT_EQ(merged.Report.BytesWritten, ReadFile(merged.Output).size());
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({a, b, c})));
}

// The merge of a merge is the same pages again: outputs are themselves
// valid inputs.
TEST_P(MultiPageMerge, OutputMergesAgain) {
  const bool little = GetParam();
  const std::string a = dir_ / "a.tif";
  const std::string b = dir_ / "b.tif";
  WriteTiff(a, {little, {Page(Pixels::Grey8, Codec::Lzw), Page(Pixels::Rgb8, Codec::None, Layout::Tiles)}});
  WriteTiff(b, {little, {Page(Pixels::Palette8, Codec::Deflate)}});
  const MergeOutcome once = Merge({a, b}, dir_.Path().string(), "once.tif");
  ASSERT_EQ(once.Result, kMergeWritten);

  const MergeOutcome twice = Merge({once.Output, a}, dir_.Path().string(), "twice.tif");

  ASSERT_EQ(twice.Result, kMergeWritten);
  EXPECT_EQ(twice.Report.Files.at(0).Result, 1);
  EXPECT_TRUE(IsMergeOf(twice.Output, PagesOf({a, b, a})));
}

// Pages larger than the copier's 1 MiB copy chunk, in a single strip, so
// that the streamed copy and the sample byte reversal cross chunk borders.
TEST_P(MultiPageMerge, PagesLargerThanACopyChunk) {
  const bool little = GetParam();
  PageRecipe wide = Page(Pixels::Grey16, Codec::None);
  wide.Width = 1100;
  wide.Height = 601;
  wide.RowsPerStrip = 601;
  PageRecipe colour = Page(Pixels::Rgb8, Codec::None);
  colour.Width = 801;
  colour.Height = 600;
  colour.RowsPerStrip = 600;
  const std::string first = dir_ / "first.tif";
  const std::string large = dir_ / "large.tif";
  WriteTiff(first, {little, {Page(Pixels::Grey8, Codec::Lzw)}});
  WriteTiff(large, {!little, {wide, colour}});

  const MergeOutcome merged = Merge({first, large}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(1).Result, 1) << merged.Report.Files.at(1).Reason;
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({first, large})));
}

std::string ByteOrderName(const testing::TestParamInfo<bool>& order) {
  return order.param ? "little_endian" : "big_endian";
}

INSTANTIATE_TEST_SUITE_P(ByteOrders, MultiPageMerge, testing::Values(true, false), ByteOrderName);

}  // namespace
}  // namespace vellox::test
