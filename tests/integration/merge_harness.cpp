#include "integration/merge_harness.hpp"

#include <fstream>
#include <set>

#include "support/tiff_builder.hpp"

namespace vellox::test {

MergeOutcome Merge(const std::vector<std::string>& inputs, const std::string& outputDir, const std::string& name,
                   const MergeOptions& options) {
  std::string list;
  for (const std::string& input : inputs) list += input + ",";
  std::string directory = outputDir;
  std::string fileName = name;
  KWVellox merger;
  merger.SetOptions(options);
  MergeOutcome outcome;
  outcome.Result = merger.Tiff_Merge(list, directory, fileName);
  outcome.Report = merger.Report();
  outcome.Output = (std::filesystem::path(outputDir) / name).string();
  return outcome;
}

RawChain WalkChain(const std::string& bytes) {
  RawChain chain;
  if (bytes.size() < 16) {
    chain.Problem = "shorter than a header";
    return chain;
  }
  chain.LittleEndian = bytes[0] == 'I';
  auto number = [&](std::uint64_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width; ++i)
      value = value << 8 | static_cast<unsigned char>(bytes[at + (chain.LittleEndian ? width - 1 - i : i)]);
    return value;
  };
  chain.Big = number(2, 2) == 43;
  const std::size_t countBytes = chain.Big ? 8 : 2, entryBytes = chain.Big ? 20 : 12, linkBytes = chain.Big ? 8 : 4;
  std::set<std::uint64_t> seen;
  std::uint64_t next = chain.Big ? number(8, 8) : number(4, 4);
  while (next != 0) {
    if (!seen.insert(next).second) {
      chain.Problem = "the chain loops at " + std::to_string(next);
      return chain;
    }
    if (next > bytes.size() || bytes.size() - next < countBytes) {
      chain.Problem = "a link points past the end: " + std::to_string(next);
      return chain;
    }
    const std::uint64_t entries = number(next, countBytes);
    if (entries > bytes.size() / entryBytes || next + countBytes + entryBytes * entries + linkBytes > bytes.size()) {
      chain.Problem = "a directory runs past the end: " + std::to_string(next);
      return chain;
    }
    const std::uint64_t link = next + countBytes + entryBytes * entries;
    if (bytes.compare(link + linkBytes, 2, "\r\n") != 0) chain.CrLfAfterLinks = false;
    chain.Directories.push_back(next);
    next = number(link, linkBytes);
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
  if (!chain.CrLfAfterLinks) return testing::AssertionFailure() << output << ": a link without CR LF after it";
  if (chain.Directories.size() != expected.size())
    return testing::AssertionFailure() << output << ": the chain has " << chain.Directories.size()
                                       << " directories, expected " << expected.size();
  if (static_cast<unsigned char>(bytes.back()) != 0xA0)
    return testing::AssertionFailure() << output << ": the last byte is not the trailer byte 0xA0";
  return IsWellFormedTiff(output);
}

std::uint64_t WriteSparseTiff(const std::string& path, std::uint32_t width, std::uint32_t height, bool big,
                              const std::string& marker) {
  const std::uint64_t length = std::uint64_t{width} * height;
  TiffBuilder b(true, big);
  const std::size_t at = b.Bytes().size() + (big ? 8 + 20 * 9 + 8 : 2 + 12 * 9 + 4) + 1;  // the directory, a byte
  b.SetFirstDirectory(
      b.AppendDirectory({b.Values(256, 4, {width}), b.Values(257, 4, {height}), b.Values(258, 3, {8}),
                         b.Values(259, 3, {1}), b.Values(262, 3, {1}), b.Values(273, big ? 16 : 4, {at}),
                         b.Values(277, 3, {1}), b.Values(278, 4, {height}), b.Values(279, big ? 16 : 4, {length})}));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << b.Bytes() << '\x55' << marker;
  out.seekp(static_cast<std::streamoff>(at + length - marker.size()));
  out << marker;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
  return at;
}

void CopyFile(const std::string& from, const std::string& to) {
  WriteFile(to, ReadFile(from));
}

}  // namespace vellox::test
