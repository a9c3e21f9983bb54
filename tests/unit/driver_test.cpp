// The merge driver: list handling, the removal pass, the checks and their
// result codes, the header and trailer, and the atomic output. Real files
// in temporary folders throughout.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_reader.hpp"
#include "vellox/KWVellox.hpp"

namespace vellox {
namespace {

using test::Exists;
using test::ReadFile;
using test::TempDir;
using test::TiffBuilder;
using test::WriteFile;

std::string OnePageTiff(bool little, char fill = 'a') {
  TiffBuilder tiff(little);
  tiff.AddGreyPage(4, 2, std::string(8, fill));
  return tiff.Bytes();
}

std::string NoPageTiff(bool little) {
  return TiffBuilder(little).Bytes();
}

class DriverTest : public ::testing::Test {
 protected:
  TempDir dir;
  KWVellox merger;

  std::string Tiff(const std::string& name, bool little = true, char fill = 'a') {
    WriteFile(dir / name, OnePageTiff(little, fill));
    return dir / name;
  }
  std::string Empty(const std::string& name) {
    WriteFile(dir / name, "");
    return dir / name;
  }
  std::int32_t Merge(std::string list, std::string outDir, std::string name = "out.tif") {
    lastList = list;
    const std::int32_t result = merger.Tiff_Merge(lastList, outDir, name);
    return result;
  }
  std::int32_t Merge(std::string list) { return Merge(std::move(list), dir.WithSeparator()); }
  // The merge leaves nothing but what the test expects in the folder.
  void ExpectNames(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    EXPECT_EQ(dir.Names(), names);
  }
  std::size_t PageCount(const std::string& path) { return test::TiffReader(ReadFile(path)).Chain().size(); }

  std::string lastList;
};

TEST_F(DriverTest, ACommaIsAppendedToTheCallersListOnlyWhenMissing) {
  const std::string a = Tiff("a.tif"), b = Tiff("b.tif");
  EXPECT_EQ(Merge(a + "," + b), kMergeWritten);
  EXPECT_EQ(lastList, a + "," + b + ",");
  const std::string first = ReadFile(dir / "out.tif");
  EXPECT_EQ(Merge(a + "," + b + ","), kMergeWritten);
  EXPECT_EQ(lastList, a + "," + b + ",");
  EXPECT_EQ(ReadFile(dir / "out.tif"), first);
  EXPECT_EQ(PageCount(dir / "out.tif"), 2u);
}

TEST_F(DriverTest, OutputIsHeaderThenPagesThenTheTrailerByte) {
  const std::string a = Tiff("a.tif", true);
  ASSERT_EQ(Merge(a), kMergeWritten);
  const std::string out = ReadFile(dir / "out.tif");
  EXPECT_EQ(out.substr(0, 8), std::string("II*\0\x08\0\0\0", 8));
  EXPECT_EQ(static_cast<unsigned char>(out.back()), 0xA0);

  const std::string b = Tiff("b.tif", false);
  ASSERT_EQ(Merge(b), kMergeWritten);
  EXPECT_EQ(ReadFile(dir / "out.tif").substr(0, 8), std::string("MM\0*\0\0\0\x08", 8));
}

TEST_F(DriverTest, EmptyListsAndEmptyEntriesFail) {
  const std::string a = Tiff("a.tif");
  EXPECT_EQ(Merge(""), kFailed);
  EXPECT_EQ(lastList, ",");
  EXPECT_EQ(Merge(a + ",," + a), kFailed);
  ExpectNames({"a.tif"});
}

TEST_F(DriverTest, AFirstEntryWithoutASeparatorFails) {
  Tiff("a.tif");
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  const std::int32_t result = Merge("a.tif");
  std::filesystem::current_path(previous);
  EXPECT_EQ(result, kFailed);
  ExpectNames({"a.tif"});
}

TEST_F(DriverTest, AMissingFileInAnExistingFolderIsDroppedWithoutATrace) {
  const std::string a = Tiff("a.tif");
  EXPECT_EQ(Merge(dir / "missing.tif," + a), kMergeWritten);
  EXPECT_EQ(merger.Report().Files[0].Fate, InputFate::DroppedMissing);
  ExpectNames({"a.tif", "out.tif"});
  EXPECT_EQ(Merge(dir / "missing.tif"), kNoInputLeft);
  EXPECT_FALSE(Exists(dir / "missing.tif"));
}

TEST_F(DriverTest, UnusableEntriesFailTheMerge) {
  const std::string a = Tiff("a.tif");
  std::filesystem::create_directory(dir / "folder");
  EXPECT_EQ(Merge(a + "," + (dir / "no-such-folder/x.tif")), kFailed);
  EXPECT_EQ(Merge(a + "," + (dir / "folder")), kFailed);
  EXPECT_EQ(Merge(a + "," + (dir / "a.tif/")), kFailed);
  EXPECT_FALSE(Exists(dir / "out.tif"));
}

TEST_F(DriverTest, APathWithAnEmbeddedNulNamesNothing) {
  // Cut at the NUL it would name a.tif; it must not merge that file.
  const std::string a = Tiff("a.tif");
  EXPECT_EQ(Merge(a + std::string(1, '\0') + "x"), kFailed);
  EXPECT_EQ(Merge(a, dir.WithSeparator(), std::string("o\0ut.tif", 8)), kFailed);
  ExpectNames({"a.tif"});
}

TEST_F(DriverTest, EmptyFilesAreDeletedWhereverTheyStand) {
  const std::string a = Tiff("a.tif", true, 'a'), c = Tiff("c.tif", true, 'c');
  const std::string list = Empty("e1.tif") + "," + a + "," + Empty("e2.tif") + "," + c;
  ASSERT_EQ(Merge(list), kMergeWritten);
  ExpectNames({"a.tif", "c.tif", "out.tif"});
  EXPECT_EQ(PageCount(dir / "out.tif"), 2u);
  const MergeReport& report = merger.Report();
  ASSERT_EQ(report.Files.size(), 4u);
  EXPECT_EQ(report.Files[0].Fate, InputFate::DeletedEmpty);
  EXPECT_EQ(report.Files[2].Fate, InputFate::DeletedEmpty);
  EXPECT_EQ(report.Files[3].Pages, 1u);
}

TEST_F(DriverTest, EmptyFilesAreDeletedWhateverTheResult) {
  EXPECT_EQ(Merge(Empty("e.tif")), kNoInputLeft);
  WriteFile(dir / "text.tif", "hello world");
  EXPECT_EQ(Merge(Empty("e.tif") + "," + (dir / "text.tif")), kNotTiff);
  EXPECT_EQ(Merge(Empty("e.tif") + "," + Tiff("a.tif"), dir / "nowhere"), kOutputDirMissing);
  ExpectNames({"a.tif", "text.tif"});
}

TEST_F(DriverTest, TheFirstFileMustBeATiff) {
  WriteFile(dir / "short.tif", "II*");
  EXPECT_EQ(Merge(dir / "short.tif"), kNotTiff);
  WriteFile(dir / "text.tif", "plain text, not an image");
  EXPECT_EQ(Merge(dir / "text.tif," + Tiff("a.tif")), kNotTiff);
  EXPECT_FALSE(Exists(dir / "out.tif"));
}

TEST_F(DriverTest, AnyFirstTwoBytesWithTheMagicAtByteFourReadAsBigEndian) {
  std::string odd = OnePageTiff(false);
  odd[0] = 'X';
  odd[1] = 'Y';
  WriteFile(dir / "odd.tif", odd);
  ASSERT_EQ(Merge(dir / "odd.tif"), kMergeWritten);
  // The header written is the canonical big-endian one.
  EXPECT_EQ(ReadFile(dir / "out.tif").substr(0, 4), std::string("MM\0*", 4));
  EXPECT_EQ(PageCount(dir / "out.tif"), 1u);
}

TEST_F(DriverTest, ALaterFileThatIsNoTiffDoesNotChangeTheResult) {
  WriteFile(dir / "text.tif", "plain text, not an image");
  EXPECT_EQ(Merge(Tiff("a.tif") + "," + (dir / "text.tif")), kMergeWritten);
  EXPECT_EQ(merger.Report().Files[1].Result, kNotTiff);
  // The chain ends at the last page written, not at the trailer byte.
  const auto chain = test::TiffReader(ReadFile(dir / "out.tif")).Chain();
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_EQ(chain[0].Link, 0u);
}

TEST_F(DriverTest, TheOutputDirectoryWorksWithAndWithoutATrailingSeparator) {
  const std::string a = Tiff("a.tif");
  std::filesystem::create_directory(dir / "out");
  ASSERT_EQ(Merge(a, dir / "out"), kMergeWritten);
  const std::string first = ReadFile(dir / "out/out.tif");
  ASSERT_EQ(Merge(a, dir / "out/"), kMergeWritten);
  EXPECT_EQ(ReadFile(dir / "out/out.tif"), first);
  EXPECT_EQ(Merge(a, dir / "missing"), kOutputDirMissing);
  WriteFile(dir / "plain", "x");
  EXPECT_EQ(Merge(a, dir / "plain"), kOutputDirMissing);
}

TEST_F(DriverTest, AnExistingOutputIsReplacedOnSuccessAndKeptOnFailure) {
  WriteFile(dir / "out.tif", "precious");
  WriteFile(dir / "text.tif", "not a tiff");
  EXPECT_EQ(Merge(dir / "text.tif"), kNotTiff);
  EXPECT_EQ(ReadFile(dir / "out.tif"), "precious");
  WriteFile(dir / "nopages.tif", NoPageTiff(true));
  EXPECT_EQ(Merge(dir / "nopages.tif"), kFailed);  // no page at all: no output
  EXPECT_EQ(ReadFile(dir / "out.tif"), "precious");
  ASSERT_EQ(Merge(Tiff("a.tif")), kMergeWritten);
  EXPECT_EQ(PageCount(dir / "out.tif"), 1u);
  ExpectNames({"a.tif", "nopages.tif", "out.tif", "text.tif"});
}

TEST_F(DriverTest, TheOutputMayBeOneOfTheInputs) {
  const std::string a = Tiff("a.tif"), b = Tiff("b.tif");
  ASSERT_EQ(Merge(a + "," + b, dir.WithSeparator(), "a.tif"), kMergeWritten);
  EXPECT_EQ(PageCount(dir / "a.tif"), 2u);
  ExpectNames({"a.tif", "b.tif"});
}

TEST_F(DriverTest, ABadOutputNameFailsAndLeavesNoTemporaryFile) {
  const std::string a = Tiff("a.tif");
  std::filesystem::create_directory(dir / "sub");
  EXPECT_EQ(Merge(a, dir.WithSeparator(), ""), kFailed);
  EXPECT_EQ(Merge(a, dir.WithSeparator(), "missing/x.tif"), kFailed);
  EXPECT_EQ(Merge(a, dir.WithSeparator(), "sub"), kFailed);
  ExpectNames({"a.tif", "sub"});
  EXPECT_EQ(Merge(a, dir.WithSeparator(), "sub/x.tif"), kMergeWritten);
  EXPECT_TRUE(Exists(dir / "sub/x.tif"));
}

TEST_F(DriverTest, ReadOnlyInputsAreReadAndNeverChanged) {
  const std::string a = Tiff("a.tif");
  ::chmod(a.c_str(), 0444);
  const std::string before = ReadFile(a);
  EXPECT_EQ(Merge(a + "," + a), kMergeWritten);
  EXPECT_EQ(ReadFile(a), before);
  EXPECT_EQ(PageCount(dir / "out.tif"), 2u);  // a path listed twice is copied twice
}

TEST_F(DriverTest, UnicodePathsWork) {
  std::filesystem::create_directory(dir / "Ausgabe-\xC3\xA4\xC3\xB6");
  const std::string a = Tiff("\xE6\x96\x87\xE4\xBB\xB6.tif");
  EXPECT_EQ(Merge(a, dir / "Ausgabe-\xC3\xA4\xC3\xB6", "\xC3\xBC.tif"), kMergeWritten);
  EXPECT_EQ(PageCount(dir / "Ausgabe-\xC3\xA4\xC3\xB6/\xC3\xBC.tif"), 1u);
}

TEST_F(DriverTest, ACallFromTheYieldHookReturnsAtOnceAndChangesNothing) {
  const std::string a = Tiff("a.tif");
  std::int32_t inner = 99;
  std::string innerList = a;
  merger.SetYieldHook([&] {
    std::string outDir = dir.WithSeparator(), name = "inner.tif";
    inner = merger.Tiff_Merge(innerList, outDir, name);
  });
  EXPECT_EQ(Merge(a), kMergeWritten);
  EXPECT_EQ(inner, kFailed);
  EXPECT_EQ(innerList, a);
  ExpectNames({"a.tif", "out.tif"});
}

TEST_F(DriverTest, AHookThatReturnsFalseCancelsTheMergeAndKeepsTheOldTarget) {
  const std::string a = Tiff("a.tif"), b = Tiff("b.tif");
  WriteFile(dir / "out.tif", "old");
  int yields = 0;
  merger.SetYieldHook([&] { return ++yields < 3; });  // stops in the second page
  EXPECT_EQ(Merge(a + "," + b), kFailed);
  EXPECT_EQ(merger.Report().Reason, "cancelled");
  EXPECT_EQ(ReadFile(dir / "out.tif"), "old");
  ExpectNames({"a.tif", "b.tif", "out.tif"});
  merger.SetYieldHook(std::function<bool()>());  // no hook: merges again
  EXPECT_EQ(Merge(a + "," + b), kMergeWritten);
}

TEST_F(DriverTest, EachMergeStartsFromItsOwnFirstFile) {
  const std::string little = Tiff("le.tif", true), big = Tiff("be.tif", false);
  ASSERT_EQ(Merge(little + "," + big), kMergeWritten);
  EXPECT_EQ(ReadFile(dir / "out.tif")[0], 'I');
  ASSERT_EQ(Merge(big + "," + little), kMergeWritten);
  const std::string out = ReadFile(dir / "out.tif");
  EXPECT_EQ(out.substr(0, 4), std::string("MM\0*", 4));
  const test::TiffReader reader(out);
  for (const auto& page : reader.Chain()) EXPECT_EQ(reader.Values(*page.Find(256)), std::vector<std::uint64_t>{4});
}

}  // namespace
}  // namespace vellox
