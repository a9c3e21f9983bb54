// Windows implementation of the file layer. Paths arrive as UTF-8 and are
// converted to UTF-16 for the wide file APIs, so any Unicode path works.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "platform/files.hpp"

namespace vellox::platform {
namespace {

// UTF-8 to UTF-16. Fails (returns false) on text that is not valid UTF-8
// and on a NUL inside the text (the file APIs would end the name there), so
// a damaged path is never turned into the name of some other file.
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

std::string SystemMessage(DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length =
      ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = text != nullptr ? ToUtf8(text, length) : std::string();
  if (text != nullptr) ::LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
    message.pop_back();
  char code[32];
  std::snprintf(code, sizeof code, "error %lu", static_cast<unsigned long>(error));
  return message.empty() ? std::string(code) : message + " (" + code + ")";
}

std::string DescribeError(const char* what, const std::string& path, DWORD error) {
  return std::string(what) + " '" + path + "': " + SystemMessage(error);
}

HANDLE AsHandle(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}
std::intptr_t FromHandle(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

// ReadFile and WriteFile move at most a DWORD at a time; stay well below.
constexpr std::size_t kMaxIoBytes = 1u << 30;

OVERLAPPED AtOffset(std::uint64_t offset) {
  OVERLAPPED position{};
  position.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  position.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return position;
}

// The folder part of a path: everything before its last separator, or "."
// for a bare name. A drive root keeps its separator ("C:\" rather than
// "C:", which means the drive's current directory), and a name after a
// bare drive ("C:name") lies in that drive's current directory.
std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  const bool hasDrive = path.size() >= 2 && path[1] == ':';
  if (slash == std::string::npos) return hasDrive ? path.substr(0, 2) : std::string(".");
  if (slash == 0) return path.substr(0, 1);
  if (hasDrive && slash == 2) return path.substr(0, 3);
  return path.substr(0, slash);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens an existing file for reading; the handle is INVALID_HANDLE_VALUE
// (and GetLastError tells why) when the path cannot be converted or opened.
HANDLE OpenForReading(const std::string& path) {
  std::wstring wide;
  if (!ToWide(path, wide) || wide.empty()) {
    ::SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  return ::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// A disk file that is not a directory (CreateFileW does not open folders
// without FILE_FLAG_BACKUP_SEMANTICS, but devices and pipes do open).
bool IsRegularFile(HANDLE handle, std::uint64_t& size) {
  if (::GetFileType(handle) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return false;
  LARGE_INTEGER length{};
  if (!::GetFileSizeEx(handle, &length) || length.QuadPart < 0) return false;
  size = static_cast<std::uint64_t>(length.QuadPart);
  return true;
}

bool IsNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Six characters for a temporary name, different in every call: a counter
// mixed with the clock, the process and the call's address.
std::wstring UniqueSuffix() {
  static std::atomic<std::uint64_t> counter{0};
  LARGE_INTEGER clock{};
  ::QueryPerformanceCounter(&clock);
  std::uint64_t state = static_cast<std::uint64_t>(clock.QuadPart) ^
                        (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32) ^
                        (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull) ^ reinterpret_cast<std::uintptr_t>(&state);
  state ^= state >> 33;
  state *= 0xFF51AFD7ED558CCDull;
  state ^= state >> 33;
  static constexpr wchar_t kLetters[] = L"abcdefghijklmnopqrstuvwxyz0123456789";
  std::wstring suffix;
  for (int i = 0; i < 6; ++i) {
    suffix.push_back(kLetters[state % 36]);
    state /= 36;
  }
  return suffix;
}

}  // namespace

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

Probe ProbeInput(const std::string& path) noexcept {
  if (path.empty() || IsSeparator(path.back())) return {};
  const HANDLE handle = OpenForReading(path);
  if (handle == INVALID_HANDLE_VALUE) {
    // A missing file (or a link to one) in a folder that exists is
    // dropped like an empty file; anything else cannot be used.
    if (IsNotFound(::GetLastError()) && IsDirectory(ParentOf(path))) return {ProbeKind::Missing, 0};
    return {};
  }
  Probe probe;
  std::uint64_t size = 0;
  if (IsRegularFile(handle, size)) probe = {ProbeKind::RegularFile, size};
  ::CloseHandle(handle);
  return probe;
}

bool RemoveFile(const std::string& path) noexcept {
  std::wstring wide;
  return !path.empty() && ToWide(path, wide) && ::DeleteFileW(wide.c_str()) != 0;
}

// ---------------------------------------------------------------------------
// InputFile

InputFile::~InputFile() {
  Close();
}

InputFile::OpenResult InputFile::Open(const std::string& path) noexcept {
  Close();
  if (path.empty() || IsSeparator(path.back())) return OpenResult::Failed;
  const HANDLE handle = OpenForReading(path);
  if (handle == INVALID_HANDLE_VALUE) return IsNotFound(::GetLastError()) ? OpenResult::Missing : OpenResult::Failed;
  std::uint64_t size = 0;
  if (!IsRegularFile(handle, size)) {
    ::CloseHandle(handle);
    return OpenResult::Failed;
  }
  handle_ = FromHandle(handle);
  size_ = size;
  return OpenResult::Ok;
}

void InputFile::Close() noexcept {
  if (IsOpen()) ::CloseHandle(AsHandle(handle_));
  handle_ = -1;
  size_ = 0;
}

bool InputFile::IsOpen() const noexcept {
  return AsHandle(handle_) != INVALID_HANDLE_VALUE;
}

bool InputFile::ReadAt(std::uint64_t offset, void* destination, std::size_t length) const noexcept {
  if (!IsOpen() || offset > size_ || length > size_ - offset) return false;
  auto* out = static_cast<char*>(destination);
  while (length > 0) {
    OVERLAPPED position = AtOffset(offset);
    DWORD got = 0;
    const auto step = static_cast<DWORD>(std::min(length, kMaxIoBytes));
    if (!::ReadFile(AsHandle(handle_), out, step, &got, &position) || got == 0) return false;
    out += got;
    offset += got;
    length -= got;
  }
  return true;
}

// ---------------------------------------------------------------------------
// OutputFile

OutputFile::~OutputFile() {
  Discard();
}

void OutputFile::CreateTemporaryIn(const std::string& directory) {
  std::wstring folder;
  if (!ToWide(directory, folder))
    throw IoError(DescribeError("cannot create a file in", directory, ERROR_INVALID_NAME));
  // CREATE_NEW creates the file exclusively; a name already taken is tried
  // again with another suffix.
  constexpr int kAttempts = 100;
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    const std::wstring name = folder + L".vellox-" + UniqueSuffix() + L".tmp";
    const HANDLE handle = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      handle_ = FromHandle(handle);
      temporaryPath_ = ToUtf8(name.data(), name.size());
      buffer_.clear();
      buffer_.reserve(kOutputBufferBytes);
      flushed_ = 0;
      return;
    }
    error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  throw IoError(DescribeError("cannot create a file in", directory, error));
}

void OutputFile::WriteFully(std::uint64_t offset, const char* data, std::size_t length) {
  while (length > 0) {
    OVERLAPPED position = AtOffset(offset);
    DWORD put = 0;
    const auto step = static_cast<DWORD>(std::min(length, kMaxIoBytes));
    if (!::WriteFile(AsHandle(handle_), data, step, &put, &position) || put == 0) {
      const DWORD error = ::GetLastError();
      throw IoError(DescribeError("cannot write", temporaryPath_, error != 0 ? error : ERROR_WRITE_FAULT));
    }
    data += put;
    offset += put;
    length -= put;
  }
}

std::uint64_t OutputFile::CopyInKernel(const InputFile&, std::uint64_t, std::uint64_t) {
  return 0;  // no positioned file-to-file copy here: the caller reads and writes
}

void OutputFile::TruncateTo(std::uint64_t length) {
  if (length >= flushed_) {
    buffer_.resize(std::min<std::size_t>(buffer_.size(), static_cast<std::size_t>(length - flushed_)));
    return;
  }
  buffer_.clear();
  LARGE_INTEGER end{};
  end.QuadPart = static_cast<LONGLONG>(length);
  if (!::SetFilePointerEx(AsHandle(handle_), end, nullptr, FILE_BEGIN) || !::SetEndOfFile(AsHandle(handle_)))
    throw IoError(DescribeError("cannot truncate", temporaryPath_, ::GetLastError()));
  flushed_ = length;
}

void OutputFile::CommitAs(const std::string& finalPath) {
  Flush();
  const HANDLE handle = AsHandle(handle_);
  handle_ = -1;
  if (!::CloseHandle(handle)) throw IoError(DescribeError("cannot close", temporaryPath_, ::GetLastError()));
  std::wstring from;
  std::wstring to;
  if (!ToWide(temporaryPath_, from) || !ToWide(finalPath, to))
    throw IoError(DescribeError("cannot rename the output to", finalPath, ERROR_INVALID_NAME));
  if (!::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING))
    throw IoError(DescribeError("cannot rename the output to", finalPath, ::GetLastError()));
  temporaryPath_.clear();
}

void OutputFile::Discard() noexcept {
  if (AsHandle(handle_) != INVALID_HANDLE_VALUE) ::CloseHandle(AsHandle(handle_));
  handle_ = -1;
  std::wstring wide;
  if (!temporaryPath_.empty() && ToWide(temporaryPath_, wide)) ::DeleteFileW(wide.c_str());
  temporaryPath_.clear();
  buffer_.clear();
  flushed_ = 0;
}

}  // namespace vellox::platform
