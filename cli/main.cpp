// vellox: the command-line front of the merger.
//
//   vellox merge -o OUT.tif IN.tif...       friendly merge with a report
//                                           (IN may be PATH:PAGES, "-" for stdin; -o - for stdout)
//   vellox split IN -o 'part-%03d.tif'      one file per page (or per --every N pages)
//   vellox append TARGET.tif IN.tif...      add pages to an existing file in place
//   vellox batch JOBS [-j N] [--json]       many merges in parallel
//   vellox info IN... [--json]              what each file holds, page by page
//   vellox tiff-merge LIST OUTPUTDIR NAME   one literal call of Tiff_Merge
//   vellox version
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "batch.hpp"
#include "console.hpp"
#include "info.hpp"
#include "options.hpp"
#include "report.hpp"
#include "vellox/KWVellox.hpp"
#include "vellox/vellox.hpp"

namespace {

using namespace vellox::cli;

// The notes on an input's pages, one line each.
void PrintPageNotes(std::ostream& out, const vellox::FileReport& file) {
  for (const vellox::PageNote& page : file.Skipped)
    out << "  page " << page.Index + 1 << " skipped: " << page.Reason << "\n";
  for (const vellox::PageNote& page : file.Transcoded)
    out << "  page " << page.Index + 1 << " transcoded: " << page.Reason << "\n";
  for (const vellox::PageNote& part : file.LeftOut) out << "  page " << part.Index + 1 << ": " << part.Reason << "\n";
}

// One line per input: what it contributed, or why it contributed nothing.
void PrintText(std::ostream& out, const vellox::MergeReport& report, bool appended) {
  for (const vellox::FileReport& file : report.Files) {
    out << file.Path << ": ";
    if (file.Fate != vellox::InputFate::Copied) {
      out << (file.Reason.empty() ? vellox::Describe(file.Status) : file.Reason) << "\n";
      continue;
    }
    out << Count(file.Pages, "page", "pages");
    if (file.Result != vellox::kMergeWritten)
      out << " (failed: " << file.Reason << ")";
    else if (report.Status != vellox::Status::Ok)
      out << " (" << file.Reason << ")";
    out << "\n";
    PrintPageNotes(out, file);
  }
  if (report.Status == vellox::Status::Ok)
    out << (appended ? "appended " : "wrote ") << Count(report.PagesWritten, "page", "pages") << ", "
        << Count(report.BytesWritten, "byte", "bytes") << " to "
        << (report.Output == "-" ? std::string("standard output") : report.Output) << "\n";
  else
    std::cerr << "vellox: " << (report.Reason.empty() ? vellox::Describe(report.Status) : report.Reason) << "\n";
}

// A request refused as given (a page the file lacks, a selection that is
// not one) is a usage error; any other failure wrote nothing.
int ExitCodeOf(vellox::Status status) {
  if (status == vellox::Status::InvalidRequest) return kExitUsage;
  return status == vellox::Status::Ok ? kExitOk : kExitNothingWritten;
}

// Shows pages and bytes on a terminal while a long merge runs.
class ProgressLine {
 public:
  bool Update(const vellox::MergeReport& report) {
    if (!enabled_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return true;
    last_ = now;
    std::fprintf(stderr, "\r%llu pages, %llu MB", static_cast<unsigned long long>(report.PagesWritten),
                 static_cast<unsigned long long>(report.BytesWritten >> 20));
    shown_ = true;
    return true;
  }
  // Clears the line so that the report starts on a clean one.
  void Finish() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
    shown_ = false;
  }
  ~ProgressLine() { Finish(); }

 private:
  bool enabled_ = StderrIsTerminal();
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

// Merges the inputs into `output`, or with `append` adds their pages to it.
int RunMerge(const std::string& output, const std::vector<std::string>& inputs, bool json,
             const vellox::MergeOptions& options, bool append) {
  vellox::MergeRequest request;
  request.ToStandardOutput = !append && output == "-";
  request.Output = vellox::PathFromUtf8(output);
  request.Options = options;
  request.Append = append;
  const char* what = append ? "target" : "output";
  if (output.empty()) {
    std::cerr << "vellox: the " << what << " path" << (append ? "" : " (-o)") << " is empty; it must name a file\n";
    return kExitUsage;
  }
  if (!request.ToStandardOutput && !request.Output.has_filename()) {
    std::cerr << "vellox: the " << what << " must name a file, not a folder: " << output << "\n";
    return kExitUsage;
  }
  if (request.ToStandardOutput && StdoutIsTerminal()) {
    std::cerr << "vellox: -o - writes the TIFF file to standard output, which is a terminal; redirect it\n";
    return kExitUsage;
  }
  for (const std::string& input : inputs) {
    if (input.empty()) {
      std::cerr << "vellox: an input path is empty\n";
      return kExitUsage;
    }
    request.Inputs.push_back(vellox::InputFromArgument(input));
  }

  ProgressLine progress;
  vellox::MergeReport report =
      vellox::Merge(request, [&progress](const vellox::MergeReport& now) { return progress.Update(now); });
  progress.Finish();
  if (report.Output.empty()) report.Output = output;  // a merge refused before it began

  // With the file on standard output, the report goes to standard error.
  std::ostream& out = request.ToStandardOutput ? std::cerr : std::cout;
  if (json)
    out << DumpJson(ReportJson(report), 2) << "\n";
  else
    PrintText(out, report, append);
  if (report.Status != vellox::Status::Ok) return ExitCodeOf(report.Status);
  return SomeInputFailed(report) ? kExitSomeInputFailed : kExitOk;
}

int RunSplit(const std::string& input, const std::string& pattern, std::uint32_t every, bool sync) {
  vellox::SplitRequest request;
  request.Source = vellox::InputFromArgument(input);
  request.Pattern = pattern;
  request.Every = every;
  request.Sync = sync;
  ProgressLine progress;
  const vellox::SplitReport report =
      vellox::Split(request, [&progress](const vellox::MergeReport& now) { return progress.Update(now); });
  progress.Finish();
  if (report.Status != vellox::Status::Ok) {
    PrintPageNotes(std::cerr, report.Source);
    std::cerr << "vellox: " << (report.Reason.empty() ? vellox::Describe(report.Status) : report.Reason) << "\n";
    return ExitCodeOf(report.Status);
  }
  PrintPageNotes(std::cout, report.Source);
  std::cout << "wrote " << Count(report.PagesWritten, "page", "pages") << " into "
            << Count(report.Parts.size(), "file", "files");
  if (!report.Parts.empty())
    std::cout << ", " << report.Parts.front() << (report.Parts.size() > 1 ? " to " + report.Parts.back() : "");
  std::cout << "\n";
  return kExitOk;
}

// Usage errors as one line, "vellox: WHAT", and where to look for help.
std::string UsageMessage(const CLI::App*, const CLI::Error& error) {
  return "vellox: " + std::string(error.what()) + "\nRun with --help for more information.\n";
}

int Main(int argc, char** argv) {
  const std::string version = vellox::Version();

  CLI::App app{"vellox " + version + " - merge TIFF files into one multi-page TIFF, copying pages exactly", "vellox"};
  app.set_version_flag("--version", version);
  app.require_subcommand(1);
  app.failure_message(UsageMessage);

  std::string output;
  std::vector<std::string> inputs;
  bool json = false;
  vellox::MergeOptions options;
  options.Format = vellox::OutputFormat::Auto;
  options.Clone = vellox::CloneMode::Auto;
  CLI::App* merge = app.add_subcommand(
      "merge",
      "Merge the pages of every input, in order, into one TIFF file, in the byte order of the first input\n"
      "unless --byte-order says otherwise.\n"
      "Warning: input files that are empty (0 bytes) are DELETED from disk.");
  merge->add_option("-o,--output", output, "The TIFF file to write (replaced if it exists)")->required();
  merge
      ->add_option("inputs", inputs,
                   "Input TIFF files; PATH:PAGES takes only those pages (1-3,z,r2,z-1,x4: see below); - reads "
                   "standard input")
      ->required();
  merge->add_flag("--json", json, "Print the merge report as JSON");
  merge->add_flag("--collate", options.Collate,
                  "Take one page from each input in turn (fronts.tif backs.tif:z-1 puts duplex scans in order)");
  AddMergeOptions(*merge, options);
  merge->footer(
      "Pages: numbers and ranges separated by ',', counted from 1; z is the last page, rN the N-th from the\n"
      "end; a range may run backwards (z-1); xN or xN-M excludes pages (1-z,x3-4). -o - writes to standard\n"
      "output (the report then goes to standard error).\n"
      "Exit status: 0 every input was copied whole; 1 no output was written; 2 usage error (also a page an\n"
      "input lacks); 3 the output was written, but an input was missing, had no pages, or could not be copied whole.");

  std::string splitInput, splitPattern;
  std::uint32_t every = 1;
  bool splitSync = false;
  CLI::App* split = app.add_subcommand(
      "split",
      "Write the pages of one input (PATH:PAGES: only those) into numbered files, --every N pages each,\n"
      "in the input's format and byte order. All files get their names at the end: a failure leaves none.");
  split->add_option("input", splitInput, "The TIFF file to split (- reads standard input)")->required();
  split
      ->add_option("-o,--output", splitPattern, "The parts' paths, with %d for the part's number: 'parts/doc-%03d.tif'")
      ->required();
  split->add_option("--every", every, "Pages per part (default 1)")->check(CLI::PositiveNumber);
  split->add_flag("--sync", splitSync, "Flush every part to the disk before it is named");
  split->footer(
      "Exit status: 0 every part was written; 1 none was written; 2 usage error (also a page the input lacks).");

  std::string target;
  std::vector<std::string> additions;
  bool appendJson = false;
  vellox::MergeOptions appendOptions;
  appendOptions.Clone = vellox::CloneMode::Auto;
  CLI::App* append = app.add_subcommand(
      "append",
      "Add the pages of every input, in order, to the end of the existing TIFF file TARGET, in place: in its\n"
      "format and byte order, without rewriting its pages. The new pages reach the disk before the one link\n"
      "that makes them part of TARGET is written, so a crash leaves TARGET with its old pages or with all of\n"
      "the new ones too; appends to one file wait for each other.\n"
      "Warning: input files that are empty (0 bytes) are DELETED from disk.");
  append->add_option("target", target, "The TIFF file to add to (it must exist; `vellox merge` makes one)")->required();
  append->add_option("inputs", additions, "Input TIFF files")->required();
  append->add_flag("--json", appendJson, "Print the report as JSON");
  AddAppendOptions(*append, appendOptions);
  append->footer(
      "Exit status: 0 every input was added whole; 1 nothing was added; 2 usage error;\n"
      "3 pages were added, but an input was missing, had no pages, or could not be copied whole.");

  BatchOptions batchOptions;
  CLI::App* batch = AddBatchCommand(app, batchOptions);
  InfoOptions infoOptions;
  CLI::App* info = AddInfoCommand(app, infoOptions);

  std::string fileNames, outputDir, newFileName;
  CLI::App* literal =
      app.add_subcommand("tiff-merge",
                         "Call Tiff_Merge once with the three arguments as given. Prints the result code, then the\n"
                         "list as the call left it (a ',' is appended). Empty listed files are DELETED.");
  literal->add_option("FILENAMESS", fileNames, "Comma-separated list of input paths")->required();
  literal->add_option("OUTPUTDIR", outputDir, "Output directory")->required();
  literal->add_option("NEWFILENAME", newFileName, "Output file name")->required();

  CLI::App* versionCommand = app.add_subcommand("version", "Print the version");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? kExitOk : kExitUsage;
  }

  HandleSignals();
  if (*versionCommand) {
    std::cout << version << "\n";
    return kExitOk;
  }
  if (*batch) return RunBatch(batchOptions);
  if (*split) return RunSplit(splitInput, splitPattern, every, splitSync);
  if (*info) return RunInfo(infoOptions);
  if (*literal) {
    vellox::KWVellox merger;
    const std::int32_t result = merger.Tiff_Merge(fileNames, outputDir, newFileName);
    std::cout << result << "\n" << fileNames << "\n";
    return kExitOk;
  }
  if (*append) return RunMerge(target, additions, appendJson, appendOptions, true);
  return RunMerge(output, inputs, json, options, false);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    PrepareOutput();
    Arguments arguments(argc, argv);  // UTF-8 on every platform
    return Main(arguments.Count(), arguments.Values());
  } catch (const std::exception& error) {
    std::cerr << "vellox: " << error.what() << "\n";
  } catch (...) {
    std::cerr << "vellox: unexpected failure\n";
  }
  return kExitNothingWritten;
}
