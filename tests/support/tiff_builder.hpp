// Builds TIFF files byte by byte, classic or BigTIFF, in either byte order,
// for tests that need exact control over every field (including malformed
// ones).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vellox::test {

struct Field {
  std::uint16_t Tag = 0;
  std::uint16_t Type = 0;
  std::uint64_t Count = 0;
  std::string ValueField;  // exactly the file's offset size (4 bytes, 8 in BigTIFF), in its byte order
};

class TiffBuilder {
 public:
  // BigTIFF: version 43, 8-byte counts and offsets, 20-byte entries.
  explicit TiffBuilder(bool littleEndian, bool big = false);

  bool LittleEndian() const { return little_; }
  // Appends raw bytes at the end of the file; returns their offset.
  std::uint32_t Append(std::string_view bytes);
  // Encodes numbers of the given field type's size in the file's order.
  std::string Encode(std::uint16_t type, const std::vector<std::uint64_t>& values) const;
  std::string Number(std::uint64_t value, std::size_t width) const;

  // A field whose values go inline when they fit in the value field and are
  // appended out-of-line otherwise.
  Field Values(std::uint16_t tag, std::uint16_t type, const std::vector<std::uint64_t>& values);
  // A field with an explicit count and raw value field.
  Field Raw(std::uint16_t tag, std::uint16_t type, std::uint64_t count, std::uint64_t valueField) const;

  // Appends a directory (entries as given, not sorted); returns its offset.
  std::uint32_t AppendDirectory(const std::vector<Field>& fields, std::uint64_t next = 0);
  // Rewrites the link of the directory at `directory`.
  void SetLink(std::uint32_t directory, std::uint64_t next);
  void SetFirstDirectory(std::uint64_t offset);
  // Replaces bytes already written.
  void Overwrite(std::uint32_t offset, std::string_view bytes);

  // A simple 8-bit grey page of width x height with the given pixels in
  // `strips` pieces, appended with its directory; returns the directory's
  // offset. Directories added this way are chained in order.
  std::uint32_t AddGreyPage(std::uint32_t width, std::uint32_t height, const std::string& pixels,
                            std::uint32_t strips = 1, std::vector<Field> extra = {});

  const std::string& Bytes() const { return bytes_; }

 private:
  std::size_t OffsetSize() const { return big_ ? 8 : 4; }

  bool little_;
  bool big_;
  std::string bytes_;
  std::uint32_t lastChained_ = 0;
};

// Size in bytes of one value of a TIFF field type, BigTIFF's LONG8, SLONG8
// and IFD8 included (0 for unknown types).
std::size_t FieldTypeSize(std::uint16_t type);

}  // namespace vellox::test
