// vellox::Merge, vellox::Append, vellox::CheckJobs and vellox::MergeMany: the
// library's own calls, which every front end uses.
#include <algorithm>
#include <atomic>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "merge/merger.hpp"
#include "platform/file_identity.hpp"
#include "platform/files.hpp"
#include "vellox/vellox.hpp"

namespace vellox {
namespace {

namespace fs = std::filesystem;

// The most merges MergeMany runs at once: the library remembers the hidden
// outputs of this many merges for removal on a signal.
constexpr unsigned kMaxWorkers = 64;

// An input as messages name it.
std::string NameOf(const Input& input) {
  return input.FromStandardInput ? std::string("standard input") : Utf8Of(input.Path);
}

// Ends `report` before the merge began, for a request that cannot run.
MergeReport Refused(const MergeRequest& request, Status status, std::string reason) {
  MergeReport report;
  report.Status = status;
  report.Result = ResultCodeOf(status);
  report.Reason = std::move(reason);
  for (const Input& input : request.Inputs) {
    FileReport file;
    file.Path = input.FromStandardInput ? std::string("-") : Utf8Of(input.Path);
    file.Reason = request.Append ? "not copied: the append did not start" : "not copied: the merge did not start";
    report.Files.push_back(std::move(file));
  }
  return report;
}

// A path joined to the current folder as it is, not normalised: "link/.."
// means what the file system says it means. The folder is looked up once
// per merge, not once per input.
class Absolute {
 public:
  std::string Text(const fs::path& path) {
    if (path.empty()) return {};
    if (path.is_absolute()) return Utf8Of(path);
    // Windows' "C:x" and "\\x" are relative to more than the current folder.
    if (path.has_root_name() || path.has_root_directory()) return Utf8Of(fs::absolute(path));
    if (current_.empty()) current_ = fs::current_path();
    return Utf8Of(current_ / path);
  }

 private:
  fs::path current_;
};

}  // namespace

namespace {

// The merger's list, selections and output for a request; a refusal
// report instead when an input cannot be listed (a page selection that is
// not one, standard input that cannot be read).
std::optional<MergeReport> Prepare(const MergeRequest& request, Merger& merger, std::vector<std::string>& list) {
  list.reserve(request.Inputs.size());
  merger.Selections.resize(request.Inputs.size());
  Absolute absolute;
  for (std::size_t i = 0; i < request.Inputs.size(); ++i) {
    const Input& input = request.Inputs[i];
    std::string why;
    if (!input.Pages.empty() && !PageSelection::Parse(input.Pages, merger.Selections[i], &why))
      return Refused(request, Status::InvalidRequest, NameOf(input) + ": pages \"" + input.Pages + "\": " + why);
    if (!input.FromStandardInput) {
      list.push_back(absolute.Text(input.Path));
      continue;
    }
    std::string path;
    if (!platform::StandardInputPath(path, why)) return Refused(request, Status::CannotOpen, why);
    // Empty input files are deleted and dropped; standard input cannot be.
    platform::InputFile file;
    if (file.Open(path) == platform::InputFile::OpenResult::Ok && file.Size() == 0)
      return Refused(request, Status::NotTiff, "standard input is empty: no TIFF file came through it");
    list.push_back(std::move(path));
  }
  merger.ToStandardOutput = request.ToStandardOutput;
  return std::nullopt;
}

}  // namespace

MergeReport Merge(const MergeRequest& request, const ProgressCallback& progress, std::stop_token stop) {
  if (request.Append) return Append(request.Output, request.Inputs, request.Options, progress, stop);
  try {
    if (!request.ToStandardOutput && (request.Output.empty() || !request.Output.has_filename()))
      return Refused(request, Status::InvalidRequest,
                     "the output must name a file, not \"" + Utf8Of(request.Output) + "\"");
    MergeReport report;
    Merger merger(request.Options, report, [&] {
      if (stop.stop_requested()) return false;
      return !progress || progress(report);
    });
    std::vector<std::string> list;
    if (auto refused = Prepare(request, merger, list)) return std::move(*refused);
    if (request.ToStandardOutput) {
      merger.Run(list, std::string(), std::string(1, '-'));
      report.Output.assign(1, '-');
    } else {
      const fs::path output = fs::absolute(request.Output);
      merger.Run(list, Utf8Of(output.parent_path()), Utf8Of(output.filename()));
    }
    for (std::size_t i = 0; i < request.Inputs.size() && i < report.Files.size(); ++i)
      if (request.Inputs[i].FromStandardInput) report.Files[i].Path.assign(1, '-');
    return report;
  } catch (const std::bad_alloc&) {
    return Refused(request, Status::OutOfMemory, "out of memory");
  } catch (const std::exception& error) {
    // fs::absolute fails when the current folder is gone.
    return Refused(request, Status::InvalidRequest, error.what());
  }
}

MergeReport Append(const fs::path& target, const std::vector<Input>& inputs, const MergeOptions& options,
                   const ProgressCallback& progress, std::stop_token stop) {
  MergeRequest request;
  request.Inputs = inputs;
  request.Output = target;
  request.Options = options;
  request.Append = true;
  try {
    if (target.empty() || !target.has_filename())
      return Refused(request, Status::InvalidRequest, "the target must name a file, not \"" + Utf8Of(target) + "\"");
    MergeReport report;
    Merger merger(options, report, [&] {
      if (stop.stop_requested()) return false;
      return !progress || progress(report);
    });
    std::vector<std::string> list;
    if (auto refused = Prepare(request, merger, list)) return std::move(*refused);
    merger.Append(list, Absolute().Text(target));
    for (std::size_t i = 0; i < inputs.size() && i < report.Files.size(); ++i)
      if (inputs[i].FromStandardInput) report.Files[i].Path.assign(1, '-');
    return report;
  } catch (const std::bad_alloc&) {
    return Refused(request, Status::OutOfMemory, "out of memory");
  } catch (const std::exception& error) {
    return Refused(request, Status::InvalidRequest, error.what());
  }
}

std::vector<std::string> CheckJobs(const std::vector<MergeRequest>& requests) {
  std::vector<std::string> problems(requests.size());
  // Every output's identity and the first job that writes it.
  std::map<std::tuple<std::uint64_t, std::uint64_t, std::string>, std::size_t> writers;
  const auto key = [](const platform::FileIdentity& id) { return std::make_tuple(id.Device, id.Node, id.Name); };
  std::vector<platform::FileIdentity> outputs(requests.size());
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (requests[i].ToStandardOutput) continue;
    outputs[i] = platform::IdentityOf(Utf8Of(requests[i].Output));
    if (!outputs[i].Known) continue;  // its folder is missing: the merge itself says so
    const auto [at, added] = writers.emplace(key(outputs[i]), i);
    if (!added)
      problems[i] = "job " + std::to_string(i + 1) + " writes " + Utf8Of(requests[i].Output) + ", the file that job " +
                    std::to_string(at->second + 1) + " also writes (as " + Utf8Of(requests[at->second].Output) + ")";
  }
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (!problems[i].empty()) continue;
    for (const Input& input : requests[i].Inputs) {
      if (input.FromStandardInput) continue;
      const platform::FileIdentity id = platform::IdentityOf(Utf8Of(input.Path));
      if (!id.Known) continue;
      const auto writer = writers.find(key(id));
      if (writer == writers.end() || writer->second == i) continue;
      problems[i] = "job " + std::to_string(i + 1) + " reads " + Utf8Of(input.Path) + ", which job " +
                    std::to_string(writer->second + 1) + " writes (as " + Utf8Of(requests[writer->second].Output) +
                    "): jobs run in any order, so what it would read is undefined";
      break;
    }
  }
  return problems;
}

std::vector<MergeReport> MergeMany(const std::vector<MergeRequest>& requests, const MergeManyOptions& options) {
  std::vector<MergeReport> reports(requests.size());
  const std::vector<std::string> problems = CheckJobs(requests);
  if (std::any_of(problems.begin(), problems.end(), [](const std::string& p) { return !p.empty(); })) {
    for (std::size_t i = 0; i < requests.size(); ++i) {
      reports[i] = Refused(requests[i], Status::InvalidRequest,
                           problems[i].empty() ? "not run: another job in the list clashes with one" : problems[i]);
      if (options.Finished) options.Finished(i, reports[i]);
    }
    return reports;
  }

  unsigned workers = options.Workers != 0 ? options.Workers : std::max(1u, std::thread::hardware_concurrency());
  workers = static_cast<unsigned>(std::min<std::size_t>({workers, kMaxWorkers, requests.size()}));
  std::atomic<std::size_t> next{0};
  std::mutex finishing;
  std::exception_ptr callbackError;  // the first exception of a Finished callback
  std::atomic<bool> stopFeeding{false};
  const auto work = [&] {
    for (;;) {
      const std::size_t i = next.fetch_add(1);
      if (i >= requests.size() || stopFeeding) return;
      ProgressCallback progress;
      if (options.Progress) progress = [&, i](const MergeReport& report) { return options.Progress(i, report); };
      reports[i] = Merge(requests[i], progress, options.Stop);
      if (!options.Finished) continue;
      std::lock_guard lock(finishing);
      try {
        options.Finished(i, reports[i]);
      } catch (...) {
        if (!callbackError) callbackError = std::current_exception();
        stopFeeding = true;
      }
    }
  };
  {
    std::vector<std::jthread> pool;
    for (unsigned w = 1; w < workers; ++w) pool.emplace_back(work);
    work();  // the calling thread is one of the workers
  }
  if (callbackError) std::rethrow_exception(callbackError);
  return reports;
}

}  // namespace vellox
