// Paths on Windows: separators, folder probes, the forms of a path, and the
// UTF-8 the library speaks turned into the UTF-16 of the wide file APIs and
// back, so any Unicode path works.
#include <windows.h>

#include <algorithm>
#include <cstdint>

#include "platform/files.hpp"
#include "platform/win32_common.hpp"

namespace vellox::platform {

bool IsSeparator(char c) noexcept {
  return c == '\\' || c == '/';
}
char PreferredSeparator() noexcept {
  return '\\';
}

bool ContainsSeparator(std::string_view path) noexcept {
  return std::any_of(path.begin(), path.end(), IsSeparator);
}

bool IsDirectory(const std::string& path) noexcept {
  std::wstring wide;
  if (path.empty() || !ToWide(path, wide)) return false;
  const DWORD attributes = ::GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  // A link or junction: follow it, as stat does, and look at its target.
  const HANDLE handle = ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool isDirectory =
      ::GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  ::CloseHandle(handle);
  return isDirectory;
}

bool ToWide(const std::string& utf8, std::wstring& wide) {
  wide.clear();
  if (utf8.empty()) return true;
  if (utf8.find('\0') != std::string::npos) return false;
  if (utf8.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const int inLength = static_cast<int>(utf8.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inLength, nullptr, 0);
  if (needed <= 0) return false;
  wide.resize(static_cast<std::size_t>(needed));
  return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), inLength, wide.data(), needed) == needed;
}

std::string ToUtf8(const wchar_t* wide, std::size_t length) {
  if (length == 0 || length > static_cast<std::size_t>(INT32_MAX)) return {};
  const int inLength = static_cast<int>(length);
  const int needed = ::WideCharToMultiByte(CP_UTF8, 0, wide, inLength, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return {};
  std::string utf8(static_cast<std::size_t>(needed), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide, inLength, utf8.data(), needed, nullptr, nullptr);
  return utf8;
}

std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  const bool hasDrive = path.size() >= 2 && path[1] == ':';
  if (slash == std::string::npos) return hasDrive ? path.substr(0, 2) : std::string(".");
  if (slash == 0) return path.substr(0, 1);
  if (hasDrive && slash == 2) return path.substr(0, 3);
  return path.substr(0, slash);
}

std::wstring FinalPathOf(HANDLE file) {
  const DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  DWORD length = ::GetFinalPathNameByHandleW(file, nullptr, 0, flags);
  if (length == 0) return {};
  std::wstring path(length, L'\0');
  length = ::GetFinalPathNameByHandleW(file, path.data(), length, flags);
  if (length == 0 || length >= path.size()) return {};
  path.resize(length);
  return path;
}

std::wstring FullPathOf(const std::wstring& path, bool longNames) {
  DWORD length = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return {};
  std::wstring full(length, L'\0');
  length = ::GetFullPathNameW(path.c_str(), length, full.data(), nullptr);
  if (length == 0 || length >= full.size()) return {};
  full.resize(length);
  if (!longNames) return full;
  length = ::GetLongPathNameW(full.c_str(), nullptr, 0);
  if (length == 0) return full;
  std::wstring expanded(length, L'\0');
  length = ::GetLongPathNameW(full.c_str(), expanded.data(), length);
  if (length == 0 || length >= expanded.size()) return full;
  expanded.resize(length);
  return expanded;
}

std::wstring FolderOf(const std::wstring& path) {
  const auto slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

}  // namespace vellox::platform
