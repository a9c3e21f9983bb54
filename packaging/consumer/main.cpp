// Merges the given TIFF files through the library's API and reports the
// outcome: exit 0 when every output was written.
//   vellox_consumer OUTPUT INPUT...
// writes OUTPUT with vellox::Merge, then OUTPUT.1.tif and OUTPUT.2.tif, the
// same inputs again, with vellox::MergeMany over two requests.
#include <iostream>
#include <vector>
#include <vellox/vellox.hpp>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: vellox_consumer OUTPUT INPUT...\n";
    return 2;
  }
  vellox::MergeRequest request;
  for (int i = 2; i < argc; ++i) request.Inputs.push_back(argv[i]);
  request.Output = argv[1];
  vellox::MergeReport report = vellox::Merge(request);
  std::cout << "vellox " << vellox::Version() << ": " << vellox::ToString(report.Status) << ", "
            << report.PagesWritten << " pages\n";
  if (report.Status != vellox::Status::Ok) return 1;

  std::vector<vellox::MergeRequest> requests(2, request);
  requests[0].Output = std::string(argv[1]) + ".1.tif";
  requests[1].Output = std::string(argv[1]) + ".2.tif";
  std::vector<vellox::MergeReport> reports = vellox::MergeMany(requests, {.Workers = 2});
  for (const vellox::MergeReport& each : reports) {
    std::cout << each.Output << ": " << vellox::ToString(each.Status) << ", " << each.PagesWritten << " pages\n";
    if (each.Status != vellox::Status::Ok) return 1;
  }
  return 0;
}
