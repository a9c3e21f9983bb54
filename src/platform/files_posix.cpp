// POSIX implementation of the file layer.
#include "platform/files.hpp"
#include "platform/temporary_names.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace vellox::platform {
namespace {

// Largest piece handed to one copy_file_range call.
constexpr std::uint64_t kKernelCopyStepBytes = 8u << 20;

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

// The last component of a path.
std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A file descriptor closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  void Reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// A hidden name that no other file in the folder has yet, with high
// probability: ".vellox-" and six characters from the clock, the process
// and a counter, mixed.
std::string HiddenName(const char* suffix) {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (static_cast<std::uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string name = ".vellox-";
  for (int i = 0; i < 6; ++i, x /= 62) name.push_back(kDigits[x % 62]);
  return name + suffix;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Renames within one folder without replacing anything: renameat2 where
// the file system has it, else a hard link and an unlink.
int MoveWithoutReplacing(int folder, const std::string& from, const std::string& to) {
  if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  if (::linkat(folder, from.c_str(), folder, to.c_str(), 0) != 0) return -1;
  return ::unlinkat(folder, from.c_str(), 0);
}

TemporaryNames<char> temporaryNames;

int RememberTemporary(const std::string& path) noexcept {
  return temporaryNames.Remember(path);
}

void ForgetTemporary(int& slot) noexcept {
  temporaryNames.Forget(slot);
}

}  // namespace

void RemoveTemporaryFiles() noexcept {
  temporaryNames.RemoveAll([](const char* path) { ::unlink(path); });
}

// ---------------------------------------------------------------------------
// Deleting empty inputs

namespace {

RemovalOutcome Failed(const char* what, int error) {
  return {Removal::Failed, std::string(what) + ": " + std::strerror(error)};
}

// A symbolic link to an empty file: only the link goes, and only if it is
// still the link that was checked.
RemovalOutcome RemoveLinkToEmpty(int folder, const std::string& name, const struct stat& link) {
  struct stat target {};
  if (::fstatat(folder, name.c_str(), &target, 0) != 0) return {Removal::Gone, {}};
  if (!S_ISREG(target.st_mode) || target.st_size != 0) return {Removal::NoLongerEmpty, {}};
  struct stat again {};
  if (::fstatat(folder, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0 || !SameFile(again, link))
    return {Removal::NoLongerEmpty, {}};
  if (::unlinkat(folder, name.c_str(), 0) != 0) return Failed("cannot delete the link", errno);
  return {Removal::DeletedLink, {}};
}

// A lease whose break is announced by no signal: the kernel would send
// SIGIO (which ends a process that does not handle it) to the lease holder
// when another program opens the file. The signal is made SIGURG, ignored
// unless handled, and then no one is named to receive it; the removal reads
// the lease's state instead (F_GETLEASE).
bool TakeWriteLease(int fd) {
  if (::fcntl(fd, F_SETSIG, SIGURG) != 0) return false;
  if (::fcntl(fd, F_SETLEASE, F_WRLCK) != 0) return false;
  (void)::fcntl(fd, F_SETOWN, 0);
  return true;
}

// Puts a file moved aside back under its name. When another file took the
// name meanwhile, an empty one is dropped and one with data is kept beside
// it under a visible name, so nothing is lost either way.
RemovalOutcome PutBack(int folder, const std::string& aside, const std::string& name, bool empty, Removal kind) {
  if (MoveWithoutReplacing(folder, aside, name) == 0) return {kind, {}};
  if (empty && ::unlinkat(folder, aside.c_str(), 0) == 0) return {kind, {}};
  const std::string kept = name + ".vellox-kept";
  if (MoveWithoutReplacing(folder, aside, kept) == 0) return {kind, "its data was kept as " + kept};
  return {kind, "its data was kept as " + aside};
}

}  // namespace

RemovalOutcome RemoveIfEmpty(const std::string& path) {
  if (path.empty() || HasNul(path) || IsSeparator(path.back())) return {Removal::Failed, "not a file name"};
  const std::string name = NameOf(path);
  const Descriptor folder(::open(ParentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return Failed("cannot open its folder", errno);

  struct stat entry {};
  if (::fstatat(folder.Get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) return {Removal::Gone, {}};
  if (S_ISLNK(entry.st_mode)) return RemoveLinkToEmpty(folder.Get(), name, entry);

  Descriptor file(::openat(folder.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!file) return errno == ENOENT ? RemovalOutcome{Removal::Gone, {}} : Failed("cannot open it", errno);
  struct stat checked {};
  if (::fstat(file.Get(), &checked) != 0) return Failed("cannot read its size", errno);
  if (!S_ISREG(checked.st_mode)) return {Removal::Failed, "not a regular file"};
  if (checked.st_size != 0) return {Removal::NoLongerEmpty, {}};

  // A write lease is granted only while no other program holds the file
  // open, and until it is released every open of the file by another
  // program waits. Where leases are not available (a file of another user,
  // some network file systems) the checks below still narrow the window.
  const bool leased = TakeWriteLease(file.Get());
  if (!leased && (errno == EAGAIN || errno == EBUSY)) return {Removal::InUse, {}};

  // Moved aside first: from here on, a program that opens the path finds
  // nothing (or creates a new file), never the file about to go.
  const std::string aside = HiddenName(".del");
  if (MoveWithoutReplacing(folder.Get(), name, aside) != 0)
    return errno == ENOENT ? RemovalOutcome{Removal::Gone, {}} : Failed("cannot delete it", errno);
  struct stat moved {};
  struct stat now {};
  const bool same =
      ::fstatat(folder.Get(), aside.c_str(), &moved, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(moved, checked);
  if (!same) return PutBack(folder.Get(), aside, name, false, Removal::NoLongerEmpty);  // another file took the name
  if (::fstat(file.Get(), &now) != 0) now.st_size = 1;
  // A lease whose break is pending means another program began to open
  // the file after the checks: it stays, for that program.
  const bool wanted = leased && ::fcntl(file.Get(), F_GETLEASE) != F_WRLCK;
  if (now.st_size != 0) return PutBack(folder.Get(), aside, name, false, Removal::NoLongerEmpty);
  if (wanted) return PutBack(folder.Get(), aside, name, true, Removal::InUse);
  if (::unlinkat(folder.Get(), aside.c_str(), 0) != 0) {
    const int error = errno;
    PutBack(folder.Get(), aside, name, true, Removal::Failed);
    return Failed("cannot delete it", error);
  }
  if (leased) ::fcntl(file.Get(), F_SETLEASE, F_UNLCK);
  return {Removal::Deleted, {}};
}

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
    if (probe.Size > 0 && ::pread(fd, probe.Head.data(), probe.Head.size(), 0) < 0) probe.Head.fill(0);
  }
  ::close(fd);
  return probe;
}

// ---------------------------------------------------------------------------
// InputFile

InputFile::~InputFile() {
  Close();
}

InputFile::OpenResult InputFile::Open(const std::string& path) noexcept {
  Close();
  path_ = path;
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

// ---------------------------------------------------------------------------
// OutputFile

namespace {

// Follows the symbolic links that the target's last component goes
// through, so that the file they lead to is replaced and the links stay.
// A link that leads nowhere yet gives the path of the file to create.
// False when the chain is longer than the kernel would follow (a loop,
// most likely): it leads to no file at all.
bool ResolveLinks(std::string& path) {
  constexpr int kMaxLinks = 40;  // as the kernel's own limit
  for (int hop = 0;; ++hop) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    if (hop == kMaxLinks) return false;
    std::vector<char> text(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    const ssize_t length = ::readlink(path.c_str(), text.data(), text.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= text.size()) return true;
    const std::string link(text.data(), static_cast<std::size_t>(length));
    path = link.front() == '/' ? link : ParentOf(path) + "/" + link;
  }
}

// What stands under a name that the output is to take.
enum class Occupant {
  Replaceable,  // nothing, a regular file, or a link (the link itself is replaced)
  Folder,
  Special,  // a device, FIFO or socket
};

// Looks at the name itself, without following a link and without opening
// anything: opening a FIFO would wait for a reader, opening a device could
// act on it.
Occupant OccupantOf(int folder, const std::string& name) {
  struct stat st {};
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Occupant::Replaceable;
  if (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)) return Occupant::Replaceable;
  return S_ISDIR(st.st_mode) ? Occupant::Folder : Occupant::Special;
}

// File systems without unnamed files answer O_TMPFILE with one of these.
bool RefusesUnnamedFiles(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL || error == ENOENT;
}

// An unnamed file is named through /proc/self/fd; without /proc it could
// not be named at all.
bool CanNameUnnamedFiles() {
  return ::access("/proc/self/fd", X_OK) == 0;
}

}  // namespace

OutputFile::~OutputFile() {
  Discard();
}

void OutputFile::Fail(const char* what, long error) const {
  throw OutputFault(std::string(what) + " " + target_ + ": " + std::strerror(static_cast<int>(error)));
}

void OutputFile::RefuseToReplaceOccupant(int folder, const std::string& name) const {
  switch (OccupantOf(folder, name)) {
    case Occupant::Replaceable: return;
    case Occupant::Folder: Fail("cannot replace", EISDIR);
    case Occupant::Special: FailNotRegular();
  }
}

void OutputFile::Create(const std::string& target, bool durable) {
  Discard();
  target_ = target;
  durable_ = durable;
  if (target.empty() || HasNul(target)) Fail("cannot create", EINVAL);
  finalPath_ = target;
  if (!ResolveLinks(finalPath_)) Fail("cannot create", ELOOP);
  if (NameOf(finalPath_).empty()) Fail("cannot create", EISDIR);
  const int folder = ::open(ParentOf(finalPath_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) Fail("cannot create", errno);
  folder_ = folder;
  // What is in the way is found now rather than after all the copying.
  RefuseToReplaceOccupant(folder, NameOf(finalPath_));

  int fd = -1;
  if (CanNameUnnamedFiles()) {
    fd = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0 && !RefusesUnnamedFiles(errno)) Fail("cannot create", errno);
  }
  if (fd < 0) {
    // A hidden file beside the target, removed again however the merge
    // ends short of a kill.
    // The name is remembered before the file exists, so that a signal
    // cannot come between its creation and its registration.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      const std::string name = HiddenName(".tmp");
      temporarySlot_ = RememberTemporary(ParentOf(finalPath_) + "/" + name);
      fd = ::openat(folder, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd >= 0) {
        temporaryPath_ = ParentOf(finalPath_) + "/" + name;
        break;
      }
      const int error = errno;
      ForgetTemporary(temporarySlot_);
      if (error != EEXIST) Fail("cannot create", error);
    }
    if (fd < 0) Fail("cannot create", EEXIST);
  }
  handle_ = fd;
  buffer_.clear();
  buffer_.reserve(kOutputBufferBytes);
  flushed_ = 0;
}

void OutputFile::WriteFully(std::uint64_t offset, const char* data, std::size_t length) {
  while (length > 0) {
    const ssize_t put = ::pwrite(AsFd(handle_), data, length, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) Fail("cannot write", put < 0 ? errno : EIO);
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
    // A full disk or a size limit is the output's fault whatever copies;
    // anything else (no such copy here, across file systems, an input
    // error) is left to the plain reads and writes, which tell which side
    // failed.
    if (moved < 0 && (errno == ENOSPC || errno == EDQUOT || errno == EFBIG)) Fail("cannot write", errno);
    if (moved <= 0) break;
    left -= static_cast<std::uint64_t>(moved);
  }
  flushed_ = static_cast<std::uint64_t>(out);
  return length - left;
}

std::size_t OutputFile::CloneBlockSize(const InputFile& input) {
  struct stat st {};
  struct stat source {};
  if (handle_ < 0 || ::fstat(AsFd(handle_), &st) != 0 || st.st_blksize <= 0) return 0;
  if (::fstat(AsFd(input.NativeHandle()), &source) != 0) return 0;
  const auto block = static_cast<std::size_t>(st.st_blksize);
  if (input.Size() < block) return 0;
  // One probe per file system the inputs come from: the answer holds for
  // every input there.
  const auto device = static_cast<std::uint64_t>(source.st_dev);
  for (const auto& [probed, answer] : cloneProbes_)
    if (probed == device) return answer;
  cloneProbes_.emplace_back(device, ProbeClone(input, block));
  return cloneProbes_.back().second;
}

std::size_t OutputFile::ProbeClone(const InputFile& input, std::size_t block) {
  // A scratch unnamed file on the output's file system takes one block.
  const Descriptor scratch(::openat(AsFd(folder_), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (!scratch) return 0;
  struct file_clone_range range {};
  range.src_fd = AsFd(input.NativeHandle());
  range.src_offset = 0;
  range.src_length = block;
  range.dest_offset = 0;
  return ::ioctl(scratch.Get(), FICLONERANGE, &range) == 0 ? block : 0;
}

void OutputFile::AppendCloned(const InputFile& input, std::uint64_t offset, std::uint64_t length,
                              std::size_t blockSize) {
  if (!RangeInside(input.Size(), offset, length)) throw InputFault("data to copy lies outside " + input.Path());
  const std::uint64_t head = std::min<std::uint64_t>(length, (blockSize - offset % blockSize) % blockSize);
  AppendFrom(input, offset, head);
  offset += head;
  length -= head;
  const std::uint64_t whole = length - length % blockSize;
  Flush();
  if (whole > 0 && flushed_ % blockSize == 0) {
    struct file_clone_range range {};
    range.src_fd = AsFd(input.NativeHandle());
    range.src_offset = offset;
    range.src_length = whole;
    range.dest_offset = flushed_;
    if (::ioctl(AsFd(handle_), FICLONERANGE, &range) == 0) {
      flushed_ += whole;
      offset += whole;
      length -= whole;
    } else if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) {
      Fail("cannot write", errno);
    }
  }
  AppendFrom(input, offset, length);  // the tail, or everything the system would not clone
}

void OutputFile::TruncateTo(std::uint64_t length) {
  if (length >= flushed_) {
    buffer_.resize(std::min<std::size_t>(buffer_.size(), static_cast<std::size_t>(length - flushed_)));
    return;
  }
  buffer_.clear();
  if (::ftruncate(AsFd(handle_), static_cast<off_t>(length)) != 0) Fail("cannot truncate", errno);
  flushed_ = length;
}

namespace {

// The new file takes the permission bits, owner and group of the regular
// file it replaces.
void CarryOverAttributes(int fd, int folder, const std::string& name) {
  struct stat old {};
  if (::fstatat(folder, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(old.st_mode)) return;
  struct stat mine {};
  if (::fstat(fd, &mine) == 0 && (mine.st_uid != old.st_uid || mine.st_gid != old.st_gid)) {
    // Only a privileged caller may give a file away; anyone may choose
    // among their own groups. What is not allowed is left as created.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0) (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
  }
  (void)::fchmod(fd, old.st_mode & 07777);  // after fchown, which may clear set-id bits
}

}  // namespace

void OutputFile::Commit() {
  Flush();
  const int fd = AsFd(handle_);
  const int folder = AsFd(folder_);
  const std::string name = NameOf(finalPath_);
  CarryOverAttributes(fd, folder, name);
  if (durable_ && ::fsync(fd) != 0) Fail("cannot flush", errno);

  if (!temporaryPath_.empty()) {
    // A named file is closed first, so that a late write error is seen
    // before it replaces anything.
    handle_ = -1;
    if (::close(fd) != 0) Fail("cannot write", errno);
  } else if (!LinkUnnamed(fd, folder, name)) {
    Fail("cannot create", errno);
  }
  if (!temporaryPath_.empty()) {
    // Looked at again: a folder, device or FIFO may have taken the name
    // while the output was written, and the rename would replace it.
    RefuseToReplaceOccupant(folder, name);
    if (::renameat(folder, NameOf(temporaryPath_).c_str(), folder, name.c_str()) != 0) Fail("cannot replace", errno);
    ForgetTemporary(temporarySlot_);
    temporaryPath_.clear();
  }
  if (durable_ && ::fsync(folder) != 0) Fail("the output was written, but cannot flush the folder of", errno);
  Discard();
}

// Names an unnamed file: straight under the target's name when that is
// free, else under a hidden name that Commit then renames over the target.
bool OutputFile::LinkUnnamed(int fd, int folder, const std::string& name) {
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  if (::linkat(AT_FDCWD, self, folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return true;
  if (errno != EEXIST) return false;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string hidden = ParentOf(finalPath_) + "/" + HiddenName(".tmp");
    temporarySlot_ = RememberTemporary(hidden);  // before the name exists, as in Create
    if (::linkat(AT_FDCWD, self, folder, NameOf(hidden).c_str(), AT_SYMLINK_FOLLOW) == 0) {
      temporaryPath_ = hidden;
      return true;
    }
    const int error = errno;
    ForgetTemporary(temporarySlot_);
    if (error != EEXIST) {
      errno = error;
      return false;
    }
  }
  return false;
}

void OutputFile::Discard() noexcept {
  if (handle_ >= 0) ::close(AsFd(handle_));
  handle_ = -1;
  if (!temporaryPath_.empty()) ::unlink(temporaryPath_.c_str());
  ForgetTemporary(temporarySlot_);
  temporaryPath_.clear();
  if (folder_ >= 0) ::close(AsFd(folder_));
  folder_ = -1;
  buffer_.clear();
  flushed_ = 0;
  cloneProbes_.clear();
}

}  // namespace vellox::platform
