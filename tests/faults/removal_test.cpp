// Empty inputs are deleted only while they are empty and are the file that
// was checked. The races are played out at the exact moment between the
// check and the deletion (through the fault-injection hook), and once more
// with a real writer running alongside. Inputs that cannot be opened or
// deleted say why.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <filesystem>

#include "platform/files.hpp"
#include "support/fault_injection.hpp"
#include "support/temp_dir.hpp"

namespace vellox {
namespace {

using platform::InputFile;
using platform::Removal;
using platform::RemoveIfEmpty;
using test::FaultPlan;
using test::InjectFaults;
using test::ReadFile;
using test::WriteFile;

// What the hooks act on (they cannot capture).
std::string victim;
std::string elsewhere;

void WriteHundredBytes() {
  const int fd = ::open(victim.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, std::string(100, 'x').data(), 100), 100);
  ::close(fd);
}
// Swaps the victim's folder for a link to another folder that holds a
// non-empty file of the same name.
void SwapFolderForLink() {
  const std::filesystem::path folder = std::filesystem::path(victim).parent_path();
  std::filesystem::rename(folder, folder.string() + ".moved");
  std::filesystem::create_directory_symlink(elsewhere, folder);
}

class RemovalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(dir / "in");
    victim = dir / "in/x.tif";
    WriteFile(victim, "");
  }
  platform::RemovalOutcome RemoveWith(void (*hook)()) {
    FaultPlan plan;
    plan.BeforeLease = hook;
    const InjectFaults faults(plan);
    return RemoveIfEmpty(victim);
  }
  test::TempDir dir;
};

TEST_F(RemovalTest, AnEmptyFileIsDeleted) {
  EXPECT_EQ(RemoveIfEmpty(victim).Kind, Removal::Deleted);
  EXPECT_FALSE(test::Exists(victim));
  EXPECT_TRUE(dir.Names() == std::vector<std::string>{"in"});
}

TEST_F(RemovalTest, AFileWrittenBetweenCheckAndDeletionIsKept) {
  EXPECT_EQ(RemoveWith(WriteHundredBytes).Kind, Removal::NoLongerEmpty);
  EXPECT_EQ(ReadFile(victim), std::string(100, 'x'));
  EXPECT_EQ(std::filesystem::directory_iterator(dir / "in")->path().filename(), "x.tif");  // nothing beside it
}

TEST_F(RemovalTest, AFileAnotherProgramHoldsOpenIsKept) {
  // Leases are refused to a process that holds the file open itself, so
  // the writer here is a child process.
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ::open(victim.c_str(), O_WRONLY);
    ::sleep(2);
    ::close(fd);
    ::_exit(0);
  }
  ::usleep(200000);
  const platform::RemovalOutcome outcome = RemoveIfEmpty(victim);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  if (outcome.Kind != Removal::InUse) GTEST_SKIP() << "file leases are not available here";
  EXPECT_TRUE(test::Exists(victim));
}

TEST_F(RemovalTest, SwappingTheFolderForALinkCannotRedirectTheDeletion) {
  std::filesystem::create_directory(dir / "other");
  elsewhere = dir / "other";
  WriteFile(dir / "other/x.tif", "precious");
  EXPECT_EQ(RemoveWith(SwapFolderForLink).Kind, Removal::Deleted);
  EXPECT_EQ(ReadFile(dir / "other/x.tif"), "precious");
  EXPECT_FALSE(test::Exists(dir / "in.moved/x.tif"));  // the checked file went
}

TEST_F(RemovalTest, ALinkToAnEmptyFileLosesOnlyTheLink) {
  WriteFile(dir / "target.tif", "");
  std::filesystem::remove(victim);
  std::filesystem::create_symlink(dir / "target.tif", victim);
  EXPECT_EQ(RemoveIfEmpty(victim).Kind, Removal::DeletedLink);
  EXPECT_FALSE(std::filesystem::is_symlink(victim));
  EXPECT_TRUE(test::Exists(dir / "target.tif"));
}

// A file that reads as empty but cannot be deleted (every file in /proc has
// the size 0, and renaming one there answers "no such file") is a failure,
// not a file that went away.
TEST_F(RemovalTest, AnEmptyFileThatCannotBeDeletedIsAFailure) {
  if (!test::Exists("/proc/cpuinfo")) GTEST_SKIP() << "no /proc here";
  const platform::RemovalOutcome outcome = RemoveIfEmpty("/proc/cpuinfo");
  EXPECT_EQ(outcome.Kind, Removal::Failed) << outcome.Detail;
  EXPECT_NE(outcome.Detail, "");
}

// Only a file absent from a folder that exists is Missing (and then
// dropped like an empty one); every other failure says why.
TEST_F(RemovalTest, AnInputThatCannotBeOpenedSaysWhy) {
  ASSERT_EQ(::mkfifo((dir / "in/fifo").c_str(), 0600), 0);  // opened without waiting for a writer
  struct Case {
    std::string Path;
    InputFile::OpenResult Result;
    std::string Reason;
  };
  const Case cases[] = {
      {dir / "in", InputFile::OpenResult::Failed, "is a directory"},
      {dir / "in/fifo", InputFile::OpenResult::Failed, "not a regular file"},
      {dir / "in/none.tif", InputFile::OpenResult::Missing, "no such file or directory"},
      {dir / "none/x.tif", InputFile::OpenResult::Failed, "the folder does not exist"},
      {"", InputFile::OpenResult::Failed, "empty path"},
      {victim + std::string(1, '\0') + ".old", InputFile::OpenResult::Failed, "contains a NUL byte"},
  };
  for (const Case& c : cases) {
    InputFile input;
    EXPECT_EQ(input.Open(c.Path), c.Result) << c.Path;
    EXPECT_EQ(input.Error(), c.Reason) << c.Path;
  }
}

TEST_F(RemovalTest, AnUnreadableInputSaysPermissionDenied) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
  ASSERT_EQ(::chmod(victim.c_str(), 0), 0);
  InputFile input;
  EXPECT_EQ(input.Open(victim), InputFile::OpenResult::Failed);
  EXPECT_EQ(input.Error(), "permission denied");
}

// A writer in another process appends to the file a few microseconds
// after the removal starts, the delay swept across rounds so that it lands
// everywhere in the removal, the moment between check and deletion
// included (a plain check-then-unlink loses data here within a few hundred
// rounds). Whatever the timing, a write that succeeded is found in the file.
TEST_F(RemovalTest, ARacingWriterNeverLosesItsData) {
  // Shared with the writer: [0] go, [1] the writer's outcome, [2] ready.
  void* shared = ::mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* flags = static_cast<std::atomic<int>*>(shared);
  int lost = 0;
  for (int round = 0; round < 400; ++round) {
    WriteFile(victim, "");
    for (int i = 0; i < 3; ++i) flags[i] = 0;
    const pid_t child = ::fork();
    if (child == 0) {
      flags[2] = 1;
      while (flags[0].load() == 0) {
      }
      std::atomic<int> spin{0};
      while (spin.fetch_add(1, std::memory_order_relaxed) < (round % 80) * 200) {
      }
      const int fd = ::open(victim.c_str(), O_WRONLY | O_APPEND);
      const bool wrote = fd >= 0 && ::write(fd, std::string(100, 'x').data(), 100) == 100;
      flags[1] = wrote ? 2 : 1;
      ::_exit(0);
    }
    while (flags[2].load() == 0) {
    }
    flags[0] = 1;
    (void)RemoveIfEmpty(victim);
    ::waitpid(child, nullptr, 0);
    if (flags[1] == 2 && (!test::Exists(victim) || ReadFile(victim).size() != 100)) ++lost;
  }
  ::munmap(shared, 4096);
  EXPECT_EQ(lost, 0);
}

}  // namespace
}  // namespace vellox
