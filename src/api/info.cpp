// vellox::Info: a file's header, and its pages as the page copier reads and
// plans them, without writing anything (see PageCopier::Describe).
#include <algorithm>
#include <exception>

#include "merge/listed_input.hpp"
#include "merge/merger.hpp"
#include "merge/tiff_layout.hpp"
#include "platform/files.hpp"
#include "vellox/vellox.hpp"

namespace vellox {
namespace {

void Refuse(FileInfo& info, Status status, std::string reason) {
  info.Status = status;
  info.Reason = std::move(reason);
}

// Opens the file at the full path `path` read-only (an empty file is never
// deleted here), checks its header as a merge does, and describes its pages.
void ReadInto(const std::string& path, FileInfo& info) {
  platform::InputFile input;
  switch (input.Open(path)) {
    case platform::InputFile::OpenResult::Ok: break;
    case platform::InputFile::OpenResult::Missing: return Refuse(info, Status::Missing, "no such file");
    case platform::InputFile::OpenResult::Failed:
      return Refuse(info, Status::CannotOpen, "cannot open the file: " + input.Error());
  }
  info.Bytes = input.Size();
  if (input.Size() == 0) return Refuse(info, Status::NotTiff, "an empty file, not a TIFF file");
  ListedInput::FileHead head{};
  const auto length = static_cast<std::size_t>(std::min<std::uint64_t>(input.Size(), head.size()));
  if (!input.ReadAt(0, head.data(), length)) return Refuse(info, Status::CannotOpen, "cannot read the file");
  const Intake intake = CheckTiffHead(path, input, head);
  if (intake.Result != kMergeWritten) return Refuse(info, intake.Kind, intake.Reason);
  info.Tiff = true;
  info.LittleEndian = head[0] == 'I' && head[1] == 'I';
  info.BigTiff = head[info.LittleEndian ? 2 : 3] == '+';  // the header check has told the two apart
  info.Status = Status::Ok;
  MergeReport unused;
  Merger merger(MergeOptions{}, unused);
  merger.DescribePages(input, TiffLayout{info.BigTiff}, info);
}

}  // namespace

FileInfo Info(const std::filesystem::path& path) {
  FileInfo info;
  info.Path = Utf8Of(path);
  try {
    if (path.empty()) {
      Refuse(info, Status::InvalidRequest, "empty path");
      return info;
    }
    ReadInto(Utf8Of(std::filesystem::absolute(path)), info);
  } catch (const std::bad_alloc&) {
    info.Pages.clear();
    Refuse(info, Status::OutOfMemory, "out of memory");
  } catch (const std::exception& error) {
    // std::filesystem::absolute fails when the current folder is gone.
    Refuse(info, Status::CannotOpen, error.what());
  }
  return info;
}

}  // namespace vellox
