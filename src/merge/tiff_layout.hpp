// The field widths of the two TIFF formats, classic (32-bit offsets) and
// BigTIFF (64-bit offsets): what differs between them in a directory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vellox {

struct TiffLayout {
  bool Big = false;

  constexpr std::size_t HeaderBytes() const { return Big ? 16 : 8; }
  constexpr std::size_t EntryCountBytes() const { return Big ? 8 : 2; }  // a directory's number of entries
  constexpr std::size_t EntryBytes() const { return Big ? 20 : 12; }
  // An offset: a link, an entry's value count and its value field.
  constexpr std::size_t OffsetBytes() const { return Big ? 8 : 4; }
  // A directory without its entries: count, link, and the CR LF after it.
  constexpr std::size_t DirectoryFixedBytes() const { return EntryCountBytes() + OffsetBytes() + 2; }
  // Directories begin on a word boundary, as TIFF requires; in BigTIFF on
  // an 8-byte one, where their counts and offsets are 8 bytes wide.
  constexpr std::uint64_t DirectoryAlignment() const { return Big ? 8 : 2; }
};

// Out-of-line values, and image data that needs nothing stricter, begin on
// a word boundary.
inline constexpr std::uint64_t kWordAlignment = 2;

// `offset` rounded up to a multiple of `alignment`.
constexpr std::uint64_t AlignUp(std::uint64_t offset, std::uint64_t alignment) {
  return offset + (alignment - offset % alignment) % alignment;
}

// Field types beyond classic TIFF's twelve.
namespace field {
inline constexpr std::uint32_t kLong8 = 16, kSLong8 = 17, kIfd8 = 18;
}

}  // namespace vellox
