// Planning a directory's output before any of it is written: what each
// entry becomes, how long the out-of-line block, the image data and the
// referenced data are, and where every part lands. Planning reads and
// checks everything the directory needs, so writing cannot meet bad input
// half-way through.
#include "pagecopy/page_copier.hpp"

namespace vellox {

std::string PageCopier::PlanDirectory(DirectoryPlan& plan, int depth) {
  const Directory& directory = plan.Dir;
  plan.Rows.assign(directory.Entries.size(), RowPlan{});
  plan.Image = PlanImageData(directory);
  if (plan.Image.OffsetsRow >= 0)
    plan.Rows[static_cast<std::size_t>(plan.Image.OffsetsRow)].Kind = RowKind::ImageOffsets;
  const SampleOrder order = PlanSampleOrder(directory, plan.Image);
  if (!order.Problem.empty()) return order.Problem;
  plan.Image.SwapWidth = order.SwapWidth;
  PlanReferences(plan, depth);
  if (!plan.Image.InBlocks.empty() && plan.Image.SwapWidth >= 2)
    return "its samples lie inside a JPEG stream and cannot be converted to the output's byte order";

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

// Length of an entry's values in the out-of-line block. Rewritten offsets
// are always 4 bytes each, so two or more of them go out-of-line.
std::uint64_t PageCopier::RowOutOfLineLength(const DirectoryPlan& plan, std::size_t row) const {
  const RowPlan& rowPlan = plan.Rows[row];
  auto offsetsLength = [](std::size_t count) -> std::uint64_t { return count >= 2 ? 4ull * count : 0; };
  switch (rowPlan.Kind) {
    case RowKind::Dropped: return 0;
    case RowKind::ImageOffsets: return offsetsLength(plan.Image.Offsets.size());
    case RowKind::BlockPointers: return offsetsLength(rowPlan.Targets.size());
    case RowKind::SubDirectories: return offsetsLength(rowPlan.Children.size());
    case RowKind::Plain:
    case RowKind::JpegStream: break;
  }
  const Entry& entry = plan.Dir.Entries[row];
  return entry.OutOfLine ? entry.Bytes.size() : 0;
}

// Gives the directory, its sub-directories and its blocks their output
// offsets: the directory at `offset`, then its out-of-line block and image
// data, then each sub-directory with everything of its own, then the blocks.
void PageCopier::LayOut(DirectoryPlan& plan, std::uint64_t offset) const {
  plan.OutputOffset = offset;
  std::uint64_t at = offset + 8 + 12 * plan.EntriesWritten + plan.OutOfLineLength + plan.ImageLength;
  for (const auto& child : plan.Children) {
    LayOut(*child, at);
    at += child->Size();
  }
  for (Block& block : plan.Blocks) {
    block.OutputOffset = at;
    at += block.Length;
  }
}

}  // namespace vellox
