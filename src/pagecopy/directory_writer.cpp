// The writing half of the page copier: writes a planned directory at the
// end of the output, with every offset rewritten for its new place.
//
// Layout of one directory written at offset D with N entries, an
// out-of-line block of L bytes, M bytes of image data and R bytes of
// referenced data:
//   D                   N (2 bytes)
//   D + 2 + 12k         entry k: tag, type, count, value field
//   D + 2 + 12N         link to the next directory (0 at the end of a chain)
//   D + 6 + 12N         CR LF
//   D + 8 + 12N         the out-of-line values, in entry order, back to back
//   D + 8 + 12N + L     the image data: the input byte before the first strip
//                       or tile, then every strip or tile in index order
//   D + 8 + 12N + L + M what the entries point at: sub-directories (each laid
//                       out the same way) in entry order, then blocks of
//                       old-style JPEG data in input order
// The next page begins right after. A page is written whole or not at all:
// a failure cuts the output back to where it began.
#include "codec/endian.hpp"
#include "pagecopy/page_copier.hpp"

namespace vellox {
namespace {

constexpr std::uint64_t kOffsetLimit = 1ull << 32;  // offsets are 32-bit

}  // namespace

void PageCopier::WriteNumber(std::uint64_t value, std::int16_t width, std::int32_t zeros) {
  owner_.EncodeNumber(std::to_string(value), width, false, zeros);
}

// Out-of-line bytes arrive in the input's byte order; each element is
// reversed by its own type's size when the output's order differs.
std::string PageCopier::OutputOrder(std::string bytes, std::uint32_t type) const {
  if (owner_.InputLittleEndian == owner_.OutputLittleEndian) return bytes;
  std::size_t element = TypeSize(type);
  if (type == 5 || type == 10) element = 4;  // RATIONAL halves are LONGs
  codec::ReverseGroups(bytes.data(), bytes.size(), element);
  return bytes;
}

void PageCopier::EmitDirectory() {
  DirectoryPlan plan;
  plan.View = TableView{&owner_.EntryTable, &owner_.ValueTable, EntryCount};
  ancestors_.assign(1, DirectoryOffset);
  subDirectoriesPlanned_ = 0;
  subDirectoryBytesRead_ = 0;
  subDirectoryEntries_ = 0;
  leftOut_.clear();
  const std::string problem = PlanDirectory(plan, 0);
  if (!problem.empty()) {
    // The page cannot be copied without corrupting its pixels: nothing of
    // it is written and the chain goes on with the next directory.
    if (session_.CurrentFile != nullptr) session_.CurrentFile->Skipped.push_back({DirectoriesRead - 1, problem});
    return;
  }

  const auto start = static_cast<std::uint64_t>(owner_.OutputPosition);
  LayOut(plan, start);
  const std::uint64_t end = start + plan.Size();
  if (end >= kOffsetLimit) throw PageError("the output would pass 4 GiB");

  // The link: where the next page begins, unless this is the last page of
  // the last file.
  const bool more = fileIndex_ != fileCount_ || NextDirectoryOffset != 0;
  const std::uint64_t link = more ? end : 0;
  platform::OutputFile& output = session_.Output;
  // An input that fails half-way through the page leaves nothing of it
  // behind; after an output fault the whole output is dropped anyway.
  try {
    WriteDirectory(plan, link, owner_.OutOfLineData);
  } catch (const Failure& failure) {
    if (failure.Source() == FailureSource::Input) output.TruncateTo(start);
    throw;
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception&) {
    output.TruncateTo(start);
    throw;
  }
  if (output.Position() != end) {
    output.TruncateTo(start);
    throw PageError("internal error: page length mismatch");
  }
  owner_.OutputPosition = static_cast<std::int64_t>(end);
  owner_.DirectByteCount = 0;
  session_.PageWritten(end, start + 2 + 12 * plan.EntriesWritten, link);
  if (session_.CurrentFile != nullptr) {
    for (std::string& what : leftOut_) session_.CurrentFile->LeftOut.push_back({DirectoriesRead - 1, std::move(what)});
  }
}

void PageCopier::WriteDirectory(const DirectoryPlan& plan, std::uint64_t link, std::string& outOfLine) {
  platform::OutputFile& output = session_.Output;
  outOfLine.clear();
  WriteNumber(plan.EntriesWritten, 2);
  for (std::size_t row = 0; row < plan.View.Count; ++row) WriteEntry(plan, row, outOfLine);
  WriteNumber(link, 4);
  output.Append("\r\n");
  output.Append(outOfLine);
  CopyImageData(plan.Image);

  for (std::size_t i = 0; i < plan.Children.size(); ++i) {
    const std::size_t next = plan.NextInChain[i];
    const std::uint64_t childLink = next == kNoChild ? 0 : plan.Children[next]->OutputOffset;
    std::string childOutOfLine;
    WriteDirectory(*plan.Children[i], childLink, childOutOfLine);
  }
  for (const Block& block : plan.Blocks) output.AppendFrom(input_, block.InputOffset, block.Length);
}

// Writes a type, a count and rewritten offsets: none gives a zero value
// field, one goes inline, more go to the out-of-line block.
void PageCopier::WriteOffsets(std::uint32_t type, const std::vector<std::uint64_t>& offsets,
                              std::uint64_t outOfLinePosition, std::string& outOfLine) {
  WriteNumber(type, 2);
  WriteNumber(offsets.size(), 4);
  if (offsets.empty()) {
    WriteNumber(0, 4);
  } else if (offsets.size() == 1) {
    WriteNumber(offsets.front(), 4);
  } else {
    WriteNumber(outOfLinePosition, 4);
    for (const std::uint64_t offset : offsets)
      codec::AppendUnsigned(outOfLine, static_cast<std::uint32_t>(offset), 4, owner_.OutputLittleEndian);
  }
}

void PageCopier::WriteEntry(const DirectoryPlan& plan, std::size_t row, std::string& outOfLine) {
  const RowPlan& rowPlan = plan.Rows[row];
  if (rowPlan.Kind == RowKind::Dropped) return;
  const TableView& view = plan.View;
  const std::uint64_t entriesEnd = plan.OutputOffset + 8 + 12 * plan.EntriesWritten;
  const std::uint64_t outOfLinePosition = entriesEnd + outOfLine.size();
  const std::uint64_t firstImageByte = entriesEnd + plan.OutOfLineLength + 1;
  const std::uint32_t type = view.Cell(row, column::kType);
  const std::uint32_t count = view.Cell(row, column::kCount);
  WriteNumber(view.Cell(row, column::kTag), 2);

  std::vector<std::uint64_t> offsets;
  switch (rowPlan.Kind) {
    case RowKind::ImageOffsets:
      // Strips or tiles lie back to back after the leading byte, unless
      // they live inside referenced blocks.
      if (!plan.Image.InBlocks.empty()) {
        for (const BlockTarget& target : plan.Image.InBlocks)
          offsets.push_back(plan.Blocks[target.BlockIndex].OutputOffset + target.Delta);
      } else {
        std::uint64_t at = firstImageByte;
        for (const std::uint32_t length : plan.Image.Lengths) {
          offsets.push_back(at);
          at += length;
        }
      }
      WriteOffsets(field::kLong, offsets, outOfLinePosition, outOfLine);
      return;
    case RowKind::BlockPointers:
      for (const BlockTarget& target : rowPlan.Targets)
        offsets.push_back(plan.Blocks[target.BlockIndex].OutputOffset + target.Delta);
      WriteOffsets(field::kLong, offsets, outOfLinePosition, outOfLine);
      return;
    case RowKind::SubDirectories:
      for (const std::size_t child : rowPlan.Children) offsets.push_back(plan.Children[child]->OutputOffset);
      WriteOffsets(type, offsets, outOfLinePosition, outOfLine);
      return;
    case RowKind::JpegStream: {
      // One offset, inline: a SHORT stays SHORT while the new offset fits.
      const std::uint64_t offset =
          rowPlan.Targets.empty() ? firstImageByte - 1 + rowPlan.ImageDelta
                                  : plan.Blocks[rowPlan.Targets[0].BlockIndex].OutputOffset + rowPlan.Targets[0].Delta;
      const bool asShort = type == field::kShort && offset <= 0xFFFF;
      WriteNumber(asShort ? field::kShort : field::kLong, 2);
      WriteNumber(count, 4);
      WriteNumber(offset, asShort ? 2 : 4, asShort ? 2 : 0);
      return;
    }
    case RowKind::Plain:
    case RowKind::Dropped: break;
  }

  WriteNumber(type, 2);
  WriteNumber(count, 4);
  const std::size_t size = TypeSize(type);
  const std::string& data = view.Text(row, column::kOutOfLine);
  if (data != "0") {
    WriteNumber(outOfLinePosition, 4);
    outOfLine += OutputOrder(data, type);
  } else if (size == 0) {
    // Unknown field types: the value field is carried as one 4-byte number.
    WriteNumber(view.Cell(row, column::kFirstValue), 4);
  } else if (count == 0) {
    WriteNumber(0, 4);
  } else {
    // Inline values, each in its type's size, then zeros to fill 4 bytes.
    const std::uint32_t values = view.Cell(row, column::kInlineCount);
    for (std::uint32_t i = 0; i < values; ++i) {
      const bool last = i + 1 == values;
      const auto zeros = static_cast<std::int32_t>(last ? 4 - values * size : 0);
      WriteNumber(std::stoul((*view.Values)[row][i]), static_cast<std::int16_t>(size), zeros);
    }
  }
}

}  // namespace vellox
