// Vellox: merges TIFF files into one multi-page TIFF by copying their
// structure (directories, values and raw image data), never decoding pixels.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vellox {

struct MergeSession;
struct TiffLayout;
namespace platform {
class InputFile;
class OutputFile;
}  // namespace platform
// Result codes of Tiff_Merge (the merge as a whole) and of the per-file copy.
enum ResultCode : std::int32_t {
  kMergeWritten = 1,       // output written (some files may have failed)
  kNoInputLeft = 0,        // every listed file was missing or empty
  kFailed = -1,            // a step of the merge failed; no output left
  kNotTiff = -2,           // the first remaining file is not a TIFF
  kOutputDirMissing = -3,  // the output directory does not exist
};

// What became of one entry of the input list.
enum class InputFate : std::uint8_t {
  Copied,          // handed to the page copier (see Result and Pages)
  DeletedEmpty,    // an empty file: deleted from disk and dropped
  DroppedMissing,  // named no file in an existing folder: dropped
  NotReached,      // the merge stopped before this entry was copied
  KeptEmpty,       // empty, but held open by another program: dropped, not deleted
};

// A note on one page of an input file.
struct PageNote {
  std::uint32_t Index = 0;  // 0-based position of the page in its file
  std::string Reason;
};
using SkippedPage = PageNote;

struct FileReport {
  std::string Path;
  InputFate Fate = InputFate::NotReached;
  std::int32_t Result = 0;           // per-file result code of the page copier
  std::uint32_t Pages = 0;           // pages this file contributed to the output
  std::string Reason;                // why, whenever Result is not 1 (or the file was dropped)
  std::vector<SkippedPage> Skipped;  // pages left out whole
  std::vector<SkippedPage> LeftOut;  // parts of copied pages left out (sub-directories, JPEG data)
  // Pages copied whole, but whose compressed samples were decoded and encoded
  // again in the output's byte order: same values, other compressed bytes.
  std::vector<PageNote> Transcoded;
};

// A report of the last (or running) merge, for native callers.
struct MergeReport {
  std::int32_t Result = 0;
  std::string Reason;             // why the merge ended as it did, when Result is not 1
  std::vector<FileReport> Files;  // one per listed entry, in list order
  std::uint64_t PagesWritten = 0;
  std::uint64_t BytesWritten = 0;  // bytes in the output file so far
  bool BigTiff = false;            // the output is (being) written as BigTIFF
};

// Per-merge choices of a native caller. The defaults give the component's
// own behaviour.
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

struct MergeOptions {
  // Flush the output to the disk before it replaces the target, and its
  // folder afterwards, so that a power cut right after a successful merge
  // keeps the new file (slower; off as for cp).
  bool Sync = false;
  OutputFormat Format = OutputFormat::Classic;
  CloneMode Clone = CloneMode::Never;
  ByteOrder Order = ByteOrder::First;
};

// Removes the hidden temporary files of merges running in this process.
// Async-signal-safe: for a signal handler of a process that is about to
// end. (Where the file system supports unnamed files, a merge has no such
// file to remove.)
void RemoveTemporaryFiles() noexcept;

// The merger. One object runs one merge at a time; every call runs
// synchronously on the caller's thread.
class KWVellox {
 public:
  KWVellox();
  ~KWVellox();
  KWVellox(const KWVellox&) = delete;
  KWVellox& operator=(const KWVellox&) = delete;

  // The component's version as "major.minor.revision", e.g. "1.0.4".
  std::string Version();

  // Merges the TIFF files listed in FileNamess (UTF-8 paths separated by
  // ",") into OutputDir/NewFileName and returns a ResultCode. A "," is
  // appended to FileNamess when it does not end with one. Listed files that
  // are empty are deleted.
  std::int32_t Tiff_Merge(std::string& FileNamess, std::string& OutputDir, std::string& NewFileName);

  // Called at every yield of a merge (twice per directory copied), for
  // progress or message pumping. A hook that returns bool cancels the merge
  // by returning false: the merge then ends as -1 with the reason
  // "cancelled", writes nothing and leaves an existing target untouched. A
  // hook that returns nothing never cancels. The hook must not start another
  // merge on this object; such a call returns -1 at once.
  template <class Hook>
  void SetYieldHook(Hook hook) {
    if constexpr (std::is_constructible_v<bool, Hook&>) {
      if (!static_cast<bool>(hook)) {
        YieldHook = nullptr;
        return;
      }
    }
    if constexpr (std::is_void_v<std::invoke_result_t<Hook&>>)
      YieldHook = [observe = std::move(hook)]() mutable {
        observe();
        return true;
      };
    else
      YieldHook = std::move(hook);
  }

  // Options for the following merges.
  void SetOptions(const MergeOptions& options) { Options = options; }
  const MergeOptions& GetOptions() const noexcept { return Options; }

  // The report of the merge in progress (from the yield hook) or of the
  // last one.
  const MergeReport& Report() const noexcept { return LastReport; }

 private:
  friend class KWVelloxInternals;  // white-box access for the test suite
  friend class PageCopier;         // the page copier's working half

  // --- Merger state -------------------------------------------------------
  std::vector<std::string> HexPairs;
  std::string OutOfLineData;
  std::array<std::int16_t, 14> TypeSizes{};
  std::string PendingBytes;
  bool InputLittleEndian = false;
  bool OutputLittleEndian = false;
  std::int64_t OutputPosition = 0;
  std::int64_t DirectByteCount = 0;
  std::int16_t TypeCount = 0;
  std::vector<std::vector<std::string>> ValueTable;
  std::vector<std::vector<std::string>> EntryTable;

  // --- Byte codec ----------------------------------------------------------
  void EncodeNumber(const std::string& ValueText, std::int16_t ByteCount, bool ToBuffer, std::int32_t ZeroCount);
  std::uint32_t DecodeNumber(std::string_view Bytes, std::int16_t& ByteCount);
  std::string SwapGroups(std::string_view Bytes, std::int32_t GroupSize);
  std::string ToHexDigits(double Value);
  std::string HexDigit(std::int16_t Digit);

  // --- Merge driver --------------------------------------------------------
  bool DirectoryExists(const std::string& Path);
  std::int32_t RunMerge(std::string& FileNamess, const std::string& OutputDir, const std::string& NewFileName);
  bool ChooseBigTiff(const std::vector<std::string>& list, const std::vector<std::size_t>& kept,
                     const std::vector<std::size_t>& bigInputs, std::uint64_t inputBytes, platform::OutputFile& output);
  // Whether the output is little-endian, as the options say, given the first
  // input's byte order.
  bool ChooseLittleEndian(const std::vector<std::string>& list, const std::vector<std::size_t>& kept, bool firstLittle);
  // Bytes of the input's pages that would be transcoded if the output were
  // in the other byte order than the input's.
  std::uint64_t BytesToTranscode(const platform::InputFile& input);
  // How the input's large pieces are placed in the output: in blocks of
  // this size where they can be cloned, else 0.
  std::size_t CloneBlockFor(platform::OutputFile& output, const platform::InputFile& input) const;

  // --- Page copier ---------------------------------------------------------
  void CopyPages(const std::string& path, std::int32_t fileCount, std::int32_t fileIndex, std::int32_t& result);
  // Where the pages of an opened input would end in an output of `layout`
  // if they began at `start`, padding included (UINT64_MAX: a value the
  // format cannot hold).
  std::uint64_t MeasurePages(const platform::InputFile& input, const TiffLayout& layout, std::uint64_t start,
                             std::size_t cloneBlock);

  // Lets the host run (the yield hook) while a merge copies directories.
  void YieldToHost();

  // The merge in progress: its output, the chain's last link and the report
  // of the file being copied; owned by the driver for one call.
  MergeSession* Session = nullptr;
  MergeOptions Options;
  bool Merging = false;
  std::function<bool()> YieldHook;
  MergeReport LastReport;
};

}  // namespace vellox
