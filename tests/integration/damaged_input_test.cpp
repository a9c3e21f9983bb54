// Merges with inputs that are not TIFFs, cut short, looping, empty of
// pages, listed twice, or the output itself. Whatever the inputs, the
// output is a TIFF that libtiff reads without complaint, holding exactly
// the pages that could be copied whole.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <memory>

#include "integration/merge_harness.hpp"
#include "support/libtiff_fixtures.hpp"
#include "support/tiff_builder.hpp"

namespace vellox::test {
namespace {

PageRecipe Page(Pixels kind, Codec codec, std::uint32_t seed = 1) {
  PageRecipe page;
  page.Kind = kind;
  page.Compression = codec;
  page.Seed = seed;
  return page;
}

std::string GreyPixels(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  std::string pixels;
  for (std::uint32_t i = 0; i < width * height; ++i) pixels.push_back(static_cast<char>((i * 7 + seed * 31) & 0xFF));
  return pixels;
}

// A file of `pages` grey pages built byte by byte, each in three strips.
TiffBuilder GreyFile(bool little, std::uint32_t pages, std::vector<std::uint32_t>& directories) {
  TiffBuilder builder(little);
  for (std::uint32_t i = 0; i < pages; ++i)
    directories.push_back(builder.AddGreyPage(20, 9, GreyPixels(20, 9, i + 1), 3));
  return builder;
}

class DamagedInput : public testing::Test {
 protected:
  std::string Good(const std::string& name, std::vector<PageRecipe> pages, bool little = true) {
    const std::string path = dir_ / name;
    WriteTiff(path, {little, std::move(pages)});
    return path;
  }
  std::string Raw(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ / name;
    WriteFile(path, bytes);
    return path;
  }
  MergeOutcome MergeAll(const std::vector<std::string>& inputs, const std::string& name = "merged.tif") {
    return Merge(inputs, dir_.Path().string(), name);
  }

  TempDir dir_;
};

// --- Files that are not TIFFs, or too short to be read ----------------------

struct RejectedCase {
  const char* Name;
  std::string Bytes;
  std::int32_t FileResult;
};

std::vector<RejectedCase> RejectedCases() {
  return {
      {"text", "this is not a TIFF file, just some text\n", kNotTiff},
      {"big_endian_mark_without_magic", std::string("MM\0\x2c\0\0\0\x08", 8), kNotTiff},
      // BigTIFF's version 43, but offsets of 0 bytes, or a reserved field that is not 0.
      {"bigtiff_offset_size_0", std::string("MM\0\x2b\0\0\0\0\0\0\0\0\0\0\0\x10", 16), kFailed},
      {"bigtiff_reserved_not_0", std::string("II\x2b\0\x08\0\x01\0\x10\0\0\0\0\0\0\0", 16), kFailed},
      {"header_only_4_bytes", std::string("II*\0", 4), kFailed},
      {"first_directory_past_the_end", std::string("II*\0\x00\x10\0\0", 8), kFailed},
      {"first_directory_cut", std::string("II*\0\x08\0\0\0\x05\0\x00\x01\x04\0", 14), kFailed},
  };
}

class RejectedFile : public DamagedInput, public testing::WithParamInterface<RejectedCase> {};

// The last file is rejected: the pages before it are intact and the last
// directory written ends the chain with a link of 0.
TEST_P(RejectedFile, AsLastFile) {
  const std::string good = Good("good.tif", {Page(Pixels::Grey8, Codec::Lzw), Page(Pixels::Rgb8, Codec::None, 2)});
  const std::string bad = Raw("bad.tif", GetParam().Bytes);

  const MergeOutcome merged = MergeAll({good, bad});

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(0).Result, 1);
  EXPECT_EQ(merged.Report.Files.at(1).Result, GetParam().FileResult);
  EXPECT_EQ(merged.Report.Files.at(1).Pages, 0u);
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({good})));
}

// A rejected file between two good ones leaves no trace.
TEST_P(RejectedFile, BetweenGoodFiles) {
  const std::string before = Good("before.tif", {Page(Pixels::Palette8, Codec::Deflate)});
  const std::string bad = Raw("bad.tif", GetParam().Bytes);
  const std::string after = Good("after.tif", {Page(Pixels::Bilevel1, Codec::G4, 3)});

  const MergeOutcome merged = MergeAll({before, bad, after});

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(1).Result, GetParam().FileResult);
  EXPECT_EQ(merged.Report.Files.at(2).Result, 1);
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({before, after})));
}

void PrintTo(const RejectedCase& c, std::ostream* out) {
  *out << c.Name;
}

std::string RejectedName(const testing::TestParamInfo<RejectedCase>& rejected) {
  return rejected.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Kinds, RejectedFile, testing::ValuesIn(RejectedCases()), RejectedName);

// --- Truncated files ----------------------------------------------------------

// Where the third page's second strip lies in a file written by libtiff.
std::uint64_t MiddleOfThirdPageStrips(const std::string& path) {
  std::unique_ptr<TIFF, void (*)(TIFF*)> tif(TIFFOpen(path.c_str(), "r"), [](TIFF* t) { TIFFClose(t); });
  if (!tif || TIFFSetDirectory(tif.get(), 2) != 1) throw std::runtime_error("cannot read " + path);
  return TIFFGetStrileOffset(tif.get(), 1) + TIFFGetStrileByteCount(tif.get(), 1) / 2;
}

// Cut in the middle of the third page's strips (and so before that page's
// directory): the first two pages are copied, then the file fails.
TEST_F(DamagedInput, FileCutInTheMiddleOfItsStrips) {
  const std::string whole =
      Good("whole.tif", {Page(Pixels::Grey8, Codec::Lzw, 1), Page(Pixels::Rgb8, Codec::Deflate, 2),
                         Page(Pixels::Grey8, Codec::PackBits, 3)});
  const std::string cut = Raw("cut.tif", ReadFile(whole).substr(0, MiddleOfThirdPageStrips(whole)));
  const std::string after = Good("after.tif", {Page(Pixels::Palette8, Codec::Lzw, 4)});

  const MergeOutcome merged = MergeAll({cut, after});

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(0).Result, kFailed);
  EXPECT_EQ(merged.Report.Files.at(0).Pages, 2u);
  EXPECT_EQ(merged.Report.Files.at(1).Result, 1);
  EXPECT_TRUE(IsMergeOf(merged.Output, {{whole, 0}, {whole, 1}, {after, 0}}));
}

// The same cut file last in the list: its complete pages end the chain.
TEST_F(DamagedInput, CutFileLast) {
  const std::string first = Good("first.tif", {Page(Pixels::Bilevel1, Codec::G4)}, false);
  const std::string whole = Good(
      "whole.tif",
      {Page(Pixels::Grey8, Codec::None, 1), Page(Pixels::Grey8, Codec::Lzw, 2), Page(Pixels::Grey8, Codec::Deflate, 3)},
      false);
  const std::string cut = Raw("cut.tif", ReadFile(whole).substr(0, MiddleOfThirdPageStrips(whole)));

  const MergeOutcome merged = MergeAll({first, cut});

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(1).Result, kFailed);
  EXPECT_TRUE(IsMergeOf(merged.Output, {{first, 0}, {whole, 0}, {whole, 1}}));
}

// A directory that is whole but whose last strip runs past the end of the
// file: nothing of that page is written, the page before it and the next
// file are intact and correctly linked.
TEST_F(DamagedInput, DirectoryWhoseStripRunsPastTheEnd) {
  for (const bool little : {true, false}) {
    SCOPED_TRACE(little ? "little-endian" : "big-endian");
    std::vector<std::uint32_t> directories;
    TiffBuilder builder = GreyFile(little, 1, directories);
    const std::string complete = Raw("complete.tif", builder.Bytes());
    // A second page whose directory comes before its single strip.
    const std::uint32_t width = 16, height = 8;
    const auto directory = static_cast<std::uint32_t>(builder.Bytes().size());
    const std::uint32_t strip = directory + 2 + 12 * 8 + 4;
    builder.AppendDirectory({builder.Values(256, 4, {width}), builder.Values(257, 4, {height}),
                             builder.Values(258, 3, {8}), builder.Values(259, 3, {1}), builder.Values(262, 3, {1}),
                             builder.Values(273, 4, {strip}), builder.Values(278, 4, {height}),
                             builder.Values(279, 4, {width * height})});
    builder.SetLink(directories[0], directory);
    builder.Append(GreyPixels(width, height, 9));
    const std::string cut = Raw("cut.tif", builder.Bytes().substr(0, strip + width * height / 2));
    const std::string after = Good("after.tif", {Page(Pixels::Rgb8, Codec::Lzw, 5)}, little);

    const MergeOutcome merged = MergeAll({cut, after});

    ASSERT_EQ(merged.Result, kMergeWritten);
    EXPECT_EQ(merged.Report.Files.at(0).Result, kFailed);
    EXPECT_EQ(merged.Report.Files.at(0).Pages, 1u);
    EXPECT_TRUE(IsMergeOf(merged.Output, {{complete, 0}, {after, 0}}));
  }
}

// --- Directory loops --------------------------------------------------------

struct LoopCase {
  const char* Name;
  std::uint32_t Target;  // which directory the last one links back to
};

class LoopingChain : public DamagedInput, public testing::WithParamInterface<LoopCase> {};

// The last of three directories links back to an earlier one (or itself):
// every page is copied exactly once and the file counts as complete.
TEST_P(LoopingChain, EachPageOnce) {
  for (const bool little : {true, false}) {
    SCOPED_TRACE(little ? "little-endian" : "big-endian");
    std::vector<std::uint32_t> directories;
    TiffBuilder builder = GreyFile(little, 3, directories);
    const std::string reference = Raw("reference.tif", builder.Bytes());
    builder.SetLink(directories[2], directories[GetParam().Target]);
    const std::string looping = Raw("looping.tif", builder.Bytes());
    const std::string after = Good("after.tif", {Page(Pixels::Grey8, Codec::Lzw, 8)}, little);

    const MergeOutcome merged = MergeAll({looping, after});

    ASSERT_EQ(merged.Result, kMergeWritten);
    EXPECT_EQ(merged.Report.Files.at(0).Result, 1) << merged.Report.Files.at(0).Reason;
    EXPECT_EQ(merged.Report.Files.at(0).Pages, 3u);
    EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({reference, after})));
  }
}

void PrintTo(const LoopCase& c, std::ostream* out) {
  *out << c.Name;
}

std::string LoopName(const testing::TestParamInfo<LoopCase>& loop) {
  return loop.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Targets, LoopingChain,
                         testing::Values(LoopCase{"back_to_first", 0}, LoopCase{"back_to_second", 1},
                                         LoopCase{"to_itself", 2}),
                         LoopName);

// --- Files without pages -----------------------------------------------------

const std::string kNoPagesLittle("II*\0\0\0\0\0", 8);
const std::string kNoPagesBig("MM\0*\0\0\0\0", 8);

// A valid header whose first directory offset is 0 contributes nothing and
// is not a failure, wherever it stands.
TEST_F(DamagedInput, FileWithoutPagesInTheMiddleAndLast) {
  const std::string a = Good("a.tif", {Page(Pixels::Grey8, Codec::None)});
  const std::string none1 = Raw("none1.tif", kNoPagesLittle);
  const std::string b = Good("b.tif", {Page(Pixels::Rgb8, Codec::Lzw, 2)}, false);
  const std::string none2 = Raw("none2.tif", kNoPagesBig);

  const MergeOutcome merged = MergeAll({a, none1, b, none2});

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(1).Result, 1);
  EXPECT_EQ(merged.Report.Files.at(1).Pages, 0u);
  EXPECT_EQ(merged.Report.Files.at(3).Result, 1);
  EXPECT_EQ(merged.Report.Files.at(3).Pages, 0u);
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({a, b})));
}

// A file without pages first sets the byte order; the pages come later.
TEST_F(DamagedInput, FileWithoutPagesFirst) {
  const std::string none = Raw("none.tif", kNoPagesBig);
  const std::string a = Good("a.tif", {Page(Pixels::Palette8, Codec::PackBits)}, true);

  const MergeOutcome merged = MergeAll({none, a});

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_TRUE(IsBigEndianTiff(merged.Output));
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({a})));
}

// Nothing to write at all: no output file, and the merge says so.
TEST_F(DamagedInput, OnlyFilesWithoutPagesLeaveNoOutput) {
  const std::string none1 = Raw("none1.tif", kNoPagesLittle);
  const std::string none2 = Raw("none2.tif", kNoPagesLittle);

  const MergeOutcome merged = MergeAll({none1, none2});

  EXPECT_EQ(merged.Result, kFailed);
  EXPECT_FALSE(Exists(merged.Output));
  EXPECT_EQ(dir_.Names(), (std::vector<std::string>{"none1.tif", "none2.tif"}));
}

// --- The same file twice, and the output among the inputs --------------------

TEST_F(DamagedInput, SameFileListedTwice) {
  const std::string a = Good("a.tif", {Page(Pixels::Grey8, Codec::Lzw), Page(Pixels::Bilevel1, Codec::G4, 2)});

  const MergeOutcome merged = MergeAll({a, a});

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(0).Pages, 2u);
  EXPECT_EQ(merged.Report.Files.at(1).Pages, 2u);
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({a, a})));
}

// The output replaces one of its own inputs: every input is read as it was
// before the merge, and only the output is left in its place.
TEST_F(DamagedInput, OutputOverwritesAnInput) {
  for (const std::string target : {"a.tif", "b.tif"}) {
    SCOPED_TRACE("output named " + target);
    TempDir originals;
    const std::string a = Good("a.tif", {Page(Pixels::Rgb8, Codec::Deflate), Page(Pixels::Grey8, Codec::None, 2)});
    const std::string b = Good("b.tif", {Page(Pixels::Palette8, Codec::Lzw, 3)}, false);
    CopyFile(a, originals / "a.tif");
    CopyFile(b, originals / "b.tif");

    const MergeOutcome merged = MergeAll({a, b}, target);

    ASSERT_EQ(merged.Result, kMergeWritten);
    EXPECT_EQ(merged.Report.PagesWritten, 3u);
    EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({originals / "a.tif", originals / "b.tif"})));
    EXPECT_EQ(dir_.Names(), (std::vector<std::string>{"a.tif", "b.tif"}));
  }
}

}  // namespace
}  // namespace vellox::test
