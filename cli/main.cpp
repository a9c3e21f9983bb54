// vellox: the command-line front of the merger.
//
//   vellox merge -o OUT.tif IN.tif...       friendly merge with a report
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

#include "console.hpp"
#include "vellox/KWVellox.hpp"

namespace {

namespace fs = std::filesystem;

// Exit codes of `vellox merge`.
constexpr int kExitOk = 0;
constexpr int kExitMergeFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSomeInputsFailed = 3;

// Length of the well-formed UTF-8 sequence at text[at], or 0 when the byte
// there does not begin one (overlong forms, surrogates and values above
// U+10FFFF are not well-formed).
std::size_t Utf8SequenceAt(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  if (byte(at + 1) < low || byte(at + 1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i)
    if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
  return length;
}

// JSON text for any bytes. Well-formed UTF-8 passes through; every other
// byte b becomes the escape \udcXX (a lone low surrogate, U+DC00 + b), the
// same mapping as Python's "surrogateescape", so the original bytes come
// back with os.fsencode() or str.encode("utf-8", "surrogateescape").
std::string JsonEscape(const std::string& text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8SequenceAt(text, at);
    if (length == 0) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\udc%02x", static_cast<unsigned>(static_cast<unsigned char>(text[at])));
      out += buffer;
      ++at;
      continue;
    }
    if (length > 1) {
      out.append(text, at, length);
      at += length;
      continue;
    }
    const char c = text[at++];
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buffer;
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

const char* FateName(vellox::InputFate fate) {
  switch (fate) {
    case vellox::InputFate::Copied: return "copied";
    case vellox::InputFate::DeletedEmpty: return "deleted-empty";
    case vellox::InputFate::DroppedMissing: return "missing";
    case vellox::InputFate::NotReached: return "not-reached";
    case vellox::InputFate::KeptEmpty: return "kept-empty";
  }
  return "unknown";
}

const char* ResultMessage(std::int32_t code) {
  switch (code) {
    case vellox::kMergeWritten: return "merged";
    case vellox::kNoInputLeft: return "nothing to merge: every input file was missing or empty";
    case vellox::kNotTiff: return "the first input file is not a TIFF file";
    case vellox::kOutputDirMissing: return "the output directory does not exist";
    default: return "the merge failed; no output file was written";
  }
}

void PrintJsonPages(const std::vector<vellox::SkippedPage>& pages) {
  std::cout << "[";
  for (std::size_t i = 0; i < pages.size(); ++i)
    std::cout << (i == 0 ? "" : ", ") << "{\"page\": " << pages[i].Index << ", \"reason\": \""
              << JsonEscape(pages[i].Reason) << "\"}";
  std::cout << "]";
}

void PrintJson(const vellox::MergeReport& report, const std::string& output) {
  std::cout << "{\n  \"result\": " << report.Result << ",\n  \"reason\": \"" << JsonEscape(report.Reason)
            << "\",\n  \"output\": \"" << JsonEscape(output)
            << "\",\n  \"pages\": " << report.PagesWritten << ",\n  \"bytes\": " << report.BytesWritten
            << ",\n  \"files\": [";
  for (std::size_t i = 0; i < report.Files.size(); ++i) {
    const vellox::FileReport& file = report.Files[i];
    std::cout << (i == 0 ? "\n" : ",\n") << "    {\"path\": \"" << JsonEscape(file.Path) << "\", \"fate\": \""
              << FateName(file.Fate) << "\", \"result\": " << file.Result << ", \"pages\": " << file.Pages
              << ", \"reason\": \"" << JsonEscape(file.Reason) << "\", \"skipped\": ";
    PrintJsonPages(file.Skipped);
    std::cout << ", \"left_out\": ";
    PrintJsonPages(file.LeftOut);
    std::cout << "}";
  }
  std::cout << "\n  ]\n}\n";
}

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
    for (const vellox::SkippedPage& page : file.Skipped)
      std::cout << "  page " << page.Index << " skipped: " << page.Reason << "\n";
    for (const vellox::SkippedPage& part : file.LeftOut)
      std::cout << "  page " << part.Index << ": " << part.Reason << "\n";
  }
  if (report.Result == vellox::kMergeWritten)
    std::cout << "wrote " << report.PagesWritten << " pages, " << report.BytesWritten << " bytes to " << output << "\n";
  else
    std::cerr << "vellox: " << (report.Reason.empty() ? ResultMessage(report.Result) : report.Reason.c_str()) << "\n";
}

// True when a listed file that was not empty contributed nothing, was not
// found, or failed part-way.
bool SomeInputFailed(const vellox::MergeReport& report) {
  for (const vellox::FileReport& file : report.Files) {
    if (file.Fate == vellox::InputFate::DroppedMissing) return true;
    if (file.Fate == vellox::InputFate::Copied && (file.Result != vellox::kMergeWritten || file.Pages == 0))
      return true;
  }
  return false;
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
             vellox::OutputFormat format, vellox::CloneMode clone) {
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
  merger.SetOptions(options);
  ProgressLine progress(merger);
  merger.SetYieldHook([&progress] { progress.Update(); });
  const std::int32_t result = merger.Tiff_Merge(list, directory, name);
  progress.Finish();

  if (json)
    PrintJson(merger.Report(), vellox::cli::PathToUtf8(target));
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
      "Merge the pages of every input, in order, into one TIFF file in the byte order of the first input.\n"
      "Warning: input files that are empty (0 bytes) are DELETED from disk.");
  merge->add_option("-o,--output", outputPath, "The TIFF file to write (replaced if it exists)")->required();
  merge->add_option("inputs", inputs, "Input TIFF files")->required();
  merge->add_flag("--json", json, "Print the merge report as JSON");
  bool sync = false;
  merge->add_flag("--sync", sync, "Flush the output to the disk before it replaces the target (durable, slower)");
  vellox::OutputFormat format = vellox::OutputFormat::Auto;
  const std::map<std::string, vellox::OutputFormat> formats = {
      {"classic", vellox::OutputFormat::Classic}, {"bigtiff", vellox::OutputFormat::BigTiff},
      {"auto", vellox::OutputFormat::Auto}};
  merge->add_option("--format", format, "Output format: classic, bigtiff, or auto (classic when it fits, the default)")
      ->transform(CLI::CheckedTransformer(formats, CLI::ignore_case));
  vellox::CloneMode clone = vellox::CloneMode::Auto;
  const std::map<std::string, vellox::CloneMode> clones = {{"auto", vellox::CloneMode::Auto},
                                                           {"never", vellox::CloneMode::Never}};
  merge->add_option("--clone", clone,
                    "auto: on file systems that share blocks (XFS, btrfs), clone large strips and tiles instead of "
                    "copying them (the default); never: copy every byte")
      ->transform(CLI::CheckedTransformer(clones, CLI::ignore_case));
  merge->footer(
      "Exit status: 0 every input was copied whole; 1 no output was written; 2 usage error;\n"
      "3 the output was written, but an input was missing, had no pages, or could not be copied whole.");

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
  if (*literal) {
    vellox::KWVellox merger;
    const std::int32_t result = merger.Tiff_Merge(fileNames, outputDir, newFileName);
    std::cout << result << "\n" << fileNames << "\n";
    return kExitOk;
  }
  return RunMerge(outputPath, inputs, json, sync, format, clone);
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
