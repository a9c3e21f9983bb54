// Which file a path names, as the file system sees it: for telling whether
// two paths, however spelt, reach one file.
#pragma once

#include <cstdint>
#include <string>

namespace vellox::platform {

struct FileIdentity {
  bool Known = false;        // false: neither the file nor its folder could be found
  std::uint64_t Device = 0;  // of the file, or of its folder when the file is not there
  std::uint64_t Node = 0;
  std::string Name;  // empty for an existing file; its name in the folder otherwise

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// The file `path` names, following links: its own device and inode where
// it exists, else its folder's (links followed) and its last component.
FileIdentity IdentityOf(const std::string& path) noexcept;

}  // namespace vellox::platform
