// The one failure type of a merge. Every error carries where it came from,
// because that decides what it ends: a fault of the output (a write, flush,
// truncate or rename that failed, a full disk, a size limit) ends the whole
// merge; a fault of one input ends only that input; a fault in the caller's
// arguments, or a cancellation, ends the merge before anything is written.
#pragma once

#include <stdexcept>
#include <string>

namespace vellox {

enum class FailureSource : unsigned char {
  Output,     // the output file or its folder
  Input,      // one input file (damaged, unreadable, changed under us)
  Arguments,  // the caller's list, folder or name
  Cancelled,  // the caller's yield hook asked the merge to stop
};

class Failure : public std::runtime_error {
 public:
  Failure(FailureSource source, const std::string& message) : std::runtime_error(message), source_(source) {}
  FailureSource Source() const noexcept { return source_; }

 private:
  FailureSource source_;
};

// Shorthands for the two common sources.
class OutputFault : public Failure {
 public:
  explicit OutputFault(const std::string& message) : Failure(FailureSource::Output, message) {}
};

class InputFault : public Failure {
 public:
  explicit InputFault(const std::string& message) : Failure(FailureSource::Input, message) {}
};

}  // namespace vellox
