// The names and texts of statuses and options, and the library's version:
// the one place every front end takes them from.
#include <algorithm>
#include <cctype>
#include <iterator>
#include <string_view>

#include "platform/files.hpp"
#include "vellox/vellox.hpp"
#include "vellox/version.hpp"

namespace vellox {
namespace {

struct StatusText {
  Status Code;
  const char* Name;
  const char* Text;
};

constexpr StatusText kStatusTexts[] = {
    {Status::Ok, "ok", "the output was written"},
    {Status::NothingToMerge, "nothing-to-merge", "every listed file was missing or empty"},
    {Status::NotTiff, "not-tiff", "the file is not a TIFF file"},
    {Status::OutputFolderMissing, "output-folder-missing", "the output's folder does not exist"},
    {Status::InvalidRequest, "invalid-request", "the request cannot be run as given"},
    {Status::CannotOpen, "cannot-open", "a file cannot be opened, read or deleted"},
    {Status::Damaged, "damaged", "the file's structure is broken"},
    {Status::PartlyCopied, "partly-copied", "only part of the file was copied"},
    {Status::OutputFailed, "output-failed", "the output could not be written"},
    {Status::NothingCopied, "nothing-copied", "no page of any input could be copied"},
    {Status::Cancelled, "cancelled", "the merge was cancelled"},
    {Status::OutOfMemory, "out-of-memory", "memory ran out"},
    {Status::Missing, "missing", "no such file"},
    {Status::DeletedEmpty, "deleted-empty", "an empty file, deleted"},
    {Status::KeptEmpty, "kept-empty", "an empty file held open by another program, not deleted"},
    {Status::NotReached, "not-reached", "the merge ended before this file was copied"},
    {Status::InternalError, "internal-error", "an unexpected failure inside the merger"},
};

const StatusText& TextOf(Status status) {
  for (const StatusText& text : kStatusTexts)
    if (text.Code == status) return text;
  return kStatusTexts[std::size(kStatusTexts) - 1];
}

bool SameName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

template <class Value, std::size_t N>
bool Lookup(std::string_view name, const std::pair<Value, const char*> (&names)[N], Value& value) {
  for (const auto& [candidate, text] : names)
    if (SameName(name, text)) {
      value = candidate;
      return true;
    }
  return false;
}

template <class Value, std::size_t N>
const char* NameIn(Value value, const std::pair<Value, const char*> (&names)[N]) {
  for (const auto& [candidate, text] : names)
    if (candidate == value) return text;
  return "unknown";
}

constexpr std::pair<OutputFormat, const char*> kFormats[] = {
    {OutputFormat::Classic, "classic"}, {OutputFormat::BigTiff, "bigtiff"}, {OutputFormat::Auto, "auto"}};
constexpr std::pair<CloneMode, const char*> kClones[] = {{CloneMode::Never, "never"}, {CloneMode::Auto, "auto"}};
constexpr std::pair<ByteOrder, const char*> kOrders[] = {
    {ByteOrder::First, "first"}, {ByteOrder::Little, "little"}, {ByteOrder::Big, "big"}, {ByteOrder::Auto, "auto"}};

constexpr std::pair<InputFate, const char*> kFates[] = {{InputFate::Copied, "copied"},
                                                        {InputFate::DeletedEmpty, "deleted-empty"},
                                                        {InputFate::DroppedMissing, "missing"},
                                                        {InputFate::NotReached, "not-reached"},
                                                        {InputFate::KeptEmpty, "kept-empty"}};
constexpr std::pair<OtherOrderFate, const char*> kOtherOrderFates[] = {{OtherOrderFate::Copied, "copied"},
                                                                       {OtherOrderFate::Transcoded, "transcoded"},
                                                                       {OtherOrderFate::Skipped, "skipped"}};

}  // namespace

const char* ToString(InputFate fate) noexcept {
  return NameIn(fate, kFates);
}

const char* ToString(OtherOrderFate fate) noexcept {
  return NameIn(fate, kOtherOrderFates);
}

const char* ToString(Status status) noexcept {
  return TextOf(status).Name;
}

const char* Describe(Status status) noexcept {
  return TextOf(status).Text;
}

const char* ToString(OutputFormat format) noexcept {
  return NameIn(format, kFormats);
}
const char* ToString(CloneMode clone) noexcept {
  return NameIn(clone, kClones);
}
const char* ToString(ByteOrder order) noexcept {
  return NameIn(order, kOrders);
}
bool FromString(std::string_view name, OutputFormat& format) noexcept {
  return Lookup(name, kFormats, format);
}
bool FromString(std::string_view name, CloneMode& clone) noexcept {
  return Lookup(name, kClones, clone);
}
bool FromString(std::string_view name, ByteOrder& order) noexcept {
  return Lookup(name, kOrders, order);
}

bool InputFailed(const FileReport& file) noexcept {
  return file.Fate == InputFate::DroppedMissing ||
         (file.Fate == InputFate::Copied && (file.Result != kMergeWritten || file.Pages == 0));
}

bool SomeInputFailed(const MergeReport& report) noexcept {
  return std::any_of(report.Files.begin(), report.Files.end(), InputFailed);
}

std::string Version() {
  // Major, minor and revision of the file version 1.0.0.4 (the revision is
  // its fourth part), without leading zeros.
  return std::to_string(VELLOX_VERSION_MAJOR) + "." + std::to_string(VELLOX_VERSION_MINOR) + "." +
         std::to_string(VELLOX_VERSION_TWEAK);
}

void RemoveTemporaryFiles() noexcept {
  platform::RemoveTemporaryFiles();
}

}  // namespace vellox
