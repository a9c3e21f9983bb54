// A small, independent reader of the directories of a TIFF byte string,
// for tests that check the exact layout the merger writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vellox::test {

struct ParsedEntry {
  std::uint16_t Tag = 0;
  std::uint16_t Type = 0;
  std::uint32_t Count = 0;
  std::string ValueField;         // the raw 4 bytes
  std::uint32_t FieldNumber = 0;  // the value field read as one 4-byte number
};

struct ParsedDirectory {
  std::uint32_t Offset = 0;
  std::vector<ParsedEntry> Entries;
  std::uint32_t Link = 0;

  const ParsedEntry* Find(std::uint16_t tag) const;
};

class TiffReader {
 public:
  explicit TiffReader(std::string bytes);

  bool LittleEndian() const { return little_; }
  std::uint32_t Number(std::size_t offset, std::size_t width) const;
  // The values of an entry (inline or out-of-line), each read with its
  // type's size; rationals give numerator and denominator in turn.
  std::vector<std::uint64_t> Values(const ParsedEntry& entry) const;
  ParsedDirectory Directory(std::uint32_t offset) const;
  // Every directory of the chain from the header on (stops at a loop).
  std::vector<ParsedDirectory> Chain() const;
  const std::string& Bytes() const { return bytes_; }

 private:
  std::string bytes_;
  bool little_;
};

}  // namespace vellox::test
