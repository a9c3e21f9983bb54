// Deleting empty inputs on POSIX: the file is checked, leased where the
// system allows it, moved aside, checked again and only then deleted, all
// relative to its folder held open; whatever went wrong on the way puts it
// back under its name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "platform/files.hpp"
#include "platform/posix_common.hpp"

namespace vellox::platform {
namespace {

RemovalOutcome Failed(const char* what, int error) {
  return {Removal::Failed, std::string(what) + ": " + ErrorClause(error)};
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

// A symbolic link to an empty file: only the link goes, and only if it is
// still the link that was checked.
RemovalOutcome RemoveLinkToEmpty(int folder, const std::string& name, const struct stat& link) {
  struct stat target {};
  if (::fstatat(folder, name.c_str(), &target, 0) != 0)
    return errno == ENOENT ? RemovalOutcome{Removal::Gone, {}} : Failed("cannot look at the file it leads to", errno);
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

// Moving the checked file aside failed with ENOENT. Mostly the file went
// meanwhile, but some file systems answer so for a file that stays where it
// is (/proc): the name is looked at again to tell the two apart.
RemovalOutcome AfterMoveFoundNothing(int folder, const std::string& name, const struct stat& checked) {
  struct stat now {};
  if (::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? RemovalOutcome{Removal::Gone, {}} : Failed("cannot delete it", errno);
  if (!SameFile(now, checked)) return {Removal::NoLongerEmpty, {}};  // another file took the name
  return {Removal::Failed, "cannot delete it: its file system refuses to rename it (" + ErrorClause(ENOENT) + ")"};
}

}  // namespace

RemovalOutcome RemoveIfEmpty(const std::string& path) {
  if (path.empty() || HasNul(path) || IsSeparator(path.back())) return {Removal::Failed, "not a file name"};
  const std::string name = NameOf(path);
  const Descriptor folder(::open(ParentOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder) return Failed("cannot open its folder", errno);

  struct stat entry {};
  if (::fstatat(folder.Get(), name.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? RemovalOutcome{Removal::Gone, {}} : Failed("cannot look at it", errno);
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
  if (MoveWithoutReplacing(folder.Get(), name, aside) != 0) {
    const int error = errno;
    return error == ENOENT ? AfterMoveFoundNothing(folder.Get(), name, checked) : Failed("cannot delete it", error);
  }
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

}  // namespace vellox::platform
