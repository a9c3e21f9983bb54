// Little- and big-endian stores and in-place byte reversal: the small
// family every fixed-width number in a TIFF file goes through on the hot
// paths (arrays of offsets, pixel samples). Callers check ranges first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vellox::codec {

// Appends the low `width` bytes of `value` in the given byte order.
inline void AppendUnsigned(std::string& out, std::uint64_t value, std::size_t width, bool littleEndian) {
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t shift = 8 * (littleEndian ? i : width - 1 - i);
    out.push_back(static_cast<char>((value >> shift) & 0xFFu));
  }
}

// Reverses every whole group of `width` bytes in place; a trailing partial
// group is left as it is.
inline void ReverseGroups(char* data, std::size_t length, std::size_t width) noexcept {
  if (width < 2) return;
  const std::size_t whole = length - length % width;
  for (std::size_t at = 0; at < whole; at += width) {
    for (std::size_t i = 0, j = width - 1; i < j; ++i, --j) {
      const char t = data[at + i];
      data[at + i] = data[at + j];
      data[at + j] = t;
    }
  }
}

}  // namespace vellox::codec
