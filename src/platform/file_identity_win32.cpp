// File identity on Windows: the volume's serial number and the file index.
#include <windows.h>

#include <cwctype>

#include "platform/file_identity.hpp"

namespace vellox::platform {
namespace {

std::wstring WideOf(const std::string& text) {
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

bool IdentityOfExisting(const std::wstring& path, FileIdentity& identity, bool wantFolder) {
  const HANDLE handle = ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = ::GetFileInformationByHandle(handle, &info) != 0 &&
                  (!wantFolder || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
  ::CloseHandle(handle);
  if (!ok) return false;
  identity.Known = true;
  identity.Device = info.dwVolumeSerialNumber;
  identity.Node = static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
  return true;
}

}  // namespace

FileIdentity IdentityOf(const std::string& path) noexcept {
  try {
    FileIdentity identity;
    std::wstring wide = WideOf(path);
    if (IdentityOfExisting(wide, identity, false)) return identity;
    while (wide.size() > 1 && (wide.back() == L'\\' || wide.back() == L'/')) wide.pop_back();
    const std::size_t slash = wide.find_last_of(L"\\/:");
    std::wstring folder = slash == std::wstring::npos ? L"." : wide.substr(0, slash + 1);
    std::wstring name = slash == std::wstring::npos ? wide : wide.substr(slash + 1);
    if (name.empty() || name == L"." || name == L".." || !IdentityOfExisting(folder, identity, true)) return {};
    // Names differ only in case on Windows' file systems as users see them.
    for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
    identity.Name.assign(reinterpret_cast<const char*>(name.data()), name.size() * sizeof(wchar_t));
    return identity;
  } catch (...) {
    return {};
  }
}

}  // namespace vellox::platform
