// Runs the command-line tool as a separate process for the CLI tests.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace vellox::test {

struct CliRun {
  int exitCode = -1;
  std::string out;  // standard output and standard error together
};

// Runs `vellox ARGUMENTS` through the shell, in `workingDir` when given,
// after the shell words in `prefix` (for example "ulimit -f 100;").
inline CliRun Vellox(const std::string& arguments, const std::string& workingDir = "",
                     const std::string& prefix = "") {
  std::string command = prefix + " '" + VELLOX_CLI_PATH + "' " + arguments + " 2>&1";
  if (!workingDir.empty()) command = "cd '" + workingDir + "' && " + command;
  CliRun run;
  FILE* pipe = ::popen(command.c_str(), "r");
  std::array<char, 4096> buffer{};
  while (std::size_t got = std::fread(buffer.data(), 1, buffer.size(), pipe)) run.out.append(buffer.data(), got);
  const int status = ::pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace vellox::test
