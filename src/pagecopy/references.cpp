// Fields whose values are file offsets. Each is rewritten to point at a copy
// of what it references, placed after the directory's image data:
// sub-directories (EXIF, GPS, Interoperability, SubIFDs) are copied whole
// with the same rules as a page; old-style JPEG streams and tables are
// copied once, overlapping ranges as their union; free space is dropped.
#include <algorithm>
#include <optional>

#include "pagecopy/page_copier.hpp"

namespace vellox {
namespace {

enum class PointerKind {
  ImageData,          // strips and tiles, handled with the image data
  FreeSpace,          // unused space: both entries dropped
  SubDirectory,       // one directory per value
  SubDirectoryChain,  // one chain of directories per value
  JpegStream,         // a JPEG interchange stream, length from the partner
  JpegQuantTable,     // 64 bytes per value
  JpegHuffmanTable,   // 16 code counts, then the codes, per value
};

struct PointerTag {
  std::uint32_t Tag;
  PointerKind Kind;
  std::uint32_t LengthTag;  // the entry that gives the byte counts, or 0
};

// Every tag whose value points into the file, with its byte-count partner.
constexpr PointerTag kPointerTags[] = {
    {tag::kStripOffsets, PointerKind::ImageData, tag::kStripByteCounts},
    {tag::kTileOffsets, PointerKind::ImageData, tag::kTileByteCounts},
    {tag::kFreeOffsets, PointerKind::FreeSpace, tag::kFreeByteCounts},
    {tag::kSubIfds, PointerKind::SubDirectoryChain, 0},
    {tag::kJpegInterchangeFormat, PointerKind::JpegStream, tag::kJpegInterchangeFormatLength},
    {tag::kJpegQTables, PointerKind::JpegQuantTable, 0},
    {tag::kJpegDcTables, PointerKind::JpegHuffmanTable, 0},
    {tag::kJpegAcTables, PointerKind::JpegHuffmanTable, 0},
    {tag::kExifIfd, PointerKind::SubDirectory, 0},
    {tag::kGpsIfd, PointerKind::SubDirectory, 0},
    {tag::kInteroperabilityIfd, PointerKind::SubDirectory, 0},
};

const PointerTag* FindPointerTag(std::uint32_t number) {
  for (const PointerTag& pointer : kPointerTags)
    if (pointer.Tag == number) return &pointer;
  return nullptr;
}

// Limits on what one page may pull in through its pointers.
constexpr int kMaxSubDirectoryDepth = 8;
constexpr std::size_t kMaxSubDirectoriesPerPage = 1024;
// Entries of all sub-directories of one page together: as many as one
// directory can hold, so that their tables stay as small as a page's.
constexpr std::uint64_t kMaxSubDirectoryEntriesPerPage = 65535;
constexpr std::uint64_t kQuantTableBytes = 64;
constexpr std::uint64_t kHuffmanCountBytes = 16;

struct Range {
  std::uint64_t Offset = 0;
  std::uint64_t Length = 0;
  std::size_t Row = 0;  // the entry pointing at it, or kImageRow
  std::size_t Element = 0;
};
constexpr std::size_t kImageRow = static_cast<std::size_t>(-1);

bool Overlap(const Range& a, const Range& b) {
  return a.Offset < b.Offset + b.Length && b.Offset < a.Offset + a.Length;
}

bool Holds(std::uint64_t start, std::uint64_t length, std::uint64_t offset) {
  return start <= offset && offset - start < length;
}

// The JPEG header at `offset`: SOI, then marker segments, each skipped by
// its own length, through SOS (the scan data after it are the strips') or
// EOI (a stream of tables only). Its length, or 0 when the bytes there are
// not such a header. `read` throws when a read leaves the file.
template <typename Read>
std::uint64_t JpegHeaderLength(const Read& read, std::uint64_t offset) {
  constexpr int kMaxSegments = 64;  // far more than a header holds
  auto byte = [](const std::string& bytes, std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  std::string bytes = read(offset, 2);
  if (byte(bytes, 0) != 0xFF || byte(bytes, 1) != 0xD8) return 0;
  std::uint64_t at = offset + 2;
  for (int segment = 0; segment < kMaxSegments; ++segment) {
    bytes = read(at, 2);
    const unsigned marker = byte(bytes, 1);
    if (byte(bytes, 0) != 0xFF || marker < 0xC0 || marker == 0xFF || (marker >= 0xD0 && marker <= 0xD8)) return 0;
    if (marker == 0xD9) return at + 2 - offset;  // EOI
    bytes = read(at + 2, 2);
    const std::uint64_t length = byte(bytes, 0) * 256u + byte(bytes, 1);
    if (length < 2) return 0;
    at += 2 + length;
    if (marker == 0xDA) return at - offset;  // SOS
  }
  return 0;
}

}  // namespace

void PageCopier::PlanReferences(DirectoryPlan& plan, int depth) {
  for (std::size_t row = 0; row < plan.Dir.Entries.size(); ++row) {
    const std::uint32_t number = plan.Dir.Entries[row].Tag;
    const PointerTag* pointer = FindPointerTag(number);
    if (number == tag::kFreeByteCounts || (pointer != nullptr && pointer->Kind == PointerKind::FreeSpace)) {
      plan.Rows[row].Kind = RowKind::Dropped;
    } else if (pointer != nullptr &&
               (pointer->Kind == PointerKind::SubDirectory || pointer->Kind == PointerKind::SubDirectoryChain)) {
      PlanSubDirectories(plan, row, depth);
    }
  }
  JpegPlan jpeg = PlanJpegBlocks(plan.Dir, plan.Image);
  for (auto& [row, rowPlan] : jpeg.Rows) plan.Rows[row] = std::move(rowPlan);
  plan.Image = std::move(jpeg.Image);
  plan.Blocks = std::move(jpeg.Blocks);
}

// The offsets held by a pointer entry: LONG, SHORT or IFD values.
std::vector<std::uint64_t> PageCopier::PointerElements(const Entry& entry) {
  const bool known = entry.Type == field::kLong || entry.Type == field::kShort || entry.Type == field::kLong8 ||
                     entry.Type == field::kIfd8 || (entry.Type == field::kIfd && !entry.Unknown);
  if (known) return Values(entry);
  if (entry.Type != field::kIfd) throw PageError("tag " + std::to_string(entry.Tag) + " is not an offset");
  // IFD values are 4 bytes; the reader keeps an unknown type's value field
  // as one number, which is the values' offset when there are several.
  if (entry.Count <= 1) return std::vector<std::uint64_t>(static_cast<std::size_t>(entry.Count), entry.ValueField);
  // These values were not read with the directory: they count against the
  // same bound as the sub-directories' values.
  subDirectoryBytesRead_ += 4ull * entry.Count;
  if (subDirectoryBytesRead_ > input_.Size()) throw PageError("sub-directories repeat too much data");
  const std::string bytes = ReadInput(entry.ValueField, 4ull * entry.Count, "sub-directory offsets");
  std::vector<std::uint64_t> offsets;
  for (std::size_t i = 0; i < entry.Count; ++i) offsets.push_back(Decode(bytes, 4 * i, 4));
  return offsets;
}

void PageCopier::PlanSubDirectories(DirectoryPlan& plan, std::size_t row, int depth) {
  RowPlan& rowPlan = plan.Rows[row];
  rowPlan.Kind = RowKind::Dropped;
  const Entry& entry = plan.Dir.Entries[row];
  const std::string name = "tag " + std::to_string(entry.Tag);
  const bool offsets32 = entry.Type == field::kLong || entry.Type == field::kIfd;
  const bool offsets64 = entry.Type == field::kLong8 || entry.Type == field::kIfd8;
  if (!offsets32 && !offsets64) {
    LeaveOut(name + " left out: its offsets are not LONG or IFD values");
    return;
  }
  std::vector<std::uint64_t> offsets;
  try {
    offsets = PointerElements(entry);
  } catch (const PageError& error) {
    LeaveOut(name + " left out: " + error.what());
    return;
  }
  const bool chains = entry.Tag == tag::kSubIfds;
  std::vector<std::size_t> children;
  for (std::size_t i = 0; i < offsets.size(); ++i) {
    if (subDirectoriesPlanned_ >= kMaxSubDirectoriesPerPage) {
      LeaveOut(name + ": " + std::to_string(offsets.size() - i) + " sub-directories left out: too many");
      break;
    }
    const std::size_t first = plan.Children.size();
    if (PlanChain(plan, offsets[i], chains, depth + 1)) children.push_back(first);
  }
  if (children.empty()) return;  // nothing readable: the entry goes too
  rowPlan.Kind = RowKind::SubDirectories;
  rowPlan.Children = std::move(children);
}

// Plans the sub-directory at `offset` (and, for SubIFDs, the directories
// linked after it) as children of `parent`. A directory that cannot be
// read, loops back, or goes past the limits ends the chain there; false
// when not even the first could be planned.
bool PageCopier::PlanChain(DirectoryPlan& parent, std::uint64_t offset, bool followLinks, int depth) {
  std::set<std::uint64_t> chainSeen;
  std::size_t previous = kNoChild;
  // A link back into the chain ends it, as for pages; anything else that
  // stops a sub-directory from being copied is reported.
  while (offset != 0 && chainSeen.insert(offset).second) {
    auto child = std::make_unique<DirectoryPlan>();
    std::string problem;
    if (depth > kMaxSubDirectoryDepth) {
      problem = "nested too deep";
    } else if (subDirectoriesPlanned_ >= kMaxSubDirectoriesPerPage) {
      problem = "too many sub-directories";
    } else if (std::find(ancestors_.begin(), ancestors_.end(), offset) != ancestors_.end()) {
      problem = "points back at a directory above it";
    } else {
      ancestors_.push_back(offset);
      try {
        PlanSubDirectory(*child, offset, depth);
      } catch (const PageError& error) {
        problem = error.what();
      }
      ancestors_.pop_back();
    }
    if (!problem.empty()) {
      LeaveOut("sub-directory at offset " + std::to_string(offset) + " left out: " + problem);
      break;
    }
    const std::size_t index = parent.Children.size();
    if (previous != kNoChild) parent.NextInChain[previous] = index;
    parent.Children.push_back(std::move(child));
    parent.NextInChain.push_back(kNoChild);
    previous = index;
    if (!followLinks) break;
    offset = parent.Children[index]->Dir.Link;
  }
  return previous != kNoChild;
}

void PageCopier::PlanSubDirectory(DirectoryPlan& child, std::uint64_t offset, int depth) {
  child.Dir = ReadDirectory(offset);
  subDirectoryBytesRead_ += child.Dir.OutOfLineBytes;
  subDirectoryEntries_ += child.Dir.Entries.size();
  if (subDirectoryBytesRead_ > input_.Size() || subDirectoryEntries_ > kMaxSubDirectoryEntriesPerPage)
    throw PageError("sub-directories repeat too much data");
  ++subDirectoriesPlanned_;
  const std::string problem = PlanDirectory(child, depth);
  if (!problem.empty()) throw PageError(problem);
}

void PageCopier::LeaveOut(std::string what) {
  leftOut_.push_back(std::move(what));
}

// Old-style JPEG data: the interchange stream (with its length) and the
// quantisation and Huffman tables are copied once each; ranges that overlap
// (a stream that contains the strips) are copied as their union, and every
// offset is mapped to the same place inside it.
//
// A stream offset without its length has no extent of its own. On a page
// without strips or tiles the stream is copied like a strip (its length
// from the strip byte counts). Otherwise the offset keeps pointing at the
// same byte: inside a strip or tile, or inside a block of JPEG data, it is
// mapped to the same place in the copy. Anywhere else it must point at a
// JPEG header (SOI through SOS, walked by its marker segments), which is
// copied as a block; when a strip or tile begins right where the header
// ends (its scan data), the strips or tiles are copied in blocks after it,
// so a reader that reads on from the header finds them as in the input.
// An offset that points at no header is left out.
JpegPlan PageCopier::PlanJpegBlocks(const Directory& directory, const ImagePlan& pageImage) {
  JpegPlan plan;
  plan.Image = pageImage;
  std::vector<Range> ranges;
  std::optional<std::size_t> bareStream;  // a stream offset without its length, on a page with strips or tiles
  auto inside = [this](std::uint64_t offset, std::uint64_t length) {
    return RangeInside(input_.Size(), offset, length);
  };

  if (const auto stream = directory.Find(tag::kJpegInterchangeFormat)) {
    const auto lengthRow = directory.Find(tag::kJpegInterchangeFormatLength);
    const Entry& streamEntry = directory.Entries[*stream];
    const bool usable =
        (streamEntry.Type == field::kLong || streamEntry.Type == field::kShort) && streamEntry.Count == 1;
    if (!usable) {
      plan.Rows[*stream].Kind = RowKind::Dropped;
      LeaveOut("JPEG stream left out: its offset is not one SHORT or LONG");
    } else if (lengthRow) {
      const std::uint64_t offset = Values(streamEntry).front();
      const auto lengths = Values(directory.Entries[*lengthRow]);
      if (lengths.size() == 1 && inside(offset, lengths.front())) {
        ranges.push_back({offset, lengths.front(), *stream, 0});
      } else {
        plan.Rows[*stream].Kind = RowKind::Dropped;
        plan.Rows[*lengthRow].Kind = RowKind::Dropped;
        LeaveOut("JPEG stream left out: it lies outside the file");
      }
    } else {
      plan.Rows[*stream].Kind = RowKind::JpegStream;
      if (plan.Image.OffsetsRow >= 0) {
        bareStream = *stream;
      } else {
        plan.Rows[*stream].ImagePiece = 0;  // the stream is the page's one piece
        ImagePlan& image = plan.Image;
        image.JpegRow = static_cast<int>(*stream);
        image.Offsets = {Values(streamEntry).front()};
        image.Lengths = {0};
        if (const auto counts = directory.Find(tag::kStripByteCounts)) {
          const auto values = Values(directory.Entries[*counts]);
          if (!values.empty()) image.Lengths = {values.front()};
        }
        if (image.Offsets.front() == 0 || !inside(image.Offsets.front(), image.Lengths.front()))
          throw PageError("JPEG stream lies outside the file");
        image.TotalBytes = image.Lengths.front();
        image.HasImageData = true;
      }
    }
  }

  for (const std::uint32_t tableTag : {tag::kJpegQTables, tag::kJpegDcTables, tag::kJpegAcTables}) {
    const auto row = directory.Find(tableTag);
    if (!row) continue;
    try {
      const Entry& tableEntry = directory.Entries[*row];
      const auto offsets = PointerElements(tableEntry);
      if (tableEntry.Type == field::kIfd) throw PageError("tables are not at IFD offsets");
      std::vector<Range> tables;
      for (std::size_t i = 0; i < offsets.size(); ++i) {
        std::uint64_t length = kQuantTableBytes;
        if (tableTag != tag::kJpegQTables) {
          const std::string counts = ReadInput(offsets[i], kHuffmanCountBytes, "Huffman table");
          length = kHuffmanCountBytes;
          for (const char c : counts) length += static_cast<unsigned char>(c);
        }
        if (!inside(offsets[i], length)) throw PageError("JPEG table lies outside the file");
        tables.push_back({offsets[i], length, *row, i});
      }
      ranges.insert(ranges.end(), tables.begin(), tables.end());
    } catch (const PageError& error) {
      plan.Rows[*row].Kind = RowKind::Dropped;
      LeaveOut("JPEG tables (tag " + std::to_string(tableTag) + ") left out: " + error.what());
    }
  }
  const ImagePlan& image = plan.Image;
  std::uint64_t bareOffset = 0;
  if (bareStream) {
    bareOffset = Values(directory.Entries[*bareStream]).front();
    const bool copied = std::any_of(ranges.begin(), ranges.end(),
                                    [&](const Range& r) { return Holds(r.Offset, r.Length, bareOffset); });
    bool inPiece = false;
    for (std::size_t i = 0; i < image.Offsets.size() && !inPiece; ++i)
      inPiece = Holds(image.Offsets[i], image.Lengths[i], bareOffset);
    if (!copied && !inPiece) {
      std::uint64_t length = 0;
      try {
        length = JpegHeaderLength([this](std::uint64_t at, std::uint64_t n) { return ReadInput(at, n, "JPEG header"); },
                                  bareOffset);
      } catch (const PageError&) {
      }
      if (length != 0 && inside(bareOffset, length)) {
        ranges.push_back({bareOffset, length, *bareStream, 0});
      } else {
        plan.Rows[*bareStream].Kind = RowKind::Dropped;
        LeaveOut("JPEG stream left out: it has no length and points at neither the page's data nor a JPEG header");
        bareStream.reset();
      }
    }
  }
  if (ranges.empty() && !bareStream) return plan;

  // Strips or tiles that overlap the JPEG data are copied inside it, and so
  // are they when one begins where a header found from a stream offset
  // without its length ends: its scan data then follow it as in the input.
  std::vector<Range> pieces;
  for (std::size_t i = 0; i < image.Offsets.size() && image.JpegRow < 0; ++i)
    pieces.push_back({image.Offsets[i], image.Lengths[i], kImageRow, i});
  auto joins = [&bareStream](const Range& piece, const Range& r) {
    return Overlap(piece, r) || (bareStream && r.Row == *bareStream && piece.Offset == r.Offset + r.Length);
  };
  const bool piecesInside = std::any_of(pieces.begin(), pieces.end(), [&](const Range& piece) {
    return std::any_of(ranges.begin(), ranges.end(), [&](const Range& r) { return joins(piece, r); });
  });
  if (piecesInside) ranges.insert(ranges.end(), pieces.begin(), pieces.end());

  std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) {
    return a.Offset != b.Offset ? a.Offset < b.Offset : a.Length > b.Length;
  });
  for (const Range& range : ranges) {
    if (plan.Blocks.empty() || range.Offset >= plan.Blocks.back().InputOffset + plan.Blocks.back().Length) {
      plan.Blocks.push_back({range.Offset, range.Length, 0});
    } else {
      Block& last = plan.Blocks.back();
      last.Length = std::max(last.Length, range.Offset + range.Length - last.InputOffset);
    }
  }
  auto targetOf = [&plan](const Range& range) {
    std::size_t index = plan.Blocks.size() - 1;
    while (plan.Blocks[index].InputOffset > range.Offset) --index;
    return BlockTarget{index, range.Offset - plan.Blocks[index].InputOffset};
  };

  if (piecesInside) {
    plan.Image.InBlocks.assign(image.Offsets.size(), BlockTarget{});
    plan.Image.HasImageData = false;
  }
  for (const Range& range : ranges) {
    if (range.Row == kImageRow) {
      plan.Image.InBlocks[range.Element] = targetOf(range);
      continue;
    }
    RowPlan& rowPlan = plan.Rows[range.Row];
    if (rowPlan.Kind != RowKind::JpegStream) rowPlan.Kind = RowKind::BlockPointers;
    if (rowPlan.Targets.size() <= range.Element) rowPlan.Targets.resize(range.Element + 1);
    rowPlan.Targets[range.Element] = targetOf(range);
  }

  // A stream offset without its length that points into the strips or
  // tiles, or into other JPEG data, goes to the same place in the copy.
  if (!bareStream || !plan.Rows[*bareStream].Targets.empty()) return plan;
  RowPlan& streamPlan = plan.Rows[*bareStream];
  if (image.InBlocks.empty()) {
    for (std::size_t i = 0; i < image.Offsets.size(); ++i) {
      if (!Holds(image.Offsets[i], image.Lengths[i], bareOffset)) continue;
      streamPlan.ImagePiece = i;
      streamPlan.ImageDelta = bareOffset - image.Offsets[i];
      return plan;
    }
  }
  for (std::size_t b = 0; b < plan.Blocks.size(); ++b) {
    if (!Holds(plan.Blocks[b].InputOffset, plan.Blocks[b].Length, bareOffset)) continue;
    streamPlan.Targets = {BlockTarget{b, bareOffset - plan.Blocks[b].InputOffset}};
    return plan;
  }
  throw PageError("internal error: JPEG stream offset not mapped");
}

}  // namespace vellox
