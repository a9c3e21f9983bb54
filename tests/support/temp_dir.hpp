// Temporary folders and small file helpers for tests that use real files.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace vellox::test {

// A fresh folder under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  // Full path of `name` inside the folder, as a string.
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // The folder with a trailing separator.
  std::string WithSeparator() const { return path_.string() + "/"; }
  // Names of the files in the folder, sorted.
  std::vector<std::string> Names() const;

 private:
  std::filesystem::path path_;
};

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);

}  // namespace vellox::test
