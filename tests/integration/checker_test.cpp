// The libtiff checker must notice what the merge tests rely on it to
// notice; a checker that passes everything would make them worthless.
#include <gtest/gtest.h>

#include "integration/merge_harness.hpp"
#include "support/libtiff_fixtures.hpp"
#include "support/tiff_builder.hpp"

namespace vellox::test {
namespace {

PageRecipe Grey(std::uint32_t seed, Codec codec = Codec::Lzw) {
  PageRecipe page;
  page.Compression = codec;
  page.Seed = seed;
  return page;
}

class Checker : public testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(Checker, AcceptsAFileAgainstItself) {
  const std::string file = dir_ / "a.tif";
  WriteTiff(file, {false, {Grey(1), Grey(2)}});
  EXPECT_TRUE(PagesMatch(file, PagesOf({file})));
  EXPECT_TRUE(ReadsCleanly(file));
  EXPECT_TRUE(TiffinfoClean(file));
  EXPECT_TRUE(IsWellFormedTiff(file));
}

// The same pixels stored in the other byte order decode the same.
TEST_F(Checker, AcceptsTheSamePageInTheOtherByteOrder) {
  const std::string little = dir_ / "le.tif";
  const std::string big = dir_ / "be.tif";
  PageRecipe wide = Grey(3, Codec::None);
  wide.Kind = Pixels::Grey16;
  WriteTiff(little, {true, {wide}});
  WriteTiff(big, {false, {wide}});
  EXPECT_TRUE(PagesMatch(big, {{little, 0}}));
}

TEST_F(Checker, RejectsDifferentPixels) {
  const std::string a = dir_ / "a.tif";
  const std::string b = dir_ / "b.tif";
  WriteTiff(a, {true, {Grey(1)}});
  WriteTiff(b, {true, {Grey(1, Codec::None)}});
  EXPECT_FALSE(PagesMatch(b, {{a, 0}}));  // different compression tag
  PageRecipe other = Grey(1);
  other.Noise = false;
  WriteTiff(b, {true, {other}});
  EXPECT_FALSE(PagesMatch(b, {{a, 0}}));  // same tags except the pixels
}

TEST_F(Checker, RejectsMissingExtraAndReorderedPages) {
  const std::string file = dir_ / "a.tif";
  WriteTiff(file, {true, {Grey(1), Grey(2)}});
  EXPECT_FALSE(PagesMatch(file, {{file, 0}}));
  EXPECT_FALSE(PagesMatch(file, {{file, 0}, {file, 1}, {file, 1}}));
  EXPECT_FALSE(PagesMatch(file, {{file, 1}, {file, 0}}));
}

// A file that libtiff reads with a warning fails every check, even when
// its pages are equal.
TEST_F(Checker, RejectsAFileLibtiffWarnsAbout) {
  TiffBuilder builder(true);
  builder.AddGreyPage(8, 4, std::string(32, '\x40'), 1, {builder.Values(65000, 4, {7})});
  const std::string file = dir_ / "warns.tif";
  WriteFile(file, builder.Bytes());
  EXPECT_FALSE(PagesMatch(file, {{file, 0}}));
  EXPECT_FALSE(ReadsCleanly(file));
}

TEST_F(Checker, TiffinfoRejectsABrokenChain) {
  if (!TiffinfoAvailable()) GTEST_SKIP() << "tiffinfo is not installed";
  const std::string good = dir_ / "good.tif";
  WriteTiff(good, {true, {Grey(1)}});
  std::string bytes = ReadFile(good);
  const RawChain chain = WalkChain(bytes);
  ASSERT_EQ(chain.Directories.size(), 1u);
  bytes.push_back('\xA0');
  const std::size_t linkAt = chain.Directories[0] + 2 + 12 * static_cast<unsigned char>(bytes[chain.Directories[0]]);
  const auto dangling = static_cast<std::uint32_t>(bytes.size() - 1);  // the trailing byte
  for (std::size_t i = 0; i < 4; ++i) bytes[linkAt + i] = static_cast<char>((dangling >> (8 * i)) & 0xFF);
  const std::string broken = dir_ / "broken.tif";
  WriteFile(broken, bytes);
  EXPECT_FALSE(TiffinfoClean(broken));
  EXPECT_FALSE(IsMergeOf(broken, {{good, 0}}));
}

// libtiff reads all of these without a word; the structure check must not.
class StructureCheck : public Checker {
 protected:
  // The structure check rejects the built file saying `why`; libtiff, when
  // `libtiffReadsIt`, reads it without a word.
  testing::AssertionResult Rejects(const TiffBuilder& builder, const std::string& why, bool libtiffReadsIt = true) {
    const std::string file = dir_ / "built.tif";
    WriteFile(file, builder.Bytes());
    if (testing::AssertionResult clean = ReadsCleanly(file); libtiffReadsIt && !clean) return clean;
    const testing::AssertionResult structure = IsWellFormedTiff(file);
    if (structure) return testing::AssertionFailure() << "the structure check accepts it";
    if (std::string(structure.message()).find(why) == std::string::npos)
      return testing::AssertionFailure() << "the structure check says: " << structure.message();
    return testing::AssertionSuccess();
  }
};

TEST_F(StructureCheck, NoticesMisalignedDirectoriesAndValues) {
  TiffBuilder oddPage(true);
  oddPage.AddGreyPage(2, 1, "ab");  // a byte and the 2-byte strip after the header
  EXPECT_TRUE(Rejects(oddPage, "page 0: the directory at 11 does not start at a multiple of 2"));

  TiffBuilder bigPage(true, true);
  bigPage.AddGreyPage(5, 1, "abcde");
  EXPECT_TRUE(Rejects(bigPage, "page 0: the directory at 22 does not start at a multiple of 8"));

  TiffBuilder oddExif(false);
  oddExif.Append("\x01");
  const std::uint32_t exif = oddExif.AppendDirectory({oddExif.Values(34855, 3, {100})});
  oddExif.AddGreyPage(4, 4, std::string(16, 'g'), 1, {oddExif.Values(34665, 4, {exif})});
  EXPECT_TRUE(Rejects(oddExif, "page 0 EXIF: the directory at 9 does not start at a multiple of 2"));

  TiffBuilder oddValue(true);
  oddValue.Append("\x01");
  const Field text = oddValue.Values(270, 2, {'o', 'd', 'd', ' ', 'v', 'a', 'l', 0});
  oddValue.AddGreyPage(4, 4, std::string(16, 'g'), 1, {text});
  EXPECT_TRUE(Rejects(oddValue, "page 0: tag 270's value starts at the odd offset 9"));
}

TEST_F(StructureCheck, NoticesOverlapsAndLoops) {
  TiffBuilder shared(true);
  const Field text = shared.Values(270, 2, {'s', 'h', 'a', 'r', 'i', 'n', 'g', 0});
  shared.AddGreyPage(5, 3, std::string(15, 'g'), 1, {text, Field{305, 2, 8, text.ValueField}});
  EXPECT_TRUE(Rejects(shared, "tag 305's value (bytes 8 to 16) overlaps page 0: tag 270's value (bytes 8 to 16)"));

  TiffBuilder inStrip(true);
  inStrip.Append("\x01");                             // AddGreyPage's byte at 9, then the strip at 10
  const std::string pixels("ggggggggggg\0gggg", 16);  // the text's last byte, at 21, is pixel 11
  inStrip.AddGreyPage(4, 4, pixels, 1, {inStrip.Raw(270, 2, 10, 12)});
  EXPECT_TRUE(
      Rejects(inStrip, "tag 270's value (bytes 12 to 22) overlaps page 0's strip 0 (tag 273) (bytes 10 to 26)"));

  TiffBuilder loop(true);
  loop.Append("\x01");
  const std::uint32_t page = loop.AddGreyPage(4, 4, std::string(16, 'g'));
  loop.SetLink(page, page);
  EXPECT_TRUE(Rejects(loop, "page 1: the directory at 26 is reached a second time", false));  // libtiff warns too
}

}  // namespace
}  // namespace vellox::test
