#include "support/tiff_structure.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <set>
#include <stdexcept>
#include <vector>

#include "support/tiff_builder.hpp"

namespace vellox::test {
namespace {

// Limits that end the walk of a hostile file: page, SubIFD, EXIF and
// Interoperability nest four deep in real files.
constexpr int kMaxDepth = 8;
constexpr std::size_t kMaxDirectories = 1'000'000;
constexpr std::uint64_t kMaxEntries = 65535;
constexpr std::uint64_t kMaxArrayBytes = 64 << 20;  // an offset or count array read whole

// Fields whose values are offsets of image data, with the field holding the lengths.
struct DataField {
  std::uint16_t Offsets, Lengths;
  const char* Piece;
};
constexpr DataField kDataFields[] = {
    {273, 279, "strip"}, {324, 325, "tile"}, {513, 514, "old-style JPEG stream"}, {288, 289, "free block"}};

// Fields whose values are offsets of further directories.
struct DirectoryField {
  std::uint16_t Tag;
  const char* Name;
};
constexpr DirectoryField kDirectoryFields[] = {{330, "SubIFD"}, {34665, "EXIF"}, {34853, "GPS"}, {40965, "Interop"}};

// Ends the walk at the first fault, with what and where.
struct Malformed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Span {
  std::uint64_t Begin = 0;
  std::uint64_t End = 0;
  bool ImageData = false;
  std::string What;
  std::size_t Order = 0;  // when it was found, to keep the sort stable
};

struct Entry {
  std::uint16_t Tag = 0;
  std::uint16_t Type = 0;
  std::uint64_t Count = 0;
  std::uint64_t ValueAt = 0;  // where the value is: the value field itself, or the out-of-line value
};

std::string Describe(const Span& span) {
  return span.What + " (bytes " + std::to_string(span.Begin) + " to " + std::to_string(span.End) + ")";
}

class StructureWalk {
 public:
  explicit StructureWalk(const std::string& path) : file_(path, std::ios::binary | std::ios::ate) {
    if (!file_) throw Malformed("cannot open it");
    size_ = static_cast<std::uint64_t>(file_.tellg());
  }

  void Run() {
    const std::string header = Read(0, std::min<std::uint64_t>(size_, 16), "the header");
    if (header.size() < 8 || (header.compare(0, 2, "II") != 0 && header.compare(0, 2, "MM") != 0))
      throw Malformed("no TIFF header");
    little_ = header[0] == 'I';
    const std::uint64_t version = Number(header, 2, 2);
    if (version != 42 && version != 43) throw Malformed("version " + std::to_string(version) + ", neither 42 nor 43");
    big_ = version == 43;
    if (big_ && header.size() < 16) throw Malformed("a BigTIFF header cut short");
    spans_.push_back({0, big_ ? 16u : 8u, false, "the header"});
    WalkChain(big_ ? Number(header, 8, 8) : Number(header, 4, 4), "page", true, 0);
    CheckOverlaps();
  }

 private:
  std::size_t OffsetBytes() const { return big_ ? 8 : 4; }

  std::uint64_t Number(const std::string& bytes, std::size_t at, std::size_t width) const {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
      value = value << 8 | static_cast<unsigned char>(bytes[at + (little_ ? width - 1 - i : i)]);
    return value;
  }

  std::string Read(std::uint64_t at, std::uint64_t length, const std::string& what) {
    if (at > size_ || length > size_ - at)
      throw Malformed(what + " at " + std::to_string(at) + " (" + std::to_string(length) +
                      " bytes) runs past the end of the file (" + std::to_string(size_) + " bytes)");
    std::string bytes(static_cast<std::size_t>(length), '\0');
    file_.seekg(static_cast<std::streamoff>(at));
    if (!file_.read(bytes.data(), static_cast<std::streamsize>(length))) throw Malformed("cannot read " + what);
    return bytes;
  }

  // Follows a chain of directories from `first` to a link of 0.
  void WalkChain(std::uint64_t first, const std::string& name, bool pages, int depth) {
    if (depth > kMaxDepth)
      throw Malformed(name + ": sub-directories nest more than " + std::to_string(kMaxDepth) + " deep");
    std::uint64_t at = first;
    for (std::size_t position = 0; at != 0; ++position) {
      const std::string where = pages ? name + " " + std::to_string(position)
                                      : (position == 0 ? name : name + " next " + std::to_string(position));
      if (!visited_.insert(at).second)
        throw Malformed(where + ": the directory at " + std::to_string(at) + " is reached a second time");
      if (visited_.size() > kMaxDirectories)
        throw Malformed("more than " + std::to_string(kMaxDirectories) + " directories");
      at = WalkDirectory(at, where, depth);
    }
  }

  // Checks one directory and what it refers to; returns its link.
  std::uint64_t WalkDirectory(std::uint64_t at, const std::string& where, int depth) {
    const std::size_t alignment = big_ ? 8 : 2;
    if (at % alignment != 0)
      throw Malformed(where + ": the directory at " + std::to_string(at) + " does not start at a multiple of " +
                      std::to_string(alignment));
    const std::size_t countBytes = big_ ? 8 : 2, entryBytes = big_ ? 20 : 12;
    const std::uint64_t entries = Number(Read(at, countBytes, where + "'s directory"), 0, countBytes);
    if (entries > kMaxEntries)
      throw Malformed(where + ": the directory at " + std::to_string(at) + " claims " + std::to_string(entries) +
                      " entries");
    const std::size_t length = countBytes + static_cast<std::size_t>(entries) * entryBytes + OffsetBytes();
    const std::string block = Read(at, length, where + "'s directory");
    spans_.push_back({at, at + length, false, where + "'s directory"});

    std::vector<Entry> fields;
    for (std::size_t k = 0; k < entries; ++k) {
      const std::size_t e = countBytes + k * entryBytes;
      Entry entry{static_cast<std::uint16_t>(Number(block, e, 2)), static_cast<std::uint16_t>(Number(block, e + 2, 2)),
                  Number(block, e + 4, OffsetBytes()), at + e + 4 + OffsetBytes()};
      PlaceValue(entry, block.substr(e + 4 + OffsetBytes(), OffsetBytes()), where);
      fields.push_back(entry);
    }
    auto find = [&](std::uint16_t tag) {
      const auto it = std::find_if(fields.begin(), fields.end(), [tag](const Entry& f) { return f.Tag == tag; });
      return it == fields.end() ? nullptr : &*it;
    };
    for (const DataField& data : kDataFields)
      if (const Entry* offsets = find(data.Offsets); offsets != nullptr)
        AddImageData(*offsets, find(data.Lengths), data.Piece, where);
    for (const DirectoryField& sub : kDirectoryFields)
      if (const Entry* pointers = find(sub.Tag); pointers != nullptr) {
        const std::vector<std::uint64_t> offsets = Integers(*pointers, where);
        for (std::size_t i = 0; i < offsets.size(); ++i)
          if (offsets[i] != 0)
            WalkChain(offsets[i], where + " " + sub.Name + (offsets.size() > 1 ? " " + std::to_string(i) : ""), false,
                      depth + 1);
      }
    return Number(block, length - OffsetBytes(), OffsetBytes());
  }

  // Records where the entry's value lies and checks an out-of-line one.
  void PlaceValue(Entry& entry, const std::string& valueField, const std::string& where) {
    const std::size_t size = entry.Type == 13 ? 4 : FieldTypeSize(entry.Type);  // 13: IFD, a LONG offset
    if (size == 0) return;  // a type no reader can size: nothing to place
    const std::string what = where + ": tag " + std::to_string(entry.Tag) + "'s value";
    if (entry.Count <= OffsetBytes() / size) return;  // inline
    entry.ValueAt = Number(valueField, 0, OffsetBytes());
    if (entry.Count > size_ / size)
      throw Malformed(what + " has " + std::to_string(entry.Count) + " values, more than fit in the file");
    const std::uint64_t length = entry.Count * size;
    if (entry.ValueAt % 2 != 0) throw Malformed(what + " starts at the odd offset " + std::to_string(entry.ValueAt));
    if (entry.ValueAt > size_ || length > size_ - entry.ValueAt)
      throw Malformed(what + " at " + std::to_string(entry.ValueAt) + " (" + std::to_string(length) +
                      " bytes) runs past the end of the file (" + std::to_string(size_) + " bytes)");
    spans_.push_back({entry.ValueAt, entry.ValueAt + length, false, what});
  }

  // The values of an offset or length field, which must be unsigned integers.
  std::vector<std::uint64_t> Integers(const Entry& entry, const std::string& where) {
    std::size_t width = 0;
    switch (entry.Type) {
      case 3: width = 2; break;
      case 4:
      case 13: width = 4; break;
      case 16:
      case 18: width = 8; break;
      default:
        throw Malformed(where + ": tag " + std::to_string(entry.Tag) + " has type " + std::to_string(entry.Type) +
                        ", not an offset or a length");
    }
    if (entry.Count > kMaxArrayBytes / width)
      throw Malformed(where + ": tag " + std::to_string(entry.Tag) + " has too many values to check");
    const std::string bytes =
        Read(entry.ValueAt, entry.Count * width, where + ": tag " + std::to_string(entry.Tag) + "'s value");
    std::vector<std::uint64_t> values;
    for (std::size_t i = 0; i < entry.Count; ++i) values.push_back(Number(bytes, i * width, width));
    return values;
  }

  void AddImageData(const Entry& offsets, const Entry* lengths, const char* piece, const std::string& where) {
    if (lengths == nullptr) return;  // an old-style JPEG stream without its length: its extent is unknown
    const std::vector<std::uint64_t> begins = Integers(offsets, where), sizes = Integers(*lengths, where);
    for (std::size_t i = 0; i < std::min(begins.size(), sizes.size()); ++i) {
      const std::string what =
          where + "'s " + piece + " " + std::to_string(i) + " (tag " + std::to_string(offsets.Tag) + ")";
      if (begins[i] > size_ || sizes[i] > size_ - begins[i])
        throw Malformed(what + " at " + std::to_string(begins[i]) + " (" + std::to_string(sizes[i]) +
                        " bytes) runs past the end of the file (" + std::to_string(size_) + " bytes)");
      spans_.push_back({begins[i], begins[i] + sizes[i], true, what});
    }
  }

  // Directories and values overlap nothing; image data may overlap image data.
  void CheckOverlaps() {
    // std::sort on the finding order rather than std::stable_sort, whose
    // temporary buffer AddressSanitizer reports as a mismatched delete with
    // GCC 12's library.
    for (std::size_t i = 0; i < spans_.size(); ++i) spans_[i].Order = i;
    std::sort(spans_.begin(), spans_.end(),
              [](const Span& a, const Span& b) { return a.Begin != b.Begin ? a.Begin < b.Begin : a.Order < b.Order; });
    const Span* structure = nullptr;  // the directory or value reaching furthest so far
    const Span* data = nullptr;       // the image data reaching furthest so far
    for (const Span& span : spans_) {
      if (span.Begin == span.End) continue;
      if (structure != nullptr && span.Begin < structure->End)
        throw Malformed(Describe(span) + " overlaps " + Describe(*structure));
      if (!span.ImageData && data != nullptr && span.Begin < data->End)
        throw Malformed(Describe(span) + " overlaps " + Describe(*data));
      const Span*& furthest = span.ImageData ? data : structure;
      if (furthest == nullptr || span.End > furthest->End) furthest = &span;
    }
  }

  std::ifstream file_;
  std::uint64_t size_ = 0;
  bool little_ = true;
  bool big_ = false;
  std::set<std::uint64_t> visited_;
  std::vector<Span> spans_;
};

}  // namespace

testing::AssertionResult IsWellFormedTiff(const std::string& path) {
  try {
    StructureWalk(path).Run();
  } catch (const Malformed& fault) {
    return testing::AssertionFailure() << path << ": " << fault.what();
  }
  return testing::AssertionSuccess();
}

}  // namespace vellox::test
