// exiftool, an independent reader that knows where TIFF wants directories
// and values and how IPTC blocks get damaged, validates merges of the
// bundled samples: into either byte order (the first input's), as classic
// TIFF and as BigTIFF, each with an IPTC block from the other byte order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <tuple>

#include "cli/cli_run.hpp"
#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_structure.hpp"

namespace vellox::test {
namespace {

bool ExiftoolAvailable() {
  static const bool available = std::system("command -v exiftool >/dev/null 2>&1") == 0;
  return available;
}

// The lines of `exiftool -validate -warning -a` that say an offset is odd
// or that IPTC bytes were swapped.
std::string AlignmentAndIptcWarnings(const std::string& path) {
  FILE* pipe = ::popen(("exiftool -validate -warning -a '" + path + "' 2>&1").c_str(), "r");
  std::string out;
  char buffer[4096];
  while (std::size_t got = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, got);
  EXPECT_EQ(::pclose(pipe), 0) << out;
  std::string found;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (line.find("Odd offset") != std::string::npos || line.find("byte-swapped") != std::string::npos)
      found += line + "\n";
  return found;
}

// A grey page with an IPTC-NAA block declared LONG, as Photoshop writes it.
// Its bytes are a byte stream in either file order; reversing them in groups
// of four, as a LONG would be, puts the 0x1C record marker in byte 3.
std::string PageWithIptc(bool little) {
  TiffBuilder tiff(little);
  const std::string iptc(
      "\x1C\x02\x00\x00\x02\x00\x04"  // record version 4
      "\x1C\x02\x05\x00\x05"
      "Title\0\0\0",  // object name, then padding to whole LONGs
      20);
  const std::uint32_t at = tiff.Append(iptc);
  tiff.AddGreyPage(5, 3, std::string(15, 'g'), 1, {tiff.Raw(33723, 4, iptc.size() / 4, at)});
  return tiff.Bytes();
}

// Copies of the samples in `dir`, those in byte order `little` first.
std::vector<std::string> SamplesFirstIn(bool little, const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(VELLOX_SAMPLES_DIR)) {
    names.push_back(entry.path().filename().string());
    std::filesystem::copy_file(entry.path(), dir / names.back());
  }
  std::sort(names.begin(), names.end());
  std::stable_partition(names.begin(), names.end(),
                        [&](const std::string& name) { return (ReadFile(dir / name)[0] == 'I') == little; });
  return names;
}

using Case = std::tuple<bool, std::string>;  // little-endian first; --format

class Exiftool : public testing::TestWithParam<Case> {};

TEST_P(Exiftool, FindsNoOddOffsetsNorSwappedIptcInMergedSamples) {
  if (!ExiftoolAvailable()) GTEST_SKIP() << "exiftool is not installed";
  const auto& [little, format] = GetParam();
  TempDir dir;
  std::vector<std::string> inputs = SamplesFirstIn(little, dir);
  ASSERT_GE(inputs.size(), 2u);
  WriteFile(dir / "iptc.tif", PageWithIptc(!little));
  inputs.insert(inputs.begin() + 1, "iptc.tif");
  std::string arguments = "merge --format " + format + " -o out.tif";
  for (const std::string& input : inputs) arguments += " " + input;

  const CliRun run = Vellox(arguments, dir.Path().string());

  ASSERT_EQ(run.exitCode, 0) << run.out;
  const std::string out = dir / "out.tif";
  ASSERT_EQ(ReadFile(out).substr(0, 2), little ? "II" : "MM");
  EXPECT_TRUE(IsWellFormedTiff(out));
  EXPECT_EQ(AlignmentAndIptcWarnings(out), "");
}

std::string CaseName(const testing::TestParamInfo<Case>& param) {
  return std::string(std::get<0>(param.param) ? "le_first_" : "be_first_") + std::get<1>(param.param);
}

INSTANTIATE_TEST_SUITE_P(BothOrdersBothFormats, Exiftool,
                         testing::Combine(testing::Bool(), testing::Values("classic", "bigtiff")), CaseName);

}  // namespace
}  // namespace vellox::test
