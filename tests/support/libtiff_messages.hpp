// Records what libtiff reports through its error and warning handlers, so
// that a test can assert that a file was written or read without a single
// complaint.
#pragma once

#include <string>
#include <vector>

namespace vellox::test {

// Installs recording handlers for its lifetime and restores the previous
// ones afterwards. Logs nest: while several are alive every one of them
// records. libtiff's handlers are process-wide, so this is for
// single-threaded tests.
class LibtiffMessageLog {
 public:
  LibtiffMessageLog();
  ~LibtiffMessageLog();
  LibtiffMessageLog(const LibtiffMessageLog&) = delete;
  LibtiffMessageLog& operator=(const LibtiffMessageLog&) = delete;

  const std::vector<std::string>& Messages() const { return messages_; }
  bool Empty() const { return messages_.empty(); }
  // All messages, one a line.
  std::string Text() const;

 private:
  friend struct LibtiffMessageSink;
  std::vector<std::string> messages_;
  LibtiffMessageLog* outer_ = nullptr;
};

}  // namespace vellox::test
