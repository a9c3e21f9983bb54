// The output on POSIX: an unnamed file (O_TMPFILE) or a hidden one beside
// the target, written, then given the target's name in one step; the
// hidden names of outputs in progress, for removal on a signal; an existing
// file opened to append to in place, and the lock that serialises appends.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/files.hpp"
#include "platform/posix_common.hpp"
#include "platform/temporary_names.hpp"

namespace vellox::platform {
namespace {

constexpr int kPipeBytes = 1 << 20;

constinit TemporaryNames<char> temporaryNames;

// The files that appends in progress add to, with their lengths before, so
// that a process ending on a signal cuts them back (ftruncate is
// async-signal-safe). A slot holds a descriptor, or -1 when free (-2 while
// it is filled); whoever takes a descriptor out first owns the file's end:
// the handler cuts it back, or the append goes on to write its link.
class AppendsInProgress {
 public:
  int Remember(int fd, std::uint64_t length) noexcept {
    for (std::size_t i = 0; i < kSlots; ++i) {
      int expected = -1;
      if (!slots_[i].Fd.compare_exchange_strong(expected, -2)) continue;
      slots_[i].Length.store(length);
      slots_[i].Fd.store(fd);
      return static_cast<int>(i);
    }
    return -1;  // not cut back on a signal: its bytes stay past the chain's end
  }
  // False when the handler had taken the slot's descriptor.
  bool Forget(int& slot) noexcept {
    if (slot < 0) return true;
    const int fd = slots_[slot].Fd.exchange(-1);
    slot = -1;
    return fd >= 0;
  }
  void CutAllBack() noexcept {
    for (Slot& slot : slots_) {
      int fd = slot.Fd.load();
      if (fd >= 0 && slot.Fd.compare_exchange_strong(fd, -1))
        (void)::ftruncate(fd, static_cast<off_t>(slot.Length.load()));
    }
  }

 private:
  static constexpr std::size_t kSlots = 64;
  struct Slot {
    std::atomic<int> Fd{-1};
    std::atomic<std::uint64_t> Length{0};
  };
  Slot slots_[kSlots];
};

constinit AppendsInProgress appendsInProgress;

int RememberTemporary(const std::string& path) noexcept {
  return temporaryNames.Remember(path);
}

void ForgetTemporary(int& slot) noexcept {
  temporaryNames.Forget(slot);
}

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

// Takes a lock of `type` (F_WRLCK, F_RDLCK) on the whole file, waiting
// while another holds a conflicting one; `interrupted` runs when a signal
// breaks the wait. The lock belongs to the open file (F_OFD_SETLKW), so it
// goes only when this descriptor closes, and two descriptors in one process
// exclude each other too. Where the kernel has no such locks, the process's
// own (F_SETLKW): those serialise processes but not threads of one process.
bool LockWholeFile(int fd, short type, const std::function<void()>& interrupted) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  int command = F_SETLKW;
#ifdef F_OFD_SETLKW
  command = F_OFD_SETLKW;
#endif
  for (;;) {
    if (::fcntl(fd, command, &lock) == 0) return true;
    if (errno == EINTR) {
      if (interrupted) interrupted();
      continue;
    }
    if (errno != EINVAL || command == F_SETLKW) return false;
    command = F_SETLKW;  // a kernel without open file description locks
    lock.l_pid = 0;
  }
}

// Opens the regular file a merge is about to replace and waits until no
// append holds it (a read lock conflicts with an append's write lock). A
// file this process may not read, or that is not there, gives no lock: the
// rename goes ahead as before.
Descriptor WaitForAppends(int folder, const std::string& name) {
  Descriptor file(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st {};
  if (!file || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return Descriptor();
  if (!LockWholeFile(file.Get(), F_RDLCK, {})) return Descriptor();
  return Descriptor(file.Release());
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

void RemoveTemporaryFiles() noexcept {
  temporaryNames.RemoveAll([](const char* path) { ::unlink(path); });
  appendsInProgress.CutAllBack();
}

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
  struct stat replaced {};
  replacesFile_ =
      ::fstatat(folder, NameOf(finalPath_).c_str(), &replaced, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(replaced.st_mode);
  readReplaced_ = false;
  replacedDevice_ = static_cast<std::uint64_t>(replaced.st_dev);
  replacedNode_ = static_cast<std::uint64_t>(replaced.st_ino);

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
  buffer_.reserve(kFirstBufferBytes);
  flushed_ = 0;
}

void OutputFile::CreateStream(bool spooled) {
  Discard();
  target_ = "standard output";
  buffer_.reserve(kFirstBufferBytes);
  if (!spooled) {
    stream_ = true;
    handle_ = STDOUT_FILENO;
    // A larger pipe takes the file in fewer turns between writer and reader
    // (where the system allows it; anything else keeps its size).
    (void)::fcntl(STDOUT_FILENO, F_SETPIPE_SZ, kPipeBytes);
    return;
  }
  const char* folder = std::getenv("TMPDIR");
  const std::string where = folder != nullptr && *folder != '\0' ? folder : "/tmp";
  int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::string name = where + "/.vellox-XXXXXX";
    fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
  }
  if (fd < 0)
    throw OutputFault("cannot make a temporary file in " + where + " for " + target_ + ": " + ErrorClause(errno));
  handle_ = fd;
  spooled_ = true;
}

// Copies a spooled output to the standard output.
void OutputFile::SendSpooled() {
  off_t from = 0;
  const auto size = static_cast<off_t>(flushed_);
  while (from < size) {
    const ssize_t moved = ::sendfile(STDOUT_FILENO, AsFd(handle_), &from, static_cast<std::size_t>(size - from));
    if (moved < 0 && errno == EINTR) continue;
    if (moved > 0) continue;
    if (moved < 0 && errno != EINVAL && errno != ENOSYS) Fail("cannot write", errno);
    // No sendfile to this kind of output: through a buffer.
    std::vector<char> chunk(kCopyChunkBytes);
    while (from < size) {
      const ssize_t got = ::pread(AsFd(handle_), chunk.data(),
                                  std::min<std::size_t>(chunk.size(), static_cast<std::size_t>(size - from)), from);
      if (got <= 0) Fail("cannot read back the temporary copy of", got < 0 ? errno : EIO);
      for (ssize_t done = 0; done < got;) {
        const ssize_t put = ::write(STDOUT_FILENO, chunk.data() + done, static_cast<std::size_t>(got - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) Fail("cannot write", put < 0 ? errno : EIO);
        done += put;
      }
      from += got;
    }
  }
}

void OutputFile::FlushIfDurable() {
  if (durable_ && !stream_ && ::fsync(AsFd(handle_)) != 0) Fail("cannot flush", errno);
}

void OutputFile::WriteFully(std::uint64_t offset, const char* data, std::size_t length) {
  if (stream_ && offset != flushed_) FailRewind();
  while (length > 0) {
    const ssize_t put = stream_ ? ::write(AsFd(handle_), data, length)
                                : ::pwrite(AsFd(handle_), data, length, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) Fail("cannot write", put < 0 ? errno : EIO);
    data += put;
    offset += static_cast<std::uint64_t>(put);
    length -= static_cast<std::size_t>(put);
  }
}

void OutputFile::WriteFully(std::uint64_t offset, std::string_view first, std::string_view second) {
  // One call for both where the system takes them whole; what it leaves
  // goes on piece by piece.
  if (stream_ && offset != flushed_) FailRewind();
  iovec pieces[2] = {{const_cast<char*>(first.data()), first.size()},
                     {const_cast<char*>(second.data()), second.size()}};
  ssize_t put = -1;
  do {
    put =
        stream_ ? ::writev(AsFd(handle_), pieces, 2) : ::pwritev(AsFd(handle_), pieces, 2, static_cast<off_t>(offset));
  } while (put < 0 && errno == EINTR);
  if (put <= 0) Fail("cannot write", put < 0 ? errno : EIO);
  const auto done = static_cast<std::size_t>(put);
  if (done < first.size()) WriteFully(offset + done, first.data() + done, first.size() - done);
  const std::size_t intoSecond = done > first.size() ? done - first.size() : 0;
  if (intoSecond < second.size())
    WriteFully(offset + first.size() + intoSecond, second.data() + intoSecond, second.size() - intoSecond);
}

void OutputFile::TruncateTo(std::uint64_t length) {
  if (length >= flushed_) {
    buffer_.resize(std::min<std::size_t>(buffer_.size(), static_cast<std::size_t>(length - flushed_)));
    return;
  }
  if (stream_) FailRewind();
  buffer_.clear();
  if (::ftruncate(AsFd(handle_), static_cast<off_t>(length)) != 0) Fail("cannot truncate", errno);
  flushed_ = length;
}

void OutputFile::Commit() {
  Flush();
  if (spooled_) SendSpooled();
  if (stream_ || spooled_) {
    Discard();
    return;
  }
  const int fd = AsFd(handle_);
  const int folder = AsFd(folder_);
  const std::string name = NameOf(finalPath_);
  CarryOverAttributes(fd, folder, name);
  FlushIfDurable();

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
    const Descriptor replaced = WaitForAppends(folder, name);
    struct stat now {};
    if (readReplaced_ && replaced && ::fstat(replaced.Get(), &now) == 0 &&
        static_cast<std::uint64_t>(now.st_dev) == replacedDevice_ &&
        static_cast<std::uint64_t>(now.st_ino) == replacedNode_ &&
        static_cast<std::uint64_t>(now.st_size) != replacedLength_)
      throw OutputFault("cannot replace " + target_ +
                        ": it changed while it was merged (pages were added to it, perhaps by an append), and "
                        "replacing it would lose them; merge again");
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
  if (appending_) (void)KeepFromSignals();
  struct stat st {};
  if (handle_ >= 0 && appending_ && !keepAppended_ && ::fstat(AsFd(handle_), &st) == 0 &&
      static_cast<std::uint64_t>(st.st_size) != appendFrom_)
    (void)::ftruncate(AsFd(handle_), static_cast<off_t>(appendFrom_));  // best effort: past the chain's end anyway
  appending_ = keepAppended_ = false;
  appendFrom_ = 0;
  if (handle_ >= 0 && !stream_) ::close(AsFd(handle_));
  stream_ = false;
  spooled_ = false;
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

void OutputFile::OpenForAppend(const std::string& target, const std::function<void()>& interrupted) {
  Discard();
  target_ = finalPath_ = target;
  if (target.empty() || HasNul(target)) Fail("cannot append to", EINVAL);
  constexpr int kMaxAttempts = 100;
  for (int attempt = 1;; ++attempt) {
    // What the name holds is looked at before it is opened: opening a
    // device could act on it.
    struct stat named {};
    if (::stat(target.c_str(), &named) != 0) Fail("cannot append to", errno);
    if (S_ISDIR(named.st_mode)) Fail("cannot append to", EISDIR);
    if (!S_ISREG(named.st_mode)) throw OutputFault("cannot append to " + target_ + ": not a regular file");
    Descriptor file(::open(target.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!file) Fail("cannot append to", errno);
    struct stat held {};
    if (::fstat(file.Get(), &held) != 0) Fail("cannot append to", errno);
    if (!S_ISREG(held.st_mode)) throw OutputFault("cannot append to " + target_ + ": not a regular file");
    if (!LockWholeFile(file.Get(), F_WRLCK, interrupted)) Fail("cannot lock", errno);
    // While this waited, a merge may have put another file under the name:
    // the pages go to the file that has it now.
    if (::stat(target.c_str(), &named) == 0 && SameFile(named, held)) {
      handle_ = file.Release();
      break;
    }
    if (attempt == kMaxAttempts) throw OutputFault("cannot append to " + target_ + ": it is replaced again and again");
  }
  // The folder, for probing whether inputs' blocks can be cloned here.
  folder_ = ::open(ParentOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  struct stat st {};  // its length now that it is held
  if (::fstat(AsFd(handle_), &st) != 0) Fail("cannot append to", errno);
  appending_ = true;
  appendFrom_ = flushed_ = static_cast<std::uint64_t>(st.st_size);
  appendSlot_ = appendsInProgress.Remember(AsFd(handle_), appendFrom_);
  buffer_.clear();
  buffer_.reserve(kOutputBufferBytes);
}

void OutputFile::ReplaceOnlyUnchanged(const InputFile& input) {
  struct stat st {};
  if (!replacesFile_ || ::fstat(AsFd(input.NativeHandle()), &st) != 0) return;
  if (static_cast<std::uint64_t>(st.st_dev) != replacedDevice_ ||
      static_cast<std::uint64_t>(st.st_ino) != replacedNode_)
    return;
  readReplaced_ = true;
  replacedLength_ = input.Size();
}

bool OutputFile::KeepFromSignals() noexcept {
  if (appendsInProgress.Forget(appendSlot_)) return true;
  // A signal handler is cutting the file back as the process ends: its
  // descriptor must stay what it is until then, never closed or reused.
  handle_ = -1;
  appending_ = false;
  return false;
}

bool OutputFile::ReadOpened(std::uint64_t offset, void* destination, std::size_t length) const noexcept {
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

void OutputFile::FlushToDisk() {
  if (::fsync(AsFd(handle_)) != 0) Fail("cannot flush", errno);
}

}  // namespace vellox::platform
