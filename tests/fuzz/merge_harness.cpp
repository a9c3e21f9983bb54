#include "merge_harness.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "vellox/KWVellox.hpp"
#include "vellox/vellox.hpp"

namespace vellox::fuzz {
namespace {

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "merge check failed: %s\n", what.c_str());
  std::abort();
}

void RemoveWorkDir();

// One folder per process, emptied before every merge and removed at exit.
const std::string& WorkDir() {
  // Never destroyed: the exit handler that removes the folder needs it.
  static const std::string& dir = *new std::string([] {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/vellox-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) Fail("cannot create a work folder");
    std::atexit(RemoveWorkDir);
    return pattern + "/";
  }());
  return dir;
}

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) Fail("cannot list " + dir);
  while (const dirent* entry = ::readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(listing);
  return names;
}

void Empty(const std::string& dir) {
  for (const std::string& name : Names(dir)) ::unlink((dir + name).c_str());
}

void RemoveWorkDir() {
  Empty(WorkDir());
  ::rmdir(WorkDir().c_str());
}

void WriteAll(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail("cannot create " + path);
  while (!bytes.empty()) {
    const ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put <= 0) Fail("cannot write " + path);
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  ::close(fd);
}

// The whole file, or nothing when it does not exist.
bool ReadAll(const std::string& path, std::string& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes.clear();
  char chunk[1 << 16];
  for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;) bytes.append(chunk, static_cast<std::size_t>(got));
  ::close(fd);
  return true;
}

struct Outcome {
  std::int32_t Result = 0;
  bool HasOutput = false;
  std::string Output;
  std::vector<std::int32_t> FileResults;
  std::vector<std::uint32_t> FilePages;
  std::vector<std::size_t> FileLeftOut;  // notes on parts of pages left out
};

Outcome MergeOnce(const std::vector<std::string>& inputs, OutputFormat format) {
  const std::string& dir = WorkDir();
  Empty(dir);
  // Inputs are written anew for every merge: empty ones are deleted by it.
  std::string list;
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const std::string path = dir + "in" + std::to_string(i) + ".tif";
    WriteAll(path, inputs[i]);
    list += path + ",";
  }
  std::string outputDir = dir;
  std::string name = "merged.tif";

  KWVellox merger;
  MergeOptions options;
  options.Format = format;
  merger.SetOptions(options);
  Outcome outcome;
  outcome.Result = merger.Tiff_Merge(list, outputDir, name);
  if (outcome.Result < kOutputDirMissing || outcome.Result > kMergeWritten)
    Fail("result code " + std::to_string(outcome.Result));

  for (const std::string& file : Names(dir))
    if (file.rfind(".vellox-", 0) == 0) Fail("temporary file left behind: " + file);

  outcome.HasOutput = ReadAll(dir + name, outcome.Output);
  if (outcome.HasOutput != (outcome.Result == kMergeWritten))
    Fail("result " + std::to_string(outcome.Result) + (outcome.HasOutput ? " with" : " without") + " an output");

  const MergeReport& report = merger.Report();
  if (report.Result != outcome.Result) Fail("report result differs from the returned one");
  if (outcome.HasOutput && (report.BigTiff != (format == OutputFormat::BigTiff) ||
                            outcome.Output[outcome.Output[0] == 'I' ? 2 : 3] != (report.BigTiff ? '+' : '*')))
    Fail("the output's header or its report is not in the format asked for");
  if (report.Files.size() != inputs.size()) Fail("report lists " + std::to_string(report.Files.size()) + " files");
  if (outcome.HasOutput && report.BytesWritten != outcome.Output.size())
    Fail("report counts " + std::to_string(report.BytesWritten) + " bytes, the file has " +
         std::to_string(outcome.Output.size()));
  std::uint64_t pages = 0;
  for (const FileReport& file : report.Files) {
    outcome.FileResults.push_back(file.Result);
    outcome.FilePages.push_back(file.Pages);
    outcome.FileLeftOut.push_back(file.LeftOut.size());
    pages += file.Pages;
  }
  if (outcome.HasOutput && pages != report.PagesWritten) Fail("per-file pages do not add up");
  return outcome;
}

// vellox::Info on the first input, which sets the merge's byte order, must
// leave the file as it is and say what the merge into its own format did:
// the pages it copied and the parts it left out.
void CheckInfo(const std::string& bytes, const Outcome& classic, const Outcome& big) {
  const std::string path = WorkDir() + "info.tif";
  WriteAll(path, bytes);
  const FileInfo info = Info(path);
  std::string after;
  if (!ReadAll(path, after) || after != bytes) Fail("info changed or removed its file");
  if (info.Status != Status::Ok && info.Status != Status::Damaged && info.Status != Status::NotTiff)
    Fail(std::string("info status ") + ToString(info.Status) + ": " + info.Reason);
  if ((info.Status == Status::Ok) != info.Reason.empty())
    Fail(std::string("info status ") + ToString(info.Status) + " with the reason \"" + info.Reason + "\"");
  if (!info.Tiff) return;
  const Outcome& merged = info.BigTiff ? big : classic;
  std::size_t copied = 0, leftOut = 0;
  for (const PageInfo& page : info.Pages) {
    if (page.Skipped.empty()) ++copied;
    leftOut += page.Skipped.empty() ? page.LeftOut.size() : 0;
  }
  if (copied != merged.FilePages.at(0) || leftOut != merged.FileLeftOut.at(0))
    Fail("info says a merge copies " + std::to_string(copied) + " pages with " + std::to_string(leftOut) +
         " parts left out; the merge copied " + std::to_string(merged.FilePages.at(0)) + " with " +
         std::to_string(merged.FileLeftOut.at(0)));
}

}  // namespace

void CheckMerge(const std::vector<std::string>& inputs) {
  const Outcome first = MergeOnce(inputs, OutputFormat::Classic);
  const Outcome second = MergeOnce(inputs, OutputFormat::Classic);
  if (first.Result != second.Result) Fail("two merges of the same inputs returned different results");
  if (first.FileResults != second.FileResults || first.FilePages != second.FilePages)
    Fail("two merges of the same inputs reported different files");
  if (first.Output != second.Output) Fail("two merges of the same inputs wrote different bytes");
  const Outcome big = MergeOnce(inputs, OutputFormat::BigTiff);  // the other writer keeps the same promises
  if (!inputs.empty()) CheckInfo(inputs.front(), first, big);
  Empty(WorkDir());
}

std::vector<std::string> SplitInTwo(const std::string& data) {
  const std::size_t marker = data.find(kSplitMarker);
  if (marker == std::string::npos) return {data.substr(0, data.size() / 2), data.substr(data.size() / 2)};
  return {data.substr(0, marker), data.substr(marker + sizeof kSplitMarker - 1)};
}

}  // namespace vellox::fuzz
