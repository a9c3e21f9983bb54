// The append driver: adds the pages of listed files to the end of an
// existing TIFF file, in place.
//
// The target's bytes stay as they are but for one link: its last page's
// link to a next page, 0 until now, which is set to the first new page only
// once every new page is on the disk. Until then the new bytes lie past the
// end of the chain, where no reader looks, so a crash at any moment leaves
// the file with its old pages, or with its old and all its new ones. Appends
// to one file take turns under a lock on it (OutputFile::OpenForAppend).
// The pages are copied exactly as a merge copies them, by the same copier.
#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "codec/endian.hpp"
#include "merge/listed_input.hpp"
#include "merge/merge_session.hpp"
#include "merge/merger.hpp"
#include "platform/file_identity.hpp"
#include "platform/files.hpp"

namespace vellox {
namespace {

constexpr unsigned char kTrailerByte = 0xA0;  // ends the file, as a merge ends its own

// Every page of a classic file ends before 4 GiB.
constexpr std::uint64_t kClassicLimit = 1ull << 32;

// What a disk writes whole or not at all.
constexpr std::uint64_t kSectorBytes = 512;
// The most zero bytes put before the new pages so that their link cannot
// tear (see FirstPagePosition).
constexpr std::uint64_t kMostTearPadding = 64u << 10;

// Bytes read at once from a directory of the target: its entry count and,
// for up to 20 entries (BigTIFF: 12), its link too.
constexpr std::size_t kDirectoryProbeBytes = 256;

// What an append needs to know of its target.
struct Target {
  TiffLayout Layout;
  bool LittleEndian = true;
  std::uint64_t LastLink = 0;  // where the link that ends the chain is (the header's, for a file without pages)
};

// Why the target cannot take pages, when it cannot.
struct TargetProblem {
  Status Kind = Status::Ok;
  std::string Reason;
};

std::uint64_t Decode(const unsigned char* bytes, std::size_t width, bool little) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) value = value << 8 | bytes[little ? width - 1 - i : i];
  return value;
}

// Reads the target's header and walks its chain of pages to the last link,
// every read checked against the file's length. A loop is found without
// remembering the pages walked (Brent's method: a marker jumps ahead to
// each power of two), so memory stays bounded whatever the file holds.
TargetProblem ReadTarget(const platform::OutputFile& file, const std::string& path, Target& target) {
  const std::uint64_t size = file.AppendedFrom();
  std::array<unsigned char, 16> head{};
  const auto headBytes = static_cast<std::size_t>(size < head.size() ? size : head.size());
  if (!file.ReadAt(0, head.data(), headBytes)) return {Status::CannotOpen, "cannot read " + path};
  const bool little = head[0] == 'I' && head[1] == 'I';
  const std::uint64_t version = Decode(&head[2], 2, little);
  const bool marked = little || (head[0] == 'M' && head[1] == 'M');
  if (size < 8 || !marked || (version != 42 && version != 43)) return {Status::NotTiff, path + " is not a TIFF file"};
  target.LittleEndian = little;
  target.Layout.Big = version == 43;
  const TiffLayout& layout = target.Layout;
  if (layout.Big && (size < 16 || Decode(&head[4], 2, little) != 8 || Decode(&head[6], 2, little) != 0))
    return {Status::NotTiff, path + " is not a TIFF file: its BigTIFF header is not valid"};

  const std::size_t width = layout.OffsetBytes();
  target.LastLink = layout.HeaderBytes() - width;
  std::uint64_t next = Decode(&head[static_cast<std::size_t>(target.LastLink)], width, little);
  std::uint64_t marker = 0, reach = 1, steps = 1;
  for (std::uint64_t page = 1; next != 0; ++page) {
    const auto where = [&] {
      return "page " + std::to_string(page) + "'s directory at offset " + std::to_string(next);
    };
    if (page > 1 && next == marker)
      return {Status::Damaged, "the page chain of " + path + " loops: " + where() + " was reached before"};
    if (steps == reach) {
      marker = next;
      reach *= 2;
      steps = 0;
    }
    ++steps;
    const std::uint64_t fixed = layout.EntryCountBytes() + width;
    if (!RangeInside(size, next, fixed))
      return {Status::Damaged, "the page chain of " + path + " is cut: " + where() + " lies outside the file"};
    std::array<unsigned char, kDirectoryProbeBytes> block{};
    const auto got = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - next));
    if (!file.ReadAt(next, block.data(), got)) return {Status::CannotOpen, "cannot read " + path};
    const std::uint64_t count = Decode(block.data(), layout.EntryCountBytes(), little);
    if (count > (size - next - fixed) / layout.EntryBytes())
      return {Status::Damaged, "the page chain of " + path + " is cut: " + where() + " runs past the end of the file"};
    target.LastLink = next + layout.EntryCountBytes() + count * layout.EntryBytes();
    std::array<unsigned char, 8> link{};
    if (target.LastLink + width <= next + got)
      std::copy_n(&block[static_cast<std::size_t>(target.LastLink - next)], width, link.begin());
    else if (!file.ReadAt(target.LastLink, link.data(), width))
      return {Status::CannotOpen, "cannot read " + path};
    next = Decode(link.data(), width, little);
  }
  return {};
}

}  // namespace

// Where the new pages begin: the target's end, on a directory's boundary,
// and, when the link that will point at them straddles two sectors, moved
// on until every mix of its old bytes (zeros) and new ones that a power cut
// could leave reads as 0 or as the new value: that is, until the value's
// bytes in one of the two sectors are all zero. That costs at most
// kMostTearPadding zeros (64 KiB, for a link split 2+2 or 2+6); the rarer
// splits that would cost more are left as they are.
std::uint64_t FirstPagePosition(std::uint64_t end, std::uint64_t linkAt, std::size_t width, bool littleEndian,
                                std::uint64_t alignment) {
  const std::uint64_t start = AlignUp(end, alignment);
  const std::uint64_t inFirstSector = kSectorBytes - linkAt % kSectorBytes;
  if (inFirstSector >= width) return start;
  // The bytes of lowest significance that share a sector: the first
  // sector's in little-endian order, the second's in big-endian.
  const std::uint64_t lowBytes = littleEndian ? inFirstSector : width - inFirstSector;
  const std::uint64_t lowUnit = 1ull << (8 * lowBytes);  // lowBytes <= 7
  if (start < lowUnit) return start;                     // the high bytes are all zero
  const std::uint64_t moved = AlignUp(start, lowUnit);   // the low bytes are all zero
  return moved - start <= kMostTearPadding ? moved : start;
}

std::int32_t Merger::Append(const std::vector<std::string>& list, const std::string& target) {
  return Guarded(list, "append", [&] {
    Report.Output = target;
    return RunAppend(list, target);
  });
}

bool Merger::PassesClassicLimit(std::vector<ListedInput>& inputs, const std::vector<std::size_t>& kept,
                                std::uint64_t start, platform::OutputFile& output) {
  std::uint64_t end = start;
  for (const std::size_t i : kept) {
    Intake intake;
    const bool held = inputs[i].File != nullptr;
    const platform::InputFile* input = inputs[i].Open(Report.Files[i].Path, intake);
    if (input == nullptr) continue;
    const std::size_t block = CloneBlockFor(output, *input);
    std::uint64_t next = MeasurePages(*input, TiffLayout{}, end, block, PagesOf(i));
    // A page holding a value that classic TIFF cannot hold is skipped, but
    // where the others end is then unknown: measured as BigTIFF, which
    // takes no less room, they give a bound.
    if (next == UINT64_MAX) next = MeasurePages(*input, TiffLayout{true}, end, block, PagesOf(i));
    if (!held) inputs[i].Close();  // opened again for this alone: the budget holds
    if (next >= kClassicLimit) return true;
    end = next;
  }
  return false;
}

Status Merger::RunAppend(const std::vector<std::string>& list, const std::string& target) {
  auto stop = [this](Status status, std::string reason) {
    Report.Reason = std::move(reason);
    return status;
  };

  // Empty inputs are deleted first, as by a merge, whatever comes after.
  std::vector<ListedInput> inputs(list.size());
  std::vector<std::size_t> kept;
  std::uint64_t inputBytes = 0;
  if (const Status opened = OpenListed(list, inputs, kept, inputBytes); opened != Status::Ok) return opened;
  if (kept.empty()) return stop(Status::NothingToMerge, "nothing to append: every listed file was missing or empty");

  platform::OutputFile output;
  output.OpenForAppend(target, [this] { YieldToHost(); });
  const platform::FileIdentity self = platform::IdentityOf(target);
  for (const std::size_t i : kept) {
    if (!self.Known || platform::IdentityOf(list[i]) != self) continue;
    Report.Files[i].Status = Status::InvalidRequest;
    Report.Files[i].Reason = "the target itself";
    return stop(Status::InvalidRequest, list[i] + " is the target itself: a file cannot be appended to itself");
  }
  Target chain;
  if (const TargetProblem problem = ReadTarget(output, target, chain); problem.Kind != Status::Ok)
    return stop(problem.Kind, problem.Reason);
  if (!ListChosenPages(inputs, kept)) return Report.Status;
  const TiffLayout layout = chain.Layout;
  Report.BigTiff = layout.Big;
  InputLittleEndian = OutputLittleEndian = chain.LittleEndian;

  const std::uint64_t start = FirstPagePosition(output.AppendedFrom(), chain.LastLink, layout.OffsetBytes(),
                                                chain.LittleEndian, layout.DirectoryAlignment());
  if (!layout.Big && PassesClassicLimit(inputs, kept, start, output))
    return stop(Status::OutputFailed, target +
                                          " is a classic TIFF file, which cannot pass 4 GiB, and the new pages "
                                          "would take it past that: nothing was added (`vellox merge --format "
                                          "bigtiff` converts it into a BigTIFF file, which can take them)");

  MergeSession session(output, Report, layout, chain.LittleEndian);
  session.HoldFirstLink(chain.LastLink, start, output.AppendedFrom());
  Session = &session;
  output.Append(std::string(static_cast<std::size_t>(start - output.Position()), '\0'));
  OutputPosition = static_cast<std::int64_t>(start);

  if (Options.Collate)
    CopyCollated(inputs, kept, list, output);
  else
    CopyInOrder(inputs, kept, list, output);

  if (Report.PagesWritten == 0)
    return stop(Status::NothingCopied, "no page of any input could be copied: nothing was added");
  session.EndChain();
  output.AppendByte(kTrailerByte);
  std::string link;
  codec::AppendUnsigned(link, session.FirstDirectory(), layout.OffsetBytes(), chain.LittleEndian);
  output.LinkAppended(chain.LastLink, link, std::string(layout.OffsetBytes(), '\0'));
  Report.BytesWritten = output.Position() - output.AppendedFrom();
  return Status::Ok;
}

}  // namespace vellox
