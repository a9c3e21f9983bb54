#include "text.hpp"

#include <climits>

namespace vellox::com {

std::optional<std::string> BstrToUtf8(BSTR text) {
  const UINT length = ::SysStringLen(text);
  if (length == 0) return std::string();
  if (length > INT_MAX) return std::nullopt;
  const int inLength = static_cast<int>(length);
  const int needed = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, inLength, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::nullopt;
  std::string utf8(static_cast<std::size_t>(needed), '\0');
  if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, inLength, utf8.data(), needed, nullptr, nullptr) !=
      needed)
    return std::nullopt;
  return utf8;
}

BSTR Utf8ToBstr(const std::string& text) {
  if (text.empty()) return ::SysAllocStringLen(L"", 0);
  if (text.size() > INT_MAX) return nullptr;
  const int inLength = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), inLength, nullptr, 0);
  if (needed <= 0) return nullptr;
  BSTR result = ::SysAllocStringLen(nullptr, static_cast<UINT>(needed));
  if (result == nullptr) return nullptr;
  if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), inLength, result, needed) != needed) {
    ::SysFreeString(result);
    return nullptr;
  }
  return result;
}

}  // namespace vellox::com
