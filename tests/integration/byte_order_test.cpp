// Merges of files in both byte orders. The output takes the first file's
// order; every later page in the other order must read back the same:
// out-of-line arrays (BitsPerSample, ColorMap, resolutions) are converted
// element by element, 16-bit uncompressed samples are byte-reversed, and a
// page whose compressed multi-byte samples cannot be converted is left out
// and reported, without failing the merge.
#include <gtest/gtest.h>

#include "integration/merge_harness.hpp"
#include "support/libtiff_fixtures.hpp"

namespace vellox::test {
namespace {

PageRecipe Page(Pixels kind, Codec codec, Layout layout = Layout::Strips, std::uint32_t seed = 1) {
  PageRecipe page;
  page.Kind = kind;
  page.Compression = codec;
  page.Organisation = layout;
  page.Seed = seed;
  return page;
}

// Formats whose pages can always be carried into the other byte order.
std::vector<PageRecipe> ConvertibleFormats() {
  PageRecipe planar = Page(Pixels::Rgb8, Codec::Lzw);
  planar.Separate = true;
  PageRecipe predicted = Page(Pixels::Grey8, Codec::Deflate);
  predicted.Predictor = true;
  return {
      Page(Pixels::Grey8, Codec::None),
      Page(Pixels::Grey8, Codec::Lzw, Layout::Tiles),
      predicted,
      Page(Pixels::Rgb8, Codec::None),
      Page(Pixels::Rgb8, Codec::Deflate, Layout::Tiles),
      planar,
      Page(Pixels::Palette8, Codec::PackBits),
      Page(Pixels::Palette8, Codec::Lzw, Layout::Tiles),
      Page(Pixels::Bilevel1, Codec::G4),
      Page(Pixels::Bilevel1, Codec::None, Layout::Tiles),
      Page(Pixels::Grey16, Codec::None),
      Page(Pixels::Grey16, Codec::None, Layout::Tiles),
      Page(Pixels::Rgb8, Codec::Jpeg),
  };
}

struct MixedCase {
  PageRecipe Format;
  bool FirstLittleEndian = true;
};

std::vector<MixedCase> MixedCases() {
  std::vector<MixedCase> cases;
  for (const PageRecipe& format : ConvertibleFormats())
    for (const bool little : {true, false}) cases.push_back({format, little});
  return cases;
}

void PrintTo(const MixedCase& c, std::ostream* out) {
  *out << FormatName(c.Format) << (c.FirstLittleEndian ? " after little-endian" : " after big-endian");
}

std::string MixedName(const testing::TestParamInfo<MixedCase>& info) {
  return FormatName(info.param.Format) + (info.param.FirstLittleEndian ? "_le_then_be" : "_be_then_le");
}

class MixedByteOrder : public testing::TestWithParam<MixedCase> {
 protected:
  TempDir dir_;
};

// A file in the first order, then two pages of the format in the other
// order, then the first order again: all five pages, none changed.
TEST_P(MixedByteOrder, OtherOrderPagesReadTheSame) {
  const MixedCase& c = GetParam();
  if (!CodecAvailable(c.Format.Compression)) GTEST_SKIP() << "libtiff was built without this codec";
  PageRecipe second = c.Format;
  second.Seed = 2;
  PageRecipe third = c.Format;
  third.Seed = 3;
  const std::string head = dir_ / "head.tif";
  const std::string other = dir_ / "other.tif";
  const std::string tail = dir_ / "tail.tif";
  WriteTiff(head, {c.FirstLittleEndian, {Page(Pixels::Rgb8, Codec::Lzw), Page(Pixels::Palette8, Codec::None)}});
  WriteTiff(other, {!c.FirstLittleEndian, {second, third}});
  WriteTiff(tail, {c.FirstLittleEndian, {c.Format}});

  const MergeOutcome merged = Merge({head, other, tail}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  for (const FileReport& file : merged.Report.Files) {
    EXPECT_EQ(file.Result, 1) << file.Path << ": " << file.Reason;
    EXPECT_TRUE(file.Skipped.empty()) << file.Path;
  }
  EXPECT_EQ(merged.Report.PagesWritten, 5u);
  EXPECT_EQ(IsBigEndianTiff(merged.Output), !c.FirstLittleEndian);
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({head, other, tail})));
}

INSTANTIATE_TEST_SUITE_P(Formats, MixedByteOrder, testing::ValuesIn(MixedCases()), MixedName);

class UnconvertiblePages : public testing::TestWithParam<bool> {
 protected:
  TempDir dir_;
  bool FirstLittle() const { return GetParam(); }
};

std::string OrderName(const testing::TestParamInfo<bool>& order) {
  return order.param ? "le_then_be" : "be_then_le";
}

// 16-bit LZW samples in the other byte order cannot be converted without
// decoding: the page is left out, the file is reported -1 with the page's
// index, and the merge still succeeds with everything else.
TEST_P(UnconvertiblePages, Compressed16BitPageIsLeftOut) {
  const std::string first = dir_ / "first.tif";
  const std::string wide = dir_ / "wide.tif";
  WriteTiff(first, {FirstLittle(), {Page(Pixels::Grey8, Codec::Lzw)}});
  WriteTiff(wide, {!FirstLittle(), {Page(Pixels::Grey16, Codec::Lzw)}});

  const MergeOutcome merged = Merge({first, wide}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(0).Result, 1);
  const FileReport& report = merged.Report.Files.at(1);
  EXPECT_EQ(report.Result, kFailed);
  EXPECT_EQ(report.Pages, 0u);
  ASSERT_EQ(report.Skipped.size(), 1u);
  EXPECT_EQ(report.Skipped[0].Index, 0u);
  EXPECT_FALSE(report.Skipped[0].Reason.empty());
  // The skipped page was the last one: the chain must still end cleanly.
  EXPECT_TRUE(IsMergeOf(merged.Output, {{first, 0}}));
}

// Only the unconvertible page goes: the pages before and after it in the
// same file, and the files after it, are all copied.
TEST_P(UnconvertiblePages, OtherPagesOfTheFileStay) {
  PageRecipe predicted16 = Page(Pixels::Grey16, Codec::Deflate, Layout::Strips, 5);
  predicted16.Predictor = true;
  const std::string first = dir_ / "first.tif";
  const std::string mixed = dir_ / "mixed.tif";
  const std::string last = dir_ / "last.tif";
  WriteTiff(first, {FirstLittle(), {Page(Pixels::Grey16, Codec::None)}});
  WriteTiff(mixed, {!FirstLittle(),
                    {Page(Pixels::Grey8, Codec::Lzw, Layout::Strips, 2), Page(Pixels::Grey16, Codec::Lzw),
                     Page(Pixels::Grey16, Codec::None, Layout::Strips, 3), predicted16,
                     Page(Pixels::Rgb8, Codec::Deflate, Layout::Tiles, 4)}});
  WriteTiff(last, {FirstLittle(), {Page(Pixels::Grey16, Codec::Lzw, Layout::Tiles, 6)}});

  const MergeOutcome merged = Merge({first, mixed, last}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  const FileReport& report = merged.Report.Files.at(1);
  EXPECT_EQ(report.Result, kFailed);
  EXPECT_EQ(report.Pages, 3u);
  ASSERT_EQ(report.Skipped.size(), 2u);
  EXPECT_EQ(report.Skipped[0].Index, 1u);
  EXPECT_EQ(report.Skipped[1].Index, 3u);
  EXPECT_EQ(merged.Report.Files.at(2).Result, 1);
  EXPECT_EQ(merged.Report.PagesWritten, 5u);
  EXPECT_TRUE(IsMergeOf(merged.Output, {{first, 0}, {mixed, 0}, {mixed, 2}, {mixed, 4}, {last, 0}}));
}

// The same 16-bit LZW page in the first file's own order needs no
// conversion and is copied.
TEST_P(UnconvertiblePages, Compressed16BitPageInSameOrderIsCopied) {
  const std::string first = dir_ / "first.tif";
  const std::string same = dir_ / "same.tif";
  WriteTiff(first, {FirstLittle(), {Page(Pixels::Grey8, Codec::None)}});
  WriteTiff(same, {FirstLittle(), {Page(Pixels::Grey16, Codec::Lzw), Page(Pixels::Grey16, Codec::Deflate)}});

  const MergeOutcome merged = Merge({first, same}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(1).Result, 1);
  EXPECT_TRUE(merged.Report.Files.at(1).Skipped.empty());
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({first, same})));
}

// When every page of the merge but the first file's is skipped, the
// output is the first file alone, still a valid TIFF.
TEST_P(UnconvertiblePages, WholeLaterFileSkipped) {
  const std::string first = dir_ / "first.tif";
  const std::string wide = dir_ / "wide.tif";
  WriteTiff(first, {FirstLittle(), {Page(Pixels::Palette8, Codec::Lzw, Layout::Tiles)}});
  WriteTiff(wide, {!FirstLittle(), {Page(Pixels::Grey16, Codec::Lzw), Page(Pixels::Grey16, Codec::PackBits)}});

  const MergeOutcome merged = Merge({first, wide}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(1).Result, kFailed);
  EXPECT_EQ(merged.Report.Files.at(1).Skipped.size(), 2u);
  EXPECT_EQ(merged.Report.PagesWritten, 1u);
  EXPECT_TRUE(IsMergeOf(merged.Output, {{first, 0}}));
}

INSTANTIATE_TEST_SUITE_P(BothWays, UnconvertiblePages, testing::Values(true, false), OrderName);

}  // namespace
}  // namespace vellox::test
