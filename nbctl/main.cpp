// nbctl: administers a running Nimbra system from the command line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"
#include "nb/win/socket_channel.h"
#include "terminal.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  nb::nbctl::ParseResult parsed = nb::nbctl::ParseCommandLine(arguments);
  if (!parsed.options) {
    std::fprintf(stderr, "nbctl: %s\n", parsed.error.c_str());
    return nb::nbctl::kExitUsage;
  }
  nb::win::UseMachineFromEnvironment();
  // The libraries print a line per driver call on standard output; nbctl's own output
  // must stay parseable (--json), so they go to standard error only when asked for.
  const char* verbose = std::getenv("NBCTL_VERBOSE");
  FILE* out = nb::nbctl::TakeStandardOutput(verbose && *verbose && std::string(verbose) != "0");
  return nb::nbctl::RunCommand(*parsed.options, out);
}
