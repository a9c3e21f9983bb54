// The command line when the world works against it: signals, size limits,
// a full disk, targets that are private files, links, devices or FIFOs,
// failures that must say why, paths that are not UTF-8. Runs the tool
// built with the fault-injection wrappers (VELLOX_TEST_FAULTS), the real
// one otherwise.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <thread>

#include "cli/cli_run.hpp"
#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_reader.hpp"

namespace vellox {
namespace {

namespace fs = std::filesystem;
using test::CliRun;
using test::ReadFile;
using test::Vellox;
using test::WriteFile;

std::string GreyTiff(std::uint32_t side) {
  test::TiffBuilder tiff(true);
  tiff.AddGreyPage(side, side, std::string(std::size_t{side} * side, 'p'));
  return tiff.Bytes();
}

class CliConditionsTest : public ::testing::Test {
 protected:
  void SetUp() override { WriteFile(dir / "a.tif", GreyTiff(4)); }
  std::string Folder() const { return dir.Path().string(); }
  std::size_t Pages(const std::string& path) { return test::TiffReader(ReadFile(path)).Chain().size(); }
  test::TempDir dir;
};

// True once the process has its output open: an unnamed file (shown as
// "FOLDER/#inode (deleted)") or a hidden one in FOLDER.
bool HasOutputOpen(pid_t pid, const std::string& folder) {
  std::error_code error;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    const std::string target = fs::read_symlink(fd.path(), error).string();
    if (target.rfind(folder + "/#", 0) == 0 || target.rfind(folder + "/.vellox-", 0) == 0) return true;
  }
  return false;
}

// Runs a long merge, sends `signal` once the output is open, and returns
// the wait status.
int InterruptedMerge(const std::string& folder, int signal, const char* faults) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (faults != nullptr) ::setenv("VELLOX_TEST_FAULTS", faults, 1);
    const std::string big = folder + "/big.tif";
    ::execl(VELLOX_CLI_PATH, "vellox", "merge", "-o", (folder + "/out.tif").c_str(), big.c_str(), big.c_str(),
            big.c_str(), big.c_str(), big.c_str(), big.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!HasOutputOpen(child, folder) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  ::kill(child, signal);
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

TEST_F(CliConditionsTest, ASignalEndsTheMergeWithoutLeavingAFile) {
  WriteFile(dir / "big.tif", GreyTiff(6000));  // 36 MB, listed six times
  for (const char* faults : {static_cast<const char*>(nullptr), "refuse-unnamed"}) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
      if (faults != nullptr && signal == SIGKILL) continue;  // a named file cannot outlive nothing: see README
      SCOPED_TRACE(std::string(faults == nullptr ? "unnamed" : "named") + " output, signal " + std::to_string(signal));
      const int status = InterruptedMerge(Folder(), signal, faults);
      ASSERT_TRUE(WIFSIGNALED(status)) << "the merge ended before the signal came: make it longer";
      EXPECT_EQ(WTERMSIG(status), signal);  // ends as the signal says, after cleaning up
      EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.tif", "big.tif"}));
    }
  }
}

TEST_F(CliConditionsTest, AFileSizeLimitIsAnOrdinaryWriteFailure) {
  WriteFile(dir / "big.tif", GreyTiff(2000));
  const CliRun run = Vellox("merge -o out.tif big.tif big.tif", Folder(), "ulimit -f 3000;");
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_NE(run.out.find("vellox: cannot write " + (dir / "out.tif") + ": File too large"), std::string::npos)
      << run.out;
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.tif", "big.tif"}));
}

TEST_F(CliConditionsTest, AFullDiskFailsTheMergeAndKeepsTheOldTarget) {
  fs::create_directory(dir / "full");
  if (::mount("tmpfs", (dir / "full").c_str(), "tmpfs", 0, "size=2m") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << std::strerror(errno);
  WriteFile(dir / "full/out.tif", "old");
  WriteFile(dir / "big.tif", GreyTiff(1200));  // 1.4 MB: the second copy does not fit
  const CliRun run = Vellox("merge -o full/out.tif big.tif big.tif big.tif", Folder());
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_NE(run.out.find("vellox: cannot write " + (dir / "full/out.tif") + ": No space left on device"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(ReadFile(dir / "full/out.tif"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "full"), fs::directory_iterator()), 1);
  ::umount((dir / "full").c_str());
}

TEST_F(CliConditionsTest, AFullDiskLeavesNoHiddenFileEither) {
  WriteFile(dir / "big.tif", GreyTiff(500));
  const CliRun run =
      Vellox("merge -o out.tif big.tif big.tif", Folder(), "VELLOX_TEST_FAULTS=refuse-unnamed,write-limit=300000");
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_NE(run.out.find("No space left on device"), std::string::npos) << run.out;
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.tif", "big.tif"}));
}

// Standard output and input: the file written down a pipe is the file
// written to disk, a pipe read as an input works as the file, and a reader
// that closes the pipe early ends the merge with a clear error.
TEST_F(CliConditionsTest, PipesCarryTheSameFileAndAnEarlyCloseSaysWhy) {
  WriteFile(dir / "big.tif", GreyTiff(1000));  // 1 MB: more than a pipe holds
  ASSERT_EQ(Vellox("merge -o file.tif a.tif big.tif", Folder()).exitCode, 0);
  const CliRun piped = Vellox("merge -o - a.tif big.tif 2>report.txt | cat > piped.tif", Folder());
  EXPECT_EQ(piped.exitCode, 0) << piped.out;
  EXPECT_TRUE(ReadFile(dir / "piped.tif") == ReadFile(dir / "file.tif"));
  EXPECT_NE(ReadFile(dir / "report.txt").find("to standard output"), std::string::npos);
  const CliRun fromPipe =
      Vellox("merge -o in.tif -:2-z a.tif < /dev/null; cat file.tif | " VELLOX_CLI_PATH " merge -o in.tif -- a.tif -:z",
             Folder());
  EXPECT_EQ(fromPipe.exitCode, 0) << fromPipe.out;
  EXPECT_EQ(Pages(dir / "in.tif"), 2u);

  const std::string early = "cd '" + Folder() +
                            "' && ('" VELLOX_CLI_PATH
                            "' merge -o - big.tif big.tif 2>err.txt; echo $? > rc.txt) | head -c 100 > /dev/null";
  ASSERT_EQ(std::system(early.c_str()), 0);
  EXPECT_EQ(ReadFile(dir / "rc.txt"), "1\n");
  EXPECT_NE(ReadFile(dir / "err.txt").find("cannot write standard output: Broken pipe"), std::string::npos)
      << ReadFile(dir / "err.txt");
  for (const char* name : {"err.txt", "rc.txt", "report.txt", "piped.tif", "file.tif", "in.tif"})
    fs::remove(dir / name);
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"a.tif", "big.tif"}));
}

TEST_F(CliConditionsTest, AReplacedTargetKeepsItsModeAndItsLink) {
  fs::create_directory(dir / "real");
  WriteFile(dir / "real/private.tif", "old");
  ::chmod((dir / "real/private.tif").c_str(), 0600);
  fs::create_symlink("real/private.tif", dir / "link.tif");
  for (const char* faults : {"", "VELLOX_TEST_FAULTS=refuse-unnamed"}) {
    const CliRun run = Vellox("merge --sync -o link.tif a.tif a.tif", Folder(), faults);
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_TRUE(fs::is_symlink(dir / "link.tif"));
    struct stat st {};
    ASSERT_EQ(::stat((dir / "real/private.tif").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(Pages(dir / "real/private.tif"), 2u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "real"), fs::directory_iterator()), 1);
  }
}

TEST_F(CliConditionsTest, EveryFailureSaysWhy) {
  CliRun run = Vellox("merge -o /proc/x.tif a.tif", Folder());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("vellox: cannot create /proc/x.tif: "), std::string::npos) << run.out;
  fs::create_directory(dir / "taken.tif");
  run = Vellox("merge -o taken.tif a.tif", Folder());
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.out.find("vellox: cannot replace " + (dir / "taken.tif") + ": Is a directory"), std::string::npos)
      << run.out;
  run = Vellox("merge -o nowhere/out.tif a.tif", Folder());
  EXPECT_NE(run.out.find("vellox: the output directory does not exist: " + (dir / "nowhere")), std::string::npos)
      << run.out;
}

// Renaming over a device or FIFO would leave a plain file in its place; a
// link loop leads to no file. Both are refused before anything is written.
TEST_F(CliConditionsTest, TargetsThatAreNotRegularFilesAreRefusedAndStay) {
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0644), 0);
  fs::create_symlink("fifo", dir / "to-fifo");
  const bool device = ::mknod((dir / "null").c_str(), S_IFCHR | 0644, ::makedev(1, 3)) == 0;  // root only
  fs::create_symlink("loop-b", dir / "loop-a");
  fs::create_symlink("loop-a", dir / "loop-b");
  const std::vector<std::string> before = dir.Names();
  for (const std::string name : {"fifo", "to-fifo", "null"}) {
    if (name == "null" && !device) continue;
    const CliRun run = Vellox("merge -o " + name + " a.tif", Folder(), "timeout 20");  // never waits on the FIFO
    EXPECT_EQ(run.exitCode, 1) << run.out;
    EXPECT_NE(run.out.find("vellox: cannot replace " + (dir / name) + ": not a regular file"), std::string::npos)
        << run.out;
  }
  const CliRun loop = Vellox("merge -o loop-a a.tif", Folder());
  EXPECT_EQ(loop.exitCode, 1);
  EXPECT_NE(loop.out.find("cannot create " + (dir / "loop-a") + ": Too many levels of symbolic links"),
            std::string::npos)
      << loop.out;
  EXPECT_EQ(dir.Names(), before);
  EXPECT_EQ(fs::symlink_status(dir / "fifo").type(), fs::file_type::fifo);
  if (device) {
    EXPECT_EQ(fs::symlink_status(dir / "null").type(), fs::file_type::character);
  }
}

TEST_F(CliConditionsTest, JsonCarriesAnyPathBytes) {
  const std::string odd = "x\xff\xc3(.tif";  // a lone 0xFF, then a cut two-byte sequence
  WriteFile(dir / odd, GreyTiff(4));
  const CliRun run = Vellox("merge --json -o 'o\xc3\xa9.tif' '" + odd + "'", Folder());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("x\\udcff\\udcc3(.tif"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("o\xc3\xa9.tif"), std::string::npos) << run.out;  // well-formed UTF-8 stays as it is
  EXPECT_EQ(run.out.find('\xff'), std::string::npos);
}

}  // namespace
}  // namespace vellox
