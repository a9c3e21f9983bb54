// Inputs on POSIX: the removal pass's probe, the input file opened for
// reads at any position, and how many inputs may be open at once.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/files.hpp"
#include "platform/posix_common.hpp"

namespace vellox::platform {
namespace {

// What opening a listed path found: an open regular file, or why there is
// none.
struct Opened {
  int Fd = -1;
  std::uint64_t Size = 0;
  bool Missing = false;  // no file under the name, in a folder that exists
  std::string Error;     // when Fd < 0
};

Opened OpenRegular(const std::string& path) {
  Opened opened;
  if (path.empty()) {
    opened.Error = "empty path";
  } else if (HasNul(path)) {
    opened.Error = "contains a NUL byte";
  } else if (IsSeparator(path.back())) {
    opened.Error = "names a folder";
  }
  if (!opened.Error.empty()) return opened;
  // Non-blocking, so that a FIFO does not wait here for a writer (it is
  // then refused as not a regular file); no terminal becomes ours.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    if (error != ENOENT) {
      opened.Error = ErrorClause(error);
    } else if (IsDirectory(ParentOf(path))) {
      // A missing file (or a link to one) in a folder that exists is
      // dropped like an empty file.
      opened.Missing = true;
      opened.Error = ErrorClause(error);
    } else {
      opened.Error = "the folder does not exist";
    }
    return opened;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    opened.Error = ErrorClause(errno);
  } else if (S_ISDIR(st.st_mode)) {
    opened.Error = ErrorClause(EISDIR);
  } else if (!S_ISREG(st.st_mode)) {
    opened.Error = "not a regular file";
  } else {
    opened.Fd = fd;
    opened.Size = static_cast<std::uint64_t>(st.st_size);
    return opened;
  }
  ::close(fd);
  return opened;
}

}  // namespace

InputFile::~InputFile() {
  Close();
}

InputFile::OpenResult InputFile::Open(const std::string& path) noexcept {
  Close();
  path_ = path;
  Opened opened = OpenRegular(path);
  if (opened.Fd < 0) {
    error_ = std::move(opened.Error);
    return opened.Missing ? OpenResult::Missing : OpenResult::Failed;
  }
  error_.clear();
  handle_ = opened.Fd;
  size_ = opened.Size;
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
  if (handle_ < 0 || !RangeInside(size_, offset, length)) return false;
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

std::size_t InputHandleBudget() noexcept {
  static const std::size_t budget = [] {
    constexpr std::size_t kKeptFree = 64, kFloor = 16;
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return kFloor;
    constexpr rlim_t kCeiling = rlim_t{1} << 16;  // more would gain nothing worth the kernel's memory
    const rlim_t soft = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kCeiling ? kCeiling : limit.rlim_cur;
    const auto half = static_cast<std::size_t>(soft / 2);
    return half >= kKeptFree + kFloor ? half - kKeptFree : kFloor;
  }();
  return budget;
}

}  // namespace vellox::platform
