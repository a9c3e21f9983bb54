// BigTIFF inputs, written by libtiff ("w8"), mixed with classic ones into
// each output format: every page reads back equal with libtiff, the output
// is BigTIFF exactly when that is asked for or needed, and a 64-bit value
// either narrows into classic TIFF or its page is refused.
#include <gtest/gtest.h>

#include "integration/merge_harness.hpp"
#include "support/internals.hpp"
#include "support/libtiff_fixtures.hpp"
#include "support/tiff_reader.hpp"

namespace vellox::test {
namespace {

PageRecipe Page(Pixels kind, Codec codec, Layout layout, std::uint32_t seed, bool attached = false,
                std::uint64_t long8 = 0) {
  // `attached`: an EXIF directory and a SubIFD.
  return {.Kind = kind,
          .Compression = codec,
          .Organisation = layout,
          .Exif = attached,
          .Thumbnail = attached,
          .Seed = seed,
          .Long8 = long8};
}

struct FormatCase {
  OutputFormat Format;
  bool FirstBig;     // the first input is a BigTIFF and the second classic, or the other way round
  bool FirstLittle;  // the first input's byte order; the second has the other
};

std::vector<FormatCase> FormatCases() {
  std::vector<FormatCase> cases;
  for (const OutputFormat format : {OutputFormat::Classic, OutputFormat::BigTiff, OutputFormat::Auto})
    for (const bool big : {true, false})
      for (const bool little : {true, false}) cases.push_back({format, big, little});
  return cases;
}

std::string CaseName(const testing::TestParamInfo<FormatCase>& info) {
  const FormatCase& c = info.param;
  return std::string(c.Format == OutputFormat::Auto      ? "auto"
                     : c.Format == OutputFormat::BigTiff ? "bigtiff"
                                                         : "classic") +
         (c.FirstBig ? "_from_bigtiff" : "_from_classic") + (c.FirstLittle ? "_le" : "_be");
}

class BigTiffMerge : public testing::TestWithParam<FormatCase> {
 protected:
  TempDir dir_;
};

// A BigTIFF and a classic file in either order and in opposite byte orders,
// then a BigTIFF in the byte order no BigTIFF had yet: strips and tiles,
// compressed and not, 16-bit samples to swap, EXIF and SubIFDs, and a LONG8
// value that fits in 32 bits (a LONG in classic TIFF). A small merge in
// auto stays classic.
TEST_P(BigTiffMerge, EveryPageReadsBackEqual) {
  const FormatCase& c = GetParam();
  const std::string a = dir_ / "a.tif", b = dir_ / "b.tif", last = dir_ / "c.tif";
  WriteTiff(a, {c.FirstLittle,
                {Page(Pixels::Grey16, Codec::None, Layout::Strips, 1),
                 Page(Pixels::Rgb8, Codec::Lzw, Layout::Tiles, 2, true)},
                c.FirstBig});
  WriteTiff(b,
            {!c.FirstLittle,
             {Page(Pixels::Grey8, Codec::Deflate, Layout::Strips, 3, true),
              Page(Pixels::Bilevel1, Codec::G4, Layout::Tiles, 4), Page(Pixels::Grey16, Codec::None, Layout::Tiles, 5)},
             !c.FirstBig});
  // 0xFFFFFFFE: just below 2^32, and not the same bytes reversed.
  WriteTiff(last, {c.FirstBig != c.FirstLittle,
                   {Page(Pixels::Rgb8, Codec::Jpeg, Layout::Strips, 6, true),
                    Page(Pixels::Palette8, Codec::PackBits, Layout::Strips, 7, false, 0xFFFFFFFEu)},
                   true});

  const MergeOutcome merged = Merge({a, b, last}, dir_.Path().string(), "merged.tif", {.Format = c.Format});

  ASSERT_EQ(merged.Result, kMergeWritten) << merged.Report.Reason;
  for (const FileReport& file : merged.Report.Files) EXPECT_EQ(file.Result, 1) << file.Path << ": " << file.Reason;
  const bool big = c.Format == OutputFormat::BigTiff;
  EXPECT_EQ(merged.Report.BigTiff, big);
  EXPECT_EQ(WalkChain(ReadFile(merged.Output)).Big, big);
  EXPECT_EQ(IsBigEndianTiff(merged.Output), !c.FirstLittle);
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({a, b, last})));
  for (const ParsedDirectory& page :
       big ? std::vector<ParsedDirectory>{} : TiffReader(ReadFile(merged.Output)).Chain()) {
    if (const ParsedEntry* entry = page.Find(kLong8Tag)) {
      EXPECT_EQ(entry->Type, 4);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, BigTiffMerge, testing::ValuesIn(FormatCases()), CaseName);

// A LONG8 value of 2^32 has no classic form: into classic its page is
// skipped and reported (the file's result -1) and every other page stays;
// BigTIFF keeps it, and so does auto, which measures BigTIFF inputs even
// of a merge this small.
TEST(BigTiffNarrowing, ValueBeyond32BitsRefusesOnlyItsPageInClassic) {
  TempDir dir;
  const std::string first = dir / "first.tif", wide = dir / "wide.tif";
  WriteTiff(first, {false, {Page(Pixels::Grey8, Codec::None, Layout::Strips, 1)}});
  WriteTiff(wide, {true,
                   {Page(Pixels::Rgb8, Codec::None, Layout::Tiles, 2),
                    Page(Pixels::Grey8, Codec::Lzw, Layout::Strips, 3, false, 1ull << 32),
                    Page(Pixels::Grey16, Codec::None, Layout::Strips, 4)},
                   true});
  for (const OutputFormat format : {OutputFormat::Classic, OutputFormat::BigTiff, OutputFormat::Auto}) {
    const MergeOutcome merged = Merge({first, wide}, dir.Path().string(), "merged.tif", {.Format = format});
    ASSERT_EQ(merged.Result, kMergeWritten);
    const FileReport& report = merged.Report.Files.at(1);
    const bool classic = format == OutputFormat::Classic;
    EXPECT_EQ(merged.Report.BigTiff, !classic);
    EXPECT_EQ(report.Result, classic ? kFailed : 1) << report.Reason;
    EXPECT_TRUE(IsMergeOf(merged.Output,
                          classic ? std::vector<PageRef>{{first, 0}, {wide, 0}, {wide, 2}} : PagesOf({first, wide})));
    if (classic) {
      ASSERT_EQ(report.Skipped.size(), 1u);
      EXPECT_EQ(report.Skipped[0].Index, 1u);
      EXPECT_NE(report.Skipped[0].Reason.find("tag 65100"), std::string::npos) << report.Skipped[0].Reason;
    }
  }
}

// Auto, for inputs of 1 GiB and more, measures: classic whenever the whole
// file fits in 4 GiB, BigTIFF from the next size up or when a page holds a
// value classic TIFF cannot hold. Pages end on a word boundary and the
// trailer byte follows, so merged files have odd sizes: the largest classic
// one has 4 GiB less one byte. On sparse inputs, nothing written.
TEST(BigTiffAuto, ClassicExactlyWhenEverythingFits) {
  TempDir dir;
  const std::string small = dir / "small.tif", large = dir / "large.tif", fits = dir / "fits.tif",
                    wide = dir / "wide.tif";
  WriteSparseTiff(small, 64, 1, false, "small");
  const MergeOutcome measured = Merge({small}, dir.Path().string());
  ASSERT_EQ(measured.Result, kMergeWritten);
  const std::uint64_t overhead = measured.Report.BytesWritten - 64;  // everything but the image data
  WriteTiff(fits, {true, {Page(Pixels::Grey8, Codec::Lzw, Layout::Strips, 1, false, 0xFFFFFFFFu)}, true});
  WriteTiff(wide, {true, {Page(Pixels::Grey8, Codec::Lzw, Layout::Strips, 1, false, 1ull << 32)}, true});
  const struct {
    std::uint64_t FileBytes;  // of the classic output of `large` alone
    std::vector<std::string> Others;
    bool Big;
  } cases[] = {{(1ull << 32) - 1, {}, false},
               {(1ull << 32) + 1, {}, true},
               {1ull << 30, {fits}, false},
               {1ull << 30, {wide}, true}};
  for (const auto& c : cases) {
    WriteSparseTiff(large, static_cast<std::uint32_t>(c.FileBytes - overhead), 1, false, "large");
    std::vector<std::string> inputs{large};
    inputs.insert(inputs.end(), c.Others.begin(), c.Others.end());
    EXPECT_EQ(MergerInternals({.Format = OutputFormat::Auto}).ChooseBigTiff(inputs, true), c.Big)
        << c.FileBytes << " bytes, " << inputs.back();
  }
}

}  // namespace
}  // namespace vellox::test
