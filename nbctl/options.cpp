// Decoding of nbctl's command line: a table of commands with their options and the number
// of positional arguments each takes.
#include "options.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace nb::nbctl {

namespace {

// Option names, without the leading "--".
enum class Opt {
  kUser,
  kPasswordStdin,
  kAll,
  kJson,
  kMode,
  kTimeout,
  kDrive,
  kFollow,
  kGlobal,
  kFolder,
  kName,
  kRead,
  kFull,
  kComment,
  kHelp,
};

struct OptionSpec {
  const char* name;
  Opt id;
  bool takesValue;
};

constexpr OptionSpec kOptionSpecs[] = {
    {"user", Opt::kUser, true},       {"password-stdin", Opt::kPasswordStdin, false},
    {"all", Opt::kAll, false},        {"json", Opt::kJson, false},
    {"mode", Opt::kMode, true},       {"timeout", Opt::kTimeout, true},
    {"drive", Opt::kDrive, true},    {"follow", Opt::kFollow, false},
    {"global", Opt::kGlobal, false},  {"folder", Opt::kFolder, true},
    {"name", Opt::kName, true},       {"read", Opt::kRead, false},
    {"full", Opt::kFull, false},      {"comment", Opt::kComment, true},
    {"help", Opt::kHelp, false},
};

// What one command (and action) accepts.
struct CommandSpec {
  const char* word;
  const char* action;  // null: the command has no actions
  Command command;
  size_t minArgs;
  size_t maxArgs;
  std::vector<Opt> options;  // beyond --user, --password-stdin and --help, which every command takes
};

constexpr size_t kMany = static_cast<size_t>(-1);

const std::vector<CommandSpec>& CommandSpecs() {
  static const std::vector<CommandSpec> specs = {
      {"help", nullptr, Command::kHelp, 0, 0, {}},
      {"status", nullptr, Command::kStatus, 0, 0, {Opt::kJson}},
      {"list", nullptr, Command::kList, 0, 0, {Opt::kAll, Opt::kJson}},
      {"lock", nullptr, Command::kLock, 1, 1, {Opt::kMode, Opt::kTimeout, Opt::kDrive}},
      {"unlock", nullptr, Command::kUnlock, 1, kMany, {}},
      {"pause", nullptr, Command::kPause, 1, kMany, {}},
      {"resume", nullptr, Command::kResume, 1, kMany, {}},
      {"mode", nullptr, Command::kMode, 2, 2, {}},
      {"timeout", nullptr, Command::kTimeout, 2, 2, {}},
      {"trust", "list", Command::kTrust, 0, 0, {Opt::kGlobal, Opt::kDrive, Opt::kFolder, Opt::kJson}},
      {"trust", "add", Command::kTrust, 1, 1, {Opt::kGlobal, Opt::kDrive, Opt::kFolder, Opt::kName, Opt::kRead, Opt::kFull}},
      {"trust", "remove", Command::kTrust, 1, 1, {Opt::kGlobal, Opt::kDrive, Opt::kFolder, Opt::kName}},
      {"log", nullptr, Command::kLog, 0, 0, {Opt::kFollow}},
      {"log", "start", Command::kLog, 0, 1, {}},
      {"log", "stop", Command::kLog, 0, 0, {}},
      {"account", "list", Command::kAccount, 0, 0, {Opt::kJson}},
      {"account", "add", Command::kAccount, 1, 1, {Opt::kComment}},
      {"account", "delete", Command::kAccount, 1, 1, {}},
      {"account", "passwd", Command::kAccount, 0, 0, {Opt::kComment}},
      {"defaults", nullptr, Command::kDefaults, 0, 2, {}},
  };
  return specs;
}

const OptionSpec* FindOption(std::string_view name) {
  for (const OptionSpec& spec : kOptionSpecs) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

bool HasWord(std::string_view word) {
  const auto& specs = CommandSpecs();
  return std::any_of(specs.begin(), specs.end(), [&](const CommandSpec& spec) { return word == spec.word; });
}

bool HasActions(std::string_view word) {
  for (const CommandSpec& spec : CommandSpecs()) {
    if (word == spec.word && spec.action) return true;
  }
  return false;
}

const CommandSpec* FindSpec(std::string_view word, std::string_view action) {
  for (const CommandSpec& spec : CommandSpecs()) {
    if (word != spec.word) continue;
    if (!spec.action && action.empty()) return &spec;
    if (spec.action && action == spec.action) return &spec;
  }
  return nullptr;
}

// The first argument that is neither an option nor an option's value: the command.
std::string CommandWord(const std::vector<std::string>& arguments) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") return i + 1 < arguments.size() ? arguments[i + 1] : "";
    if (argument.size() > 1 && argument[0] == '-') {
      std::string_view body = std::string_view(argument).substr(argument.compare(0, 2, "--") == 0 ? 2 : 1);
      if (body.find('=') != std::string_view::npos) continue;
      const OptionSpec* spec = FindOption(body);
      if (spec && spec->takesValue) ++i;
      continue;
    }
    return argument;
  }
  return "";
}

std::string Quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

// The scope options of "trust": at most one of --global, --drive X:, --folder PATH. The
// drive takes its letter from the next positional argument when --drive has no value.
bool SetScope(Options& options, TrustScope scope, std::string path, std::string* error) {
  if (options.scope != TrustScope::kEverywhere) {
    *error = "give at most one of --global, --drive and --folder";
    return false;
  }
  options.scope = scope;
  options.scopePath = std::move(path);
  return true;
}

}  // namespace

std::optional<long long> ParseNumber(std::string_view text, long long low, long long high) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  long long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || text[0] == '-' || text[0] == '+') return std::nullopt;
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::optional<int> ParseMode(std::string_view text) {
  if (text == "hidden") return kModeHidden;
  if (text == "readonly" || text == "read-only") return kModeReadOnly;
  return std::nullopt;
}

std::optional<int> ParseMinutes(std::string_view text) {
  std::optional<long long> value = ParseNumber(text, 0, kTimeoutMax);
  if (!value) return std::nullopt;
  return static_cast<int>(*value);
}

ParseResult ParseCommandLine(const std::vector<std::string>& arguments) {
  ParseResult result;
  Options options;
  std::vector<std::string> words;  // command, action and positional arguments in order
  std::vector<std::pair<const OptionSpec*, std::string>> given;
  bool optionsEnded = false;
  bool help = false;
  // "--drive" is a flag of "lock" and takes a letter elsewhere ("trust --drive E:").
  bool driveTakesValue = CommandWord(arguments) != "lock";

  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument.size() < 2 || argument.compare(0, 2, "--") != 0) {
      if (!optionsEnded && argument == "-h") {
        help = true;
        continue;
      }
      if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
        result.error = "unknown option " + Quoted(argument);
        return result;
      }
      words.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    std::string_view body = std::string_view(argument).substr(2);
    std::optional<std::string> inlineValue;
    if (size_t equals = body.find('='); equals != std::string_view::npos) {
      inlineValue = std::string(body.substr(equals + 1));
      body = body.substr(0, equals);
    }
    const OptionSpec* spec = FindOption(body);
    if (!spec) {
      result.error = "unknown option " + Quoted("--" + std::string(body));
      return result;
    }
    std::string value;
    bool takesValue = spec->id == Opt::kDrive ? driveTakesValue : spec->takesValue;
    if (takesValue) {
      if (inlineValue) {
        value = *inlineValue;
      } else if (i + 1 < arguments.size()) {
        value = arguments[++i];
      } else {
        result.error = "option --" + std::string(spec->name) + " needs a value";
        return result;
      }
    } else if (inlineValue) {
      result.error = "option --" + std::string(spec->name) + " takes no value";
      return result;
    }
    if (spec->id == Opt::kHelp) {
      help = true;
      continue;
    }
    given.emplace_back(spec, value);
  }

  if (help || words.empty()) {
    options.command = Command::kHelp;
    result.options = options;
    return result;
  }

  std::string word = words[0];
  if (!HasWord(word)) {
    result.error = "unknown command " + Quoted(word) + " (see nbctl --help)";
    return result;
  }
  size_t first = 1;
  std::string action;
  if (HasActions(word)) {
    if (words.size() > 1 && FindSpec(word, words[1])) {
      action = words[1];
      first = 2;
    } else if (!FindSpec(word, "")) {
      result.error = words.size() > 1 ? "unknown action " + Quoted(words[1]) + " of " + Quoted(word)
                                      : Quoted(word) + " needs an action (see nbctl --help)";
      return result;
    }
  }
  const CommandSpec* spec = FindSpec(word, action);
  options.command = spec->command;
  options.action = action;
  options.args.assign(words.begin() + static_cast<long>(first), words.end());

  std::string name = action.empty() ? word : word + " " + action;
  for (const auto& [option, value] : given) {
    Opt id = option->id;
    bool common = id == Opt::kUser || id == Opt::kPasswordStdin;
    if (!common && std::find(spec->options.begin(), spec->options.end(), id) == spec->options.end()) {
      result.error = Quoted(name) + " takes no option --" + option->name;
      return result;
    }
    switch (id) {
      case Opt::kUser:
        if (value.empty()) {
          result.error = "--user needs a name";
          return result;
        }
        options.user = value;
        break;
      case Opt::kPasswordStdin: options.passwordStdin = true; break;
      case Opt::kAll: options.all = true; break;
      case Opt::kJson: options.json = true; break;
      case Opt::kMode: {
        std::optional<int> mode = ParseMode(value);
        if (!mode) {
          result.error = "--mode takes hidden or readonly, not " + Quoted(value);
          return result;
        }
        options.mode = mode;
        break;
      }
      case Opt::kTimeout: {
        std::optional<int> minutes = ParseMinutes(value);
        if (!minutes) {
          result.error = "--timeout takes minutes from 0 to " + std::to_string(kTimeoutMax) + ", not " + Quoted(value);
          return result;
        }
        options.timeout = minutes;
        break;
      }
      case Opt::kDrive:
        if (options.command == Command::kLock) {
          if (!value.empty()) {
            result.error = "--drive takes no value for \"lock\": give the drive as the path";
            return result;
          }
          options.wholeDrive = true;
          break;
        }
        if (!SetScope(options, TrustScope::kDrive, value, &result.error)) return result;
        break;
      case Opt::kGlobal:
        if (!SetScope(options, TrustScope::kGlobal, "", &result.error)) return result;
        break;
      case Opt::kFolder:
        if (!SetScope(options, TrustScope::kFolder, value, &result.error)) return result;
        break;
      case Opt::kName:
        if (value.empty() || value.size() > 15) {
          result.error = "--name takes a process image name of 1 to 15 characters";
          return result;
        }
        options.processName = value;
        break;
      case Opt::kFollow: options.follow = true; break;
      case Opt::kRead: options.permission = 1; break;
      case Opt::kFull: options.permission = 2; break;
      case Opt::kComment: options.comment = value; break;
      case Opt::kHelp: break;
    }
  }

  if (options.args.size() < spec->minArgs || options.args.size() > spec->maxArgs) {
    result.error = Quoted(name) + (options.args.size() < spec->minArgs ? " needs more arguments" : " takes fewer arguments") +
                   " (see nbctl --help)";
    return result;
  }

  // Arguments that are numbers or modes are checked here, before anything is touched.
  switch (options.command) {
    case Command::kMode:
      options.mode = ParseMode(options.args[1]);
      if (!options.mode) {
        result.error = "the mode is hidden or readonly, not " + Quoted(options.args[1]);
        return result;
      }
      break;
    case Command::kTimeout:
      options.timeout = ParseMinutes(options.args[1]);
      if (!options.timeout) {
        result.error = "the time-out is a number of minutes from 0 to " + std::to_string(kTimeoutMax) + ", not " +
                       Quoted(options.args[1]);
        return result;
      }
      break;
    case Command::kDefaults:
      if (options.args.size() == 1) {
        result.error = "\"defaults\" takes a mode and a time-out, or nothing";
        return result;
      }
      if (options.args.size() == 2) {
        options.mode = ParseMode(options.args[0]);
        options.timeout = ParseMinutes(options.args[1]);
        if (!options.mode || !options.timeout) {
          result.error = "\"defaults\" takes hidden or readonly and minutes from 0 to " + std::to_string(kTimeoutMax);
          return result;
        }
      }
      break;
    case Command::kTrust:
      if (options.action != "list") {
        std::optional<long long> pid = ParseNumber(options.args[0], 1, 0xFFFFFFFFLL);
        if (!pid) {
          result.error = "the process id is a positive number, not " + Quoted(options.args[0]);
          return result;
        }
        options.pid = static_cast<unsigned>(*pid);
        if (options.scope == TrustScope::kEverywhere) options.scope = TrustScope::kGlobal;
      }
      if ((options.scope == TrustScope::kDrive || options.scope == TrustScope::kFolder) && options.scopePath.empty()) {
        result.error = "the scope needs a drive or a folder";
        return result;
      }
      break;
    case Command::kLog:
      if (options.action == "start" && !options.args.empty()) {
        std::optional<long long> records = ParseNumber(options.args[0], 1, kLogRecordsMax);
        if (!records) {
          result.error = "the log holds 1 to " + std::to_string(kLogRecordsMax) + " records, not " + Quoted(options.args[0]);
          return result;
        }
        options.logRecords = static_cast<int>(*records);
      }
      break;
    case Command::kAccount:
      if (options.action == "add" && (options.args[0].empty())) {
        result.error = "the account needs a name";
        return result;
      }
      break;
    default: break;
  }
  result.options = options;
  return result;
}

bool NeedsLogin(const Options& options) {
  return options.command != Command::kHelp && options.command != Command::kStatus;
}

bool NeedsAdministrator(const Options& options) {
  switch (options.command) {
    case Command::kList: return options.all;
    case Command::kTrust: return options.action != "list";
    case Command::kAccount: return options.action != "passwd";
    case Command::kLog: return !options.action.empty();
    default: return false;
  }
}

std::string HelpText() {
  return R"(Usage: nbctl [--user NAME] [--password-stdin] COMMAND [ARGUMENTS]

Administers Nimbra's locks, trusted processes, accounts and defaults on the running
system, as the console does. Commands other than status and help log in first: --user
names the account (default: the console's last user), the password is read from the
terminal without echo or, with --password-stdin, from the first line of standard input.
When no account exists yet, the first administrator is created instead.

Commands:
  status                       host, service, driver version, drives and locks
  list [--all] [--json]        the account's locks (--all: every owner; administrator)
  lock PATH [--mode hidden|readonly] [--timeout MIN] [--drive]
                               lock a folder ("X:\..." or a path under a drive's mount);
                               --drive locks the whole drive of PATH; mode and time-out
                               default to the stored defaults
  unlock PATH...               remove locks
  pause PATH...                open locks for a while
  resume PATH...               put paused or not started locks in force again
  mode PATH hidden|readonly    change the lock mode
  timeout PATH MIN             change the idle time-out (0: none, up to 10000)
  trust list [--global | --drive X: | --folder PATH] [--json]
  trust add PID [--name IMAGE] [--read | --full] [--global | --drive X: | --folder PATH]
  trust remove PID [--name IMAGE] [--global | --drive X: | --folder PATH]
                               processes let through every lock (global, the default),
                               one drive's lock or one folder's lock; the image name
                               defaults to that of the running process PID
                               (add and remove: administrator)
  log [--follow]               the day's service log and the driver's message log
  log start [RECORDS] | log stop
                               keep the driver's message log (administrator)
  account list [--json] | account add NAME [--comment TEXT] | account delete NAME
                               the accounts (administrator); the new password is asked
  account passwd [--comment TEXT]
                               change the own password
  defaults [hidden|readonly MIN]
                               show or set the mode and time-out of new locks
  help                         this text

Exit codes:
  0  success
  1  the Nimbra service is not running
  2  the command line is not understood
  3  login failed (unknown account, wrong password, no password)
  4  the command is the administrator's
  5  refused by a check (protected folder, nested lock, unknown lock, bad password ...)
  6  the system, the driver or a store failed
)";
}

}  // namespace nb::nbctl
