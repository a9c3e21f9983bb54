// Fields that point into the file: EXIF, GPS and Interoperability
// directories, SubIFDs (with their image data and chains), old-style JPEG
// streams and tables, and free space. After a merge every such field must
// point at an equal copy of what it pointed at, in whatever byte order the
// output has; libtiff must read all of it with the same values and pixels
// as the inputs, and must not complain. Pages without such fields must
// come out exactly as laid out before they existed.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <set>

#include "integration/merge_harness.hpp"
#include "support/libtiff_references.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_reader.hpp"

namespace vellox::test {
namespace {

using Values = std::vector<std::uint64_t>;

// --- Shared parts ------------------------------------------------------------------

struct Orders {
  bool First = true;   // byte order of the first file: the output's
  bool Second = true;  // byte order of the second file
};

const Orders kAllOrders[] = {{true, true}, {false, false}, {true, false}, {false, true}};

std::string OrdersName(const testing::TestParamInfo<Orders>& info) {
  auto name = [](bool little) { return little ? std::string("le") : std::string("be"); };
  return name(info.param.First) + "_then_" + name(info.param.Second);
}

class ReferencesTest : public testing::TestWithParam<Orders> {
 protected:
  TempDir dir_;

  bool First() const { return GetParam().First; }
  bool Second() const { return GetParam().Second; }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ / name;
    WriteFile(path, bytes);
    return path;
  }

  // Merges and expects every file copied whole.
  std::string MergeAll(const std::vector<std::string>& inputs) {
    const MergeOutcome merged = Merge(inputs, dir_.Path().string());
    EXPECT_EQ(merged.Result, kMergeWritten);
    for (const FileReport& file : merged.Report.Files) {
      EXPECT_EQ(file.Result, 1) << file.Path << ": " << file.Reason;
      for (const SkippedPage& skipped : file.Skipped)
        ADD_FAILURE() << file.Path << ": page " << skipped.Index << " skipped: " << skipped.Reason;
    }
    EXPECT_TRUE(IsWellFormedTiff(merged.Output));
    return merged.Output;
  }

  // Merges two files and expects the second copied with parts of its first
  // page left out, and said so in the report.
  std::string MergeLeavingOut(const std::vector<std::string>& inputs, std::size_t parts) {
    const MergeOutcome merged = Merge(inputs, dir_.Path().string());
    EXPECT_EQ(merged.Result, kMergeWritten);
    const FileReport& file = merged.Report.Files.at(1);
    EXPECT_EQ(merged.Report.Files.at(0).Result, 1);
    EXPECT_EQ(file.Result, kFailed);
    EXPECT_EQ(file.Pages, 1u);
    EXPECT_EQ(file.LeftOut.size(), parts);
    for (const SkippedPage& part : file.LeftOut) EXPECT_EQ(part.Index, 0u) << part.Reason;
    EXPECT_TRUE(IsWellFormedTiff(merged.Output));
    return merged.Output;
  }
};

std::string Lines(const std::vector<std::string>& messages) {
  std::string text;
  for (const std::string& message : messages) text += message + "\n";
  return text;
}

std::vector<std::string> WithoutOldJpegNotices(std::vector<std::string> messages) {
  messages.erase(std::remove_if(messages.begin(), messages.end(), IsOldJpegNotice), messages.end());
  return messages;
}

// libtiff reads the output's pages, their EXIF and GPS directories and
// SubIFDs exactly as it reads the inputs', and reports nothing about the
// output that it does not report about the inputs themselves (its notice
// on old-style JPEG aside).
testing::AssertionResult LibtiffSeesTheSame(const std::string& output, const std::vector<std::string>& inputs) {
  std::vector<LibtiffView> views;
  std::vector<std::string> inputMessages;
  for (const std::string& input : inputs) {
    views.push_back(ViewWithLibtiff(input));
    for (const std::string& message : WithoutOldJpegNotices(views.back().Messages)) inputMessages.push_back(message);
  }
  const LibtiffView merged = ViewWithLibtiff(output);
  std::vector<std::string> outputMessages = WithoutOldJpegNotices(merged.Messages);
  std::sort(inputMessages.begin(), inputMessages.end());
  std::sort(outputMessages.begin(), outputMessages.end());
  if (outputMessages != inputMessages)
    return testing::AssertionFailure() << "libtiff on the output:\n"
                                       << Lines(outputMessages) << "and on the inputs:\n"
                                       << Lines(inputMessages);
  const std::vector<std::string> expected = PagesOfViews(views);
  if (merged.Pages.size() != expected.size())
    return testing::AssertionFailure() << "libtiff finds " << merged.Pages.size() << " pages, expected "
                                       << expected.size();
  for (std::size_t i = 0; i < expected.size(); ++i)
    if (merged.Pages[i] != expected[i])
      return testing::AssertionFailure() << "page " << i << " as libtiff reads it:\n"
                                         << merged.Pages[i] << "expected:\n"
                                         << expected[i];
  return testing::AssertionSuccess();
}

// Byte by byte, every pointer of every output page leads to the same
// values, pixels, directories and JPEG data as in the inputs.
testing::AssertionResult TreesMatch(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
  if (actual.size() != expected.size())
    return testing::AssertionFailure() << actual.size() << " pages, expected " << expected.size();
  for (std::size_t i = 0; i < expected.size(); ++i)
    if (actual[i] != expected[i])
      return testing::AssertionFailure() << "page " << i << ":\n" << actual[i] << "\nexpected:\n" << expected[i];
  return testing::AssertionSuccess();
}

// --- Where referenced data goes --------------------------------------------------

constexpr std::uint16_t kSubIfds = 330, kExif = 34665, kGps = 34853, kInteroperability = 40965;

bool IsSubDirectoryTag(std::uint16_t tagNumber) {
  return tagNumber == kSubIfds || tagNumber == kExif || tagNumber == kGps || tagNumber == kInteroperability;
}

std::vector<std::uint64_t> Pointers(const TiffReader& reader, const ParsedEntry& entry) {
  ParsedEntry asLong = entry;
  if (asLong.Type == 13) asLong.Type = 4;  // IFD offsets read like LONGs
  return reader.Values(asLong);
}

// The end of a directory's own part: entries, link, CR LF, out-of-line
// values and image data, which the page copier writes back to back (and a
// JPEG stream, for directories that have one but no sub-directories).
std::uint64_t OwnPartEnd(const TiffReader& reader, const ParsedDirectory& directory) {
  std::uint64_t end = directory.Offset + 8 + 12ull * directory.Entries.size();
  for (const ParsedEntry& entry : directory.Entries) {
    const std::size_t size = entry.Type == 13 ? 4 : FieldTypeSize(entry.Type);
    if (size * entry.Count > 4) end = std::max<std::uint64_t>(end, entry.FieldNumber + size * entry.Count);
  }
  for (const auto& [offsetsTag, countsTag] : {std::pair<std::uint16_t, std::uint16_t>{273, 279}, {324, 325}}) {
    const ParsedEntry* offsets = directory.Find(offsetsTag);
    const ParsedEntry* counts = directory.Find(countsTag);
    if (offsets == nullptr || counts == nullptr || directory.Find(513) != nullptr) continue;
    const auto at = reader.Values(*offsets);
    const auto lengths = reader.Values(*counts);
    for (std::size_t i = 0; i < at.size(); ++i) end = std::max(end, at[i] + lengths[i]);
  }
  // A JPEG stream of a directory without sub-directories follows its own part.
  if (directory.Find(513) != nullptr && directory.Find(514) != nullptr)
    end = std::max(end, reader.Values(*directory.Find(513)).at(0) + reader.Values(*directory.Find(514)).at(0));
  return end;
}

// The next word boundary, where each sub-directory and page begins.
std::uint64_t WordAligned(std::uint64_t offset) {
  return offset + offset % 2;
}

// Checks one directory and the sub-directories below it: each lies inside
// [begin, end), the sub-directories follow the directory's own part one
// after the other in entry order, each on the next word boundary, and
// nothing is shared or overlaps.
void CheckPlacement(const TiffReader& reader, const ParsedDirectory& directory, std::uint64_t begin, std::uint64_t end,
                    std::uint64_t& cursor, std::string& problems, int depth) {
  if (depth > 6) return;
  if (directory.Offset < begin || directory.Offset >= end) {
    problems += "directory at " + std::to_string(directory.Offset) + " lies outside its page [" +
                std::to_string(begin) + ", " + std::to_string(end) + ")\n";
    return;
  }
  if (depth > 0 && directory.Offset != WordAligned(cursor))
    problems += "sub-directory at " + std::to_string(directory.Offset) + ", expected right after the one before, at " +
                std::to_string(WordAligned(cursor)) + "\n";
  cursor = OwnPartEnd(reader, directory);
  if (cursor > end) problems += "directory at " + std::to_string(directory.Offset) + " runs past its page\n";
  for (const ParsedEntry& entry : directory.Entries) {
    if (!IsSubDirectoryTag(entry.Tag)) continue;
    for (const std::uint64_t offset : Pointers(reader, entry)) {
      std::set<std::uint64_t> seen;
      for (std::uint64_t next = offset; next != 0 && seen.insert(next).second;) {
        const ParsedDirectory child = reader.Directory(static_cast<std::uint32_t>(next));
        CheckPlacement(reader, child, begin, end, cursor, problems, depth + 1);
        next = entry.Tag == kSubIfds ? child.Link : 0;
      }
    }
  }
}

// Every page's referenced data lies between its directory and the next
// page and fills that space exactly, so the link to the next page counts it.
testing::AssertionResult ReferencedDataStaysWithItsPage(const std::string& output) {
  const std::string bytes = ReadFile(output);
  const TiffReader reader(bytes);
  const std::vector<ParsedDirectory> chain = reader.Chain();
  std::string problems;
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const std::uint64_t end = i + 1 < chain.size() ? chain[i + 1].Offset : bytes.size() - 1;  // the trailer byte
    std::uint64_t cursor = chain[i].Offset;
    CheckPlacement(reader, chain[i], chain[i].Offset, end, cursor, problems, 0);
    if (WordAligned(cursor) != end)
      problems += "page at " + std::to_string(chain[i].Offset) + " ends at " + std::to_string(cursor) +
                  ", but the next page begins at " + std::to_string(end) + "\n";
  }
  if (!problems.empty()) return testing::AssertionFailure() << output << ":\n" << problems;
  return testing::AssertionSuccess();
}

// --- EXIF, GPS and Interoperability ------------------------------------------------

using SubDirectories = ReferencesTest;

TEST_P(SubDirectories, ExifAndGpsReadTheSameOnEveryPage) {
  RichPage plain;
  RichPage photo;
  photo.Exif = photo.Gps = true;
  photo.Seed = 2;
  RichPage exifOnly;
  exifOnly.Exif = true;
  exifOnly.Rgb = true;
  exifOnly.Compression = Codec::Lzw;
  exifOnly.Seed = 3;
  RichPage tiled = photo;
  tiled.Tiles = true;
  tiled.Compression = Codec::Deflate;
  tiled.Seed = 4;
  const std::string first = dir_ / "first.tif";
  const std::string second = dir_ / "second.tif";
  WriteRichTiff(first, First(), {plain, photo});
  WriteRichTiff(second, Second(), {exifOnly, tiled, plain});

  const std::string output = MergeAll({first, second});

  EXPECT_TRUE(IsMergeOf(output, PagesOf({first, second})));  // pages, pixels, tiffinfo -D (follows EXIF and GPS)
  EXPECT_TRUE(LibtiffSeesTheSame(output, {first, second}));
  EXPECT_TRUE(TreesMatch(DescribePages(ReadFile(output)), DescribeFiles({first, second})));
  EXPECT_TRUE(ReferencedDataStaysWithItsPage(output));
}

TEST_P(SubDirectories, InteroperabilityInsideExifIsCopiedWhole) {
  RichPage photo;
  photo.Exif = photo.Gps = true;
  RichPage other = photo;
  other.Gps = false;
  other.Seed = 5;
  const std::string first = dir_ / "first.tif";
  const std::string second = dir_ / "second.tif";
  WriteRichTiff(first, First(), {photo});
  WriteRichTiff(second, Second(), {other, other});
  AddInteroperability(first, 0);
  AddInteroperability(second, 1);

  const std::string output = MergeAll({first, second});

  // libtiff does not know 40965 inside EXIF and says so, for the inputs too.
  EXPECT_TRUE(LibtiffSeesTheSame(output, {first, second}));
  EXPECT_TRUE(TreesMatch(DescribePages(ReadFile(output)), DescribeFiles({first, second})));
  EXPECT_TRUE(ReferencedDataStaysWithItsPage(output));
  // Read directly: the Interoperability directory of the first page, its
  // index text and version bytes.
  const TiffReader reader(ReadFile(output));
  const ParsedDirectory page = reader.Directory(8);
  ASSERT_NE(page.Find(kExif), nullptr);
  const ParsedDirectory exif = reader.Directory(page.Find(kExif)->FieldNumber);
  ASSERT_NE(exif.Find(kInteroperability), nullptr);
  EXPECT_EQ(exif.Find(kInteroperability)->Type, 4);
  const ParsedDirectory interoperability = reader.Directory(exif.Find(kInteroperability)->FieldNumber);
  ASSERT_EQ(interoperability.Entries.size(), 2u);
  EXPECT_EQ(interoperability.Entries[0].ValueField, std::string("R98\0", 4));
  EXPECT_EQ(interoperability.Entries[1].ValueField, "0100");
  EXPECT_EQ(interoperability.Link, 0u);
}

TEST_P(SubDirectories, ReducedImagesInSubIfdsKeepTheirPixels) {
  RichPage one;
  one.ReducedImages = 1;
  one.Width = 64;
  one.Height = 48;
  RichPage two;
  two.ReducedImages = 2;
  two.Rgb = true;
  two.Compression = Codec::Lzw;
  two.Exif = true;
  two.Seed = 6;
  RichPage tiled = one;
  tiled.Tiles = true;
  tiled.Compression = Codec::PackBits;
  tiled.Seed = 7;
  const std::string first = dir_ / "first.tif";
  const std::string second = dir_ / "second.tif";
  WriteRichTiff(first, First(), {one, RichPage{}});
  WriteRichTiff(second, Second(), {two, tiled});

  const std::string output = MergeAll({first, second});

  EXPECT_TRUE(IsMergeOf(output, PagesOf({first, second})));
  EXPECT_TRUE(LibtiffSeesTheSame(output, {first, second}));  // TIFFSetSubDirectory to every SubIFD
  EXPECT_TRUE(TreesMatch(DescribePages(ReadFile(output)), DescribeFiles({first, second})));
  EXPECT_TRUE(ReferencedDataStaysWithItsPage(output));
  const TiffReader reader(ReadFile(output));
  const auto chain = reader.Chain();
  ASSERT_EQ(chain.size(), 4u);
  EXPECT_EQ(chain[2].Find(kSubIfds)->Count, 2u);
}

// An entry of type IFD (13) holding `offsets`.
Field IfdField(TiffBuilder& tiff, std::uint16_t tagNumber, const Values& offsets) {
  Field field = tiff.Values(tagNumber, 4, offsets);
  field.Type = 13;
  return field;
}

// A sub-image built byte by byte: grey, `bits` per sample, one strip,
// uncompressed unless told otherwise.
std::uint32_t SubImage(TiffBuilder& tiff, std::uint32_t width, std::uint32_t height, std::uint32_t bits,
                       const std::string& pixels, std::uint32_t next = 0, std::vector<Field> extra = {},
                       std::uint32_t compression = 1) {
  tiff.Append("~");
  const std::uint32_t strip = tiff.Append(pixels);
  std::vector<Field> fields = {tiff.Values(254, 4, {1}),           tiff.Values(256, 4, {width}),
                               tiff.Values(257, 4, {height}),      tiff.Values(258, 3, {bits}),
                               tiff.Values(259, 3, {compression}), tiff.Values(262, 3, {1}),
                               tiff.Values(273, 4, {strip}),       tiff.Values(277, 3, {1}),
                               tiff.Values(278, 4, {height}),      tiff.Values(279, 4, {pixels.size()})};
  fields.insert(fields.end(), extra.begin(), extra.end());
  return tiff.AppendDirectory(fields, next);
}

std::string Pattern(std::size_t length, std::uint32_t seed) {
  std::string out(length, '\0');
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<char>((i * 13 + seed * 41 + i / 7) & 0xFF);
  return out;
}

// A page whose SubIFDs are [A, C] with A linked to B; A has an EXIF
// directory of its own; C holds 16-bit uncompressed samples, which change
// byte order with the file.
std::string PageWithSubIfdChain(bool little, std::uint32_t seed) {
  TiffBuilder tiff(little);
  const std::uint32_t exif = tiff.AppendDirectory(
      {tiff.Values(33434, 5, {1, 60 * seed}), tiff.Values(36867, 2, {'2', '0', '2', '4', ':', '0', '1', 0})});
  const std::uint32_t b = SubImage(tiff, 6, 4, 8, Pattern(24, seed + 1));
  const std::uint32_t a = SubImage(tiff, 12, 8, 8, Pattern(96, seed + 2), b, {IfdField(tiff, kExif, {exif})});
  std::string wide;
  for (std::uint32_t i = 0; i < 20; ++i) wide += tiff.Number(1000 * seed + 257 * i, 2);
  const std::uint32_t c = SubImage(tiff, 5, 4, 16, wide);
  tiff.AddGreyPage(24, 16, Pattern(24 * 16, seed), 2, {IfdField(tiff, kSubIfds, {a, c})});
  return tiff.Bytes();
}

TEST_P(SubDirectories, SubIfdChainsAreFollowedAndWideSamplesConverted) {
  const std::string first = Write("first.tif", PageWithSubIfdChain(First(), 1));
  const std::string second = Write("second.tif", PageWithSubIfdChain(Second(), 2));

  const std::string output = MergeAll({first, second});

  EXPECT_TRUE(IsMergeOf(output, PagesOf({first, second})));
  EXPECT_TRUE(LibtiffSeesTheSame(output, {first, second}));
  EXPECT_TRUE(TreesMatch(DescribePages(ReadFile(output)), DescribeFiles({first, second})));
  EXPECT_TRUE(ReferencedDataStaysWithItsPage(output));
  // The chain A -> B is kept, C ends its own chain.
  const TiffReader reader(ReadFile(output));
  for (const ParsedDirectory& page : reader.Chain()) {
    ASSERT_NE(page.Find(kSubIfds), nullptr);
    EXPECT_EQ(page.Find(kSubIfds)->Type, 13);
    const auto offsets = Pointers(reader, *page.Find(kSubIfds));
    ASSERT_EQ(offsets.size(), 2u);
    const ParsedDirectory a = reader.Directory(static_cast<std::uint32_t>(offsets[0]));
    ASSERT_NE(a.Link, 0u);
    EXPECT_EQ(reader.Values(*reader.Directory(a.Link).Find(256)), Values{6});
    EXPECT_EQ(reader.Directory(a.Link).Link, 0u);
    EXPECT_EQ(reader.Directory(static_cast<std::uint32_t>(offsets[1])).Link, 0u);
  }
}

// A reduced image whose compressed 16-bit samples cannot be carried into
// the output's byte order cannot be copied; like a page in that state it
// must not vanish without the file's report saying so.
using LostSubImages = ReferencesTest;

TEST_P(LostSubImages, ASubIfdThatCannotChangeByteOrderIsNotLostSilently) {
  const std::string plain = dir_ / "plain.tif";
  WriteRichTiff(plain, First(), {RichPage{}});
  const std::string wide = Write("wide.tif", [this] {
    TiffBuilder tiff(Second());
    const std::uint32_t reduced = SubImage(tiff, 4, 4, 16, Pattern(32, 3), 0, {}, 5);  // LZW
    tiff.AddGreyPage(8, 8, Pattern(64, 4), 1, {tiff.Values(kSubIfds, 4, {reduced})});
    return tiff.Bytes();
  }());

  const MergeOutcome merged = Merge({plain, wide}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  const FileReport& report = merged.Report.Files.at(1);
  const TiffReader reader(ReadFile(merged.Output));
  const bool kept = reader.Chain().size() == 2 && reader.Chain()[1].Find(kSubIfds) != nullptr;
  if (!kept) {
    EXPECT_EQ(report.Result, kFailed) << "the reduced image was dropped, yet the file reports a clean copy";
    EXPECT_FALSE(report.Reason.empty() && report.Skipped.empty()) << "nothing says what was left out";
  }
  EXPECT_TRUE(ReadsCleanly(merged.Output));
  EXPECT_TRUE(IsWellFormedTiff(merged.Output));
}

INSTANTIATE_TEST_SUITE_P(References, LostSubImages, testing::Values(Orders{true, false}, Orders{false, true}),
                         OrdersName);

// A JPEG thumbnail (513 and 514, no strips) in a SubIFD: the stream is
// copied with the sub-directory and 513 points at the copy.
TEST_P(SubDirectories, AJpegThumbnailInASubIfdComesWithItsStream) {
  const std::string stream = JpegStream(false, 16, 8, 5);
  auto build = [&stream](bool little) {
    TiffBuilder tiff(little);
    tiff.Append("#");
    const std::uint32_t at = tiff.Append(stream);
    const std::uint32_t thumbnail = tiff.AppendDirectory(
        {tiff.Values(254, 4, {1}), tiff.Values(256, 3, {16}), tiff.Values(257, 3, {8}), tiff.Values(259, 3, {6}),
         tiff.Values(262, 3, {1}), tiff.Values(513, 4, {at}), tiff.Values(514, 4, {stream.size()})});
    tiff.AddGreyPage(8, 6, Pattern(48, 7), 1, {tiff.Values(kSubIfds, 4, {thumbnail})});
    return tiff.Bytes();
  };
  const std::string first = Write("first.tif", build(First()));
  const std::string second = Write("second.tif", build(Second()));

  const std::string output = MergeAll({first, second});

  EXPECT_TRUE(TreesMatch(DescribePages(ReadFile(output)), DescribeFiles({first, second})));
  EXPECT_TRUE(ReferencedDataStaysWithItsPage(output));
  const std::string bytes = ReadFile(output);
  const TiffReader reader(bytes);
  for (const ParsedDirectory& page : reader.Chain()) {
    const ParsedDirectory thumbnail = reader.Directory(page.Find(kSubIfds)->FieldNumber);
    const auto at = reader.Values(*thumbnail.Find(513)).at(0);
    EXPECT_EQ(bytes.substr(at, stream.size()), stream);
    // The stream follows the thumbnail's own part and ends the page (but
    // for a zero byte that puts the next on a word boundary).
    EXPECT_EQ(at, thumbnail.Offset + 8 + 12 * thumbnail.Entries.size());
    EXPECT_EQ(WordAligned(at + stream.size()), page.Link != 0 ? page.Link : bytes.size() - 1);
  }
}

INSTANTIATE_TEST_SUITE_P(References, SubDirectories, testing::ValuesIn(kAllOrders), OrdersName);

// --- Sub-directories that cannot be read ----------------------------------------------

using UnreadableSubDirectories = ReferencesTest;

// A grey page with `extra` entries, alone in its file; returns the bytes.
std::string GreyPageWith(bool little, const std::function<std::vector<Field>(TiffBuilder&, std::uint32_t)>& extra) {
  TiffBuilder tiff(little);
  // The page's directory offset is needed for a pointer back at it: build
  // once to learn it, then again with the real entries (same sizes).
  TiffBuilder probe(little);
  const std::uint32_t page = probe.AddGreyPage(8, 6, Pattern(48, 3), 1, extra(probe, 0));
  tiff.AddGreyPage(8, 6, Pattern(48, 3), 1, extra(tiff, page));
  return tiff.Bytes();
}

std::vector<Field> GpsDirectory(TiffBuilder& tiff) {
  const std::uint32_t gps = tiff.AppendDirectory({tiff.Values(0, 1, {2, 3, 0, 0}), tiff.Values(1, 2, {'S', 0})});
  return {tiff.Values(kGps, 4, {gps})};
}

TEST_P(UnreadableSubDirectories, ExifPastTheEndIsDroppedAndThePageKept) {
  const std::string broken = Write("broken.tif", GreyPageWith(Second(), [](TiffBuilder& tiff, std::uint32_t) {
                                     std::vector<Field> fields = GpsDirectory(tiff);
                                     fields.push_back(tiff.Values(kExif, 4, {0x00FFFFF0}));
                                     return fields;
                                   }));
  RichPage photo;
  photo.Exif = photo.Gps = true;
  const std::string good = dir_ / "good.tif";
  WriteRichTiff(good, First(), {photo});

  const std::string output = MergeLeavingOut({good, broken}, 1);

  EXPECT_TRUE(ReadsCleanly(output));
  EXPECT_TRUE(TiffinfoClean(output));
  const std::vector<std::string> pages = DescribePages(ReadFile(output));
  std::vector<std::string> expected = DescribeFiles({good});
  for (const std::string& page : DescribeFiles({broken}, {kExif})) expected.push_back(page);
  EXPECT_TRUE(TreesMatch(pages, expected));  // only the EXIF entry is gone; GPS is there
  EXPECT_TRUE(ReferencedDataStaysWithItsPage(output));
}

TEST_P(UnreadableSubDirectories, ExifPointingBackAtItsPageIsDropped) {
  const std::string looping = Write("loop.tif", GreyPageWith(Second(), [](TiffBuilder& tiff, std::uint32_t page) {
                                      std::vector<Field> fields = GpsDirectory(tiff);
                                      fields.push_back(IfdField(tiff, kExif, {page}));
                                      return fields;
                                    }));
  const std::string plain = dir_ / "plain.tif";
  WriteRichTiff(plain, First(), {RichPage{}});

  const std::string output = MergeLeavingOut({plain, looping}, 1);

  EXPECT_TRUE(ReadsCleanly(output));
  EXPECT_TRUE(TiffinfoClean(output));
  std::vector<std::string> expected = DescribeFiles({plain});
  for (const std::string& page : DescribeFiles({looping}, {kExif})) expected.push_back(page);
  EXPECT_TRUE(TreesMatch(DescribePages(ReadFile(output)), expected));
  EXPECT_EQ(TiffReader(ReadFile(output)).Chain().at(1).Find(kExif), nullptr);
}

TEST_P(UnreadableSubDirectories, InteroperabilityPointingBackAtExifIsDroppedAndExifKept) {
  const std::string looping = Write("loop.tif", GreyPageWith(Second(), [](TiffBuilder& tiff, std::uint32_t) {
                                      // The EXIF directory's offset is known once it is appended, so its
                                      // Interoperability entry is written first and patched.
                                      const std::uint32_t exif = tiff.AppendDirectory(
                                          {tiff.Values(33434, 5, {1, 250}), tiff.Values(kInteroperability, 4, {0})});
                                      tiff.Overwrite(exif + 2 + 12 + 8, tiff.Number(exif, 4));
                                      return std::vector<Field>{tiff.Values(kExif, 4, {exif})};
                                    }));
  const std::string plain = dir_ / "plain.tif";
  WriteRichTiff(plain, First(), {RichPage{}});

  const std::string output = MergeLeavingOut({plain, looping}, 1);

  EXPECT_TRUE(ReadsCleanly(output));  // 40965, which libtiff does not know inside EXIF, is gone
  EXPECT_TRUE(TiffinfoClean(output));
  const TiffReader reader(ReadFile(output));
  const ParsedDirectory page = reader.Chain().at(1);
  ASSERT_NE(page.Find(kExif), nullptr);
  const ParsedDirectory exif = reader.Directory(page.Find(kExif)->FieldNumber);
  ASSERT_EQ(exif.Entries.size(), 1u);
  EXPECT_EQ(exif.Entries[0].Tag, 33434);
  EXPECT_EQ(reader.Values(exif.Entries[0]), (Values{1, 250}));
  EXPECT_TRUE(ReferencedDataStaysWithItsPage(output));
}

TEST_P(UnreadableSubDirectories, AnUnreadableSubIfdLeavesTheOthers) {
  const std::string mixed = Write("mixed.tif", [this] {
    TiffBuilder tiff(Second());
    const std::uint32_t good = SubImage(tiff, 4, 4, 8, Pattern(16, 9));
    tiff.AddGreyPage(8, 6, Pattern(48, 4), 1, {tiff.Values(kSubIfds, 4, {0x7FFFFFF0, good})});
    return tiff.Bytes();
  }());
  const std::string plain = dir_ / "plain.tif";
  WriteRichTiff(plain, First(), {RichPage{}});

  const std::string output = MergeLeavingOut({plain, mixed}, 1);

  EXPECT_TRUE(ReadsCleanly(output));
  EXPECT_TRUE(TiffinfoClean(output));
  const std::string bytes = ReadFile(output);
  const TiffReader reader(bytes);
  const ParsedDirectory page = reader.Chain().at(1);
  ASSERT_NE(page.Find(kSubIfds), nullptr);
  EXPECT_EQ(page.Find(kSubIfds)->Count, 1u);
  const ParsedDirectory sub = reader.Directory(page.Find(kSubIfds)->FieldNumber);
  EXPECT_EQ(bytes.substr(reader.Values(*sub.Find(273)).at(0), 16), Pattern(16, 9));
  EXPECT_TRUE(ReferencedDataStaysWithItsPage(output));
}

INSTANTIATE_TEST_SUITE_P(References, UnreadableSubDirectories, testing::ValuesIn(kAllOrders), OrdersName);

// --- Old-style JPEG ----------------------------------------------------------------------

using OldJpeg = ReferencesTest;

// The length a page of the output must take when each referenced block is
// copied once: entries, link, CR LF, out-of-line values, then the blocks
// (the stream holds the strip, so there is no separate image data).
std::uint64_t ExpectedPageSpan(const ParsedDirectory& directory, std::uint64_t blocks) {
  std::uint64_t outOfLine = 0;
  for (const ParsedEntry& entry : directory.Entries)
    if (FieldTypeSize(entry.Type) * entry.Count > 4) outOfLine += WordAligned(FieldTypeSize(entry.Type) * entry.Count);
  return 8 + 12 * directory.Entries.size() + outOfLine + blocks;
}

TEST_P(OldJpeg, StreamTablesAndStripsPointAtTheSameBytes) {
  OldJpegPage grey;
  OldJpegPage colourApart;
  colourApart.Colour = true;
  colourApart.Tables = JpegTables::Separate;
  colourApart.Seed = 2;
  OldJpegPage colourScan;
  colourScan.Colour = true;
  colourScan.StripIsWholeStream = false;
  colourScan.Seed = 3;
  OldJpegPage bare;
  bare.Tables = JpegTables::None;
  bare.Seed = 4;
  const std::string first = Write("first.tif", OldJpegTiff(First(), {grey, colourApart}));
  const std::string second = Write("second.tif", OldJpegTiff(Second(), {colourScan, bare}));

  const std::string output = MergeAll({first, second});

  // Byte level: stream, tables and strip hold the same bytes, and a strip
  // or table inside the stream sits at the same place inside its copy.
  EXPECT_TRUE(TreesMatch(DescribePages(ReadFile(output)), DescribeFiles({first, second})));
  // libtiff decodes every page to the same pixels (the inputs decode too).
  EXPECT_TRUE(LibtiffSeesTheSame(output, {first, second}));
  for (const std::string& input : {first, second})
    for (const std::string& page : ViewWithLibtiff(input).Pages)
      EXPECT_EQ(page.find("rgba=failed"), std::string::npos) << "libtiff cannot decode an input page:\n" << page;

  // Each block is copied once: a page is exactly as long as its directory,
  // its values and its blocks (the stream, plus tables kept apart from it),
  // each on a word boundary.
  const TiffReader out(ReadFile(output));
  const auto chain = out.Chain();
  ASSERT_EQ(chain.size(), 4u);
  std::size_t page = 0;
  for (const std::string& input : {first, second}) {
    const TiffReader in(ReadFile(input));
    for (const ParsedDirectory& directory : in.Chain()) {
      const auto streamLength = in.Values(*directory.Find(514)).at(0);
      std::uint64_t blocks = WordAligned(streamLength);
      const auto stream = in.Values(*directory.Find(513)).at(0);
      for (const std::uint16_t tableTag : {std::uint16_t{519}, std::uint16_t{520}, std::uint16_t{521}}) {
        if (directory.Find(tableTag) == nullptr) continue;
        for (const std::uint64_t offset : in.Values(*directory.Find(tableTag))) {
          if (offset >= stream && offset < stream + streamLength) continue;
          std::uint64_t length = 64;
          if (tableTag != 519) {
            length = 16;
            for (std::size_t i = 0; i < 16; ++i) length += in.Number(static_cast<std::size_t>(offset) + i, 1);
          }
          blocks += WordAligned(length);
        }
      }
      const std::uint64_t end = page + 1 < chain.size() ? chain[page + 1].Offset : out.Bytes().size() - 1;
      EXPECT_EQ(end - chain[page].Offset, ExpectedPageSpan(directory, blocks)) << "output page " << page;
      // The stream's copy begins right after the page's own part.
      EXPECT_EQ(out.Values(*chain[page].Find(513)).at(0), end - blocks) << "output page " << page;
      ++page;
    }
  }
}

TEST_P(OldJpeg, WithoutItsLengthTheStreamIsCopiedLikeAStrip) {
  OldJpegPage noLength;
  noLength.WithLength = false;
  noLength.Tables = JpegTables::None;
  const std::string first = Write("first.tif", OldJpegTiff(First(), {noLength}));
  noLength.Colour = true;
  noLength.Seed = 8;
  const std::string second = Write("second.tif", OldJpegTiff(Second(), {noLength}));

  const std::string output = MergeAll({first, second});

  EXPECT_TRUE(TreesMatch(DescribePages(ReadFile(output)), DescribeFiles({first, second})));
  EXPECT_TRUE(LibtiffSeesTheSame(output, {first, second}));
  const TiffReader reader(ReadFile(output));
  for (const ParsedDirectory& page : reader.Chain()) {
    ASSERT_NE(page.Find(513), nullptr);
    EXPECT_EQ(page.Find(514), nullptr);
    EXPECT_EQ(reader.Values(*page.Find(513)), reader.Values(*page.Find(273)));  // the stream is the strip
  }
}

// 513 at the stream's start, no 514, the strip holding only the scan data:
// readers take the tables from 513 and the scan data from the strip.
TEST_P(OldJpeg, WithoutItsLengthAStreamApartFromTheStripKeepsItsHeader) {
  OldJpegPage scan;
  scan.WithLength = false;
  scan.StripIsWholeStream = false;
  scan.Tables = JpegTables::None;
  const std::string first = Write("first.tif", OldJpegTiff(First(), {scan}));
  scan.Colour = true;
  const std::string second = Write("second.tif", OldJpegTiff(Second(), {scan}));

  const std::string output = MergeAll({first, second});

  EXPECT_TRUE(LibtiffSeesTheSame(output, {first, second}));
  for (const std::string& page : ViewWithLibtiff(output).Pages) EXPECT_EQ(page.find("rgba=failed"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(References, OldJpeg, testing::ValuesIn(kAllOrders), OrdersName);

// --- Free space ----------------------------------------------------------------------------

using FreeSpace = ReferencesTest;

TEST_P(FreeSpace, FreeOffsetsAndByteCountsAreDropped) {
  const std::string freed = Write("free.tif", [this] {
    TiffBuilder tiff(Second());
    const std::uint32_t hole = tiff.Append(std::string(40, '\0'));
    const std::uint32_t other = tiff.Append(std::string(24, '\0'));
    tiff.AddGreyPage(8, 6, Pattern(48, 5), 2,
                     {tiff.Values(270, 2, {'f', 'r', 'e', 'e', ' ', 's', 'p', 'a', 'c', 'e', 0}),
                      tiff.Values(288, 4, {hole, other}), tiff.Values(289, 4, {40, 24})});
    tiff.AddGreyPage(4, 4, Pattern(16, 6), 1, {tiff.Values(288, 4, {hole}), tiff.Values(289, 3, {40})});
    return tiff.Bytes();
  }());
  const std::string plain = dir_ / "plain.tif";
  WriteRichTiff(plain, First(), {RichPage{}});

  const std::string output = MergeAll({plain, freed});

  EXPECT_TRUE(IsMergeOf(output, PagesOf({plain, freed})));
  EXPECT_TRUE(ReadsCleanly(output));
  std::vector<std::string> expected = DescribeFiles({plain});
  for (const std::string& page : DescribeFiles({freed}, {288, 289})) expected.push_back(page);
  EXPECT_TRUE(TreesMatch(DescribePages(ReadFile(output)), expected));
  const TiffReader reader(ReadFile(output));
  for (const ParsedDirectory& page : reader.Chain()) {
    EXPECT_EQ(page.Find(288), nullptr);
    EXPECT_EQ(page.Find(289), nullptr);
  }
  // Nothing of the free space is copied: the second file's pages take
  // exactly what their remaining entries need.
  const auto chain = reader.Chain();
  ASSERT_EQ(chain.size(), 3u);
  const std::uint64_t firstFreePage = chain[2].Offset - chain[1].Offset;
  const std::uint64_t entries = chain[1].Entries.size();
  EXPECT_EQ(entries, 10u);
  // Description (and a zero byte), two strip offsets, two byte counts, the
  // leading byte (and a zero byte), the pixels.
  EXPECT_EQ(firstFreePage, 8 + 12 * entries + 12 + 8 + 8 + 2 + 48);
}

INSTANTIATE_TEST_SUITE_P(References, FreeSpace, testing::ValuesIn(kAllOrders), OrdersName);

// --- Pages without pointer fields --------------------------------------------------------

std::vector<PageRecipe> PlainCorpus(std::uint32_t seed) {
  auto page = [seed](Pixels kind, Codec codec, Layout layout) {
    PageRecipe format;
    format.Kind = kind;
    format.Compression = codec;
    format.Organisation = layout;
    format.Seed = seed;
    return format;
  };
  PageRecipe planar = page(Pixels::Rgb8, Codec::Lzw, Layout::Strips);
  planar.Separate = true;
  PageRecipe predicted = page(Pixels::Grey8, Codec::Deflate, Layout::Strips);
  predicted.Predictor = true;
  PageRecipe oneStrip = page(Pixels::Grey8, Codec::None, Layout::Strips);
  oneStrip.RowsPerStrip = 1000;
  return {page(Pixels::Grey8, Codec::None, Layout::Strips),
          page(Pixels::Rgb8, Codec::Deflate, Layout::Tiles),
          page(Pixels::Palette8, Codec::PackBits, Layout::Strips),
          page(Pixels::Bilevel1, Codec::G4, Layout::Strips),
          page(Pixels::Grey16, Codec::None, Layout::Strips),
          page(Pixels::Grey16, Codec::None, Layout::Tiles),
          planar,
          predicted,
          oneStrip};
}

testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected) {
  if (actual == expected) return testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return testing::AssertionFailure() << "the output has " << actual.size() << " bytes, expected " << expected.size()
                                     << "; the first difference is at offset " << at;
}

using PlainPages = ReferencesTest;

// Merges of ordinary libtiff files, one page at a time and all together, in
// each pair of byte orders: every byte is where the layout puts it.
TEST_P(PlainPages, ComeOutExactlyAsLaidOut) {
  const std::vector<PageRecipe> corpus = PlainCorpus(1);
  const std::string first = dir_ / "first.tif";
  const std::string second = dir_ / "second.tif";
  WriteTiff(first, {First(), corpus});
  WriteTiff(second, {Second(), PlainCorpus(2)});

  const std::string output = MergeAll({first, second});

  EXPECT_TRUE(SameBytes(ReadFile(output), ExpectedPlainMerge({first, second})));
  EXPECT_TRUE(IsMergeOf(output, PagesOf({first, second})));

  for (std::size_t i = 0; i < corpus.size(); ++i) {
    SCOPED_TRACE(FormatName(corpus[i]));
    const std::string single = dir_ / ("single" + std::to_string(i) + ".tif");
    WriteTiff(single, {Second(), {corpus[i]}});
    const MergeOutcome merged = Merge({first, single}, dir_.Path().string(), "single.tif");
    ASSERT_EQ(merged.Result, kMergeWritten);
    EXPECT_TRUE(SameBytes(ReadFile(merged.Output), ExpectedPlainMerge({first, single})));
  }
}

INSTANTIATE_TEST_SUITE_P(References, PlainPages, testing::ValuesIn(kAllOrders), OrdersName);

}  // namespace
}  // namespace vellox::test
