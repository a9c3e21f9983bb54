// Cloning on file systems that share blocks between files: XFS with reflink
// and btrfs, each loop-mounted from an image file (as root; skipped with the
// reason where mounting is not allowed). The merged pages must decode equal,
// their large strips and tiles must share the inputs' blocks, and the merge
// must take far less new space than the output's size. Elsewhere, cloning
// must change nothing at all.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "integration/merge_harness.hpp"
#include "support/internals.hpp"
#include "support/libtiff_fixtures.hpp"

namespace vellox::test {
namespace {

// Large uncompressed strips and tiles (96 and 192 KiB), and a small page.
FileRecipe CloneRecipe(std::uint32_t seed) {
  PageRecipe strips;
  strips.Kind = Pixels::Rgb8;
  strips.Width = 512;
  strips.Height = 512;
  strips.RowsPerStrip = 64;
  strips.Seed = seed;
  PageRecipe tiles = strips;
  tiles.Organisation = Layout::Tiles;
  tiles.TileSize = 256;
  PageRecipe small;
  small.Seed = seed;
  FileRecipe recipe;
  recipe.Pages = {strips, tiles, small};
  return recipe;
}

std::int32_t MergeWith(CloneMode clone, const std::vector<std::string>& inputs, const std::string& output) {
  std::string list;
  for (const std::string& input : inputs) list += input + ",";
  std::string folder = std::filesystem::path(output).parent_path().string();
  std::string name = std::filesystem::path(output).filename().string();
  KWVellox merger;
  merger.SetOptions({.Clone = clone});
  return merger.Tiff_Merge(list, folder, name);
}

// Bytes of `path` in extents that the file system marks as shared.
std::uint64_t SharedBytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  constexpr unsigned kExtents = 512;
  std::vector<char> buffer(sizeof(fiemap) + kExtents * sizeof(fiemap_extent));
  auto* map = reinterpret_cast<fiemap*>(buffer.data());
  map->fm_length = ~0ull;
  map->fm_flags = FIEMAP_FLAG_SYNC;
  map->fm_extent_count = kExtents;
  std::uint64_t shared = 0;
  if (::ioctl(fd, FS_IOC_FIEMAP, map) == 0)
    for (unsigned i = 0; i < map->fm_mapped_extents; ++i)
      if (map->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED) shared += map->fm_extents[i].fe_length;
  ::close(fd);
  return shared;
}

std::uint64_t UsedBytes(const std::string& folder) {
  ::sync();
  struct statvfs st {};
  ::statvfs(folder.c_str(), &st);
  return (st.f_blocks - st.f_bfree) * st.f_frsize;
}

// A file system made in an image file and mounted for the test's life.
class LoopMount {
 public:
  LoopMount(const TempDir& dir, const std::string& mkfs) : mountPoint_(dir / "mnt") {
    const std::string image = dir / "fs.img";
    std::filesystem::create_directory(mountPoint_);
    const std::string make = "truncate -s 600M '" + image + "' && " + mkfs + " '" + image + "' >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) {
      why_ = "cannot make the file system (" + mkfs + ")";
    } else if (std::system(("mount -o loop '" + image + "' '" + mountPoint_ + "' 2>/dev/null").c_str()) != 0) {
      why_ = "cannot loop-mount a file system here (needs root)";
    }
  }
  ~LoopMount() {
    if (why_.empty()) ::umount(mountPoint_.c_str());
  }
  LoopMount(const LoopMount&) = delete;
  LoopMount& operator=(const LoopMount&) = delete;
  const std::string& Why() const { return why_; }
  std::string operator/(const std::string& name) const { return mountPoint_ + "/" + name; }

 private:
  std::string mountPoint_;
  std::string why_;
};

class CloneTest : public testing::TestWithParam<const char*> {
 protected:
  TempDir dir_;
};

TEST_P(CloneTest, LargePiecesShareTheInputsBlocks) {
  const LoopMount fs(dir_, GetParam());
  if (!fs.Why().empty()) GTEST_SKIP() << fs.Why();
  const std::string a = fs / "a.tif", b = fs / "b.tif", out = fs / "out.tif";
  WriteTiff(a, CloneRecipe(1));
  WriteTiff(b, CloneRecipe(2));
  const std::uint64_t before = UsedBytes(fs / "");
  ASSERT_EQ(MergeWith(CloneMode::Auto, {a, b}, out), kMergeWritten);
  const std::uint64_t size = std::filesystem::file_size(out);
  EXPECT_TRUE(IsMergeOf(out, PagesOf({a, b})));
  // All but the head and tail blocks of each large piece are shared.
  EXPECT_GT(SharedBytes(out), size * 3 / 4) << "of " << size;
  EXPECT_LT(UsedBytes(fs / "") - before, size / 4);
}

INSTANTIATE_TEST_SUITE_P(FileSystems, CloneTest, testing::Values("mkfs.xfs -q -m reflink=1", "mkfs.btrfs -q -f"),
                         [](const testing::TestParamInfo<const char*>& param) {
                           return std::string(param.index == 0 ? "xfs" : "btrfs");
                         });

// The auto format counts the padding that places cloned strips: inputs
// whose merge just fits classic TIFF without cloning need BigTIFF with it,
// and the merge keeps every page. Sparse inputs of 2 GiB: holes cost no
// disk, and their cloned blocks none either.
TEST(CloneAutoFormat, CountsThePaddingOfClonedStrips) {
  TempDir dir;
  const LoopMount fs(dir, "mkfs.xfs -q -m reflink=1");
  if (!fs.Why().empty()) GTEST_SKIP() << fs.Why();
  const std::string a = fs / "a.tif", b = fs / "b.tif";
  WriteSparseTiff(a, 1u << 31, 1, false, "first");
  auto fitsClassic = [&](CloneMode clone, std::uint32_t width) {
    WriteSparseTiff(b, width, 1, false, "second");
    return !MergerInternals({.Format = OutputFormat::Auto, .Clone = clone}).ChooseBigTiff({a, b}, true);
  };
  std::uint32_t fits = 1u << 30, tooWide = 1u << 31;  // the widest second strip that fits without cloning
  while (tooWide - fits > 1) {
    const std::uint32_t middle = fits + (tooWide - fits) / 2;
    (fitsClassic(CloneMode::Never, middle) ? fits : tooWide) = middle;
  }
  ASSERT_FALSE(fitsClassic(CloneMode::Auto, fits)) << fits;

  const MergeOutcome merged =
      Merge({a, b}, fs / "", "out.tif", {.Format = OutputFormat::Auto, .Clone = CloneMode::Auto});
  ASSERT_EQ(merged.Result, kMergeWritten) << merged.Report.Reason;
  EXPECT_TRUE(merged.Report.BigTiff);
  EXPECT_EQ(merged.Report.PagesWritten, 2u);
  for (const FileReport& file : merged.Report.Files) EXPECT_EQ(file.Result, kMergeWritten) << file.Reason;
}

// Where blocks cannot be shared (the test's own temporary folder: ext4 or
// tmpfs here), cloning on gives exactly the bytes of cloning off.
TEST(CloneElsewhere, ChangesNoByte) {
  TempDir dir;
  WriteTiff(dir / "a.tif", CloneRecipe(1));
  ASSERT_EQ(MergeWith(CloneMode::Auto, {dir / "a.tif", dir / "a.tif"}, dir / "auto.tif"), kMergeWritten);
  ASSERT_EQ(MergeWith(CloneMode::Never, {dir / "a.tif", dir / "a.tif"}, dir / "never.tif"), kMergeWritten);
  EXPECT_TRUE(ReadFile(dir / "auto.tif") == ReadFile(dir / "never.tif"));
}

}  // namespace
}  // namespace vellox::test
