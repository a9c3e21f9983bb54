// The merge driver: Tiff_Merge from its arguments to the finished file.
//
// The output gets its name only when the merge succeeds (until then it is
// an unnamed or hidden file beside the target), so a failed merge never
// leaves a partial file and never harms an existing one. A fault of the
// output ends the whole merge; a fault of one input ends only that input.
#include <array>
#include <exception>
#include <string_view>
#include <vector>

#include "codec/endian.hpp"
#include "merge/merge_session.hpp"
#include "platform/files.hpp"
#include "vellox/KWVellox.hpp"

namespace vellox {
namespace {

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

// Marks the object busy and forgets the session however the merge ends.
class MergeScope {
 public:
  MergeScope(bool& merging, MergeSession*& session) : merging_(merging), session_(session) { merging_ = true; }
  ~MergeScope() {
    session_ = nullptr;
    merging_ = false;
  }
  MergeScope(const MergeScope&) = delete;
  MergeScope& operator=(const MergeScope&) = delete;

 private:
  bool& merging_;
  MergeSession*& session_;
};

// After a merge that wrote nothing, no entry may look copied without
// saying why it did not reach the output.
void ExplainUnwrittenFiles(MergeReport& report) {
  for (FileReport& file : report.Files) {
    if (file.Fate == InputFate::NotReached && file.Reason.empty()) file.Reason = "not copied: the merge ended first";
    if (file.Fate == InputFate::Copied && file.Result == kMergeWritten && file.Reason.empty())
      file.Reason = "copied, but the merge failed, so no output was written";
  }
}

// The outcome of opening one listed input for the page copier.
struct Intake {
  std::int32_t Result = kMergeWritten;  // the per-file result when the input cannot be copied
  std::string Reason;
};

enum class HeaderKind {
  NotTiff,
  Classic,
  Big,
  BadBig,  // a BigTIFF version with an offset size other than 8 or a reserved field other than 0
};

// What the start of a file says it is. Classic TIFF: "II" and "*" as the
// third byte, or anything else and "*" as the fourth (read as big-endian);
// only that byte is tested. BigTIFF: version 43 in the file's byte order,
// then the offset size 8 and a reserved 0.
HeaderKind ReadHeaderKind(const platform::InputFile& input, bool& littleEndian) {
  unsigned char head[8] = {};
  if (input.Size() < 4 || !input.ReadAt(0, head, 4)) return HeaderKind::NotTiff;
  littleEndian = head[0] == 'I' && head[1] == 'I';
  const unsigned char magic = littleEndian ? head[2] : head[3];
  const unsigned char other = littleEndian ? head[3] : head[2];
  if (magic == '*') return HeaderKind::Classic;
  if (magic != '+' || other != 0) return HeaderKind::NotTiff;
  if (input.Size() < 16 || !input.ReadAt(4, head + 4, 4)) return HeaderKind::BadBig;
  const unsigned low = littleEndian ? head[4] : head[5];
  const unsigned high = littleEndian ? head[5] : head[4];
  const unsigned offsetSize = high << 8 | low;
  return offsetSize == 8 && head[6] == 0 && head[7] == 0 ? HeaderKind::Big : HeaderKind::BadBig;
}

// A BigTIFF's first bytes, in either byte order.
bool IsBigTiffHead(const std::array<char, 4>& head) {
  return std::string_view(head.data(), 4) == std::string_view("II+\0", 4) ||
         std::string_view(head.data(), 4) == std::string_view("MM\0+", 4);
}

// Inputs that together are smaller than this cannot make a classic output
// pass 4 GiB unless their pages repeat data many times over; an input
// that does fails on its own, as in a classic merge. Larger ones are
// measured page by page before the format is chosen.
constexpr std::uint64_t kSurelyClassicBytes = 1ull << 30;

// The largest classic file: its last page ends before 4 GiB, and the
// trailer byte, which nothing points at, may be the file's last byte.
constexpr std::uint64_t kClassicFileBytes = 1ull << 32;

// Opens a listed input and checks what the copier needs of it: a full
// path, an existing regular file, a TIFF header. An input emptied since
// the removal pass is deleted by the same rule.
Intake OpenInput(const std::string& path, platform::InputFile& input) {
  if (path.empty()) return {kNoInputLeft, "empty path"};
  if (!platform::ContainsSeparator(path)) return {kFailed, "not a full path"};
  switch (input.Open(path)) {
    case platform::InputFile::OpenResult::Ok: break;
    case platform::InputFile::OpenResult::Missing: return {kNotTiff, "no such file"};
    case platform::InputFile::OpenResult::Failed: return {kFailed, "cannot open the file"};
  }
  if (input.Size() == 0) {
    input.Close();
    const bool deleted = platform::RemoveIfEmpty(path).Kind == platform::Removal::Deleted;
    return {kNotTiff, deleted ? "empty file (deleted)" : "empty file"};
  }
  if (input.Size() < 4) return {kFailed, "shorter than a TIFF header"};
  bool littleEndian = false;
  switch (ReadHeaderKind(input, littleEndian)) {
    case HeaderKind::NotTiff: return {kNotTiff, "not a TIFF file"};
    case HeaderKind::BadBig:
      if (input.Size() < 16) return {kFailed, "shorter than a BigTIFF header"};
      return {kFailed, "a BigTIFF header with an offset size other than 8 or a reserved field other than 0"};
    case HeaderKind::Classic: return input.Size() < 8 ? Intake{kFailed, "shorter than a TIFF header"} : Intake{};
    case HeaderKind::Big: return {};
  }
  return {};
}

}  // namespace

bool KWVellox::DirectoryExists(const std::string& Path) {
  return platform::IsDirectory(Path);
}

std::int32_t KWVellox::Tiff_Merge(std::string& FileNamess, std::string& OutputDir, std::string& NewFileName) {
  // A call from the yield hook while this object merges changes nothing.
  if (Merging) return kFailed;
  MergeScope scope(Merging, Session);
  LastReport = MergeReport{};
  std::int32_t result = kFailed;
  try {
    result = RunMerge(FileNamess, OutputDir, NewFileName);
  } catch (const std::bad_alloc&) {
    LastReport.Reason = "out of memory";
  } catch (const std::exception& error) {
    LastReport.Reason = error.what();
  } catch (...) {
    LastReport.Reason = "unexpected failure";
  }
  LastReport.Result = result;
  if (result != kMergeWritten) {
    LastReport.PagesWritten = 0;
    LastReport.BytesWritten = 0;
    ExplainUnwrittenFiles(LastReport);
  }
  return result;
}

std::size_t KWVellox::CloneBlockFor(platform::OutputFile& output, const platform::InputFile& input) const {
  const bool mayClone = Options.Clone == CloneMode::Auto && input.Size() >= kCloneMinBytes;
  return mayClone ? output.CloneBlockSize(input) : 0;
}

// The output's format: as the options say, or for Auto classic whenever the
// merged file fits in it. Decided before anything is written, by laying out
// each page as a classic output would place it, with the same padding (for
// word boundaries, and for cloning into `output`); a measured page holding
// a value classic TIFF cannot hold makes it BigTIFF too, rather than lose
// the page. Of small merges (see kSurelyClassicBytes) only the BigTIFF
// inputs are measured, as only they hold such values: many small classic
// inputs cost no extra opens.
bool KWVellox::ChooseBigTiff(const std::vector<std::string>& list, const std::vector<std::size_t>& kept,
                             const std::vector<std::size_t>& bigInputs, std::uint64_t inputBytes,
                             platform::OutputFile& output) {
  if (Options.Format != OutputFormat::Auto) return Options.Format == OutputFormat::BigTiff;
  std::uint64_t end = TiffLayout{}.HeaderBytes();  // where the next page would begin
  for (const std::size_t i : inputBytes < kSurelyClassicBytes ? bigInputs : kept) {
    platform::InputFile input;
    if (OpenInput(list[i], input).Result != kMergeWritten) continue;
    end = MeasurePages(input, TiffLayout{}, end, CloneBlockFor(output, input));
    // The trailer byte, which nothing points at, may be the file's last.
    if (end >= kClassicFileBytes) return true;  // also UINT64_MAX: a value without a classic form
  }
  return false;
}

bool KWVellox::ChooseLittleEndian(const std::vector<std::string>& list, const std::vector<std::size_t>& kept,
                                  bool firstLittle) {
  switch (Options.Order) {
    case ByteOrder::First: return firstLittle;
    case ByteOrder::Little: return true;
    case ByteOrder::Big: return false;
    case ByteOrder::Auto: break;
  }
  // What each output byte order would transcode: the other order's pages.
  std::uint64_t intoLittle = 0, intoBig = 0;
  for (const std::size_t i : kept) {
    platform::InputFile input;
    bool little = false;
    if (OpenInput(list[i], input).Result != kMergeWritten) continue;
    if (ReadHeaderKind(input, little) == HeaderKind::NotTiff) continue;
    (little ? intoBig : intoLittle) += BytesToTranscode(input);
  }
  if (intoLittle == intoBig) return firstLittle;
  return intoLittle < intoBig;
}

std::int32_t KWVellox::RunMerge(std::string& FileNamess, const std::string& OutputDir, const std::string& NewFileName) {
  auto stop = [this](std::int32_t code, std::string reason) {
    LastReport.Reason = std::move(reason);
    return code;
  };
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
  std::vector<std::size_t> kept;       // indexes into LastReport.Files
  std::vector<std::size_t> bigInputs;  // those of them that start as a BigTIFF
  std::uint64_t inputBytes = 0;        // their sizes as this pass found them
  const auto keep = [&](std::size_t i, const platform::Probe& probe) {
    kept.push_back(i);
    if (IsBigTiffHead(probe.Head)) bigInputs.push_back(i);
    inputBytes += probe.Size;
  };
  for (std::size_t i = 0; i + 1 < list.size(); ++i) {
    FileReport& report = LastReport.Files[i];
    const platform::Probe probe = platform::ProbeInput(list[i]);
    if (probe.Kind == platform::ProbeKind::Unusable)
      return stop(kFailed, list[i].empty() ? "the list holds an empty entry" : "cannot open " + list[i]);
    if (probe.Kind == platform::ProbeKind::Missing) {
      report.Fate = InputFate::DroppedMissing;
      report.Reason = "no such file";
      continue;
    }
    if (probe.Size != 0) {
      keep(i, probe);
      continue;
    }
    const platform::RemovalOutcome removal = platform::RemoveIfEmpty(list[i]);
    const std::string detail = removal.Detail.empty() ? "" : " (" + removal.Detail + ")";
    switch (removal.Kind) {
      case platform::Removal::Deleted:
        report.Fate = InputFate::DeletedEmpty;
        report.Reason = "empty file, deleted";
        break;
      case platform::Removal::DeletedLink:
        report.Fate = InputFate::DeletedEmpty;
        report.Reason = "symbolic link to an empty file: the link was deleted, the file kept";
        break;
      case platform::Removal::NoLongerEmpty: keep(i, platform::ProbeInput(list[i])); break;
      case platform::Removal::InUse:
        report.Fate = InputFate::KeptEmpty;
        report.Reason = "empty, but open in another program: not deleted" + detail;
        break;
      case platform::Removal::Gone:
        report.Fate = InputFate::DroppedMissing;
        report.Reason = "no such file";
        break;
      case platform::Removal::Failed:
        return stop(kFailed, "cannot delete the empty file " + list[i] + ": " + removal.Detail);
    }
  }
  if (kept.empty()) return stop(kNoInputLeft, "nothing to merge: every listed file was missing or empty");

  const std::string& first = list[kept.front()];
  if (!platform::ContainsSeparator(first)) return stop(kFailed, "not a full path: " + first);
  const std::string directory = WithTrailingSeparator(OutputDir);
  if (!DirectoryExists(directory)) return stop(kOutputDirMissing, "the output directory does not exist: " + OutputDir);

  // The first file sets the output's byte order unless the options choose
  // another. Only the magic byte is tested; the header written is the
  // canonical one for that byte order.
  bool littleEndian = false;
  {
    platform::InputFile input;
    if (input.Open(first) != platform::InputFile::OpenResult::Ok) return stop(kFailed, "cannot open " + first);
    const HeaderKind kind = ReadHeaderKind(input, littleEndian);
    if (kind == HeaderKind::NotTiff || kind == HeaderKind::BadBig) return stop(kNotTiff, first + " is not a TIFF file");
  }
  littleEndian = ChooseLittleEndian(list, kept, littleEndian);
  InputLittleEndian = littleEndian;
  OutputLittleEndian = littleEndian;
  // Created first, as where the inputs' data can be cloned to decides how
  // much room their pages take.
  platform::OutputFile output;
  output.Create(directory + NewFileName, Options.Sync);
  const TiffLayout layout{ChooseBigTiff(list, kept, bigInputs, inputBytes, output)};
  LastReport.BigTiff = layout.Big;

  MergeSession session(output, LastReport, layout, OutputLittleEndian);
  Session = &session;

  if (layout.Big) {
    // BigTIFF: version 43, offset size 8, reserved 0, first directory at 16.
    std::string header = littleEndian ? std::string("II+\0\x08\0\0\0", 8) : std::string("MM\0+\0\x08\0\0", 8);
    codec::AppendUnsigned(header, layout.HeaderBytes(), 8, littleEndian);
    output.Append(header);
  } else {
    EncodeNumber("8", 4, true, 0);
    output.Append(littleEndian ? std::string_view("II*\0", 4) : std::string_view("MM\0*", 4));
    output.Append(PendingBytes);
  }
  OutputPosition = static_cast<std::int64_t>(output.Position());

  const auto fileCount = static_cast<std::int32_t>(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    FileReport& report = LastReport.Files[kept[i]];
    report.Fate = InputFate::Copied;
    platform::InputFile input;
    const Intake intake = OpenInput(list[kept[i]], input);
    if (intake.Result != kMergeWritten) {
      report.Result = intake.Result;
      report.Reason = intake.Reason;
      continue;
    }
    session.CurrentFile = &report;
    session.Input = &input;
    session.CloneBlock = CloneBlockFor(output, input);
    std::int32_t fileResult = kFailed;
    try {
      CopyPages(list[kept[i]], fileCount, static_cast<std::int32_t>(i) + 1, fileResult);
    } catch (const std::exception& error) {
      // Only faults that end the whole merge come through here.
      report.Result = kFailed;
      report.Reason = error.what();
      throw;
    }
    report.Result = fileResult;
    session.CurrentFile = nullptr;
    session.Input = nullptr;
  }

  if (LastReport.PagesWritten == 0) return stop(kFailed, "no page of any input could be copied");
  session.EndChain();
  output.AppendByte(kTrailerByte);
  LastReport.BytesWritten = output.Position();
  output.Commit();
  return kMergeWritten;
}

}  // namespace vellox
