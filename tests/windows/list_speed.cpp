// Times one merge of a long list through the COM server (the vtable call
// a compiled host makes) and, for comparison, through the library linked
// in, on the same files in the same process:
//
//   list_speed.exe <KWVellox.dll> <work folder> <entries> [--library]
//
// merges <work folder>\in\0.tif ... <entries - 1>.tif (written here when
// missing) into <work folder>\com.tif and prints "com SECONDS" (the
// better of two runs, as the native side takes the best of three); with
// --library also "library SECONDS", the same merge without COM, which
// tells the cost of COM apart from that of the file layer under Wine.
// com_speed.sh compares the COM time with the native command line.
#include <chrono>

#include "Vellox.h"
#include "vellox/KWVellox.hpp"
#include "win_test.hpp"

namespace {

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

double Seconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double>(duration).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::printf("usage: list_speed <KWVellox.dll> <work folder> <entries> [--library]\n");
    return 2;
  }
  std::wstring work = vellox::wintest::Widen(argv[2]);
  if (work.back() != L'\\') work.push_back(L'\\');
  vellox::wintest::MakeDirectories(work + L"in");
  const int entries = std::atoi(argv[3]);

  std::wstring list;
  const std::string page = vellox::wintest::SampleTiff(true, 1, 16, 8, 3);
  for (int i = 0; i < entries; ++i) {
    const std::wstring path = work + L"in\\" + std::to_wstring(i) + L".tif";
    if (!vellox::wintest::FileExists(path) && !vellox::wintest::WriteBytes(path, page)) {
      std::printf("cannot write the inputs\n");
      return 1;
    }
    list += path + L",";
  }

  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  const HMODULE module = ::LoadLibraryW(vellox::wintest::Widen(argv[1]).c_str());
  const auto getClassObject = reinterpret_cast<GetClassObjectFunction>(
      reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
  IClassFactory* factory = nullptr;
  _KWVellox* object = nullptr;
  if (getClassObject == nullptr ||
      FAILED(getClassObject(CLSID_KWVellox, IID_IClassFactory, reinterpret_cast<void**>(&factory))) ||
      FAILED(factory->CreateInstance(nullptr, IID__KWVellox, reinterpret_cast<void**>(&object)))) {
    std::printf("cannot create the object\n");
    return 1;
  }
  factory->Release();

  int failures = 0;
  double best = 1e9;
  for (int run = 0; run < 2; ++run) {
    vellox::wintest::Bstr files(list);
    vellox::wintest::Bstr folder(work);
    vellox::wintest::Bstr name(L"com.tif");
    LONG code = 0;
    const auto start = std::chrono::steady_clock::now();
    object->Tiff_Merge(files.Address(), folder.Address(), name.Address(), &code);
    best = std::min(best, Seconds(std::chrono::steady_clock::now() - start));
    if (code != 1) ++failures;
  }
  object->Release();
  std::printf("com %.3f\n", best);
  std::fflush(stdout);
  if (argc == 4) {
    ::CoUninitialize();
    return failures == 0 ? 0 : 1;
  }

  best = 1e9;
  const std::string utf8List = vellox::wintest::Narrow(list);
  const std::string utf8Folder = vellox::wintest::Narrow(work);
  {
    vellox::KWVellox merger;
    std::string files = utf8List, folder = utf8Folder, name = "library.tif";
    const auto start = std::chrono::steady_clock::now();
    if (merger.Tiff_Merge(files, folder, name) != 1) ++failures;
    best = std::min(best, Seconds(std::chrono::steady_clock::now() - start));
  }
  std::printf("library %.3f\n", best);
  ::CoUninitialize();
  return failures == 0 ? 0 : 1;
}
