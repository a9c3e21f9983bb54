// The page copier: copies every directory (page) of one input file, with
// its values, image data and everything its entries point at, to the end
// of the output.
//
// directory_reader.cpp  walks the input's chain of directories and reads
//                       each once into typed entries;
// directory_plan.cpp    works out, before anything is written, what a
//                       directory will look like in the output and where
//                       each of its parts goes;
// directory_writer.cpp  writes a planned directory;
// image_data.cpp        finds, checks and copies strips and tiles;
// references.cpp        the fields that point into the file: sub-directories
//                       (EXIF, GPS, Interoperability, SubIFDs), old-style JPEG
//                       streams and tables, free space.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "merge/merge_session.hpp"
#include "merge/merger.hpp"
#include "platform/files.hpp"
#include "platform/range.hpp"
#include "transcode/transcode.hpp"

namespace vellox {

// Input that cannot be copied: ends the file (or drops the sub-directory)
// with the per-file result -1.
class PageError : public InputFault {
 public:
  using InputFault::InputFault;
};

// Tags the page copier treats specially.
namespace tag {
inline constexpr std::uint32_t kImageWidth = 256;
inline constexpr std::uint32_t kImageLength = 257;
inline constexpr std::uint32_t kBitsPerSample = 258;
inline constexpr std::uint32_t kCompression = 259;
inline constexpr std::uint32_t kSamplesPerPixel = 277;
inline constexpr std::uint32_t kRowsPerStrip = 278;
inline constexpr std::uint32_t kPlanarConfiguration = 284;
inline constexpr std::uint32_t kPredictor = 317;
inline constexpr std::uint32_t kTileWidth = 322;
inline constexpr std::uint32_t kTileLength = 323;
inline constexpr std::uint32_t kStripOffsets = 273;
inline constexpr std::uint32_t kStripByteCounts = 279;
inline constexpr std::uint32_t kFreeOffsets = 288;
inline constexpr std::uint32_t kFreeByteCounts = 289;
inline constexpr std::uint32_t kTileOffsets = 324;
inline constexpr std::uint32_t kTileByteCounts = 325;
inline constexpr std::uint32_t kSubIfds = 330;
inline constexpr std::uint32_t kSampleFormat = 339;
inline constexpr std::uint32_t kJpegInterchangeFormat = 513;
inline constexpr std::uint32_t kJpegInterchangeFormatLength = 514;
inline constexpr std::uint32_t kJpegQTables = 519;
inline constexpr std::uint32_t kJpegDcTables = 520;
inline constexpr std::uint32_t kJpegAcTables = 521;
inline constexpr std::uint32_t kExifIfd = 34665;
inline constexpr std::uint32_t kGpsIfd = 34853;
inline constexpr std::uint32_t kInteroperabilityIfd = 40965;
inline constexpr std::uint32_t kIptc = 33723;
}  // namespace tag

// Field types by number.
namespace field {
inline constexpr std::uint32_t kByte = 1, kShort = 3, kLong = 4, kRational = 5, kSByte = 6, kSShort = 8, kSLong = 9,
                               kSRational = 10, kIfd = 13;
}

// One directory entry as read, parsed once: what planning and writing work
// from.
struct Entry {
  std::uint32_t Tag = 0;
  std::uint32_t Type = 0;
  std::uint64_t Count = 0;
  std::uint64_t ValueField = 0;  // the value field as one number: the values' offset when out of line
  bool OutOfLine = false;        // a known type whose values do not fit in the value field
  bool Unknown = false;          // a field type this copier does not know: carried as ValueField
  // The values' bytes in the input's byte order: the out-of-line data, or
  // the used part of the value field. Empty for an unknown type, whose
  // value field is carried as the number ValueField.
  std::string Bytes;
};

// A directory as read: its entries in file order and its link.
struct Directory {
  std::uint64_t Offset = 0;
  std::vector<Entry> Entries;
  std::uint64_t Link = 0;
  std::uint64_t OutOfLineBytes = 0;  // bytes of all its out-of-line values together

  // The row of the first entry with tag `number`.
  std::optional<std::size_t> Find(std::uint32_t number) const {
    for (std::size_t row = 0; row < Entries.size(); ++row)
      if (Entries[row].Tag == number) return row;
    return std::nullopt;
  }
};

// A range of input bytes copied once into the output's referenced data;
// several pointers may point into it.
struct Block {
  std::uint64_t InputOffset = 0;
  std::uint64_t Length = 0;
  std::uint64_t OutputOffset = 0;  // set when the directory is laid out
};

// A pointer into one of a directory's blocks.
struct BlockTarget {
  std::size_t BlockIndex = 0;
  std::uint64_t Delta = 0;
};

// Where a directory's image data comes from and how it is copied.
struct ImagePlan {
  int OffsetsRow = -1;  // row of StripOffsets / TileOffsets, -1 when none
  int CountsRow = -1;   // row of their byte counts
  int JpegRow = -1;     // JPEGInterchangeFormat without a length, no strips or tiles: copied like a strip
  std::vector<std::uint64_t> Offsets;
  std::vector<std::uint64_t> Lengths;
  std::uint64_t TotalBytes = 0;              // sum of Lengths
  bool HasImageData = false;                 // a leading byte and the pieces follow
  std::size_t SwapWidth = 0;                 // bytes per swapped sample part; 0: copy as is
  std::vector<BlockTarget> InBlocks;         // set when the pieces live inside referenced blocks
  std::uint64_t Alignment = kWordAlignment;  // where a piece that follows no other in the input begins
  std::vector<std::uint64_t> Pads;           // zero bytes before each piece; empty: none
  // Pieces decoded and encoded again in the output's byte order: how each
  // is stored (its Rows those of a full piece), and once written, where.
  std::optional<transcode::PieceFormat> Transcode;
  std::vector<std::uint64_t> WrittenOffsets;
};

// Whether a page's samples must be reversed for the output's byte order.
struct SampleOrder {
  std::size_t SwapWidth = 0;                        // bytes per swapped sample part; 0: copy as is
  std::optional<transcode::PieceFormat> Transcode;  // compressed samples re-encoded in the output's byte order
  std::string Problem;                              // why the page cannot be copied faithfully, or empty
};

enum class RowKind {
  Plain,            // copied as read; out-of-line values relocated
  ImageOffsets,     // strip or tile offsets: rewritten as LONG
  ImageByteCounts,  // their byte counts, when transcoding changed them: rewritten as LONG
  JpegStream,       // JPEGInterchangeFormat without a length: mapped into the copied data, SHORT kept if it fits
  BlockPointers,    // offsets into referenced blocks: rewritten as LONG
  SubDirectories,   // offsets of sub-directories: rewritten, type kept
  Dropped,          // not written at all
};

struct RowPlan {
  RowKind Kind = RowKind::Plain;
  std::vector<BlockTarget> Targets;   // BlockPointers; JpegStream: its block, when it points into one
  std::size_t ImagePiece = 0;         // JpegStream without Targets: the strip or tile it points into
  std::uint64_t ImageDelta = 0;       // and its place from that piece's start
  std::vector<std::size_t> Children;  // SubDirectories: first directory of each element
};

// What the old-style JPEG fields of a page become: the rows they decide,
// the page's image data as it is then copied, and the blocks of JPEG data.
struct JpegPlan {
  std::map<std::size_t, RowPlan> Rows;
  ImagePlan Image;
  std::vector<Block> Blocks;
};

// A directory as it will be written: what each entry becomes, its image
// data and the sub-directories and blocks placed after it.
struct DirectoryPlan {
  Directory Dir;
  ImagePlan Image;
  std::vector<RowPlan> Rows;
  std::vector<std::unique_ptr<DirectoryPlan>> Children;  // in output order
  std::vector<std::size_t> NextInChain;                  // per child: index of the next, or none
  std::vector<Block> Blocks;                             // after the children, in input order

  std::uint64_t FixedBytes = 8;   // entry count, link and CR LF in the output's format
  std::uint64_t EntryBytes = 12;  // one entry in the output's format
  std::uint64_t EntriesWritten = 0;
  std::uint64_t OutOfLineLength = 0;
  std::uint64_t ImageLength = 0;
  std::uint64_t ReferencedLength = 0;
  std::uint64_t OutputOffset = 0;

  // Where the out-of-line block begins, once laid out.
  std::uint64_t EntriesEnd() const { return OutputOffset + FixedBytes + EntryBytes * EntriesWritten; }
  std::uint64_t Size() const {
    return FixedBytes + EntryBytes * EntriesWritten + OutOfLineLength + ImageLength + ReferencedLength;
  }
};

inline constexpr std::size_t kNoChild = static_cast<std::size_t>(-1);

class PageCopier {
 public:
  // Copies the pages of `input`, which the driver has opened and found to
  // be a TIFF file of at least a header's length.
  PageCopier(Merger& owner, MergeSession& session, const platform::InputFile& input, std::int32_t fileCount,
             std::int32_t fileIndex);
  std::int32_t Run();
  // Bytes the input's pages would take in the output, without writing.
  // Where the input's pages would end in an output whose next page begins
  // at `start`, without writing; UINT64_MAX when a page holds a value the
  // output's format cannot hold.
  std::uint64_t Measure(std::uint64_t start);
  // Bytes of image data that an output in the other byte order would transcode.
  std::uint64_t BytesToTranscode();
  // The directories of the input's page chain (see Merger::IndexPages).
  PageList ListPages(std::string& end);
  // Describes every page of the input and plans it as a merge into the
  // input's own format and byte order, and into the other byte order,
  // would, without writing or decoding (page_survey.cpp). Fills `info`'s
  // pages; a chain that ends other than with a link of 0 makes it Damaged.
  void Describe(FileInfo& info);

 private:
  // Reading (directory_reader.cpp).
  void ReadHead();
  void ReadNextPage();
  Directory ReadDirectory(std::uint64_t offset);
  Entry ReadEntry(std::string_view bytes, std::uint64_t& outOfLineTotal);
  void FillTables(const Directory& directory);
  // Reads `length` bytes at `offset`, checked against the input's length;
  // `around`: a small read fetches the bytes around it too (Nearby).
  std::string ReadInput(std::uint64_t offset, std::uint64_t length, const char* what, bool around = true) const;
  std::optional<std::string_view> Nearby(std::uint64_t offset, std::uint64_t length) const;
  std::uint64_t Decode(std::string_view bytes, std::size_t at, std::size_t width) const;

  // Planning (directory_plan.cpp).
  void BeginPage();
  std::string PlanDirectory(DirectoryPlan& plan, int depth);
  std::string FitToOutput(DirectoryPlan& plan) const;
  std::uint32_t ImageOffsetsType() const;
  std::uint32_t SubDirectoryType(std::uint32_t type) const;
  bool ReachesPast4GiB(const DirectoryPlan& plan) const;
  std::uint64_t RowOutOfLineLength(const DirectoryPlan& plan, std::size_t row) const;
  void LayOut(DirectoryPlan& plan, std::uint64_t offset) const;
  void PlaceImageData(DirectoryPlan& plan) const;
  std::uint64_t PageEnd(const DirectoryPlan& plan) const;

  // Surveying (page_survey.cpp).
  PageInfo DescribePage(const Directory& directory) const;
  std::optional<std::uint64_t> FirstValue(const Directory& directory, std::uint32_t number) const;
  std::uint64_t ValueSum(const Entry& entry) const;
  void PlanInOtherOrder(PageInfo& page);
  std::string PlanAsMerged(PageInfo& page, std::uint64_t& at);

  // Writing (directory_writer.cpp).
  // Why a laid-out page cannot be written where it was laid out, or "".
  std::string OffsetLimitProblem(const DirectoryPlan& plan) const;
  void EmitDirectory();
  void WriteDirectory(const DirectoryPlan& plan, std::uint64_t link, std::string& outOfLine);
  void WriteEntry(const DirectoryPlan& plan, std::size_t row, std::string& entries, std::string& outOfLine) const;
  void WriteOffsets(const Entry& entry, std::uint32_t type, const std::vector<std::uint64_t>& offsets,
                    std::uint64_t outOfLinePosition, std::string& entries, std::string& outOfLine) const;
  void Put(std::string& out, std::uint64_t value, std::size_t width) const;
  std::string OutputOrder(const Entry& entry) const;
  void PadTo(std::uint64_t offset);

  // Image data (image_data.cpp).
  ImagePlan PlanImageData(const Directory& directory) const;
  std::vector<std::uint64_t> Values(const Entry& entry) const;
  SampleOrder PlanSampleOrder(const Directory& directory, const ImagePlan& image) const;
  std::uint64_t ImageAlignment(const Directory& directory) const;
  std::optional<std::vector<std::uint64_t>> IntegerValues(const Directory& directory, std::uint32_t number,
                                                          std::uint64_t absent) const;
  std::vector<std::uint64_t> ImagePieceOffsets(const DirectoryPlan& plan) const;
  void CopyImageData(const ImagePlan& plan);
  std::optional<transcode::PieceFormat> PlanTranscoding(const Directory& directory, std::uint64_t compression,
                                                        std::uint64_t width) const;
  std::uint64_t PieceRows(const Directory& directory, std::size_t piece) const;
  std::uint64_t TranscodeImage(const Directory& directory, ImagePlan& image, std::uint64_t at,
                               transcode::ByteSink& sink);

  // Referenced data (references.cpp).
  void PlanReferences(DirectoryPlan& plan, int depth);
  void PlanSubDirectories(DirectoryPlan& plan, std::size_t row, int depth);
  bool PlanChain(DirectoryPlan& parent, std::uint64_t offset, bool followLinks, int depth);
  void PlanSubDirectory(DirectoryPlan& child, std::uint64_t offset, int depth);
  // Notes a part of the page in hand that cannot be copied.
  void LeaveOut(std::string what);
  JpegPlan PlanJpegBlocks(const Directory& directory, const ImagePlan& image);
  std::vector<std::uint64_t> PointerElements(const Entry& entry);

  std::size_t TypeSize(std::uint32_t type) const;        // in the input
  std::size_t OutputTypeSize(std::uint32_t type) const;  // in the output

  Merger& owner_;
  MergeSession& session_;
  const platform::InputFile& input_;
  const std::int32_t fileCount_;
  const std::int32_t fileIndex_;
  TiffLayout in_;         // the input's format, from its header
  const TiffLayout out_;  // the output's
  // The first kHeadBytes of the input, read once (not zero-filled first).
  std::string_view head_;
  static constexpr std::uint64_t kHeadBytes = 64u << 10;
  static constexpr std::uint64_t kHeaderBytes = 16;  // a BigTIFF header's
  // Read at once at a directory when only its count and link are wanted.
  static constexpr std::uint64_t kDirectoryWindowBytes = 512;
  // The input's bytes last read around a small read outside the head
  // (see Nearby), and where they begin.
  static constexpr std::uint64_t kWindowBytes = 16u << 10;
  mutable std::string window_;
  mutable std::uint64_t windowStart_ = 0;
  std::set<std::uint64_t> directoriesSeen_;  // loop guard of the page chain
  std::vector<std::uint64_t> ancestors_;     // directories above the one being planned
  std::size_t subDirectoriesPlanned_ = 0;    // per page, bounded
  std::uint64_t subDirectoryBytesRead_ = 0;  // per page, bounded by the input's size
  std::uint64_t subDirectoryEntries_ = 0;    // per page, bounded
  std::vector<std::string> leftOut_;         // parts of the page in hand left out
  bool valueTooWide_ = false;                // a directory held a value the output's format cannot hold

  // The pages to copy when not the whole chain (MergeSession::Pages), and
  // the next of them to read.
  const PageList* listed_ = nullptr;
  std::size_t listedAt_ = 0;
  // The page read last, emitted once the next link is known, and its
  // 0-based number in the file.
  Directory page_;
  std::uint32_t pageNumber_ = 0;
  std::uint64_t NextDirectoryOffset = 0;
  std::uint32_t DirectoriesRead = 0;
};

}  // namespace vellox
