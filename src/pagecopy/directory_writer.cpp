// The writing half of the page copier: writes a planned directory at the
// end of the output, with every offset rewritten for its new place.
//
// Layout of one directory written at offset D with N entries, an
// out-of-line block of L bytes, M bytes of image data and R bytes of
// referenced data (classic TIFF; BigTIFF's counts and offsets are wider):
//   D                   N (2 bytes)
//   D + 2 + 12k         entry k: tag, type, count, value field
//   D + 2 + 12N         link to the next directory (0 at the end of a chain)
//   D + 6 + 12N         CR LF
//   D + 8 + 12N         the out-of-line values, in entry order, each on a
//                       word boundary (a zero byte after one of odd length)
//   D + 8 + 12N + L     the image data: the input byte before the first strip
//                       or tile, then every strip or tile in index order,
//                       each run of them that lies back to back in the input
//                       placed on its boundary (see PlaceImageData)
//   D + 8 + 12N + L + M what the entries point at: sub-directories (each laid
//                       out the same way, on a directory's boundary) in entry
//                       order, then blocks of old-style JPEG data in input
//                       order, each on a word boundary
// The next page begins right after, on a directory's boundary. Every gap is
// zero bytes that nothing references. A page is written whole or not at
// all: a failure cuts the output back to where it began.
#include <algorithm>

#include "codec/endian.hpp"
#include "pagecopy/page_copier.hpp"

namespace vellox {
namespace {

constexpr std::uint64_t kOffsetLimit = 1ull << 32;  // offsets are 32-bit

// Transcoded image data, appended to the output as it is encoded.
class OutputSink : public transcode::ByteSink {
 public:
  explicit OutputSink(platform::OutputFile& output) : output_(output) {}
  void Write(const char* from, std::size_t length) override { output_.Append(std::string_view(from, length)); }

 private:
  platform::OutputFile& output_;
};

// What a transcoded page says of itself in the report.
std::string TranscodedNote(const transcode::PieceFormat& format) {
  return "its " + std::to_string(format.SampleBytes * 8) + "-bit samples (compression " +
         std::to_string(format.Compression) + ", predictor " + std::to_string(format.Predictor) +
         ") were decoded and encoded again in the output's byte order";
}

}  // namespace

// The one encoder of the writer: `width` bytes of `value` in the output's
// byte order.
void PageCopier::Put(std::string& out, std::uint64_t value, std::size_t width) const {
  codec::AppendUnsigned(out, value, width, owner_.OutputLittleEndian);
}

// Values arrive in the input's byte order; each element is reversed by its
// own type's size when the output's order differs. An IPTC-NAA block is a
// byte stream whatever type its writer declared (often LONG): its bytes
// stay as they are.
std::string PageCopier::OutputOrder(const Entry& entry) const {
  std::string bytes = entry.Bytes;
  if (owner_.InputLittleEndian == owner_.OutputLittleEndian || entry.Tag == tag::kIptc) return bytes;
  std::size_t element = OutputTypeSize(entry.Type);
  if (entry.Type == 5 || entry.Type == 10) element = 4;  // RATIONAL halves are LONGs
  codec::ReverseGroups(bytes.data(), bytes.size(), element);
  return bytes;
}

// Zero bytes up to `offset`, where the next part of the page was laid out.
void PageCopier::PadTo(std::uint64_t offset) {
  platform::OutputFile& output = session_.Output;
  if (output.Position() > offset) throw PageError("internal error: page parts overlap");
  output.Append(std::string(static_cast<std::size_t>(offset - output.Position()), '\0'));
}

void PageCopier::EmitDirectory() {
  DirectoryPlan plan;
  plan.Dir = std::move(page_);
  ancestors_.assign(1, plan.Dir.Offset);
  BeginPage();
  std::string problem = PlanDirectory(plan, 0);
  const auto start = static_cast<std::uint64_t>(owner_.OutputPosition);
  platform::OutputFile& output = session_.Output;
  // Transcoded image data goes ahead of its directory, as its length is
  // known only once it is encoded; data that does not decode costs the page.
  std::uint64_t directoryAt = start;
  if (problem.empty() && plan.Image.Transcode) {
    try {
      OutputSink sink(output);
      directoryAt = TranscodeImage(plan.Dir, plan.Image, start, sink);
    } catch (const transcode::TranscodeError& error) {
      output.TruncateTo(start);
      problem = error.what();
    } catch (...) {
      output.TruncateTo(start);
      throw;
    }
  }
  if (problem.empty()) {
    LayOut(plan, directoryAt);
    problem = OffsetLimitProblem(plan);
  }
  if (!problem.empty()) {
    // The page cannot be copied without corrupting its pixels: nothing of
    // it is written and the chain goes on with the next directory.
    output.TruncateTo(start);
    if (session_.CurrentFile != nullptr) session_.CurrentFile->Skipped.push_back({pageNumber_, problem});
    return;
  }

  const std::uint64_t end = PageEnd(plan);
  if (!out_.Big && end >= kOffsetLimit) {
    output.TruncateTo(start);
    throw PageError("the output would pass 4 GiB");
  }

  // The link: where the next page begins, unless this is the last page of
  // the last file.
  const bool more = fileIndex_ != fileCount_ || NextDirectoryOffset != 0;
  const std::uint64_t link = more ? end : 0;
  // An input that fails half-way through the page leaves nothing of it
  // behind; after an output fault the whole output is dropped anyway.
  try {
    WriteDirectory(plan, link, owner_.OutOfLineData);
    PadTo(end);
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
  if (directoryAt != start) session_.LinkTo(directoryAt);
  session_.PageWritten(end, directoryAt + out_.EntryCountBytes() + plan.EntryBytes * plan.EntriesWritten, link);
  if (session_.CurrentFile != nullptr) {
    if (plan.Image.Transcode)
      session_.CurrentFile->Transcoded.push_back({pageNumber_, TranscodedNote(*plan.Image.Transcode)});
    for (std::string& what : leftOut_) session_.CurrentFile->LeftOut.push_back({pageNumber_, std::move(what)});
  }
}

// In a BigTIFF output, old-style JPEG offsets stay LONG: a page (or
// sub-directory) whose JPEG data would land beyond 4 GiB cannot be written.
bool PageCopier::ReachesPast4GiB(const DirectoryPlan& plan) const {
  const bool pointsIntoData = std::any_of(plan.Rows.begin(), plan.Rows.end(), [](const RowPlan& row) {
    return row.Kind == RowKind::BlockPointers || row.Kind == RowKind::JpegStream;
  });
  if (pointsIntoData && plan.OutputOffset + plan.Size() > kOffsetLimit) return true;
  return std::any_of(plan.Children.begin(), plan.Children.end(),
                     [this](const auto& child) { return ReachesPast4GiB(*child); });
}

std::string PageCopier::OffsetLimitProblem(const DirectoryPlan& plan) const {
  if (out_.Big && ReachesPast4GiB(plan))
    return "its old-style JPEG offsets are LONG and would have to point beyond 4 GiB";
  return {};
}

void PageCopier::WriteDirectory(const DirectoryPlan& plan, std::uint64_t link, std::string& outOfLine) {
  platform::OutputFile& output = session_.Output;
  outOfLine.clear();
  std::string entries;
  entries.reserve(static_cast<std::size_t>(plan.FixedBytes + plan.EntryBytes * plan.EntriesWritten));
  Put(entries, plan.EntriesWritten, out_.EntryCountBytes());
  for (std::size_t row = 0; row < plan.Dir.Entries.size(); ++row) WriteEntry(plan, row, entries, outOfLine);
  Put(entries, link, out_.OffsetBytes());
  entries += "\r\n";
  output.Append(entries);
  output.Append(outOfLine);
  CopyImageData(plan.Image);

  for (std::size_t i = 0; i < plan.Children.size(); ++i) {
    const std::size_t next = plan.NextInChain[i];
    const std::uint64_t childLink = next == kNoChild ? 0 : plan.Children[next]->OutputOffset;
    std::string childOutOfLine;
    PadTo(plan.Children[i]->OutputOffset);
    WriteDirectory(*plan.Children[i], childLink, childOutOfLine);
  }
  for (const Block& block : plan.Blocks) {
    PadTo(block.OutputOffset);
    output.AppendFrom(input_, block.InputOffset, block.Length);
  }
}

// Writes a tag, a type, a count and rewritten offsets in that type's size:
// inline when they fit in the value field (zeros after them), else in the
// out-of-line block.
void PageCopier::WriteOffsets(const Entry& entry, std::uint32_t type, const std::vector<std::uint64_t>& offsets,
                              std::uint64_t outOfLinePosition, std::string& entries, std::string& outOfLine) const {
  const std::size_t field = out_.OffsetBytes();
  const std::size_t width = OutputTypeSize(type);
  Put(entries, entry.Tag, 2);
  Put(entries, type, 2);
  Put(entries, offsets.size(), field);
  std::string& values = width * offsets.size() > field ? outOfLine : entries;
  if (&values == &outOfLine) Put(entries, outOfLinePosition, field);
  const std::size_t before = values.size();
  for (const std::uint64_t offset : offsets) Put(values, offset, width);
  if (&values == &entries) entries.append(field - (entries.size() - before), '\0');
}

void PageCopier::WriteEntry(const DirectoryPlan& plan, std::size_t row, std::string& entries,
                            std::string& outOfLine) const {
  const RowPlan& rowPlan = plan.Rows[row];
  if (rowPlan.Kind == RowKind::Dropped) return;
  const Entry& entry = plan.Dir.Entries[row];
  const std::uint64_t entriesEnd = plan.EntriesEnd();
  const std::size_t field = out_.OffsetBytes();
  const std::uint64_t outOfLinePosition = entriesEnd + outOfLine.size();

  std::vector<std::uint64_t> offsets;
  switch (rowPlan.Kind) {
    case RowKind::ImageOffsets:
      // Strips or tiles follow the leading byte, unless they live inside
      // referenced blocks.
      if (!plan.Image.InBlocks.empty()) {
        for (const BlockTarget& target : plan.Image.InBlocks)
          offsets.push_back(plan.Blocks[target.BlockIndex].OutputOffset + target.Delta);
      } else {
        offsets = ImagePieceOffsets(plan);
      }
      WriteOffsets(entry, ImageOffsetsType(), offsets, outOfLinePosition, entries, outOfLine);
      return;
    case RowKind::ImageByteCounts:
      WriteOffsets(entry, ImageOffsetsType(), plan.Image.Lengths, outOfLinePosition, entries, outOfLine);
      return;
    case RowKind::BlockPointers:
      for (const BlockTarget& target : rowPlan.Targets)
        offsets.push_back(plan.Blocks[target.BlockIndex].OutputOffset + target.Delta);
      WriteOffsets(entry, field::kLong, offsets, outOfLinePosition, entries, outOfLine);
      return;
    case RowKind::SubDirectories:
      for (const std::size_t child : rowPlan.Children) offsets.push_back(plan.Children[child]->OutputOffset);
      WriteOffsets(entry, SubDirectoryType(entry.Type), offsets, outOfLinePosition, entries, outOfLine);
      return;
    case RowKind::JpegStream: {
      // One offset, inline: a SHORT stays SHORT while the new offset fits.
      const std::uint64_t offset =
          rowPlan.Targets.empty() ? ImagePieceOffsets(plan).at(rowPlan.ImagePiece) + rowPlan.ImageDelta
                                  : plan.Blocks[rowPlan.Targets[0].BlockIndex].OutputOffset + rowPlan.Targets[0].Delta;
      const bool asShort = entry.Type == field::kShort && offset <= 0xFFFF;
      Put(entries, entry.Tag, 2);
      Put(entries, asShort ? field::kShort : field::kLong, 2);
      Put(entries, entry.Count, field);
      Put(entries, offset, asShort ? 2 : 4);
      entries.append(field - (asShort ? 2 : 4), '\0');
      return;
    }
    case RowKind::Plain:
    case RowKind::Dropped: break;
  }

  Put(entries, entry.Tag, 2);
  Put(entries, entry.Type, 2);
  Put(entries, entry.Count, field);
  if (entry.Unknown) {
    // Unknown field types: the value field is carried as one number.
    Put(entries, entry.ValueField, field);
  } else if (entry.Bytes.size() > field) {
    Put(entries, outOfLinePosition, field);
    outOfLine += OutputOrder(entry);
    if (outOfLine.size() % kWordAlignment != 0) outOfLine += '\0';  // the next value on a word boundary
  } else {
    // Inline values, each in its type's size, then zeros to fill the field.
    entries += OutputOrder(entry);
    entries.append(field - entry.Bytes.size(), '\0');
  }
}

}  // namespace vellox
