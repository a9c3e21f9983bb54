// One listed input of a merge, as the driver holds it from the removal pass
// to its copy.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/files.hpp"
#include "vellox/vellox.hpp"

namespace vellox {

// The outcome of checking one listed input for the page copier.
struct Intake {
  std::int32_t Result = kMergeWritten;  // the per-file result when the input cannot be copied
  std::string Reason;
  Status Kind = Status::Ok;  // the file's status when it cannot be copied
};

// The removal pass opens each listed input, and every later step (the
// header, the choice of byte order and format, the copy) reads through
// that one handle: the file copied is the file that was checked, and no
// file is opened twice. The merges of a process hold at most
// platform::InputHandleBudget() inputs open at once, all together; an input
// past that is closed after the removal pass and opened again when its turn
// comes.
class ListedInput {
 public:
  ListedInput() = default;
  ~ListedInput() { Close(); }
  ListedInput(const ListedInput&) = delete;
  ListedInput& operator=(const ListedInput&) = delete;

  // The file's first bytes (zeros past its end), read once: what kind of
  // TIFF it is, without reading it again at each step.
  using FileHead = std::array<unsigned char, 8>;

  std::unique_ptr<platform::InputFile> File;  // open, or empty when closed
  FileHead Head{};
  bool Big = false;  // starts as a BigTIFF

  // Reads the head of `file` and keeps it open for the later steps when
  // the process's budget of held inputs allows, else lets it close.
  void Hold(std::unique_ptr<platform::InputFile> file);
  void Close() noexcept;

  // The open file, checked for the copier, or for a closed one the file
  // opened again and checked; nullptr, with `intake` saying why, when it
  // cannot be copied.
  const platform::InputFile* Open(const std::string& path, Intake& intake);

 private:
  void ReadHead();

  bool counted_ = false;  // File holds one of the budget's places
};

// Whether an opened input, whose first bytes are `head`, is one the page
// copier can read (a full path, a TIFF or BigTIFF header), as a merge checks
// it before copying.
Intake CheckTiffHead(const std::string& path, const platform::InputFile& input, const ListedInput::FileHead& head);

}  // namespace vellox
