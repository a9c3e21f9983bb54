// Small helpers shared by the Windows test programs (run under Wine): a
// check counter, wide-path file helpers, BSTR ownership and sample TIFFs.
#pragma once

#include <windows.h>

#include <oleauto.h>

#include <cstdio>
#include <string>
#include <vector>

namespace vellox::wintest {

// Counts checks and prints one line per failure, and a summary at the end.
class Checks {
 public:
  explicit Checks(const char* program) : program_(program) {}

  bool Expect(bool ok, const std::string& what) {
    if (ok) {
      ++passed_;
    } else {
      ++failed_;
      std::printf("FAIL: %s\n", what.c_str());
    }
    std::fflush(stdout);
    return ok;
  }
  bool ExpectHr(HRESULT hr, HRESULT expected, const std::string& what) {
    char detail[64];
    std::snprintf(detail, sizeof detail, " (got 0x%08lX, want 0x%08lX)", static_cast<unsigned long>(hr),
                  static_cast<unsigned long>(expected));
    return Expect(hr == expected, what + detail);
  }

  // Prints the summary; the exit code of the test program.
  int Finish() const {
    std::printf("%s: %d passed, %d failed\n", program_, passed_, failed_);
    return failed_ == 0 ? 0 : 1;
  }

 private:
  const char* program_;
  int passed_ = 0;
  int failed_ = 0;
};

// A BSTR owned by the test.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::wstring& text) : value_(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { ::SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  BSTR* Address() { return &value_; }
  BSTR Get() const { return value_; }
  std::wstring Text() const { return value_ != nullptr ? std::wstring(value_, ::SysStringLen(value_)) : L""; }

 private:
  BSTR value_ = nullptr;
};

inline std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

inline std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), length, nullptr, nullptr);
  return utf8;
}

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  const HANDLE file =
      ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
                  written == bytes.size();
  ::CloseHandle(file);
  return ok;
}

// The file's bytes; `found` is false when it cannot be read.
inline std::string ReadBytes(const std::wstring& path, bool* found = nullptr) {
  const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (found != nullptr) *found = file != INVALID_HANDLE_VALUE;
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  while (::ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  ::CloseHandle(file);
  return bytes;
}

inline bool FileExists(const std::wstring& path) {
  const DWORD attributes = ::GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// Creates `path` and its missing parents.
inline void MakeDirectories(const std::wstring& path) {
  for (std::size_t slash = path.find(L'\\', 3); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1))
    ::CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
  ::CreateDirectoryW(path.c_str(), nullptr);
}

inline std::wstring ModuleDirectory() {
  wchar_t path[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring text = path;
  return text.substr(0, text.find_last_of(L'\\'));
}

// A grey TIFF of `pages` pages (width x height, one strip each) whose pixels
// depend on `seed`, in the given byte order.
std::string SampleTiff(bool littleEndian, int pages, std::uint32_t width, std::uint32_t height, unsigned seed);

}  // namespace vellox::wintest
