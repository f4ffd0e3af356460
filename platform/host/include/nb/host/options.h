// The command line of nbhost: which command, on which machine root, with which options.
#pragma once

#include <string>
#include <vector>

namespace nb::host {

inline constexpr const char* kDefaultRoot = "/var/lib/nimbra";

enum class Verb { kStart, kStop, kStatus, kHelp };

struct HostCommand {
  Verb verb = Verb::kHelp;
  std::string root;         // --root, else NB_ROOT, else kDefaultRoot; made absolute
  bool foreground = false;  // start: stay attached, log to standard error
};

struct ParsedCommand {
  bool ok = false;
  HostCommand command;
  std::string error;  // why the line was refused, for the user
};

// Parses the arguments after the program name. `environmentRoot` is NB_ROOT or null.
ParsedCommand ParseCommandLine(const std::vector<std::string>& arguments, const char* environmentRoot);

// The usage text printed for help and after a refused command line.
const char* UsageText();

}  // namespace nb::host
