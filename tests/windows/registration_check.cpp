// Reads back what regsvr32 left in the registry.
//
//   registration_check.exe registered <path of KWVellox.dll>
//     the class, its ProgID, the type library and the interface are
//     registered for that DLL, and the ProgID creates a working object
//   registration_check.exe unregistered
//     none of it is left and the class cannot be created
#include <cstring>

#include "Vellox.h"
#include "win_test.hpp"

namespace {

using vellox::wintest::Checks;

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

bool KeyExists(const std::wstring& subkey) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  ::RegCloseKey(key);
  return true;
}

// The string value `name` (nullptr: the default value) of
// HKEY_CLASSES_ROOT\subkey; `found` tells whether it is there.
std::wstring Value(const std::wstring& subkey, const wchar_t* name, bool* found = nullptr) {
  wchar_t buffer[1024] = {};
  DWORD bytes = sizeof buffer;
  const bool ok =
      ::RegGetValueW(HKEY_CLASSES_ROOT, subkey.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &bytes) == ERROR_SUCCESS;
  if (found != nullptr) *found = ok;
  return ok ? buffer : L"";
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

void CheckRegistered(Checks& checks, const std::wstring& dll) {
  const std::wstring classKey = L"CLSID\\" + GuidText(CLSID_KWVellox);
  checks.Expect(KeyExists(classKey), "the class key exists");
  const std::wstring server = Value(classKey + L"\\InprocServer32", nullptr);
  checks.Expect(SameText(server, dll),
                "InprocServer32 is the DLL's path (got " + vellox::wintest::Narrow(server) + ")");
  checks.Expect(Value(classKey + L"\\InprocServer32", L"ThreadingModel") == L"Apartment", "ThreadingModel Apartment");
  checks.Expect(Value(classKey + L"\\ProgID", nullptr) == L"Vellox.KWVellox", "the class names its ProgID");
  checks.Expect(SameText(Value(classKey + L"\\TypeLib", nullptr), GuidText(LIBID_Vellox)),
                "the class names its type library");
  checks.Expect(Value(classKey + L"\\Version", nullptr) == L"1.0", "the class version 1.0");
  checks.Expect(SameText(Value(L"Vellox.KWVellox\\CLSID", nullptr), GuidText(CLSID_KWVellox)),
                "the ProgID key names the CLSID");

  CLSID resolved{};
  checks.Expect(SUCCEEDED(::CLSIDFromProgID(L"Vellox.KWVellox", &resolved)) && IsEqualCLSID(resolved, CLSID_KWVellox),
                "the ProgID resolves to the CLSID");

  BSTR libraryPath = nullptr;
  if (checks.Expect(SUCCEEDED(::QueryPathOfRegTypeLib(LIBID_Vellox, 1, 0, LOCALE_NEUTRAL, &libraryPath)),
                    "the type library 1.0 is registered")) {
    const std::wstring path = libraryPath != nullptr ? libraryPath : L"";
    checks.Expect(SameText(path, dll),
                  "the type library is registered at the DLL's plain path (got " + vellox::wintest::Narrow(path) + ")");
    ::SysFreeString(libraryPath);
  }
  const std::wstring interfaceKey = L"Interface\\" + GuidText(IID__KWVellox);
  checks.Expect(SameText(Value(interfaceKey + L"\\TypeLib", nullptr), GuidText(LIBID_Vellox)),
                "the interface is registered with its type library");

  IDispatch* object = nullptr;
  checks.ExpectHr(::CoCreateInstance(CLSID_KWVellox, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     reinterpret_cast<void**>(&object)),
                  S_OK, "CoCreateInstance creates the registered class");
  if (object != nullptr) {
    _KWVellox* dual = nullptr;
    BSTR version = nullptr;
    if (SUCCEEDED(object->QueryInterface(IID__KWVellox, reinterpret_cast<void**>(&dual)))) {
      dual->Version(&version);
      dual->Release();
    }
    checks.Expect(version != nullptr && std::wcscmp(version, L"1.0.4") == 0, "the created object's Version is 1.0.4");
    ::SysFreeString(version);
    object->Release();
  }
}

void CheckUnregistered(Checks& checks) {
  CLSID resolved{};
  checks.Expect(FAILED(::CLSIDFromProgID(L"Vellox.KWVellox", &resolved)), "the ProgID no longer resolves");
  checks.Expect(!KeyExists(L"Vellox.KWVellox"), "the ProgID key is gone");
  checks.Expect(!KeyExists(L"CLSID\\" + GuidText(CLSID_KWVellox)), "the class key is gone");
  BSTR libraryPath = nullptr;
  checks.Expect(FAILED(::QueryPathOfRegTypeLib(LIBID_Vellox, 1, 0, LOCALE_NEUTRAL, &libraryPath)),
                "the type library is no longer registered");
  ::SysFreeString(libraryPath);
  checks.Expect(!KeyExists(L"TypeLib\\" + GuidText(LIBID_Vellox)), "the type library key is gone");
  checks.Expect(!KeyExists(L"Interface\\" + GuidText(IID__KWVellox)), "the interface key is gone");
  IDispatch* object = nullptr;
  checks.ExpectHr(::CoCreateInstance(CLSID_KWVellox, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     reinterpret_cast<void**>(&object)),
                  REGDB_E_CLASSNOTREG, "CoCreateInstance fails");
  if (object != nullptr) object->Release();
}

}  // namespace

int main(int argc, char** argv) {
  Checks checks("registration_check");
  const bool registered = argc == 3 && std::strcmp(argv[1], "registered") == 0;
  const bool unregistered = argc == 2 && std::strcmp(argv[1], "unregistered") == 0;
  if (!registered && !unregistered) {
    std::printf("usage: registration_check registered <KWVellox.dll> | unregistered\n");
    return 2;
  }
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (registered) {
    CheckRegistered(checks, vellox::wintest::Widen(argv[2]));
  } else {
    CheckUnregistered(checks);
  }
  ::CoUninitialize();
  return checks.Finish();
}
