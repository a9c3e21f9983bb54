#include "support/tiff_builder.hpp"

#include <algorithm>
#include <stdexcept>

namespace vellox::test {

std::size_t FieldTypeSize(std::uint16_t type) {
  static constexpr std::size_t kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  if (type >= 16 && type <= 18) return 8;
  return type < 13 ? kSizes[type] : 0;
}

TiffBuilder::TiffBuilder(bool littleEndian, bool big) : little_(littleEndian), big_(big) {
  bytes_ = (little_ ? "II" : "MM") + Number(big_ ? 43 : 42, 2);
  if (big_) bytes_ += Number(8, 2) + Number(0, 2);
  bytes_ += Number(0, OffsetSize());
}

std::string TiffBuilder::Number(std::uint64_t value, std::size_t width) const {
  std::string out;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t shift = 8 * (little_ ? i : width - 1 - i);
    out.push_back(static_cast<char>((value >> shift) & 0xFF));
  }
  return out;
}

std::uint32_t TiffBuilder::Append(std::string_view bytes) {
  const auto offset = static_cast<std::uint32_t>(bytes_.size());
  bytes_.append(bytes);
  return offset;
}

std::string TiffBuilder::Encode(std::uint16_t type, const std::vector<std::uint64_t>& values) const {
  std::size_t width = FieldTypeSize(type);
  if (type == 5 || type == 10) width = 4;  // rationals: give numerator and denominator separately
  if (width == 0) throw std::invalid_argument("unknown field type");
  std::string out;
  for (const std::uint64_t v : values) out += Number(v, width);
  return out;
}

Field TiffBuilder::Values(std::uint16_t tag, std::uint16_t type, const std::vector<std::uint64_t>& values) {
  std::string data = Encode(type, values);
  std::uint64_t count = values.size();
  if (type == 5 || type == 10) count /= 2;
  Field field{tag, type, count, {}};
  if (data.size() <= OffsetSize()) {
    data.resize(OffsetSize(), '\0');
    field.ValueField = data;
  } else {
    field.ValueField = Number(Append(data), OffsetSize());
  }
  return field;
}

Field TiffBuilder::Raw(std::uint16_t tag, std::uint16_t type, std::uint64_t count, std::uint64_t valueField) const {
  return Field{tag, type, count, Number(valueField, OffsetSize())};
}

std::uint32_t TiffBuilder::AppendDirectory(const std::vector<Field>& fields, std::uint64_t next) {
  std::string block = Number(fields.size(), big_ ? 8 : 2);
  for (const Field& f : fields) {
    block += Number(f.Tag, 2) + Number(f.Type, 2) + Number(f.Count, OffsetSize());
    if (f.ValueField.size() != OffsetSize()) throw std::invalid_argument("value field of the wrong size");
    block += f.ValueField;
  }
  block += Number(next, OffsetSize());
  return Append(block);
}

void TiffBuilder::SetLink(std::uint32_t directory, std::uint64_t next) {
  // Entry counts of real directories fit in their two low bytes.
  const std::size_t low = static_cast<unsigned char>(bytes_[little_ ? directory : directory + (big_ ? 7 : 1)]);
  const std::size_t high = static_cast<unsigned char>(bytes_[little_ ? directory + 1 : directory + (big_ ? 6 : 0)]);
  const std::size_t entries = high << 8 | low;
  const std::size_t link = big_ ? directory + 8 + 20 * entries : directory + 2 + 12 * entries;
  bytes_.replace(link, OffsetSize(), Number(next, OffsetSize()));
}

void TiffBuilder::SetFirstDirectory(std::uint64_t offset) {
  Overwrite(big_ ? 8 : 4, Number(offset, OffsetSize()));
}

void TiffBuilder::Overwrite(std::uint32_t offset, std::string_view bytes) {
  bytes_.replace(offset, bytes.size(), bytes);
}

std::uint32_t TiffBuilder::AddGreyPage(std::uint32_t width, std::uint32_t height, const std::string& pixels,
                                       std::uint32_t strips, std::vector<Field> extra) {
  std::vector<std::uint64_t> offsets, counts;
  const std::uint32_t rowsPerStrip = (height + strips - 1) / strips;
  for (std::uint32_t s = 0; s < strips; ++s) {
    const std::size_t begin = std::min<std::size_t>(pixels.size(), std::size_t{s} * rowsPerStrip * width);
    const std::size_t end = std::min<std::size_t>(pixels.size(), std::size_t{s + 1} * rowsPerStrip * width);
    Append("\x5A");  // a byte between strips, so pieces are not contiguous
    offsets.push_back(Append(pixels.substr(begin, end - begin)));
    counts.push_back(end - begin);
  }
  std::vector<Field> fields = {Values(256, 4, {width}), Values(257, 4, {height}),
                               Values(258, 3, {8}),     Values(259, 3, {1}),
                               Values(262, 3, {1}),     Values(273, big_ ? 16 : 4, offsets),
                               Values(277, 3, {1}),     Values(278, 4, {rowsPerStrip}),
                               Values(279, 4, counts)};
  fields.insert(fields.end(), extra.begin(), extra.end());
  std::sort(fields.begin(), fields.end(), [](const Field& a, const Field& b) { return a.Tag < b.Tag; });
  const std::uint32_t directory = AppendDirectory(fields);
  if (lastChained_ == 0)
    SetFirstDirectory(directory);
  else
    SetLink(lastChained_, directory);
  lastChained_ = directory;
  return directory;
}

}  // namespace vellox::test
