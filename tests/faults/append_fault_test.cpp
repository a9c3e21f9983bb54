// An append that fails at any write or flush leaves its target with exactly
// its old pages: cut back to its old bytes, or where even the cut fails, with
// the new bytes lying unlinked past its chain. A failure of the link's own
// write or of the flush after it puts the old link back first.
#include <gtest/gtest.h>

#include "support/fault_injection.hpp"
#include "support/libtiff_checker.hpp"
#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "vellox/vellox.hpp"

namespace vellox {
namespace {

using test::FaultPlan;
using test::InjectFaults;
using test::ReadFile;
using test::WriteFile;

std::string Grey(std::uint32_t side, char fill, int pages = 1) {
  test::TiffBuilder tiff(true);
  for (int i = 0; i < pages; ++i) tiff.AddGreyPage(side, side, std::string(std::size_t{side} * side, fill));
  return tiff.Bytes();
}

class AppendFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "old.tif", Grey(6, 'o', 2));
    WriteFile(dir / "a.tif", Grey(8, 'a'));
    WriteFile(dir / "b.tif", Grey(512, 'b'));  // a 256 KiB strip: copied in the kernel
    WriteFile(dir / "c.tif", Grey(160, 'c'));  // 25 KiB: written with what is buffered
    old_ = ReadFile(dir / "old.tif");
  }

  MergeReport AppendUnder(const FaultPlan& plan) {
    WriteFile(Target(), old_);
    const InjectFaults faults(plan);
    return vellox::Append(Target(), {dir / "a.tif", dir / "b.tif", dir / "c.tif"});
  }

  std::string Target() const { return dir / "doc.tif"; }
  std::vector<test::PageRef> OldPages() const { return {{dir / "old.tif", 0}, {dir / "old.tif", 1}}; }

  // A failed append says why and leaves the old pages; `cutBack`: its old
  // bytes exactly.
  void ExpectNothingAdded(const MergeReport& report, bool cutBack) {
    EXPECT_EQ(report.Status, Status::OutputFailed);
    EXPECT_NE(report.Reason.find(Target()), std::string::npos) << report.Reason;
    const std::string bytes = ReadFile(Target());
    if (cutBack) {
      EXPECT_TRUE(bytes == old_) << bytes.size() << " bytes, not the old " << old_.size();
    }
    EXPECT_TRUE(bytes.compare(0, old_.size(), old_) == 0);
    EXPECT_TRUE(test::PagesMatch(Target(), OldPages()));
  }

  test::TempDir dir;
  std::string old_;
};

TEST_F(AppendFaultTest, AFailureAtAnyWriteOrFlushAddsNothing) {
  ASSERT_EQ(AppendUnder(FaultPlan{}).Status, Status::Ok);
  const test::FaultCounts clean = InjectFaults::Counts();
  EXPECT_EQ(clean.FsyncCalls, 2u);
  std::vector<test::PageRef> all = OldPages();
  for (const char* name : {"a.tif", "b.tif", "c.tif"}) all.push_back({dir / name, 0});
  EXPECT_TRUE(test::PagesMatch(Target(), all));

  for (const bool cutFails : {false, true}) {
    for (std::uint64_t call = 1; call <= clean.WriteCalls; ++call) {
      SCOPED_TRACE("write call " + std::to_string(call) + (cutFails ? ", cutting back fails" : ""));
      FaultPlan plan;
      plan.FailWriteCall = call;  // with ENOSPC, which no copy falls back from
      plan.TruncateError = cutFails ? EIO : 0;
      ExpectNothingAdded(AppendUnder(plan), !cutFails);
    }
    for (std::uint64_t call = 1; call <= clean.FsyncCalls; ++call) {
      SCOPED_TRACE("flush " + std::to_string(call) + (cutFails ? ", cutting back fails" : ""));
      FaultPlan plan;
      plan.FailFsyncCall = call;
      plan.TruncateError = cutFails ? EIO : 0;
      ExpectNothingAdded(AppendUnder(plan), !cutFails);
      if (call == 1) {
        EXPECT_EQ(InjectFaults::Counts().WriteCalls, clean.WriteCalls - 1);  // the link comes after
      }
    }
  }
}

// The disk fills just as the link is written: putting the old link back
// fails too, so the new bytes stay (the link may have reached them) and the
// file still reads with its old pages.
TEST_F(AppendFaultTest, ALinkThatCannotBePutBackKeepsTheNewBytes) {
  ASSERT_EQ(AppendUnder(FaultPlan{}).Status, Status::Ok);
  const std::uint64_t written = InjectFaults::Counts().BytesWritten;
  FaultPlan plan;
  plan.WriteLimit = static_cast<std::int64_t>(written - 4);  // all but the link's 4 bytes
  ExpectNothingAdded(AppendUnder(plan), false);
  EXPECT_GT(ReadFile(Target()).size(), old_.size());
}

}  // namespace
}  // namespace vellox
