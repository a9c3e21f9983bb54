// The one range test: does [offset, offset + length) lie inside something of
// `size` bytes? Written so that no sum can wrap, whatever the numbers a file
// holds.
#pragma once

#include <cstdint>

namespace vellox {

constexpr bool RangeInside(std::uint64_t size, std::uint64_t offset, std::uint64_t length) noexcept {
  return offset <= size && length <= size - offset;
}

}  // namespace vellox
