// The merge options on the command line. Values are read with the library's
// FromString, so the CLI, the library and the other front ends accept the
// same names.
#include "options.hpp"

#include <initializer_list>
#include <string>

namespace vellox::cli {
namespace {

// Adds `name CHOICE` for one of `choices`. Parsed through a callback on the
// text, so that neither help nor errors ever show an enum's numeric value.
template <class Value>
void AddChoice(CLI::App& command, const std::string& name, Value& value, std::initializer_list<Value> choices,
               const std::string& description) {
  std::string list, pattern;
  for (const Value choice : choices) {
    list += (list.empty() ? "" : ", ") + std::string(ToString(choice));
    pattern += (pattern.empty() ? "" : "|") + std::string(ToString(choice));
  }
  command
      .add_option_function<std::string>(
          name,
          [&value, name, list](const std::string& text) {
            if (!FromString(text, value))
              throw CLI::ValidationError(name + " must be one of " + list + " (not \"" + text + "\")");
          },
          description)
      ->type_name(pattern);
}

}  // namespace

void AddAppendOptions(CLI::App& command, MergeOptions& options) {
  AddChoice(command, "--clone", options.Clone, {CloneMode::Auto, CloneMode::Never},
            "auto: on file systems that share blocks (XFS, btrfs), clone large strips and tiles instead of copying "
            "them (the default); never: copy every byte");
}

void AddMergeOptions(CLI::App& command, MergeOptions& options) {
  command.add_flag("--sync", options.Sync,
                   "Flush each output to the disk before it replaces its target (durable, slower)");
  AddChoice(command, "--format", options.Format, {OutputFormat::Classic, OutputFormat::BigTiff, OutputFormat::Auto},
            "Output format: classic, bigtiff, or auto (classic when it fits, the default)");
  AddChoice(command, "--clone", options.Clone, {CloneMode::Auto, CloneMode::Never},
            "auto: on file systems that share blocks (XFS, btrfs), clone large strips and tiles instead of copying "
            "them (the default); never: copy every byte");
  AddChoice(command, "--byte-order", options.Order,
            {ByteOrder::First, ByteOrder::Little, ByteOrder::Big, ByteOrder::Auto},
            "Output byte order: first (the first input's, the default), little, big, or auto (the order that needs "
            "the fewest bytes transcoded); pages whose compressed 16/32/64-bit samples are in the other order are "
            "transcoded");
}

}  // namespace vellox::cli
