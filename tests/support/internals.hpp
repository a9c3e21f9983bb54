// White-box access to the merger's private state and operations, for the
// codec and page copier tests.
#pragma once

#include <filesystem>
#include <string_view>

#include "merge/listed_input.hpp"
#include "merge/merge_session.hpp"
#include "merge/merger.hpp"
#include "platform/files.hpp"

namespace vellox {

// A merger of its own, with these options, and its state laid open.
class MergerInternals {
 public:
  explicit MergerInternals(const MergeOptions& options = {}) : m(options, report) {}

  void EncodeNumber(const std::string& text, std::int16_t n, bool toBuffer, std::int32_t zeros) {
    m.EncodeNumber(text, n, toBuffer, zeros);
  }
  std::uint32_t DecodeNumber(std::string_view bytes, std::int16_t& n) { return m.DecodeNumber(bytes, n); }
  std::string SwapGroups(std::string_view bytes, std::int32_t g) { return m.SwapGroups(bytes, g); }
  std::string ToHexDigits(double v) { return m.ToHexDigits(v); }
  std::string HexDigit(std::int16_t d) { return m.HexDigit(d); }
  bool DirectoryExists(const std::string& path) { return m.DirectoryExists(path); }
  // The output format the options choose for these inputs (all kept), as a
  // merge whose first input is in the given byte order would.
  bool ChooseBigTiff(const std::vector<std::string>& inputs, bool littleEndian) {
    std::vector<std::size_t> kept(inputs.size());
    std::vector<ListedInput> listed(inputs.size());
    std::uint64_t bytes = 0;
    for (std::size_t i = 0; i < kept.size(); ++i) {
      kept[i] = i;
      auto input = std::make_unique<platform::InputFile>();
      if (input->Open(inputs[i]) != platform::InputFile::OpenResult::Ok) continue;
      bytes += input->Size();
      listed[i].Hold(std::move(input));
      FileReport file;
      file.Path = inputs[i];
      report.Files.push_back(file);
    }
    m.InputLittleEndian = m.OutputLittleEndian = littleEndian;
    // An unnamed output beside the first input, discarded unnamed.
    platform::OutputFile output;
    output.Create((std::filesystem::path(inputs.front()).parent_path() / "choice.tif").string(), false);
    return m.ChooseBigTiff(listed, kept, bytes, output);
  }

  std::string& PendingBytes() { return m.PendingBytes; }
  std::vector<std::string>& HexPairs() { return m.HexPairs; }
  bool& InputLittleEndian() { return m.InputLittleEndian; }
  bool& OutputLittleEndian() { return m.OutputLittleEndian; }
  std::int64_t& DirectByteCount() { return m.DirectByteCount; }
  std::int64_t& OutputPosition() { return m.OutputPosition; }
  std::int16_t TypeCount() const { return m.TypeCount; }
  const std::array<std::int16_t, 14>& TypeSizes() const { return m.TypeSizes; }
  const std::vector<std::vector<std::string>>& EntryTable() const { return m.EntryTable; }
  const std::vector<std::vector<std::string>>& ValueTable() const { return m.ValueTable; }
  const std::string& OutOfLineData() const { return m.OutOfLineData; }
  void SetSession(MergeSession* session) { m.Session = session; }

 private:
  MergeReport report;
  Merger m;
};

}  // namespace vellox
