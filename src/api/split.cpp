// vellox::Split: one input's pages into numbered files, all named together
// at the end.
#include <charconv>
#include <memory>

#include "merge/merger.hpp"
#include "platform/files.hpp"
#include "vellox/vellox.hpp"

namespace vellox {
namespace {

namespace fs = std::filesystem;

// A pattern's one "%d" conversion, with its flags and width.
struct NumberSlot {
  std::size_t Start = 0, End = 0;  // of the conversion in the pattern
  bool ZeroPadded = false;
  std::size_t Width = 0;
};

// Finds the pattern's one %d ("%%" stands for "%"); false, with `why`, for
// a pattern with none, several, or another conversion.
bool FindNumberSlot(const std::string& pattern, NumberSlot& slot, std::string& why) {
  bool found = false;
  for (std::size_t at = 0; at < pattern.size(); ++at) {
    if (pattern[at] != '%') continue;
    if (at + 1 < pattern.size() && pattern[at + 1] == '%') {
      ++at;
      continue;
    }
    std::size_t end = at + 1;
    NumberSlot here;
    here.Start = at;
    if (end < pattern.size() && pattern[end] == '0') here.ZeroPadded = true;
    while (end < pattern.size() && pattern[end] == '0') ++end;
    const std::size_t digits = end;
    while (end < pattern.size() && pattern[end] >= '0' && pattern[end] <= '9') ++end;
    if (end - digits > 3 || end >= pattern.size() || pattern[end] != 'd') {
      why = "the pattern's only conversion must be %d (as in %03d), not \"" + pattern.substr(at, end + 1 - at) + "\"";
      return false;
    }
    std::from_chars(pattern.data() + digits, pattern.data() + end, here.Width);
    if (found) {
      why = "the pattern must hold one %d, not several";
      return false;
    }
    here.End = end + 1;
    slot = here;
    found = true;
    at = end;
  }
  if (!found) why = "the pattern must hold a %d for the part's number, as in doc-%03d.tif";
  return found;
}

std::string PartPath(const std::string& pattern, const NumberSlot& slot, std::size_t number) {
  std::string digits = std::to_string(number);
  if (digits.size() < slot.Width) digits.insert(0, slot.Width - digits.size(), slot.ZeroPadded ? '0' : ' ');
  std::string path;
  const auto literal = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      path.push_back(pattern[i]);
      if (pattern[i] == '%' && i + 1 < to && pattern[i + 1] == '%') ++i;
    }
  };
  literal(0, slot.Start);
  path += digits;
  literal(slot.End, pattern.size());
  return path;
}

SplitReport Refused(Status status, std::string reason) {
  SplitReport report;
  report.Status = status;
  report.Reason = std::move(reason);
  return report;
}

}  // namespace

SplitReport Split(const SplitRequest& request, const ProgressCallback& progress, std::stop_token stop) {
  try {
    NumberSlot slot;
    std::string why;
    if (request.Every == 0) return Refused(Status::InvalidRequest, "parts must hold at least one page");
    if (!FindNumberSlot(request.Pattern, slot, why)) return Refused(Status::InvalidRequest, why);
    PageSelection selection;
    if (!request.Source.Pages.empty() && !PageSelection::Parse(request.Source.Pages, selection, &why))
      return Refused(Status::InvalidRequest, "pages \"" + request.Source.Pages + "\": " + why);
    std::string path;
    if (request.Source.FromStandardInput) {
      if (!platform::StandardInputPath(path, why)) return Refused(Status::CannotOpen, why);
    } else {
      path = Utf8Of(fs::absolute(request.Source.Path));
    }

    SplitReport report;
    report.Source.Path = request.Source.FromStandardInput ? "-" : Utf8Of(request.Source.Path);
    MergeReport scratch;
    Merger finder(MergeOptions{}, scratch);
    PageList chain;
    std::string end;
    bool big = false;
    if (const Status found = finder.FindPages(path, chain, end, big); found != Status::Ok)
      return Refused(found, scratch.Reason);
    const auto picked = selection.Pick(chain.Directories.size(), &why);
    if (!picked) {
      if (!end.empty()) why += " (its chain of pages ends early: " + end + ")";
      return Refused(chain.Directories.empty() ? Status::Damaged : Status::InvalidRequest,
                     report.Source.Path + ": " + (selection.All() ? end : "pages " + selection.Text() + ": " + why));
    }
    if (selection.All() && !end.empty())
      return Refused(Status::Damaged, report.Source.Path + ": its chain of pages ends early: " + end);
    const std::size_t partCount = (picked->size() + request.Every - 1) / request.Every;
    if (partCount > platform::InputHandleBudget())
      return Refused(Status::InvalidRequest,
                     std::to_string(partCount) +
                         " parts are more than this process may hold open until all are written (" +
                         std::to_string(platform::InputHandleBudget()) +
                         "); raise its limit of open files (ulimit -n) or put more pages in each part");

    MergeOptions options;
    options.Sync = request.Sync;
    options.Format = big ? OutputFormat::BigTiff : OutputFormat::Classic;
    options.Clone = CloneMode::Auto;
    std::vector<std::unique_ptr<platform::OutputFile>> parts(partCount);
    // One merger writes every part (its buffers serve them all); progress is
    // reported per part, with the report of the part in hand.
    MergeReport partReport;
    Merger merger(options, partReport, [&] { return !stop.stop_requested() && (!progress || progress(partReport)); });
    const fs::path current = fs::current_path();
    std::vector<std::string> names(partCount);
    for (std::size_t part = 0; part < partCount; ++part) {
      auto pages = std::make_shared<PageList>();
      for (std::size_t k = part * request.Every; k < picked->size() && k < (part + 1) * request.Every; ++k) {
        pages->Directories.push_back(chain.Directories[(*picked)[k]]);
        pages->Numbers.push_back((*picked)[k]);
      }
      names[part] = PartPath(request.Pattern, slot, part + 1);
      fs::path target = PathFromUtf8(names[part]);
      if (!target.is_absolute())  // Windows' "C:x" and "\\x" are relative to more than the current folder
        target = target.has_root_name() || target.has_root_directory() ? fs::absolute(target) : current / target;
      merger.GivenPages = {pages};
      merger.Finished = &parts[part];
      merger.Run({path}, Utf8Of(target.parent_path()), Utf8Of(target.filename()));
      const FileReport* file = partReport.Files.empty() ? nullptr : &partReport.Files.front();
      if (file != nullptr) {
        for (const PageNote& note : file->Skipped) report.Source.Skipped.push_back(note);
        for (const PageNote& note : file->LeftOut) report.Source.LeftOut.push_back(note);
        for (const PageNote& note : file->Transcoded) report.Source.Transcoded.push_back(note);
      }
      if (partReport.Status != Status::Ok || file == nullptr || file->Status != Status::Ok) {
        // Nothing is named: the parts written so far go with their files.
        const std::string reason =
            partReport.Status != Status::Ok || file == nullptr ? partReport.Reason : file->Reason;
        report.Status = partReport.Status != Status::Ok ? partReport.Status : Status::PartlyCopied;
        report.Reason =
            "part " + std::to_string(part + 1) + " (" + names[part] + "): " + reason + "; no part was written";
        report.Source.Status = file != nullptr ? file->Status : partReport.Status;
        report.Source.Reason = reason;
        report.PagesWritten = 0;
        report.BytesWritten = 0;
        return report;
      }
      report.PagesWritten += partReport.PagesWritten;
      report.BytesWritten += partReport.BytesWritten;
      report.BigTiff = partReport.BigTiff;
    }
    // All written: each part now takes its name.
    for (std::size_t part = 0; part < partCount; ++part) {
      try {
        parts[part]->Commit();
      } catch (const std::exception& error) {
        report.Status = Status::OutputFailed;
        report.Reason = std::string(error.what()) + "; " +
                        (part == 0 ? std::string("no part was written")
                                   : "parts 1 to " + std::to_string(part) + " had been named already");
        report.Parts.assign(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(part));
        return report;
      }
    }
    report.Parts = std::move(names);
    report.Status = Status::Ok;
    report.Source.Status = Status::Ok;
    report.Source.Fate = InputFate::Copied;
    report.Source.Result = kMergeWritten;
    report.Source.Pages = static_cast<std::uint32_t>(report.PagesWritten);
    return report;
  } catch (const std::bad_alloc&) {
    return Refused(Status::OutOfMemory, "out of memory");
  } catch (const std::exception& error) {
    return Refused(Status::InvalidRequest, error.what());
  }
}

}  // namespace vellox
