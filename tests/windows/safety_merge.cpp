// One merge through the library as built for Windows, for file_safety.sh:
//   safety_merge.exe [--sync] [--hold PATH]... [--stall] LIST FOLDER NAME
// prints the result code, then the report's reason. --hold keeps PATH open
// for writing, as another program would, for the length of the merge;
// --stall prints "MERGING" at the first yield and then waits to be killed.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "vellox/KWVellox.hpp"

int main(int argc, char** argv) {
  vellox::MergeOptions options;
  std::vector<HANDLE> held;
  bool stall = false;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  while (!arguments.empty() && arguments.front().rfind("--", 0) == 0) {
    if (arguments.front() == "--sync") options.Sync = true;
    if (arguments.front() == "--stall") stall = true;
    if (arguments.front() == "--hold" && arguments.size() > 1) {
      arguments.erase(arguments.begin());
      held.push_back(::CreateFileA(arguments.front().c_str(), GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                   nullptr));
      if (held.back() == INVALID_HANDLE_VALUE) return std::printf("cannot hold %s\n", arguments.front().c_str()), 2;
    }
    arguments.erase(arguments.begin());
  }
  if (arguments.size() != 3)
    return std::printf("usage: safety_merge [--sync] [--hold PATH]... [--stall] LIST FOLDER NAME\n"), 2;

  vellox::KWVellox merger;
  merger.SetOptions(options);
  merger.SetYieldHook([stall] {
    if (!stall) return;
    std::printf("MERGING\n");
    std::fflush(stdout);
    ::Sleep(INFINITE);
  });
  const std::int32_t result = merger.Tiff_Merge(arguments[0], arguments[1], arguments[2]);
  std::printf("%d\n%s\n", static_cast<int>(result), merger.Report().Reason.c_str());
  for (HANDLE file : held) ::CloseHandle(file);
  return 0;
}
