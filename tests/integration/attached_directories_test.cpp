// Pages that carry directories of their own: an EXIF directory, and a
// reduced-resolution copy as a sub-directory. libtiff must find both in the
// output, with the same fields and pixels, whatever the byte orders.
#include <gtest/gtest.h>

#include "integration/merge_harness.hpp"
#include "support/libtiff_fixtures.hpp"

namespace vellox::test {
namespace {

struct AttachedCase {
  bool Exif;
  bool Thumbnail;
  bool FirstLittleEndian;
  bool SecondLittleEndian;
};

std::vector<AttachedCase> AttachedCases() {
  std::vector<AttachedCase> cases;
  const std::pair<bool, bool> kinds[] = {{true, false}, {false, true}, {true, true}};  // EXIF, thumbnail
  const std::pair<bool, bool> orders[] = {{true, true}, {false, false}, {true, false}, {false, true}};
  for (const auto& [exif, thumbnail] : kinds)
    for (const auto& [first, second] : orders) cases.push_back({exif, thumbnail, first, second});
  return cases;
}

std::string AttachedName(const testing::TestParamInfo<AttachedCase>& attached) {
  const AttachedCase& c = attached.param;
  std::string name = c.Exif && c.Thumbnail ? "exif_and_thumbnail" : c.Exif ? "exif" : "thumbnail";
  if (c.FirstLittleEndian == c.SecondLittleEndian) return name + (c.FirstLittleEndian ? "_le" : "_be");
  return name + (c.FirstLittleEndian ? "_le_then_be" : "_be_then_le");
}

class AttachedDirectories : public testing::TestWithParam<AttachedCase> {
 protected:
  PageRecipe WithAttachments(Pixels kind, Codec codec, Layout layout, std::uint32_t seed) const {
    PageRecipe page;
    page.Kind = kind;
    page.Compression = codec;
    page.Organisation = layout;
    page.Seed = seed;
    page.Exif = GetParam().Exif;
    page.Thumbnail = GetParam().Thumbnail;
    return page;
  }

  TempDir dir_;
};

// Two files, each page with its attachments, the second file in the
// parameter's byte order: every page and every attachment reads the same.
TEST_P(AttachedDirectories, ComeAlongWithTheirPage) {
  const AttachedCase& c = GetParam();
  const std::string first = dir_ / "first.tif";
  const std::string second = dir_ / "second.tif";
  WriteTiff(first, {c.FirstLittleEndian,
                    {WithAttachments(Pixels::Rgb8, Codec::Lzw, Layout::Strips, 1),
                     WithAttachments(Pixels::Grey8, Codec::None, Layout::Tiles, 2)}});
  WriteTiff(second, {c.SecondLittleEndian,
                     {WithAttachments(Pixels::Palette8, Codec::Deflate, Layout::Strips, 3),
                      WithAttachments(Pixels::Grey16, Codec::None, Layout::Strips, 4),
                      WithAttachments(Pixels::Bilevel1, Codec::G4, Layout::Strips, 5)}});
  ASSERT_EQ(CountPages(first), 2);
  ASSERT_EQ(CountPages(second), 3);

  const MergeOutcome merged = Merge({first, second}, dir_.Path().string());

  ASSERT_EQ(merged.Result, kMergeWritten);
  for (const FileReport& file : merged.Report.Files) {
    EXPECT_EQ(file.Result, 1) << file.Path << ": " << file.Reason;
    EXPECT_TRUE(file.Skipped.empty()) << file.Path;
  }
  EXPECT_EQ(merged.Report.PagesWritten, 5u);
  EXPECT_TRUE(IsMergeOf(merged.Output, PagesOf({first, second})));
}

void PrintTo(const AttachedCase& c, std::ostream* out) {
  *out << AttachedName(testing::TestParamInfo<AttachedCase>(c, 0));
}

INSTANTIATE_TEST_SUITE_P(Kinds, AttachedDirectories, testing::ValuesIn(AttachedCases()), AttachedName);

}  // namespace
}  // namespace vellox::test
