// Reading nbhost's command line.
#include "nb/host/options.h"

#include <filesystem>

namespace nb::host {

namespace {

ParsedCommand Refuse(std::string error) {
  ParsedCommand parsed;
  parsed.error = std::move(error);
  return parsed;
}

}  // namespace

const char* UsageText() {
  return "usage: nbhost start [--root DIR] [--foreground]\n"
         "       nbhost stop [--root DIR]\n"
         "       nbhost status [--root DIR]\n"
         "The machine root is --root, else $NB_ROOT, else /var/lib/nimbra.\n";
}

ParsedCommand ParseCommandLine(const std::vector<std::string>& arguments, const char* environmentRoot) {
  if (arguments.empty()) return Refuse("no command given");
  ParsedCommand parsed;
  HostCommand& command = parsed.command;
  const std::string& verb = arguments[0];
  if (verb == "start") {
    command.verb = Verb::kStart;
  } else if (verb == "stop") {
    command.verb = Verb::kStop;
  } else if (verb == "status") {
    command.verb = Verb::kStatus;
  } else if (verb == "help" || verb == "--help" || verb == "-h") {
    command.verb = Verb::kHelp;
    parsed.ok = true;
    return parsed;
  } else {
    return Refuse("unknown command '" + verb + "'");
  }

  std::string root = environmentRoot && *environmentRoot ? environmentRoot : kDefaultRoot;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--root") {
      if (i + 1 >= arguments.size() || arguments[i + 1].empty()) return Refuse("--root needs a folder");
      root = arguments[++i];
    } else if (option.rfind("--root=", 0) == 0 && option.size() > 7) {
      root = option.substr(7);
    } else if (option == "--foreground" && command.verb == Verb::kStart) {
      command.foreground = true;
    } else {
      return Refuse("unknown option '" + option + "' for " + verb);
    }
  }
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(root, error);
  if (error) return Refuse("cannot use the root '" + root + "': " + error.message());
  command.root = absolute.lexically_normal().string();
  if (command.root.size() > 1 && command.root.back() == '/') command.root.pop_back();
  parsed.ok = true;
  return parsed;
}

}  // namespace nb::host
