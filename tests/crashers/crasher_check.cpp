// Regression check for one defect file: merges a valid page followed by the
// file and compares the merge's result, the file's own result and the pages
// it contributed with what tests/crashers/manifest.txt expects.
//
//   vellox_crasher_check FILE MERGE_RESULT FILE_RESULT PAGES
//
// The merge must also leave no temporary file behind and write its output
// exactly when it reports success; when it does, the valid page comes first
// and the output's directories and values are aligned and overlap nothing.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_dir.hpp"
#include "support/tiff_builder.hpp"
#include "support/tiff_structure.hpp"
#include "vellox/KWVellox.hpp"

namespace {

int Failed(const std::string& what) {
  std::fprintf(stderr, "FAILED: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: vellox_crasher_check FILE MERGE_RESULT FILE_RESULT PAGES\n");
    return 2;
  }
  const std::string defect = argv[1];
  const long wantMerge = std::strtol(argv[2], nullptr, 10);
  const long wantFile = std::strtol(argv[3], nullptr, 10);
  const unsigned long wantPages = std::strtoul(argv[4], nullptr, 10);

  vellox::test::TempDir dir;
  vellox::test::TiffBuilder valid(true);
  valid.AddGreyPage(4, 2, "abcdefgh");
  vellox::test::WriteFile(dir / "valid.tif", valid.Bytes());
  vellox::test::WriteFile(dir / "defect.tif", vellox::test::ReadFile(defect));

  std::string list = (dir / "valid.tif") + "," + (dir / "defect.tif");
  std::string outputDir = dir.WithSeparator();
  std::string name = "merged.tif";
  vellox::KWVellox merger;
  const std::int32_t result = merger.Tiff_Merge(list, outputDir, name);
  const vellox::MergeReport& report = merger.Report();

  for (const std::string& file : dir.Names())
    if (file.rfind(".vellox-", 0) == 0) return Failed("temporary file left behind: " + file);
  const bool written = vellox::test::Exists(dir / name);
  if (written != (result == vellox::kMergeWritten))
    return Failed("result " + std::to_string(result) + " and an output that " +
                  (written ? "exists" : "does not exist"));

  std::string reason = report.Files.size() == 2 ? report.Files[1].Reason : "";
  std::printf("merge %d, file %d, pages %u: %s\n", result, report.Files.size() == 2 ? report.Files[1].Result : 0,
              report.Files.size() == 2 ? report.Files[1].Pages : 0, reason.c_str());
  if (result != wantMerge)
    return Failed("merge result " + std::to_string(result) + ", expected " + std::to_string(wantMerge));
  if (report.Files.size() != 2) return Failed("the report lists " + std::to_string(report.Files.size()) + " files");
  if (report.Files[0].Result != vellox::kMergeWritten || report.Files[0].Pages != 1)
    return Failed("the valid first file was not copied whole");
  if (report.Files[1].Result != wantFile)
    return Failed("file result " + std::to_string(report.Files[1].Result) + ", expected " + std::to_string(wantFile));
  if (report.Files[1].Pages != wantPages)
    return Failed("file pages " + std::to_string(report.Files[1].Pages) + ", expected " + std::to_string(wantPages));
  if (written && report.PagesWritten != 1 + wantPages) return Failed("output page count");
  if (written)
    if (const testing::AssertionResult structure = vellox::test::IsWellFormedTiff(dir / name); !structure)
      return Failed(structure.message());
  return 0;
}
