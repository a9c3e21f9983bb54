// POSIX implementation of the file layer.
#include "platform/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vellox::platform {
namespace {

// Largest piece handed to one copy_file_range call.
constexpr std::uint64_t kKernelCopyStepBytes = 8u << 20;

std::string DescribeError(const char* what, const std::string& path, int error) {
  return std::string(what) + " '" + path + "': " + std::strerror(error);
}

int AsFd(std::intptr_t handle) {
  return static_cast<int>(handle);
}

// A path with an embedded NUL would be cut short by the system and name a
// different file: such paths name nothing.
bool HasNul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

// The folder part of a path: everything before its last separator, or "."
// for a bare name, or "/" for a name directly under the root.
std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

mode_t CurrentUmask() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return mask;
}

}  // namespace

bool IsSeparator(char c) noexcept {
  return c == '/';
}
char PreferredSeparator() noexcept {
  return '/';
}

bool ContainsSeparator(std::string_view path) noexcept {
  return std::any_of(path.begin(), path.end(), IsSeparator);
}

bool IsDirectory(const std::string& path) noexcept {
  struct stat st {};
  return !path.empty() && !HasNul(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Probe ProbeInput(const std::string& path) noexcept {
  if (path.empty() || IsSeparator(path.back()) || HasNul(path)) return {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    // A missing file (or a link to one) in a folder that exists is
    // dropped like an empty file; anything else cannot be used.
    if (errno == ENOENT && IsDirectory(ParentOf(path))) return {ProbeKind::Missing, 0};
    return {};
  }
  struct stat st {};
  Probe probe;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    probe = {ProbeKind::RegularFile, static_cast<std::uint64_t>(st.st_size)};
  }
  ::close(fd);
  return probe;
}

bool RemoveFile(const std::string& path) noexcept {
  return !HasNul(path) && ::unlink(path.c_str()) == 0;
}

// ---------------------------------------------------------------------------
// InputFile

InputFile::~InputFile() {
  Close();
}

InputFile::OpenResult InputFile::Open(const std::string& path) noexcept {
  Close();
  if (path.empty() || IsSeparator(path.back()) || HasNul(path)) return OpenResult::Failed;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT ? OpenResult::Missing : OpenResult::Failed;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return OpenResult::Failed;
  }
  handle_ = fd;
  size_ = static_cast<std::uint64_t>(st.st_size);
  return OpenResult::Ok;
}

void InputFile::Close() noexcept {
  if (handle_ >= 0) ::close(AsFd(handle_));
  handle_ = -1;
  size_ = 0;
}

bool InputFile::IsOpen() const noexcept {
  return handle_ >= 0;
}

bool InputFile::ReadAt(std::uint64_t offset, void* destination, std::size_t length) const noexcept {
  if (handle_ < 0 || offset > size_ || length > size_ - offset) return false;
  auto* out = static_cast<char*>(destination);
  while (length > 0) {
    const ssize_t got = ::pread(AsFd(handle_), out, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    offset += static_cast<std::uint64_t>(got);
    length -= static_cast<std::size_t>(got);
  }
  return true;
}

// ---------------------------------------------------------------------------
// OutputFile

OutputFile::~OutputFile() {
  Discard();
}

void OutputFile::CreateTemporaryIn(const std::string& directory) {
  if (HasNul(directory)) throw IoError("the output directory's name holds a NUL character");
  std::string pattern = directory + ".vellox-XXXXXX.tmp";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkstemps creates the file exclusively (O_EXCL) with a unique name.
  const int fd = ::mkstemps(name.data(), 4);
  if (fd < 0) throw IoError(DescribeError("cannot create a file in", directory, errno));
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  // mkstemps makes the file private (0600); the result should get the
  // permissions any newly created file would get.
  ::fchmod(fd, static_cast<mode_t>(0666) & ~CurrentUmask());
  handle_ = fd;
  temporaryPath_.assign(name.data());
  buffer_.clear();
  buffer_.reserve(kOutputBufferBytes);
  flushed_ = 0;
}

void OutputFile::WriteFully(std::uint64_t offset, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t put = ::pwrite(AsFd(handle_), data, length, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) throw IoError(DescribeError("cannot write", temporaryPath_, put < 0 ? errno : EIO));
    data += put;
    offset += static_cast<std::uint64_t>(put);
    length -= static_cast<std::size_t>(put);
  }
}

std::uint64_t OutputFile::CopyInKernel(const InputFile& input, std::uint64_t offset, std::uint64_t length) {
  off_t in = static_cast<off_t>(offset);
  off_t out = static_cast<off_t>(flushed_);
  std::uint64_t left = length;
  while (left > 0) {
    // Bounded steps: one huge in-kernel copy runs several times slower than
    // the same bytes in steps of a few MiB (measured on ext4).
    const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(left, kKernelCopyStepBytes));
    const ssize_t moved = ::copy_file_range(AsFd(input.NativeHandle()), &in, AsFd(handle_), &out, step, 0);
    if (moved < 0 && errno == EINTR) continue;
    if (moved <= 0) break;  // not supported here: the caller reads and writes the rest
    left -= static_cast<std::uint64_t>(moved);
  }
  flushed_ = static_cast<std::uint64_t>(out);
  return length - left;
}

void OutputFile::TruncateTo(std::uint64_t length) {
  if (length >= flushed_) {
    buffer_.resize(std::min<std::size_t>(buffer_.size(), static_cast<std::size_t>(length - flushed_)));
    return;
  }
  buffer_.clear();
  if (::ftruncate(AsFd(handle_), static_cast<off_t>(length)) != 0)
    throw IoError(DescribeError("cannot truncate", temporaryPath_, errno));
  flushed_ = length;
}

void OutputFile::CommitAs(const std::string& finalPath) {
  Flush();
  const int fd = AsFd(handle_);
  handle_ = -1;
  if (::close(fd) != 0) throw IoError(DescribeError("cannot close", temporaryPath_, errno));
  if (HasNul(finalPath)) throw IoError("the output's name holds a NUL character");
  if (::rename(temporaryPath_.c_str(), finalPath.c_str()) != 0)
    throw IoError(DescribeError("cannot rename the output to", finalPath, errno));
  temporaryPath_.clear();
}

void OutputFile::Discard() noexcept {
  if (handle_ >= 0) ::close(AsFd(handle_));
  handle_ = -1;
  if (!temporaryPath_.empty()) ::unlink(temporaryPath_.c_str());
  temporaryPath_.clear();
  buffer_.clear();
  flushed_ = 0;
}

}  // namespace vellox::platform
