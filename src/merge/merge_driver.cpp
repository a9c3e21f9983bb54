// The merge driver: Tiff_Merge from its arguments to the finished file.
//
// The output gets its name only when the merge succeeds (until then it is
// an unnamed or hidden file beside the target), so a failed merge never
// leaves a partial file and never harms an existing one. A fault of the
// output ends the whole merge; a fault of one input ends only that input.
#include <array>
#include <atomic>
#include <exception>
#include <memory>
#include <string_view>
#include <vector>

#include "codec/endian.hpp"
#include "merge/listed_input.hpp"
#include "merge/merge_session.hpp"
#include "merge/merger.hpp"
#include "platform/files.hpp"

namespace vellox {
namespace {

constexpr unsigned char kTrailerByte = 0xA0;

std::string WithTrailingSeparator(std::string directory) {
  if (directory.empty() || !platform::IsSeparator(directory.back()))
    directory.push_back(platform::PreferredSeparator());
  return directory;
}

// After a merge (or append, `what`) that wrote nothing, no entry may look
// copied without saying why it did not reach the output.
void ExplainUnwrittenFiles(MergeReport& report, const std::string& what) {
  for (FileReport& file : report.Files) {
    if (file.Fate == InputFate::NotReached && file.Reason.empty())
      file.Reason = "not copied: the " + what + " ended first";
    if (file.Fate == InputFate::Copied && file.Result == kMergeWritten && file.Reason.empty())
      file.Reason = what == "merge" ? "copied, but the merge failed, so no output was written"
                                    : "copied, but the " + what + " failed, so nothing was added";
  }
}

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
HeaderKind ReadHeaderKind(const ListedInput::FileHead& head, std::uint64_t size, bool& littleEndian) {
  if (size < 4) return HeaderKind::NotTiff;
  littleEndian = head[0] == 'I' && head[1] == 'I';
  const unsigned char magic = littleEndian ? head[2] : head[3];
  const unsigned char other = littleEndian ? head[3] : head[2];
  if (magic == '*') return HeaderKind::Classic;
  if (magic != '+' || other != 0) return HeaderKind::NotTiff;
  if (size < 16) return HeaderKind::BadBig;
  const unsigned low = littleEndian ? head[4] : head[5];
  const unsigned high = littleEndian ? head[5] : head[4];
  const unsigned offsetSize = high << 8 | low;
  return offsetSize == 8 && head[6] == 0 && head[7] == 0 ? HeaderKind::Big : HeaderKind::BadBig;
}

// Inputs that together are smaller than this cannot make a classic output
// pass 4 GiB unless their pages repeat data many times over; an input
// that does fails on its own, as in a classic merge. Larger ones are
// measured page by page before the format is chosen.
constexpr std::uint64_t kSurelyClassicBytes = 1ull << 30;

// The largest classic file: its last page ends before 4 GiB, and the
// trailer byte, which nothing points at, may be the file's last byte.
constexpr std::uint64_t kClassicFileBytes = 1ull << 32;

// Checks what the copier needs of an opened input: a full path and a TIFF
// header.
Intake CheckOpened(const std::string& path, const platform::InputFile& input, const ListedInput::FileHead& head) {
  if (!platform::ContainsSeparator(path)) return {kFailed, "not a full path", Status::InvalidRequest};
  if (input.Size() < 4) return {kFailed, "shorter than a TIFF header", Status::Damaged};
  bool littleEndian = false;
  switch (ReadHeaderKind(head, input.Size(), littleEndian)) {
    case HeaderKind::NotTiff: return {kNotTiff, "not a TIFF file", Status::NotTiff};
    case HeaderKind::BadBig:
      if (input.Size() < 16) return {kFailed, "shorter than a BigTIFF header", Status::Damaged};
      return {kFailed, "a BigTIFF header with an offset size other than 8 or a reserved field other than 0",
              Status::Damaged};
    case HeaderKind::Classic:
      return input.Size() < 8 ? Intake{kFailed, "shorter than a TIFF header", Status::Damaged} : Intake{};
    case HeaderKind::Big: return {};
  }
  return {};
}

// Opens a listed input again that the removal pass had to close (see
// ListedInput). An input emptied since is deleted by the same rule.
Intake Reopen(const std::string& path, platform::InputFile& input) {
  switch (input.Open(path)) {
    case platform::InputFile::OpenResult::Ok: break;
    case platform::InputFile::OpenResult::Missing: return {kNotTiff, "no such file", Status::Missing};
    case platform::InputFile::OpenResult::Failed:
      return {kFailed, "cannot open the file: " + input.Error(), Status::CannotOpen};
  }
  if (input.Size() == 0) {
    input.Close();
    const bool deleted = platform::RemoveIfEmpty(path).Kind == platform::Removal::Deleted;
    return {kNotTiff, deleted ? "empty file (deleted)" : "empty file", Status::DeletedEmpty};
  }
  return {};
}

// The reason a removal gives, without the "cannot delete it" that the
// merge's own message says already.
std::string WhyNotDeleted(std::string detail) {
  constexpr std::string_view kSaid = "cannot delete it: ";
  if (detail.starts_with(kSaid)) detail.erase(0, kSaid.size());
  return detail;
}

// What a file's outcome is called, from what the merge did with it.
Status FileStatusOf(const FileReport& file) {
  switch (file.Fate) {
    case InputFate::DeletedEmpty: return Status::DeletedEmpty;
    case InputFate::DroppedMissing: return Status::Missing;
    case InputFate::KeptEmpty: return Status::KeptEmpty;
    case InputFate::NotReached: return Status::NotReached;
    case InputFate::Copied: break;
  }
  if (file.Result == kMergeWritten) return Status::Ok;
  if (file.Result == kNotTiff) return Status::NotTiff;
  const bool someCopied = file.Pages != 0 || !file.Skipped.empty() || !file.LeftOut.empty();
  return someCopied ? Status::PartlyCopied : Status::Damaged;
}

Status StatusOfFailure(FailureSource source) {
  switch (source) {
    case FailureSource::Output: return Status::OutputFailed;
    case FailureSource::Input: return Status::CannotOpen;
    case FailureSource::Arguments: return Status::InvalidRequest;
    case FailureSource::Cancelled: return Status::Cancelled;
  }
  return Status::InternalError;
}

}  // namespace

namespace {
// Inputs held open by all merges of this process.
std::atomic<std::size_t> heldInputs{0};
}  // namespace

void ListedInput::ReadHead() {
  Head.fill(0);
  const std::size_t length = File->Size() < Head.size() ? static_cast<std::size_t>(File->Size()) : Head.size();
  if (!File->ReadAt(0, Head.data(), length)) Head.fill(0);
  const std::string_view start(reinterpret_cast<const char*>(Head.data()), 4);
  Big = start == std::string_view("II+\0", 4) || start == std::string_view("MM\0+", 4);
}

void ListedInput::Hold(std::unique_ptr<platform::InputFile> file) {
  File = std::move(file);
  ReadHead();
  if (heldInputs.fetch_add(1) < platform::InputHandleBudget()) {
    counted_ = true;
    return;
  }
  heldInputs.fetch_sub(1);
  File.reset();
}

void ListedInput::Close() noexcept {
  File.reset();
  if (counted_) heldInputs.fetch_sub(1);
  counted_ = false;
}

const platform::InputFile* ListedInput::Open(const std::string& path, Intake& intake) {
  if (File == nullptr) {
    File = std::make_unique<platform::InputFile>();
    intake = Reopen(path, *File);
    if (intake.Result != kMergeWritten) {
      File.reset();
      return nullptr;
    }
  }
  intake = CheckOpened(path, *File, Head);
  return intake.Result == kMergeWritten ? File.get() : nullptr;
}

Intake CheckTiffHead(const std::string& path, const platform::InputFile& input, const ListedInput::FileHead& head) {
  return CheckOpened(path, input, head);
}

std::int32_t ResultCodeOf(Status status) noexcept {
  switch (status) {
    case Status::Ok: return kMergeWritten;
    case Status::NothingToMerge: return kNoInputLeft;
    case Status::NotTiff: return kNotTiff;
    case Status::OutputFolderMissing: return kOutputDirMissing;
    default: return kFailed;
  }
}

bool Merger::DirectoryExists(const std::string& Path) {
  return platform::IsDirectory(Path);
}

std::int32_t Merger::Run(const std::vector<std::string>& list, const std::string& OutputDir,
                         const std::string& NewFileName) {
  return Guarded(list, "merge", [&] {
    Report.Output = WithTrailingSeparator(OutputDir) + NewFileName;
    return RunMerge(list, OutputDir, NewFileName);
  });
}

std::int32_t Merger::Guarded(const std::vector<std::string>& list, const char* what,
                             const std::function<Status()>& body) {
  Report = MergeReport{};
  Status status = Status::InternalError;
  try {
    for (const std::string& path : list) {
      FileReport file;
      file.Path = path;
      Report.Files.push_back(std::move(file));
    }
    status = body();
  } catch (const Failure& failure) {
    status = StatusOfFailure(failure.Source());
    Report.Reason = failure.what();
  } catch (const std::bad_alloc&) {
    status = Status::OutOfMemory;
    Report.Reason = "out of memory";
  } catch (const std::exception& error) {
    Report.Reason = error.what();
  } catch (...) {
    Report.Reason = "unexpected failure";
  }
  Session = nullptr;
  Report.Status = status;
  Report.Result = ResultCodeOf(status);
  if (status != Status::Ok) {
    Report.PagesWritten = 0;
    Report.BytesWritten = 0;
    ExplainUnwrittenFiles(Report, what);
  }
  for (FileReport& file : Report.Files)
    if (file.Status == Status::NotReached) file.Status = FileStatusOf(file);
  return Report.Result;
}

std::size_t Merger::CloneBlockFor(platform::OutputFile& output, const platform::InputFile& input) const {
  const bool mayClone = Options.Clone == CloneMode::Auto && input.Size() >= kCloneMinBytes;
  return mayClone ? output.CloneBlockSize(input) : 0;
}

// The output's format: as the options say, or for Auto classic whenever the
// merged file fits in it. Decided before anything is written, by laying out
// each page as a classic output would place it, with the same padding (for
// word boundaries, and for cloning into `output`); a measured page holding
// a value classic TIFF cannot hold makes it BigTIFF too, rather than lose
// the page. Of small merges (see kSurelyClassicBytes) only the BigTIFF
// inputs are measured, as only they hold such values.
bool Merger::ChooseBigTiff(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept,
                           std::uint64_t inputBytes, platform::OutputFile& output) {
  if (Options.Format != OutputFormat::Auto) return Options.Format == OutputFormat::BigTiff;
  std::uint64_t end = TiffLayout{}.HeaderBytes();  // where the next page would begin
  for (const std::size_t i : kept) {
    if (inputBytes < kSurelyClassicBytes && !inputs[i].Big && PagesOf(i) == nullptr) continue;
    Intake intake;
    const bool held = inputs[i].File != nullptr;
    const platform::InputFile* input = inputs[i].Open(Report.Files[i].Path, intake);
    if (input == nullptr) continue;
    end = MeasurePages(*input, TiffLayout{}, end, CloneBlockFor(output, *input), PagesOf(i));
    if (!held) inputs[i].Close();  // opened again for this alone: the budget holds
    // The trailer byte, which nothing points at, may be the file's last.
    if (end >= kClassicFileBytes) return true;  // also UINT64_MAX: a value without a classic form
  }
  return false;
}

bool Merger::ChooseLittleEndian(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept,
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
    Intake intake;
    const bool held = inputs[i].File != nullptr;
    const platform::InputFile* input = inputs[i].Open(Report.Files[i].Path, intake);
    bool little = false;
    if (input != nullptr && ReadHeaderKind(inputs[i].Head, input->Size(), little) != HeaderKind::NotTiff)
      (little ? intoBig : intoLittle) += BytesToTranscode(*input, PagesOf(i));
    if (!held) inputs[i].Close();  // opened again for this alone: the budget holds
  }
  if (intoLittle == intoBig) return firstLittle;
  return intoLittle < intoBig;
}

Status Merger::OpenListed(const std::vector<std::string>& list, std::vector<ListedInput>& inputs,
                          std::vector<std::size_t>& kept, std::uint64_t& inputBytes) {
  auto stop = [this](Status status, std::string reason) {
    Report.Reason = std::move(reason);
    return status;
  };
  const auto keep = [&](std::size_t i, std::unique_ptr<platform::InputFile> file) {
    inputBytes += file->Size();
    inputs[i].Hold(std::move(file));
    kept.push_back(i);
  };
  for (std::size_t i = 0; i < list.size(); ++i) {
    FileReport& report = Report.Files[i];
    if (list[i].empty()) return stop(Status::InvalidRequest, "the list holds an empty entry");
    auto file = std::make_unique<platform::InputFile>();
    switch (file->Open(list[i])) {
      case platform::InputFile::OpenResult::Ok: break;
      case platform::InputFile::OpenResult::Missing:
        report.Fate = InputFate::DroppedMissing;
        report.Reason = "no such file";
        continue;
      case platform::InputFile::OpenResult::Failed:
        report.Status = Status::CannotOpen;
        report.Reason = "cannot open the file: " + file->Error();
        return stop(Status::CannotOpen, "cannot open " + list[i] + ": " + file->Error());
    }
    if (file->Size() != 0) {
      keep(i, std::move(file));
      continue;
    }
    file->Close();
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
      case platform::Removal::NoLongerEmpty:
        if (file->Open(list[i]) != platform::InputFile::OpenResult::Ok)
          return stop(Status::CannotOpen, "cannot open " + list[i] + ": " + file->Error());
        keep(i, std::move(file));
        break;
      case platform::Removal::InUse:
        report.Fate = InputFate::KeptEmpty;
        report.Reason = "empty, but open in another program: not deleted" + detail;
        break;
      case platform::Removal::Gone:
        report.Fate = InputFate::DroppedMissing;
        report.Reason = "no such file";
        break;
      case platform::Removal::Failed:
        report.Status = Status::CannotOpen;
        report.Reason = "empty file, but it cannot be deleted: " + WhyNotDeleted(removal.Detail);
        return stop(Status::CannotOpen,
                    "cannot delete the empty file " + list[i] + ": " + WhyNotDeleted(removal.Detail));
    }
  }
  return Status::Ok;
}

Status Merger::RunMerge(const std::vector<std::string>& list, const std::string& OutputDir,
                        const std::string& NewFileName) {
  auto stop = [this](Status status, std::string reason) {
    Report.Reason = std::move(reason);
    return status;
  };

  // Removal pass: empty files are deleted and dropped, and so are paths
  // that name no file in an existing folder. This comes before every other
  // check, so empty inputs are deleted whatever the result.
  std::vector<ListedInput> inputs(list.size());
  std::vector<std::size_t> kept;  // indexes into Report.Files
  std::uint64_t inputBytes = 0;   // their sizes as this pass found them
  if (const Status opened = OpenListed(list, inputs, kept, inputBytes); opened != Status::Ok) return opened;
  if (kept.empty()) return stop(Status::NothingToMerge, "nothing to merge: every listed file was missing or empty");

  const std::string& first = list[kept.front()];
  if (!platform::ContainsSeparator(first)) return stop(Status::InvalidRequest, "not a full path: " + first);
  const std::string directory = WithTrailingSeparator(OutputDir);
  if (!ToStandardOutput && !DirectoryExists(directory))
    return stop(Status::OutputFolderMissing, "the output directory does not exist: " + OutputDir);

  // The first file sets the output's byte order unless the options choose
  // another. Only the magic byte is tested; the header written is the
  // canonical one for that byte order.
  bool littleEndian = false;
  {
    ListedInput& input = inputs[kept.front()];
    Intake intake;
    if (input.File == nullptr) input.Open(first, intake);
    if (input.File == nullptr) return stop(Status::CannotOpen, first + ": " + intake.Reason);
    const HeaderKind kind = ReadHeaderKind(input.Head, input.File->Size(), littleEndian);
    if (kind == HeaderKind::NotTiff || kind == HeaderKind::BadBig) {
      Report.Files[kept.front()].Status = Status::NotTiff;
      Report.Files[kept.front()].Reason = "not a TIFF file";
      return stop(Status::NotTiff, first + " is not a TIFF file");
    }
  }
  if (!ListChosenPages(inputs, kept)) return Report.Status;
  littleEndian = ChooseLittleEndian(inputs, kept, littleEndian);
  InputLittleEndian = littleEndian;
  OutputLittleEndian = littleEndian;
  // Created first, as where the inputs' data can be cloned to decides how
  // much room their pages take.
  auto outputFile = std::make_unique<platform::OutputFile>();
  platform::OutputFile& output = *outputFile;
  if (ToStandardOutput) {
    output.CreateStream(WillTranscode(inputs, kept, littleEndian));
  } else {
    output.Create(directory + NewFileName, Options.Sync);
    for (const std::size_t i : kept)
      if (inputs[i].File != nullptr) output.ReplaceOnlyUnchanged(*inputs[i].File);
  }
  const TiffLayout layout{ChooseBigTiff(inputs, kept, inputBytes, output)};
  Report.BigTiff = layout.Big;

  MergeSession session(output, Report, layout, OutputLittleEndian);
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

  if (Options.Collate)
    CopyCollated(inputs, kept, list, output);
  else
    CopyInOrder(inputs, kept, list, output);

  if (Report.PagesWritten == 0) return stop(Status::NothingCopied, "no page of any input could be copied");
  session.EndChain();
  output.AppendByte(kTrailerByte);
  Report.BytesWritten = output.Position();
  if (Finished != nullptr) {
    output.Finish();
    *Finished = std::move(outputFile);
  } else {
    output.Commit();
  }
  return Status::Ok;
}

// Transcoded image data goes ahead of its directory and the link before it
// is set afterwards, which a stream cannot do once that link went out.
bool Merger::WillTranscode(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept, bool outputLittle) {
  for (const std::size_t i : kept) {
    Intake intake;
    const bool held = inputs[i].File != nullptr;
    const platform::InputFile* input = inputs[i].Open(Report.Files[i].Path, intake);
    bool little = false;
    const bool other = input != nullptr &&
                       ReadHeaderKind(inputs[i].Head, input->Size(), little) != HeaderKind::NotTiff &&
                       little != outputLittle;
    const bool transcodes = other && BytesToTranscode(*input, PagesOf(i)) != 0;
    if (!held) inputs[i].Close();
    if (transcodes) return true;
  }
  return false;
}

Status Merger::FindPages(const std::string& path, PageList& pages, std::string& end, bool& big) {
  platform::InputFile input;
  switch (input.Open(path)) {
    case platform::InputFile::OpenResult::Ok: break;
    case platform::InputFile::OpenResult::Missing: Report.Reason = path + ": no such file"; return Status::Missing;
    case platform::InputFile::OpenResult::Failed:
      Report.Reason = "cannot open " + path + ": " + input.Error();
      return Status::CannotOpen;
  }
  ListedInput::FileHead head{};
  const std::size_t length = input.Size() < head.size() ? static_cast<std::size_t>(input.Size()) : head.size();
  if (!input.ReadAt(0, head.data(), length)) {
    Report.Reason = "cannot read " + path;
    return Status::CannotOpen;
  }
  const Intake intake = CheckOpened(path, input, head);
  if (intake.Kind != Status::Ok) {
    Report.Reason = path + ": " + intake.Reason;
    return intake.Kind;
  }
  bool little = false;
  big = ReadHeaderKind(head, input.Size(), little) == HeaderKind::Big;
  pages = IndexPages(input, end);
  return Status::Ok;
}

bool Merger::ListChosenPages(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept) {
  ChosenPages.assign(inputs.size(), nullptr);
  ChainEnds.assign(inputs.size(), std::string());
  for (const std::size_t i : kept) {
    if (i < GivenPages.size() && GivenPages[i] != nullptr) {
      ChosenPages[i] = GivenPages[i];
      continue;
    }
    const bool selected = i < Selections.size() && !Selections[i].All();
    if (!selected && !Options.Collate) continue;
    // An input that cannot be opened, or is not a TIFF, fails when its turn
    // comes, as any input does.
    Intake intake;
    const bool held = inputs[i].File != nullptr;
    const platform::InputFile* input = inputs[i].Open(Report.Files[i].Path, intake);
    if (input == nullptr) continue;
    const PageList chain = IndexPages(*input, ChainEnds[i]);
    if (!held) inputs[i].Close();  // opened again for this alone: the budget holds
    std::string why;
    const auto picked = (selected ? Selections[i] : PageSelection{}).Pick(chain.Directories.size(), &why);
    if (!picked) {
      FileReport& file = Report.Files[i];
      if (!ChainEnds[i].empty()) why += " (its chain of pages ends early: " + ChainEnds[i] + ")";
      file.Status = Status::InvalidRequest;
      file.Reason = "pages " + Selections[i].Text() + ": " + why;
      Report.Status = Status::InvalidRequest;
      Report.Reason = file.Path + ": pages " + Selections[i].Text() + ": " + why;
      return false;
    }
    auto pages = std::make_shared<PageList>();
    pages->Directories.reserve(picked->size());
    pages->Numbers.reserve(picked->size());
    for (const std::uint32_t page : *picked) {
      pages->Directories.push_back(chain.Directories[page]);
      pages->Numbers.push_back(page);
    }
    ChosenPages[i] = std::move(pages);
  }
  return true;
}

void Merger::CopyInOrder(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept,
                         const std::vector<std::string>& list, platform::OutputFile& output) {
  MergeSession& session = *Session;
  const auto fileCount = static_cast<std::int32_t>(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) {
    FileReport& report = Report.Files[kept[i]];
    report.Fate = InputFate::Copied;
    Intake intake;
    const platform::InputFile* input = inputs[kept[i]].Open(list[kept[i]], intake);
    if (input == nullptr) {
      report.Result = intake.Result;
      report.Reason = intake.Reason;
      report.Status = intake.Kind;
      continue;
    }
    session.CurrentFile = &report;
    session.Input = input;
    session.Pages = PagesOf(kept[i]);
    session.CloneBlock = CloneBlockFor(output, *input);
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
    session.Pages = nullptr;
    inputs[kept[i]].Close();  // done with: closed now, not at the end
  }
}

// Round k takes page k of every input that has one; an input that cannot
// be opened fails in the first round. Each step copies one listed page, so
// the copier's link rule (more steps follow, or not) ends the chain at the
// last page of the last step.
void Merger::CopyCollated(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept,
                          const std::vector<std::string>& list, platform::OutputFile& output) {
  struct Step {
    std::size_t Input;  // index into the list
    std::size_t Page;   // index into its page list
  };
  std::vector<Step> steps;
  std::vector<std::size_t> lastStep(list.size(), 0);
  for (std::size_t round = 0;; ++round) {
    bool any = false;
    for (const std::size_t i : kept) {
      const PageList* pages = ChosenPages[i].get();
      const bool has = pages != nullptr ? round < pages->Directories.size() : round == 0;
      if (!has) continue;
      lastStep[i] = steps.size();
      steps.push_back({i, round});
      any = true;
    }
    if (!any) break;
  }

  MergeSession& session = *Session;
  std::vector<bool> ended(list.size(), false);
  const auto stepCount = static_cast<std::int32_t>(steps.size());
  for (std::size_t s = 0; s < steps.size(); ++s) {
    const std::size_t i = steps[s].Input;
    FileReport& report = Report.Files[i];
    report.Fate = InputFate::Copied;
    if (ended[i]) continue;
    Intake intake;
    const bool held = inputs[i].File != nullptr;
    const platform::InputFile* input = inputs[i].Open(list[i], intake);
    if (input == nullptr || ChosenPages[i] == nullptr) {
      report.Result = input == nullptr ? intake.Result : kFailed;
      report.Reason = input == nullptr ? intake.Reason : "its pages cannot be found";
      report.Status = input == nullptr ? intake.Kind : Status::Damaged;
      ended[i] = true;
      inputs[i].Close();
      continue;
    }
    const PageList& all = *ChosenPages[i];
    const PageList one{{all.Directories[steps[s].Page]}, {all.Numbers[steps[s].Page]}};
    session.CurrentFile = &report;
    session.Input = input;
    session.Pages = &one;
    session.InputEnded = false;
    session.CloneBlock = CloneBlockFor(output, *input);
    std::int32_t stepResult = kFailed;
    try {
      CopyPages(list[i], stepCount, static_cast<std::int32_t>(s) + 1, stepResult);
    } catch (const std::exception& error) {
      report.Result = kFailed;
      report.Reason = error.what();
      throw;
    }
    // A skipped page fails the file but the next rounds go on; a fault ends it.
    if (report.Result != kFailed) report.Result = stepResult;
    ended[i] = session.InputEnded;
    session.CurrentFile = nullptr;
    session.Input = nullptr;
    session.Pages = nullptr;
    if (!held || ended[i] || s == lastStep[i]) inputs[i].Close();
  }
  for (const std::size_t i : kept) {
    FileReport& report = Report.Files[i];
    const bool whole = !(i < Selections.size() && !Selections[i].All()) && !(i < GivenPages.size() && GivenPages[i]);
    if (ended[i] || ChainEnds[i].empty() || !whole) continue;
    report.Result = kFailed;
    report.Reason = ChainEnds[i];
  }
}

}  // namespace vellox

namespace vellox {

void Merger::YieldToHost() {
  if (Session != nullptr) Session->Report.BytesWritten = Session->BytesAt(Session->Output.Position());
  if (YieldHook && !YieldHook()) throw Failure(FailureSource::Cancelled, "cancelled");
}

}  // namespace vellox
