// The page-selection grammar in one table: what each text selects of a
// file of a given length, or why it is refused (as text, or for that file).
#include <gtest/gtest.h>

#include <fstream>

#include "vellox/vellox.hpp"

namespace vellox {
namespace {

struct Case {
  const char* Text;
  std::uint64_t PageCount;
  std::vector<std::uint32_t> Pages;  // 1-based; empty: refused
  const char* Why = "";              // part of the reason when refused
};

std::vector<std::uint32_t> OneBased(std::vector<std::uint32_t> pages) {
  for (std::uint32_t& page : pages) ++page;
  return pages;
}

TEST(PageSelectionTest, EachTextSelectsItsPagesOrSaysWhyNot) {
  const std::vector<Case> cases = {
      {"1", 3, {1}},
      {"2-z", 4, {2, 3, 4}},
      {"z-1", 3, {3, 2, 1}},          // backwards
      {"r1", 5, {5}},                 // the last page
      {"r2-z", 5, {4, 5}},            // from the end
      {"1,1,2", 2, {1, 1, 2}},        // repeats kept
      {"1-z,x3-4", 6, {1, 2, 5, 6}},  // exclusion
      {"1-z,x4-3", 6, {1, 2, 5, 6}},  // either direction
      {"3,1-2,x3", 3, {1, 2}},        // removes every occurrence so far
      {"1-2,x1,2", 3, {2, 2}},        // later items add again
      {"z", 1, {1}},
      {"7", 6, {}, "it has 6 pages, so it has no page 7"},
      {"r7", 6, {}, "no page r7"},
      {"1-z,x9", 6, {}, "no page 9"},  // exclusions are checked too
      {"1,x1", 3, {}, "leaves no page"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Text) + " of " + std::to_string(c.PageCount) + " pages");
    PageSelection selection;
    ASSERT_TRUE(PageSelection::Parse(c.Text, selection));
    EXPECT_EQ(selection.Text(), c.Text);
    std::string why;
    const auto picked = selection.Pick(c.PageCount, &why);
    if (c.Pages.empty()) {
      EXPECT_FALSE(picked);
      EXPECT_NE(why.find(c.Why), std::string::npos) << why;
    } else {
      ASSERT_TRUE(picked) << why;
      EXPECT_EQ(OneBased(*picked), c.Pages);
    }
  }
}

TEST(PageSelectionTest, TextThatIsNotASelectionIsRefusedAsText) {
  for (const char* text :
       {"", "0", "1-", "-3", "a", "1,,2", "x2", "r0", "01", "1-2-3", " 1", "z2", "1;2", "99999999999999999999"}) {
    SCOPED_TRACE(text);
    PageSelection selection;
    std::string why;
    EXPECT_FALSE(PageSelection::Parse(text, selection, &why));
    EXPECT_FALSE(why.empty());
  }
  // Without a selection, every page in order; more pages than a selection
  // may take are refused rather than allocated.
  EXPECT_EQ(PageSelection().Pick(3), (std::vector<std::uint32_t>{0, 1, 2}));
  PageSelection huge;
  ASSERT_TRUE(PageSelection::Parse("1-z,1-z", huge));
  EXPECT_FALSE(huge.Pick(PageSelection::kMostPages));
}

TEST(PageSelectionTest, ArgumentsAreReadAsPathAndPagesOnlyWhenNoFileHasTheWholeName) {
  EXPECT_EQ(InputFromArgument("scan.tif:2-z").Pages, "2-z");
  EXPECT_EQ(InputFromArgument("scan.tif:2-z").Path, "scan.tif");
  EXPECT_EQ(InputFromArgument("C:\\scans\\a.tif").Pages, "");  // a drive letter
  EXPECT_EQ(InputFromArgument("notes:draft.tif").Pages, "");   // not a selection after the colon
  EXPECT_EQ(InputFromArgument(":1").Pages, "");                // no path before it
  EXPECT_TRUE(InputFromArgument("-").FromStandardInput);
  EXPECT_EQ(InputFromArgument("-:1-2").Pages, "1-2");
  const std::filesystem::path odd = std::filesystem::temp_directory_path() / "vellox-selection-test:1";
  std::ofstream(odd).put('x');
  EXPECT_EQ(InputFromArgument(odd.string()).Pages, "");  // an existing file keeps its whole name
  std::filesystem::remove(odd);
}

}  // namespace
}  // namespace vellox
