// What the Windows files of the file layer share: UTF-8 and UTF-16, the
// system's messages, handles, offsets, and the forms of a path. Private to
// platform/.
#pragma once

#include <windows.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vellox::platform {

// UTF-8 to UTF-16. Fails (returns false) on text that is not valid UTF-8
// and on a NUL inside the text (the file APIs would end the name there), so
// a damaged path is never turned into the name of some other file.
bool ToWide(const std::string& utf8, std::wstring& wide);

// UTF-16 to UTF-8 (empty where the text cannot be converted).
std::string ToUtf8(const wchar_t* wide, std::size_t length);
inline std::string ToUtf8(const std::wstring& wide) {
  return ToUtf8(wide.data(), wide.size());
}

// The system's text for an error code, or "error N" where it has none.
inline std::string SystemMessage(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = text != nullptr ? ToUtf8(text, length) : std::string();
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  if (!message.empty()) return message;
  char code[32];
  std::snprintf(code, sizeof code, "error %lu", static_cast<unsigned long>(error));
  return code;
}

// The system's text as a clause that fits inside a sentence: "access is
// denied" for "Access is denied.". Only a leading capital followed by a
// lower-case letter is lowered, so that a name in capitals stays.
inline std::string ErrorClause(DWORD error) {
  std::string text = SystemMessage(error);
  while (!text.empty() && text.back() == '.') text.pop_back();
  if (text.size() >= 2 && std::isupper(static_cast<unsigned char>(text[0])) &&
      std::islower(static_cast<unsigned char>(text[1])))
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

inline HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}
inline std::intptr_t FromHandle(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

// ReadFile and WriteFile move at most a DWORD at a time; stay well below.
inline constexpr std::size_t kMaxIoBytes = 1u << 30;

inline OVERLAPPED AtOffset(std::uint64_t offset) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

// The folder part of a path: everything before its last separator, or "."
// for a bare name. A drive root keeps its separator ("C:\" rather than
// "C:", which means the drive's current directory), and a name after a
// bare drive ("C:name") lies in that drive's current directory.
std::string ParentOf(const std::string& path);

inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

inline bool IsNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// A handle closed when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) noexcept : handle_(handle) {}
  ~Handle() { Reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE Get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE handle = INVALID_HANDLE_VALUE) noexcept {
    if (handle_ != INVALID_HANDLE_VALUE) ::CloseHandle(handle_);
    handle_ = handle;
  }
  // Hands the handle over: it is no longer closed here.
  HANDLE Release() noexcept {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  HANDLE handle_;
};

// Marks the file for deletion when its last handle closes, or clears that
// mark. Set on a handle, it needs no name: whatever becomes of the path, the
// file behind the handle is the one that goes. Windows closes the handles
// of a process however it ends, so a file marked this way never outlives it.
inline bool SetDeletion(HANDLE file, bool deleteOnClose) {
  FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(deleteOnClose ? TRUE : FALSE)};
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// The path of the open file with every link on the way resolved
// ("\\?\C:\..."), or empty where the system cannot say.
std::wstring FinalPathOf(HANDLE file);

// An absolute form of the path (empty on failure); `longNames` also
// expands 8.3 short names where the file exists.
std::wstring FullPathOf(const std::wstring& path, bool longNames = false);

// Everything up to and including the last separator.
std::wstring FolderOf(const std::wstring& path);

}  // namespace vellox::platform
