// `vellox batch JOBS [-j N] [--json] [merge options]`: reads every job first
// (so a bad list runs nothing), runs them with the library's MergeMany, and
// prints the results in job order as they come in.
#include "batch.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "console.hpp"
#include "options.hpp"
#include "report.hpp"

namespace vellox::cli {
namespace {

using Clock = std::chrono::steady_clock;

struct Jobs {
  std::vector<MergeRequest> Requests;
  std::vector<std::size_t> Lines;    // each job's 1-based line in the list
  std::vector<std::string> Outputs;  // each job's output as listed
};

struct JobError {
  std::string What;
};

// Reads lines of at most kMaxJobLine bytes, in blocks, so that a list
// without line breaks costs no more than that.
class LineReader {
 public:
  explicit LineReader(std::istream& in) : in_(in), block_(std::size_t{1} << 16) {}

  // The next line without its "\n"; false at the end of the list. Throws a
  // JobError for a line that is too long.
  bool Next(std::string& line) {
    line.clear();
    bool any = false;
    for (;;) {
      if (at_ == end_) {
        in_.read(block_.data(), static_cast<std::streamsize>(block_.size()));
        at_ = 0;
        end_ = static_cast<std::size_t>(in_.gcount());
        if (in_.bad()) throw JobError{"the list cannot be read"};
        if (end_ == 0) return any;
      }
      any = true;
      const char* start = block_.data() + at_;
      const void* newline = std::memchr(start, '\n', end_ - at_);
      const std::size_t length =
          newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - start) : end_ - at_;
      if (line.size() + length > kMaxJobLine) throw JobError{"the line is longer than 1 MiB"};
      line.append(start, length);
      at_ += length;
      if (newline) {
        ++at_;
        return true;
      }
    }
  }

 private:
  std::istream& in_;
  std::vector<char> block_;
  std::size_t at_ = 0, end_ = 0;
};

// A path read from the list: never empty, never with a NUL byte.
std::string CheckedPath(std::string path, const char* what) {
  if (path.empty()) throw JobError{std::string("an ") + what + " path is empty"};
  if (path.find('\0') != std::string::npos) throw JobError{std::string("an ") + what + " path holds a NUL byte"};
  return path;
}

// An input of a job: its path checked, its page selection read.
Input CheckedInput(Input input) {
  if (input.FromStandardInput) throw JobError{"standard input (-) cannot be an input of a batch job"};
  CheckedPath(Utf8Of(input.Path), "input");
  std::string why;
  PageSelection selection;
  if (!input.Pages.empty() && !PageSelection::Parse(input.Pages, selection, &why))
    throw JobError{Utf8Of(input.Path) + ": pages \"" + input.Pages + "\": " + why};
  return input;
}

// An element of "inputs": a path, or {"path": "...", "pages": "..."}.
Input InputOfJson(const Json& input) {
  constexpr const char* kShape = "\"inputs\" must be a list of paths or {\"path\": ..., \"pages\": ...} objects";
  if (input.is_string()) return Input(PathFromUtf8(BytesOf(input.get<std::string>())));
  if (!input.is_object()) throw JobError{kShape};
  const auto path = input.find("path");
  const auto pages = input.find("pages");
  if (path == input.end() || !path->is_string() || (pages != input.end() && !pages->is_string()))
    throw JobError{kShape};
  return Input(PathFromUtf8(BytesOf(path->get<std::string>())),
               pages == input.end() ? std::string() : BytesOf(pages->get<std::string>()));
}

// One line of JSON, {"output": "...", "inputs": [...]} with "append": true
// for an append (other members are ignored), or tab-separated: the output,
// then the inputs (PATH:PAGES selects pages, as on the command line), always
// a merge (any text in its first field could be a file's name, so none marks
// an append).
void ParseJob(std::string_view text, std::string& output, std::vector<Input>& inputs, bool& append) {
  if (text[text.find_first_not_of(" \t")] != '{') {
    bool first = true;
    for (std::size_t start = 0;;) {
      const std::size_t tab = text.find('\t', start);
      const std::string_view field =
          text.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start);
      if (first)
        output = std::string(field);
      else
        inputs.push_back(field.empty() ? Input() : InputFromArgument(field));
      first = false;
      if (tab == std::string_view::npos) break;
      start = tab + 1;
    }
    return;
  }
  Json job;
  try {
    job = ParseJson(text);
  } catch (const Json::exception& error) {
    std::string what = error.what();  // "[json.exception.parse_error.101] parse error at ..."
    throw JobError{"not valid JSON: " + what.substr(what.find("] ") == std::string::npos ? 0 : what.find("] ") + 2)};
  }
  if (!job.is_object()) throw JobError{"a job must be a JSON object"};
  const auto member = job.find("output");
  if (member == job.end() || !member->is_string()) throw JobError{"\"output\" must be a string"};
  output = BytesOf(member->get<std::string>());
  const auto list = job.find("inputs");
  if (list == job.end() || !list->is_array()) throw JobError{"\"inputs\" must be a list"};
  for (const Json& input : *list) inputs.push_back(InputOfJson(input));
  const auto flag = job.find("append");
  if (flag != job.end() && !flag->is_boolean()) throw JobError{"\"append\" must be true or false"};
  append = flag != job.end() && flag->get<bool>();
}

// Reads every job; on a bad line, says where and why and returns false.
bool ReadJobs(std::istream& in, const MergeOptions& options, Jobs& jobs) {
  LineReader reader(in);
  std::string line;
  std::size_t number = 1;
  try {
    for (; reader.Next(line); ++number) {
      std::string_view text = line;
      if (number == 1 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a UTF-8 byte order mark
      if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
      if (text.find_first_not_of(" \t") == std::string_view::npos) continue;
      std::string output;
      std::vector<Input> inputs;
      bool append = false;
      ParseJob(text, output, inputs, append);
      if (inputs.empty()) throw JobError{"the job has no inputs"};
      MergeRequest request;
      request.Output = PathFromUtf8(CheckedPath(output, "output"));
      if (!request.Output.has_filename()) throw JobError{"the output must name a file, not a folder: " + output};
      for (Input& input : inputs) request.Inputs.push_back(CheckedInput(std::move(input)));
      request.Options = options;
      request.Append = append;
      jobs.Requests.push_back(std::move(request));
      jobs.Lines.push_back(number);
      jobs.Outputs.push_back(std::move(output));
    }
  } catch (const JobError& error) {
    std::cerr << "vellox: job list line " << number << ": " << error.What << "\n";
    return false;
  }
  return true;
}

enum class Outcome { Written, Partial, Failed };

Outcome OutcomeOf(const MergeReport& report) {
  if (report.Status != Status::Ok) return Outcome::Failed;
  return SomeInputFailed(report) ? Outcome::Partial : Outcome::Written;
}

const char* NameOf(Outcome outcome) {
  switch (outcome) {
    case Outcome::Written: return "written";
    case Outcome::Partial: return "partial";
    case Outcome::Failed: return "failed";
  }
  return "unknown";
}

// The first input that did not go in whole, and why.
std::string FirstFault(const MergeReport& report) {
  std::size_t count = 0;
  std::string first;
  for (const FileReport& file : report.Files) {
    const bool missing = file.Fate == InputFate::DroppedMissing;
    if (!missing && !(file.Fate == InputFate::Copied && (file.Result != kMergeWritten || file.Pages == 0))) continue;
    if (count++ == 0)
      first = file.Path + ": " +
              (missing               ? std::string(Describe(file.Status))
               : file.Reason.empty() ? std::string("no pages")
                                     : file.Reason);
  }
  if (count > 1) first += " (and " + std::to_string(count - 1) + " more)";
  return first;
}

std::string Duration(double seconds) {
  const auto whole = static_cast<long long>(seconds + 0.5);
  char buffer[32];
  if (whole >= 3600)
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
  else
    std::snprintf(buffer, sizeof buffer, "%lld:%02lld", whole / 60, whole % 60);
  return buffer;
}

// Prints the reports in job order as MergeMany hands them over, the totals,
// and on a terminal a progress bar. Everything it writes is written under
// screen_, from whichever worker thread calls.
class Printer {
 public:
  Printer(const Jobs& jobs, bool json) : jobs_(jobs), json_(json), last_(jobs.Requests.size()) {}

  int Run(unsigned workers) {
    start_ = Clock::now();
    if (json_) std::cout << "{\n  \"results\": [";
    MergeManyOptions options;
    options.Workers = workers;
    options.Finished = [this](std::size_t index, const MergeReport& report) { Finished(index, report); };
    if (barEnabled_)
      options.Progress = [this](std::size_t index, const MergeReport& report) { return Progress(index, report); };
    MergeMany(jobs_.Requests, options);
    const std::lock_guard lock(screen_);
    ClearBar();
    PrintSummary(std::chrono::duration<double>(Clock::now() - start_).count());
    if (failed_ > 0) return kExitNothingWritten;
    return partial_ > 0 ? kExitSomeInputFailed : kExitOk;
  }

 private:
  // What each merge in progress has written so far counts in the bar.
  struct Written {
    std::uint64_t Pages = 0, Bytes = 0;
  };

  bool Progress(std::size_t index, const MergeReport& report) {
    // Only this job's worker touches last_[index] until the job ends.
    livePages_ += report.PagesWritten - last_[index].Pages;
    liveBytes_ += report.BytesWritten - last_[index].Bytes;
    last_[index] = {report.PagesWritten, report.BytesWritten};
    std::unique_lock lock(screen_, std::try_to_lock);  // never waits for another thread's output
    if (lock && Clock::now() - lastDrawn_ >= std::chrono::milliseconds(100)) DrawBar();
    return true;
  }

  void Finished(std::size_t index, const MergeReport& report) {
    const std::lock_guard lock(screen_);
    livePages_ -= last_[index].Pages;
    liveBytes_ -= last_[index].Bytes;
    ++done_;
    if (report.Status == Status::Ok) {
      pages_ += report.PagesWritten;
      bytes_ += report.BytesWritten;
    }
    waiting_.emplace(index, report);
    if (waiting_.begin()->first == printed_) {
      // The bar gives way to the lines (stdout may be the same terminal).
      ClearBar();
      for (auto next = waiting_.begin(); next != waiting_.end() && next->first == printed_;
           next = waiting_.erase(next), ++printed_)
        Print(next->first, next->second);
      std::cout.flush();
    }
    if (Clock::now() - lastDrawn_ >= std::chrono::milliseconds(100)) DrawBar();  // at most ten times a second
  }

  void Print(std::size_t index, MergeReport& report) {
    if (report.Output.empty()) report.Output = jobs_.Outputs[index];  // a merge refused before it began
    const Outcome outcome = OutcomeOf(report);
    ++(outcome == Outcome::Written ? written_ : outcome == Outcome::Partial ? partial_ : failed_);
    if (json_) {
      // The job's own `status` (written, partial, failed) comes first; the
      // merge's status follows as `merge_status`.
      Json line = {{"line", jobs_.Lines[index]}, {"status", NameOf(outcome)}};
      if (jobs_.Requests[index].Append) line["append"] = true;
      const Json merge = ReportJson(report);
      for (const auto& [key, value] : merge.items()) line[key == "status" ? "merge_status" : key] = value;
      std::cout << (index == 0 ? "\n    " : ",\n    ") << DumpJson(line);
      return;
    }
    std::cout << jobs_.Outputs[index] << ": ";
    if (outcome == Outcome::Failed)
      std::cout << "failed: " << (report.Reason.empty() ? Describe(report.Status) : report.Reason);
    else
      std::cout << Count(report.PagesWritten, "page", "pages") << (jobs_.Requests[index].Append ? " appended" : "");
    if (outcome == Outcome::Partial) std::cout << ", partial: " << FirstFault(report);
    std::cout << "\n";
  }

  void PrintSummary(double seconds) {
    const std::size_t total = jobs_.Requests.size();
    if (json_) {
      char time[32];
      std::snprintf(time, sizeof time, "%.3f", seconds);
      std::cout << (total == 0 ? "],\n" : "\n  ],\n") << "  \"jobs\": " << total << ",\n  \"written\": " << written_
                << ",\n  \"partial\": " << partial_ << ",\n  \"failed\": " << failed_ << ",\n  \"pages\": " << pages_
                << ",\n  \"bytes\": " << bytes_ << ",\n  \"seconds\": " << time << "\n}\n";
      return;
    }
    char line[256];
    std::snprintf(
        line, sizeof line, "%s in %.2f s (%.0f jobs/s): %zu written whole, %zu partial, %zu failed; %s, %.1f MB\n",
        Count(total, "job", "jobs").c_str(), seconds, seconds > 0 ? static_cast<double>(total) / seconds : 0.0,
        written_, partial_, failed_, Count(pages_, "page", "pages").c_str(), static_cast<double>(bytes_) / 1e6);
    std::cout << line;
  }

  // Called with screen_ held.
  void DrawBar() {
    if (!barEnabled_) return;
    const std::uint64_t pages = pages_ + livePages_, bytes = bytes_ + liveBytes_;
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const std::size_t total = jobs_.Requests.size();
    constexpr int kWidth = 24;
    const int filled = total == 0 ? kWidth : static_cast<int>(kWidth * done_ / total);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '.');
    const std::string eta =
        done_ == 0 ? "?" : Duration(seconds * static_cast<double>(total - done_) / static_cast<double>(done_));
    std::fprintf(stderr, "\r[%s] %zu/%zu jobs, %llu pages, %.1f MB/s, ETA %s\033[K", bar.c_str(), done_, total,
                 static_cast<unsigned long long>(pages), seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0,
                 eta.c_str());
    std::fflush(stderr);
    barShown_ = true;
    lastDrawn_ = Clock::now();
  }

  void ClearBar() {
    if (barShown_) std::fprintf(stderr, "\r\033[K");
    barShown_ = false;
  }

  const Jobs& jobs_;
  const bool json_;
  const bool barEnabled_ = StderrIsTerminal();
  std::vector<Written> last_;                               // per job: its merge's last progress
  std::atomic<std::uint64_t> livePages_{0}, liveBytes_{0};  // merges in progress, together
  Clock::time_point start_;
  // Guarded by screen_.
  std::mutex screen_;
  std::map<std::size_t, MergeReport> waiting_;  // ended, not yet printed (a job before them still runs)
  std::size_t printed_ = 0, done_ = 0, written_ = 0, partial_ = 0, failed_ = 0;
  std::uint64_t pages_ = 0, bytes_ = 0;  // of the outputs written
  bool barShown_ = false;
  Clock::time_point lastDrawn_{};
};

}  // namespace

CLI::App* AddBatchCommand(CLI::App& app, BatchOptions& options) {
  CLI::App* batch = app.add_subcommand(
      "batch",
      "Run many merges in parallel from a job list, one job per line: JSON Lines\n"
      "{\"output\": \"OUT.tif\", \"inputs\": [\"IN.tif\", {\"path\": \"B.tif\", \"pages\": \"2-z\"}, ...]}, or\n"
      "tab-separated: OUT.tif, then the inputs (B.tif:2-z selects pages).\n"
      "A JSON job with \"append\": true adds the inputs' pages to the existing OUT.tif in place, as `append`.\n"
      "Warning: input files that are empty (0 bytes) are DELETED from disk.");
  batch->add_option("JOBS", options.Jobs, "The job list, or - for standard input")->required();
  batch->add_option("-j,--jobs", options.Workers, "Merges at once (default: one per core; at most 64)")
      ->check(CLI::Range(1u, 64u));
  batch->add_flag("--json", options.Json, "Print every job's report and the totals as JSON");
  AddMergeOptions(*batch, options.Merge);
  batch->footer(
      "Exit status: 0 every output was written whole; 1 some job wrote nothing; 2 usage error or a bad\n"
      "job list (nothing is run); 3 every output was written, but some input was missing or not copied whole.");
  return batch;
}

int RunBatch(const BatchOptions& options) {
  Jobs jobs;
  bool read = false;
  if (options.Jobs == "-") {
    read = ReadJobs(std::cin, options.Merge, jobs);
  } else {
    std::ifstream file(PathFromUtf8(options.Jobs), std::ios::binary);
    if (!file) {
      std::cerr << "vellox: cannot open the job list " << options.Jobs << "\n";
      return kExitUsage;
    }
    read = ReadJobs(file, options.Merge, jobs);
  }
  if (!read) return kExitUsage;

  // Jobs run in any order and at once: none may write a file another writes
  // or reads. MergeMany would refuse such a list too; here it is a usage
  // error that names the lines.
  const std::vector<std::string> clashes = CheckJobs(jobs.Requests);
  bool clash = false;
  for (std::size_t i = 0; i < clashes.size(); ++i)
    if (!clashes[i].empty()) {
      std::cerr << "vellox: job list line " << jobs.Lines[i] << ": " << clashes[i] << "\n";
      clash = true;
    }
  if (clash) return kExitUsage;
  return Printer(jobs, options.Json).Run(options.Workers);
}

}  // namespace vellox::cli
