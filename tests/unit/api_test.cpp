// The library's merge calls: vellox::Merge (requests, statuses, reasons,
// cancellation), vellox::CheckJobs (clashes by file identity, however the
// paths are spelt) and vellox::MergeMany (its pool and its refusals).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>

#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_reader.hpp"
#include "vellox/vellox.hpp"

namespace vellox {
namespace {

namespace fs = std::filesystem;
using test::Exists;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

class ApiTest : public ::testing::Test {
 protected:
  TempDir dir;

  std::string Tiff(const std::string& name, std::size_t pages = 1) {
    test::TiffBuilder tiff(true);
    for (std::size_t i = 0; i < pages; ++i) tiff.AddGreyPage(4, 2, std::string(8, static_cast<char>('a' + i)));
    WriteFile(dir / name, tiff.Bytes());
    return dir / name;
  }
  MergeRequest Request(std::vector<Input> inputs, const std::string& output) {
    MergeRequest request;
    request.Inputs = std::move(inputs);
    request.Output = dir / output;
    return request;
  }
};

TEST_F(ApiTest, MergesFilesWhosePathsHoldCommasAndReportsEachFile) {
  const std::string a = Tiff("a,1.tif", 2), b = Tiff("b.tif");
  const MergeReport report = Merge(Request({a, b, dir / "gone.tif"}, "out.tif"));
  EXPECT_EQ(report.Status, Status::Ok);
  EXPECT_EQ(report.Result, kMergeWritten);
  EXPECT_EQ(report.PagesWritten, 3u);
  EXPECT_EQ(report.Output, dir / "out.tif");
  ASSERT_EQ(report.Files.size(), 3u);
  EXPECT_EQ(report.Files[0].Status, Status::Ok);
  EXPECT_EQ(report.Files[2].Status, Status::Missing);
  EXPECT_TRUE(SomeInputFailed(report));
  EXPECT_EQ(test::TiffReader(ReadFile(dir / "out.tif")).Chain().size(), 3u);
}

TEST_F(ApiTest, RelativePathsAreTakenFromTheCurrentFolder) {
  Tiff("a.tif");
  const fs::path before = fs::current_path();
  fs::current_path(dir.Path());
  MergeRequest request;
  request.Inputs = {"a.tif", "a.tif"};
  request.Output = "out.tif";
  const MergeReport report = Merge(request);
  fs::current_path(before);
  EXPECT_EQ(report.Status, Status::Ok) << report.Reason;
  EXPECT_EQ(report.PagesWritten, 2u);
}

// Each way a merge can end without an output has its own status, its
// component code and a reason.
TEST_F(ApiTest, FailuresHaveAStatusACodeAndAReason) {
  const std::string a = Tiff("a.tif");
  WriteFile(dir / "text.tif", "plain text");
  mkdir((dir / "folder").c_str(), 0755);
  struct Case {
    MergeRequest Request;
    Status Expected;
    std::int32_t Code;
  } cases[] = {
      {Request({dir / "none.tif"}, "out.tif"), Status::NothingToMerge, kNoInputLeft},
      {Request({dir / "text.tif", a}, "out.tif"), Status::NotTiff, kNotTiff},
      {Request({a}, "no-folder/out.tif"), Status::OutputFolderMissing, kOutputDirMissing},
      {Request({a}, ""), Status::InvalidRequest, kFailed},
      {Request({a, ""}, "out.tif"), Status::InvalidRequest, kFailed},
      {Request({a, dir / "folder"}, "out.tif"), Status::CannotOpen, kFailed},
      {Request({a}, "folder"), Status::OutputFailed, kFailed},
  };
  cases[3].Request.Output = "";
  for (const Case& c : cases) {
    const MergeReport report = Merge(c.Request);
    EXPECT_EQ(report.Status, c.Expected) << ToString(report.Status) << ": " << report.Reason;
    EXPECT_EQ(report.Result, c.Code);
    EXPECT_FALSE(report.Reason.empty());
    EXPECT_EQ(report.PagesWritten, 0u);
    if (c.Expected == Status::NotTiff) {
      EXPECT_EQ(report.Files[0].Status, Status::NotTiff);
    }
  }
  EXPECT_FALSE(Exists(dir / "out.tif"));
  EXPECT_STREQ(ToString(Status::CannotOpen), "cannot-open");
}

TEST_F(ApiTest, AnInputThatCannotBeOpenedSaysWhyAndIsLabelled) {
  const std::string a = Tiff("a.tif");
  mkdir((dir / "folder").c_str(), 0755);
  const MergeReport report = Merge(Request({a, dir / "folder"}, "out.tif"));
  EXPECT_EQ(report.Status, Status::CannotOpen);
  EXPECT_NE(report.Reason.find(dir / "folder"), std::string::npos) << report.Reason;
  EXPECT_NE(report.Reason.find("directory"), std::string::npos) << report.Reason;
  EXPECT_EQ(report.Files[1].Status, Status::CannotOpen);
}

TEST_F(ApiTest, StopTokenAndProgressCancelAndLeaveTheTargetAlone) {
  const std::string a = Tiff("a.tif", 3);
  WriteFile(dir / "out.tif", "kept");
  std::stop_source stop;
  stop.request_stop();
  EXPECT_EQ(Merge(Request({a}, "out.tif"), {}, stop.get_token()).Status, Status::Cancelled);
  int calls = 0;
  const MergeReport report = Merge(Request({a}, "out.tif"), [&](const MergeReport&) { return ++calls < 3; });
  EXPECT_EQ(report.Status, Status::Cancelled);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(ReadFile(dir / "out.tif"), "kept");
}

// Paths spelt differently that reach one file clash; paths spelt alike
// that reach different files do not.
TEST_F(ApiTest, JobsAreComparedByFileIdentity) {
  const std::string a = Tiff("a.tif");
  mkdir((dir / "real").c_str(), 0755);
  mkdir((dir / "elsewhere").c_str(), 0755);
  mkdir((dir / "elsewhere/d").c_str(), 0755);
  symlink((dir / "real").c_str(), (dir / "lnk").c_str());
  symlink((dir / "elsewhere/d").c_str(), (dir / "d").c_str());
  std::vector<MergeRequest> writeOne = {Request({a}, "real/x.tif"), Request({a}, "lnk/x.tif")};
  EXPECT_TRUE(CheckJobs(writeOne)[0].empty());
  EXPECT_NE(CheckJobs(writeOne)[1].find("job 1"), std::string::npos);
  std::vector<MergeRequest> readOther = {Request({a}, "real/x.tif"), Request({dir / "lnk/x.tif"}, "y.tif")};
  EXPECT_NE(CheckJobs(readOther)[1].find("reads"), std::string::npos);
  // d/.. is elsewhere/, not this folder: x.tif and d/../x.tif differ.
  std::vector<MergeRequest> apart = {Request({a}, "x.tif"), Request({a}, "d/../x.tif")};
  EXPECT_EQ(CheckJobs(apart), (std::vector<std::string>{"", ""}));
  std::vector<MergeRequest> own = {Request({a, dir / "a2.tif"}, "a2.tif")};
  EXPECT_EQ(CheckJobs(own), std::vector<std::string>{""});

  const std::vector<MergeReport> refused = MergeMany(writeOne);
  EXPECT_EQ(refused[0].Status, Status::InvalidRequest);
  EXPECT_EQ(refused[1].Status, Status::InvalidRequest);
  EXPECT_FALSE(Exists(dir / "real/x.tif"));
}

TEST_F(ApiTest, MergeManyRunsEveryJobEvenWhenOneFails) {
  const std::string a = Tiff("a.tif", 2);
  std::vector<MergeRequest> requests;
  for (int i = 0; i < 6; ++i) requests.push_back(Request({a}, "out" + std::to_string(i) + ".tif"));
  requests[2].Inputs = {dir / "text.tif"};
  WriteFile(dir / "text.tif", "plain text");
  std::atomic<int> finished{0};
  const std::vector<MergeReport> reports =
      MergeMany(requests, {.Workers = 3, .Finished = [&](std::size_t, const MergeReport&) { ++finished; }});
  ASSERT_EQ(reports.size(), 6u);
  EXPECT_EQ(finished, 6);
  for (std::size_t i = 0; i < reports.size(); ++i) {
    EXPECT_EQ(reports[i].Status, i == 2 ? Status::NotTiff : Status::Ok) << i;
    EXPECT_EQ(Exists(dir / ("out" + std::to_string(i) + ".tif")), i != 2);
  }
}

}  // namespace
}  // namespace vellox
