// Inputs on Windows: the input file opened for reads at any position, and
// how many inputs may be open at once.
#include <windows.h>

#include <algorithm>

#include "platform/files.hpp"
#include "platform/win32_common.hpp"

namespace vellox::platform {
namespace {

// A disk file that is not a directory (CreateFileW does not open folders
// without FILE_FLAG_BACKUP_SEMANTICS, but devices and pipes do open): sets
// `size` and returns nothing, or returns why the file is not one. One
// FileStandardInfo query gives both the directory flag and the size;
// GetFileInformationByHandle would also ask for the volume's serial
// number, which under Wine costs milliseconds per file (a request to its
// mount manager) and made long lists slow.
std::string WhyNotRegular(HANDLE handle, std::uint64_t& size) {
  if (::GetFileType(handle) != FILE_TYPE_DISK) return "not a regular file";
  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard))
    return ErrorClause(::GetLastError());
  if (standard.Directory) return "is a directory";
  if (standard.EndOfFile.QuadPart < 0) return "not a regular file";
  size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
  return {};
}

}  // namespace

InputFile::~InputFile() {
  Close();
}

InputFile::OpenResult InputFile::Open(const std::string& path) noexcept {
  Close();
  path_ = path;
  error_.clear();
  std::wstring wide;
  if (const char* problem = InputPathProblem(path)) return Refuse(problem);
  if (!ToWide(path, wide)) return Refuse("not valid UTF-8");
  const HANDLE file =
      ::CreateFileW(wide.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    // A folder does not open as a file: Windows answers "access denied".
    if (!IsNotFound(error))
      return Refuse(error == ERROR_ACCESS_DENIED && IsDirectory(path) ? "is a directory" : ErrorClause(error));
    // A missing file (or a link to one) in a folder that exists is dropped
    // like an empty file.
    if (!IsDirectory(ParentOf(path))) return Refuse("the folder does not exist");
    error_ = ErrorClause(error);
    return OpenResult::Missing;
  }
  std::uint64_t size = 0;
  std::string why = WhyNotRegular(file, size);
  if (!why.empty()) {
    ::CloseHandle(file);
    return Refuse(std::move(why));
  }
  handle_ = FromHandle(file);
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
  if (!IsOpen() || !RangeInside(size_, offset, length)) return false;
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

// Windows sets no small limit on a process's handles (the C runtime's limit
// on its own descriptors does not apply to them); a fixed share keeps what
// one merge holds open, and the memory that takes, within bounds.
bool StandardInputPath(std::string&, std::string& error) {
  error = "standard input as an input is not available on Windows: save it to a file first";
  return false;
}

std::size_t InputHandleBudget() noexcept {
  return 4096;
}

}  // namespace vellox::platform
