// Moving image data without reading it into the process on Linux: copies in
// the kernel (copy_file_range) and clones of whole blocks (FICLONERANGE),
// which share the input's extents where the file system can.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/files.hpp"
#include "platform/posix_common.hpp"

namespace vellox::platform {
namespace {

// Largest piece handed to one copy_file_range call.
constexpr std::uint64_t kKernelCopyStepBytes = 8u << 20;

}  // namespace

// A stream (a pipe, most often) takes the input's bytes from the kernel
// with sendfile, which writes at the stream's own position.
std::uint64_t OutputFile::SendInKernel(const InputFile& input, std::uint64_t offset, std::uint64_t length) {
  off_t in = static_cast<off_t>(offset);
  std::uint64_t left = length;
  while (left > 0) {
    const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(left, kKernelCopyStepBytes));
    const ssize_t moved = ::sendfile(AsFd(handle_), AsFd(input.NativeHandle()), &in, step);
    if (moved < 0 && errno == EINTR) continue;
    if (moved < 0 && (errno == EPIPE || errno == ENOSPC || errno == EDQUOT || errno == EFBIG))
      Fail("cannot write", errno);
    if (moved <= 0) break;
    left -= static_cast<std::uint64_t>(moved);
    flushed_ += static_cast<std::uint64_t>(moved);
  }
  return length - left;
}

std::uint64_t OutputFile::CopyInKernel(const InputFile& input, std::uint64_t offset, std::uint64_t length) {
  if (stream_) return SendInKernel(input, offset, length);
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
  if (stream_ || handle_ < 0 || ::fstat(AsFd(handle_), &st) != 0 || st.st_blksize <= 0) return 0;
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

}  // namespace vellox::platform
