// `vellox batch JOBS [-j N] [--json] [--sync] [--format F] [--clone C]
// [--byte-order B]`: reads every job first (so a bad list runs nothing), then
// runs the merges on N worker threads, each with its own merger, and prints the
// results in job order as they come in.
#include "batch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "console.hpp"
#include "report.hpp"
#include "vellox/KWVellox.hpp"

namespace vellox::cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kExitOk = 0;
constexpr int kExitSomeFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSomePartial = 3;

struct Job {
  std::size_t Line = 0;  // 1-based line in the job list
  std::string Output;    // as listed
  std::vector<std::string> Inputs;
  // What the merger is given: absolute paths, the list with its commas.
  std::string List, Directory, Name, Target;
};

struct JobError {
  std::string What;
};

// One line of JSON: {"output": "...", "inputs": ["...", ...]}; other members
// are allowed and ignored. Strings may hold any bytes: \udcXX (a lone low
// surrogate from U+DC80 to U+DCFF) stands for the byte XX, as `--json`
// writes bytes that are not UTF-8.
class JsonJob {
 public:
  explicit JsonJob(std::string_view text) : text_(text) {}

  void Parse(Job& job) {
    bool haveOutput = false, haveInputs = false;
    Expect('{');
    if (!Take('}')) {
      do {
        const std::string key = String();
        Expect(':');
        if (key == "output" || key == "inputs") {
          bool& seen = key == "output" ? haveOutput : haveInputs;
          if (seen) throw JobError{"\"" + key + "\" given twice"};
          seen = true;
          if (key == "output") {
            job.Output = String();
          } else {
            Expect('[');
            if (!Take(']')) {
              do job.Inputs.push_back(String());
              while (Take(','));
              Expect(']');
            }
          }
        } else {
          SkipValue(0);
        }
      } while (Take(','));
      Expect('}');
    }
    SkipSpace();
    if (at_ != text_.size()) throw JobError{"text after the job's closing '}'"};
    if (!haveOutput) throw JobError{"no \"output\""};
    if (!haveInputs) throw JobError{"no \"inputs\""};
  }

 private:
  void SkipSpace() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r')) ++at_;
  }
  bool Take(char c) {
    SkipSpace();
    if (at_ < text_.size() && text_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  void Expect(char c) {
    if (!Take(c)) throw JobError{std::string("expected '") + c + "' at column " + std::to_string(at_ + 1)};
  }

  unsigned Hex4() {
    if (at_ + 4 > text_.size()) throw JobError{"\\u needs four hex digits"};
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[at_++];
      value <<= 4;
      if (c >= '0' && c <= '9')
        value |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f')
        value |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        value |= static_cast<unsigned>(c - 'A' + 10);
      else
        throw JobError{"\\u needs four hex digits"};
    }
    return value;
  }

  static void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }

  void Escape(std::string& out) {
    if (at_ >= text_.size()) throw JobError{"unfinished string"};
    const char c = text_[at_++];
    switch (c) {
      case '"':
      case '\\':
      case '/': out.push_back(c); return;
      case 'b': out.push_back('\b'); return;
      case 'f': out.push_back('\f'); return;
      case 'n': out.push_back('\n'); return;
      case 'r': out.push_back('\r'); return;
      case 't': out.push_back('\t'); return;
      case 'u': break;
      default: throw JobError{std::string("unknown escape \\") + c};
    }
    unsigned code = Hex4();
    if (code >= 0xD800 && code <= 0xDBFF) {  // the first half of a pair
      if (text_.substr(at_, 2) != "\\u") throw JobError{"a lone surrogate"};
      at_ += 2;
      const unsigned low = Hex4();
      if (low < 0xDC00 || low > 0xDFFF) throw JobError{"a lone surrogate"};
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    } else if (code >= 0xDC80 && code <= 0xDCFF) {  // a byte that is not UTF-8
      out.push_back(static_cast<char>(code - 0xDC00));
      return;
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      throw JobError{"a lone surrogate"};
    }
    AppendUtf8(out, code);
  }

  std::string String() {
    SkipSpace();
    if (at_ >= text_.size() || text_[at_] != '"')
      throw JobError{"expected a string at column " + std::to_string(at_ + 1)};
    ++at_;
    std::string out;
    for (;;) {
      if (at_ >= text_.size()) throw JobError{"unfinished string"};
      const char c = text_[at_++];
      if (c == '"') return out;
      if (c == '\\')
        Escape(out);
      else
        out.push_back(c);
    }
  }

  // Steps over a value of a member nobody reads.
  void SkipValue(int depth) {
    if (depth > 64) throw JobError{"nested too deeply"};
    SkipSpace();
    if (at_ >= text_.size()) throw JobError{"expected a value"};
    const char c = text_[at_];
    if (c == '"') {
      String();
    } else if (c == '{' || c == '[') {
      const char close = c == '{' ? '}' : ']';
      ++at_;
      if (Take(close)) return;
      do {
        if (c == '{') {
          String();
          Expect(':');
        }
        SkipValue(depth + 1);
      } while (Take(','));
      Expect(close);
    } else {
      const std::size_t start = at_;
      while (at_ < text_.size() &&
             std::string_view("+-.0123456789eEtruefalsn").find(text_[at_]) != std::string_view::npos)
        ++at_;
      if (at_ == start) throw JobError{"expected a value at column " + std::to_string(at_ + 1)};
    }
  }

  std::string_view text_;
  std::size_t at_ = 0;
};

// Tab-separated: the output, then the inputs.
void ParseTabs(std::string_view text, Job& job) {
  std::vector<std::string> fields;
  for (std::size_t start = 0;;) {
    const std::size_t tab = text.find('\t', start);
    fields.emplace_back(text.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) break;
    start = tab + 1;
  }
  job.Output = fields.front();
  job.Inputs.assign(fields.begin() + 1, fields.end());
}

std::string Normal(const std::string& path) {
  return PathToUtf8(fs::absolute(PathFromUtf8(path)).lexically_normal());
}

// Checks the job's paths and prepares what the merger is given.
void Prepare(Job& job) {
  if (job.Inputs.empty()) throw JobError{"no inputs"};
  auto check = [](const std::string& path, const char* what) {
    if (path.empty()) throw JobError{std::string("an empty ") + what + " path"};
    if (path.find('\0') != std::string::npos) throw JobError{std::string("a NUL byte in an ") + what + " path"};
  };
  check(job.Output, "output");
  for (const std::string& input : job.Inputs) {
    check(input, "input");
    if (input.find(',') != std::string::npos) throw JobError{"input paths cannot contain ',': " + input};
    job.List += PathToUtf8(fs::absolute(PathFromUtf8(input))) + ",";
  }
  const fs::path target = fs::absolute(PathFromUtf8(job.Output));
  job.Target = PathToUtf8(target);
  job.Directory = PathToUtf8(target.parent_path());
  job.Name = PathToUtf8(target.filename());
  if (job.Name.empty()) throw JobError{"the output must name a file: " + job.Output};
}

// Reads every job; on a bad line, says where and why and returns false.
bool ReadJobs(std::istream& in, std::vector<Job>& jobs) {
  std::string line;
  for (std::size_t number = 1; std::getline(in, line); ++number) {
    std::string_view text = line;
    if (number == 1 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a UTF-8 byte order mark
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (text.find_first_not_of(" \t") == std::string_view::npos) continue;
    Job job;
    job.Line = number;
    try {
      if (text[text.find_first_not_of(" \t")] == '{')
        JsonJob(text).Parse(job);
      else
        ParseTabs(text, job);
      Prepare(job);
    } catch (const JobError& error) {
      std::cerr << "vellox: job list line " << number << ": " << error.What << "\n";
      return false;
    }
    jobs.push_back(std::move(job));
  }
  if (in.bad()) {
    std::cerr << "vellox: cannot read the job list\n";
    return false;
  }
  return true;
}

// Jobs run in any order and at the same time, so no two may write the same
// file and no job may read what another writes (a job may name its own
// output among its inputs, as `merge` may).
bool CheckIndependent(const std::vector<Job>& jobs) {
  std::unordered_map<std::string, std::size_t> writers;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const auto [at, added] = writers.emplace(Normal(jobs[i].Output), i);
    if (!added) {
      std::cerr << "vellox: job list line " << jobs[i].Line << ": the output " << jobs[i].Output
                << " is also written by line " << jobs[at->second].Line << "\n";
      return false;
    }
  }
  for (const Job& job : jobs)
    for (const std::string& input : job.Inputs) {
      const auto writer = writers.find(Normal(input));
      if (writer != writers.end() && jobs[writer->second].Line != job.Line) {
        std::cerr << "vellox: job list line " << job.Line << ": the input " << input << " is written by line "
                  << jobs[writer->second].Line << "\n";
        return false;
      }
    }
  return true;
}

enum class Status { Written, Partial, Failed };

Status StatusOf(const MergeReport& report) {
  if (report.Result != kMergeWritten) return Status::Failed;
  return SomeInputFailed(report) ? Status::Partial : Status::Written;
}

const char* StatusName(Status status) {
  switch (status) {
    case Status::Written: return "written";
    case Status::Partial: return "partial";
    case Status::Failed: return "failed";
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
              (missing               ? std::string("no such file")
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

// The shared state of a run: workers take jobs by number and leave their
// reports in their job's slot; the main thread prints the slots in order.
class Run {
 public:
  Run(std::vector<Job>& jobs, unsigned workers, const BatchOptions& options)
      : jobs_(jobs), options_(options), reports_(jobs.size()), live_(workers) {
    for (auto& live : live_) {
      live.Pages = 0;
      live.Bytes = 0;
    }
  }

  int Execute() {
    start_ = Clock::now();
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < live_.size(); ++i) threads.emplace_back([this, i] { Work(live_[i]); });
    if (options_.Json) std::cout << "{\n  \"results\": [";
    std::unique_lock lock(mutex_);
    while (printed_ < jobs_.size()) {
      ready_.wait_for(lock, std::chrono::milliseconds(200), [this] { return reports_[printed_].has_value(); });
      std::vector<std::pair<std::size_t, MergeReport>> batch;
      for (; printed_ < jobs_.size() && reports_[printed_]; ++printed_) {
        batch.emplace_back(printed_, std::move(*reports_[printed_]));
        reports_[printed_].reset();
      }
      lock.unlock();
      // The bar gives way to the lines (stdout may be the same terminal) and
      // comes back at most ten times a second.
      if (!batch.empty()) ClearBar();
      for (auto& [index, report] : batch) Print(index, report);
      if (!batch.empty()) std::cout.flush();
      if (Clock::now() - lastDrawn_ >= std::chrono::milliseconds(100)) DrawBar();
      lock.lock();
    }
    lock.unlock();
    for (std::thread& thread : threads) thread.join();
    ClearBar();
    PrintSummary(std::chrono::duration<double>(Clock::now() - start_).count());
    if (failed_ > 0) return kExitSomeFailed;
    return partial_ > 0 ? kExitSomePartial : kExitOk;
  }

 private:
  // What a worker's merge in progress has written so far, for the bar.
  struct Live {
    std::atomic<std::uint64_t> Pages, Bytes;
  };

  void Work(Live& live) {
    KWVellox merger;
    MergeOptions mergeOptions;
    mergeOptions.Sync = options_.Sync;
    mergeOptions.Format = options_.Format;
    mergeOptions.Clone = options_.Clone;
    mergeOptions.Order = options_.Order;
    merger.SetOptions(mergeOptions);
    merger.SetYieldHook([&] {
      live.Pages.store(merger.Report().PagesWritten, std::memory_order_relaxed);
      live.Bytes.store(merger.Report().BytesWritten, std::memory_order_relaxed);
    });
    for (;;) {
      const std::size_t index = next_.fetch_add(1);
      if (index >= jobs_.size()) return;
      Job& job = jobs_[index];
      merger.Tiff_Merge(job.List, job.Directory, job.Name);
      MergeReport report = merger.Report();
      {
        std::lock_guard lock(mutex_);
        if (report.Result == kMergeWritten) {
          pagesDone_ += report.PagesWritten;
          bytesDone_ += report.BytesWritten;
        }
        ++done_;
        live.Pages = 0;
        live.Bytes = 0;
        reports_[index] = std::move(report);
      }
      ready_.notify_one();
      job.List.clear();
      job.List.shrink_to_fit();
    }
  }

  void Print(std::size_t index, const MergeReport& report) {
    const Job& job = jobs_[index];
    const Status status = StatusOf(report);
    switch (status) {
      case Status::Written: ++written_; break;
      case Status::Partial: ++partial_; break;
      case Status::Failed: ++failed_; break;
    }
    if (report.Result == kMergeWritten) {
      pages_ += report.PagesWritten;
      bytes_ += report.BytesWritten;
    }
    if (options_.Json) {
      std::cout << (index == 0 ? "\n    " : ",\n    ");
      WriteJsonLine(std::cout, report, job.Target,
                    "\"line\": " + std::to_string(job.Line) + ", \"status\": \"" + StatusName(status) + "\", ");
      return;
    }
    std::cout << job.Output << ": ";
    if (status == Status::Failed)
      std::cout << "failed: " << (report.Reason.empty() ? ResultMessage(report.Result) : report.Reason);
    else
      std::cout << report.PagesWritten << (report.PagesWritten == 1 ? " page" : " pages");
    if (status == Status::Partial) std::cout << ", partial: " << FirstFault(report);
    std::cout << "\n";
  }

  void PrintSummary(double seconds) {
    const std::size_t total = jobs_.size();
    if (options_.Json) {
      char time[32];
      std::snprintf(time, sizeof time, "%.3f", seconds);
      std::cout << (total == 0 ? "],\n" : "\n  ],\n") << "  \"jobs\": " << total << ",\n  \"written\": " << written_
                << ",\n  \"partial\": " << partial_ << ",\n  \"failed\": " << failed_ << ",\n  \"pages\": " << pages_
                << ",\n  \"bytes\": " << bytes_ << ",\n  \"seconds\": " << time << "\n}\n";
      return;
    }
    char line[256];
    std::snprintf(line, sizeof line,
                  "%zu jobs in %.2f s (%.0f jobs/s): %zu written whole, %zu partial, %zu failed; %llu pages, %.1f MB\n",
                  total, seconds, seconds > 0 ? static_cast<double>(total) / seconds : 0.0, written_, partial_, failed_,
                  static_cast<unsigned long long>(pages_), static_cast<double>(bytes_) / 1e6);
    std::cout << line;
  }

  void DrawBar() {
    if (!barEnabled_) return;
    std::uint64_t pages = 0, bytes = 0;
    std::size_t done = 0;
    {
      std::lock_guard lock(mutex_);
      pages = pagesDone_;
      bytes = bytesDone_;
      done = done_;
    }
    for (const Live& live : live_) {
      pages += live.Pages.load(std::memory_order_relaxed);
      bytes += live.Bytes.load(std::memory_order_relaxed);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const std::size_t total = jobs_.size();
    constexpr int kWidth = 24;
    const int filled = total == 0 ? kWidth : static_cast<int>(kWidth * done / total);
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.resize(kWidth, '.');
    const std::string eta =
        done == 0 ? "?" : Duration(seconds * static_cast<double>(total - done) / static_cast<double>(done));
    std::fprintf(stderr, "\r[%s] %zu/%zu jobs, %llu pages, %.1f MB/s, ETA %s\033[K", bar.c_str(), done, total,
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

  std::vector<Job>& jobs_;
  const BatchOptions& options_;
  std::vector<std::optional<MergeReport>> reports_;  // guarded by mutex_
  std::vector<Live> live_;
  std::atomic<std::size_t> next_{0};
  std::mutex mutex_;
  std::condition_variable ready_;
  std::size_t done_ = 0;                         // guarded by mutex_
  std::uint64_t pagesDone_ = 0, bytesDone_ = 0;  // guarded by mutex_
  Clock::time_point start_;
  // The main thread's own.
  std::size_t printed_ = 0, written_ = 0, partial_ = 0, failed_ = 0;
  std::uint64_t pages_ = 0, bytes_ = 0;
  bool barEnabled_ = StderrIsTerminal();
  bool barShown_ = false;
  Clock::time_point lastDrawn_{};
};

}  // namespace

CLI::Option* AddByteOrderOption(CLI::App& command, ByteOrder& order) {
  // Names to values through a callback rather than a transformer, whose
  // messages would print the values, small integers, as bytes.
  static const std::vector<std::pair<std::string, ByteOrder>> kOrders = {
      {"first", ByteOrder::First}, {"little", ByteOrder::Little}, {"big", ByteOrder::Big}, {"auto", ByteOrder::Auto}};
  std::vector<std::string> names;
  for (const auto& [name, value] : kOrders) names.push_back(name);
  const auto choose = [&order](const std::string& chosen) {
    for (const auto& [name, value] : kOrders)
      if (name == chosen) order = value;
  };
  return command
      .add_option_function<std::string>(
          "--byte-order", choose,
          "Output byte order: first (the first input's, the default), little, big, or auto (the order that needs the "
          "fewest bytes transcoded); pages whose compressed 16/32/64-bit samples are in the other order are "
          "transcoded")
      ->transform(CLI::IsMember(names, CLI::ignore_case));  // passes on the name as listed
}

CLI::App* AddBatchCommand(CLI::App& app, BatchOptions& options) {
  CLI::App* batch = app.add_subcommand(
      "batch",
      "Run many merges in parallel from a job list, one job per line: JSON Lines\n"
      "{\"output\": \"OUT.tif\", \"inputs\": [\"IN.tif\", ...]}, or tab-separated: OUT.tif, then the inputs.\n"
      "Warning: input files that are empty (0 bytes) are DELETED from disk.");
  batch->add_option("JOBS", options.Jobs, "The job list, or - for standard input")->required();
  batch->add_option("-j,--jobs", options.Workers, "Merges at once (default: one per core; at most 64)")
      ->check(CLI::Range(1u, kMaxWorkers));
  batch->add_flag("--json", options.Json, "Print every job's report and the totals as JSON");
  batch->add_flag("--sync", options.Sync, "Flush each output to the disk before it replaces its target");
  const std::map<std::string, OutputFormat> formats = {
      {"classic", OutputFormat::Classic}, {"bigtiff", OutputFormat::BigTiff}, {"auto", OutputFormat::Auto}};
  batch
      ->add_option("--format", options.Format,
                   "Output format: classic, bigtiff, or auto (classic when it fits, the default)")
      ->transform(CLI::CheckedTransformer(formats, CLI::ignore_case));
  const std::map<std::string, CloneMode> clones = {{"auto", CloneMode::Auto}, {"never", CloneMode::Never}};
  batch
      ->add_option("--clone", options.Clone,
                   "auto: on file systems that share blocks (XFS, btrfs), clone large strips and tiles instead of "
                   "copying them (the default); never: copy every byte")
      ->transform(CLI::CheckedTransformer(clones, CLI::ignore_case));
  AddByteOrderOption(*batch, options.Order);
  batch->footer(
      "Exit status: 0 every output was written whole; 1 some job wrote nothing; 2 usage error or a bad\n"
      "job list (nothing is run); 3 every output was written, but some input was missing or not copied whole.");
  return batch;
}

int RunBatch(const BatchOptions& options) {
  std::vector<Job> jobs;
  bool read = false;
  if (options.Jobs == "-") {
    read = ReadJobs(std::cin, jobs);
  } else {
    std::ifstream file(PathFromUtf8(options.Jobs), std::ios::binary);
    if (!file) {
      std::cerr << "vellox: cannot open the job list " << options.Jobs << "\n";
      return kExitUsage;
    }
    read = ReadJobs(file, jobs);
  }
  if (!read || !CheckIndependent(jobs)) return kExitUsage;

  unsigned workers = options.Workers;
  if (workers == 0) workers = std::max(1u, std::thread::hardware_concurrency());
  workers = std::min<unsigned>({workers, kMaxWorkers, static_cast<unsigned>(std::max<std::size_t>(jobs.size(), 1))});
  return Run(jobs, workers, options).Execute();
}

}  // namespace vellox::cli
