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
#include <optional>
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
  // Take one page from each input in turn (the first of each, then the
  // second of each, ...) instead of each input whole; an input with fewer
  // pages drops out when it has none left.
  bool Collate = false;
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

// Which pages of a file to take, in the page-list syntax of PDF tools:
// 1-based page numbers and ranges separated by ","; "z" is the last page and
// "rN" the N-th from the end (r1 is z); a range may run backwards ("z-1"
// reverses a file); "xN" or "xN-M" removes those pages from what the items
// before it selected ("1-z,x3-4"). A page may be selected more than once.
class PageSelection {
 public:
  PageSelection() = default;  // every page, in file order

  // Reads `text` as a selection; false, with the reason in `why`, when it is
  // not one (the empty text is not one either).
  static bool Parse(std::string_view text, PageSelection& selection, std::string* why = nullptr);

  bool All() const noexcept { return items_.empty(); }
  const std::string& Text() const noexcept { return text_; }

  // The 0-based pages it takes of a file with `pageCount` pages, in order;
  // nothing, with the reason in `why`, when it names a page the file lacks
  // or leaves no page at all.
  std::optional<std::vector<std::uint32_t>> Pick(std::uint64_t pageCount, std::string* why = nullptr) const;

  // The most pages one selection may take (a bound on the memory it needs).
  static constexpr std::uint64_t kMostPages = 1u << 24;

 private:
  struct Bound {
    bool FromEnd = false;  // counted from the last page: 1 is the last
    std::uint64_t Number = 0;
  };
  struct Item {
    Bound First, Last;
    bool Exclude = false;
  };
  std::vector<Item> items_;
  std::string text_;
};

// One input of a merge: a file's path (text is read as UTF-8), and which of
// its pages to take (the text of a PageSelection; empty: every page).
struct Input {
  Input() = default;
  Input(std::filesystem::path path) : Path(std::move(path)) {}
  Input(std::string_view path) : Path(PathFromUtf8(path)) {}
  Input(const std::string& path) : Path(PathFromUtf8(path)) {}
  Input(const char* path) : Path(PathFromUtf8(path)) {}
  Input(std::filesystem::path path, std::string pages) : Path(std::move(path)), Pages(std::move(pages)) {}
  Input(const char* path, std::string pages) : Path(PathFromUtf8(path)), Pages(std::move(pages)) {}

  // The process's standard input (read to its end first when it is not a
  // file: a pipe works too).
  static Input StandardInput(std::string pages = {}) {
    Input input("-", std::move(pages));
    input.FromStandardInput = true;
    return input;
  }

  std::filesystem::path Path;
  std::string Pages;  // e.g. "2-z"; empty: every page
  bool FromStandardInput = false;
};

// An input as a command line names it: "-" is standard input, and
// "PATH:PAGES" is PATH with a page selection, but only when the whole text
// names no existing file and what follows its last ":" is a selection (so
// "C:\scan.tif" and file names with colons keep working).
Input InputFromArgument(std::string_view argument);

struct MergeRequest {
  std::vector<Input> Inputs;     // merged in this order; relative paths are taken from the current folder
  std::filesystem::path Output;  // the file written (replaced atomically if it exists)
  MergeOptions Options;
  // Write the merged file to the process's standard output instead of
  // Output, front to back (a pipe works). A failure after the first bytes
  // went out cannot take them back: the report says the merge failed.
  bool ToStandardOutput = false;
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

// A split: the pages of one input (its selection applied first) written
// into numbered files of Every pages each: pages 1..N into part 1, N+1..2N
// into part 2, and so on.
struct SplitRequest {
  Input Source;
  // The parts' paths, with one printf-style %d (flags and width allowed, as
  // in "parts/doc-%03d.tif") for the part's number, counted from 1.
  std::string Pattern;
  std::uint32_t Every = 1;
  bool Sync = false;  // as MergeOptions::Sync
};

struct SplitReport {
  vellox::Status Status = vellox::Status::InternalError;
  std::string Reason;              // why, whenever Status is not Ok
  std::vector<std::string> Parts;  // the files written, in order (UTF-8); none unless Status is Ok
  FileReport Source;               // what was copied of the input, with notes on its pages
  std::uint64_t PagesWritten = 0;
  std::uint64_t BytesWritten = 0;
  bool BigTiff = false;  // the parts are BigTIFF, as the input is
};

// Splits the input. Every part is a whole TIFF file in the input's format
// and byte order. The parts are written under temporary names and all get
// their names at the end: a failure (a full disk, a page that cannot be
// copied whole, a kill) leaves none of them. Existing files are replaced.
SplitReport Split(const SplitRequest& request, const ProgressCallback& progress = {}, std::stop_token stop = {});
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

// What a file holds, page by page, read from its directories without
// decoding a pixel, and what a merge would do with each page.

// What became of a page in a merge into the other byte order than its
// file's: its samples then change order.
enum class OtherOrderFate : std::uint8_t {
  Copied,      // copied, its samples reversed where they are 16, 32 or 64 bits wide and uncompressed
  Transcoded,  // its compressed samples decoded and encoded again in that order
  Skipped,     // left out whole (the page's OtherOrderReason says why)
};

// The stable name of such a fate: "copied", "transcoded", "skipped".
const char* ToString(OtherOrderFate fate) noexcept;

// One page (directory) of a file. A field the page lacks reads as TIFF's
// default where TIFF has one (BitsPerSample, SamplesPerPixel, Compression
// 1), else as 0 (Width, Height) or nothing (Photometric).
struct PageInfo {
  std::uint32_t Index = 0;   // 0-based position of the page in its file
  std::uint64_t Offset = 0;  // of its directory
  std::uint64_t Width = 0;
  std::uint64_t Height = 0;
  std::uint32_t BitsPerSample = 1;  // of the first sample
  std::uint32_t SamplesPerPixel = 1;
  std::uint32_t Compression = 1;
  std::optional<std::uint32_t> Photometric;
  bool Tiled = false;           // tiles, not strips
  std::uint64_t Pieces = 0;     // strips or tiles
  std::uint64_t TileWidth = 0;  // tiled pages only
  std::uint64_t TileLength = 0;
  std::uint64_t ImageBytes = 0;   // the strips' or tiles' byte counts added up
  std::uint64_t SubIfds = 0;      // sub-directories the SubIFDs field lists
  bool Exif = false;              // an EXIF directory hangs off the page
  bool Gps = false;               // a GPS directory
  bool Interoperability = false;  // an Interoperability directory, off the page or its EXIF directory
  // What a merge into the file's own format and byte order does with the
  // page: why it leaves it out whole (empty: it copies it; the page where
  // the merge of the file stops, and every page after it, say so), and the
  // parts it leaves out of a page it copies, each with why.
  std::string Skipped;
  std::vector<std::string> LeftOut;
  // What a merge into the other byte order does with it, and why it skips it.
  OtherOrderFate OtherOrder = OtherOrderFate::Copied;
  std::string OtherOrderReason;
};

// One file as Info reads it. Status: Ok when every directory of its chain
// was read, up to a link of 0; Damaged when the chain ends otherwise (a
// directory that cannot be read, a link back to one read already; the pages
// before are listed) or the header is broken; NotTiff (an empty file too),
// Missing, CannotOpen, InvalidRequest (an empty path); OutOfMemory.
struct FileInfo {
  std::string Path;  // as given, UTF-8
  vellox::Status Status = vellox::Status::InternalError;
  std::string Reason;           // why, whenever Status is not Ok
  bool Tiff = false;            // it starts with a TIFF header (BigTiff and LittleEndian say which)
  bool BigTiff = false;         // 64-bit offsets
  bool LittleEndian = false;    // "II"
  std::uint64_t Bytes = 0;      // the file's size
  std::vector<PageInfo> Pages;  // in chain order
};

// Reads the file's header and every directory of its chain, and plans each
// page as a merge of the file would, without writing anything. Never
// throws for the file's problems: they are in the status and the reason.
// Reads directories and values only: fast on a file of many pages
// whatever the size of its image data.
FileInfo Info(const std::filesystem::path& path);

// Removes the hidden temporary files of merges running in this process.
// Async-signal-safe: for a signal handler of a process that is about to
// end. (Where the file system supports unnamed files, a merge has no such
// Removes the hidden temporary files of merges running in this process,
// and (POSIX) cuts the files that appends in progress have added to back to
// their old length. Async-signal-safe: for a signal handler of a process
// that is about to end. (Where the file system supports unnamed files, a merge has no such
// file to remove.)
void RemoveTemporaryFiles() noexcept;

// The library's version as "major.minor.revision", e.g. "1.0.4".
std::string Version();

}  // namespace vellox
