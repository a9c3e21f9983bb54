#include "support/libtiff_messages.hpp"

#include <tiffio.h>

#include <cstdarg>
#include <cstdio>

namespace vellox::test {

struct LibtiffMessageSink {
  static inline LibtiffMessageLog* innermost = nullptr;
  static inline TIFFErrorHandler previousError = nullptr;
  static inline TIFFErrorHandler previousWarning = nullptr;

  static void Record(const char* kind, const char* module, const char* format, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    const std::string message = std::string(kind) + " (" + (module != nullptr ? module : "libtiff") + "): " + text;
    for (LibtiffMessageLog* log = innermost; log != nullptr; log = log->outer_) log->messages_.push_back(message);
  }
  static void OnError(const char* module, const char* format, va_list args) { Record("error", module, format, args); }
  static void OnWarning(const char* module, const char* format, va_list args) {
    Record("warning", module, format, args);
  }
};

LibtiffMessageLog::LibtiffMessageLog() : outer_(LibtiffMessageSink::innermost) {
  if (outer_ == nullptr) {
    LibtiffMessageSink::previousError = TIFFSetErrorHandler(&LibtiffMessageSink::OnError);
    LibtiffMessageSink::previousWarning = TIFFSetWarningHandler(&LibtiffMessageSink::OnWarning);
  }
  LibtiffMessageSink::innermost = this;
}

LibtiffMessageLog::~LibtiffMessageLog() {
  LibtiffMessageSink::innermost = outer_;
  if (outer_ == nullptr) {
    TIFFSetErrorHandler(LibtiffMessageSink::previousError);
    TIFFSetWarningHandler(LibtiffMessageSink::previousWarning);
  }
}

std::string LibtiffMessageLog::Text() const {
  std::string text;
  for (const std::string& message : messages_) text += message + "\n";
  return text;
}

}  // namespace vellox::test
