// The link-time wrappers behind InjectFaults. A program that uses them
// links with vellox_wrap_system_calls(target) (tests/faults/CMakeLists.txt).
#include "support/fault_injection.hpp"

#include <fcntl.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>

extern "C" {
ssize_t __real_pwrite(int fd, const void* data, size_t length, off_t offset);
ssize_t __real_pwritev(int fd, const struct iovec* pieces, int count, off_t offset);
ssize_t __real_pread(int fd, void* data, size_t length, off_t offset);
ssize_t __real_copy_file_range(int in, off_t* inOffset, int out, off_t* outOffset, size_t length, unsigned flags);
int __real_renameat(int fromFolder, const char* from, int toFolder, const char* to);
int __real_linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags);
int __real_ftruncate(int fd, off_t length);
int __real_fsync(int fd);
int __real_openat(int folder, const char* path, int flags, ...);
int __real_fcntl(int fd, int command, ...);
}

namespace vellox::test {
namespace {

const FaultPlan* active = nullptr;
FaultCounts counts;

int Refuse(int error) {
  errno = error;
  return -1;
}

}  // namespace

InjectFaults::InjectFaults(const FaultPlan& plan) {
  active = &plan;
  counts = FaultCounts{};
}
InjectFaults::~InjectFaults() {
  active = nullptr;
}
const FaultCounts& InjectFaults::Counts() {
  return counts;
}

}  // namespace vellox::test

using vellox::test::active;
using vellox::test::counts;
using vellox::test::Refuse;

namespace {

// Bytes the output may still take under the plan's limit; a full disk
// takes what fits, then refuses.
bool RoomFor(size_t& length) {
  if (active == nullptr || active->WriteLimit < 0) return true;
  const auto limit = static_cast<std::uint64_t>(active->WriteLimit);
  const std::uint64_t room = limit - std::min(counts.BytesWritten, limit);
  if (room == 0) return false;
  length = static_cast<size_t>(std::min<std::uint64_t>(length, room));
  return true;
}

// Counts a call that writes; true when the plan makes this one fail.
bool FailsThisWrite() {
  return ++counts.WriteCalls == active->FailWriteCall;
}

}  // namespace

extern "C" ssize_t __wrap_pwrite(int fd, const void* data, size_t length, off_t offset) {
  if (active == nullptr) return __real_pwrite(fd, data, length, offset);
  if (FailsThisWrite()) return Refuse(active->WriteError);
  if (active->ShortWrite != 0 && length > active->ShortWrite) length = active->ShortWrite;
  if (!RoomFor(length)) return Refuse(active->WriteError);
  const ssize_t put = __real_pwrite(fd, data, length, offset);
  if (put > 0) counts.BytesWritten += static_cast<std::uint64_t>(put);
  return put;
}

// Under a plan, a gathered write writes its first non-empty piece alone, as
// pwrite would: a short write the caller must carry on from.
extern "C" ssize_t __wrap_pwritev(int fd, const struct iovec* pieces, int count, off_t offset) {
  if (active == nullptr) return __real_pwritev(fd, pieces, count, offset);
  for (int i = 0; i < count; ++i)
    if (pieces[i].iov_len != 0) return __wrap_pwrite(fd, pieces[i].iov_base, pieces[i].iov_len, offset);
  return 0;
}

extern "C" ssize_t __wrap_pread(int fd, void* data, size_t length, off_t offset) {
  if (active != nullptr && active->ReadError != 0 && length > active->ReadErrorAbove) return Refuse(active->ReadError);
  return __real_pread(fd, data, length, offset);
}

extern "C" ssize_t __wrap_copy_file_range(int in, off_t* inOffset, int out, off_t* outOffset, size_t length,
                                          unsigned flags) {
  if (active == nullptr) return __real_copy_file_range(in, inOffset, out, outOffset, length, flags);
  ++counts.CopyRangeCalls;
  if (active->CopyRangeError != 0) return Refuse(active->CopyRangeError);
  if (FailsThisWrite()) return Refuse(active->WriteError);
  if (!RoomFor(length)) return Refuse(active->WriteError);
  const ssize_t moved = __real_copy_file_range(in, inOffset, out, outOffset, length, flags);
  if (moved > 0) counts.BytesWritten += static_cast<std::uint64_t>(moved);
  return moved;
}

extern "C" int __wrap_renameat(int fromFolder, const char* from, int toFolder, const char* to) {
  if (active != nullptr && active->RenameError != 0) return Refuse(active->RenameError);
  return __real_renameat(fromFolder, from, toFolder, to);
}

extern "C" int __wrap_linkat(int fromFolder, const char* from, int toFolder, const char* to, int flags) {
  if (active != nullptr && active->LinkError != 0) return Refuse(active->LinkError);
  return __real_linkat(fromFolder, from, toFolder, to, flags);
}

extern "C" int __wrap_ftruncate(int fd, off_t length) {
  if (active != nullptr) {
    ++counts.TruncateCalls;
    if (active->TruncateError != 0) return Refuse(active->TruncateError);
  }
  return __real_ftruncate(fd, length);
}

extern "C" int __wrap_fsync(int fd) {
  if (active != nullptr) {
    ++counts.FsyncCalls;
    if (active->FsyncError != 0) return Refuse(active->FsyncError);
    if (counts.FsyncCalls == active->FailFsyncCall) return Refuse(EIO);
  }
  return __real_fsync(fd);
}

extern "C" int __wrap_openat(int folder, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, flags);
    mode = static_cast<mode_t>(va_arg(args, unsigned));
    va_end(args);
  }
  if (active != nullptr && active->RefuseUnnamed && (flags & O_TMPFILE) == O_TMPFILE) return Refuse(EOPNOTSUPP);
  return __real_openat(folder, path, flags, mode);
}

extern "C" int __wrap_fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  const long argument = va_arg(args, long);
  va_end(args);
  if (active != nullptr && command == F_SETLEASE && argument != F_UNLCK && active->BeforeLease != nullptr)
    active->BeforeLease();
  return __real_fcntl(fd, command, argument);
}
