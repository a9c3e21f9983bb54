// The merger: the state and steps of one merge, behind every front end
// (vellox::Merge, the component's Tiff_Merge). The driver (merge_driver.cpp)
// runs the list from the removal pass to the finished file, the append
// driver (append_driver.cpp) adds the pages of a list to an existing file in
// place; the byte codec (codec/) and the page copier (pagecopy/) work on the
// state held here.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vellox/vellox.hpp"

namespace vellox {

struct MergeSession;
struct TiffLayout;
class ListedInput;
namespace platform {
class InputFile;
class OutputFile;
}  // namespace platform

// The pages of one input that a merge copies when it does not copy the
// input's chain whole: their directories, in the order copied, and their
// 0-based numbers in the file (for reports).
struct PageList {
  std::vector<std::uint64_t> Directories;
  std::vector<std::uint32_t> Numbers;
};

class Merger {
 public:
  // `yield` is called at every step (twice per page) and stops the merge
  // by returning false; `report` receives the outcome as the merge runs.
  Merger(const MergeOptions& options, MergeReport& report, std::function<bool()> yield = {})
      : Options(options), Report(report), YieldHook(std::move(yield)) {}
  Merger(const Merger&) = delete;
  Merger& operator=(const Merger&) = delete;

  // Merges the listed paths (UTF-8, as listed: the component's list
  // without its end marker) into OutputDir/NewFileName. Never throws: the
  // outcome is in the report, and the component's result code is returned.
  std::int32_t Run(const std::vector<std::string>& list, const std::string& OutputDir, const std::string& NewFileName);
  // Adds the pages of the listed paths (absolute, UTF-8) to the end of the
  // existing TIFF file `target`, in its format and byte order, without
  // rewriting its bytes but for its last page's link. Never throws: the
  // outcome is in the report (PagesWritten: the pages added; BytesWritten:
  // the bytes added), and its result code is returned.
  std::int32_t Append(const std::vector<std::string>& list, const std::string& target);

  // Which pages of each listed input Run copies (parallel to the list;
  // missing or All: the whole input), and for Split, pages already found
  // (a non-null entry wins over the selection).
  std::vector<PageSelection> Selections;
  std::vector<std::shared_ptr<const PageList>> GivenPages;
  // Write the output to the process's standard output instead of a file.
  bool ToStandardOutput = false;
  // Keep the finished output unnamed for the caller to commit (Split names
  // all its parts together); the driver's Commit is skipped.
  std::unique_ptr<platform::OutputFile>* Finished = nullptr;

  // Opens `path`, checks that it is a TIFF file and finds its pages (see
  // IndexPages); `big` tells its format. Not Ok, with the report's reason
  // saying why, when it cannot be read.
  Status FindPages(const std::string& path, PageList& pages, std::string& end, bool& big);

  // The pages of an opened input's chain, in order; `end` says why the
  // chain ends early (empty when it ends as a chain should).
  PageList IndexPages(const platform::InputFile& input, std::string& end);
  // Fills `info` with the pages of an opened input of `layout` (its own),
  // each described and planned as a merge would plan it, without writing
  // (see PageCopier::Describe). Input faults end up in `info`; only memory
  // running out is thrown.
  void DescribePages(const platform::InputFile& input, const TiffLayout& layout, FileInfo& info);

 private:
  friend class MergerInternals;  // white-box access for the test suite
  friend class PageCopier;       // the page copier's working half

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
  // The start of the input being read (see PageCopier::ReadHead).
  std::unique_ptr<char[]> HeadBuffer;

  // --- Byte codec ----------------------------------------------------------
  void EncodeNumber(const std::string& ValueText, std::int16_t ByteCount, bool ToBuffer, std::int32_t ZeroCount);
  std::uint32_t DecodeNumber(std::string_view Bytes, std::int16_t& ByteCount);
  std::string SwapGroups(std::string_view Bytes, std::int32_t GroupSize);
  std::string ToHexDigits(double Value);
  std::string HexDigit(std::int16_t Digit);

  // --- Merge driver --------------------------------------------------------
  bool DirectoryExists(const std::string& Path);
  // Starts the report for `list`, runs `body` and turns what it returns or
  // throws into the report's outcome.
  std::int32_t Guarded(const std::vector<std::string>& list, const char* what, const std::function<Status()>& body);
  Status RunMerge(const std::vector<std::string>& list, const std::string& OutputDir, const std::string& NewFileName);
  // The removal pass: deletes and drops empty inputs, drops missing ones and
  // holds the others open in `inputs`; `kept` lists them, `inputBytes` adds
  // up their sizes. Ok, or why the whole request ends (Report.Reason set).
  Status OpenListed(const std::vector<std::string>& list, std::vector<ListedInput>& inputs,
                    std::vector<std::size_t>& kept, std::uint64_t& inputBytes);
  Status RunAppend(const std::vector<std::string>& list, const std::string& target);
  // Whether the pages of the kept inputs, added from `start`, would take a
  // classic target past 4 GiB.
  bool PassesClassicLimit(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept, std::uint64_t start,
                          platform::OutputFile& output);
  bool ChooseBigTiff(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept, std::uint64_t inputBytes,
                     platform::OutputFile& output);
  // Whether the output is little-endian, as the options say, given the first
  // input's byte order.
  bool ChooseLittleEndian(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept, bool firstLittle);
  // The pages each kept input gives where not its whole chain (see
  // Selections; every input when collating); false, with the report
  // saying why, when a selection names a page its file lacks.
  bool ListChosenPages(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept);
  // Whether an output in that byte order transcodes some page.
  bool WillTranscode(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept, bool outputLittle);
  // Copies one page of each input in turn (MergeOptions::Collate).
  void CopyCollated(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept,
                    const std::vector<std::string>& list, platform::OutputFile& output);
  // Copies each input whole, or its chosen pages, in list order.
  void CopyInOrder(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept,
                   const std::vector<std::string>& list, platform::OutputFile& output);
  // The pages each listed input gives (null: its whole chain), and why an
  // indexed input's chain ends early.
  std::vector<std::shared_ptr<const PageList>> ChosenPages;
  std::vector<std::string> ChainEnds;
  const PageList* PagesOf(std::size_t input) const {
    return input < ChosenPages.size() ? ChosenPages[input].get() : nullptr;
  }
  // Bytes of the input's pages that would be transcoded if the output were
  // in the other byte order than the input's.
  std::uint64_t BytesToTranscode(const platform::InputFile& input, const PageList* pages = nullptr);
  // How the input's large pieces are placed in the output: in blocks of
  // this size where they can be cloned, else 0.
  std::size_t CloneBlockFor(platform::OutputFile& output, const platform::InputFile& input) const;

  // --- Page copier ---------------------------------------------------------
  void CopyPages(const std::string& path, std::int32_t fileCount, std::int32_t fileIndex, std::int32_t& result);
  // Where the pages of an opened input would end in an output of `layout`
  // if they began at `start`, padding included (UINT64_MAX: a value the
  // format cannot hold).
  std::uint64_t MeasurePages(const platform::InputFile& input, const TiffLayout& layout, std::uint64_t start,
                             std::size_t cloneBlock, const PageList* pages = nullptr);

  // Lets the caller run (the yield hook) while a merge copies directories.
  void YieldToHost();

  // The merge in progress: its output, the chain's last link and the report
  // of the file being copied; owned by the driver for one call.
  MergeSession* Session = nullptr;
  const MergeOptions Options;
  MergeReport& Report;
  std::function<bool()> YieldHook;
};

// The component's result code for a merge's status.
std::int32_t ResultCodeOf(Status status) noexcept;

// Where an append to a file of `end` bytes puts its first page, given the
// `width`-byte link at `linkAt` that will point at it and the directories'
// `alignment` (see append_driver.cpp).
std::uint64_t FirstPagePosition(std::uint64_t end, std::uint64_t linkAt, std::size_t width, bool littleEndian,
                                std::uint64_t alignment);

}  // namespace vellox
