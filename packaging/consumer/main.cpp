// Merges the given TIFF files through the library's Tiff_Merge and reports
// the result: exit 0 when the output was written.
//   vellox_consumer OUTPUTDIR NAME INPUT...   (inputs given as full paths)
#include <cstdint>
#include <iostream>
#include <string>
#include <vellox/KWVellox.hpp>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::cerr << "usage: vellox_consumer OUTPUTDIR NAME INPUT...\n";
    return 2;
  }
  std::string outputDir = argv[1], name = argv[2], list;
  for (int i = 3; i < argc; ++i) list += std::string(argv[i]) + ",";
  vellox::KWVellox merger;
  const std::int32_t result = merger.Tiff_Merge(list, outputDir, name);
  std::cout << "vellox " << merger.Version() << ": result " << result << ", "
            << merger.Report().PagesWritten << " pages\n";
  return result == vellox::kMergeWritten ? 0 : 1;
}
