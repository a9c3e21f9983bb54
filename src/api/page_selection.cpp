// Page selections: the text of a selection read once into items, and the
// items turned into the pages of one file.
#include <charconv>
#include <filesystem>
#include <system_error>

#include "vellox/vellox.hpp"

namespace vellox {
namespace {

// Page numbers past this are refused as text: no file has so many pages,
// and every sum below stays far from overflowing.
constexpr std::uint64_t kLargestNumber = 1ull << 40;

bool ReadNumber(std::string_view text, std::uint64_t& number) {
  if (text.empty() || text.front() < '1' || text.front() > '9') return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
  return error == std::errc{} && end == text.data() + text.size() && number <= kLargestNumber;
}

// `text` in double quotes, for messages.
std::string Quoted(std::string_view text) {
  std::string quoted(1, '"');
  quoted.append(text);
  quoted.push_back('"');
  return quoted;
}

}  // namespace

bool PageSelection::Parse(std::string_view text, PageSelection& selection, std::string* why) {
  const auto refuse = [&](std::string reason) {
    if (why != nullptr) *why = std::move(reason);
    return false;
  };
  const auto readBound = [](std::string_view part, Bound& bound) {
    bound = {};
    if (part == "z") {
      bound = {true, 1};
      return true;
    }
    if (part.starts_with('r')) {
      bound.FromEnd = true;
      part.remove_prefix(1);
    }
    return ReadNumber(part, bound.Number);
  };
  if (text.empty()) return refuse("an empty page selection");
  PageSelection parsed;
  parsed.text_ = std::string(text);
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    std::string_view part = text.substr(start, comma == std::string_view::npos ? text.npos : comma - start);
    Item item;
    if (part.starts_with('x')) {
      if (parsed.items_.empty()) return refuse(Quoted(part) + " excludes pages before any are selected");
      item.Exclude = true;
      part.remove_prefix(1);
    }
    const std::size_t dash = part.find('-');
    const bool range = dash != std::string_view::npos;
    if (!readBound(part.substr(0, dash), item.First) || !readBound(range ? part.substr(dash + 1) : part, item.Last))
      return refuse(Quoted(part.empty() ? text.substr(start, comma - start) : part) +
                    " is not a page number or range (1, 3-5, z, r2, x4 ...)");
    parsed.items_.push_back(item);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  selection = std::move(parsed);
  return true;
}

std::optional<std::vector<std::uint32_t>> PageSelection::Pick(std::uint64_t pageCount, std::string* why) const {
  const auto refuse = [&](std::string reason) -> std::optional<std::vector<std::uint32_t>> {
    if (why != nullptr) *why = std::move(reason);
    return std::nullopt;
  };
  const auto pages = [](std::uint64_t count) { return std::to_string(count) + (count == 1 ? " page" : " pages"); };
  std::vector<std::uint32_t> picked;
  if (All()) {
    if (pageCount > kMostPages) return refuse("it has more than " + pages(kMostPages));
    for (std::uint64_t page = 0; page < pageCount; ++page) picked.push_back(static_cast<std::uint32_t>(page));
    return picked;
  }
  // A bound as a 0-based page of this file, or false when the file lacks it.
  const auto place = [&](const Bound& bound, std::uint64_t& page) {
    if (bound.Number <= pageCount) {
      page = bound.FromEnd ? pageCount - bound.Number : bound.Number - 1;
      return true;
    }
    if (why != nullptr)
      *why = "it has " + pages(pageCount) + ", so it has no page " + (bound.FromEnd ? "r" : "") +
             std::to_string(bound.Number);
    return false;
  };
  for (const Item& item : items_) {
    std::uint64_t first = 0, last = 0;
    if (!place(item.First, first) || !place(item.Last, last)) return std::nullopt;
    const std::uint64_t low = first < last ? first : last, high = first < last ? last : first;
    if (item.Exclude) {
      std::erase_if(picked, [&](std::uint32_t page) { return page >= low && page <= high; });
      continue;
    }
    if (picked.size() + (high - low + 1) > kMostPages) return refuse("it selects more than " + pages(kMostPages));
    for (std::uint64_t k = 0; k <= high - low; ++k)
      picked.push_back(static_cast<std::uint32_t>(first <= last ? first + k : first - k));
  }
  if (picked.empty()) return refuse("the selection " + text_ + " leaves no page");
  return picked;
}

Input InputFromArgument(std::string_view argument) {
  std::string_view path = argument;
  std::string pages;
  const std::size_t colon = argument.rfind(':');
  if (colon != std::string_view::npos && colon != 0) {
    PageSelection selection;
    std::error_code error;
    if (PageSelection::Parse(argument.substr(colon + 1), selection) &&
        !std::filesystem::exists(PathFromUtf8(argument), error)) {
      path = argument.substr(0, colon);
      pages = selection.Text();
    }
  }
  if (path == "-") return Input::StandardInput(pages);
  return Input(PathFromUtf8(path), pages);
}

}  // namespace vellox
