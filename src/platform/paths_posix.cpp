// Paths on POSIX: separators, the parts of a path, folder probes and the
// hidden names the file layer gives its own files.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "platform/files.hpp"
#include "platform/posix_common.hpp"

namespace vellox::platform {

bool IsSeparator(char c) noexcept {
  return c == '/';
}
char PreferredSeparator() noexcept {
  return '/';
}

bool ContainsSeparator(std::string_view path) noexcept {
  return std::any_of(path.begin(), path.end(), IsSeparator);
}

bool IsDirectory(const std::string& path) noexcept {
  struct stat st {};
  return !path.empty() && !HasNul(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ParentOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string HiddenName(const char* suffix) {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (static_cast<std::uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string name = ".vellox-";
  for (int i = 0; i < 6; ++i, x /= 62) name.push_back(kDigits[x % 62]);
  return name + suffix;
}

}  // namespace vellox::platform
