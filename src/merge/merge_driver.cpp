// The merge driver: Tiff_Merge from its arguments to the finished file.
//
// The output is written to a temporary file in the output directory and
// renamed over the target only when the merge succeeds, so a failed merge
// never leaves a partial file and never harms an existing one.
#include <exception>
#include <vector>

#include "platform/files.hpp"
#include "vellox/KWVellox.hpp"

namespace vellox {
namespace {

// A failure of one of the driver's own steps: the merge returns -1.
class MergeFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

constexpr unsigned char kTrailerByte = 0xA0;

std::vector<std::string> SplitList(const std::string& list) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  for (std::size_t comma = list.find(','); comma != std::string::npos; comma = list.find(',', start)) {
    entries.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  entries.push_back(list.substr(start));  // the end marker: always empty here
  return entries;
}

std::string WithTrailingSeparator(std::string directory) {
  if (directory.empty() || !platform::IsSeparator(directory.back()))
    directory.push_back(platform::PreferredSeparator());
  return directory;
}

// Clears the busy flag and closes the output however the merge ends.
class MergeScope {
 public:
  MergeScope(bool& merging, platform::OutputFile*& output) : merging_(merging), output_(output) { merging_ = true; }
  ~MergeScope() {
    output_ = nullptr;
    merging_ = false;
  }
  MergeScope(const MergeScope&) = delete;
  MergeScope& operator=(const MergeScope&) = delete;

 private:
  bool& merging_;
  platform::OutputFile*& output_;
};

}  // namespace

bool KWVellox::DirectoryExists(const std::string& Path) {
  return platform::IsDirectory(Path);
}

std::int32_t KWVellox::Tiff_Merge(std::string& FileNamess, std::string& OutputDir, std::string& NewFileName) {
  // A call from the yield hook while this object merges changes nothing.
  if (Merging) return kFailed;
  MergeScope scope(Merging, Output);
  LastReport = MergeReport{};
  std::int32_t result = kFailed;
  try {
    result = RunMerge(FileNamess, OutputDir, NewFileName);
  } catch (const std::exception&) {
    result = kFailed;
  } catch (...) {
    result = kFailed;
  }
  LastReport.Result = result;
  if (result != kMergeWritten) {
    LastReport.PagesWritten = 0;
    LastReport.BytesWritten = 0;
  }
  return result;
}

std::int32_t KWVellox::RunMerge(std::string& FileNamess, const std::string& OutputDir, const std::string& NewFileName) {
  if (FileNamess.empty() || FileNamess.back() != ',') FileNamess.push_back(',');
  std::vector<std::string> list = SplitList(FileNamess);
  for (std::size_t i = 0; i + 1 < list.size(); ++i) {
    FileReport report;
    report.Path = list[i];
    LastReport.Files.push_back(std::move(report));
  }

  // Removal pass: empty files are deleted and dropped, and so are paths
  // that name no file in an existing folder. This comes before every other
  // check, so empty inputs are deleted whatever the result.
  std::vector<std::size_t> kept;  // indexes into LastReport.Files
  for (std::size_t i = 0; i + 1 < list.size(); ++i) {
    FileReport& report = LastReport.Files[i];
    const platform::Probe probe = platform::ProbeInput(list[i]);
    if (probe.Kind == platform::ProbeKind::Unusable) return kFailed;
    if (probe.Kind == platform::ProbeKind::Missing) {
      report.Fate = InputFate::DroppedMissing;
      continue;
    }
    if (probe.Size == 0) {
      if (!platform::RemoveFile(list[i])) return kFailed;
      report.Fate = InputFate::DeletedEmpty;
      continue;
    }
    kept.push_back(i);
  }
  if (kept.empty()) return kNoInputLeft;

  const std::string& first = list[kept.front()];
  if (!platform::ContainsSeparator(first)) return kFailed;
  const std::string directory = WithTrailingSeparator(OutputDir);
  if (!DirectoryExists(directory)) return kOutputDirMissing;

  // The first file sets the output's byte order. Only the magic byte is
  // tested; the header written is the canonical one for that byte order.
  unsigned char head[4] = {};
  {
    platform::InputFile input;
    if (input.Open(first) != platform::InputFile::OpenResult::Ok) return kFailed;
    if (input.Size() < 4) return kNotTiff;
    if (!input.ReadAt(0, head, 4)) return kFailed;
  }
  const bool littleEndian = head[0] == 'I' && head[1] == 'I';
  if ((littleEndian ? head[2] : head[3]) != '*') return kNotTiff;
  InputLittleEndian = littleEndian;
  OutputLittleEndian = littleEndian;

  platform::OutputFile output;
  output.CreateTemporaryIn(directory);
  Output = &output;
  LastLinkPosition = -1;
  LastLinkValue = 0;

  EncodeNumber("8", 4, true, 0);
  output.Append(littleEndian ? std::string_view("II*\0", 4) : std::string_view("MM\0*", 4));
  output.Append(PendingBytes);
  OutputPosition = static_cast<std::int64_t>(output.Position());

  const auto fileCount = static_cast<std::int32_t>(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    FileReport& report = LastReport.Files[kept[i]];
    report.Fate = InputFate::Copied;
    CurrentFile = &report;
    std::int32_t fileResult = kFailed;
    CopyPages(list[kept[i]], fileCount, static_cast<std::int32_t>(i) + 1, fileResult);
    report.Result = fileResult;
    CurrentFile = nullptr;
  }

  if (LastReport.PagesWritten == 0) return kFailed;  // an empty TIFF is no result
  // The last directory written must end the chain even when the files or
  // pages meant to follow it contributed nothing.
  if (LastLinkValue != 0) output.WriteAt(static_cast<std::uint64_t>(LastLinkPosition), std::string(4, '\0'));
  output.AppendByte(kTrailerByte);
  LastReport.BytesWritten = output.Position();
  output.CommitAs(directory + NewFileName);
  return kMergeWritten;
}

}  // namespace vellox
