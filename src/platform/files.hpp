// Files, paths and directory probes: the only place that talks to the
// operating system. Paths are UTF-8 on every platform. Each job has one
// source file per platform, NAME_posix.cpp and NAME_win32.cpp (Windows:
// wide APIs), with the helpers they share in posix_common.hpp and
// win32_common.hpp:
//   paths          separators, folder probes, the parts of a path
//   input_file     InputFile, InputHandleBudget
//   empty_removal  RemoveIfEmpty
//   output_file    OutputFile: create, commit, discard; RemoveTemporaryFiles
//   block_clone    OutputFile's copies in the kernel and block clones
// output_buffer.cpp, the output's buffered appends, is the same everywhere.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/failure.hpp"
#include "platform/range.hpp"

namespace vellox::platform {

// ---------------------------------------------------------------------------
// Paths (paths_*.cpp)

// True for the characters that separate path components here: "/" on
// POSIX, "\" and "/" on Windows.
bool IsSeparator(char c) noexcept;
// The separator appended to a directory that does not end in one.
char PreferredSeparator() noexcept;
bool ContainsSeparator(std::string_view path) noexcept;

// Why `path` cannot name an input file, before the system is asked (an
// empty path, a NUL byte, a trailing separator), or nullptr.
inline const char* InputPathProblem(std::string_view path) noexcept {
  if (path.empty()) return "empty path";
  if (path.find('\0') != std::string_view::npos) return "contains a NUL byte";
  if (IsSeparator(path.back())) return "names a folder";
  return nullptr;
}

// True when the path names an existing directory (following links).
bool IsDirectory(const std::string& path) noexcept;

// ---------------------------------------------------------------------------
// Inputs (input_file_*.cpp)

// An input file opened read-only for reads at any position.
class InputFile {
 public:
  enum class OpenResult { Ok, Missing, Failed };

  InputFile() = default;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens an existing regular file; never creates one. Missing means no
  // file under the name in a folder that exists (a dangling link too);
  // anything else that is not Ok is Failed.
  OpenResult Open(const std::string& path) noexcept;
  // Why the last Open that was not Ok failed, as a lower-case clause that
  // fits in a sentence: "permission denied", "is a directory", "not a
  // regular file", "the folder does not exist", "empty path". The system's
  // own text where the system refused. Empty after a successful Open.
  const std::string& Error() const noexcept { return error_; }
  void Close() noexcept;
  bool IsOpen() const noexcept;

  std::uint64_t Size() const noexcept { return size_; }
  // Reads exactly `length` bytes at `offset`; false on a short read, an
  // error, or a range that does not lie inside the file.
  bool ReadAt(std::uint64_t offset, void* destination, std::size_t length) const noexcept;

  std::intptr_t NativeHandle() const noexcept { return handle_; }
  const std::string& Path() const noexcept { return path_; }

 private:
  OpenResult Refuse(std::string why) noexcept {
    error_ = std::move(why);
    return OpenResult::Failed;
  }

  std::intptr_t handle_ = -1;
  std::uint64_t size_ = 0;
  std::string path_;
  std::string error_;
};

// A path that opens what the process's standard input holds: the file
// itself when it is a regular file, else (a pipe, a terminal) a copy of
// everything it gives, read once to its end into an unnamed temporary file
// (in $TMPDIR, else /tmp) that lasts as long as the process. Every call
// gives the same path. False, with `error` saying why, when it cannot.
bool StandardInputPath(std::string& path, std::string& error);

// How many input files the merges of this process may hold open at once,
// all together: half of what the process may open (less some room for the
// outputs and the host), at least 16. The process's limits are left as
// they are: raising them would change the host's process too (a host using
// select() cannot take descriptors past 1024). Windows, which has no such
// small limit: 4096. Thread-safe.
std::size_t InputHandleBudget() noexcept;

// ---------------------------------------------------------------------------
// Deleting empty inputs (empty_removal_*.cpp)

// What became of a listed file that was found empty.
enum class Removal {
  Deleted,        // an empty regular file, deleted
  DeletedLink,    // a symbolic link to an empty file: the link was deleted, the file kept
  NoLongerEmpty,  // written to while it was checked: kept, it is an input now
  InUse,          // held open by another program: kept, it may be written yet
  Gone,           // no longer there: the system found no such file
  Failed,         // could not be deleted (Detail says why)
};
struct RemovalOutcome {
  Removal Kind = Removal::Failed;
  std::string Detail;
};

// Deletes the file at `path` only if it is empty at the moment of deletion
// and is the very file that was checked. POSIX: the folder is opened once
// and the check, the deletion and the re-check all happen relative to it,
// so no change to the path meanwhile can redirect the deletion; where the
// system allows it, the file is also leased, so that no other program can
// open it in between (see README, "Deleting empty inputs"). Windows: one
// handle that denies writers checks the file and deletes it.
RemovalOutcome RemoveIfEmpty(const std::string& path);

// ---------------------------------------------------------------------------
// The output (output_file_*.cpp; its buffer in output_buffer.cpp, its copies
// in the kernel and block clones in block_clone_*.cpp)

// The output of one merge. It is created for the path it will replace and
// gets that name only at Commit: until then it is an unnamed file (Linux
// O_TMPFILE), or, where the file system refuses those, a uniquely named
// hidden file beside the target that the destructor, Discard and
// RemoveTemporaryFiles remove (on Windows marked delete-on-close until
// Commit, so that even a killed process leaves nothing). Every failure throws OutputFault, whose
// message names the target.
class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();  // discards the file unless committed
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Creates the file that will replace `target`. When `target` is a
  // symbolic link, the file it points to is the one replaced (and the new
  // file is made in that file's folder). A folder, device, FIFO or socket
  // there, or a loop of links, is refused before anything is written.
  // `durable` flushes the file before Commit names it and the folder
  // afterwards.
  void Create(const std::string& target, bool durable);
  // Writes to the process's standard output instead, front to back: bytes
  // still in the buffer can be changed (WriteAt, TruncateTo), bytes already
  // written cannot, and asking to fails. Commit and Discard leave the
  // standard output open. `spooled`: the file is written to an unnamed
  // temporary file first (in $TMPDIR, else /tmp) and copied to the standard
  // output at Commit, for a merge that must go back to what it wrote.
  void CreateStream(bool spooled = false);
  bool IsStream() const noexcept { return stream_; }

  // Offset of the next byte appended (the file's logical length).
  std::uint64_t Position() const noexcept { return flushed_ + buffer_.size(); }

  void Append(std::string_view bytes);
  void AppendByte(unsigned char byte);
  // Appends `length` bytes of `input` from `offset`, in the kernel where it
  // can; never holds more than a bounded chunk in memory. A failed read is
  // an InputFault, a failed write an OutputFault.
  void AppendFrom(const InputFile& input, std::uint64_t offset, std::uint64_t length);
  // The block size at which `input`'s data can be cloned into this file
  // (shared with the input, not copied), or 0 where the file systems cannot
  // (a different file system, or one without shared extents). Probes once
  // with a scratch file beside the output.
  std::size_t CloneBlockSize(const InputFile& input);
  // Appends `length` bytes of `input` from `offset` as AppendFrom does, but
  // clones the whole blocks in between; the output must stand at the same
  // place within a block of `blockSize` as `offset`. Ranges the system will
  // not clone are copied: the bytes are the same either way.
  void AppendCloned(const InputFile& input, std::uint64_t offset, std::uint64_t length, std::size_t blockSize);
  // Overwrites bytes already written (for example a link ending the chain).
  void WriteAt(std::uint64_t offset, std::string_view bytes);
  // Cuts the file back to `length` bytes, dropping what came after.
  void TruncateTo(std::uint64_t length);

  // Writes what is buffered and gives the file the target's name, replacing
  // what was there atomically. A replaced file's permission bits (and its
  // owner and group, where the caller may set them) carry over. While an
  // append holds the file being replaced (see OpenForAppend), waits for it
  // to end, so that no append adds pages to a file already gone (Windows,
  // which renames over no open file, fails instead while an append has it
  // open).
  void Commit();
  // Writes what is buffered (and flushes the file to the disk when durable)
  // without naming it: for a caller that names several outputs together.
  void Finish();
  // Tells the output that the merge has read `input` at its present length:
  // when that is the file Commit is to replace, Commit fails instead if the
  // file has changed length meanwhile (pages appended while it was merged
  // would otherwise be lost). POSIX; Windows does not check.
  void ReplaceOnlyUnchanged(const InputFile& input);
  // Closes and removes the file (a file opened for appending: cuts it back
  // to its length at opening unless LinkAppended succeeded, and closes it).
  void Discard() noexcept;

  // Appending in place: opens the existing regular file `target` for
  // reading and writing, nothing truncated, and takes the lock that
  // serialises appends (POSIX: a write lock on the whole file, held by the
  // open file; Windows: LockFileEx on kAppendLockByte), waiting while
  // another append holds it; `interrupted` runs when a signal breaks the
  // wait, and may throw to give up. If the name has passed to another file
  // meanwhile (a merge replaced it), that file is opened instead. Appends
  // then go after the file's end; until LinkAppended has succeeded,
  // Discard and the destructor cut it back to its length at opening (best
  // effort). Commit is not used. Failures throw OutputFault ("cannot append
  // to TARGET: ...").
  void OpenForAppend(const std::string& target, const std::function<void()>& interrupted);
  // The file's length when it was opened for appending.
  std::uint64_t AppendedFrom() const noexcept { return appendFrom_; }
  // Reads exactly `length` bytes at `offset` of what the file held when it
  // was opened for appending; false outside that or on a read error.
  bool ReadAt(std::uint64_t offset, void* destination, std::size_t length) const noexcept;
  // Makes what was appended part of the file: flushes it to the disk, then
  // writes `link` over `old` at `offset` (the link that is to point at the
  // first new page) in one write, and flushes again. A failure before the
  // link was written leaves it as it was; a failure of that write or of the
  // last flush puts `old` back (the appended bytes are then cut off only if
  // that too reached the disk). Throws OutputFault.
  void LinkAppended(std::uint64_t offset, std::string_view link, std::string_view old);

  // The path the caller asked for, as used in messages.
  const std::string& Target() const noexcept { return target_; }
  // The hidden name while the file has one (empty for an unnamed file).
  const std::string& TemporaryPath() const noexcept { return temporaryPath_; }

 private:
  void Flush();
  void FlushIfDurable();
  void AppendSmallPiece(const InputFile& input, std::uint64_t offset, std::uint64_t length);
  // Copies what it can of the range in the kernel, straight to the end of
  // the file; returns how many bytes it copied (0 where there is no such copy).
  std::uint64_t CopyInKernel(const InputFile& input, std::uint64_t offset, std::uint64_t length);
  std::uint64_t SendInKernel(const InputFile& input, std::uint64_t offset, std::uint64_t length);  // POSIX only
  void SendSpooled();
  void WriteFully(std::uint64_t offset, const char* data, std::size_t length);
  // Writes `first` and then `second` from `offset`, in one call where it can.
  void WriteFully(std::uint64_t offset, std::string_view first, std::string_view second);
  [[noreturn]] void Fail(const char* what, long error) const;
  // A stream cannot go back to bytes it has written.
  [[noreturn]] void FailRewind() const {
    throw OutputFault("cannot change what was already written to " + target_ +
                      " (a page could not be copied after the pages before it went out); write to a file instead");
  }
  // Flushes what was written to the disk (fsync, FlushFileBuffers); throws.
  void FlushToDisk();
  // Reads from the open file (pread, ReadFile), unchecked.
  bool ReadOpened(std::uint64_t offset, void* destination, std::size_t length) const noexcept;
  // Takes the file appended to back from RemoveTemporaryFiles, before its
  // link is written: false when a signal handler has it already (and is
  // cutting it back).
  bool KeepFromSignals() noexcept;
  // A device, FIFO, socket or pipe under the target's name is never
  // replaced: renaming over /dev/null would turn it into a plain file.
  [[noreturn]] void FailNotRegular() const { throw OutputFault("cannot replace " + target_ + ": not a regular file"); }
  // Fails unless `name` in `folder` is free or a regular file (or a link,
  // which is replaced itself): a folder, device, FIFO or socket stays.
  void RefuseToReplaceOccupant(int folder, const std::string& name) const;  // POSIX only
  std::size_t ProbeClone(const InputFile& input, std::size_t block);        // POSIX only
  bool LinkUnnamed(int fd, int folder, const std::string& name);            // POSIX only

  std::intptr_t handle_ = -1;
  std::intptr_t folder_ = -1;  // POSIX: the target's folder, held open
  std::string target_;         // as the caller named it
  std::string finalPath_;      // the file actually replaced (links resolved)
  std::string temporaryPath_;  // named fallback only
  int temporarySlot_ = -1;     // its place among the names to remove on a signal
  bool durable_ = false;
  bool stream_ = false;   // the process's standard output, written in order
  bool spooled_ = false;  // a temporary file, copied to the standard output at Commit
  std::string buffer_;
  std::uint64_t flushed_ = 0;                                       // bytes already in the file
  std::vector<std::pair<std::uint64_t, std::size_t>> cloneProbes_;  // input device, clone block size (0: none)

  // Appending in place (OpenForAppend).
  bool appending_ = false;
  bool keepAppended_ = false;     // the appended bytes may be linked: never cut off
  std::uint64_t appendFrom_ = 0;  // the file's length when opened
  int appendSlot_ = -1;           // POSIX: its place among the appends cut back on a signal

  // The file Commit replaces, as Create found it, and its length as the
  // merge read it (ReplaceOnlyUnchanged). POSIX only.
  std::uint64_t replacedDevice_ = 0, replacedNode_ = 0;
  bool replacesFile_ = false;
  bool readReplaced_ = false;
  std::uint64_t replacedLength_ = 0;
};

// Removes the hidden files of outputs in progress in this process, and cuts
// files that appends in progress (POSIX) have added to back to their old
// length. Safe to call from a signal handler; for a process that ends on a
// signal.
void RemoveTemporaryFiles() noexcept;

// Windows: the byte whose lock serialises appends to a file (and which a
// merge replacing the file waits for). Far past any file's end: Windows
// locks bar reads and writes of the bytes they cover, and readers of the
// file must never wait.
inline constexpr std::uint64_t kAppendLockByte = 1ull << 62;

// Size of the chunks in which image data is moved through user space.
inline constexpr std::size_t kCopyChunkBytes = 1u << 20;
// Pieces of image data up to this size go through the output buffer.
inline constexpr std::uint64_t kSmallPieceBytes = 64u << 10;
// An append at least this long is written straight from the caller's
// bytes, together with what is buffered, not copied into the buffer first.
inline constexpr std::size_t kDirectAppendBytes = 16u << 10;
// Appends are gathered up to this size before one write.
inline constexpr std::size_t kOutputBufferBytes = 256u << 10;
// The buffer starts this large and grows to kOutputBufferBytes as needed:
// a small output (a part of a split) costs no large allocation.
inline constexpr std::size_t kFirstBufferBytes = 32u << 10;

}  // namespace vellox::platform
