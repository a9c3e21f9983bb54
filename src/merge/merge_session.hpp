// The state of one merge that the driver and the page copier share: the
// output, the chain's last link and the report. The driver owns it for the
// length of one Tiff_Merge call (or one append) and hands it to the page
// copier.
#pragma once

#include <cstdint>

#include "merge/merger.hpp"
#include "merge/tiff_layout.hpp"
#include "platform/files.hpp"

namespace vellox {

// Strips and tiles at least this long are cloned where the file systems
// can share blocks: below it, the padding (up to a block, usually 4 KiB)
// would cost more than a few percent of the piece, and one clone call
// more than copying it. A smaller input holds no such piece, so its file
// system is not even probed.
inline constexpr std::uint64_t kCloneMinBytes = 64u << 10;

struct MergeSession {
  MergeSession(platform::OutputFile& output, MergeReport& report, TiffLayout layout, bool littleEndian = true)
      : Output(output),
        Report(report),
        Layout(layout),
        LittleEndian(littleEndian),
        lastLinkPosition_(layout.HeaderBytes() - layout.OffsetBytes()) {}

  platform::OutputFile& Output;
  MergeReport& Report;
  const TiffLayout Layout;                     // of the output
  const bool LittleEndian;                     // the output's byte order
  FileReport* CurrentFile = nullptr;           // the file being copied
  const platform::InputFile* Input = nullptr;  // that file, opened and found to be a TIFF
  std::size_t CloneBlock = 0;                  // its data can be cloned in blocks of this size (0: copied)
  const PageList* Pages = nullptr;             // the pages of it to copy; nullptr: its whole chain
  bool InputEnded = false;                     // the copier ended the input on a fault (not a skipped page)

  // Notes a page written from `start` to `end` whose link, at
  // `linkPosition`, holds `link`.
  void PageWritten(std::uint64_t end, std::uint64_t linkPosition, std::uint64_t link) {
    lastLinkPosition_ = linkPosition;
    lastLinkValue_ = link;
    Report.PagesWritten += 1;
    Report.BytesWritten = end - origin_;
    if (CurrentFile != nullptr) CurrentFile->Pages += 1;
  }

  // Points the last link written (the header's, before the first page) at
  // the directory of a page that begins with its transcoded image data.
  // While an append holds back the target's link, only notes where it is to
  // point.
  void LinkTo(std::uint64_t directory) {
    if (holdingFirstLink_ && Report.PagesWritten == 0) {
      firstDirectory_ = directory;
      lastLinkValue_ = directory;
      return;
    }
    std::string link;
    for (std::size_t i = 0; i < Layout.OffsetBytes(); ++i) {
      const std::size_t shift = 8 * (LittleEndian ? i : Layout.OffsetBytes() - 1 - i);
      link.push_back(static_cast<char>(directory >> shift & 0xFF));
    }
    Output.WriteAt(lastLinkPosition_, link);
    lastLinkValue_ = directory;
  }

  // The last page written ends the chain, even when the files or pages
  // meant to follow it contributed nothing.
  void EndChain() {
    if (Report.PagesWritten != 0 && lastLinkValue_ != 0)
      Output.WriteAt(lastLinkPosition_, std::string(Layout.OffsetBytes(), '\0'));
    lastLinkValue_ = 0;
  }

  // Appending: the chain goes on from an existing file's last link, at
  // `linkPosition`, and the first new page begins at `start`. That link is
  // never written during the copy: the append driver sets it once the new
  // pages are durable, to FirstDirectory(). The report counts the bytes
  // added to the file's `length`.
  void HoldFirstLink(std::uint64_t linkPosition, std::uint64_t start, std::uint64_t length) {
    lastLinkPosition_ = linkPosition;
    firstDirectory_ = start;
    holdingFirstLink_ = true;
    origin_ = length;
  }
  // The bytes this session has put in the output when it reaches `position`.
  std::uint64_t BytesAt(std::uint64_t position) const { return position - origin_; }
  // Where the first new page's directory is, once a page has been written.
  std::uint64_t FirstDirectory() const { return firstDirectory_; }

 private:
  std::uint64_t lastLinkPosition_ = 0;
  std::uint64_t lastLinkValue_ = 0;
  bool holdingFirstLink_ = false;
  std::uint64_t firstDirectory_ = 0;
  std::uint64_t origin_ = 0;  // the output's length before this session
};

}  // namespace vellox
