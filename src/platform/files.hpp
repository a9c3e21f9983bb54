// Files, paths and directory probes: the only place that talks to the
// operating system. POSIX in files_posix.cpp, Windows (wide APIs) in
// files_win32.cpp. Paths are UTF-8 on every platform.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace vellox::platform {

// An operating-system call failed; the message names the call and path.
class IoError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// True for the characters that separate path components here: "/" on
// POSIX, "\" and "/" on Windows.
bool IsSeparator(char c) noexcept;
// The separator appended to a directory that does not end in one.
char PreferredSeparator() noexcept;
bool ContainsSeparator(std::string_view path) noexcept;

// True when the path names an existing directory (following links).
bool IsDirectory(const std::string& path) noexcept;

// What the merge's removal pass learns about a listed path.
enum class ProbeKind {
  RegularFile,  // an existing regular file that opens for reading
  Missing,      // names no file, but its folder exists (dangling links too)
  Unusable,     // cannot be opened: empty, missing folder, a folder, denied
};
struct Probe {
  ProbeKind Kind = ProbeKind::Unusable;
  std::uint64_t Size = 0;
};
Probe ProbeInput(const std::string& path) noexcept;

// Deletes a file; false when it could not be deleted.
bool RemoveFile(const std::string& path) noexcept;

// An input file opened read-only for reads at any position.
class InputFile {
 public:
  enum class OpenResult { Ok, Missing, Failed };

  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens an existing regular file; never creates one.
  OpenResult Open(const std::string& path) noexcept;
  void Close() noexcept;
  bool IsOpen() const noexcept;

  std::uint64_t Size() const noexcept { return size_; }
  // Reads exactly `length` bytes at `offset`; false on a short read, an
  // error, or a range that does not lie inside the file.
  bool ReadAt(std::uint64_t offset, void* destination, std::size_t length) const noexcept;

  std::intptr_t NativeHandle() const noexcept { return handle_; }

 private:
  std::intptr_t handle_ = -1;
  std::uint64_t size_ = 0;
};

// The output: a temporary file created exclusively in the output directory,
// written at its end through a bounded buffer, renamed over the target when
// the merge succeeds and removed otherwise.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // removes the temporary file unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates a uniquely named temporary file in `directory`, which ends in
  // a separator. Throws IoError.
  void CreateTemporaryIn(const std::string& directory);

  // Offset of the next byte appended (the file's logical length).
  std::uint64_t Position() const noexcept { return flushed_ + buffer_.size(); }

  void Append(std::string_view bytes);
  void AppendByte(unsigned char byte);
  // Appends `length` bytes of `input` from `offset`, in the kernel where it
  // can; never holds more than a bounded chunk in memory.
  void AppendFrom(const InputFile& input, std::uint64_t offset, std::uint64_t length);
  // Overwrites bytes already written (for example a link ending the chain).
  void WriteAt(std::uint64_t offset, std::string_view bytes);
  // Cuts the file back to `length` bytes, dropping what came after.
  void TruncateTo(std::uint64_t length);

  // Flushes, closes and renames the temporary file to `finalPath`, which
  // is replaced when it exists. Throws IoError; the temporary is then
  // removed.
  void CommitAs(const std::string& finalPath);
  // Closes and removes the temporary file.
  void Discard() noexcept;

  const std::string& TemporaryPath() const noexcept { return temporaryPath_; }

 private:
  void Flush();
  void AppendSmallPiece(const InputFile& input, std::uint64_t offset, std::uint64_t length);
  // Copies what it can of the range in the kernel, straight to the end of
  // the file; returns how many bytes it copied (0 where there is no such copy).
  std::uint64_t CopyInKernel(const InputFile& input, std::uint64_t offset, std::uint64_t length);
  void WriteFully(std::uint64_t offset, const char* data, std::size_t length);

  std::intptr_t handle_ = -1;
  std::string temporaryPath_;
  std::string buffer_;
  std::uint64_t flushed_ = 0;  // bytes already in the file
};

// Size of the chunks in which image data is moved through user space.
inline constexpr std::size_t kCopyChunkBytes = 1u << 20;
// Pieces of image data up to this size go through the output buffer.
inline constexpr std::uint64_t kSmallPieceBytes = 64u << 10;
// Appends are gathered up to this size before one write.
inline constexpr std::size_t kOutputBufferBytes = 256u << 10;

}  // namespace vellox::platform
