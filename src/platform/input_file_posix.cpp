// Inputs on POSIX: the input file opened for reads at any position, and
// how many inputs may be open at once.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "platform/files.hpp"
#include "platform/posix_common.hpp"

namespace vellox::platform {
namespace {

// An unnamed file in `folder` (a named one, unlinked at once, where the
// file system has no unnamed files); -1 with errno set when neither works.
int UnnamedScratchFile(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string name = folder + "/.vellox-stdin-XXXXXX";
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

// Copies the standard input to its end into `fd`.
bool CopyStandardInput(int fd, std::string& error) {
  std::vector<char> chunk(kCopyChunkBytes);
  for (;;) {
    const ssize_t got = ::read(STDIN_FILENO, chunk.data(), chunk.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      error = "cannot read standard input: " + ErrorClause(errno);
      return false;
    }
    if (got == 0) return true;
    for (ssize_t done = 0; done < got;) {
      const ssize_t put = ::write(fd, chunk.data() + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        error = "cannot keep a copy of standard input: " + ErrorClause(put < 0 ? errno : EIO);
        return false;
      }
      done += put;
    }
  }
}

}  // namespace

bool StandardInputPath(std::string& path, std::string& error) {
  static std::mutex guard;
  static bool tried = false;
  static std::string kept, keptError;
  std::lock_guard lock(guard);
  if (!tried) {
    tried = true;
    struct stat st {};
    if (::fstat(STDIN_FILENO, &st) != 0) {
      keptError = "cannot read standard input: " + ErrorClause(errno);
    } else if (S_ISREG(st.st_mode)) {
      kept = "/proc/self/fd/0";
    } else {
      const char* folder = std::getenv("TMPDIR");
      const std::string where = folder != nullptr && *folder != '\0' ? folder : "/tmp";
      const int fd = UnnamedScratchFile(where);
      if (fd < 0)
        keptError = "cannot keep a copy of standard input in " + where + ": " + ErrorClause(errno);
      else if (CopyStandardInput(fd, keptError))
        kept = "/proc/self/fd/" + std::to_string(fd);  // open for the life of the process
      else
        ::close(fd);
    }
  }
  path = kept;
  error = keptError;
  return !kept.empty();
}

InputFile::~InputFile() {
  Close();
}

InputFile::OpenResult InputFile::Open(const std::string& path) noexcept {
  Close();
  path_ = path;
  error_.clear();
  if (const char* problem = InputPathProblem(path)) return Refuse(problem);
  // Non-blocking, so that a FIFO does not wait here for a writer (it is
  // then refused as not a regular file); no terminal becomes ours.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    if (error != ENOENT) return Refuse(ErrorClause(error));
    // A missing file (or a link to one) in a folder that exists is dropped
    // like an empty file.
    if (!IsDirectory(ParentOf(path))) return Refuse("the folder does not exist");
    error_ = ErrorClause(error);
    return OpenResult::Missing;
  }
  struct stat st {};
  std::string why;
  if (::fstat(fd, &st) != 0)
    why = ErrorClause(errno);
  else if (S_ISDIR(st.st_mode))
    why = ErrorClause(EISDIR);
  else if (!S_ISREG(st.st_mode))
    why = "not a regular file";
  if (!why.empty()) {
    ::close(fd);
    return Refuse(std::move(why));
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
