// DllRegisterServer and DllUnregisterServer: the type library (with its
// interface), the class under its CLSID and the ProgID.
#include <windows.h>

#include <ole2.h>
#include <oleauto.h>

#include <string>

#include "Vellox.h"
#include "module.hpp"

namespace vellox::com {
namespace {

constexpr wchar_t kProgId[] = L"Vellox.KWVellox";
constexpr wchar_t kClassVersion[] = L"1.0";
constexpr WORD kLibraryMajor = 1;
constexpr WORD kLibraryMinor = 0;

// The type library is registered for this DLL's platform only, so that the
// x86 and x64 DLLs can be registered side by side on 64-bit Windows (each
// under its own TypeLib\{LIBID}\1.0\0\win32 or win64 key).
#ifdef _WIN64
constexpr SYSKIND kSysKind = SYS_WIN64;
// The registry view of the other DLL: 64-bit Windows keeps HKCR\CLSID
// apart for 32- and 64-bit processes, but the ProgID key is shared.
constexpr REGSAM kOtherView = KEY_WOW64_32KEY;
#else
constexpr SYSKIND kSysKind = SYS_WIN32;
constexpr REGSAM kOtherView = KEY_WOW64_64KEY;  // ignored on 32-bit Windows
#endif

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  ::StringFromGUID2(guid, text, 40);
  return text;
}

std::wstring ClassKey() {
  return L"CLSID\\" + GuidText(CLSID_KWVellox);
}

// Writes `value` as the default (name == nullptr) or named string value of
// HKEY_CLASSES_ROOT\subkey, creating the key.
HRESULT SetString(const std::wstring& subkey, const wchar_t* name, const std::wstring& value) {
  HKEY key = nullptr;
  LSTATUS status = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  const auto bytes = static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t));
  status = ::RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()), bytes);
  ::RegCloseKey(key);
  return HRESULT_FROM_WIN32(status);
}

// The default string value of HKEY_CLASSES_ROOT\subkey; empty when absent.
std::wstring GetDefaultString(const std::wstring& subkey) {
  wchar_t buffer[256] = {};
  DWORD bytes = sizeof buffer;
  if (::RegGetValueW(HKEY_CLASSES_ROOT, subkey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, buffer, &bytes) !=
      ERROR_SUCCESS)
    return {};
  return buffer;
}

// Removes HKEY_CLASSES_ROOT\subkey with everything under it; a key that is
// not there is already removed.
HRESULT DeleteTree(const std::wstring& subkey) {
  const LSTATUS status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, subkey.c_str());
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  return HRESULT_FROM_WIN32(status);
}

HRESULT RegisterTypeLibrary(const std::wstring& path) {
  ITypeLib* library = nullptr;
  // REGKIND_NONE and an explicit RegisterTypeLib record the plain path.
  HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, &library);
  if (FAILED(hr)) return hr;
  std::wstring writable = path;
  hr = ::RegisterTypeLib(library, writable.data(), nullptr);
  library->Release();
  return hr;
}

HRESULT UnregisterTypeLibrary() {
  const HRESULT hr = ::UnRegisterTypeLib(LIBID_Vellox, kLibraryMajor, kLibraryMinor, LOCALE_NEUTRAL, kSysKind);
  // A library that is not registered is already gone; Wine reports that as
  // E_INVALIDARG, Windows as TYPE_E_REGISTRYACCESS or TYPE_E_LIBNOTREGISTERED.
  if (hr == E_INVALIDARG || hr == TYPE_E_REGISTRYACCESS || hr == TYPE_E_LIBNOTREGISTERED) return S_OK;
  return hr;
}

HRESULT RegisterClassKeys(const std::wstring& path) {
  const std::wstring classKey = ClassKey();
  HRESULT hr = SetString(classKey, nullptr, L"KWVellox");
  if (SUCCEEDED(hr)) hr = SetString(classKey + L"\\InprocServer32", nullptr, path);
  if (SUCCEEDED(hr)) hr = SetString(classKey + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
  if (SUCCEEDED(hr)) hr = SetString(classKey + L"\\ProgID", nullptr, kProgId);
  if (SUCCEEDED(hr)) hr = SetString(classKey + L"\\TypeLib", nullptr, GuidText(LIBID_Vellox));
  if (SUCCEEDED(hr)) hr = SetString(classKey + L"\\Version", nullptr, kClassVersion);
  if (SUCCEEDED(hr)) hr = SetString(kProgId, nullptr, kProgId);
  if (SUCCEEDED(hr)) hr = SetString(std::wstring(kProgId) + L"\\CLSID", nullptr, GuidText(CLSID_KWVellox));
  return hr;
}

// True while the DLL of the other platform is registered for this class
// (in the other registry view of 64-bit Windows).
bool OtherPlatformRegistered() {
  HKEY key = nullptr;
  const std::wstring server = ClassKey() + L"\\InprocServer32";
  if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, server.c_str(), 0, KEY_QUERY_VALUE | kOtherView, &key) != ERROR_SUCCESS)
    return false;
  ::RegCloseKey(key);
  return true;
}

HRESULT UnregisterAll() {
  HRESULT result = S_OK;
  HRESULT hr = DeleteTree(ClassKey());
  if (FAILED(hr)) result = hr;
  // The ProgID is removed only while it still names this class and no DLL
  // of the other platform still serves it.
  const std::wstring progIdClass = GetDefaultString(std::wstring(kProgId) + L"\\CLSID");
  if ((progIdClass.empty() || _wcsicmp(progIdClass.c_str(), GuidText(CLSID_KWVellox).c_str()) == 0) &&
      !OtherPlatformRegistered()) {
    hr = DeleteTree(kProgId);
    if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  }
  hr = UnregisterTypeLibrary();
  if (FAILED(hr) && SUCCEEDED(result)) result = hr;
  return result;
}

HRESULT RegisterAll() {
  const std::wstring path = ThisModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(::GetLastError());
  HRESULT hr = RegisterTypeLibrary(path);
  if (SUCCEEDED(hr)) hr = RegisterClassKeys(path);
  // Leave nothing half registered.
  if (FAILED(hr)) UnregisterAll();
  return hr;
}

}  // namespace
}  // namespace vellox::com

STDAPI DllRegisterServer() {
  try {
    return vellox::com::RegisterAll();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDAPI DllUnregisterServer() {
  try {
    return vellox::com::UnregisterAll();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
