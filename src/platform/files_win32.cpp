// Windows implementation of the file layer. Paths arrive as UTF-8 and are
// converted to UTF-16 for the wide file APIs, so any Unicode path works.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "platform/files.hpp"
#include "platform/temporary_names.hpp"

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
  if (!message.empty()) return message;
  char code[32];
  std::snprintf(code, sizeof code, "error %lu", static_cast<unsigned long>(error));
  return code;
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
// without FILE_FLAG_BACKUP_SEMANTICS, but devices and pipes do open). One
// FileStandardInfo query gives both the directory flag and the size;
// GetFileInformationByHandle would also ask for the volume's serial
// number, which under Wine costs milliseconds per file (a request to its
// mount manager) and made long lists slow.
bool IsRegularFile(HANDLE handle, std::uint64_t& size) {
  if (::GetFileType(handle) != FILE_TYPE_DISK) return false;
  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) || standard.Directory ||
      standard.EndOfFile.QuadPart < 0)
    return false;
  size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
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
  if (IsRegularFile(handle, size)) {
    probe = {ProbeKind::RegularFile, size};
    DWORD got = 0;
    if (size > 0 && !::ReadFile(handle, probe.Head.data(), static_cast<DWORD>(probe.Head.size()), &got, nullptr))
      probe.Head.fill(0);
  }
  ::CloseHandle(handle);
  return probe;
}

// ---------------------------------------------------------------------------
// Handles, final paths and delete dispositions

namespace {

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

 private:
  HANDLE handle_;
};

std::string ToUtf8(const std::wstring& wide) {
  return ToUtf8(wide.data(), wide.size());
}

// Marks the file for deletion when its last handle closes, or clears that
// mark. Set on a handle, it needs no name: whatever becomes of the path, the
// file behind the handle is the one that goes. Windows closes the handles
// of a process however it ends, so a file marked this way never outlives it.
bool SetDeletion(HANDLE file, bool deleteOnClose) {
  FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(deleteOnClose ? TRUE : FALSE)};
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// The path of the open file with every link on the way resolved
// ("\\?\C:\..."), or empty where the system cannot say.
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

// An absolute form of the path (empty on failure); `longNames` also
// expands 8.3 short names where the file exists.
std::wstring FullPathOf(const std::wstring& path, bool longNames = false) {
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

// Everything up to and including the last separator.
std::wstring FolderOf(const std::wstring& path) {
  const auto slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

// Error codes as OutputFile::Fail takes them (every Windows code fits).
long Code(DWORD error) {
  return static_cast<long>(error);
}
long LastError() {
  return Code(::GetLastError());
}

bool IsLinkTag(DWORD tag) {
  return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT;
}

// Hidden names of outputs whose file could not be marked for deletion.
TemporaryNames<wchar_t> temporaryNames;

int RememberTemporary(const std::wstring& path) noexcept {
  return temporaryNames.Remember(path);
}

void ForgetTemporary(int& slot) noexcept {
  temporaryNames.Forget(slot);
}

}  // namespace

void RemoveTemporaryFiles() noexcept {
  temporaryNames.RemoveAll([](const wchar_t* path) { ::DeleteFileW(path); });
}

// ---------------------------------------------------------------------------
// Deleting empty inputs

namespace {

RemovalOutcome Failed(const char* what, DWORD error) {
  return {Removal::Failed, std::string(what) + ": " + SystemMessage(error)};
}

// A symbolic link opened as itself: only the link goes, and only while the
// file it leads to is an empty regular file.
RemovalOutcome RemoveLinkToEmpty(HANDLE link, const std::wstring& path) {
  const Handle target(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!target) {
    const DWORD error = ::GetLastError();
    return IsNotFound(error) ? RemovalOutcome{Removal::Gone, {}} : Failed("cannot open the file it leads to", error);
  }
  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(target.Get(), FileStandardInfo, &standard, sizeof standard) ||
      standard.Directory || standard.EndOfFile.QuadPart != 0 || ::GetFileType(target.Get()) != FILE_TYPE_DISK)
    return {Removal::NoLongerEmpty, {}};
  if (!SetDeletion(link, true)) return Failed("cannot delete the link", ::GetLastError());
  return {Removal::DeletedLink, {}};
}

// True when the path's last component leads to the open file through a
// link that the handle does not show as one. Windows opens a symbolic link
// itself under FILE_FLAG_OPEN_REPARSE_POINT; a system that follows it
// anyway (Wine, for a Unix symbolic link) gives the file behind it, and
// deleting through that handle would delete that file. Such a link shows
// only in the final path, which then is not the folder's final path plus
// the name. A file with several hard links may legitimately differ.
bool ReachedThroughHiddenLink(HANDLE file, const std::wstring& path, DWORD links) {
  if (links > 1) return false;
  const std::wstring actual = FinalPathOf(file);
  const std::wstring full = FullPathOf(path, true);
  const std::wstring folderPath = FolderOf(full);
  if (actual.empty() || folderPath.empty()) return false;
  const Handle folder(::CreateFileW(folderPath.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  std::wstring expected = folder ? FinalPathOf(folder.Get()) : std::wstring();
  if (expected.empty()) return false;
  if (expected.back() != L'\\') expected.push_back(L'\\');
  expected += full.substr(folderPath.size());
  return !SameText(expected, actual);
}

}  // namespace

RemovalOutcome RemoveIfEmpty(const std::string& path) {
  std::wstring wide;
  if (path.empty() || IsSeparator(path.back()) || !ToWide(path, wide)) return {Removal::Failed, "not a file name"};
  // Opened with the right to delete it, a link as itself, and shared with
  // readers only: while this handle is open no program can open the file
  // to write its data, and one that has it open so makes this open fail.
  const Handle file(::CreateFileW(wide.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION) return {Removal::InUse, {}};
    if (IsNotFound(error)) return {Removal::Gone, {}};
    return Failed("cannot open it", error);
  }
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (::GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &tag, sizeof tag) &&
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkTag(tag.ReparseTag))
    return RemoveLinkToEmpty(file.Get(), wide);

  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(file.Get(), FileStandardInfo, &standard, sizeof standard))
    return Failed("cannot read its size", ::GetLastError());
  if (standard.Directory || ::GetFileType(file.Get()) != FILE_TYPE_DISK) return {Removal::Failed, "not a regular file"};
  if (standard.EndOfFile.QuadPart != 0) return {Removal::NoLongerEmpty, {}};
  if (ReachedThroughHiddenLink(file.Get(), wide, standard.NumberOfLinks))
    return {Removal::Failed, "it is a symbolic link that this system cannot delete without the file it leads to"};
  // Deleted through this handle: the file checked is the file that goes,
  // when the handle closes.
  if (!SetDeletion(file.Get(), true)) return Failed("cannot delete it", ::GetLastError());
  return {Removal::Deleted, {}};
}

// ---------------------------------------------------------------------------
// InputFile

InputFile::~InputFile() {
  Close();
}

InputFile::OpenResult InputFile::Open(const std::string& path) noexcept {
  Close();
  path_ = path;
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

// ---------------------------------------------------------------------------
// OutputFile
//
// The output is a hidden file beside the file it replaces, marked for
// deletion from the moment it exists: until Commit clears that mark just
// before renaming it over the target, any end of the process (an
// exception, a crash, TerminateProcess) deletes it. Where the file system
// refuses the mark, the named file is removed by Discard and by
// RemoveTemporaryFiles instead.

namespace {

// Attributes a replacing file takes over from the file it replaces.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// What of the replaced file's security descriptor a replacing file takes.
constexpr SECURITY_INFORMATION kCarriedSecurity =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

// What the replaced file was, read just before it is replaced.
struct Replaced {
  bool Exists = false;
  bool IsFolder = false;
  bool IsDiskFile = false;  // not a device (NUL, CON) or pipe
  FILE_BASIC_INFO Basic{};
  std::vector<char> Security;  // self-relative: owner, group and DACL
};

Replaced ReadReplaced(const std::wstring& path) {
  Replaced old;
  Handle file(::CreateFileW(path.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file && ::GetLastError() == ERROR_ACCESS_DENIED)  // its attributes, at least
    file.Reset(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file || !::GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &old.Basic, sizeof old.Basic)) return old;
  old.Exists = true;
  old.IsFolder = (old.Basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  old.IsDiskFile = ::GetFileType(file.Get()) == FILE_TYPE_DISK;
  DWORD needed = 0;
  ::GetKernelObjectSecurity(file.Get(), kCarriedSecurity, nullptr, 0, &needed);
  old.Security.resize(needed);
  if (needed == 0 || !::GetKernelObjectSecurity(file.Get(), kCarriedSecurity, old.Security.data(), needed, &needed))
    old.Security.clear();
  else
    old.Security.resize(::GetSecurityDescriptorLength(old.Security.data()));
  return old;
}

// The new file takes the replaced file's access rules (its DACL, exactly)
// and, where the caller may set them, its owner and group. A descriptor
// the new file already has (the usual case: both inherit from the folder)
// is not written again; on Wine, writing one also rewrites the Unix mode
// bits, only roughly.
bool CarrySecurity(HANDLE file, std::vector<char>& security) {
  std::vector<char> current(security.size());
  DWORD needed = 0;
  if (::GetKernelObjectSecurity(file, kCarriedSecurity, current.data(), static_cast<DWORD>(current.size()), &needed) &&
      ::GetSecurityDescriptorLength(current.data()) == security.size() && current == security)
    return true;
  PSECURITY_DESCRIPTOR descriptor = security.data();
  if (::SetKernelObjectSecurity(file, kCarriedSecurity, descriptor)) return true;
  return ::SetKernelObjectSecurity(file, DACL_SECURITY_INFORMATION, descriptor) != 0;
}

// Attributes as the setting calls take them: 0 would mean "unchanged".
DWORD Settable(DWORD attributes) {
  return attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL;
}

bool SetAttributes(HANDLE file, DWORD attributes, LARGE_INTEGER created = {}) {
  FILE_BASIC_INFO basic{};  // times left 0 are not changed
  basic.CreationTime = created;
  basic.FileAttributes = Settable(attributes);
  return ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Renames the open file to `path`, replacing a file there.
bool RenameTo(HANDLE file, const std::wstring& path) {
  const std::size_t nameBytes = path.size() * sizeof(wchar_t);
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);  // the struct holds the terminating NUL
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<DWORD>(nameBytes);
  std::copy(path.begin(), path.end(), rename->FileName);
  return ::SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != 0;
}

}  // namespace

OutputFile::~OutputFile() {
  Discard();
}

void OutputFile::Fail(const char* what, long error) const {
  throw OutputFault(std::string(what) + " " + target_ + ": " + SystemMessage(static_cast<DWORD>(error)));
}

void OutputFile::Create(const std::string& target, bool durable) {
  Discard();
  target_ = target;
  durable_ = durable;
  std::wstring wide;
  if (target.empty() || IsSeparator(target.back()) || !ToWide(target, wide)) Fail("cannot create", ERROR_INVALID_NAME);
  std::wstring final = FullPathOf(wide);
  if (final.empty()) Fail("cannot create", LastError());
  {
    // An existing target is opened following links, so that the file they
    // lead to is the one replaced; a device or pipe, which the name may
    // also open, and a folder are refused now rather than after all the
    // copying.
    const Handle existing(::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!existing && ::GetLastError() == ERROR_CANT_RESOLVE_FILENAME)  // links in a loop
      Fail("cannot create", ERROR_CANT_RESOLVE_FILENAME);
    if (existing && ::GetFileType(existing.Get()) != FILE_TYPE_DISK) FailNotRegular();
    FILE_BASIC_INFO basic{};
    if (existing && ::GetFileInformationByHandleEx(existing.Get(), FileBasicInfo, &basic, sizeof basic)) {
      if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        Fail("cannot replace the folder", ERROR_ACCESS_DENIED);
      const std::wstring resolved = FinalPathOf(existing.Get());
      if (!resolved.empty()) final = resolved;
    }
  }
  finalPath_ = ToUtf8(final);

  const std::wstring folder = FolderOf(final);
  DWORD error = ERROR_FILE_EXISTS;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::wstring name = folder + L".vellox-" + UniqueSuffix() + L".tmp";
    // Shared for deletion so that a write-through handle can be opened on
    // it for the rename (see Commit); nobody else may write to it.
    const HANDLE file =
        ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC | WRITE_OWNER,
                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
      handle_ = FromHandle(file);
      temporaryPath_ = ToUtf8(name);
      if (!SetDeletion(file, true)) temporarySlot_ = RememberTemporary(name);
      buffer_.clear();
      buffer_.reserve(kOutputBufferBytes);
      flushed_ = 0;
      return;
    }
    error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  Fail("cannot create", Code(error));
}

void OutputFile::WriteFully(std::uint64_t offset, const char* data, std::size_t length) {
  while (length > 0) {
    OVERLAPPED position = AtOffset(offset);
    DWORD put = 0;
    const auto step = static_cast<DWORD>(std::min(length, kMaxIoBytes));
    if (!::WriteFile(AsHandle(handle_), data, step, &put, &position) || put == 0) {
      const DWORD error = ::GetLastError();
      Fail("cannot write", Code(error != 0 ? error : ERROR_WRITE_FAULT));
    }
    data += put;
    offset += put;
    length -= put;
  }
}

// Block cloning (ReFS) is not used on Windows: outputs there are copied.
std::size_t OutputFile::CloneBlockSize(const InputFile&) {
  return 0;
}

void OutputFile::AppendCloned(const InputFile& input, std::uint64_t offset, std::uint64_t length, std::size_t) {
  AppendFrom(input, offset, length);
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
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  if (!::SetFileInformationByHandle(AsHandle(handle_), FileEndOfFileInfo, &end, sizeof end))
    Fail("cannot truncate", LastError());
  flushed_ = length;
}

void OutputFile::Commit() {
  Flush();
  const HANDLE file = AsHandle(handle_);
  if (durable_ && !::FlushFileBuffers(file)) Fail("cannot flush", LastError());
  std::wstring final;
  ToWide(finalPath_, final);

  Replaced old = ReadReplaced(final);
  if (old.IsFolder) Fail("cannot replace the folder", ERROR_ACCESS_DENIED);
  if (old.Exists && !old.IsDiskFile) FailNotRegular();  // what took the name while the output was written
  if (!old.Security.empty() && !CarrySecurity(file, old.Security)) Fail("cannot replace", LastError());
  // The mark would delete the file under its new name too, so it is
  // cleared just before the rename: only a process that ends between the
  // two leaves the hidden file behind.
  if (!SetDeletion(file, false)) Fail("cannot replace", LastError());
  const DWORD attributes = old.Exists ? old.Basic.FileAttributes & kCarriedAttributes : FILE_ATTRIBUTE_ARCHIVE;
  const bool readOnly = old.Exists && (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  DWORD error = 0;
  if (!SetAttributes(file, attributes, old.Exists ? old.Basic.CreationTime : LARGE_INTEGER{})) {
    error = ::GetLastError();
  } else if (readOnly && !::SetFileAttributesW(final.c_str(), Settable(attributes & ~DWORD{FILE_ATTRIBUTE_READONLY}))) {
    // A read-only file cannot be replaced: its flag is lifted for the
    // rename (the new file already carries it).
    error = ::GetLastError();
  } else if (durable_) {
    // The rename written through to the disk before it returns, as
    // MoveFileExW does with MOVEFILE_WRITE_THROUGH: through a handle opened
    // with FILE_FLAG_WRITE_THROUGH.
    const Handle through(::ReOpenFile(file, DELETE | SYNCHRONIZE, kShareAll, FILE_FLAG_WRITE_THROUGH));
    if (!through || !RenameTo(through.Get(), final)) error = ::GetLastError();
  } else if (!RenameTo(file, final)) {
    error = ::GetLastError();
  }
  if (error != 0) {
    if (readOnly) ::SetFileAttributesW(final.c_str(), Settable(attributes));
    SetAttributes(file, FILE_ATTRIBUTE_HIDDEN);  // not read-only, so that Discard can mark it again
    Fail("cannot replace", Code(error));
  }
  handle_ = -1;
  ::CloseHandle(file);
  ForgetTemporary(temporarySlot_);
  temporaryPath_.clear();
  Discard();
}

void OutputFile::Discard() noexcept {
  const HANDLE file = AsHandle(handle_);
  if (file != INVALID_HANDLE_VALUE) {
    // Marked again (Commit may have cleared the mark), so that the file
    // goes with the handle whatever its name is now.
    const bool marked = SetDeletion(file, true);
    ::CloseHandle(file);
    std::wstring wide;
    if (!marked && !temporaryPath_.empty() && ToWide(temporaryPath_, wide)) ::DeleteFileW(wide.c_str());
  }
  handle_ = -1;
  ForgetTemporary(temporarySlot_);
  temporaryPath_.clear();
  buffer_.clear();
  flushed_ = 0;
}

}  // namespace vellox::platform
