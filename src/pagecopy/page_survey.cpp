// The page copier's survey for vellox::Info: walks the input's chain of
// directories as a copy does, describes each page from its entries, and
// plans it with the copier's own planning, so that what it reports a merge
// would leave out is what a merge leaves out. Nothing is written and no
// strip or tile is read: only directories, their values and the
// sub-directories they point at.
#include <algorithm>
#include <stdexcept>

#include "pagecopy/page_copier.hpp"

namespace vellox {
namespace {

constexpr std::uint32_t kPhotometric = 262;

// Runs `work`; returns the text of an input fault or of a number that does
// not fit (the codec's range errors), which end a copy of the file, or "".
// Anything else (memory running out) goes through.
template <typename Work>
std::string InputProblem(Work work) {
  try {
    work();
  } catch (const InputFault& fault) {
    return fault.what();
  } catch (const std::invalid_argument& error) {
    return error.what();
  } catch (const std::out_of_range& error) {
    return error.what();
  }
  return {};
}

bool HoldsInteroperability(const DirectoryPlan& plan) {
  for (const auto& child : plan.Children)
    if (child->Dir.Find(tag::kInteroperabilityIfd) || HoldsInteroperability(*child)) return true;
  return false;
}

std::string Offset(std::uint64_t offset) {
  return "offset " + std::to_string(offset);
}

}  // namespace

void PageCopier::Describe(FileInfo& info) {
  const std::string headerProblem = InputProblem([this] { ReadHead(); });
  if (!headerProblem.empty()) {
    info.Status = Status::Damaged;
    info.Reason = headerProblem;
    return;
  }
  owner_.OutputLittleEndian = owner_.InputLittleEndian;
  if (NextDirectoryOffset == 0) {
    info.Status = Status::Damaged;
    info.Reason = "the header points at no directory: the file has no pages";
    return;
  }
  std::uint64_t at = out_.HeaderBytes();  // where the next page would begin in a merge of the file alone
  std::string mergeStop;                  // why a merge of the file stops, once a page makes it
  while (NextDirectoryOffset != 0) {
    const std::uint64_t offset = NextDirectoryOffset;
    const std::string readProblem = InputProblem([this] { ReadNextPage(); });
    if (!readProblem.empty()) {
      info.Status = Status::Damaged;
      info.Reason = readProblem;
      return;
    }
    ++DirectoriesRead;
    const std::uint64_t link = page_.Link;
    PageInfo page = DescribePage(page_);
    page.Index = DirectoriesRead - 1;
    page.Offset = offset;
    if (mergeStop.empty()) {
      PlanInOtherOrder(page);
      mergeStop = PlanAsMerged(page, at);
    } else {
      page.Skipped = "the merge of the file stops at an earlier page";
      page.OtherOrder = OtherOrderFate::Skipped;
      page.OtherOrderReason = page.Skipped;
    }
    info.Pages.push_back(std::move(page));
    // The copier ends the chain quietly at a link back into it.
    if (NextDirectoryOffset == 0 && link != 0) {
      info.Status = Status::Damaged;
      info.Reason = "the directory at " + Offset(offset) + " links back to the directory at " + Offset(link) +
                    ", read before: the pages end there";
      return;
    }
  }
}

// The first value of an unsigned integer entry, or nothing when the page
// lacks it or it holds no such value.
std::optional<std::uint64_t> PageCopier::FirstValue(const Directory& directory, std::uint32_t number) const {
  const auto row = directory.Find(number);
  if (!row) return std::nullopt;
  const Entry& entry = directory.Entries[*row];
  const bool unsignedType = entry.Type == field::kByte || entry.Type == field::kShort || entry.Type == field::kLong ||
                            entry.Type == field::kLong8;
  const std::size_t size = TypeSize(entry.Type);
  if (!unsignedType || size == 0 || entry.Count == 0) return std::nullopt;
  return Decode(entry.Bytes, 0, size);
}

// The values of a byte-count entry added up (at most UINT64_MAX), 0 for an
// entry that holds no unsigned integers.
std::uint64_t PageCopier::ValueSum(const Entry& entry) const {
  const std::size_t size = TypeSize(entry.Type);
  const bool counts = entry.Type == field::kShort || entry.Type == field::kLong || entry.Type == field::kLong8;
  if (!counts || size == 0) return 0;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < entry.Count; ++i) {
    const std::uint64_t value = Decode(entry.Bytes, i * size, size);
    total = value > UINT64_MAX - total ? UINT64_MAX : total + value;
  }
  return total;
}

PageInfo PageCopier::DescribePage(const Directory& directory) const {
  PageInfo page;
  const auto narrow = [](std::optional<std::uint64_t> value, std::uint32_t absent) {
    return value ? static_cast<std::uint32_t>(std::min<std::uint64_t>(*value, UINT32_MAX)) : absent;
  };
  page.Width = FirstValue(directory, tag::kImageWidth).value_or(0);
  page.Height = FirstValue(directory, tag::kImageLength).value_or(0);
  page.BitsPerSample = narrow(FirstValue(directory, tag::kBitsPerSample), 1);
  page.SamplesPerPixel = narrow(FirstValue(directory, tag::kSamplesPerPixel), 1);
  page.Compression = narrow(FirstValue(directory, tag::kCompression), 1);
  if (const auto photometric = FirstValue(directory, kPhotometric)) page.Photometric = narrow(photometric, 0);

  const auto tileOffsets = directory.Find(tag::kTileOffsets);
  page.Tiled = tileOffsets.has_value();
  const auto offsets = page.Tiled ? tileOffsets : directory.Find(tag::kStripOffsets);
  if (offsets) page.Pieces = directory.Entries[*offsets].Count;
  if (const auto counts = directory.Find(page.Tiled ? tag::kTileByteCounts : tag::kStripByteCounts))
    page.ImageBytes = ValueSum(directory.Entries[*counts]);
  if (page.Tiled) {
    page.TileWidth = FirstValue(directory, tag::kTileWidth).value_or(0);
    page.TileLength = FirstValue(directory, tag::kTileLength).value_or(0);
  }

  if (const auto subIfds = directory.Find(tag::kSubIfds)) page.SubIfds = directory.Entries[*subIfds].Count;
  page.Exif = directory.Find(tag::kExifIfd).has_value();
  page.Gps = directory.Find(tag::kGpsIfd).has_value();
  page.Interoperability = directory.Find(tag::kInteroperabilityIfd).has_value();
  return page;
}

// Plans the page in hand for an output in the other byte order, where its
// samples change order: copied, transcoded or skipped (its samples are not
// decoded to find out whether they would decode). The page's directory is
// lent to the plan and given back: planning for an output of the input's
// own format leaves it as it is.
void PageCopier::PlanInOtherOrder(PageInfo& page) {
  DirectoryPlan plan;
  plan.Dir = std::move(page_);
  ancestors_.assign(1, plan.Dir.Offset);
  BeginPage();
  std::string problem;
  std::string fault;
  owner_.OutputLittleEndian = !owner_.InputLittleEndian;
  const auto restore = [&] {
    owner_.OutputLittleEndian = owner_.InputLittleEndian;
    page_ = std::move(plan.Dir);
  };
  try {
    fault = InputProblem([&] { problem = PlanDirectory(plan, 0); });
  } catch (...) {
    restore();
    throw;
  }
  restore();
  if (!fault.empty()) problem = "the merge of the file stops here: " + fault;
  if (!problem.empty()) {
    page.OtherOrder = OtherOrderFate::Skipped;
    page.OtherOrderReason = std::move(problem);
  } else if (plan.Image.Transcode) {
    page.OtherOrder = OtherOrderFate::Transcoded;
  }
}

// Plans the page in hand as a copy into the input's own format and byte
// order plans it (EmitDirectory), placed at `at`, which then moves past it.
// Notes on the page what the copy leaves out; returns why the copy of the
// file stops at this page, or "".
std::string PageCopier::PlanAsMerged(PageInfo& page, std::uint64_t& at) {
  DirectoryPlan plan;
  plan.Dir = std::move(page_);
  ancestors_.assign(1, plan.Dir.Offset);
  BeginPage();
  std::string problem;
  const std::string fault = InputProblem([&] {
    problem = PlanDirectory(plan, 0);
    if (!problem.empty()) return;
    LayOut(plan, at);
    problem = OffsetLimitProblem(plan);
  });
  if (!fault.empty()) {
    page.Skipped = "the merge of the file stops here: " + fault;
    return fault;
  }
  if (!problem.empty()) {
    page.Skipped = std::move(problem);
    return {};
  }
  at = PageEnd(plan);
  page.LeftOut = std::move(leftOut_);
  leftOut_.clear();
  page.Interoperability = page.Interoperability || HoldsInteroperability(plan);
  return {};
}

}  // namespace vellox
