// Appends in place: the target keeps every byte but its last page's link and
// gains the new pages as a merge copies them, in its own format and byte
// order; a target that cannot take them is refused with nothing changed.
#include <gtest/gtest.h>

#include <filesystem>

#include "integration/merge_harness.hpp"
#include "merge/merger.hpp"
#include "support/libtiff_fixtures.hpp"
#include "support/tiff_builder.hpp"

namespace vellox::test {
namespace {

PageRecipe Page(Pixels kind, Codec codec, std::uint32_t seed) {
  PageRecipe page;
  page.Kind = kind;
  page.Compression = codec;
  page.Seed = seed;
  return page;
}

// Targets in both byte orders and both formats, written by libtiff. The
// first new page is in the other byte order with compressed 16-bit samples,
// so it is transcoded and its directory follows its image data.
TEST(Append, AddsPagesInTheTargetsFormatAndOrderRewritingOnlyTheLastLink) {
  for (const bool little : {true, false}) {
    for (const bool big : {false, true}) {
      SCOPED_TRACE(std::string(little ? "little" : "big") + "-endian " + (big ? "BigTIFF" : "classic"));
      TempDir dir;
      const std::string target = dir / "doc.tif", old = dir / "old.tif", a = dir / "a.tif", b = dir / "b.tif";
      WriteTiff(target, {little, {Page(Pixels::Grey8, Codec::Lzw, 1), Page(Pixels::Rgb8, Codec::None, 2)}, big});
      CopyFile(target, old);
      PageRecipe predicted = Page(Pixels::Grey16, Codec::Lzw, 3), exif = Page(Pixels::Palette8, Codec::PackBits, 5);
      predicted.Predictor = exif.Exif = true;
      WriteTiff(a, {!little, {predicted, Page(Pixels::Bilevel1, Codec::G4, 4)}});
      WriteTiff(b, {little, {exif}});

      const MergeReport report = vellox::Append(target, {a, b});
      ASSERT_EQ(report.Status, Status::Ok) << report.Reason;
      EXPECT_EQ(report.PagesWritten, 3u);
      EXPECT_EQ(report.BigTiff, big);
      EXPECT_EQ(report.Files[0].Transcoded.size(), 1u);
      const std::string before = ReadFile(old), after = ReadFile(target);
      EXPECT_EQ(after.size(), before.size() + report.BytesWritten);
      std::size_t changed = 0;
      for (std::size_t i = 0; i < before.size(); ++i) changed += before[i] != after[i];
      EXPECT_LE(changed, big ? 8u : 4u);
      EXPECT_EQ(IsBigEndianTiff(target), !little);
      ASSERT_EQ(vellox::Append(target, {a}).Status, Status::Ok);
      EXPECT_TRUE(PagesMatch(target, {{old, 0}, {old, 1}, {a, 0}, {a, 1}, {b, 0}, {a, 0}, {a, 1}}));
      if (!big) {  // libtiff's own BigTIFF directories are not 8-aligned
        EXPECT_TRUE(IsWellFormedTiff(target));
      }
    }
  }
}

class AppendRefusal : public ::testing::Test {
 protected:
  void SetUp() override {
    TiffBuilder input(true);
    input.AddGreyPage(8, 8, std::string(64, 'i'));
    WriteFile(Input(), input.Bytes());
  }
  std::string Input() const { return dir / "in.tif"; }

  // Appending `inputs` to a target of `bytes` fails as `status` says, with
  // `why` in the reason, and leaves the target as it was.
  void ExpectRefused(const std::string& bytes, Status status, const std::string& why,
                     std::vector<vellox::Input> inputs = {}) {
    WriteFile(dir / "target.tif", bytes);
    const MergeReport report =
        vellox::Append(dir / "target.tif", inputs.empty() ? std::vector<vellox::Input>{Input()} : inputs);
    EXPECT_EQ(report.Status, status) << report.Reason;
    EXPECT_NE(report.Reason.find(why), std::string::npos) << report.Reason;
    EXPECT_TRUE(ReadFile(dir / "target.tif") == bytes);
  }

  TempDir dir;
};

TEST_F(AppendRefusal, TargetsThatAreNotWholeChainsOfPagesOrThatAreAnInput) {
  ExpectRefused("not a TIFF file at all", Status::NotTiff, "not a TIFF file");
  ExpectRefused(std::string("II+\0\x04\0\0\0\x10\0\0\0\0\0\0\0", 16), Status::NotTiff, "BigTIFF header");
  TiffBuilder cut(true);
  cut.SetLink(cut.AddGreyPage(4, 4, std::string(16, 'c')), 1u << 20);
  ExpectRefused(cut.Bytes(), Status::Damaged, "is cut: page 2's directory at offset 1048576 lies outside the file");
  TiffBuilder loop(false);
  const std::uint32_t first = loop.AddGreyPage(4, 4, std::string(16, 'l'));
  for (int i = 0; i < 4; ++i) loop.AddGreyPage(4, 4, std::string(16, 'l'));
  loop.SetLink(loop.AddGreyPage(4, 4, std::string(16, 'l')), first);
  ExpectRefused(loop.Bytes(), Status::Damaged, "loops");
  TiffBuilder overlong(true, true);
  overlong.Overwrite(overlong.AddGreyPage(4, 4, std::string(16, 'o')), overlong.Number(1u << 30, 8));
  ExpectRefused(overlong.Bytes(), Status::Damaged, "runs past the end of the file");
  std::filesystem::create_directory_symlink(dir.Path(), dir / "link");
  ExpectRefused(cut.Bytes(), Status::InvalidRequest, "is the target itself", {Input(), dir / "link/target.tif"});
}

// Sparse targets just under 4 GiB: a classic one refuses a page that would
// pass the limit and takes one that fits; a BigTIFF one takes both.
TEST_F(AppendRefusal, AClassicTargetThatWouldPass4GiB) {
  TiffBuilder large(true);
  large.AddGreyPage(1024, 256, std::string(256u << 10, 'L'));
  WriteFile(dir / "large.tif", large.Bytes());
  WriteSparseTiff(dir / "classic.tif", 65535, 65535, false, "end");
  const std::uintmax_t size = std::filesystem::file_size(dir / "classic.tif");
  const MergeReport refused = vellox::Append(dir / "classic.tif", {Input(), dir / "large.tif"});
  EXPECT_EQ(refused.Status, Status::OutputFailed);
  EXPECT_NE(refused.Reason.find("merge --format bigtiff"), std::string::npos) << refused.Reason;
  EXPECT_EQ(std::filesystem::file_size(dir / "classic.tif"), size);
  EXPECT_EQ(vellox::Append(dir / "classic.tif", {Input()}).Status, Status::Ok);
  EXPECT_TRUE(PagesMatch(dir / "classic.tif", {{Input(), 0}}, 1));

  WriteSparseTiff(dir / "big.tif", 65535, 65535, true, "end");
  ASSERT_EQ(vellox::Append(dir / "big.tif", {Input(), dir / "large.tif"}).Status, Status::Ok);
  EXPECT_TRUE(PagesMatch(dir / "big.tif", {{Input(), 0}, {dir / "large.tif", 0}}, 1));
}

// Where the first new page goes when the link to it straddles two sectors:
// far enough on that any mix of the link's old bytes (zeros) and new ones
// reads as 0 or as the new value.
TEST(AppendLayout, ALinkAcrossSectorsCannotTearIntoAnotherValue) {
  EXPECT_EQ(FirstPagePosition(100001, 1000, 4, true, 2), 100002u);                    // inside one sector
  EXPECT_EQ(FirstPagePosition(100001, 510, 4, true, 2), 131072u);                     // 2 + 2: low half zero
  EXPECT_EQ(FirstPagePosition(40001, 510, 4, true, 2), 40002u);                       // high half zero already
  EXPECT_EQ(FirstPagePosition(100001, 510, 8, false, 8), 100008u);                    // big-endian 2 + 6
  EXPECT_EQ(FirstPagePosition(100001, 506, 8, false, 8), 131072u);                    // big-endian 6 + 2
  EXPECT_EQ(FirstPagePosition((5ull << 32) + 1, 508, 8, true, 8), (5ull << 32) + 8);  // 4 + 4 past 4 GiB: left
}

}  // namespace
}  // namespace vellox::test
