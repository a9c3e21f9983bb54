// vellox: the command-line front of the merger.
//
//   vellox merge -o OUT.tif IN.tif...       friendly merge with a report
//   vellox batch JOBS [-j N] [--json]       many merges in parallel
//   vellox tiff-merge LIST OUTPUTDIR NAME   one literal call of Tiff_Merge
//   vellox version
#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "batch.hpp"
#include "console.hpp"
#include "report.hpp"
#include "vellox/KWVellox.hpp"

namespace {

namespace fs = std::filesystem;

// Exit codes of `vellox merge`.
constexpr int kExitOk = 0;
constexpr int kExitMergeFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSomeInputsFailed = 3;

using vellox::SomeInputFailed;
using vellox::cli::ResultMessage;

// One line per input: what it contributed, or why it contributed nothing.
void PrintText(const vellox::MergeReport& report, const std::string& output) {
  for (const vellox::FileReport& file : report.Files) {
    std::cout << file.Path << ": ";
    switch (file.Fate) {
      case vellox::InputFate::DeletedEmpty: std::cout << "empty file, deleted\n"; continue;
      case vellox::InputFate::DroppedMissing: std::cout << "no such file, skipped\n"; continue;
      case vellox::InputFate::NotReached: std::cout << "not copied\n"; continue;
      case vellox::InputFate::KeptEmpty: std::cout << file.Reason << "\n"; continue;
      case vellox::InputFate::Copied: break;
    }
    std::cout << file.Pages << (file.Pages == 1 ? " page" : " pages");
    if (file.Result != vellox::kMergeWritten)
      std::cout << " (failed: " << file.Reason << ")";
    else if (report.Result != vellox::kMergeWritten)
      std::cout << " (" << file.Reason << ")";
    std::cout << "\n";
    for (const vellox::PageNote& page : file.Skipped)
      std::cout << "  page " << page.Index << " skipped: " << page.Reason << "\n";
    for (const vellox::PageNote& page : file.Transcoded)
      std::cout << "  page " << page.Index << " transcoded: " << page.Reason << "\n";
    for (const vellox::PageNote& part : file.LeftOut)
      std::cout << "  page " << part.Index << ": " << part.Reason << "\n";
  }
  if (report.Result == vellox::kMergeWritten)
    std::cout << "wrote " << report.PagesWritten << " pages, " << report.BytesWritten << " bytes to " << output << "\n";
  else
    std::cerr << "vellox: " << (report.Reason.empty() ? ResultMessage(report.Result) : report.Reason.c_str()) << "\n";
}

// Shows pages and bytes on a terminal while a long merge runs.
class ProgressLine {
 public:
  explicit ProgressLine(const vellox::KWVellox& merger) : merger_(merger), enabled_(vellox::cli::StderrIsTerminal()) {}
  void Update() {
    if (!enabled_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(200)) return;
    last_ = now;
    const vellox::MergeReport& report = merger_.Report();
    std::fprintf(stderr, "\r%llu pages, %llu MB", static_cast<unsigned long long>(report.PagesWritten),
                 static_cast<unsigned long long>(report.BytesWritten >> 20));
    shown_ = true;
  }
  // Clears the line so that the report starts on a clean one.
  void Finish() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
    shown_ = false;
  }
  ~ProgressLine() { Finish(); }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

 private:
  const vellox::KWVellox& merger_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point last_{};
};

int RunMerge(const std::string& outputPath, const std::vector<std::string>& inputs, bool json, bool sync,
             vellox::OutputFormat format, vellox::CloneMode clone, vellox::ByteOrder order) {
  std::string list;
  for (const std::string& input : inputs) {
    if (input.find(',') != std::string::npos) {
      std::cerr << "vellox: input paths cannot contain ',': " << input << "\n";
      return kExitUsage;
    }
    list += vellox::cli::PathToUtf8(fs::absolute(vellox::cli::PathFromUtf8(input))) + ",";
  }
  const fs::path target = fs::absolute(vellox::cli::PathFromUtf8(outputPath));
  std::string directory = vellox::cli::PathToUtf8(target.parent_path());
  std::string name = vellox::cli::PathToUtf8(target.filename());
  if (name.empty()) {
    std::cerr << "vellox: the output must name a file: " << outputPath << "\n";
    return kExitUsage;
  }

  vellox::KWVellox merger;
  vellox::MergeOptions options;
  options.Sync = sync;
  options.Format = format;
  options.Clone = clone;
  options.Order = order;
  merger.SetOptions(options);
  ProgressLine progress(merger);
  merger.SetYieldHook([&progress] { progress.Update(); });
  const std::int32_t result = merger.Tiff_Merge(list, directory, name);
  progress.Finish();

  if (json)
    vellox::cli::WriteJson(std::cout, merger.Report(), vellox::cli::PathToUtf8(target));
  else
    PrintText(merger.Report(), vellox::cli::PathToUtf8(target));
  if (result != vellox::kMergeWritten) return kExitMergeFailed;
  return SomeInputFailed(merger.Report()) ? kExitSomeInputsFailed : kExitOk;
}

int Main(int argc, char** argv) {
  vellox::KWVellox versionSource;
  const std::string version = versionSource.Version();

  CLI::App app{"vellox " + version + " - merge TIFF files into one multi-page TIFF, copying pages exactly", "vellox"};
  app.set_version_flag("--version", version);
  app.require_subcommand(1);

  std::string outputPath;
  std::vector<std::string> inputs;
  bool json = false;
  CLI::App* merge = app.add_subcommand(
      "merge",
      "Merge the pages of every input, in order, into one TIFF file, in the byte order of the first input\n"
      "unless --byte-order says otherwise.\n"
      "Warning: input files that are empty (0 bytes) are DELETED from disk.");
  merge->add_option("-o,--output", outputPath, "The TIFF file to write (replaced if it exists)")->required();
  merge->add_option("inputs", inputs, "Input TIFF files")->required();
  merge->add_flag("--json", json, "Print the merge report as JSON");
  bool sync = false;
  merge->add_flag("--sync", sync, "Flush the output to the disk before it replaces the target (durable, slower)");
  vellox::OutputFormat format = vellox::OutputFormat::Auto;
  const std::map<std::string, vellox::OutputFormat> formats = {{"classic", vellox::OutputFormat::Classic},
                                                               {"bigtiff", vellox::OutputFormat::BigTiff},
                                                               {"auto", vellox::OutputFormat::Auto}};
  merge->add_option("--format", format, "Output format: classic, bigtiff, or auto (classic when it fits, the default)")
      ->transform(CLI::CheckedTransformer(formats, CLI::ignore_case));
  vellox::CloneMode clone = vellox::CloneMode::Auto;
  const std::map<std::string, vellox::CloneMode> clones = {{"auto", vellox::CloneMode::Auto},
                                                           {"never", vellox::CloneMode::Never}};
  merge
      ->add_option("--clone", clone,
                   "auto: on file systems that share blocks (XFS, btrfs), clone large strips and tiles instead of "
                   "copying them (the default); never: copy every byte")
      ->transform(CLI::CheckedTransformer(clones, CLI::ignore_case));
  vellox::ByteOrder order = vellox::ByteOrder::First;
  vellox::cli::AddByteOrderOption(*merge, order);
  merge->footer(
      "Exit status: 0 every input was copied whole; 1 no output was written; 2 usage error;\n"
      "3 the output was written, but an input was missing, had no pages, or could not be copied whole.");

  vellox::cli::BatchOptions batchOptions;
  CLI::App* batch = vellox::cli::AddBatchCommand(app, batchOptions);

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
    return code == 0 ? 0 : kExitUsage;
  }

  vellox::cli::HandleSignals();
  if (*versionCommand) {
    std::cout << version << "\n";
    return kExitOk;
  }
  if (*batch) return vellox::cli::RunBatch(batchOptions);
  if (*literal) {
    vellox::KWVellox merger;
    const std::int32_t result = merger.Tiff_Merge(fileNames, outputDir, newFileName);
    std::cout << result << "\n" << fileNames << "\n";
    return kExitOk;
  }
  return RunMerge(outputPath, inputs, json, sync, format, clone, order);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    vellox::cli::PrepareOutput();
    vellox::cli::Arguments arguments(argc, argv);  // UTF-8 on every platform
    return Main(arguments.Count(), arguments.Values());
  } catch (const std::exception& error) {
    std::cerr << "vellox: " << error.what() << "\n";
  } catch (...) {
    std::cerr << "vellox: unexpected failure\n";
  }
  return kExitMergeFailed;
}
