// `vellox append` as separate processes: killed at random moments, run by
// two processes at once, waiting for the lock a merge or another append
// holds, and as batch jobs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "cli/cli_run.hpp"
#include "support/libtiff_checker.hpp"
#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_reader.hpp"

namespace vellox {
namespace {

using Clock = std::chrono::steady_clock;
using test::ReadFile;
using test::Vellox;
using test::WriteFile;

// A page of one row of grey pixels.
std::string Row(const std::string& pixels) {
  test::TiffBuilder tiff(true);
  tiff.AddGreyPage(static_cast<std::uint32_t>(pixels.size()), 1, pixels);
  return tiff.Bytes();
}

// Runs a shell command; its standard output and error.
std::string Shell(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, got);
  ::pclose(pipe);
  return out;
}

pid_t StartAppend(const std::string& target, const std::string& input) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::execl(VELLOX_CLI_PATH, "vellox", "append", target.c_str(), input.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return child;
}

int Wait(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

class AppendCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "page.tif", Row(std::string(64, 'p')));
    ASSERT_EQ(Vellox("merge -o doc.tif page.tif", dir.Path().string()).exitCode, 0);
  }
  std::string Target() const { return dir / "doc.tif"; }
  test::TempDir dir;
};

// Appends of a 2 MB page to the one-page target, each ended by `signal` at
// a random moment of its run: it reads back whole with one page or two, and
// the next append, after whatever the ended one left, goes through. Counts
// the outcomes: "old" (the old bytes exactly), "stray" (the old page and
// bytes after it), "new" (two pages).
std::map<std::string, int> EndAppendsAtRandom(const test::TempDir& dir, int signal, int rounds) {
  const std::string target = dir / "doc.tif", base = ReadFile(target);
  test::TiffBuilder big(true);
  big.AddGreyPage(1000, 2000, std::string(2000000, 'b'));
  WriteFile(dir / "big.tif", big.Bytes());
  auto span = std::chrono::microseconds::max();  // the quickest of three whole runs
  for (int run = 0; run < 3; ++run) {
    WriteFile(target, base);
    const auto started = Clock::now();
    EXPECT_EQ(Wait(StartAppend(target, dir / "big.tif")), 0);
    span = std::min(span, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started));
  }
  std::mt19937 random(20261211);
  std::map<std::string, int> outcomes;
  for (int round = 0; round < rounds; ++round) {
    WriteFile(target, base);
    const pid_t child = StartAppend(target, dir / "big.tif");
    std::this_thread::sleep_for(std::chrono::microseconds(random() % static_cast<unsigned>(span.count() + 1)));
    ::kill(child, signal);
    Wait(child);
    const int pages = test::CountPages(target);
    EXPECT_TRUE(pages == 1 || pages == 2) << "round " << round << ": " << pages << " pages";
    EXPECT_TRUE(test::ReadsCleanly(target)) << "round " << round;
    ++outcomes[pages == 2 ? "new" : ReadFile(target) == base ? "old" : "stray"];
    EXPECT_EQ(Wait(StartAppend(target, dir / "page.tif")), 0) << "round " << round;
    EXPECT_EQ(test::CountPages(target), pages + 1) << "round " << round;
    if (::testing::Test::HasFailure()) break;
  }
  std::printf("%s: %d old, %d old with stray bytes, %d new\n", strsignal(signal), outcomes["old"], outcomes["stray"],
              outcomes["new"]);
  return outcomes;
}

TEST_F(AppendCliTest, AKilledAppendLeavesTheOldOrTheNewPagesAndTheNextOneWorks) {
  EndAppendsAtRandom(dir, SIGKILL, 200);
}

// SIGTERM ends an append as cleanly as a merge: the file is cut back to its
// old bytes, unless the signal comes in the microseconds between the
// append's taking its file back and writing the link (then, as after a
// kill, stray bytes stay past the end).
TEST_F(AppendCliTest, ATerminatedAppendLeavesNothingStray) {
  EXPECT_LE(EndAppendsAtRandom(dir, SIGTERM, 50)["stray"], 2);
}

// Two processes append 100 pages each to one target: every page is there
// once, each process's in its order.
TEST_F(AppendCliTest, TwoProcessesAppendingToOneTargetTakeTurns) {
  std::string loops = "cd '" + dir.Path().string() + "' || exit; ";
  for (const char process : {'a', 'b'}) {
    for (int i = 1; i <= 100; ++i)
      WriteFile(dir / (process + std::to_string(i) + ".tif"), Row({process, static_cast<char>(i)}));
    loops += "(for i in $(seq 100); do '" VELLOX_CLI_PATH "' append doc.tif " + std::string(1, process) +
             "$i.tif >/dev/null || echo failed; done) & ";
  }
  const std::string out = Shell(loops + "wait");
  EXPECT_EQ(out, "");

  const test::TiffReader reader(ReadFile(Target()));
  const std::vector<test::ParsedDirectory> chain = reader.Chain();
  ASSERT_EQ(chain.size(), 201u);
  std::map<char, int> last = {{'a', 0}, {'b', 0}};
  for (std::size_t page = 1; page < chain.size(); ++page) {
    const std::string pixels = reader.Bytes().substr(chain[page].Find(273)->FieldNumber, 2);
    ASSERT_EQ(last.count(pixels[0]), 1u) << "page " << page;
    EXPECT_EQ(static_cast<int>(pixels[1]), ++last[pixels[0]]) << "page " << page;
  }
  EXPECT_EQ(last['a'], 100);
  EXPECT_EQ(last['b'], 100);
}

// Holds the lock an append takes on `path` for as long as it lives.
class HeldLikeAnAppend {
 public:
  explicit HeldLikeAnAppend(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    EXPECT_EQ(::fcntl(fd_, F_OFD_SETLK, &lock), 0);
  }
  ~HeldLikeAnAppend() { Release(); }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

bool StillRunning(pid_t child) {
  int status = 0;
  return ::waitpid(child, &status, WNOHANG) == 0;
}

// While an append holds the target, a merge that would replace it waits
// (rather than leave the append writing to a file that is gone), and so
// does another append, which then adds to whatever file has the name.
TEST_F(AppendCliTest, MergesAndAppendsWaitForAnAppendInProgress) {
  const std::string before = ReadFile(Target());
  HeldLikeAnAppend held(Target());
  const pid_t merge = ::fork();
  if (merge == 0) {
    ::execl(VELLOX_CLI_PATH, "vellox", "merge", "-o", Target().c_str(), (dir / "page.tif").c_str(),
            (dir / "page.tif").c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(StillRunning(merge));
  EXPECT_TRUE(ReadFile(Target()) == before);
  held.Release();
  EXPECT_EQ(Wait(merge), 0);
  EXPECT_EQ(test::CountPages(Target()), 2);

  HeldLikeAnAppend again(Target());
  const pid_t append = StartAppend(Target(), dir / "page.tif");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(StillRunning(append));
  WriteFile(dir / "next.tif", before);  // one page, put under the name as a merge would
  std::filesystem::rename(dir / "next.tif", Target());
  again.Release();
  EXPECT_EQ(Wait(append), 0);
  EXPECT_EQ(test::CountPages(Target()), 2);
}

// Batch jobs append with "append": true; a tab-separated line is a merge.
TEST_F(AppendCliTest, BatchJobsAppendWhenTheySaySo) {
  WriteFile(dir / "jobs",
            "{\"output\": \"doc.tif\", \"inputs\": [\"page.tif\", \"page.tif\"], \"append\": true}\n"
            "new.tif\tpage.tif\n");
  const test::CliRun run = Vellox("batch jobs", dir.Path().string());
  EXPECT_EQ(run.exitCode, 0) << run.out;
  EXPECT_NE(run.out.find("doc.tif: 2 pages appended"), std::string::npos) << run.out;
  EXPECT_EQ(test::CountPages(Target()), 3);
  EXPECT_EQ(test::CountPages(dir / "new.tif"), 1);
  EXPECT_EQ(Vellox("batch jobs", dir.Path().string(),
                   "echo '{\"output\": \"x\", \"inputs\": [\"y\"], "
                   "\"append\": 1}' >jobs;")
                .exitCode,
            2);
}

}  // namespace
}  // namespace vellox
