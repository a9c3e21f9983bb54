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

}  // namespace
}  // namespace vellox::test
