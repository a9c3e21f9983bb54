// Merges of files in both byte orders. The output takes the first file's
// order; every later page in the other order must read back the same:
// out-of-line arrays (BitsPerSample, ColorMap, resolutions) are converted
// element by element, uncompressed samples wider than a byte are
// byte-reversed, compressed ones decoded and encoded again, and a page whose
// compression cannot be decoded is left out and reported, without failing
// the merge.
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

class OtherOrderPages : public testing::TestWithParam<bool> {
 protected:
  TempDir dir_;
  bool FirstLittle() const { return GetParam(); }
};

std::string OrderName(const testing::TestParamInfo<bool>& order) {
  return order.param ? "le_then_be" : "be_then_le";
}

// Every compressed page with samples wider than a byte that can be
// transcoded: 16-, 32- and 64-bit integers and floats, in LZW, Deflate and
// PackBits, with no predictor, horizontal differencing, and (floats) the
// floating-point predictor, strips and tiles.
std::vector<PageRecipe> TranscodablePages() {
  std::vector<PageRecipe> pages;
  std::uint32_t seed = 1;
  for (const Pixels kind :
       {Pixels::Grey16, Pixels::Int32, Pixels::Grey64, Pixels::Float16, Pixels::Float32, Pixels::Float64}) {
    const bool floating = kind == Pixels::Float16 || kind == Pixels::Float32 || kind == Pixels::Float64;
    for (const Codec codec : {Codec::Lzw, Codec::Deflate, Codec::PackBits}) {
      for (const int predictor : {1, 2, 3}) {
        if ((predictor != 1 && codec == Codec::PackBits) || (predictor == 3 && !floating)) continue;
        PageRecipe page = Page(kind, codec, seed % 2 == 0 ? Layout::Tiles : Layout::Strips, seed);
        page.Predictor = predictor == 2;
        page.FloatPredictor = predictor == 3;
        pages.push_back(page);
        ++seed;
      }
    }
  }
  return pages;
}

// Merged behind a page of the other byte order, each of them is decoded,
// put in the output's byte order and encoded again with its compression
// and predictor: libtiff decodes every page to the same values, and the
// report names each page transcoded. The floating-point predictor's byte
// planes are the same in both byte orders: those pages are copied as they
// are.
TEST_P(OtherOrderPages, CompressedWideSamplesAreTranscoded) {
  const std::string first = dir_ / "first.tif";
  const std::string wide = dir_ / "wide.tif";
  const std::vector<PageRecipe> pages = TranscodablePages();
  WriteTiff(first, {FirstLittle(), {Page(Pixels::Grey8, Codec::Lzw)}});
  WriteTiff(wide, {!FirstLittle(), pages});

  const MergeOutcome merged = Merge({first, wide}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  const FileReport& report = merged.Report.Files.at(1);
  EXPECT_EQ(report.Result, 1) << report.Reason;
  EXPECT_TRUE(report.Skipped.empty()) << report.Skipped.front().Reason;
  std::vector<std::uint32_t> transcoded, expected;
  for (const PageNote& note : report.Transcoded) transcoded.push_back(note.Index);
  for (std::uint32_t i = 0; i < pages.size(); ++i)
    if (!pages[i].FloatPredictor) expected.push_back(i);
  EXPECT_EQ(transcoded, expected);
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({first, wide})));
}

// In the output's own byte order, the same pages are copied byte for byte.
TEST_P(OtherOrderPages, CompressedWideSamplesInTheSameOrderAreCopied) {
  const std::string first = dir_ / "first.tif";
  const std::string same = dir_ / "same.tif";
  WriteTiff(first, {FirstLittle(), {Page(Pixels::Grey8, Codec::None)}});
  WriteTiff(same, {FirstLittle(), {Page(Pixels::Grey16, Codec::Lzw), Page(Pixels::Float32, Codec::Deflate)}});

  const MergeOutcome merged = Merge({first, same}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(1).Result, 1);
  EXPECT_TRUE(merged.Report.Files.at(1).Transcoded.empty());
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({first, same})));
}

// A compression the merger cannot decode (Zstd) still costs its page in the
// other byte order, and only that page: the pages around it and the files
// after it are copied, and the chain ends cleanly when it was the last.
TEST_P(OtherOrderPages, UndecodableCompressionsAreLeftOut) {
  if (!CodecAvailable(Codec::Zstd)) GTEST_SKIP() << "this libtiff cannot write Zstd";
  const std::string first = dir_ / "first.tif";
  const std::string mixed = dir_ / "mixed.tif";
  const std::string last = dir_ / "last.tif";
  WriteTiff(first, {FirstLittle(), {Page(Pixels::Grey16, Codec::None)}});
  WriteTiff(mixed, {!FirstLittle(),
                    {Page(Pixels::Grey8, Codec::Lzw, Layout::Strips, 2), Page(Pixels::Grey16, Codec::Zstd),
                     Page(Pixels::Grey16, Codec::Lzw, Layout::Strips, 3)}});
  WriteTiff(last, {!FirstLittle(), {Page(Pixels::Float32, Codec::Zstd, Layout::Tiles, 6)}});

  const MergeOutcome merged = Merge({first, mixed, last}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  const FileReport& report = merged.Report.Files.at(1);
  EXPECT_EQ(report.Result, kFailed);
  EXPECT_EQ(report.Pages, 2u);
  ASSERT_EQ(report.Skipped.size(), 1u);
  EXPECT_EQ(report.Skipped[0].Index, 1u);
  EXPECT_NE(report.Skipped[0].Reason.find("compression 50000"), std::string::npos) << report.Skipped[0].Reason;
  EXPECT_EQ(merged.Report.Files.at(2).Skipped.size(), 1u);
  EXPECT_EQ(merged.Report.PagesWritten, 3u);
  EXPECT_TRUE(IsMergeOf(merged.Output, {{first, 0}, {mixed, 0}, {mixed, 2}}));
}

// The auto byte order transcodes the fewest bytes: behind one bilevel page
// in the other order, 16-bit Deflate pages keep theirs and none is
// transcoded; the first input's order would transcode them all.
TEST_P(OtherOrderPages, AutoByteOrderTranscodesTheLeast) {
  const std::string fax = dir_ / "fax.tif";
  const std::string wide = dir_ / "wide.tif";
  WriteTiff(fax, {FirstLittle(), {Page(Pixels::Bilevel1, Codec::G4)}});
  WriteTiff(wide, {!FirstLittle(), {Page(Pixels::Grey16, Codec::Deflate), Page(Pixels::Grey16, Codec::Lzw)}});

  for (const ByteOrder order : {ByteOrder::Auto, ByteOrder::First}) {
    const MergeOutcome merged = Merge({fax, wide}, dir_.Path().string(), "merged.tif", {.Order = order});
    ASSERT_EQ(merged.Result, kMergeWritten);
    const bool outputLittle = order == ByteOrder::Auto ? !FirstLittle() : FirstLittle();
    EXPECT_EQ(IsBigEndianTiff(merged.Output), !outputLittle);
    EXPECT_EQ(merged.Report.Files.at(1).Transcoded.size(), order == ByteOrder::Auto ? 0u : 2u);
    EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({fax, wide})));
  }
}

INSTANTIATE_TEST_SUITE_P(BothWays, OtherOrderPages, testing::Values(true, false), OrderName);

}  // namespace
}  // namespace vellox::test
