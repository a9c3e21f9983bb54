// `vellox batch`, run as a separate process.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "cli/cli_run.hpp"
#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_reader.hpp"

namespace vellox {
namespace {

using test::CliRun;
using test::TempDir;
using test::Vellox;

class BatchTest : public ::testing::Test {
 protected:
  TempDir dir;
  void Tiff(const std::string& name, int pages = 1) {
    test::TiffBuilder tiff(true);
    for (int i = 0; i < pages; ++i) tiff.AddGreyPage(2, 2, "abcd");
    test::WriteFile(dir / name, tiff.Bytes());
  }
  std::size_t Pages(const std::string& name) { return test::TiffReader(test::ReadFile(dir / name)).Chain().size(); }
  CliRun Batch(const std::string& arguments, const std::string& jobs) {
    test::WriteFile(dir / "jobs", jobs);
    return Vellox("batch " + arguments, dir.Path().string());
  }
  static bool Has(const CliRun& run, const std::string& text) { return run.out.find(text) != std::string::npos; }
};

TEST_F(BatchTest, RunsJsonLinesAndTabSeparatedJobsFromAFileOrStandardInput) {
  Tiff("a.tif");
  Tiff("b.tif", 2);
  const std::string jobs =
      "{\"output\": \"x.tif\", \"inputs\": [\"a.tif\", \"b.tif\"], \"id\": {\"any\": [1, true, null]}}\r\n"
      "\n"
      "y.tif\tb.tif\ta.tif\tb.tif\n";
  CliRun run = Batch("-j 2 jobs", jobs);
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(Pages("x.tif"), 3u);
  EXPECT_EQ(Pages("y.tif"), 5u);
  // One line per job, in job order, then the totals.
  EXPECT_EQ(run.out.substr(0, run.out.find("2 jobs in")), "x.tif: 3 pages\ny.tif: 5 pages\n") << run.out;
  EXPECT_TRUE(Has(run, "2 written whole, 0 partial, 0 failed; 8 pages")) << run.out;

  run = Vellox("batch -j 1 - < jobs", dir.Path().string());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_EQ(Pages("y.tif"), 5u);
  // "append": true adds to the existing file in place.
  run = Batch("jobs", "{\"output\": \"y.tif\", \"inputs\": [\"a.tif\"], \"append\": true}\n");
  EXPECT_TRUE(Has(run, "y.tif: 1 page appended\n")) << run.out;
  EXPECT_EQ(Pages("y.tif"), 6u);
}

TEST_F(BatchTest, ExitsWithThreeForPartialOutputsAndOneWhenAJobWroteNothing) {
  Tiff("a.tif");
  CliRun run = Batch("jobs", "ok.tif\ta.tif\npartial.tif\ta.tif\tmissing.tif\n");
  EXPECT_EQ(run.exitCode, 3) << run.out;
  EXPECT_TRUE(Has(run, "partial.tif: 1 page, partial: " + (dir / "missing.tif") + ": no such file")) << run.out;

  run = Batch("jobs", "ok.tif\ta.tif\npartial.tif\ta.tif\tmissing.tif\nnone.tif\tmissing.tif\n");
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_TRUE(Has(run, "none.tif: failed: ")) << run.out;
  EXPECT_TRUE(Has(run, "1 written whole, 1 partial, 1 failed")) << run.out;
  EXPECT_FALSE(test::Exists(dir / "none.tif"));
}

TEST_F(BatchTest, ABadJobListRunsNothing) {
  Tiff("a.tif");
  for (const std::string& bad : {
           std::string("{\"output\": \"x.tif\", \"inputs\": [\"a.tif\"]\n"),         // unclosed
           std::string("{\"output\": \"x.tif\"}\n"),                                 // no inputs
           std::string("{\"output\": \"x.tif\", \"inputs\": []}\n"),                 // empty inputs
           std::string("{\"output\": \"x.tif\", \"inputs\": [\"\\ud800.tif\"]}\n"),  // lone surrogate
           std::string("{\"output\": \"x\", \"inputs\": [\"a\"], \"append\":1}\n"),  // not true or false
           std::string("x.tif\n"),                                                   // no inputs
           std::string("x.tif\ta.tif\n./x.tif\ta.tif\n"),                            // same output twice
           std::string("x.tif\ta.tif\ny.tif\tx.tif\n"),                              // reads another's output
       }) {
    const CliRun run = Batch("jobs", "first.tif\ta.tif\n" + bad);
    EXPECT_EQ(run.exitCode, 2) << bad << run.out;
    EXPECT_TRUE(Has(run, "job list line ")) << bad << run.out;
    EXPECT_FALSE(test::Exists(dir / "first.tif")) << bad;
  }
  // Outputs are compared as files: through a link to its folder, one is the other.
  std::filesystem::create_directory(dir / "real");
  std::filesystem::create_directory_symlink("real", dir / "lnk");
  CliRun run = Batch("jobs", "real/x.tif\ta.tif\nlnk/x.tif\ta.tif\n");
  EXPECT_EQ(run.exitCode, 2) << run.out;
  EXPECT_TRUE(Has(run, "job list line 2: job 2 writes lnk/x.tif, the file that job 1 also writes")) << run.out;
  EXPECT_TRUE(std::filesystem::is_empty(dir / "real"));
  // A line over 1 MiB, or a list without line breaks, ends reading there.
  run = Batch("jobs", "x.tif\ta.tif\ny.tif\t" + std::string(2 << 20, 'a') + "\n");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(Has(run, "job list line 2: the line is longer than 1 MiB")) << run.out.substr(0, 200);
  run = Vellox("batch /dev/zero", "", "timeout 20");
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_TRUE(Has(run, "job list line 1: the line is longer than 1 MiB")) << run.out.substr(0, 200);
  EXPECT_EQ(Batch("-j 0 jobs", "x.tif\ta.tif\n").exitCode, 2);
  EXPECT_EQ(Batch("-j 65 jobs", "x.tif\ta.tif\n").exitCode, 2);
  EXPECT_EQ(Vellox("batch no-such-list", dir.Path().string()).exitCode, 2);
}

TEST_F(BatchTest, JsonCarriesEveryReportAndPathBytesBothWays) {
  Tiff("\xff.tif");
  Tiff("a.tif");
  const CliRun run = Batch("--json jobs",
                           "{\"output\": \"\\u00e9\\udcfe.tif\", \"inputs\": [\"\\udcff.tif\", \"a.tif\"]}\n"
                           "{\"output\": \"p.tif\", \"inputs\": [\"a.tif\", \"gone.tif\"]}\n");
  EXPECT_EQ(run.exitCode, 3) << run.out;
  EXPECT_EQ(Pages("\xc3\xa9\xfe.tif"), 2u);
  EXPECT_TRUE(Has(run, "{\"line\":1,\"status\":\"written\",\"result\":1,\"merge_status\":\"ok\"")) << run.out;
  EXPECT_TRUE(Has(run, "\\udcff.tif\",\"fate\":\"copied\",\"status\":\"ok\"")) << run.out;
  EXPECT_TRUE(Has(run, "\u00e9\\udcfe.tif\",\"pages\":2")) << run.out;
  EXPECT_TRUE(Has(run, "{\"line\":2,\"status\":\"partial\"")) << run.out;
  EXPECT_TRUE(Has(run, "\"jobs\": 2,\n  \"written\": 1,\n  \"partial\": 1,\n  \"failed\": 0,\n  \"pages\": 3"))
      << run.out;
}

TEST_F(BatchTest, ByteOrderAppliesToEveryJob) {
  Tiff("a.tif");  // little-endian
  EXPECT_EQ(Batch("--byte-order big jobs", "x.tif\ta.tif\ny.tif\ta.tif\n").exitCode, 0);
  EXPECT_EQ(test::ReadFile(dir / "x.tif").substr(0, 2) + test::ReadFile(dir / "y.tif").substr(0, 2), "MMMM");
}

TEST_F(BatchTest, ManyJobsOnManyWorkersEachGetTheirOwnPages) {
  std::string jobs;
  for (int i = 0; i < 48; ++i) {
    Tiff("in" + std::to_string(i) + ".tif", 1 + i % 4);
    jobs += "out" + std::to_string(i) + ".tif\tin" + std::to_string(i) + ".tif\tin" + std::to_string((i + 1) % 48) +
            ".tif\n";
  }
  const CliRun run = Batch("-j 8 jobs", jobs);
  EXPECT_EQ(run.exitCode, 0) << run.out;
  for (int i = 0; i < 48; ++i)
    EXPECT_EQ(Pages("out" + std::to_string(i) + ".tif"), static_cast<std::size_t>(1 + i % 4 + 1 + (i + 1) % 48 % 4));
}

}  // namespace
}  // namespace vellox
