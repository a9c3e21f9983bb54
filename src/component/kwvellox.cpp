// The component object: its fixed call Tiff_Merge(list, folder, name) as a
// thin adapter over the merger, the yield hook and the version text.
#include "vellox/KWVellox.hpp"

#include <string_view>
#include <vector>

#include "merge/merger.hpp"

namespace vellox {

struct KWVellox::State {
  MergeOptions Options;
  std::function<bool()> Hook;
  MergeReport Report;
  bool Merging = false;
};

namespace {

// The entries of the component's list: the text between commas. The last
// entry, after the final comma that Tiff_Merge ensures, is the list's end
// and not an entry.
std::vector<std::string> SplitList(std::string_view list) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  for (std::size_t comma = list.find(','); comma != std::string_view::npos; comma = list.find(',', start)) {
    entries.emplace_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return entries;
}

}  // namespace

KWVellox::KWVellox() : state_(std::make_unique<State>()) {}
KWVellox::~KWVellox() = default;

std::string KWVellox::Version() {
  return vellox::Version();
}

std::int32_t KWVellox::Tiff_Merge(std::string& FileNamess, std::string& OutputDir, std::string& NewFileName) {
  // A call from the yield hook while this object merges changes nothing.
  if (state_->Merging) return kFailed;
  state_->Merging = true;
  if (FileNamess.empty() || FileNamess.back() != ',') FileNamess.push_back(',');
  Merger merger(state_->Options, state_->Report, state_->Hook);
  const std::int32_t result = merger.Run(SplitList(FileNamess), OutputDir, NewFileName);
  state_->Merging = false;
  return result;
}

void KWVellox::SetHook(std::function<bool()> hook) {
  state_->Hook = std::move(hook);
}

void KWVellox::SetOptions(const MergeOptions& options) {
  state_->Options = options;
}

const MergeOptions& KWVellox::GetOptions() const noexcept {
  return state_->Options;
}

const MergeReport& KWVellox::Report() const noexcept {
  return state_->Report;
}

}  // namespace vellox
