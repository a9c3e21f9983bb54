// Directories whose counts claim far more data than the file holds, or
// whose count times value size wraps around in 32 bits. The merge must fail
// such a file cleanly, without ever asking for a buffer sized by the count.
//
// This program replaces the global operator new to record the largest
// single request made while a merge runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "integration/merge_harness.hpp"
#include "support/libtiff_fixtures.hpp"
#include "support/tiff_builder.hpp"

namespace {

bool g_tracking = false;
std::size_t g_largestRequest = 0;

void* Allocate(std::size_t size) {
  if (g_tracking && size > g_largestRequest) g_largestRequest = size;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) {
  return Allocate(size);
}
void* operator new[](std::size_t size) {
  return Allocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace vellox::test {
namespace {

constexpr std::size_t kAllocationLimit = 1 << 20;  // far above anything a 1 KB input needs

std::string GreyPixels(std::uint32_t count, std::uint32_t seed) {
  std::string pixels;
  for (std::uint32_t i = 0; i < count; ++i) pixels.push_back(static_cast<char>((i * 13 + seed) & 0xFF));
  return pixels;
}

struct HostileCase {
  const char* Name;
  std::uint16_t Tag;
  std::uint16_t Type;
  std::uint64_t Count;
  bool Big = false;  // a BigTIFF, whose counts have 64 bits
};

// Counts whose byte size is huge, and counts whose byte size computed in
// 32 bits (64 in a BigTIFF) would wrap to 4 or 8 and look inline or tiny,
// or that would look small if cut to 32 bits.
std::vector<HostileCase> HostileCases() {
  return {
      {"long_max_count", 65000, 4, 0xFFFFFFFFu},
      {"byte_max_count", 65000, 1, 0xFFFFFFFFu},
      {"ascii_max_count", 270, 2, 0xFFFFFFFFu},
      {"rational_max_count", 282, 5, 0xFFFFFFFFu},
      {"double_max_count", 65000, 12, 0xFFFFFFFFu},
      {"long_count_wrapping_to_4", 65000, 4, 0x40000001u},
      {"short_count_wrapping_to_4", 65000, 3, 0x80000002u},
      {"double_count_wrapping_to_8", 65000, 12, 0x20000001u},
      {"strip_offsets_max_count", 273, 4, 0xFFFFFFFFu},
      {"strip_byte_counts_max_count", 279, 4, 0xFFFFFFFFu},
      {"strip_offsets_short_wrapping_to_4", 273, 3, 0x80000002u},
      {"bigtiff_long_max_count", 65000, 4, ~0ull, true},
      {"bigtiff_long8_count_wrapping_to_8", 65000, 16, 0x2000000000000001ull, true},
      {"bigtiff_short_count_wrapping_to_8", 65000, 3, 0x8000000000000004ull, true},
      {"bigtiff_ascii_count_4_plus_2_to_the_32", 270, 2, 0x100000004ull, true},
      {"bigtiff_strip_offsets_max_count", 273, 16, ~0ull, true},
      {"bigtiff_strip_byte_counts_wrapping_to_8", 279, 16, 0x2000000000000001ull, true},
  };
}

// A file whose first page is sound and whose second page carries the
// hostile entry, its value field pointing at offset 8. `reference` gets the
// same file without the second page.
std::string HostileFile(const HostileCase& c, bool little, std::string& reference) {
  TiffBuilder builder(little, c.Big);
  const std::uint32_t first = builder.AddGreyPage(24, 6, GreyPixels(24 * 6, 1), 2);
  reference = builder.Bytes();
  const Field hostile = builder.Raw(c.Tag, c.Type, c.Count, 8);
  if (c.Tag != 273 && c.Tag != 279) {
    builder.AddGreyPage(24, 6, GreyPixels(24 * 6, 2), 2, {hostile});
    return builder.Bytes();
  }
  // The hostile entry replaces the page's own strip entry.
  const std::uint32_t strip = builder.Append(GreyPixels(24 * 6, 2));
  std::vector<Field> fields = {builder.Values(256, 4, {24}), builder.Values(257, 4, {6}),
                               builder.Values(258, 3, {8}),  builder.Values(259, 3, {1}),
                               builder.Values(262, 3, {1}),  builder.Values(273, 4, {strip}),
                               builder.Values(278, 4, {6}),  builder.Values(279, 4, {24 * 6})};
  for (Field& f : fields)
    if (f.Tag == c.Tag) f = hostile;
  builder.SetLink(first, builder.AppendDirectory(fields));
  return builder.Bytes();
}

class HostileCount : public testing::TestWithParam<HostileCase> {
 protected:
  TempDir dir_;
};

// The file fails with -1 after its sound first page; the merge goes on
// with the next file; no single allocation comes near the claimed size.
TEST_P(HostileCount, FailsTheFileWithoutAllocating) {
  for (const bool little : {true, false}) {
    SCOPED_TRACE(little ? "little-endian" : "big-endian");
    std::string referenceBytes;
    const std::string hostile = dir_ / "hostile.tif";
    const std::string reference = dir_ / "reference.tif";
    WriteFile(hostile, HostileFile(GetParam(), little, referenceBytes));
    WriteFile(reference, referenceBytes);
    const std::string after = dir_ / "after.tif";
    WriteTiff(after, {little, {PageRecipe{}}});

    g_largestRequest = 0;
    g_tracking = true;
    const MergeOutcome merged = Merge({hostile, after}, dir_.Path().string());
    g_tracking = false;

    ASSERT_EQ(merged.Result, kMergeWritten);
    EXPECT_EQ(merged.Report.Files.at(0).Result, kFailed);
    EXPECT_EQ(merged.Report.Files.at(0).Pages, 1u);
    EXPECT_EQ(merged.Report.Files.at(1).Result, 1);
    EXPECT_LT(g_largestRequest, kAllocationLimit);
    EXPECT_TRUE(IsMergeOf(merged.Output, {{reference, 0}, {after, 0}}));
  }
}

// The hostile file alone: nothing but its first page is written.
TEST_P(HostileCount, AloneKeepsOnlyTheSoundPage) {
  std::string referenceBytes;
  const std::string hostile = dir_ / "hostile.tif";
  const std::string reference = dir_ / "reference.tif";
  WriteFile(hostile, HostileFile(GetParam(), false, referenceBytes));
  WriteFile(reference, referenceBytes);

  g_largestRequest = 0;
  g_tracking = true;
  const MergeOutcome merged = Merge({hostile}, dir_.Path().string());
  g_tracking = false;

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(0).Result, kFailed);
  EXPECT_LT(g_largestRequest, kAllocationLimit);
  EXPECT_TRUE(IsMergeOf(merged.Output, {{reference, 0}}));
}

void PrintTo(const HostileCase& c, std::ostream* out) {
  *out << c.Name;
}

std::string HostileName(const testing::TestParamInfo<HostileCase>& hostile) {
  return hostile.param.Name;
}

INSTANTIATE_TEST_SUITE_P(Entries, HostileCount, testing::ValuesIn(HostileCases()), HostileName);

// A directory that claims 65535 entries in a file of a few hundred bytes.
TEST(HostileDirectory, HugeEntryCountFailsTheFile) {
  TempDir dir;
  TiffBuilder builder(true);
  const std::uint32_t first = builder.AddGreyPage(8, 8, GreyPixels(64, 3));
  const std::string reference = dir / "reference.tif";
  WriteFile(reference, builder.Bytes());
  const std::uint32_t second = builder.Append(std::string("\xFF\xFF", 2) + std::string(40, '\0'));
  builder.SetLink(first, second);
  const std::string hostile = dir / "hostile.tif";
  WriteFile(hostile, builder.Bytes());

  g_largestRequest = 0;
  g_tracking = true;
  const MergeOutcome merged = Merge({hostile}, dir.Path().string());
  g_tracking = false;

  ASSERT_EQ(merged.Result, kMergeWritten);
  EXPECT_EQ(merged.Report.Files.at(0).Result, kFailed);
  EXPECT_EQ(merged.Report.Files.at(0).Pages, 1u);
  EXPECT_LT(g_largestRequest, kAllocationLimit);
  EXPECT_TRUE(IsMergeOf(merged.Output, {{reference, 0}}));
}

}  // namespace
}  // namespace vellox::test
