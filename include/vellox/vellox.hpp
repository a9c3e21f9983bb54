// Vellox: merges TIFF files into one multi-page TIFF by copying their
// structure (directories, values and raw image data), never decoding pixels,
// and adds pages to an existing TIFF file in place (Append).
//
//   vellox::MergeRequest request;
//   request.Inputs = {"scans/a.tif", "scans/b.tif"};
//   request.Output = "out/all.tif";
//   vellox::MergeReport report = vellox::Merge(request);
//   if (report.Status != vellox::Status::Ok) std::cerr << report.Reason << "\n";
//
// No exception leaves these calls for a merge's outcome: every failure is a
// Status with a reason in the report. The output gets its name only when
// the merge succeeds, so a failed merge leaves no partial file and never
// harms an existing one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace vellox {

// What became of a merge, or of one listed file. Each has a stable name
// (ToString) for reports that programs read, and a text (Describe).
enum class Status : std::uint8_t {
  Ok,                   // merge: the output was written; file: every page copied whole
  NothingToMerge,       // merge: every listed file was missing or empty
  NotTiff,              // the (first remaining) file is not a TIFF file
  OutputFolderMissing,  // merge: the output's folder does not exist
  InvalidRequest,       // merge: the request cannot be run as given (an empty entry, no output name, jobs that clash)
  CannotOpen,           // a file exists but cannot be opened or read (the reason gives the system's text)
  Damaged,              // file: its structure is broken before any page could be copied
  PartlyCopied,         // file: some pages, or parts of pages, are in the output, the rest not (see the reason)
  OutputFailed,         // merge: the output could not be written (full disk, no permission, ...)
  NothingCopied,        // merge: no page of any input could be copied
  Cancelled,            // merge: stopped by the caller
  OutOfMemory,          // merge: memory ran out
  Missing,              // file: names no file (in an existing folder): left out
  DeletedEmpty,         // file: an empty file, deleted from disk and left out
  KeptEmpty,            // file: empty, but held open by another program: left out, not deleted
  NotReached,           // file: the merge ended before this file was copied
  InternalError,        // an unexpected failure inside the merger
};

// The stable name of a status, e.g. "ok", "not-tiff", "cannot-open".
const char* ToString(Status status) noexcept;
// What a status means, as a sentence without its full stop, e.g. "the
// output was written".
const char* Describe(Status status) noexcept;

// Result codes of the component's Tiff_Merge (the merge as a whole) and of
// FileReport::Result (the per-file copy).
enum ResultCode : std::int32_t {
  kMergeWritten = 1,       // output written (some files may have failed)
  kNoInputLeft = 0,        // every listed file was missing or empty
  kFailed = -1,            // a step of the merge failed; no output left
  kNotTiff = -2,           // the first remaining file is not a TIFF
  kOutputDirMissing = -3,  // the output directory does not exist
};

// What became of one entry of the input list.
enum class InputFate : std::uint8_t {
  Copied,          // handed to the page copier (see Status and Pages)
  DeletedEmpty,    // an empty file: deleted from disk and dropped
  DroppedMissing,  // named no file in an existing folder: dropped
  NotReached,      // the merge stopped before this entry was copied
  KeptEmpty,       // empty, but held open by another program: dropped, not deleted
};

// The stable name of a fate: "copied", "deleted-empty", "missing",
// "not-reached", "kept-empty".
const char* ToString(InputFate fate) noexcept;

// A note on one page of an input file.
struct PageNote {
  std::uint32_t Index = 0;  // 0-based position of the page in its file
  std::string Reason;
};
using SkippedPage = PageNote;

struct FileReport {
  std::string Path;  // UTF-8 (bytes as given on POSIX)
  vellox::Status Status = vellox::Status::NotReached;
  InputFate Fate = InputFate::NotReached;
  std::int32_t Result = 0;           // the page copier's code for this file (1 whole, -1 failed, -2 not a TIFF)
  std::uint32_t Pages = 0;           // pages this file contributed to the output
  std::string Reason;                // why, whenever Status is not Ok
  std::vector<SkippedPage> Skipped;  // pages left out whole
  std::vector<SkippedPage> LeftOut;  // parts of copied pages left out (sub-directories, JPEG data)
  // Pages copied whole, but whose compressed samples were decoded and encoded
  // again in the output's byte order: same values, other compressed bytes.
  std::vector<PageNote> Transcoded;
};

// The report of a merge (in progress, for a progress callback, or ended).
struct MergeReport {
  vellox::Status Status = vellox::Status::InternalError;
  std::int32_t Result = 0;        // the same outcome as the component's result code
  std::string Reason;             // why the merge ended as it did, whenever Status is not Ok
  std::string Output;             // the output's path as the merger wrote it (UTF-8)
  std::vector<FileReport> Files;  // one per listed entry, in list order
  std::uint64_t PagesWritten = 0;
  std::uint64_t BytesWritten = 0;  // bytes in the output file so far
  bool BigTiff = false;            // the output is (being) written as BigTIFF
};

// True when a listed file was missing, or was copied without all of its
// pages (an empty file, deleted or kept, is not a failure).
bool InputFailed(const FileReport& file) noexcept;
// True when some listed file failed so (the command line's exit status 3
// when the output was written).
bool SomeInputFailed(const MergeReport& report) noexcept;

// The file format of the output.
enum class OutputFormat : std::uint8_t {
  Classic,  // classic TIFF: 32-bit offsets, at most 4 GiB
  BigTiff,  // BigTIFF: 64-bit offsets
  Auto,     // classic whenever the merged file fits in it, BigTIFF otherwise
};

// Whether image data may share the inputs' blocks instead of being copied.
enum class CloneMode : std::uint8_t {
  Never,  // every byte copied; the output's layout is the component's own
  Auto,   // on file systems that share blocks between files (XFS with reflink, btrfs), large strips and
          // tiles are placed at their input's position within a block (zero padding before them) and cloned
};

// The byte order of the output.
enum class ByteOrder : std::uint8_t {
  First,   // the first input's (the component's rule)
  Little,  // little-endian ("II")
  Big,     // big-endian ("MM")
  Auto,    // whichever needs the fewest bytes of compressed samples transcoded (ties: the first input's)
};

// Per-merge choices. The defaults give the component's own behaviour.
struct MergeOptions {
  // Flush the output to the disk before it replaces the target, and its
  // folder afterwards, so that a power cut right after a successful merge
  // keeps the new file (slower; off as for cp).
  bool Sync = false;
  OutputFormat Format = OutputFormat::Classic;
  CloneMode Clone = CloneMode::Never;
  ByteOrder Order = ByteOrder::First;
};

// The stable names of the options' values ("classic", "bigtiff", "auto";
// "never", "auto"; "first", "little", "big", "auto"), and the reverse: false
// for a name that is none of them (compared without regard to case).
const char* ToString(OutputFormat format) noexcept;
const char* ToString(CloneMode clone) noexcept;
const char* ToString(ByteOrder order) noexcept;
bool FromString(std::string_view name, OutputFormat& format) noexcept;
bool FromString(std::string_view name, CloneMode& clone) noexcept;
bool FromString(std::string_view name, ByteOrder& order) noexcept;

// A path from UTF-8 text, and a path as UTF-8 text (on POSIX both are the
// bytes as they are, whatever their encoding).
inline std::filesystem::path PathFromUtf8(std::string_view text) {
#ifdef _WIN32
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
#else
  return std::filesystem::path(text);
#endif
}
inline std::string Utf8Of(const std::filesystem::path& path) {
#ifdef _WIN32
  const std::u8string text = path.u8string();
  return std::string(text.begin(), text.end());
#else
  return path.string();
#endif
}

// One input of a merge: a file's path (text is read as UTF-8).
struct Input {
  Input() = default;
  Input(std::filesystem::path path) : Path(std::move(path)) {}
  Input(std::string_view path) : Path(PathFromUtf8(path)) {}
  Input(const std::string& path) : Path(PathFromUtf8(path)) {}
  Input(const char* path) : Path(PathFromUtf8(path)) {}

  std::filesystem::path Path;
};

struct MergeRequest {
  std::vector<Input> Inputs;     // merged in this order; relative paths are taken from the current folder
  std::filesystem::path Output;  // the file written (replaced atomically if it exists)
  MergeOptions Options;
  bool Append = false;  // add the inputs' pages to the existing file Output instead (see Append)
};

// Called at every step of a merge (twice per page) with the report so far;
// returning false stops the merge, which then ends as Cancelled.
using ProgressCallback = std::function<bool(const MergeReport&)>;

// Merges the request's inputs into its output (or appends them to it, for
// a request with Append set). Empty input files are deleted from disk (they
// cannot be TIFF files). `stop` cancels the merge as a progress callback
// returning false does.
MergeReport Merge(const MergeRequest& request, const ProgressCallback& progress = {}, std::stop_token stop = {});

// Adds the pages of the inputs, in order, to the end of the existing TIFF
// file `target`, copied as Merge copies them, in the target's format and
// byte order; the target's own bytes are never rewritten but for its last
// page's link, which is set only once the new pages are on the disk. A
// crash at any moment leaves the target with its old pages, or with its old
// and all new ones; on a failure nothing is added. Appends to one file wait
// for each other (a lock on the file). Of the options only
// Clone applies (the target decides the format and byte order; the new
// pages always reach the disk). Refused with nothing changed: a target that
// is missing, not a TIFF file, whose chain of pages is cut or loops
// (Damaged), on a read-only file system, an input that is the target
// itself, a classic target that the new pages would take past 4 GiB.
// PagesWritten and BytesWritten count what was added.
MergeReport Append(const std::filesystem::path& target, const std::vector<Input>& inputs,
                   const MergeOptions& options = {}, const ProgressCallback& progress = {}, std::stop_token stop = {});

struct MergeManyOptions {
  unsigned Workers = 0;  // merges at once; 0: one per core (at most 64)
  // Called as each merge ends, with its index in the request list; calls
  // come from the worker threads, one at a time.
  std::function<void(std::size_t index, const MergeReport& report)> Finished = {};
  // Called at every step of every merge, from its worker thread (possibly
  // several at once); returning false stops that merge.
  std::function<bool(std::size_t index, const MergeReport& report)> Progress = {};
  std::stop_token Stop = {};  // stops every merge not yet ended
};

// Why each request cannot run beside the others, or "" where it can: no two
// requests may write one file, and no request may read a file another
// writes (one may read its own output, as Merge may). Files are compared by
// identity (device and inode, or for a file not yet there its folder's and
// its name), never by the text of their paths.
std::vector<std::string> CheckJobs(const std::vector<MergeRequest>& requests);

// Runs the requests on a pool of worker threads and returns their reports
// in request order. When CheckJobs finds a clash, nothing runs and every
// report is InvalidRequest (the clashing ones say why). A merge that fails
// does not stop the others.
std::vector<MergeReport> MergeMany(const std::vector<MergeRequest>& requests, const MergeManyOptions& options = {});

// Removes the hidden temporary files of merges running in this process,
// and (POSIX) cuts the files that appends in progress have added to back to
// their old length. Async-signal-safe: for a signal handler of a process
// that is about to end. (Where the file system supports unnamed files, a merge has no such
// file to remove.)
void RemoveTemporaryFiles() noexcept;

// The library's version as "major.minor.revision", e.g. "1.0.4".
std::string Version();

}  // namespace vellox
