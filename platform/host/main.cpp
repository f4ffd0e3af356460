// nbhost: the emulated machine as a daemon.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "nb/host/daemon.h"
#include "nb/host/options.h"
#include "nb/host/sc_cli.h"
#include "nb/host/volume_cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  nb::host::ParsedCommand parsed = nb::host::ParseCommandLine(arguments, std::getenv("NB_ROOT"));
  if (!parsed.ok) {
    std::fprintf(stderr, "nbhost: %s\n%s", parsed.error.c_str(), nb::host::UsageText());
    return 2;
  }
  switch (parsed.command.verb) {
    case nb::host::Verb::kStart:
      return nb::host::StartHost(parsed.command);
    case nb::host::Verb::kStop:
      return nb::host::StopHost(parsed.command);
    case nb::host::Verb::kStatus:
      return nb::host::HostStatus(parsed.command);
    case nb::host::Verb::kVolume:
      return nb::host::RunVolumeCommand(parsed.command);
    case nb::host::Verb::kSc:
      return nb::host::RunScCommand(parsed.command);
    case nb::host::Verb::kHelp:
      std::fputs(nb::host::UsageText(), stdout);
      return 0;
  }
  return 2;
}
