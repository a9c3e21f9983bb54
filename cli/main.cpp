// vellox: the command-line front of the merger.
//
//   vellox merge -o OUT.tif IN.tif...       friendly merge with a report
//   vellox append TARGET.tif IN.tif...      add pages to an existing file in place
//   vellox batch JOBS [-j N] [--json]       many merges in parallel
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
#include "options.hpp"
#include "report.hpp"
#include "vellox/KWVellox.hpp"
#include "vellox/vellox.hpp"

namespace {

using namespace vellox::cli;

// One line per input: what it contributed, or why it contributed nothing.
void PrintText(const vellox::MergeReport& report, bool appended) {
  for (const vellox::FileReport& file : report.Files) {
    std::cout << file.Path << ": ";
    if (file.Fate != vellox::InputFate::Copied) {
      std::cout << (file.Reason.empty() ? vellox::Describe(file.Status) : file.Reason) << "\n";
      continue;
    }
    std::cout << Count(file.Pages, "page", "pages");
    if (file.Result != vellox::kMergeWritten)
      std::cout << " (failed: " << file.Reason << ")";
    else if (report.Status != vellox::Status::Ok)
      std::cout << " (" << file.Reason << ")";
    std::cout << "\n";
    for (const vellox::PageNote& page : file.Skipped)
      std::cout << "  page " << page.Index << " skipped: " << page.Reason << "\n";
    for (const vellox::PageNote& page : file.Transcoded)
      std::cout << "  page " << page.Index << " transcoded: " << page.Reason << "\n";
    for (const vellox::PageNote& part : file.LeftOut)
      std::cout << "  page " << part.Index << ": " << part.Reason << "\n";
  }
  if (report.Status == vellox::Status::Ok)
    std::cout << (appended ? "appended " : "wrote ") << Count(report.PagesWritten, "page", "pages") << ", "
              << Count(report.BytesWritten, "byte", "bytes") << " to " << report.Output << "\n";
  else
    std::cerr << "vellox: " << (report.Reason.empty() ? vellox::Describe(report.Status) : report.Reason) << "\n";
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
  request.Output = vellox::PathFromUtf8(output);
  request.Options = options;
  request.Append = append;
  const char* what = append ? "target" : "output";
  if (output.empty()) {
    std::cerr << "vellox: the " << what << " path" << (append ? "" : " (-o)") << " is empty; it must name a file\n";
    return kExitUsage;
  }
  if (!request.Output.has_filename()) {
    std::cerr << "vellox: the " << what << " must name a file, not a folder: " << output << "\n";
    return kExitUsage;
  }
  for (const std::string& input : inputs) {
    if (input.empty()) {
      std::cerr << "vellox: an input path is empty\n";
      return kExitUsage;
    }
    request.Inputs.emplace_back(input);
  }

  ProgressLine progress;
  vellox::MergeReport report =
      vellox::Merge(request, [&progress](const vellox::MergeReport& now) { return progress.Update(now); });
  progress.Finish();
  if (report.Output.empty()) report.Output = output;  // a merge refused before it began

  if (json)
    std::cout << DumpJson(ReportJson(report), 2) << "\n";
  else
    PrintText(report, append);
  if (report.Status != vellox::Status::Ok) return kExitNothingWritten;
  return SomeInputFailed(report) ? kExitSomeInputFailed : kExitOk;
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
  merge->add_option("inputs", inputs, "Input TIFF files")->required();
  merge->add_flag("--json", json, "Print the merge report as JSON");
  AddMergeOptions(*merge, options);
  merge->footer(
      "Exit status: 0 every input was copied whole; 1 no output was written; 2 usage error;\n"
      "3 the output was written, but an input was missing, had no pages, or could not be copied whole.");

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
