// Moving image data without reading it into the process on Windows: not
// done. Block cloning (ReFS) is not used and there is no positioned copy
// from file to file, so outputs are copied through the output's buffer.
#include "platform/files.hpp"

namespace vellox::platform {

std::size_t OutputFile::CloneBlockSize(const InputFile&) {
  return 0;
}

void OutputFile::AppendCloned(const InputFile& input, std::uint64_t offset, std::uint64_t length, std::size_t) {
  AppendFrom(input, offset, length);
}

std::uint64_t OutputFile::CopyInKernel(const InputFile&, std::uint64_t, std::uint64_t) {
  return 0;  // no positioned file-to-file copy here: the caller reads and writes
}

}  // namespace vellox::platform
