// Running a shell line from a host test: its exit code and what it printed on standard
// output and error together.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>

namespace nb_host_test {

struct Outcome {
  int exitCode;
  std::string output;
};

inline Outcome RunLine(const std::string& line) {
  FILE* pipe = popen((line + " 2>&1").c_str(), "r");
  Outcome outcome{-1, {}};
  if (!pipe) return outcome;
  std::array<char, 256> chunk;
  while (size_t read = fread(chunk.data(), 1, chunk.size(), pipe)) outcome.output.append(chunk.data(), read);
  int status = pclose(pipe);
  outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

}  // namespace nb_host_test
