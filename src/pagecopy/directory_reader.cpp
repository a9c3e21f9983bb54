// The reading half of the page copier: the walk along one input's chain of
// directories, and the reading of each directory, once, into typed entries.
// Every read is checked against the input's length before it is made, so no
// count or offset in a file can make the copier read outside it or allocate
// more than the file holds.
#include <algorithm>
#include <exception>

#include "pagecopy/page_copier.hpp"

namespace vellox {
namespace {

constexpr std::array<std::int16_t, 13> kFieldTypeSizes = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

// Sizes of the types beyond the classic twelve: IFD, and BigTIFF's LONG8,
// SLONG8 and IFD8.
std::size_t WideTypeSize(std::uint32_t type) {
  if (type == field::kIfd) return 4;
  return type == field::kLong8 || type == field::kSLong8 || type == field::kIfd8 ? 8 : 0;
}

std::string Text(std::uint64_t value) {
  return std::to_string(value);
}

// Takes transcoded data that is only measured.
class DiscardingSink : public transcode::ByteSink {
 public:
  void Write(const char*, std::size_t) override {}
};

}  // namespace

void Merger::CopyPages(const std::string& path, std::int32_t fileCount, std::int32_t fileIndex, std::int32_t& result) {
  std::copy(kFieldTypeSizes.begin(), kFieldTypeSizes.end(), TypeSizes.begin());
  TypeCount = 12;
  const platform::InputFile* input = Session->Input;
  if (input == nullptr || input->Path() != path) throw std::logic_error("the input is not open");
  PageCopier copier(*this, *Session, *input, fileCount, fileIndex);
  result = copier.Run();
}

PageCopier::PageCopier(Merger& owner, MergeSession& session, const platform::InputFile& input, std::int32_t fileCount,
                       std::int32_t fileIndex)
    : owner_(owner),
      session_(session),
      input_(input),
      fileCount_(fileCount),
      fileIndex_(fileIndex),
      out_(session.Layout),
      listed_(session.Pages) {}

namespace {

// Runs `work` on a page copier of `input` that writes nothing: a session
// with an output never opened and a report thrown away.
template <typename Work>
auto Survey(Merger& owner, std::array<std::int16_t, 14>& typeSizes, std::int16_t& typeCount,
            const platform::InputFile& input, const TiffLayout& layout, std::size_t cloneBlock, const PageList* pages,
            Work work) {
  std::copy(kFieldTypeSizes.begin(), kFieldTypeSizes.end(), typeSizes.begin());
  typeCount = 12;
  platform::OutputFile unused;
  MergeReport scratch;
  MergeSession measuring(unused, scratch, layout);
  measuring.CloneBlock = cloneBlock;
  measuring.Pages = pages;
  PageCopier copier(owner, measuring, input, 1, 1);
  return work(copier);
}

}  // namespace

std::uint64_t Merger::MeasurePages(const platform::InputFile& input, const TiffLayout& layout, std::uint64_t start,
                                   std::size_t cloneBlock, const PageList* pages) {
  return Survey(*this, TypeSizes, TypeCount, input, layout, cloneBlock, pages,
                [start](PageCopier& copier) { return copier.Measure(start); });
}

std::uint64_t Merger::BytesToTranscode(const platform::InputFile& input, const PageList* pages) {
  return Survey(*this, TypeSizes, TypeCount, input, TiffLayout{}, 0, pages,
                [](PageCopier& copier) { return copier.BytesToTranscode(); });
}

PageList Merger::IndexPages(const platform::InputFile& input, std::string& end) {
  return Survey(*this, TypeSizes, TypeCount, input, TiffLayout{}, 0, nullptr,
                [&end](PageCopier& copier) { return copier.ListPages(end); });
}

// Walks the chain as the copy would, reading of each directory only its
// entry count and its link: a page of a 2 GB file is found without reading
// its values or data.
PageList PageCopier::ListPages(std::string& end) {
  PageList pages;
  try {
    ReadHead();
    const std::size_t countBytes = in_.EntryCountBytes();
    for (std::uint64_t at = NextDirectoryOffset; at != 0 && directoriesSeen_.insert(at).second;) {
      // One read holds the count and, for directories of up to a few dozen
      // entries, the link too.
      const std::uint64_t window =
          std::min<std::uint64_t>(kDirectoryWindowBytes, input_.Size() - std::min(at, input_.Size()));
      const std::string near = ReadInput(at, std::max<std::uint64_t>(window, countBytes), "directory", false);
      const std::uint64_t count = Decode(near, 0, countBytes);
      if (count > input_.Size() / in_.EntryBytes())
        throw PageError("directory at offset " + Text(at) + " lies outside the file");
      if (pages.Directories.size() >= PageSelection::kMostPages)
        throw PageError("it has more pages than a selection can take");
      const std::uint64_t linkAt = countBytes + in_.EntryBytes() * count;  // from `at`
      pages.Numbers.push_back(static_cast<std::uint32_t>(pages.Directories.size()));
      pages.Directories.push_back(at);
      at = linkAt + in_.OffsetBytes() <= near.size()
               ? Decode(near, static_cast<std::size_t>(linkAt), in_.OffsetBytes())
               : Decode(ReadInput(at + linkAt, in_.OffsetBytes(), "directory", false), 0, in_.OffsetBytes());
    }
  } catch (const InputFault& fault) {
    end = fault.what();
  } catch (const std::invalid_argument& error) {
    end = error.what();
  } catch (const std::out_of_range& error) {
    end = error.what();
  }
  return pages;
}

void Merger::DescribePages(const platform::InputFile& input, const TiffLayout& layout, FileInfo& info) {
  Survey(*this, TypeSizes, TypeCount, input, layout, 0, nullptr, [&info](PageCopier& copier) {
    copier.Describe(info);
    return std::uint64_t{0};
  });
}

// The compressed image bytes of the pages whose samples would have to be
// transcoded for an output in the other byte order.
std::uint64_t PageCopier::BytesToTranscode() {
  std::uint64_t total = 0;
  try {
    ReadHead();
    owner_.OutputLittleEndian = !owner_.InputLittleEndian;
    while (NextDirectoryOffset != 0) {
      ReadNextPage();
      ++DirectoriesRead;
      const ImagePlan image = PlanImageData(page_);
      if (PlanSampleOrder(page_, image).Transcode) total += image.TotalBytes;
    }
  } catch (const InputFault&) {
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  return total;
}

// Plans and lays out every page as for writing, padding included. A page
// that would be skipped takes no room; an input that fails ends where its
// last page measured did. A value the output's format cannot hold makes the
// input take all there is (UINT64_MAX): only a wider format keeps it.
std::uint64_t PageCopier::Measure(std::uint64_t start) {
  std::uint64_t at = start;
  try {
    ReadHead();
    while (NextDirectoryOffset != 0) {
      ReadNextPage();
      ++DirectoriesRead;
      DirectoryPlan plan;
      plan.Dir = std::move(page_);
      BeginPage();
      ancestors_.assign(1, plan.Dir.Offset);
      const bool planned = PlanDirectory(plan, 0).empty();
      if (valueTooWide_) return UINT64_MAX;
      if (!planned) continue;
      std::uint64_t directoryAt = at;
      if (plan.Image.Transcode) {
        // Transcoded pieces are as long as they encode to: encoded, counted
        // and dropped.
        try {
          DiscardingSink counter;
          directoryAt = TranscodeImage(plan.Dir, plan.Image, at, counter);
        } catch (const transcode::TranscodeError&) {
          continue;  // the page would be skipped
        }
      }
      LayOut(plan, directoryAt);
      at = PageEnd(plan);
    }
  } catch (const InputFault&) {
  } catch (const std::invalid_argument&) {
  } catch (const std::out_of_range&) {
  }
  return at;
}

// Input faults end this file; anything that concerns the output (or the
// process, such as memory running out) ends the whole merge and so goes
// on to the driver.
std::int32_t PageCopier::Run() {
  std::string reason;
  try {
    ReadHead();
    for (;;) {
      if (NextDirectoryOffset == 0 && DirectoriesRead == 0) return kMergeWritten;
      owner_.YieldToHost();
      if (DirectoriesRead >= 1) EmitDirectory();
      owner_.OutOfLineData.clear();
      owner_.DirectByteCount = 0;
      if (NextDirectoryOffset == 0) break;
      ReadNextPage();
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
  session_.InputEnded = true;
  if (session_.CurrentFile != nullptr) session_.CurrentFile->Reason = reason;
  return kFailed;
}

// The start of the file, where most small files keep their directories and
// values (and small files everything), is read in one go; the header in it
// gives the byte order and the first directory.
void PageCopier::ReadHead() {
  // Listed pages are picked out of a file that may be large: its header
  // alone is read, and each listed directory where it lies.
  const std::uint64_t wanted = listed_ != nullptr ? kHeaderBytes : kHeadBytes;
  const auto headSize = static_cast<std::size_t>(std::min<std::uint64_t>(input_.Size(), wanted));
  // One buffer serves every file of the merge: no allocation, and no fresh
  // pages to fault in, per file.
  if (!owner_.HeadBuffer) owner_.HeadBuffer = std::make_unique_for_overwrite<char[]>(kHeadBytes);
  if (!input_.ReadAt(0, owner_.HeadBuffer.get(), headSize)) throw PageError("cannot read the file");
  head_ = std::string_view(owner_.HeadBuffer.get(), headSize);
  owner_.InputLittleEndian = head_[0] == 'I' && head_[1] == 'I';
  // The driver has checked the header: "+" as the magic means BigTIFF.
  in_.Big = head_[owner_.InputLittleEndian ? 2 : 3] == '+';
  NextDirectoryOffset = Decode(ReadInput(in_.Big ? 8 : 4, in_.OffsetBytes(), "header"), 0, in_.OffsetBytes());
  DirectoriesRead = 0;
  if (listed_ != nullptr) {
    listedAt_ = 0;
    NextDirectoryOffset = listed_->Directories.empty() ? 0 : listed_->Directories.front();
  }
}

std::string PageCopier::ReadInput(std::uint64_t offset, std::uint64_t length, const char* what, bool around) const {
  if (!RangeInside(input_.Size(), offset, length))
    throw PageError(std::string(what) + " at offset " + Text(offset) + " lies outside the file");
  if (RangeInside(head_.size(), offset, length))
    return std::string(head_.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)));
  if (around)
    if (const std::optional<std::string_view> near = Nearby(offset, length)) return std::string(*near);
  std::string bytes(static_cast<std::size_t>(length), '\0');
  if (!input_.ReadAt(offset, bytes.data(), bytes.size())) throw PageError(std::string("cannot read the ") + what);
  return bytes;
}

// A directory past the head, its values and a small page's data usually lie
// together: a small read there fetches the bytes around it at once, and the
// reads after it are served from them.
std::optional<std::string_view> PageCopier::Nearby(std::uint64_t offset, std::uint64_t length) const {
  const auto inWindow = [&] {
    return offset >= windowStart_ && RangeInside(window_.size(), offset - windowStart_, length);
  };
  if (!inWindow()) {
    if (length > kWindowBytes / 4 || !RangeInside(input_.Size(), offset, length)) return std::nullopt;
    window_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kWindowBytes, input_.Size() - offset)));
    windowStart_ = offset;
    if (!input_.ReadAt(offset, window_.data(), window_.size())) {
      window_.clear();
      return std::nullopt;
    }
  }
  return std::string_view(window_).substr(static_cast<std::size_t>(offset - windowStart_),
                                          static_cast<std::size_t>(length));
}

std::uint64_t PageCopier::Decode(std::string_view bytes, std::size_t at, std::size_t width) const {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < width; ++i) {
    const std::size_t k = owner_.InputLittleEndian ? width - 1 - i : i;
    value = (value << 8) | static_cast<unsigned char>(bytes[at + k]);
  }
  return value;
}

// A classic input knows the twelve types of TypeSizes (IFD values count as
// an unknown type's, carried whole); a BigTIFF input also knows IFD and its
// own 64-bit types.
std::size_t PageCopier::TypeSize(std::uint32_t type) const {
  if (!in_.Big && type > static_cast<std::uint32_t>(owner_.TypeCount)) return 0;
  return OutputTypeSize(type);
}

std::size_t PageCopier::OutputTypeSize(std::uint32_t type) const {
  if (type == 0) return 0;
  if (type > static_cast<std::uint32_t>(owner_.TypeCount)) return WideTypeSize(type);
  return static_cast<std::size_t>(owner_.TypeSizes[type]);
}

void PageCopier::ReadNextPage() {
  if (listed_ != nullptr) {
    // Listed pages come in the list's order, repeats included.
    page_ = ReadDirectory(NextDirectoryOffset);
    FillTables(page_);
    pageNumber_ = listed_->Numbers[listedAt_++];
    NextDirectoryOffset = listedAt_ < listed_->Directories.size() ? listed_->Directories[listedAt_] : 0;
    return;
  }
  pageNumber_ = DirectoriesRead;
  directoriesSeen_.insert(NextDirectoryOffset);
  page_ = ReadDirectory(NextDirectoryOffset);
  FillTables(page_);
  // A link back to any directory already read from this file ends the chain.
  NextDirectoryOffset = directoriesSeen_.count(page_.Link) != 0 ? 0 : page_.Link;
}

// Reads the directory at `offset`: its entry count, its entries with their
// values, and its link.
Directory PageCopier::ReadDirectory(std::uint64_t offset) {
  Directory directory;
  directory.Offset = offset;
  const std::size_t countBytes = in_.EntryCountBytes();
  const std::size_t entryBytes = in_.EntryBytes();
  const std::uint64_t count = Decode(ReadInput(offset, countBytes, "directory"), 0, countBytes);
  if (count > input_.Size() / entryBytes)
    throw PageError("directory at offset " + Text(offset) + " lies outside the file");
  // The entries and the link in one read.
  const std::string block = ReadInput(offset + countBytes, entryBytes * count + in_.OffsetBytes(), "directory");
  directory.Entries.reserve(static_cast<std::size_t>(count));
  for (std::size_t w = 0; w < count; ++w)
    directory.Entries.push_back(
        ReadEntry(std::string_view(block).substr(entryBytes * w, entryBytes), directory.OutOfLineBytes));
  directory.Link = Decode(block, static_cast<std::size_t>(entryBytes * count), in_.OffsetBytes());
  return directory;
}

Entry PageCopier::ReadEntry(std::string_view bytes, std::uint64_t& outOfLineTotal) {
  Entry entry;
  entry.Tag = static_cast<std::uint32_t>(Decode(bytes, 0, 2));
  entry.Type = static_cast<std::uint32_t>(Decode(bytes, 2, 2));
  const std::size_t field = in_.OffsetBytes();  // the count's and the value field's width
  entry.Count = Decode(bytes, 4, field);
  entry.ValueField = Decode(bytes, 4 + field, field);
  const std::size_t size = TypeSize(entry.Type);
  entry.Unknown = size == 0;
  if (entry.Unknown) return entry;  // unknown types keep their value field as one number
  // Each value lies inside the file, but many entries may point at the
  // same bytes; a directory's values together never need more than the
  // file holds, so memory stays bounded by the input's size.
  if (entry.Count > input_.Size()) throw PageError("the directory's values repeat too much data");
  const std::uint64_t total = entry.Count * size;
  if (total <= field) {
    entry.Bytes = std::string(bytes.substr(4 + field, static_cast<std::size_t>(total)));
    return entry;
  }
  if (outOfLineTotal + total > input_.Size()) throw PageError("the directory's values repeat too much data");
  entry.OutOfLine = true;
  entry.Bytes = ReadInput(entry.ValueField, total, "value");
  outOfLineTotal += total;
  return entry;
}

// The object's EntryTable and ValueTable describe the page in hand, as
// decimal text: tag, type, count, first value (or the value field as one
// number), out-of-line bytes (or "0"), number of inline values; and the
// inline values one per cell.
namespace {

// Gives `table` `rows` rows of 6 empty cells, reusing the rows and cells it
// has: a page costs no allocation for its tables once the merge has seen one
// as large.
void ClearTable(std::vector<std::vector<std::string>>& table, std::size_t rows) {
  table.resize(rows);
  for (std::vector<std::string>& row : table) {
    row.resize(6);
    for (std::string& cell : row) cell.clear();
  }
}

}  // namespace

void PageCopier::FillTables(const Directory& directory) {
  const std::size_t rows = directory.Entries.size() + 1;
  ClearTable(owner_.EntryTable, rows);
  ClearTable(owner_.ValueTable, rows);
  for (std::size_t w = 0; w + 1 < rows; ++w) {
    const Entry& entry = directory.Entries[w];
    std::vector<std::string>& cells = owner_.EntryTable[w];
    cells[0] = Text(entry.Tag);
    cells[1] = Text(entry.Type);
    cells[2] = Text(entry.Count);
    cells[3] = Text(entry.ValueField);
    cells[4] = entry.OutOfLine ? entry.Bytes : "0";
    cells[5] = Text(0);  // not the literal "0": GCC 12 at -O3 warns falsely (-Wrestrict, GCC bug 105329)
    const std::size_t size = TypeSize(entry.Type);
    if (entry.OutOfLine || size == 0 || entry.Count == 0) continue;
    if (entry.Count > owner_.ValueTable[w].size()) owner_.ValueTable[w].resize(static_cast<std::size_t>(entry.Count));
    for (std::size_t k = 0; k < entry.Count; ++k) owner_.ValueTable[w][k] = Text(Decode(entry.Bytes, k * size, size));
    cells[3] = owner_.ValueTable[w][0];
    cells[5] = Text(entry.Count);
  }
}

}  // namespace vellox
