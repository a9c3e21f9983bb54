// Fields that point into the file, on TIFFs built byte by byte:
// sub-directories, old-style JPEG data and free space.
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
using test::TiffBuilder;
using test::TiffReader;
using Values = std::vector<std::uint64_t>;

class ReferencesTest : public ::testing::Test {
 protected:
  test::TempDir dir;
  KWVellox merger;
  int files = 0;

  std::string Merge(const std::vector<const TiffBuilder*>& inputs) {
    std::string list;
    for (const TiffBuilder* tiff : inputs) {
      const std::string path = dir / ("in" + std::to_string(files++) + ".tif");
      test::WriteFile(path, tiff->Bytes());
      list += path + ",";
    }
    std::string outDir = dir.WithSeparator(), name = "out.tif";
    EXPECT_EQ(merger.Tiff_Merge(list, outDir, name), kMergeWritten);
    return test::ReadFile(dir / "out.tif");
  }
  std::int32_t FileResult(std::size_t i) const { return merger.Report().Files.at(i).Result; }

  // An EXIF-like directory: an inline SHORT, an out-of-line ASCII text and
  // a RATIONAL.
  static std::uint32_t AddExif(TiffBuilder& tiff, std::vector<Field> extra = {}) {
    std::vector<Field> fields = {tiff.Values(33434, 5, {1, 250}), tiff.Values(34855, 3, {400}),
                                 tiff.Values(36867, 2, {'2', '0', '2', '6', ':', '1', '2', 0})};
    fields.insert(fields.end(), extra.begin(), extra.end());
    return tiff.AppendDirectory(fields);
  }
  static std::string TextAt(const TiffReader& reader, const ParsedDirectory& directory, std::uint16_t tag) {
    const auto* entry = directory.Find(tag);
    return reader.Bytes().substr(entry->FieldNumber, entry->Count);
  }
};

TEST_F(ReferencesTest, AnExifDirectoryIsCopiedAfterThePageAndItsPointerRewritten) {
  for (const bool little : {true, false}) {
    TiffBuilder first(true), tiff(little);
    first.AddGreyPage(2, 2, "abcd");
    const std::uint32_t exif = AddExif(tiff);
    tiff.AddGreyPage(2, 2, "efgh", 1, {tiff.Raw(34665, 4, 1, exif)});
    const TiffReader reader(Merge({&first, &tiff}));
    const auto chain = reader.Chain();
    ASSERT_EQ(chain.size(), 2u);
    const ParsedDirectory& page = chain[1];
    const std::uint32_t n = 10;
    // The sub-directory follows the page's image data (leading byte, a zero
    // byte for the word boundary, strip).
    const std::uint32_t expected = page.Offset + 8 + 12 * n + 2 + 4;
    ASSERT_EQ(page.Find(34665)->FieldNumber, expected) << little;
    const ParsedDirectory sub = reader.Directory(expected);
    EXPECT_EQ(sub.Link, 0u);
    EXPECT_EQ(reader.Values(*sub.Find(33434)), (Values{1, 250}));
    EXPECT_EQ(reader.Values(*sub.Find(34855)), (Values{400}));
    EXPECT_EQ(TextAt(reader, sub, 36867), std::string("2026:12\0", 8));
    // The page's link counts the sub-directory: 2 + 36 + 4 + 2, 16 + 8 bytes of values.
    EXPECT_EQ(page.Link, 0u);
    EXPECT_EQ(reader.Bytes().size(), expected + 8 + 36 + 16 + 1u);
  }
}

TEST_F(ReferencesTest, ThePageLinkSkipsOverTheReferencedData) {
  TiffBuilder tiff(true);
  const std::uint32_t gps = tiff.AppendDirectory({tiff.Values(1, 2, {'N', 0}), tiff.Values(2, 5, {48, 1, 8, 1, 0, 1})});
  tiff.AddGreyPage(2, 2, "abcd", 1, {tiff.Raw(34853, 4, 1, gps)});
  tiff.AddGreyPage(2, 2, "efgh");
  const TiffReader reader(Merge({&tiff}));
  const auto chain = reader.Chain();
  ASSERT_EQ(chain.size(), 2u);
  const ParsedDirectory gpsCopy = reader.Directory(chain[0].Find(34853)->FieldNumber);
  EXPECT_EQ(reader.Values(*gpsCopy.Find(2)), (Values{48, 1, 8, 1, 0, 1}));
  EXPECT_EQ(chain[0].Link, chain[0].Find(34853)->FieldNumber + 8 + 24 + 24);
}

TEST_F(ReferencesTest, NestedInteroperabilityDirectoriesAreCopiedToo) {
  TiffBuilder tiff(false);
  const std::uint32_t interop = tiff.AppendDirectory({tiff.Values(1, 2, {'R', '9', '8', 0})});
  const std::uint32_t exif = AddExif(tiff, {tiff.Raw(40965, 4, 1, interop)});
  tiff.AddGreyPage(2, 2, "abcd", 1, {tiff.Raw(34665, 13, 1, exif)});  // IFD type
  const TiffReader reader(Merge({&tiff}));
  const ParsedDirectory page = reader.Directory(8);
  EXPECT_EQ(page.Find(34665)->Type, 13);
  const ParsedDirectory exifCopy = reader.Directory(page.Find(34665)->FieldNumber);
  const ParsedDirectory interopCopy = reader.Directory(exifCopy.Find(40965)->FieldNumber);
  EXPECT_EQ(interopCopy.Find(1)->ValueField, std::string("R98\0", 4));
}

TEST_F(ReferencesTest, UnreadableSubDirectoriesAreDroppedWithTheirEntry) {
  TiffBuilder tiff(true);
  // One page points past the end, one at itself, one at a directory whose
  // strip lies outside the file.
  const std::uint32_t brokenStrip = tiff.AppendDirectory({tiff.Values(273, 4, {99999}), tiff.Values(279, 4, {10})});
  tiff.AddGreyPage(2, 2, "abcd", 1, {tiff.Raw(34665, 4, 1, 77777)});
  const std::uint32_t self = tiff.AddGreyPage(2, 2, "efgh", 1, {tiff.Raw(34665, 4, 1, 0)});
  tiff.AddGreyPage(2, 2, "ijkl", 1, {tiff.Raw(34853, 4, 1, brokenStrip)});
  tiff.Overwrite(self + 2 + 12 * 9 + 8, tiff.Number(self, 4));  // the EXIF entry's value field

  const TiffReader reader(Merge({&tiff}));
  const auto chain = reader.Chain();
  ASSERT_EQ(chain.size(), 3u);
  for (const ParsedDirectory& page : chain) {
    EXPECT_EQ(page.Entries.size(), 9u);
    EXPECT_EQ(page.Find(34665), nullptr);
    EXPECT_EQ(page.Find(34853), nullptr);
  }
  // The pages are copied, but what was left out is reported.
  EXPECT_EQ(FileResult(0), kFailed);
  const auto& leftOut = merger.Report().Files[0].LeftOut;
  ASSERT_EQ(leftOut.size(), 3u);
  EXPECT_EQ(leftOut[0].Index, 0u);
  EXPECT_EQ(leftOut[2].Index, 2u);
}

TEST_F(ReferencesTest, SubIfdChainsAreCopiedWithTheirImageData) {
  TiffBuilder tiff(false);
  tiff.Append("<");
  const std::uint32_t small = tiff.Append("12");
  tiff.Append(">");
  const std::uint32_t smaller = tiff.Append("3");
  const std::uint32_t second = tiff.AppendDirectory(
      {tiff.Values(254, 4, {1}), tiff.Values(256, 3, {1}), tiff.Values(273, 4, {smaller}), tiff.Values(279, 4, {1})});
  const std::uint32_t first = tiff.AppendDirectory(
      {tiff.Values(254, 4, {1}), tiff.Values(256, 3, {2}), tiff.Values(273, 4, {small}), tiff.Values(279, 4, {2})},
      second);
  tiff.SetLink(second, first);  // a loop back: the chain ends after two
  tiff.AddGreyPage(2, 2, "abcd", 1, {tiff.Raw(330, 4, 1, first)});
  const TiffReader reader(Merge({&tiff}));
  const ParsedDirectory page = reader.Directory(8);
  const ParsedDirectory sub1 = reader.Directory(page.Find(330)->FieldNumber);
  ASSERT_NE(sub1.Link, 0u);
  const ParsedDirectory sub2 = reader.Directory(sub1.Link);
  EXPECT_EQ(sub2.Link, 0u);
  EXPECT_EQ(reader.Bytes().substr(sub1.Find(273)->FieldNumber - 2, 4), std::string("<\0"
                                                                                   "12",
                                                                                   4));
  EXPECT_EQ(reader.Bytes().substr(sub2.Find(273)->FieldNumber - 2, 3), std::string(">\0"
                                                                                   "3",
                                                                                   3));
}

TEST_F(ReferencesTest, SeveralSubIfdsGoOutOfLineInEntryOrder) {
  TiffBuilder tiff(true);
  const std::uint32_t a = tiff.AppendDirectory({tiff.Values(256, 3, {1})});
  const std::uint32_t b = tiff.AppendDirectory({tiff.Values(256, 3, {2})});
  tiff.AddGreyPage(2, 2, "abcd", 1, {tiff.Values(330, 4, {a, b})});
  const TiffReader reader(Merge({&tiff}));
  const ParsedDirectory page = reader.Directory(8);
  const auto offsets = reader.Values(*page.Find(330));
  ASSERT_EQ(offsets.size(), 2u);
  EXPECT_EQ(reader.Values(*reader.Directory(static_cast<std::uint32_t>(offsets[0])).Find(256)), (Values{1}));
  EXPECT_EQ(reader.Values(*reader.Directory(static_cast<std::uint32_t>(offsets[1])).Find(256)), (Values{2}));
  EXPECT_EQ(offsets[1], offsets[0] + 8 + 12);
}

TEST_F(ReferencesTest, RepeatedSubDirectoriesAreBounded) {
  // 3000 SubIFDs all pointing at one directory: at most 1024 are copied and
  // the rest are reported, once.
  TiffBuilder tiff(true);
  const std::uint32_t sub = tiff.AppendDirectory({tiff.Values(256, 3, {1})});
  tiff.AddGreyPage(2, 2, "abcd", 1, {tiff.Values(330, 4, std::vector<std::uint64_t>(3000, sub))});
  const TiffReader reader(Merge({&tiff}));
  EXPECT_EQ(reader.Directory(8).Find(330)->Count, 1024u);
  EXPECT_EQ(FileResult(0), kFailed);
  EXPECT_EQ(merger.Report().Files[0].LeftOut.size(), 1u);
}

TEST_F(ReferencesTest, FreeSpaceEntriesAreDropped) {
  TiffBuilder tiff(true);
  tiff.AddGreyPage(2, 2, "abcd", 1, {tiff.Values(288, 4, {8}), tiff.Values(289, 4, {1})});
  const TiffReader reader(Merge({&tiff}));
  const ParsedDirectory page = reader.Directory(8);
  EXPECT_EQ(page.Entries.size(), 9u);
  EXPECT_EQ(page.Find(288), nullptr);
  EXPECT_EQ(page.Find(289), nullptr);
  EXPECT_EQ(reader.Bytes().substr(page.Find(273)->FieldNumber, 4), "abcd");
}

TEST_F(ReferencesTest, OverlappingJpegDataIsCopiedOnceAsItsUnion) {
  for (const bool little : {true, false}) {
    TiffBuilder first(!little), tiff(little);
    first.AddGreyPage(2, 2, "abcd");
    std::string stream(100, '\0');
    for (std::size_t i = 0; i < stream.size(); ++i) stream[i] = static_cast<char>(i + 1);
    const std::uint32_t at = tiff.Append(stream);
    const std::uint32_t table = tiff.Append(std::string(64, 'Q'));
    tiff.SetFirstDirectory(tiff.AppendDirectory({tiff.Values(259, 3, {6}), tiff.Values(273, 4, {at + 40}),
                                                 tiff.Values(279, 4, {60}), tiff.Values(513, 4, {at}),
                                                 tiff.Values(514, 4, {100}), tiff.Values(519, 4, {at + 10, table})}));
    const TiffReader reader(Merge({&first, &tiff}));
    const ParsedDirectory page = reader.Chain().at(1);
    const std::uint32_t copy = page.Find(513)->FieldNumber;
    EXPECT_EQ(reader.Bytes().substr(copy, 100), stream) << little;
    EXPECT_EQ(page.Find(273)->FieldNumber, copy + 40);
    const auto tables = reader.Values(*page.Find(519));
    EXPECT_EQ(tables, (Values{copy + 10, copy + 100}));
    EXPECT_EQ(reader.Bytes().substr(copy + 100, 64), std::string(64, 'Q'));
    // Only the union and the separate table: no second copy of the strip.
    EXPECT_EQ(reader.Bytes().size(), copy + 100 + 64 + 1u);
  }
}

TEST_F(ReferencesTest, AJpegStreamWithoutLengthIsCopiedLikeAStrip) {
  TiffBuilder tiff(true);
  tiff.Append("@");
  const std::uint32_t at = tiff.Append("JPEGDATA");
  tiff.SetFirstDirectory(
      tiff.AppendDirectory({tiff.Values(259, 3, {6}), tiff.Values(279, 4, {8}), tiff.Values(513, 4, {at})}));
  const TiffReader reader(Merge({&tiff}));
  const ParsedDirectory page = reader.Directory(8);
  EXPECT_EQ(reader.Bytes().substr(page.Find(513)->FieldNumber - 2, 10), std::string("@\0JPEGDATA", 10));
}

// Without its length, a stream offset keeps pointing at the same byte and
// keeps its type (SHORT while the new offset fits); pointing at nothing
// copied and at no JPEG header, it is left out.
TEST_F(ReferencesTest, AJpegStreamOffsetWithoutLengthKeepsItsByteAndItsType) {
  for (const bool little : {true, false}) {
    TiffBuilder tiff(little), big(little);
    tiff.AddGreyPage(2, 4, "abcdefgh", 2, {tiff.Values(513, 3, {14 + 2})});  // strips at 9 and 14
    tiff.AddGreyPage(2, 2, "ijkl", 1, {tiff.Values(513, 3, {0})});
    big.AddGreyPage(256, 256, std::string(65536, 'x'));
    const TiffReader reader(Merge({&tiff, &big, &tiff}));  // the second copy lies past 64 KiB
    const auto chain = reader.Chain();
    ASSERT_EQ(chain.size(), 5u);
    for (const std::size_t page : {0u, 3u}) {
      const test::ParsedEntry& stream = *chain[page].Find(513);
      EXPECT_EQ(stream.Type, page == 0 ? 3 : 4) << little;
      EXPECT_EQ(reader.Values(stream), (Values{reader.Values(*chain[page].Find(273)).at(1) + 2})) << little;
      EXPECT_EQ(chain[page + 1].Find(513), nullptr);
    }
    EXPECT_EQ(chain[0].Find(513)->ValueField.substr(2), std::string(2, '\0'));
    EXPECT_EQ(merger.Report().Files.at(2).LeftOut.size(), 1u);
  }
}

TEST_F(ReferencesTest, PagesWithoutPointersKeepTheirExactLayout) {
  // Text (6 bytes), two strip offsets and two byte counts (8 each) out of
  // line, then the leading byte and the strips, each on a word boundary
  // (a zero byte before each), and one to end the page on one: nothing else.
  TiffBuilder tiff(true);
  tiff.AddGreyPage(3, 2, "abcdef", 2, {tiff.Values(270, 2, {'t', 'e', 'x', 't', '.', 0})});
  const std::string out = Merge({&tiff});
  const TiffReader reader(out);
  const ParsedDirectory page = reader.Directory(8);
  const std::uint32_t n = 10;
  EXPECT_EQ(page.Find(270)->FieldNumber, 8 + 8 + 12 * n);
  EXPECT_EQ(reader.Values(*page.Find(273)), (Values{8 + 10 + 12 * n + 22, 8 + 10 + 12 * n + 22 + 4}));
  EXPECT_EQ(out.size(), 8 + 8 + 12 * n + 22 + 2 + 4 + 4 + 1u);
}

}  // namespace
}  // namespace vellox
