#include "support/tiff_builder.hpp"

#include <algorithm>
#include <stdexcept>

namespace vellox::test {

std::size_t FieldTypeSize(std::uint16_t type) {
  static constexpr std::size_t kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < 13 ? kSizes[type] : 0;
}

TiffBuilder::TiffBuilder(bool littleEndian) : little_(littleEndian) {
  bytes_ = little_ ? std::string("II*\0", 4) : std::string("MM\0*", 4);
  bytes_ += Number(0, 4);
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
  std::uint32_t count = static_cast<std::uint32_t>(values.size());
  if (type == 5 || type == 10) count /= 2;
  Field field{tag, type, count, {}};
  if (data.size() <= 4) {
    data.resize(4, '\0');
    field.ValueField = data;
  } else {
    field.ValueField = Number(Append(data), 4);
  }
  return field;
}

Field TiffBuilder::Raw(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t valueField) const {
  return Field{tag, type, count, Number(valueField, 4)};
}

std::uint32_t TiffBuilder::AppendDirectory(const std::vector<Field>& fields, std::uint32_t next) {
  std::string block = Number(fields.size(), 2);
  for (const Field& f : fields) {
    block += Number(f.Tag, 2) + Number(f.Type, 2) + Number(f.Count, 4);
    if (f.ValueField.size() != 4) throw std::invalid_argument("value field must be 4 bytes");
    block += f.ValueField;
  }
  block += Number(next, 4);
  return Append(block);
}

void TiffBuilder::SetLink(std::uint32_t directory, std::uint32_t next) {
  const std::size_t low = static_cast<unsigned char>(bytes_[little_ ? directory : directory + 1]);
  const std::size_t high = static_cast<unsigned char>(bytes_[little_ ? directory + 1 : directory]);
  const std::size_t entries = high << 8 | low;
  bytes_.replace(directory + 2 + 12 * entries, 4, Number(next, 4));
}

void TiffBuilder::SetFirstDirectory(std::uint32_t offset) { Overwrite(4, Number(offset, 4)); }

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
  std::vector<Field> fields = {
      Values(256, 4, {width}), Values(257, 4, {height}), Values(258, 3, {8}), Values(259, 3, {1}),
      Values(262, 3, {1}),     Values(273, 4, offsets),  Values(277, 3, {1}), Values(278, 4, {rowsPerStrip}),
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
