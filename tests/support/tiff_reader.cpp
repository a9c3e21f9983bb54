#include "support/tiff_reader.hpp"

#include <set>
#include <stdexcept>

#include "support/tiff_builder.hpp"

namespace vellox::test {

const ParsedEntry* ParsedDirectory::Find(std::uint16_t tag) const {
  for (const ParsedEntry& entry : Entries)
    if (entry.Tag == tag) return &entry;
  return nullptr;
}

TiffReader::TiffReader(std::string bytes) : bytes_(std::move(bytes)) {
  if (bytes_.size() < 8) throw std::invalid_argument("not a TIFF: too short");
  little_ = bytes_[0] == 'I';
}

std::uint32_t TiffReader::Number(std::size_t offset, std::size_t width) const {
  if (offset + width > bytes_.size()) throw std::out_of_range("read past the end of the TIFF");
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t at = little_ ? offset + width - 1 - i : offset + i;
    value = (value << 8) | static_cast<unsigned char>(bytes_[at]);
  }
  return value;
}

std::vector<std::uint64_t> TiffReader::Values(const ParsedEntry& entry) const {
  std::size_t width = FieldTypeSize(entry.Type);
  std::size_t count = entry.Count;
  if (entry.Type == 5 || entry.Type == 10) {
    width = 4;
    count *= 2;
  }
  if (width == 0) throw std::invalid_argument("unknown type");
  std::vector<std::uint64_t> values;
  if (width * count <= 4) {
    const std::string& field = entry.ValueField;
    for (std::size_t i = 0; i < count; ++i) {
      std::uint32_t value = 0;
      for (std::size_t b = 0; b < width; ++b) {
        const std::size_t at = little_ ? i * width + width - 1 - b : i * width + b;
        value = (value << 8) | static_cast<unsigned char>(field[at]);
      }
      values.push_back(value);
    }
    return values;
  }
  for (std::size_t i = 0; i < count; ++i) values.push_back(Number(entry.FieldNumber + i * width, width));
  return values;
}

ParsedDirectory TiffReader::Directory(std::uint32_t offset) const {
  ParsedDirectory directory;
  directory.Offset = offset;
  const std::uint32_t count = Number(offset, 2);
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::size_t at = offset + 2 + 12 * std::size_t{k};
    ParsedEntry entry;
    entry.Tag = static_cast<std::uint16_t>(Number(at, 2));
    entry.Type = static_cast<std::uint16_t>(Number(at + 2, 2));
    entry.Count = Number(at + 4, 4);
    entry.ValueField = bytes_.substr(at + 8, 4);
    entry.FieldNumber = Number(at + 8, 4);
    directory.Entries.push_back(entry);
  }
  directory.Link = Number(offset + 2 + 12 * std::size_t{count}, 4);
  return directory;
}

std::vector<ParsedDirectory> TiffReader::Chain() const {
  std::vector<ParsedDirectory> chain;
  std::set<std::uint32_t> seen;
  for (std::uint32_t next = Number(4, 4); next != 0 && seen.insert(next).second;) {
    chain.push_back(Directory(next));
    next = chain.back().Link;
  }
  return chain;
}

}  // namespace vellox::test
