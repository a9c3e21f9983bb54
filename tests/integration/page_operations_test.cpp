// Page operations through the library, read back with libtiff page by
// page: selections, collation and splits.
#include <gtest/gtest.h>

#include <filesystem>

#include "integration/merge_harness.hpp"
#include "support/libtiff_fixtures.hpp"
#include "vellox/vellox.hpp"

namespace vellox::test {
namespace {

class PageOperationsTest : public ::testing::Test {
 protected:
  // A file of `count` distinct pages, mixed codecs.
  std::string File(const std::string& name, std::uint32_t count, bool little = true, bool big = false) {
    FileRecipe recipe{little, {}, big};
    for (std::uint32_t i = 0; i < count; ++i) {
      PageRecipe page;
      page.Compression = i % 2 == 0 ? Codec::Lzw : Codec::None;
      page.Seed = i + 1;
      recipe.Pages.push_back(page);
    }
    const std::string path = dir / name;
    WriteTiff(path, recipe);
    return path;
  }
  MergeReport MergeOf(std::vector<Input> inputs, bool collate = false) {
    MergeRequest request;
    request.Inputs = std::move(inputs);
    request.Output = dir / "out.tif";
    request.Options.Collate = collate;
    return vellox::Merge(request);
  }
  std::string Out() const { return dir / "out.tif"; }
  TempDir dir;
};

TEST_F(PageOperationsTest, SelectionsTakeTheirPagesInTheirOrder) {
  const std::string a = File("a.tif", 4), b = File("b.tif", 2, false);
  const MergeReport report = MergeOf({Input(a, "z-1,x2"), Input(b, "2"), Input(a, "r1,1")});
  ASSERT_EQ(report.Status, Status::Ok) << report.Reason;
  EXPECT_EQ(report.Files[0].Pages, 3u);
  EXPECT_TRUE(IsMergeOf(Out(), {{a, 3}, {a, 2}, {a, 0}, {b, 1}, {a, 3}, {a, 0}}));
}

TEST_F(PageOperationsTest, APageTheFileLacksWritesNothingAndNamesFileAndPage) {
  const std::string a = File("a.tif", 3);
  const MergeReport report = MergeOf({a, Input(a, "2,5")});
  EXPECT_EQ(report.Status, Status::InvalidRequest);
  EXPECT_NE(report.Reason.find("a.tif: pages 2,5: it has 3 pages, so it has no page 5"), std::string::npos)
      << report.Reason;
  EXPECT_EQ(report.Files[1].Status, Status::InvalidRequest);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.tif"}));
  EXPECT_EQ(MergeOf({Input(a, "1-")}).Status, Status::InvalidRequest);  // not a selection at all
}

TEST_F(PageOperationsTest, CollateTakesOnePageOfEachInTurnAndGoesOnWithTheLonger) {
  const std::string fronts = File("fronts.tif", 3), backs = File("backs.tif", 2, false);
  const MergeReport report = MergeOf({fronts, Input(backs, "z-1")}, true);
  ASSERT_EQ(report.Status, Status::Ok) << report.Reason;
  EXPECT_TRUE(IsMergeOf(Out(), {{fronts, 0}, {backs, 1}, {fronts, 1}, {backs, 0}, {fronts, 2}}));
  EXPECT_EQ(report.Files[0].Pages, 3u);
  EXPECT_EQ(report.Files[1].Pages, 2u);
  EXPECT_FALSE(SomeInputFailed(report));
}

TEST_F(PageOperationsTest, SplitWritesWholeFilesInTheInputsFormatAndOrder) {
  for (const bool big : {false, true}) {
    SCOPED_TRACE(big ? "BigTIFF, big-endian" : "classic, big-endian");
    const std::string in = File(big ? "big.tif" : "classic.tif", 5, false, big);
    SplitRequest request;
    request.Source = Input(in, "2-z");
    request.Pattern = dir / (big ? "b-%02d.tif" : "c-%d.tif");
    request.Every = 2;
    const SplitReport report = vellox::Split(request);
    ASSERT_EQ(report.Status, Status::Ok) << report.Reason;
    ASSERT_EQ(report.Parts.size(), 2u);
    EXPECT_EQ(report.PagesWritten, 4u);
    EXPECT_EQ(report.BigTiff, big);
    const std::string first = dir / (big ? "b-01.tif" : "c-1.tif");
    const std::string second = dir / (big ? "b-02.tif" : "c-2.tif");
    EXPECT_EQ(report.Parts[0], first);
    EXPECT_TRUE(IsMergeOf(first, {{in, 1}, {in, 2}}));
    EXPECT_TRUE(IsMergeOf(second, {{in, 3}, {in, 4}}));
    EXPECT_TRUE(IsBigEndianTiff(second));
    EXPECT_EQ(WalkChain(ReadFile(second)).Big, big);
  }
}

TEST_F(PageOperationsTest, SplitRefusesBadPatternsAndLeavesNoPartWhenAPageFails) {
  const std::string in = File("in.tif", 2);
  SplitRequest request;
  request.Source = in;
  for (const char* pattern : {"p.tif", "p-%d-%d.tif", "p-%s.tif"}) {
    request.Pattern = dir / pattern;
    const SplitReport report = vellox::Split(request);
    EXPECT_EQ(report.Status, Status::InvalidRequest) << pattern;
    EXPECT_NE(report.Reason.find("%d"), std::string::npos) << report.Reason;
  }
  // The second page's strips are cut off (in a merged file its directory
  // comes first): the first part was written, but is not named, as no part
  // is unless all are.
  ASSERT_EQ(MergeOf({in}).Status, Status::Ok);
  std::string bytes = ReadFile(Out());
  std::filesystem::remove(Out());
  const RawChain chain = WalkChain(bytes);
  ASSERT_EQ(chain.Directories.size(), 2u);
  bytes.resize(chain.Directories[1] + 600);
  WriteFile(dir / "cut.tif", bytes);
  request.Source = dir / "cut.tif";
  request.Pattern = dir / "part-%d.tif";
  const SplitReport report = vellox::Split(request);
  EXPECT_NE(report.Status, Status::Ok);
  EXPECT_NE(report.Reason.find("no part was written"), std::string::npos) << report.Reason;
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"cut.tif", "in.tif"}));
}

}  // namespace
}  // namespace vellox::test
