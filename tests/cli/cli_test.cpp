// The command-line tool, run as a separate process.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <utility>

#include "cli/cli_run.hpp"
#include "support/libtiff_fixtures.hpp"
#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_reader.hpp"

namespace vellox {
namespace {

using test::CliRun;
using test::TempDir;
using test::Vellox;
using namespace std::string_literals;

class CliTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string Tiff(const std::string& name) {
    test::TiffBuilder tiff(true);
    tiff.AddGreyPage(2, 2, "abcd");
    test::WriteFile(dir / name, tiff.Bytes());
    return dir / name;
  }
  std::size_t Pages(const std::string& path) { return test::TiffReader(test::ReadFile(path)).Chain().size(); }
};

TEST_F(CliTest, TiffMergePrintsTheResultCodeAndTheChangedList) {
  const std::string list = Tiff("a.tif") + "," + Tiff("b.tif");
  CliRun run = Vellox("tiff-merge '" + list + "' '" + dir.WithSeparator() + "' out.tif");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "1\n" + list + ",\n");
  EXPECT_EQ(Pages(dir / "out.tif"), 2u);

  run = Vellox("tiff-merge '" + list + "' '" + (dir / "missing") + "' out.tif");
  EXPECT_EQ(run.exitCode, 0);  // the call was made: its code is the answer
  EXPECT_EQ(run.out, "-3\n" + list + ",\n");
  run = Vellox("tiff-merge '' '" + dir.WithSeparator() + "' out.tif");
  EXPECT_EQ(run.out, "-1\n,\n");
}

TEST_F(CliTest, UsageErrorsExitWithTwo) {
  EXPECT_EQ(Vellox("tiff-merge only-one").exitCode, 2);
  EXPECT_EQ(Vellox("").exitCode, 2);
  EXPECT_EQ(Vellox("merge a.tif").exitCode, 2);  // no -o
  const CliRun run = Vellox("merge -o '' a.tif");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.out.find("vellox: the output path (-o) is empty"), std::string::npos) << run.out;
}

TEST_F(CliTest, VersionIsTheComponentVersion) {
  EXPECT_EQ(Vellox("version").out, "1.0.4\n");
  EXPECT_EQ(Vellox("--version").out, "1.0.4\n");
}

TEST_F(CliTest, MergeTakesRelativePathsAndReportsEachInput) {
  Tiff("a.tif");
  Tiff("b.tif");
  std::filesystem::create_directory(dir / "sub");
  const CliRun run = Vellox("merge -o sub/out.tif a.tif b.tif", dir.Path().string());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("a.tif: 1 page"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("wrote 2 pages"), std::string::npos) << run.out;
  EXPECT_EQ(Pages(dir / "sub/out.tif"), 2u);
}

TEST_F(CliTest, MergeTakesPathsWithCommas) {
  Tiff("a,b.tif");
  const CliRun run = Vellox("merge -o 'c,d.tif' 'a,b.tif'", dir.Path().string());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("wrote 1 page, "), std::string::npos) << run.out;
  EXPECT_EQ(Pages(dir / "c,d.tif"), 1u);
}

TEST_F(CliTest, MergeExitsNonZeroWhenAnInputFailsOrNothingIsWritten) {
  Tiff("a.tif");
  test::WriteFile(dir / "text.tif", "not a tiff");
  CliRun run = Vellox("merge -o out.tif a.tif text.tif", dir.Path().string());
  EXPECT_EQ(run.exitCode, 3) << run.out;
  EXPECT_NE(run.out.find("text.tif: 0 pages (failed: not a TIFF file)"), std::string::npos) << run.out;

  run = Vellox("merge -o out2.tif text.tif a.tif", dir.Path().string());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("not a TIFF file"), std::string::npos) << run.out;
  EXPECT_FALSE(test::Exists(dir / "out2.tif"));
}

TEST_F(CliTest, MergeExitsWithThreeWhenAnInputIsMissingOrHasNoPages) {
  Tiff("a.tif");
  CliRun run = Vellox("merge -o out.tif a.tif missing.tif", dir.Path().string());
  EXPECT_EQ(run.exitCode, 3) << run.out;
  EXPECT_NE(run.out.find("missing.tif: no such file"), std::string::npos) << run.out;
  test::WriteFile(dir / "nopages.tif", std::string("II*\0\0\0\0\0", 8));
  run = Vellox("merge -o out.tif a.tif nopages.tif", dir.Path().string());
  EXPECT_EQ(run.exitCode, 3) << run.out;
  EXPECT_NE(run.out.find("nopages.tif: 0 pages"), std::string::npos) << run.out;
}

TEST_F(CliTest, MergeReportsAsJson) {
  Tiff("a.tif");
  test::WriteFile(dir / "empty.tif", "");
  const CliRun run = Vellox("merge --json -o out.tif a.tif empty.tif", dir.Path().string());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("\"result\": 1,\n  \"status\": \"ok\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"fate\": \"deleted-empty\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"pages\": 1"), std::string::npos) << run.out;
  EXPECT_FALSE(test::Exists(dir / "empty.tif"));
}

// --format bigtiff writes version 43; classic, and auto (the default) for
// a small merge, version 42, even from a BigTIFF input; so does tiff-merge,
// the component's own call. Any other format is a usage error.
TEST_F(CliTest, FormatChoosesTheOutputsVersion) {
  Tiff("a.tif");
  const std::string at = dir.Path().string();
  auto version = [this](const std::string& name) { return test::ReadFile(dir / name).substr(2, 2); };
  EXPECT_EQ(Vellox("merge --format bigtiff -o big.tif a.tif", at).exitCode, 0);
  EXPECT_EQ(version("big.tif"), std::string("+\0", 2));
  EXPECT_EQ(Vellox("merge --format classic -o classic.tif big.tif", at).exitCode, 0);
  EXPECT_EQ(Vellox("merge -o auto.tif big.tif a.tif", at).exitCode, 0);
  EXPECT_EQ(
      Vellox("tiff-merge '" + (dir / "big.tif") + "' '" + dir.WithSeparator() + "' component.tif").out.substr(0, 2),
      "1\n");
  for (const char* name : {"classic.tif", "auto.tif", "component.tif"}) EXPECT_EQ(version(name), std::string("*\0", 2));
  const CliRun run = Vellox("merge --format huge -o huge.tif a.tif", at);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.out.find("vellox: --format must be one of classic, bigtiff, auto (not \"huge\")\n"), std::string::npos)
      << run.out;
}

// --byte-order takes first, little, big or auto in any case. A page of
// compressed 16-bit samples merged into the other byte order is listed as
// transcoded, in text and in JSON. Any other value is a usage error.
TEST_F(CliTest, ByteOrderChoosesTheOutputsOrderAndReportsTranscodedPages) {
  test::PageRecipe page{.Kind = test::Pixels::Grey16, .Compression = test::Codec::Deflate, .Noise = false};
  test::WriteTiff(dir / "deflate16.tif", {.LittleEndian = true, .Pages = {page}});
  const std::string at = dir.Path().string();
  for (const auto& [value, head] : {std::pair{"first", "II"}, {"Little", "II"}, {"BIG", "MM"}, {"auto", "II"}}) {
    const CliRun run = Vellox(std::string("merge --byte-order ") + value + " -o out.tif deflate16.tif", at);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(test::ReadFile(dir / "out.tif").substr(0, 2), head) << value;
    EXPECT_EQ(run.out.find("deflate16.tif: 1 page\n  page 1 transcoded: ") != std::string::npos, head == "MM"s)
        << run.out;
  }
  CliRun run = Vellox("merge --json --byte-order big -o out.tif deflate16.tif", at);
  EXPECT_EQ(nlohmann::json::parse(run.out)["files"][0]["transcoded"][0]["page"], 0) << run.out;
  // Into a pipe, pages that large are transcoded through a temporary copy:
  // the same file comes out.
  page.Width = 900;
  page.Height = 700;
  page.Noise = true;
  test::WriteTiff(dir / "wide16.tif", {.LittleEndian = true, .Pages = {page, page}});
  ASSERT_EQ(Vellox("merge --byte-order big -o file.tif wide16.tif deflate16.tif", at).exitCode, 0);
  run = Vellox("merge --byte-order big -o - wide16.tif deflate16.tif 2>/dev/null | cat > piped.tif", at);
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_TRUE(test::ReadFile(dir / "piped.tif") == test::ReadFile(dir / "file.tif"));
  run = Vellox("merge --byte-order native -o out.tif deflate16.tif", at);
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.out.find("--byte-order must be one of first, little, big, auto (not \"native\")"), std::string::npos)
      << run.out;
}

// info prints a block per file, or one JSON document; a file that cannot be
// read whole makes the exit status 1, its reason on standard error.
TEST_F(CliTest, InfoDescribesEachFileAndExitsWithOneForADamagedOne) {
  Tiff("a.tif");
  test::WriteFile(dir / "text.tif", "not a tiff");
  const std::string at = dir.Path().string();
  CliRun run = Vellox("info a.tif", at);
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(run.out,
            "a.tif: classic TIFF, little-endian (II), 1 page, " + std::to_string(test::ReadFile(dir / "a.tif").size()) +
                " bytes\n  page 1: 2x2, 8-bit x 1, none (1), min-is-black (1), 1 strip, 4 bytes of image data\n");
  run = Vellox("info --json a.tif text.tif", at);
  EXPECT_EQ(run.exitCode, 1) << run.out;
  const std::size_t error = run.out.rfind("vellox: text.tif: not a TIFF file\n");
  ASSERT_EQ(error + 34, run.out.size()) << run.out;  // after the JSON
  const nlohmann::json json = nlohmann::json::parse(run.out.substr(0, error));
  EXPECT_EQ(json["files"][0]["status"], "ok");
  EXPECT_EQ(json["files"][0]["pages"][0]["width"], 2);
  EXPECT_EQ(json["files"][1]["status"], "not-tiff");
  EXPECT_EQ(json["files"][1]["format"], nullptr);
}

TEST_F(CliTest, HelpWarnsThatEmptyInputsAreDeleted) {
  const CliRun run = Vellox("merge --help");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("DELETED"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("--format classic|bigtiff|auto"), std::string::npos) << run.out;  // names, not numbers
  EXPECT_EQ(run.out.find('\0'), std::string::npos);
}

}  // namespace
}  // namespace vellox
