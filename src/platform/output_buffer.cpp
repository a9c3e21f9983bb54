// The output's user-space buffer, the same on every platform: appends are
// gathered and written in few calls; only WriteFully and the kernel copy
// differ between platforms. Also the order in which an append in place is
// made part of its file.
#include <algorithm>
#include <stdexcept>
#include <vector>

#include "platform/files.hpp"

namespace vellox::platform {

void OutputFile::Flush() {
  if (buffer_.empty()) return;
  WriteFully(flushed_, buffer_.data(), buffer_.size());
  flushed_ += buffer_.size();
  buffer_.clear();
}

void OutputFile::Append(std::string_view bytes) {
  if (bytes.size() >= kDirectAppendBytes) {
    WriteFully(flushed_, buffer_, bytes);
    flushed_ += buffer_.size() + bytes.size();
    buffer_.clear();
    return;
  }
  if (buffer_.size() + bytes.size() > kOutputBufferBytes) Flush();
  buffer_.append(bytes);
}

void OutputFile::AppendByte(unsigned char byte) {
  if (buffer_.size() + 1 > kOutputBufferBytes) Flush();
  buffer_.push_back(static_cast<char>(byte));
}

void OutputFile::WriteAt(std::uint64_t offset, std::string_view bytes) {
  if (offset + bytes.size() > Position()) throw std::logic_error("write past the end of the output");
  if (offset >= flushed_) {
    buffer_.replace(static_cast<std::size_t>(offset - flushed_), bytes.size(), bytes);
    return;
  }
  if (stream_) FailRewind();
  Flush();
  WriteFully(offset, bytes.data(), bytes.size());
}

void OutputFile::Finish() {
  Flush();
  FlushIfDurable();
  std::string().swap(buffer_);  // a finished file waiting for its name holds no buffer
}

void OutputFile::AppendFrom(const InputFile& input, std::uint64_t offset, std::uint64_t length) {
  if (!RangeInside(input.Size(), offset, length)) throw InputFault("data to copy lies outside " + input.Path());
  if (length == 0) return;
  // Small pieces are cheaper through the buffer than as their own call.
  if (length <= kSmallPieceBytes) {
    AppendSmallPiece(input, offset, length);
    return;
  }
  Flush();
  const std::uint64_t moved = CopyInKernel(input, offset, length);
  offset += moved;
  length -= moved;
  // Whatever the kernel did not copy goes through one bounded chunk.
  std::vector<char> chunk;
  while (length > 0) {
    const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyChunkBytes));
    chunk.resize(step);
    if (!input.ReadAt(offset, chunk.data(), step)) throw InputFault("cannot read " + input.Path());
    WriteFully(flushed_, chunk.data(), step);
    flushed_ += step;
    offset += step;
    length -= step;
  }
}

void OutputFile::AppendSmallPiece(const InputFile& input, std::uint64_t offset, std::uint64_t length) {
  // Read straight into the buffer's free end: no temporary, no zero fill
  // beyond the piece itself.
  const auto size = static_cast<std::size_t>(length);
  if (buffer_.size() + size > kOutputBufferBytes) Flush();
  const std::size_t at = buffer_.size();
  buffer_.resize(at + size);
  if (!input.ReadAt(offset, buffer_.data() + at, size)) {
    buffer_.resize(at);
    throw InputFault("cannot read " + input.Path());
  }
}

bool OutputFile::ReadAt(std::uint64_t offset, void* destination, std::size_t length) const noexcept {
  if (!appending_ || !RangeInside(appendFrom_, offset, length)) return false;
  return ReadOpened(offset, destination, length);
}

// The order that keeps the file readable whatever happens: the new pages
// reach the disk before the link that makes them part of the file, so no
// crash can leave a link to pages that are not there.
void OutputFile::LinkAppended(std::uint64_t offset, std::string_view link, std::string_view old) {
  if (!appending_ || offset + link.size() > appendFrom_ || link.size() != old.size())
    throw std::logic_error("not a link of the file appended to");
  Flush();
  FlushToDisk();
  if (!KeepFromSignals()) throw Failure(FailureSource::Cancelled, "cancelled");
  try {
    WriteFully(offset, link.data(), link.size());
    FlushToDisk();
  } catch (const std::exception&) {
    // The link may be on its way to the disk, whole or in part: the old one
    // goes back, and only once that is on the disk may the pages it would
    // point at go too.
    keepAppended_ = true;
    try {
      WriteFully(offset, old.data(), old.size());
      FlushToDisk();
      keepAppended_ = false;
    } catch (const std::exception&) {
    }
    throw;
  }
  keepAppended_ = true;
}

}  // namespace vellox::platform
