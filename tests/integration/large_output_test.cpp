// A merge whose output passes 4 GiB, from sparse inputs (their image data is
// a hole, so they cost neither disk nor time to make). The output is real:
// about 4.4 GB written, so this program has its own CTest label, `large`,
// and skips itself when the disk lacks the room.
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <tiffio.h>

#include <filesystem>
#include <fstream>

#include "integration/merge_harness.hpp"
#include "support/libtiff_fixtures.hpp"
#include "support/libtiff_messages.hpp"
#include "support/tiff_builder.hpp"

namespace vellox::test {
namespace {

constexpr std::uint32_t kWidth = 50000, kHeight = 44000;  // one 2.2 GB strip per large page
constexpr std::uint64_t k4GiB = 1ull << 32;

std::string BytesAt(const std::string& path, std::uint64_t offset, std::size_t length) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes(length, '\0');
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(bytes.data(), static_cast<std::streamsize>(length));
  return bytes;
}

// A page whose old-style JPEG stream is found through JPEGInterchangeFormat,
// a LONG even in BigTIFF: beyond 4 GiB it cannot be pointed at.
std::string OldJpegPage() {
  TiffBuilder b(true);
  const std::uint32_t stream = b.Append(std::string("\xFF\xD8\xFF\xD9", 4));
  b.SetFirstDirectory(b.AppendDirectory({b.Values(256, 4, {8}), b.Values(257, 4, {8}), b.Values(258, 3, {8}),
                                         b.Values(259, 3, {6}), b.Values(262, 3, {1}), b.Values(277, 3, {1}),
                                         b.Values(513, 4, {stream}), b.Values(514, 4, {4})}));
  return b.Bytes();
}

// A classic and a BigTIFF page of 2.2 GB each, then a small page with an
// EXIF directory and a SubIFD and an old-style JPEG page, all beyond 4 GiB.
// Auto writes BigTIFF; libtiff finds the four pages' chain less the JPEG
// page, reads the large pages' fields and finds the marked bytes at both
// ends of their strips where their offsets say; the small page equals its
// input in fields and decoded pixels, with its EXIF and SubIFD.
TEST(LargeOutput, AutoWritesBigTiffPast4GiB) {
  TempDir dir;
  const std::uint64_t needed = 2ull * kWidth * kHeight + (256u << 20);
  struct statvfs disk {};
  if (::statvfs(dir.Path().c_str(), &disk) != 0 || std::uint64_t{disk.f_bavail} * disk.f_frsize < needed)
    GTEST_SKIP() << "needs " << (needed >> 20) << " MiB free in " << dir.Path() << " for an output over 4 GiB";
  const std::string a = dir / "a.tif", b = dir / "b.tif", small = dir / "small.tif", jpeg = dir / "jpeg.tif";
  const std::string markers[2] = {"first page, a classic file", "second page, a BigTIFF"};
  WriteSparseTiff(a, kWidth, kHeight, false, markers[0]);
  WriteSparseTiff(b, kWidth, kHeight, true, markers[1]);
  PageRecipe attached;
  attached.Exif = attached.Thumbnail = true;
  WriteTiff(small, {false, {attached}, true});
  WriteFile(jpeg, OldJpegPage());

  MergeOptions options;
  options.Format = OutputFormat::Auto;
  const MergeOutcome merged = Merge({a, b, small, jpeg}, dir.Path().string(), "merged.tif", options);

  ASSERT_EQ(merged.Result, kMergeWritten) << merged.Report.Reason;
  EXPECT_TRUE(merged.Report.BigTiff);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(merged.Report.Files[i].Result, 1) << merged.Report.Files[i].Reason;
  ASSERT_EQ(merged.Report.Files[3].Skipped.size(), 1u);
  EXPECT_NE(merged.Report.Files[3].Skipped[0].Reason.find("4 GiB"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(merged.Output), merged.Report.BytesWritten);
  EXPECT_GT(merged.Report.BytesWritten, k4GiB);
  EXPECT_EQ(BytesAt(merged.Output, merged.Report.BytesWritten - 1, 1), "\xA0");

  LibtiffMessageLog log;
  // Strip chopping stays on: it cuts each 2.2 GB strip into rows, which a
  // 32-bit libtiff can hold (its strip sizes are signed 32-bit numbers).
  TIFF* tif = OpenTiff(merged.Output, "r");
  ASSERT_NE(tif, nullptr) << log.Text();
  EXPECT_TRUE(TIFFIsBigTIFF(tif));
  EXPECT_EQ(TIFFNumberOfDirectories(tif), 3u);
  for (tdir_t page = 0; page < 2; ++page) {
    SCOPED_TRACE(markers[page]);
    std::uint32_t width = 0, height = 0;
    ASSERT_EQ(TIFFSetDirectory(tif, page), 1);
    EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width) == 1 && width == kWidth);
    EXPECT_TRUE(TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height) == 1 && height == kHeight);
    const std::uint32_t last = TIFFNumberOfStrips(tif) - 1;
    const std::uint64_t offset = TIFFGetStrileOffset(tif, 0);
    const std::uint64_t length = TIFFGetStrileOffset(tif, last) + TIFFGetStrileByteCount(tif, last) - offset;
    EXPECT_EQ(length, std::uint64_t{kWidth} * kHeight);
    const std::size_t size = markers[page].size();
    EXPECT_EQ(BytesAt(merged.Output, offset, size), markers[page]);
    EXPECT_EQ(BytesAt(merged.Output, offset + length - size, size), markers[page]);
    EXPECT_EQ(offset + length > k4GiB, page == 1);
  }
  TIFFClose(tif);
  EXPECT_TRUE(log.Empty()) << log.Text();
  EXPECT_TRUE(PagesMatch(merged.Output, {{small, 0}}, 2));
  EXPECT_TRUE(IsWellFormedTiff(merged.Output));
}

}  // namespace
}  // namespace vellox::test
