#include "win_test.hpp"

#include "support/tiff_builder.hpp"

namespace vellox::wintest {

std::string SampleTiff(bool littleEndian, int pages, std::uint32_t width, std::uint32_t height, unsigned seed) {
  vellox::test::TiffBuilder builder(littleEndian);
  for (int page = 0; page < pages; ++page) {
    std::string pixels(std::size_t{width} * height, '\0');
    for (std::size_t i = 0; i < pixels.size(); ++i)
      pixels[i] = static_cast<char>((i * 7 + seed * 31 + static_cast<unsigned>(page) * 13) & 0xFF);
    builder.AddGreyPage(width, height, pixels, 2);
  }
  return builder.Bytes();
}

}  // namespace vellox::wintest
