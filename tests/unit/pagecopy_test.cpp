// The page copier on TIFFs built byte by byte: the layout of each written
// directory, the relocation of out-of-line values and image data, byte
// order conversion, and the handling of malformed input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_reader.hpp"
#include "vellox/KWVellox.hpp"

namespace vellox {
namespace {

using test::Field;
using test::ParsedDirectory;
using test::TempDir;
using test::TiffBuilder;
using test::TiffReader;
using Values = std::vector<std::uint64_t>;

std::string Pattern(std::size_t length, int seed = 1) {
  std::string out(length, '\0');
  for (std::size_t i = 0; i < length; ++i)
    out[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed) * 13) & 0xFF);
  return out;
}

class PageCopyTest : public ::testing::Test {
 protected:
  TempDir dir;
  KWVellox merger;
  int files = 0;

  std::string Add(const TiffBuilder& tiff) { return Add(tiff.Bytes()); }
  std::string Add(const std::string& bytes) {
    const std::string path = dir / ("in" + std::to_string(files++) + ".tif");
    test::WriteFile(path, bytes);
    return path;
  }
  // Merges the files and returns the output's bytes ("" when none).
  std::string Merge(const std::vector<std::string>& paths, std::int32_t expected = kMergeWritten) {
    std::string list;
    for (const auto& p : paths) list += p + ",";
    std::string outDir = dir.WithSeparator(), name = "out.tif";
    EXPECT_EQ(merger.Tiff_Merge(list, outDir, name), expected);
    return test::Exists(dir / "out.tif") && expected == kMergeWritten ? test::ReadFile(dir / "out.tif") : "";
  }
  std::int32_t FileResult(std::size_t i) const { return merger.Report().Files.at(i).Result; }
  // The bytes of strip `i` of a page, through its written offsets and counts.
  static std::string Strip(const TiffReader& reader, const ParsedDirectory& page, std::size_t i,
                           std::uint16_t offsetsTag = 273, std::uint16_t countsTag = 279) {
    const auto offsets = reader.Values(*page.Find(offsetsTag));
    const auto counts = reader.Values(*page.Find(countsTag));
    return reader.Bytes().substr(offsets.at(i), counts.at(i));
  }
};

// --- Layout -----------------------------------------------------------------

TEST_F(PageCopyTest, TheFirstDirectoryIsLaidOutAfterTheHeader) {
  TiffBuilder tiff(true);
  const std::string pixels = Pattern(24);
  tiff.AddGreyPage(6, 4, pixels);   // 9 entries, all inline, one strip
  const std::uint32_t stripAt = 9;  // after the header and one filler byte
  const std::string out = Merge({Add(tiff)});
  const TiffReader reader(out);
  const ParsedDirectory page = reader.Directory(8);
  const std::uint32_t n = 9;
  ASSERT_EQ(page.Entries.size(), n);
  EXPECT_EQ(page.Find(273)->FieldNumber, 18 + 12 * n);  // D + 10 + 12N, no out-of-line values
  EXPECT_EQ(page.Link, 0u);                             // the last directory of the merge
  EXPECT_EQ(out.substr(8 + 6 + 12 * n, 2), "\r\n");
  // The image data is the byte before the strip, a zero byte that puts the
  // strip on a word boundary, then the strip.
  EXPECT_EQ(out.substr(16 + 12 * n), tiff.Bytes().substr(stripAt - 1, 1) + '\0' + pixels + "\xA0");
  EXPECT_EQ(Strip(reader, page, 0), pixels);
}

TEST_F(PageCopyTest, LinksPointToTheNextDirectoryAcrossFiles) {
  TiffBuilder a(true), b(true);
  a.AddGreyPage(4, 4, Pattern(16, 1));
  a.AddGreyPage(4, 4, Pattern(16, 2));
  b.AddGreyPage(4, 4, Pattern(16, 3));
  const std::string out = Merge({Add(a), Add(b)});
  const TiffReader reader(out);
  const auto chain = reader.Chain();
  ASSERT_EQ(chain.size(), 3u);
  // Each directory ends with its image data; the next begins right there.
  const std::uint32_t n = 9;
  EXPECT_EQ(chain[0].Link, 16 + 12 * n + 18);  // the leading byte, a zero byte, the strip
  EXPECT_EQ(chain[1].Offset, chain[0].Link);
  EXPECT_EQ(chain[2].Link, 0u);
  EXPECT_EQ(out.size(), chain[2].Offset + 8 + 12 * n + 18 + 1);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(Strip(reader, chain[i], 0), Pattern(16, static_cast<int>(i) + 1));
}

TEST_F(PageCopyTest, OutOfLineValuesFollowTheLinkAndCrLf) {
  TiffBuilder tiff(false);
  const Field description = tiff.Values(270, 2, {'h', 'e', 'l', 'l', 'o', ' ', 'w', 0});
  const Field resolution = tiff.Values(282, 5, {300, 1});
  tiff.AddGreyPage(4, 4, Pattern(16), 1, {description, resolution});
  const std::string out = Merge({Add(tiff)});
  const TiffReader reader(out);
  const ParsedDirectory page = reader.Directory(8);
  const std::uint32_t n = 11;
  EXPECT_EQ(page.Find(270)->FieldNumber, 8 + 8 + 12 * n);
  EXPECT_EQ(page.Find(282)->FieldNumber, 8 + 8 + 12 * n + 8);
  EXPECT_EQ(reader.Values(*page.Find(282)), (Values{300, 1}));
  EXPECT_EQ(out.substr(page.Find(270)->FieldNumber, 8), std::string("hello w\0", 8));
  EXPECT_EQ(page.Find(273)->FieldNumber, 8 + 10 + 12 * n + 16);  // after the 16 bytes of values
}

TEST_F(PageCopyTest, SeveralStripsFollowTheLeadingByteOnWordBoundaries) {
  TiffBuilder tiff(true);
  const std::string pixels = Pattern(600);
  std::vector<std::uint64_t> offsets;
  for (const auto& [start, length] : {std::pair{0u, 100u}, std::pair{100u, 200u}, std::pair{300u, 300u}}) {
    tiff.Append("#");  // the pieces are not contiguous in the input
    offsets.push_back(tiff.Append(pixels.substr(start, length)));
  }
  std::vector<Field> fields = {tiff.Values(256, 3, {20}), tiff.Values(257, 3, {30}),
                               tiff.Values(258, 3, {8}),  tiff.Values(273, 4, offsets),
                               tiff.Values(278, 3, {10}), tiff.Values(279, 3, {100, 200, 300})};
  tiff.SetFirstDirectory(tiff.AppendDirectory(fields));
  const std::string out = Merge({Add(tiff)});
  const TiffReader reader(out);
  const ParsedDirectory page = reader.Directory(8);
  const std::uint32_t n = 6;
  const std::uint32_t block = 12 + 6;  // 3 LONG offsets, 3 SHORT counts
  const std::uint32_t x = 8 + 10 + 12 * n + block;
  EXPECT_EQ(reader.Values(*page.Find(273)), (Values{x, x + 100, x + 300}));
  EXPECT_EQ(out.substr(x - 2, 602), std::string("#\0", 2) + pixels);
  EXPECT_EQ(out.size(), x + 600 + 1);
}

TEST_F(PageCopyTest, ShortStripOffsetsAreWrittenAsLong) {
  TiffBuilder one(true), two(true);
  one.Append("..");
  const std::uint32_t at = one.Append("abcd");
  one.SetFirstDirectory(one.AppendDirectory(
      {one.Values(256, 3, {2}), one.Values(257, 3, {2}), one.Values(273, 3, {at}), one.Values(279, 3, {4})}));
  two.Append(".");
  const std::uint32_t first = two.Append("ab");
  const std::uint32_t second = two.Append("cd");
  two.SetFirstDirectory(two.AppendDirectory({two.Values(256, 3, {2}), two.Values(257, 3, {2}),
                                             two.Values(273, 3, {first, second}), two.Values(279, 3, {2, 2})}));
  const TiffReader single(Merge({Add(one)}));
  const ParsedDirectory page = single.Directory(8);
  EXPECT_EQ(page.Find(273)->Type, 4);
  EXPECT_EQ(page.Find(273)->FieldNumber, 8 + 10 + 12 * 4u);
  EXPECT_EQ(Strip(single, page, 0), "abcd");

  // Two SHORT offsets fit inline in the input but need 8 bytes as LONG:
  // they move out-of-line and the image data moves past them.
  const TiffReader pair(Merge({Add(two)}));
  const ParsedDirectory page2 = pair.Directory(8);
  EXPECT_EQ(page2.Find(273)->Type, 4);
  EXPECT_EQ(page2.Find(273)->FieldNumber, 8 + 8 + 12 * 4u);
  EXPECT_EQ(pair.Values(*page2.Find(273)), (Values{8 + 10 + 48 + 8, 8 + 10 + 48 + 8 + 2}));
  EXPECT_EQ(Strip(pair, page2, 0) + Strip(pair, page2, 1), "abcd");
}

TEST_F(PageCopyTest, InlineValuesKeepTheirSizesAndZeroFill) {
  TiffBuilder tiff(true);
  tiff.AddGreyPage(2, 2, "abcd", 1,
                   {tiff.Values(297, 3, {1, 2}), tiff.Values(336, 1, {7, 8, 9}), tiff.Values(338, 3, {5}),
                    tiff.Raw(40000, 3, 0, 0xDEADBEEF), tiff.Raw(40001, 5, 0, 0x12345678)});
  const TiffReader reader(Merge({Add(tiff)}));
  const ParsedDirectory page = reader.Directory(8);
  EXPECT_EQ(page.Find(297)->ValueField, std::string("\1\0\2\0", 4));
  EXPECT_EQ(page.Find(336)->ValueField, std::string("\7\x08\x09\0", 4));
  EXPECT_EQ(page.Find(338)->ValueField, std::string("\5\0\0\0", 4));
  // Entries with no values write a zero value field, whatever their type.
  EXPECT_EQ(page.Find(40000)->ValueField, std::string(4, '\0'));
  EXPECT_EQ(page.Find(40001)->ValueField, std::string(4, '\0'));
}

TEST_F(PageCopyTest, UnknownTypesKeepTheirValueFieldAsOneNumber) {
  TiffBuilder little(true);
  little.AddGreyPage(2, 2, "abcd", 1, {little.Raw(50000, 13, 3, 0x01020304), little.Raw(50001, 0, 1, 0x0A0B0C0D)});
  TiffBuilder first(false);
  first.AddGreyPage(2, 2, "wxyz");
  const TiffReader reader(Merge({Add(first), Add(little)}));
  const ParsedDirectory page = reader.Chain().at(1);
  EXPECT_EQ(page.Find(50000)->Type, 13);
  EXPECT_EQ(page.Find(50000)->Count, 3u);
  EXPECT_EQ(page.Find(50000)->FieldNumber, 0x01020304u);  // reversed into big-endian
  EXPECT_EQ(page.Find(50001)->FieldNumber, 0x0A0B0C0Du);
}

TEST_F(PageCopyTest, PagesWithoutStripsOrTilesGetNoImageData) {
  TiffBuilder tiff(true);
  tiff.SetFirstDirectory(tiff.AppendDirectory({tiff.Values(256, 3, {1}), tiff.Values(257, 3, {1})}));
  const std::string out = Merge({Add(tiff)});
  EXPECT_EQ(out.size(), 8 + 2 + 24 + 4 + 2 + 1u);
}

TEST_F(PageCopyTest, ZeroStripsAreWrittenAsAnEmptyLongEntry) {
  TiffBuilder tiff(true);
  tiff.SetFirstDirectory(
      tiff.AppendDirectory({tiff.Values(256, 3, {1}), tiff.Raw(273, 3, 0, 0), tiff.Raw(279, 4, 0, 0)}));
  const std::string out = Merge({Add(tiff)});
  const ParsedDirectory page = TiffReader(out).Directory(8);
  EXPECT_EQ(page.Find(273)->Type, 4);
  EXPECT_EQ(page.Find(273)->Count, 0u);
  EXPECT_EQ(page.Find(273)->FieldNumber, 0u);
  EXPECT_EQ(out.size(), 8 + 2 + 36 + 4 + 2 + 1u);
}

TEST_F(PageCopyTest, TilesAreRelocatedWithTheirByteCounts) {
  TiffBuilder tiff(false);
  tiff.Append("T");
  const std::uint32_t t0 = tiff.Append(Pattern(64, 4));
  tiff.Append("gap");
  const std::uint32_t t1 = tiff.Append(Pattern(32, 5));
  tiff.SetFirstDirectory(
      tiff.AppendDirectory({tiff.Values(256, 3, {16}), tiff.Values(257, 3, {8}), tiff.Values(322, 3, {8}),
                            tiff.Values(323, 3, {8}), tiff.Values(324, 4, {t0, t1}), tiff.Values(325, 3, {64, 32})}));
  const TiffReader reader(Merge({Add(tiff)}));
  const ParsedDirectory page = reader.Directory(8);
  EXPECT_EQ(Strip(reader, page, 0, 324, 325), Pattern(64, 4));
  EXPECT_EQ(Strip(reader, page, 1, 324, 325), Pattern(32, 5));
  EXPECT_EQ(reader.Bytes().substr(reader.Values(*page.Find(324))[0] - 2, 2), std::string("T\0", 2));
}

// --- Byte order -------------------------------------------------------------

TEST_F(PageCopyTest, OutOfLineArraysAreReversedElementByElement) {
  TiffBuilder first(true);
  first.AddGreyPage(2, 2, "abcd");
  TiffBuilder big(false);
  big.AddGreyPage(2, 2, "wxyz", 1,
                  {big.Values(339, 3, {1, 2, 3}), big.Values(282, 5, {72, 1}), big.Values(320, 3, {1, 2, 3, 65535}),
                   big.Values(33550, 12, {}), big.Values(34264, 4, {1, 2, 3})});
  // DOUBLE values need raw bytes: two 8-byte numbers.
  const std::string doubles = std::string("\x3F\xF0\0\0\0\0\0\0\x40\0\0\0\0\0\0\0", 16);
  const std::uint32_t at = big.Append(doubles);
  const Field doubleField{33922, 12, 2, big.Number(at, 4)};
  big.AddGreyPage(2, 2, "pqrs", 1, {doubleField});
  const TiffReader reader(Merge({Add(first), Add(big)}));
  const auto chain = reader.Chain();
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ(reader.Values(*chain[1].Find(339)), (Values{1, 2, 3}));
  EXPECT_EQ(reader.Values(*chain[1].Find(282)), (Values{72, 1}));
  EXPECT_EQ(reader.Values(*chain[1].Find(320)), (Values{1, 2, 3, 65535}));
  EXPECT_EQ(reader.Values(*chain[1].Find(34264)), (Values{1, 2, 3}));
  const std::string written = reader.Bytes().substr(chain[2].Find(33922)->FieldNumber, 16);
  EXPECT_EQ(written, std::string("\0\0\0\0\0\0\xF0\x3F\0\0\0\0\0\0\0\x40", 16));
  EXPECT_EQ(Strip(reader, chain[2], 0), "pqrs");
}

std::string Samples16(bool little, const std::vector<std::uint16_t>& values) {
  std::string out;
  for (const std::uint16_t v : values) {
    const char hi = static_cast<char>(v >> 8), lo = static_cast<char>(v & 0xFF);
    out += little ? std::string{lo, hi} : std::string{hi, lo};
  }
  return out;
}

TiffBuilder SixteenBitPage(bool little, std::uint16_t compression, const std::string& data) {
  TiffBuilder tiff(little);
  tiff.Append("L");
  const std::uint32_t at = tiff.Append(data);
  tiff.SetFirstDirectory(tiff.AppendDirectory({tiff.Values(256, 3, {2}), tiff.Values(257, 3, {1}),
                                               tiff.Values(258, 3, {16}), tiff.Values(259, 3, {compression}),
                                               tiff.Values(273, 4, {at}), tiff.Values(279, 4, {data.size()})}));
  return tiff;
}

TEST_F(PageCopyTest, UncompressedSixteenBitSamplesFollowTheOutputByteOrder) {
  TiffBuilder first(true);
  first.AddGreyPage(2, 2, "abcd");
  const std::string big = Samples16(false, {0x0102, 0xA0B0}) + "\x77";  // a partial sample at the end
  const TiffReader reader(Merge({Add(first), Add(SixteenBitPage(false, 1, big))}));
  const auto chain = reader.Chain();
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(Strip(reader, chain[1], 0), Samples16(true, {0x0102, 0xA0B0}) + "\x77");
  EXPECT_EQ(FileResult(1), kMergeWritten);
}

TEST_F(PageCopyTest, UndecodableWideSamplesInTheOtherByteOrderAreSkipped) {
  TiffBuilder first(true);
  first.AddGreyPage(2, 2, "abcd");
  TiffBuilder big = SixteenBitPage(false, 5, "lzw-bytes");
  const std::string out = Merge({Add(first), Add(big)});
  EXPECT_EQ(TiffReader(out).Chain().size(), 1u);
  EXPECT_EQ(TiffReader(out).Chain()[0].Link, 0u);
  EXPECT_EQ(FileResult(1), kFailed);
  ASSERT_EQ(merger.Report().Files[1].Skipped.size(), 1u);
  EXPECT_EQ(merger.Report().Files[1].Skipped[0].Index, 0u);
  // In the same byte order the page is copied as it is.
  EXPECT_EQ(TiffReader(Merge({Add(SixteenBitPage(false, 5, "lzw-bytes"))})).Chain().size(), 1u);
}

// --- Malformed input --------------------------------------------------------

struct BrokenCase {
  const char* name;
  std::string (*make)();
};

std::string StripPastTheEnd() {
  TiffBuilder tiff(true);
  tiff.SetFirstDirectory(tiff.AppendDirectory({tiff.Values(273, 4, {100}), tiff.Values(279, 4, {50})}));
  return tiff.Bytes();
}
std::string OffsetsWithoutCounts() {
  TiffBuilder tiff(true);
  tiff.Append("xy");
  tiff.SetFirstDirectory(tiff.AppendDirectory({tiff.Values(273, 4, {9})}));
  return tiff.Bytes();
}
std::string CountsDiffer() {
  TiffBuilder tiff(true);
  tiff.Append("xyzw");
  tiff.SetFirstDirectory(tiff.AppendDirectory({tiff.Values(273, 4, {9, 10}), tiff.Values(279, 4, {1})}));
  return tiff.Bytes();
}
std::string StripsAndTiles() {
  TiffBuilder tiff(true);
  tiff.Append("xy");
  tiff.SetFirstDirectory(tiff.AppendDirectory(
      {tiff.Values(273, 4, {9}), tiff.Values(279, 4, {1}), tiff.Values(324, 4, {9}), tiff.Values(325, 4, {1})}));
  return tiff.Bytes();
}
std::string DuplicatedOffsets() {
  TiffBuilder tiff(true);
  tiff.Append("xy");
  tiff.SetFirstDirectory(
      tiff.AppendDirectory({tiff.Values(273, 4, {9}), tiff.Values(273, 4, {9}), tiff.Values(279, 4, {1})}));
  return tiff.Bytes();
}
std::string HugeCount() {
  TiffBuilder tiff(true);
  tiff.SetFirstDirectory(tiff.AppendDirectory({tiff.Raw(270, 2, 0xFFFFFFFF, 8)}));
  return tiff.Bytes();
}
std::string DirectoryPastTheEnd() {
  TiffBuilder tiff(true);
  tiff.SetFirstDirectory(4000);
  return tiff.Bytes();
}
std::string EntriesPastTheEnd() {
  TiffBuilder tiff(true);
  const std::uint32_t at = tiff.Append(tiff.Number(500, 2) + "partial");
  tiff.SetFirstDirectory(at);
  return tiff.Bytes();
}
std::string StripAtOffsetZero() {
  TiffBuilder tiff(true);
  tiff.SetFirstDirectory(tiff.AppendDirectory({tiff.Values(273, 4, {0}), tiff.Values(279, 4, {4})}));
  return tiff.Bytes();
}
std::string FloatOffsets() {
  TiffBuilder tiff(true);
  tiff.Append("xy");
  tiff.SetFirstDirectory(tiff.AppendDirectory({tiff.Values(273, 11, {9}), tiff.Values(279, 4, {1})}));
  return tiff.Bytes();
}
std::string ShortHeader() {
  return std::string("II*\0\x08\0", 6);
}

class BrokenFileTest : public PageCopyTest, public ::testing::WithParamInterface<BrokenCase> {};

TEST_P(BrokenFileTest, FailsOnlyItsOwnFileAndTheOutputStaysValid) {
  TiffBuilder good(true);
  good.AddGreyPage(2, 2, "abcd");
  const std::string out = Merge({Add(good), Add(GetParam().make())});
  EXPECT_EQ(FileResult(0), kMergeWritten);
  EXPECT_EQ(FileResult(1), kFailed);
  const auto chain = TiffReader(out).Chain();
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_EQ(chain[0].Link, 0u);
  EXPECT_EQ(static_cast<unsigned char>(out.back()), 0xA0);
  EXPECT_EQ(out.size(), 8 + 2 + 12 * 9 + 4 + 2 + 6 + 1u);  // nothing of the broken file
}

INSTANTIATE_TEST_SUITE_P(
    Defects, BrokenFileTest,
    ::testing::Values(BrokenCase{"StripPastTheEnd", StripPastTheEnd},
                      BrokenCase{"OffsetsWithoutCounts", OffsetsWithoutCounts},
                      BrokenCase{"CountsDiffer", CountsDiffer}, BrokenCase{"StripsAndTiles", StripsAndTiles},
                      BrokenCase{"DuplicatedOffsets", DuplicatedOffsets}, BrokenCase{"HugeCount", HugeCount},
                      BrokenCase{"DirectoryPastTheEnd", DirectoryPastTheEnd},
                      BrokenCase{"EntriesPastTheEnd", EntriesPastTheEnd},
                      BrokenCase{"StripAtOffsetZero", StripAtOffsetZero}, BrokenCase{"FloatOffsets", FloatOffsets},
                      BrokenCase{"ShortHeader", ShortHeader}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(PageCopyTest, ALinkBackToAnEarlierDirectoryEndsTheChain) {
  TiffBuilder tiff(true);
  const std::uint32_t first = tiff.AddGreyPage(2, 2, "abcd");
  const std::uint32_t second = tiff.AddGreyPage(2, 2, "efgh");
  tiff.SetLink(second, first);
  const std::string self = Add(tiff);
  TiffBuilder selfLoop(true);
  const std::uint32_t only = selfLoop.AddGreyPage(2, 2, "ijkl");
  selfLoop.SetLink(only, only);
  const TiffReader reader(Merge({self, Add(selfLoop)}));
  const auto chain = reader.Chain();
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ(Strip(reader, chain[2], 0), "ijkl");
  EXPECT_EQ(FileResult(0), kMergeWritten);
}

TEST_F(PageCopyTest, AFailureAfterSomePagesKeepsThemAndEndsTheChainThere) {
  TiffBuilder tiff(true);
  const std::uint32_t first = tiff.AddGreyPage(2, 2, "abcd");
  tiff.SetLink(first, 90000);  // the second directory lies outside the file
  const std::string out = Merge({Add(tiff)});
  EXPECT_EQ(FileResult(0), kFailed);
  const auto chain = TiffReader(out).Chain();
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_EQ(chain[0].Link, 0u);
}

TEST_F(PageCopyTest, AFileWithoutPagesContributesNothing) {
  TiffBuilder empty(true), good(false);
  good.AddGreyPage(2, 2, "abcd");
  const std::string out = Merge({Add(empty), Add(good)});
  EXPECT_EQ(FileResult(0), kMergeWritten);
  EXPECT_EQ(merger.Report().Files[0].Pages, 0u);
  EXPECT_EQ(out.substr(0, 2), "II");  // the first file still sets the byte order
  EXPECT_EQ(TiffReader(out).Chain().size(), 1u);
}

TEST_F(PageCopyTest, TheReportCountsPagesAndBytes) {
  TiffBuilder a(true);
  a.AddGreyPage(2, 2, "abcd");
  a.AddGreyPage(2, 2, "efgh");
  const std::string out = Merge({Add(a), Add(a.Bytes())});
  const MergeReport& report = merger.Report();
  EXPECT_EQ(report.PagesWritten, 4u);
  EXPECT_EQ(report.BytesWritten, out.size());
  EXPECT_EQ(report.Files[1].Pages, 2u);
}

}  // namespace
}  // namespace vellox
