// Fault injection for the platform layer: the system calls the merger's
// library makes are wrapped at link time (-Wl,--wrap), so a test can make
// the output's writes fail after N bytes or come back short, the kernel
// copy, rename, link, truncate and flush fail, and unnamed files be
// refused, while everything else goes to the real calls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vellox::test {

struct FaultPlan {
  std::int64_t WriteLimit = -1;  // pwrite fails once this many bytes were written (-1: never)
  int WriteError = 28;           // errno of that failure (ENOSPC)
  std::size_t ShortWrite = 0;    // pwrite moves at most this many bytes a call (0: no cap)
  int CopyRangeError = 0;        // copy_file_range fails with this errno
  int RenameError = 0;           // renameat fails with this errno
  int LinkError = 0;             // linkat fails with this errno
  int TruncateError = 0;         // ftruncate fails with this errno
  int FsyncError = 0;            // fsync fails with this errno
  bool RefuseUnnamed = false;    // open(O_TMPFILE) fails as on a file system without unnamed files
  int ReadError = 0;             // pread of more than ReadErrorAbove bytes fails with this errno
  std::size_t ReadErrorAbove = 0;
  // Runs just before the empty-file removal asks for its lease: the moment
  // between checking a file and deleting it, where a race would strike.
  void (*BeforeLease)() = nullptr;

  // One call fails, counted from 1 while the plan is in force: the Nth call
  // that writes (pwrite, pwritev, copy_file_range) with WriteError, the Nth
  // fsync with EIO.
  std::uint64_t FailWriteCall = 0;
  std::uint64_t FailFsyncCall = 0;
};

// What the wrapped calls saw while a plan was in force.
struct FaultCounts {
  std::uint64_t BytesWritten = 0;
  std::uint64_t WriteCalls = 0;  // pwrite, pwritev and copy_file_range
  std::uint64_t CopyRangeCalls = 0;
  std::uint64_t TruncateCalls = 0;
  std::uint64_t FsyncCalls = 0;
};

// Puts a plan in force for the life of the object (one at a time).
class InjectFaults {
 public:
  explicit InjectFaults(const FaultPlan& plan);
  ~InjectFaults();
  InjectFaults(const InjectFaults&) = delete;
  InjectFaults& operator=(const InjectFaults&) = delete;
  static const FaultCounts& Counts();
};

}  // namespace vellox::test
