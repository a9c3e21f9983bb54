// What the command line needs from the system, for Linux and Windows:
// arguments as UTF-8, output as UTF-8 bytes, whether standard error is a terminal, and
// clean-up when the process is told to end. Everything else in the CLI is
// the same on both.
#pragma once

#include <string>
#include <vector>

#include "vellox/vellox.hpp"

#ifdef _WIN32
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#else
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#endif

namespace vellox::cli {

#ifdef _WIN32

// The command line as UTF-8 (the char arguments of main are in the ANSI
// code page, which cannot hold every file name).
class Arguments {
 public:
  Arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) {
      texts_.assign(argv, argv + argc);
    } else {
      for (int i = 0; i < count; ++i) texts_.push_back(ToUtf8(wide[i]));
      ::LocalFree(wide);
    }
    for (std::string& text : texts_) pointers_.push_back(text.data());
    pointers_.push_back(nullptr);
  }
  int Count() const { return static_cast<int>(texts_.size()); }
  char** Values() { return pointers_.data(); }

 private:
  static std::string ToUtf8(const wchar_t* text) {
    const int length = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return {};
    std::string utf8(static_cast<std::size_t>(length), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    utf8.pop_back();  // the terminating NUL
    return utf8;
  }
  std::vector<std::string> texts_;
  std::vector<char*> pointers_;
};

// Output is the same bytes as on Linux: UTF-8, lines ending in "\n" (no
// text-mode "\r\n"); a console is told to show UTF-8.
inline void PrepareOutput() {
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
  ::SetConsoleOutputCP(CP_UTF8);
}

// A console that understands the escape that clears the progress line.
inline bool StdoutIsTerminal() {
  const HANDLE console = ::GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  return console != nullptr && console != INVALID_HANDLE_VALUE && ::GetConsoleMode(console, &mode);
}

inline bool StderrIsTerminal() {
  const HANDLE console = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (console == nullptr || console == INVALID_HANDLE_VALUE || !::GetConsoleMode(console, &mode)) return false;
  return ::SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

// Ctrl+C, Ctrl+Break or a closed console window: the hidden output, where
// one has a name, is removed, and Windows then ends the process.
inline BOOL WINAPI EndOnControl(DWORD) {
  vellox::RemoveTemporaryFiles();
  return FALSE;
}
inline void HandleSignals() {
  ::SetConsoleCtrlHandler(EndOnControl, TRUE);
}

#else

class Arguments {
 public:
  Arguments(int argc, char** argv) : argc_(argc), argv_(argv) {}
  int Count() const { return argc_; }
  char** Values() { return argv_; }

 private:
  int argc_;
  char** argv_;
};

inline void PrepareOutput() {}

inline bool StderrIsTerminal() {
  return ::isatty(STDERR_FILENO) != 0;
}

// A merge ended by a signal leaves no file behind: the hidden output, where
// there is one, is removed, and the process then ends as the signal says.
extern "C" inline void EndOnSignal(int signal) {
  vellox::RemoveTemporaryFiles();
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

inline void HandleSignals() {
  struct sigaction action {};
  action.sa_handler = EndOnSignal;
  ::sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
  // Passing a file-size limit is then an ordinary write error (EFBIG) that
  // fails the merge cleanly, instead of a signal that kills the process;
  // so is a pipe closed by its reader (EPIPE) for -o -.
  ::signal(SIGXFSZ, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
  // A split holds every part open until all are written: as many files as
  // the system lets this process have.
  struct rlimit files {};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
}

inline bool StdoutIsTerminal() {
  return ::isatty(STDOUT_FILENO) != 0;
}

#endif

}  // namespace vellox::cli
