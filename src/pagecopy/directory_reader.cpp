// The reading half of the page copier: intake of one input file, the walk
// along its chain of directories, and the reading of each directory into
// EntryTable and ValueTable. Every read is checked against the input's
// length before it is made, so no count or offset in a file can make the
// copier read outside it or allocate more than the file holds.
#include <algorithm>
#include <exception>

#include "pagecopy/page_copier.hpp"

namespace vellox {
namespace {

constexpr std::array<std::int16_t, 13> kFieldTypeSizes = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

std::string Text(std::uint64_t value) {
  return std::to_string(value);
}

}  // namespace

void KWVellox::CopyPages(const std::string& path, std::int32_t fileCount, std::int32_t fileIndex,
                         std::int32_t& result) {
  PageCopier copier(*this, *Session, path, fileCount, fileIndex);
  result = copier.Run();
}

PageCopier::PageCopier(KWVellox& owner, MergeSession& session, const std::string& path, std::int32_t fileCount,
                       std::int32_t fileIndex)
    : owner_(owner), session_(session), path_(path), fileCount_(fileCount), fileIndex_(fileIndex) {}

// Input faults end this file; anything that concerns the output (or the
// process, such as memory running out) ends the whole merge and so goes
// on to the driver.
std::int32_t PageCopier::Run() {
  std::string reason;
  try {
    std::int32_t result = Intake();
    if (result != kMergeWritten) return result;
    for (;;) {
      if (NextDirectoryOffset == 0 && DirectoriesRead == 0) return kMergeWritten;
      owner_.YieldToHost();
      if (DirectoriesRead >= 1) EmitDirectory();
      owner_.OutOfLineData.clear();
      OutOfLineTotal = 0;
      owner_.DirectByteCount = 0;
      if (NextDirectoryOffset == 0) break;
      ReadDirectory();
      ++DirectoriesRead;
      owner_.YieldToHost();
    }
    // A page skipped for its sample byte order fails the file, although
    // its other pages were copied.
    FileReport* file = session_.CurrentFile;
    if (file != nullptr && !file->Skipped.empty()) {
      file->Reason = "some pages were skipped";
      return kFailed;
    }
    if (file != nullptr && !file->LeftOut.empty()) {
      file->Reason = "parts of some pages were left out";
      return kFailed;
    }
    return kMergeWritten;
  } catch (const Failure& failure) {
    if (failure.Source() != FailureSource::Input) throw;
    reason = failure.what();
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& error) {
    // The codec's range errors: numbers in this input that do not fit.
    reason = error.what();
  }
  if (session_.CurrentFile != nullptr) session_.CurrentFile->Reason = reason;
  return kFailed;
}

std::int32_t PageCopier::Intake() {
  auto fail = [this](std::int32_t code, const char* why) {
    if (session_.CurrentFile != nullptr) session_.CurrentFile->Reason = why;
    return code;
  };
  if (path_.empty()) return fail(kNoInputLeft, "empty path");
  if (!platform::ContainsSeparator(path_)) return fail(kFailed, "not a full path");
  std::copy(kFieldTypeSizes.begin(), kFieldTypeSizes.end(), owner_.TypeSizes.begin());
  owner_.TypeCount = 12;

  switch (input_.Open(path_)) {
    case platform::InputFile::OpenResult::Ok: break;
    case platform::InputFile::OpenResult::Missing: return fail(kNotTiff, "no such file");
    case platform::InputFile::OpenResult::Failed: return fail(kFailed, "cannot open the file");
  }
  if (input_.Size() == 0) {
    input_.Close();
    // Emptied since the driver looked: deleted by the same rule.
    const platform::RemovalOutcome removal = platform::RemoveIfEmpty(path_);
    return fail(kNotTiff, removal.Kind == platform::Removal::Deleted ? "empty file (deleted)" : "empty file");
  }
  if (input_.Size() < 4) return fail(kFailed, "shorter than a TIFF header");
  // The start of the file, where most small files keep their directories
  // and values (and small files everything), is read in one go.
  const auto headSize = static_cast<std::size_t>(std::min<std::uint64_t>(input_.Size(), kHeadBytes));
  headBytes_ = std::make_unique_for_overwrite<char[]>(headSize);
  if (!input_.ReadAt(0, headBytes_.get(), headSize)) return fail(kFailed, "cannot read the file");
  head_ = std::string_view(headBytes_.get(), headSize);
  const std::string head = ReadInput(0, 4, "header");
  owner_.InputLittleEndian = head[0] == 'I' && head[1] == 'I';
  if (head[owner_.InputLittleEndian ? 2 : 3] != '*') return fail(kNotTiff, "not a TIFF file");
  if (input_.Size() < 8) return fail(kFailed, "shorter than a TIFF header");
  NextDirectoryOffset = Decode(ReadInput(4, 4, "header"), 0, 4);
  DirectoriesRead = 0;
  return kMergeWritten;
}

std::string PageCopier::ReadInput(std::uint64_t offset, std::uint64_t length, const char* what) const {
  if (offset > input_.Size() || length > input_.Size() - offset)
    throw PageError(std::string(what) + " at offset " + Text(offset) + " lies outside the file");
  if (offset + length <= head_.size())
    return std::string(head_.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)));
  std::string bytes(static_cast<std::size_t>(length), '\0');
  if (!input_.ReadAt(offset, bytes.data(), bytes.size())) throw PageError(std::string("cannot read the ") + what);
  return bytes;
}

std::uint32_t PageCopier::Decode(std::string_view bytes, std::size_t at, std::int16_t width) {
  return owner_.DecodeNumber(bytes.substr(at, static_cast<std::size_t>(width)), width);
}

std::size_t PageCopier::TypeSize(std::uint32_t type) const {
  if (type == 0 || type > static_cast<std::uint32_t>(owner_.TypeCount)) return 0;
  return static_cast<std::size_t>(owner_.TypeSizes[type]);
}

std::uint32_t TableView::Cell(std::size_t row, std::size_t col) const {
  return static_cast<std::uint32_t>(std::stoul((*Entries)[row][col]));
}

void PageCopier::ReadDirectory() {
  DirectoryOffset = NextDirectoryOffset;
  directoriesSeen_.insert(DirectoryOffset);
  std::uint32_t link = 0;
  ReadTables(DirectoryOffset, owner_.EntryTable, owner_.ValueTable, EntryCount, link, OutOfLineTotal);
  // A link back to any directory already read from this file ends the chain.
  NextDirectoryOffset = directoriesSeen_.count(link) != 0 ? 0 : link;
}

// Reads the directory at `offset` into the tables: one row per entry plus an
// empty one, six columns (tag, type, count, first value, out-of-line bytes,
// number of inline values).
void PageCopier::ReadTables(std::uint32_t offset, Table& entries, Table& values, std::uint32_t& count,
                            std::uint32_t& link, std::uint64_t& outOfLineTotal) {
  count = Decode(ReadInput(offset, 2, "directory"), 0, 2);
  // The entries and the link in one read.
  const std::string block = ReadInput(std::uint64_t{offset} + 2, 12ull * count + 4, "directory");
  entries.assign(count + 1, std::vector<std::string>(6));
  values.assign(count + 1, std::vector<std::string>(6));
  for (std::size_t w = 0; w < count; ++w)
    ReadEntry(std::string_view(block).substr(12 * w, 12), entries[w], values[w], outOfLineTotal);
  link = Decode(block, 12ull * count, 4);
}

void PageCopier::ReadEntry(std::string_view entry, std::vector<std::string>& cells, std::vector<std::string>& values,
                           std::uint64_t& outOfLineTotal) {
  const std::uint32_t tagNumber = Decode(entry, 0, 2);
  const std::uint32_t type = Decode(entry, 2, 2);
  const std::uint32_t count = Decode(entry, 4, 4);
  const std::string_view valueField = entry.substr(8, 4);
  cells[column::kTag] = Text(tagNumber);
  cells[column::kType] = Text(type);
  cells[column::kCount] = Text(count);
  // Zeros are moved in as built strings: assigning the literal "0" makes GCC 12
  // at -O3 report a false -Wrestrict inside std::string (GCC bug 105329).
  cells[column::kOutOfLine] = Text(0);
  cells[column::kInlineCount] = Text(0);

  const std::size_t size = TypeSize(type);
  const std::uint64_t total = std::uint64_t{count} * size;
  if (size == 0 || total > 4) {
    // Unknown types keep their value field as one number; out-of-line
    // values hold the offset of their data here.
    cells[column::kFirstValue] = Text(Decode(valueField, 0, 4));
  } else if (count == 0) {
    cells[column::kFirstValue] = Text(0);
  } else {
    for (std::size_t k = 0; k < count; ++k)
      values[k] = Text(Decode(valueField, k * size, static_cast<std::int16_t>(size)));
    cells[column::kFirstValue] = values[0];
    cells[column::kInlineCount] = Text(count);
  }
  if (size != 0 && total > 4) {
    // Each value lies inside the file, but many entries may point at the
    // same bytes; a directory's values together never need more than the
    // file holds, so memory stays bounded by the input's size.
    if (outOfLineTotal + total > input_.Size()) throw PageError("the directory's values repeat too much data");
    cells[column::kOutOfLine] = ReadInput(Decode(valueField, 0, 4), total, "value");
    outOfLineTotal += total;
  }
}

}  // namespace vellox
