// The output on Windows: a hidden file beside the file it replaces, marked for
// deletion from the moment it exists: until Commit clears that mark just
// before renaming it over the target, any end of the process (an
// exception, a crash, TerminateProcess) deletes it. Where the file system
// refuses the mark, the named file is removed by Discard and by
// RemoveTemporaryFiles instead. Also an existing file opened to append to
// in place, and the lock (on kAppendLockByte) that serialises appends.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/file_identity.hpp"
#include "platform/files.hpp"
#include "platform/temporary_names.hpp"
#include "platform/win32_common.hpp"

namespace vellox::platform {
namespace {

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

// Error codes as OutputFile::Fail takes them (every Windows code fits).
long Code(DWORD error) {
  return static_cast<long>(error);
}
long LastError() {
  return Code(::GetLastError());
}

// Hidden names of outputs whose file could not be marked for deletion.
constinit TemporaryNames<wchar_t> temporaryNames;

int RememberTemporary(const std::wstring& path) noexcept {
  return temporaryNames.Remember(path);
}

void ForgetTemporary(int& slot) noexcept {
  temporaryNames.Forget(slot);
}

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

// Takes the lock on kAppendLockByte, exclusive or shared, waiting while
// another handle holds a conflicting one.
bool LockAppendByte(HANDLE file, bool exclusive) {
  OVERLAPPED at = AtOffset(kAppendLockByte);
  return ::LockFileEx(file, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, 1, 0, &at) != 0;
}

// Waits until no append holds the file a merge is about to replace, and
// lets it go again: Windows renames over no file that a handle holds open,
// so the lock cannot be kept through the rename. An append that opens the
// file in between (or waits for it) makes the rename fail, saying so, rather
// than lose its pages. A file this process may not read is not waited for.
void WaitForAppends(const std::wstring& path) {
  const Handle file(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  if (file && ::GetFileType(file.Get()) == FILE_TYPE_DISK) LockAppendByte(file.Get(), false);
}

// The volume and index of an open file.
FileIdentity IdentityOfOpen(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) return {};
  return {
      true, info.dwVolumeSerialNumber, static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow, {}};
}

}  // namespace

void RemoveTemporaryFiles() noexcept {
  temporaryNames.RemoveAll([](const wchar_t* path) { ::DeleteFileW(path); });
}

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
      buffer_.reserve(kFirstBufferBytes);
      flushed_ = 0;
      return;
    }
    error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
  }
  Fail("cannot create", Code(error));
}

// Windows streams directly: a merge that must go back to what it wrote
// (a transcoded page) fails there with the stream's message.
void OutputFile::CreateStream(bool) {
  Discard();
  target_ = "standard output";
  stream_ = true;
  handle_ = reinterpret_cast<std::intptr_t>(::GetStdHandle(STD_OUTPUT_HANDLE));
  if (AsHandle(handle_) == INVALID_HANDLE_VALUE || AsHandle(handle_) == nullptr) Fail("cannot write", LastError());
  buffer_.reserve(kFirstBufferBytes);
}

void OutputFile::FlushIfDurable() {
  if (durable_ && !stream_ && !::FlushFileBuffers(AsHandle(handle_))) Fail("cannot flush", LastError());
}

void OutputFile::WriteFully(std::uint64_t offset, const char* data, std::size_t length) {
  if (stream_ && offset != flushed_) FailRewind();
  while (length > 0) {
    OVERLAPPED position = AtOffset(offset);
    DWORD put = 0;
    const auto step = static_cast<DWORD>(std::min(length, kMaxIoBytes));
    if (!::WriteFile(AsHandle(handle_), data, step, &put, stream_ ? nullptr : &position) || put == 0) {
      const DWORD error = ::GetLastError();
      Fail("cannot write", Code(error != 0 ? error : ERROR_WRITE_FAULT));
    }
    data += put;
    offset += put;
    length -= put;
  }
}

void OutputFile::WriteFully(std::uint64_t offset, std::string_view first, std::string_view second) {
  WriteFully(offset, first.data(), first.size());
  WriteFully(offset + first.size(), second.data(), second.size());
}

void OutputFile::TruncateTo(std::uint64_t length) {
  if (length >= flushed_) {
    buffer_.resize(std::min<std::size_t>(buffer_.size(), static_cast<std::size_t>(length - flushed_)));
    return;
  }
  if (stream_) FailRewind();
  buffer_.clear();
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
  if (!::SetFileInformationByHandle(AsHandle(handle_), FileEndOfFileInfo, &end, sizeof end))
    Fail("cannot truncate", LastError());
  flushed_ = length;
}

void OutputFile::Commit() {
  Flush();
  if (stream_) {
    Discard();
    return;
  }
  const HANDLE file = AsHandle(handle_);
  FlushIfDurable();
  std::wstring final;
  ToWide(finalPath_, final);

  Replaced old = ReadReplaced(final);
  if (old.IsFolder) Fail("cannot replace the folder", ERROR_ACCESS_DENIED);
  if (old.Exists && !old.IsDiskFile) FailNotRegular();  // what took the name while the output was written
  if (!old.Security.empty() && !CarrySecurity(file, old.Security)) Fail("cannot replace", LastError());
  WaitForAppends(final);
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
  const HANDLE file = stream_ ? INVALID_HANDLE_VALUE : AsHandle(handle_);
  stream_ = false;
  if (file != INVALID_HANDLE_VALUE && appending_) {
    // A file appended to is the caller's: cut back to its old length
    // (best effort: past the chain's end anyway), never deleted.
    LARGE_INTEGER size{};
    if (!keepAppended_ && ::GetFileSizeEx(file, &size) && static_cast<std::uint64_t>(size.QuadPart) != appendFrom_) {
      FILE_END_OF_FILE_INFO end{};
      end.EndOfFile.QuadPart = static_cast<LONGLONG>(appendFrom_);
      ::SetFileInformationByHandle(file, FileEndOfFileInfo, &end, sizeof end);
    }
    ::CloseHandle(file);
  } else if (file != INVALID_HANDLE_VALUE) {
    // Marked again (Commit may have cleared the mark), so that the file
    // goes with the handle whatever its name is now.
    const bool marked = SetDeletion(file, true);
    ::CloseHandle(file);
    std::wstring wide;
    if (!marked && !temporaryPath_.empty() && ToWide(temporaryPath_, wide)) ::DeleteFileW(wide.c_str());
  }
  handle_ = -1;
  appending_ = keepAppended_ = false;
  appendFrom_ = 0;
  ForgetTemporary(temporarySlot_);
  temporaryPath_.clear();
  buffer_.clear();
  flushed_ = 0;
}

void OutputFile::OpenForAppend(const std::string& target, const std::function<void()>&) {
  Discard();
  target_ = finalPath_ = target;
  std::wstring wide;
  if (target.empty() || IsSeparator(target.back()) || !ToWide(target, wide))
    Fail("cannot append to", ERROR_INVALID_NAME);
  constexpr int kMaxAttempts = 100;
  for (int attempt = 1;; ++attempt) {
    // Shared for writing, so that other appends can open it to wait for
    // the lock, and for deletion, so that a merge can replace it once this
    // append has ended.
    Handle file(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) Fail("cannot append to", LastError());
    FILE_STANDARD_INFO standard{};
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK) FailNotRegular();
    if (!::GetFileInformationByHandleEx(file.Get(), FileStandardInfo, &standard, sizeof standard))
      Fail("cannot append to", LastError());
    if (standard.Directory) Fail("cannot append to", ERROR_DIRECTORY);
    if (!LockAppendByte(file.Get(), true)) Fail("cannot lock", LastError());
    // While this waited, a merge may have put another file under the name:
    // the pages go to the file that has it now.
    const FileIdentity held = IdentityOfOpen(file.Get());
    if (held.Known && held == IdentityOf(target)) {
      handle_ = FromHandle(file.Get());
      file.Release();
      break;
    }
    if (attempt == kMaxAttempts) throw OutputFault("cannot append to " + target_ + ": it is replaced again and again");
  }
  LARGE_INTEGER size{};  // its length now that it is held
  if (!::GetFileSizeEx(AsHandle(handle_), &size)) Fail("cannot append to", LastError());
  appending_ = true;
  appendFrom_ = flushed_ = static_cast<std::uint64_t>(size.QuadPart);
  buffer_.clear();
  buffer_.reserve(kOutputBufferBytes);
}

bool OutputFile::ReadOpened(std::uint64_t offset, void* destination, std::size_t length) const noexcept {
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

// A console control handler ends the process at once (see
// RemoveTemporaryFiles): an append cut short leaves its bytes past the
// chain's end, where readers do not look.
// Telling an input's file from the target's would cost a volume query per
// input (milliseconds each under Wine): not checked here.
void OutputFile::ReplaceOnlyUnchanged(const InputFile&) {}

bool OutputFile::KeepFromSignals() noexcept {
  return true;
}

void OutputFile::FlushToDisk() {
  if (!::FlushFileBuffers(AsHandle(handle_))) Fail("cannot flush", LastError());
}

}  // namespace vellox::platform
