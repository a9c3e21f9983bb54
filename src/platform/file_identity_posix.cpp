// File identity on POSIX: stat's device and inode.
#include <sys/stat.h>

#include <string_view>

#include "platform/file_identity.hpp"

namespace vellox::platform {

FileIdentity IdentityOf(const std::string& path) noexcept {
  try {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return {true, static_cast<std::uint64_t>(st.st_dev), st.st_ino, {}};
    std::string_view rest(path);
    while (rest.size() > 1 && rest.back() == '/') rest.remove_suffix(1);
    const std::size_t slash = rest.rfind('/');
    const std::string name(slash == std::string_view::npos ? rest : rest.substr(slash + 1));
    const std::string folder(slash == std::string_view::npos ? std::string_view(".")
                             : slash == 0                    ? std::string_view("/")
                                                             : rest.substr(0, slash));
    if (name.empty() || name == "." || name == ".." || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      return {};
    return {true, static_cast<std::uint64_t>(st.st_dev), st.st_ino, name};
  } catch (...) {
    return {};
  }
}

}  // namespace vellox::platform
