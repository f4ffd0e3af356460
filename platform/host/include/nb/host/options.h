// The command line of nbhost: which command, on which machine root, with which options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nb::host {

inline constexpr const char* kDefaultRoot = "/var/lib/nimbra";

enum class Verb { kStart, kStop, kStatus, kVolume, kSc, kHelp };

enum class VolumeAction { kList, kAdd, kEject, kInsert };

// `nbhost volume ...`: what to do to the running host's volumes.
struct VolumeCommand {
  VolumeAction action = VolumeAction::kList;
  char letter = 0;     // add, eject; insert's --letter (0: the recorded one)
  std::string folder;  // add, insert: absolute
  bool removable = false;
  bool hasSerial = false;
  uint32_t serial = 0;
  std::string mountPath;  // --mount, absolute; empty: the default
  bool overmount = false;
};

enum class ScAction { kCreate, kDelete, kStart, kStop, kQuery };

// `nbhost sc ...`: a service of the running host, in the words of Windows' sc
// ("binPath= PATH", "type= own", "start= auto" ...).
struct ScCommand {
  ScAction action = ScAction::kQuery;
  std::string name;
  std::string binaryPath;  // create: a drive path, or a host path (absolute, made "\\?\unix\...")
  uint32_t type = 0x10;    // SERVICE_WIN32_OWN_PROCESS
  uint32_t start = 3;      // SERVICE_DEMAND_START
  uint32_t errorControl = 1;
  std::string displayName;             // create; empty: the name
  std::vector<std::string> arguments;  // start: ServiceMain's arguments after the name
};

struct HostCommand {
  Verb verb = Verb::kHelp;
  std::string root;         // --root, else NB_ROOT, else kDefaultRoot; made absolute
  bool foreground = false;  // start: stay attached, log to standard error
  std::vector<std::string> drivers;  // start: driver images to load (--driver, absolute)
  VolumeCommand volume;
  ScCommand sc;
};

struct ParsedCommand {
  bool ok = false;
  HostCommand command;
  std::string error;  // why the line was refused, for the user
};

// Parses the arguments after the program name. `environmentRoot` is NB_ROOT or null.
ParsedCommand ParseCommandLine(const std::vector<std::string>& arguments, const char* environmentRoot);

// A volume serial as written on the command line: one to eight hexadecimal digits, with
// an optional "0x" and the dash of the "1234-ABCD" form; never 0.
std::optional<uint32_t> ParseSerial(std::string_view text);
// "1234-ABCD", as Windows shows a volume serial.
std::string FormatSerial(uint32_t serial);
// A drive letter as "E", "e" or "E:", upper-cased; nullopt otherwise.
std::optional<char> ParseDriveLetter(std::string_view text);

// The usage text printed for help and after a refused command line.
const char* UsageText();

}  // namespace nb::host
