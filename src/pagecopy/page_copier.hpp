// The page copier: copies every directory (page) of one input file, with
// its values and image data, to the end of the output.
//
// Reading (directory_reader.cpp) walks the input's chain of directories and
// fills the object's EntryTable and ValueTable; emission
// (directory_writer.cpp) writes the directory read last, with every offset
// rewritten for its new place; image_data.cpp finds, checks and copies the
// strips or tiles of a page.
#pragma once

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/files.hpp"
#include "vellox/KWVellox.hpp"

namespace vellox {

// Input that cannot be copied: ends the file with the per-file result -1.
class PageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Tags the page copier treats specially.
namespace tag {
inline constexpr std::uint32_t kBitsPerSample = 258;
inline constexpr std::uint32_t kCompression = 259;
inline constexpr std::uint32_t kStripOffsets = 273;
inline constexpr std::uint32_t kStripByteCounts = 279;
inline constexpr std::uint32_t kTileOffsets = 324;
inline constexpr std::uint32_t kTileByteCounts = 325;
inline constexpr std::uint32_t kSampleFormat = 339;
inline constexpr std::uint32_t kJpegInterchangeFormat = 513;
}  // namespace tag

// Field types by number.
namespace field {
inline constexpr std::uint32_t kByte = 1, kShort = 3, kLong = 4, kSByte = 6, kSShort = 8, kSLong = 9;
}

// EntryTable columns.
namespace column {
inline constexpr std::size_t kTag = 0, kType = 1, kCount = 2, kFirstValue = 3, kOutOfLine = 4, kInlineCount = 5;
}

// Where a page's image data comes from and how it is copied.
struct ImagePlan {
  int OffsetsRow = -1;  // row of StripOffsets / TileOffsets, -1 when none
  int CountsRow = -1;   // row of the matching byte counts
  int JpegRow = -1;     // row of JPEGInterchangeFormat, -1 when none
  std::vector<std::uint32_t> Offsets;
  std::vector<std::uint32_t> Lengths;
  std::uint64_t TotalBytes = 0;  // sum of Lengths
  bool HasImageData = false;     // a leading byte and the pieces follow
  std::size_t SwapWidth = 0;     // bytes per swapped sample part; 0: copy as is
};

class PageCopier {
 public:
  PageCopier(KWVellox& owner, const std::string& path, std::int32_t fileCount, std::int32_t fileIndex);
  std::int32_t Run();

 private:
  // Reading (Part of directory_reader.cpp).
  std::int32_t Intake();
  void ReadDirectory();
  void ReadEntry(std::size_t w, std::string_view entry);
  std::string ReadInput(std::uint64_t offset, std::uint64_t length, const char* what) const;
  std::uint32_t Decode(std::string_view bytes, std::size_t at, std::int16_t width);

  // Emission (directory_writer.cpp).
  void EmitDirectory();
  void WriteEntry(std::size_t k, const ImagePlan& plan, std::uint64_t directory, std::uint64_t firstImageByte,
                  std::uint64_t& outOfLineWritten);
  void WriteNumber(std::uint64_t value, std::int16_t width, std::int32_t zeros = 0);
  std::uint64_t OutOfLineLength(std::size_t k, const ImagePlan& plan) const;
  bool IsRelocatedOffsets(std::size_t k, const ImagePlan& plan) const;
  std::string OutputOrder(std::string bytes, std::uint32_t type) const;

  // Image data (image_data.cpp).
  ImagePlan PlanImageData();
  std::vector<std::uint32_t> ReadElements(std::size_t row);
  std::string SampleOrderProblem(ImagePlan& plan);
  void CopyImageData(const ImagePlan& plan);

  std::uint32_t Cell(std::size_t row, std::size_t col) const;
  std::size_t TypeSize(std::uint32_t type) const;

  KWVellox& owner_;
  const std::string& path_;
  const std::int32_t fileCount_;
  const std::int32_t fileIndex_;
  platform::InputFile input_;
  std::set<std::uint32_t> directoriesSeen_;  // loop guard

  // Per-directory values handed from reading to emission.
  std::uint32_t NextDirectoryOffset = 0;
  std::uint32_t DirectoryOffset = 0;
  std::uint32_t EntryCount = 0;
  std::uint64_t LinkPosition = 0;
  std::uint32_t DirectoriesRead = 0;
  std::size_t StripByteCountsRow = 0;
  std::uint64_t OutOfLineTotal = 0;
};

}  // namespace vellox
