#include "version_info.hpp"

#include <vector>

#include "module.hpp"

namespace vellox::com {
namespace {

HRESULT LastErrorOr(HRESULT fallback) {
  const DWORD error = ::GetLastError();
  return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : fallback;
}

}  // namespace

HRESULT ReadVersionText(std::wstring& text) {
  const std::wstring path = ThisModulePath();
  if (path.empty()) return LastErrorOr(E_FAIL);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
  if (size == 0) return LastErrorOr(HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND));
  std::vector<unsigned char> block(size);
  if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) return LastErrorOr(E_FAIL);
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
    return HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND);
  const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
  const unsigned major = HIWORD(fixed->dwFileVersionMS);
  const unsigned minor = LOWORD(fixed->dwFileVersionMS);
  const unsigned revision = LOWORD(fixed->dwFileVersionLS);
  text = std::to_wstring(major) + L"." + std::to_wstring(minor) + L"." + std::to_wstring(revision);
  return S_OK;
}

}  // namespace vellox::com
