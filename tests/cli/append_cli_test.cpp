// `vellox append` as separate processes: ended at random moments, run by two
// processes at once, waiting for the lock an append holds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "support/libtiff_checker.hpp"
#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_reader.hpp"

namespace vellox {
namespace {

using test::ReadFile;
using test::WriteFile;

// A page of grey pixels, `rows` rows of `pixels`.
std::string Page(const std::string& pixels, std::uint32_t rows = 1) {
  test::TiffBuilder tiff(true);
  tiff.AddGreyPage(static_cast<std::uint32_t>(pixels.size() / rows), rows, pixels);
  return tiff.Bytes();
}

// Starts `vellox COMMAND TARGET INPUT...`.
pid_t Start(std::vector<std::string> arguments) {
  const pid_t child = ::fork();
  if (child == 0) {
    std::vector<char*> argv = {const_cast<char*>("vellox")};
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    ::execv(VELLOX_CLI_PATH, argv.data());
    ::_exit(127);
  }
  return child;
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

int Wait(pid_t child, int options = 0) {
  int status = -1;
  return ::waitpid(child, &status, options) == 0 ? -1 : status;  // -1: still running
}

// Waits (up to 20 s) until some process waits for a lock on the file with
// inode `node`, as /proc/locks shows it ("-> " before a waiter's entry).
bool SomeoneWaitsForALockOn(ino_t node) {
  const std::string key = ":" + std::to_string(node) + " ";
  for (int tries = 0; tries < 2000; ++tries) {
    std::string line;
    for (std::ifstream locks("/proc/locks"); std::getline(locks, line);)
      if (line.find("-> ") != std::string::npos && line.find(key) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

class AppendCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir / "page.tif", Page(std::string(64, 'p')));
    ASSERT_EQ(Wait(Start({"merge", "-o", Target(), dir / "page.tif"})), 0);
  }
  std::string Target() const { return dir / "doc.tif"; }

  // Appends of a 1 MB page to the one-page target, each ended by `signal`
  // at a random moment of its run: the target reads back whole with one
  // page or two, and the next append, after whatever the ended one left,
  // goes through. Counts "old" (the old bytes exactly), "stray" (the old
  // page and bytes after it) and "new" (two pages).
  std::map<std::string, int> EndAppendsAtRandom(int signal, int rounds) {
    const std::string base = ReadFile(Target()), big = dir / "big.tif";
    WriteFile(big, Page(std::string(1000000, 'b'), 1000));
    auto span = std::chrono::microseconds::max();  // the quickest of three whole runs
    for (int run = 0; run < 3; ++run) {
      WriteFile(Target(), base);
      const auto started = std::chrono::steady_clock::now();
      EXPECT_EQ(Wait(Start({"append", Target(), big})), 0);
      span = std::min(
          span, std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started));
    }
    std::mt19937 random(20261211);
    std::map<std::string, int> outcomes;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
      WriteFile(Target(), base);
      const pid_t child = Start({"append", Target(), big});
      std::this_thread::sleep_for(std::chrono::microseconds(random() % static_cast<unsigned>(span.count() + 1)));
      ::kill(child, signal);
      Wait(child);
      const int pages = test::CountPages(Target());
      EXPECT_TRUE(pages == 1 || pages == 2) << "round " << round << ": " << pages << " pages";
      EXPECT_TRUE(test::ReadsCleanly(Target())) << "round " << round;
      ++outcomes[pages == 2 ? "new" : ReadFile(Target()) == base ? "old" : "stray"];
      EXPECT_EQ(Wait(Start({"append", Target(), dir / "page.tif"})), 0) << "round " << round;
      EXPECT_EQ(test::CountPages(Target()), pages + 1) << "round " << round;
    }
    std::printf("%s: %d old, %d old with stray bytes, %d new\n", strsignal(signal), outcomes["old"], outcomes["stray"],
                outcomes["new"]);
    return outcomes;
  }

  test::TempDir dir;
};

TEST_F(AppendCliTest, AKilledAppendLeavesTheOldOrTheNewPagesAndTheNextOneWorks) {
  EndAppendsAtRandom(SIGKILL, 200);
}

// SIGTERM ends an append as cleanly as a merge: the file is cut back to its
// old bytes, unless the signal falls in the microseconds between the
// append's taking its file back and writing the link.
TEST_F(AppendCliTest, ATerminatedAppendLeavesNothingStray) {
  EXPECT_LE(EndAppendsAtRandom(SIGTERM, 50)["stray"], 2);
}

// Two processes append 100 pages each to one target: every page is there
// once, each process's in its order.
TEST_F(AppendCliTest, TwoProcessesAppendingToOneTargetTakeTurns) {
  std::string loops = "cd '" + dir.Path().string() + "' || exit; ";
  for (const char process : {'a', 'b'}) {
    for (int i = 1; i <= 100; ++i) WriteFile(dir / (process + std::to_string(i)), Page({process, char(i)}));
    loops += "(for i in $(seq 100); do '" VELLOX_CLI_PATH "' append doc.tif " + std::string(1, process) +
             "$i >/dev/null || echo failed; done) & ";
  }
  EXPECT_EQ(Shell(loops + "wait"), "");

  const test::TiffReader reader(ReadFile(Target()));
  const std::vector<test::ParsedDirectory> chain = reader.Chain();
  ASSERT_EQ(chain.size(), 201u);
  std::map<char, int> last = {{'a', 0}, {'b', 0}};
  for (std::size_t page = 1; page < chain.size(); ++page) {
    const std::string pixels = reader.Bytes().substr(chain[page].Find(273)->FieldNumber, 2);
    ASSERT_EQ(last.count(pixels[0]), 1u) << "page " << page;
    EXPECT_EQ(pixels[1], ++last[pixels[0]]) << "page " << page;
  }
  EXPECT_EQ(last, (std::map<char, int>{{'a', 100}, {'b', 100}}));
}

// While an append holds the target, a merge that would replace it waits
// (rather than leave the append adding to a file that is gone); one that
// read the target, to which the append then added, fails rather than lose
// what was added; and another append waits, then adds to the file that has
// the name by then.
TEST_F(AppendCliTest, MergesAndAppendsWaitForAnAppendInProgress) {
  const std::string page = dir / "page.tif";
  for (const char* waiter : {"merge", "merge of the target", "append"}) {
    const std::string before = ReadFile(Target());
    const int held = ::open(Target().c_str(), O_RDWR | O_CLOEXEC);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    ASSERT_EQ(::fcntl(held, F_OFD_SETLK, &lock), 0);
    const std::string what = waiter;
    const pid_t child = what == "append" ? Start({"append", Target(), page})
                                         : Start({"merge", "-o", Target(), what == "merge" ? page : Target(), page});
    struct stat st {};
    ASSERT_EQ(::fstat(held, &st), 0);
    EXPECT_TRUE(SomeoneWaitsForALockOn(st.st_ino)) << what;
    EXPECT_EQ(Wait(child, WNOHANG), -1) << what;
    EXPECT_TRUE(ReadFile(Target()) == before) << what;
    if (what == "merge of the target") {
      EXPECT_EQ(::pwrite(held, "appended", 8, static_cast<off_t>(before.size())), 8);
    } else if (what == "append") {  // one page under the name, as a merge would put it there
      WriteFile(dir / "next.tif", ReadFile(page));
      std::filesystem::rename(dir / "next.tif", Target());
    }
    ::close(held);
    const int status = Wait(child);
    EXPECT_EQ(WEXITSTATUS(status), what == "merge of the target" ? 1 : 0) << what;
    EXPECT_EQ(test::CountPages(Target()), 2) << what;
  }
}

}  // namespace
}  // namespace vellox
