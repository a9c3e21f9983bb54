// What the POSIX files of the file layer share: descriptors, the parts of a
// path, hidden names, and the system's error text. Private to platform/.
#pragma once

#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

namespace vellox::platform {

inline int AsFd(std::intptr_t handle) {
  return static_cast<int>(handle);
}

// A path with an embedded NUL would be cut short by the system and name a
// different file: such paths name nothing.
inline bool HasNul(const std::string& path) {
  return path.find('\0') != std::string::npos;
}

// The folder part of a path: everything before its last separator, or "."
// for a bare name, or "/" for a name directly under the root.
std::string ParentOf(const std::string& path);
// The last component of a path.
std::string NameOf(const std::string& path);

// A hidden name that no other file in the folder has yet, with high
// probability: ".vellox-", six characters from the clock, the process and a
// counter, mixed, and `suffix`.
std::string HiddenName(const char* suffix);

// The system's text for an errno value as a clause that fits inside a
// sentence: "permission denied", "is a directory". Only a leading capital
// followed by a lower-case letter is lowered, so that a name in capitals
// stays as it is.
inline std::string ErrorClause(int error) {
  std::string text = std::strerror(error);
  if (text.size() >= 2 && std::isupper(static_cast<unsigned char>(text[0])) &&
      std::islower(static_cast<unsigned char>(text[1])))
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

// A file descriptor closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) noexcept : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int Get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  void Reset() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  // Hands the descriptor over: it is no longer closed here.
  int Release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

}  // namespace vellox::platform
