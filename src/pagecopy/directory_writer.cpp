// The writing half of the page copier: writes the directory read last at
// the end of the output, with every offset rewritten for its new place.
//
// Layout of one directory written at offset D with N entries, an
// out-of-line block of L bytes and M bytes of image data:
//   D               N (2 bytes)
//   D + 2 + 12k     entry k: tag, type, count, value field
//   D + 2 + 12N     link to the next directory (0 at the end of the chain)
//   D + 6 + 12N     CR LF
//   D + 8 + 12N     the out-of-line values, in entry order, back to back
//   D + 8 + 12N + L the image data: the input byte before the first strip or
//                   tile, then every strip or tile in index order
// The next directory begins right after the image data. A directory is
// written whole or not at all: a failure cuts the output back to D.
#include "codec/endian.hpp"
#include "pagecopy/page_copier.hpp"

namespace vellox {
namespace {

constexpr std::uint64_t kOffsetLimit = 1ull << 32;  // offsets are 32-bit

}  // namespace

bool PageCopier::IsRelocatedOffsets(std::size_t k, const ImagePlan& plan) const {
  return static_cast<int>(k) == plan.OffsetsRow;
}

void PageCopier::WriteNumber(std::uint64_t value, std::int16_t width, std::int32_t zeros) {
  owner_.EncodeNumber(std::to_string(value), width, false, zeros);
}

// Length of entry k's values in the out-of-line block. Relocated strip or
// tile offsets are always written as LONG, so two or more of them go
// out-of-line, 4 bytes each.
std::uint64_t PageCopier::OutOfLineLength(std::size_t k, const ImagePlan& plan) const {
  if (IsRelocatedOffsets(k, plan)) return plan.Offsets.size() >= 2 ? 4ull * plan.Offsets.size() : 0;
  const std::string& data = owner_.EntryTable[k][column::kOutOfLine];
  return data == "0" ? 0 : data.size();
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
  const std::uint64_t n = EntryCount;
  const auto directory = static_cast<std::uint64_t>(owner_.OutputPosition);
  ImagePlan plan = PlanImageData();

  const std::string problem = SampleOrderProblem(plan);
  if (!problem.empty()) {
    // The page cannot be copied without corrupting its pixels: nothing of
    // it is written and the chain goes on with the next directory.
    if (owner_.CurrentFile != nullptr) owner_.CurrentFile->Skipped.push_back({DirectoriesRead - 1, problem});
    return;
  }

  std::uint64_t outOfLineTotal = 0;
  for (std::size_t k = 0; k < n; ++k) outOfLineTotal += OutOfLineLength(k, plan);
  const std::uint64_t imageStart = directory + 8 + 12 * n + outOfLineTotal;
  const std::uint64_t imageLength = plan.HasImageData ? 1 + plan.TotalBytes : 0;
  const std::uint64_t end = imageStart + imageLength;
  if (end >= kOffsetLimit) throw PageError("the output would pass 4 GiB");

  platform::OutputFile& output = *owner_.Output;
  try {
    WriteNumber(n, 2);
    std::uint64_t outOfLineWritten = 0;
    for (std::size_t k = 0; k < n; ++k) WriteEntry(k, plan, directory, imageStart + 1, outOfLineWritten);

    // The link: where the next directory begins, unless this is the last
    // directory of the last file.
    const bool more = fileIndex_ != fileCount_ || NextDirectoryOffset != 0;
    const std::uint64_t link = more ? end : 0;
    WriteNumber(link, 4);
    output.Append("\r\n");
    output.Append(owner_.OutOfLineData);
    CopyImageData(plan);

    owner_.LastLinkPosition = static_cast<std::int64_t>(directory + 2 + 12 * n);
    owner_.LastLinkValue = static_cast<std::uint32_t>(link);
  } catch (...) {
    output.TruncateTo(directory);
    throw;
  }
  if (output.Position() != end) throw PageError("internal error: directory length mismatch");
  owner_.OutputPosition = static_cast<std::int64_t>(end);
  owner_.DirectByteCount = 0;
  owner_.LastReport.PagesWritten += 1;
  owner_.LastReport.BytesWritten = end;
  if (owner_.CurrentFile != nullptr) owner_.CurrentFile->Pages += 1;
}

void PageCopier::WriteEntry(std::size_t k, const ImagePlan& plan, std::uint64_t directory, std::uint64_t firstImageByte,
                            std::uint64_t& outOfLineWritten) {
  const std::vector<std::string>& cells = owner_.EntryTable[k];
  const std::uint64_t n = EntryCount;
  const std::uint32_t type = Cell(k, column::kType);
  const std::uint32_t count = Cell(k, column::kCount);
  const std::uint64_t outOfLinePosition = directory + 8 + 12 * n + outOfLineWritten;
  WriteNumber(Cell(k, column::kTag), 2);

  if (IsRelocatedOffsets(k, plan)) {
    // New offsets of the strips or tiles, back to back after the leading
    // byte of the image data; always LONG.
    WriteNumber(field::kLong, 2);
    WriteNumber(count, 4);
    std::string offsets;
    std::uint64_t at = firstImageByte;
    for (const std::uint32_t length : plan.Lengths) {
      codec::AppendUnsigned(offsets, static_cast<std::uint32_t>(at), 4, owner_.OutputLittleEndian);
      at += length;
    }
    if (count == 0) {
      WriteNumber(0, 4);
    } else if (count == 1) {
      WriteNumber(firstImageByte, 4);
    } else {
      WriteNumber(outOfLinePosition, 4);
      owner_.OutOfLineData += offsets;
      outOfLineWritten += offsets.size();
    }
    return;
  }

  WriteNumber(type, 2);
  WriteNumber(count, 4);
  const std::size_t size = TypeSize(type);
  if (static_cast<int>(k) == plan.JpegRow) {
    WriteNumber(firstImageByte, 4);
  } else if (cells[column::kOutOfLine] != "0") {
    owner_.OutOfLineData += OutputOrder(cells[column::kOutOfLine], type);
    WriteNumber(outOfLinePosition, 4);
    outOfLineWritten += cells[column::kOutOfLine].size();
  } else if (size == 0) {
    // Unknown field types: the value field is carried as one 4-byte number.
    WriteNumber(Cell(k, column::kFirstValue), 4);
  } else if (count == 0) {
    WriteNumber(0, 4);
  } else {
    // Inline values, each in its type's size, then zeros to fill 4 bytes.
    const std::uint32_t values = Cell(k, column::kInlineCount);
    for (std::uint32_t i = 0; i < values; ++i) {
      const bool last = i + 1 == values;
      const auto zeros = static_cast<std::int32_t>(last ? 4 - values * size : 0);
      WriteNumber(std::stoul(owner_.ValueTable[k][i]), static_cast<std::int16_t>(size), zeros);
    }
  }
}

}  // namespace vellox
