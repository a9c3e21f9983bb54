// Planning a directory's output before any of it is written: what each
// entry becomes, how long the out-of-line block, the image data and the
// referenced data are, and where every part lands. Planning reads and
// checks everything the directory needs, so writing cannot meet bad input
// half-way through.
#include <algorithm>
#include <cstdint>

#include "codec/endian.hpp"
#include "pagecopy/page_copier.hpp"

namespace vellox {

// Resets what bounds the sub-directories and notes of one page.
void PageCopier::BeginPage() {
  subDirectoriesPlanned_ = 0;
  subDirectoryBytesRead_ = 0;
  subDirectoryEntries_ = 0;
  leftOut_.clear();
}

std::string PageCopier::PlanDirectory(DirectoryPlan& plan, int depth) {
  const Directory& directory = plan.Dir;
  plan.FixedBytes = out_.DirectoryFixedBytes();
  plan.EntryBytes = out_.EntryBytes();
  plan.Rows.assign(directory.Entries.size(), RowPlan{});
  plan.Image = PlanImageData(directory);
  if (plan.Image.OffsetsRow >= 0)
    plan.Rows[static_cast<std::size_t>(plan.Image.OffsetsRow)].Kind = RowKind::ImageOffsets;
  SampleOrder order = PlanSampleOrder(directory, plan.Image);
  // Transcoded data is written ahead of its directory, which only a page
  // can have: a sub-directory that needs it is left out.
  if (order.Transcode && depth > 0) return "its compressed samples cannot be converted to the output's byte order";
  if (!order.Problem.empty()) return order.Problem;
  plan.Image.SwapWidth = order.SwapWidth;
  plan.Image.Transcode = std::move(order.Transcode);
  if (plan.Image.Transcode && plan.Image.CountsRow >= 0)
    plan.Rows[static_cast<std::size_t>(plan.Image.CountsRow)].Kind = RowKind::ImageByteCounts;
  plan.Image.Alignment = ImageAlignment(directory);
  PlanReferences(plan, depth);
  if (!plan.Image.InBlocks.empty() && (plan.Image.SwapWidth >= 2 || plan.Image.Transcode))
    return "its samples lie inside a JPEG stream and cannot be converted to the output's byte order";
  std::string problem = FitToOutput(plan);
  if (!problem.empty()) {
    valueTooWide_ = true;
    return problem;
  }

  plan.EntriesWritten = 0;
  plan.OutOfLineLength = 0;
  for (std::size_t row = 0; row < directory.Entries.size(); ++row) {
    if (plan.Rows[row].Kind == RowKind::Dropped) continue;
    ++plan.EntriesWritten;
    plan.OutOfLineLength += RowOutOfLineLength(plan, row);
  }
  plan.ImageLength = plan.Image.HasImageData ? 1 + plan.Image.TotalBytes : 0;
  plan.ReferencedLength = 0;
  for (const auto& child : plan.Children) plan.ReferencedLength += child->Size();
  for (const Block& block : plan.Blocks) plan.ReferencedLength += block.Length;
  return {};
}

// Values that do not fit in the output's value field go to the out-of-line
// block: their length there, padded to keep the next value on a word
// boundary, or 0.
std::uint64_t PageCopier::RowOutOfLineLength(const DirectoryPlan& plan, std::size_t row) const {
  const RowPlan& rowPlan = plan.Rows[row];
  const Entry& entry = plan.Dir.Entries[row];
  auto outOfLine = [this](std::uint64_t bytes) -> std::uint64_t { return bytes > out_.OffsetBytes() ? bytes : 0; };
  switch (rowPlan.Kind) {
    case RowKind::Dropped:
    case RowKind::JpegStream: return 0;
    case RowKind::ImageOffsets:
    case RowKind::ImageByteCounts: return outOfLine(OutputTypeSize(ImageOffsetsType()) * plan.Image.Offsets.size());
    case RowKind::BlockPointers: return outOfLine(4ull * rowPlan.Targets.size());
    case RowKind::SubDirectories:
      return outOfLine(OutputTypeSize(SubDirectoryType(entry.Type)) * rowPlan.Children.size());
    case RowKind::Plain: break;
  }
  return entry.Unknown ? 0 : AlignUp(outOfLine(entry.Bytes.size()), kWordAlignment);
}

std::uint32_t PageCopier::ImageOffsetsType() const {
  return out_.Big ? field::kLong8 : field::kLong;
}

// Sub-directory offsets keep their type in a classic output (the 64-bit
// ones narrowed) and are IFD8 in a BigTIFF output.
std::uint32_t PageCopier::SubDirectoryType(std::uint32_t type) const {
  if (out_.Big) return field::kIfd8;
  if (type == field::kIfd8) return field::kIfd;
  return type == field::kLong8 ? field::kLong : type;
}

// Into a classic output, 64-bit values become 32-bit ones where every value
// fits, and an unknown type's value field must fit in 4 bytes; a page with
// a value that does not fit is refused rather than cut. Into BigTIFF,
// everything widens when it is written.
std::string PageCopier::FitToOutput(DirectoryPlan& plan) const {
  if (out_.Big || !in_.Big) return {};
  for (std::size_t row = 0; row < plan.Dir.Entries.size(); ++row) {
    if (plan.Rows[row].Kind != RowKind::Plain) continue;
    Entry& entry = plan.Dir.Entries[row];
    const std::string name = "tag " + std::to_string(entry.Tag);
    if (entry.Unknown) {
      if (entry.ValueField > 0xFFFFFFFFull) return name + " has a value field that classic TIFF cannot hold";
      continue;
    }
    if (entry.Type != field::kLong8 && entry.Type != field::kSLong8 && entry.Type != field::kIfd8) continue;
    std::string narrowed;
    narrowed.reserve(entry.Bytes.size() / 2);
    for (std::size_t at = 0; at < entry.Bytes.size(); at += 8) {
      const std::uint64_t value = Decode(entry.Bytes, at, 8);
      const bool fits = entry.Type == field::kSLong8 ? static_cast<std::int64_t>(value) >= INT32_MIN &&
                                                           static_cast<std::int64_t>(value) <= INT32_MAX
                                                     : value <= 0xFFFFFFFFull;
      if (!fits) return name + " holds a 64-bit value that classic TIFF cannot hold";
      codec::AppendUnsigned(narrowed, value, 4, owner_.InputLittleEndian);
    }
    entry.Type = entry.Type == field::kLong8    ? field::kLong
                 : entry.Type == field::kSLong8 ? field::kSLong
                                                : field::kIfd;
    entry.Bytes = std::move(narrowed);
  }
  return {};
}

// Places the image data after its leading byte. A run of pieces that lie
// back to back in the input stays one run, so a page stored contiguously
// stays contiguous; each run begins where readers can use it in place: at
// a multiple of an uncompressed page's sample size (else on a word
// boundary), or, when the run is large enough to be cloned, at
// the same position within a block as in its input, so that its whole
// blocks can be shared. Padding is zero bytes that nothing references.
void PageCopier::PlaceImageData(DirectoryPlan& plan) const {
  ImagePlan& image = plan.Image;
  image.Pads.clear();
  if (!image.HasImageData) return;
  if (image.Transcode) {
    plan.ImageLength = 0;  // written ahead of the directory
    return;
  }
  // Reversed samples differ from their input bytes and cannot be cloned.
  const std::uint64_t block = image.SwapWidth >= 2 ? 0 : session_.CloneBlock;
  image.Pads.assign(image.Offsets.size(), 0);
  std::uint64_t at = plan.EntriesEnd() + plan.OutOfLineLength + 1;  // after the leading byte
  std::uint64_t padding = 0;
  for (std::size_t first = 0, end = 0; first < image.Offsets.size(); first = end) {
    std::uint64_t runLength = 0;
    for (end = first; end < image.Offsets.size(); ++end) {
      if (end > first && image.Offsets[end] != image.Offsets[end - 1] + image.Lengths[end - 1]) break;
      runLength += image.Lengths[end];
    }
    const std::uint64_t pad = block != 0 && runLength >= kCloneMinBytes
                                  ? (image.Offsets[first] % block + block - at % block) % block
                                  : AlignUp(at, image.Alignment) - at;
    image.Pads[first] = pad;
    padding += pad;
    for (std::size_t i = first; i < end; ++i) at += image.Pads[i] + image.Lengths[i];
  }
  if (padding == 0) image.Pads.clear();
  plan.ImageLength = 1 + image.TotalBytes + padding;
}

// Gives the directory, its sub-directories and its blocks their output
// offsets: the directory at `offset`, then its out-of-line block and image
// data, then each sub-directory with everything of its own, then the blocks;
// sub-directories and blocks each begin on their boundary.
void PageCopier::LayOut(DirectoryPlan& plan, std::uint64_t offset) const {
  plan.OutputOffset = offset;
  PlaceImageData(plan);
  std::uint64_t at = plan.EntriesEnd() + plan.OutOfLineLength + plan.ImageLength;
  const std::uint64_t referenced = at;
  for (const auto& child : plan.Children) {
    at = AlignUp(at, out_.DirectoryAlignment());
    LayOut(*child, at);
    at += child->Size();
  }
  for (Block& block : plan.Blocks) {
    block.OutputOffset = AlignUp(at, kWordAlignment);
    at = block.OutputOffset + block.Length;
  }
  plan.ReferencedLength = at - referenced;
}

// Where the next page begins after a laid-out page: on a directory's
// boundary.
std::uint64_t PageCopier::PageEnd(const DirectoryPlan& plan) const {
  return AlignUp(plan.OutputOffset + plan.Size(), out_.DirectoryAlignment());
}

}  // namespace vellox
