// The command line of nbctl: the command, its arguments and options, decoded and checked
// without touching the system.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace nb::nbctl {

enum class Command {
  kHelp,
  kStatus,
  kList,
  kLock,
  kUnlock,
  kPause,
  kResume,
  kMode,
  kTimeout,
  kTrust,
  kLog,
  kAccount,
  kDefaults,
};

// Where a trusted process applies.
enum class TrustScope {
  kEverywhere,  // "trust list" without a scope: the global list and every lock's list
  kGlobal,
  kDrive,
  kFolder,
};

// Lock modes as the driver knows them.
inline constexpr int kModeHidden = 1;
inline constexpr int kModeReadOnly = 4;
// The longest idle time-out, in minutes.
inline constexpr int kTimeoutMax = 10000;
// Records the driver's message log holds when nbctl starts it.
inline constexpr int kLogRecordsDefault = 256;
inline constexpr int kLogRecordsMax = 4096;

struct Options {
  Command command = Command::kHelp;
  std::string action;             // trust: add|remove|list; account: add|delete|passwd|list; log: start|stop
  std::vector<std::string> args;  // the command's positional arguments (paths, names ...)

  // Login.
  std::optional<std::string> user;
  bool passwordStdin = false;

  // list
  bool all = false;
  bool json = false;
  // lock / mode / timeout / defaults: mode 1 or 4, time-out in minutes.
  std::optional<int> mode;
  std::optional<int> timeout;
  bool wholeDrive = false;
  // log
  bool follow = false;
  int logRecords = kLogRecordsDefault;
  // trust
  TrustScope scope = TrustScope::kEverywhere;
  std::string scopePath;          // the drive ("X:") or folder of kDrive / kFolder
  std::optional<unsigned> pid;
  std::optional<std::string> processName;
  int permission = 2;             // 1 read access only, 2 full access
  // account add
  std::string comment;
};

struct ParseResult {
  std::optional<Options> options;  // set when the line was understood
  std::string error;               // otherwise what is wrong with it
};

// Decodes the arguments after the program name. Options may stand anywhere after the
// command; "--name=value" and "--name value" are the same; "--" ends the options.
ParseResult ParseCommandLine(const std::vector<std::string>& arguments);

// "hidden" → 1, "readonly" (or "read-only") → 4; nullopt otherwise.
std::optional<int> ParseMode(std::string_view text);
// A whole number of minutes 0..kTimeoutMax; nullopt otherwise.
std::optional<int> ParseMinutes(std::string_view text);
// A whole decimal number in [low, high]; nullopt for anything else (signs, spaces, overflow).
std::optional<long long> ParseNumber(std::string_view text, long long low, long long high);

// Whether the command logs in first (all but help and status).
bool NeedsLogin(const Options& options);
// Whether only the administrator may run it.
bool NeedsAdministrator(const Options& options);

// The text of `nbctl --help`.
std::string HelpText();

}  // namespace nb::nbctl
