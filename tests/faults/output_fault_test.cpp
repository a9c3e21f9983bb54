// Faults of the output end the whole merge: nothing is written, the old
// target stays as it was, no hidden file is left, and the report says why.
// Faults of one input end only that input, and what was written of its page
// is cut back. Every rollback path runs here, through injected faults.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "support/fault_injection.hpp"
#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "vellox/KWVellox.hpp"
#include "vellox/vellox.hpp"

namespace vellox {
namespace {

using test::FaultPlan;
using test::InjectFaults;
using test::ReadFile;
using test::WriteFile;

constexpr std::uint32_t kBigSide = 512;     // a 256 KiB strip: copied in the kernel
constexpr std::uint32_t kMediumSide = 160;  // a 25 KiB strip: written with what is buffered, in one call

std::string Page(std::uint32_t side, char fill) {
  test::TiffBuilder tiff(true);
  tiff.AddGreyPage(side, side, std::string(std::size_t{side} * side, fill));
  return tiff.Bytes();
}

class OutputFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "a.tif", Page(8, 'a'));
    WriteFile(dir / "b.tif", Page(kBigSide, 'b'));
    WriteFile(dir / "c.tif", Page(kMediumSide, 'c'));
    clean_ = MergeBytes({"a.tif", "b.tif", "c.tif"});
    ResetTarget();
  }

  void ResetTarget() {
    WriteFile(Target(), "old");
    ::chmod(Target().c_str(), 0640);
  }

  std::string Target() const { return dir / "out.tif"; }

  std::int32_t Merge(const std::vector<std::string>& names, const FaultPlan& plan, bool sync = false) {
    std::string list;
    for (const std::string& name : names) list += (dir / name) + ",";
    std::string folder = dir.WithSeparator();
    std::string name = "out.tif";
    MergeOptions options;
    options.Sync = sync;
    merger.SetOptions(options);
    const InjectFaults faults(plan);
    return merger.Tiff_Merge(list, folder, name);
  }

  // The bytes of a merge without faults, made in a folder of their own.
  std::string MergeBytes(const std::vector<std::string>& names) {
    test::TempDir other;
    std::string list;
    for (const std::string& name : names) list += (dir / name) + ",";
    std::string folder = other.WithSeparator();
    std::string name = "out.tif";
    KWVellox fresh;
    EXPECT_EQ(fresh.Tiff_Merge(list, folder, name), kMergeWritten);
    return ReadFile(other / "out.tif");
  }

  // The target holds exactly `bytes` (compared without printing them).
  void ExpectTarget(const std::string& bytes) {
    const std::string actual = ReadFile(Target());
    EXPECT_TRUE(actual == bytes) << actual.size() << " bytes where " << bytes.size() << " were expected";
  }

  // The old target as it was, and nothing else new in the folder.
  void ExpectUntouched() {
    ExpectTarget("old");
    struct stat st {};
    ASSERT_EQ(::stat(Target().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.tif", "b.tif", "c.tif", "out.tif"}));
  }

  void ExpectFailure(std::int32_t result, const char* why) {
    EXPECT_EQ(result, kFailed);
    EXPECT_EQ(merger.Report().Result, kFailed);
    EXPECT_NE(merger.Report().Reason.find(why), std::string::npos) << merger.Report().Reason;
    EXPECT_NE(merger.Report().Reason.find(Target()), std::string::npos) << merger.Report().Reason;
    ExpectUntouched();
  }

  test::TempDir dir;
  KWVellox merger;
  std::string clean_;
};

TEST_F(OutputFaultTest, AFullDiskAnywhereFailsTheWholeMerge) {
  const std::int64_t total = static_cast<std::int64_t>(clean_.size());
  for (const bool unnamed : {true, false}) {
    for (const std::int64_t limit :
         {std::int64_t{0}, std::int64_t{8}, std::int64_t{150}, total / 2, total - 200, total - 1}) {
      SCOPED_TRACE("limit " + std::to_string(limit) + (unnamed ? ", unnamed" : ", named"));
      FaultPlan plan;
      plan.WriteLimit = limit;
      plan.RefuseUnnamed = !unnamed;
      ExpectFailure(Merge({"a.tif", "b.tif", "c.tif"}, plan), std::strerror(ENOSPC));
    }
  }
  // The file in hand when the disk filled is the one that failed; none is
  // shown as written.
  FaultPlan midway;
  midway.WriteLimit = total / 2;
  EXPECT_EQ(Merge({"a.tif", "b.tif", "c.tif"}, midway), kFailed);
  EXPECT_EQ(merger.Report().Files[1].Result, kFailed);
  for (const FileReport& file : merger.Report().Files) EXPECT_FALSE(file.Reason.empty());

  FaultPlan exact;
  exact.WriteLimit = total;
  EXPECT_EQ(Merge({"a.tif", "b.tif", "c.tif"}, exact), kMergeWritten);
  ExpectTarget(clean_);
}

TEST_F(OutputFaultTest, EveryKindOfWriteErrorEndsTheMerge) {
  for (const int error : {EFBIG, EDQUOT, EIO}) {
    FaultPlan plan;
    plan.WriteLimit = 300;
    plan.WriteError = error;
    ExpectFailure(Merge({"a.tif", "b.tif", "c.tif"}, plan), std::strerror(error));
  }
}

TEST_F(OutputFaultTest, ShortWritesGiveTheSameBytes) {
  FaultPlan plan;
  plan.ShortWrite = 7;
  EXPECT_EQ(Merge({"a.tif", "b.tif", "c.tif"}, plan), kMergeWritten);
  ExpectTarget(clean_);
}

TEST_F(OutputFaultTest, ARefusedKernelCopyFallsBackToReadsAndWrites) {
  for (const int error : {EXDEV, ENOSYS, EOPNOTSUPP, EINVAL, EIO}) {
    FaultPlan plan;
    plan.CopyRangeError = error;
    EXPECT_EQ(Merge({"a.tif", "b.tif", "c.tif"}, plan), kMergeWritten);
    EXPECT_GT(InjectFaults::Counts().CopyRangeCalls, 0u);
    ExpectTarget(clean_);
  }
  ResetTarget();
  FaultPlan full;
  full.CopyRangeError = ENOSPC;
  ExpectFailure(Merge({"a.tif", "b.tif", "c.tif"}, full), std::strerror(ENOSPC));
}

TEST_F(OutputFaultTest, AFailedRenameOrLinkLeavesTheOldTarget) {
  for (const bool unnamed : {true, false}) {
    FaultPlan rename;
    rename.RenameError = EACCES;
    rename.RefuseUnnamed = !unnamed;
    ExpectFailure(Merge({"a.tif", "c.tif"}, rename), "cannot replace");
  }
  FaultPlan link;
  link.LinkError = EPERM;
  ExpectFailure(Merge({"a.tif", "c.tif"}, link), std::strerror(EPERM));
}

TEST_F(OutputFaultTest, AnInputThatFailsMidPageIsCutBackAndTheMergeGoesOn) {
  FaultPlan plan;  // the big strip's reads fail once the kernel copy is refused
  plan.CopyRangeError = EXDEV;
  plan.ReadError = EIO;
  plan.ReadErrorAbove = 64 << 10;
  EXPECT_EQ(Merge({"a.tif", "b.tif", "c.tif"}, plan), kMergeWritten);
  EXPECT_GT(InjectFaults::Counts().TruncateCalls, 0u);
  EXPECT_EQ(merger.Report().Files[1].Result, kFailed);
  EXPECT_NE(merger.Report().Files[1].Reason.find("cannot read"), std::string::npos);
  ExpectTarget(MergeBytes({"a.tif", "c.tif"}));

  plan.TruncateError = EIO;  // the cut itself fails: the output is no longer sound
  ResetTarget();
  ExpectFailure(Merge({"a.tif", "b.tif", "c.tif"}, plan), "cannot truncate");
}

TEST_F(OutputFaultTest, SyncFlushesTheFileAndItsFolder) {
  EXPECT_EQ(Merge({"a.tif", "b.tif", "c.tif"}, FaultPlan{}, true), kMergeWritten);
  EXPECT_GE(InjectFaults::Counts().FsyncCalls, 2u);
  ExpectTarget(clean_);

  ResetTarget();
  FaultPlan plan;
  plan.FsyncError = EIO;
  ExpectFailure(Merge({"a.tif", "b.tif", "c.tif"}, plan, true), "cannot flush");
  EXPECT_EQ(Merge({"a.tif", "b.tif", "c.tif"}, plan, false), kMergeWritten);  // off by default: never called
}

}  // namespace
}  // namespace vellox

namespace vellox {
namespace {

// A split names its parts only when every part is written: a full disk at
// any point, and a refused rename of a later part, leave none behind and
// keep a file the parts would have replaced.
TEST(SplitFaultTest, AFullDiskLeavesNoPartAndKeepsReplacedFiles) {
  test::TempDir dir;
  test::TiffBuilder tiff(true);
  for (char fill : {'a', 'b', 'c'})
    tiff.AddGreyPage(kMediumSide, kMediumSide, std::string(kMediumSide * kMediumSide, fill));
  WriteFile(dir / "in.tif", tiff.Bytes());
  WriteFile(dir / "p-2.tif", "old");
  SplitRequest request;
  request.Source = Input(dir / "in.tif");
  request.Pattern = dir / "p-%d.tif";
  for (const bool unnamed : {true, false}) {
    for (const std::int64_t limit : {std::int64_t{0}, std::int64_t{30000}, std::int64_t{60000}}) {
      SCOPED_TRACE("limit " + std::to_string(limit) + (unnamed ? ", unnamed" : ", named"));
      FaultPlan plan;
      plan.WriteLimit = limit;
      plan.RefuseUnnamed = !unnamed;
      SplitReport report;
      {
        const InjectFaults faults(plan);
        report = Split(request);
      }
      EXPECT_EQ(report.Status, Status::OutputFailed);
      EXPECT_NE(report.Reason.find("no part was written"), std::string::npos) << report.Reason;
      EXPECT_EQ(dir.Names(), (std::vector<std::string>{"in.tif", "p-2.tif"}));
      EXPECT_EQ(ReadFile(dir / "p-2.tif"), "old");
    }
  }
  const SplitReport whole = Split(request);
  EXPECT_EQ(whole.Status, Status::Ok) << whole.Reason;
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"in.tif", "p-1.tif", "p-2.tif", "p-3.tif"}));
}

}  // namespace
}  // namespace vellox
