// Deleting empty inputs on Windows: one handle that denies writers checks
// the file and deletes it, so the file checked is the file that goes.
#include <windows.h>

#include "platform/files.hpp"
#include "platform/win32_common.hpp"

namespace vellox::platform {
namespace {

RemovalOutcome Failed(const char* what, DWORD error) {
  return {Removal::Failed, std::string(what) + ": " + ErrorClause(error)};
}

bool SameText(const std::wstring& a, const std::wstring& b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

bool IsLinkTag(DWORD tag) {
  return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT;
}

// A symbolic link opened as itself: only the link goes, and only while the
// file it leads to is an empty regular file.
RemovalOutcome RemoveLinkToEmpty(HANDLE link, const std::wstring& path) {
  const Handle target(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!target) {
    const DWORD error = ::GetLastError();
    return IsNotFound(error) ? RemovalOutcome{Removal::Gone, {}} : Failed("cannot open the file it leads to", error);
  }
  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(target.Get(), FileStandardInfo, &standard, sizeof standard) ||
      standard.Directory || standard.EndOfFile.QuadPart != 0 || ::GetFileType(target.Get()) != FILE_TYPE_DISK)
    return {Removal::NoLongerEmpty, {}};
  if (!SetDeletion(link, true)) return Failed("cannot delete the link", ::GetLastError());
  return {Removal::DeletedLink, {}};
}

// True when the path's last component leads to the open file through a
// link that the handle does not show as one. Windows opens a symbolic link
// itself under FILE_FLAG_OPEN_REPARSE_POINT; a system that follows it
// anyway (Wine, for a Unix symbolic link) gives the file behind it, and
// deleting through that handle would delete that file. Such a link shows
// only in the final path, which then is not the folder's final path plus
// the name. A file with several hard links may legitimately differ.
bool ReachedThroughHiddenLink(HANDLE file, const std::wstring& path, DWORD links) {
  if (links > 1) return false;
  const std::wstring actual = FinalPathOf(file);
  const std::wstring full = FullPathOf(path, true);
  const std::wstring folderPath = FolderOf(full);
  if (actual.empty() || folderPath.empty()) return false;
  const Handle folder(::CreateFileW(folderPath.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  std::wstring expected = folder ? FinalPathOf(folder.Get()) : std::wstring();
  if (expected.empty()) return false;
  if (expected.back() != L'\\') expected.push_back(L'\\');
  expected += full.substr(folderPath.size());
  return !SameText(expected, actual);
}

}  // namespace

RemovalOutcome RemoveIfEmpty(const std::string& path) {
  std::wstring wide;
  if (path.empty() || IsSeparator(path.back()) || !ToWide(path, wide)) return {Removal::Failed, "not a file name"};
  // Opened with the right to delete it, a link as itself, and shared with
  // readers only: while this handle is open no program can open the file
  // to write its data, and one that has it open so makes this open fail.
  const Handle file(::CreateFileW(wide.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_SHARING_VIOLATION) return {Removal::InUse, {}};
    // Gone only when the file is: a missing folder is an error, as on POSIX.
    if (error == ERROR_FILE_NOT_FOUND) return {Removal::Gone, {}};
    return Failed(error == ERROR_PATH_NOT_FOUND ? "cannot open its folder" : "cannot open it", error);
  }
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (::GetFileInformationByHandleEx(file.Get(), FileAttributeTagInfo, &tag, sizeof tag) &&
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsLinkTag(tag.ReparseTag))
    return RemoveLinkToEmpty(file.Get(), wide);

  FILE_STANDARD_INFO standard{};
  if (!::GetFileInformationByHandleEx(file.Get(), FileStandardInfo, &standard, sizeof standard))
    return Failed("cannot read its size", ::GetLastError());
  if (standard.Directory || ::GetFileType(file.Get()) != FILE_TYPE_DISK) return {Removal::Failed, "not a regular file"};
  if (standard.EndOfFile.QuadPart != 0) return {Removal::NoLongerEmpty, {}};
  if (ReachedThroughHiddenLink(file.Get(), wide, standard.NumberOfLinks))
    return {Removal::Failed, "it is a symbolic link that this system cannot delete without the file it leads to"};
  // Deleted through this handle: the file checked is the file that goes,
  // when the handle closes.
  if (!SetDeletion(file.Get(), true)) return Failed("cannot delete it", ::GetLastError());
  return {Removal::Deleted, {}};
}

}  // namespace vellox::platform
