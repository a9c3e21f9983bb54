#include "integration/merge_harness.hpp"

#include <set>

namespace vellox::test {

MergeOutcome Merge(const std::vector<std::string>& inputs, const std::string& outputDir, const std::string& name) {
  std::string list;
  for (const std::string& input : inputs) list += input + ",";
  std::string directory = outputDir;
  std::string fileName = name;
  KWVellox merger;
  MergeOutcome outcome;
  outcome.Result = merger.Tiff_Merge(list, directory, fileName);
  outcome.Report = merger.Report();
  outcome.Output = (std::filesystem::path(outputDir) / name).string();
  return outcome;
}

RawChain WalkChain(const std::string& bytes) {
  RawChain chain;
  if (bytes.size() < 8) {
    chain.Problem = "shorter than a header";
    return chain;
  }
  chain.LittleEndian = bytes[0] == 'I';
  auto number = [&](std::size_t at, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) {
      const auto byte = static_cast<unsigned char>(bytes[at + (chain.LittleEndian ? width - 1 - i : i)]);
      value = value << 8 | byte;
    }
    return value;
  };
  std::set<std::uint32_t> seen;
  std::uint32_t next = number(4, 4);
  while (next != 0) {
    if (!seen.insert(next).second) {
      chain.Problem = "the chain loops at " + std::to_string(next);
      return chain;
    }
    if (std::uint64_t{next} + 2 > bytes.size()) {
      chain.Problem = "a link points past the end: " + std::to_string(next);
      return chain;
    }
    const std::uint64_t link = std::uint64_t{next} + 2 + 12ull * number(next, 2);
    if (link + 4 > bytes.size()) {
      chain.Problem = "a directory runs past the end: " + std::to_string(next);
      return chain;
    }
    chain.Directories.push_back(next);
    next = number(static_cast<std::size_t>(link), 4);
  }
  chain.EndsWithZeroLink = true;
  return chain;
}

testing::AssertionResult IsMergeOf(const std::string& output, const std::vector<PageRef>& expected) {
  if (!Exists(output)) return testing::AssertionFailure() << "no output file " << output;
  if (testing::AssertionResult pages = PagesMatch(output, expected); !pages) return pages;
  if (testing::AssertionResult tiffinfo = TiffinfoClean(output); !tiffinfo) return tiffinfo;
  const std::string bytes = ReadFile(output);
  const RawChain chain = WalkChain(bytes);
  if (!chain.EndsWithZeroLink) return testing::AssertionFailure() << output << ": " << chain.Problem;
  if (chain.Directories.size() != expected.size())
    return testing::AssertionFailure() << output << ": the chain has " << chain.Directories.size()
                                       << " directories, expected " << expected.size();
  if (static_cast<unsigned char>(bytes.back()) != 0xA0)
    return testing::AssertionFailure() << output << ": the last byte is not the trailer byte 0xA0";
  return testing::AssertionSuccess();
}

void CopyFile(const std::string& from, const std::string& to) {
  WriteFile(to, ReadFile(from));
}

}  // namespace vellox::test
