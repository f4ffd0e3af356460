// The service manager's rules as plain functions.
#include "nb/kernel/service_rules.h"

#include "nb/text.h"

namespace nb::kernel {

namespace {

constexpr size_t kMaxServiceName = 256;
constexpr DWORD kFirstUserControl = 128;
constexpr DWORD kLastUserControl = 255;

// What any user may do: connect, enumerate, ask after locks and read.
constexpr ACCESS_MASK kManagerUserRights =
    SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS | READ_CONTROL;
constexpr ACCESS_MASK kServiceUserRights = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS |
                                           SERVICE_INTERROGATE | READ_CONTROL;

WCHAR Upper(WCHAR c) { return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - u'a' + u'A') : c; }

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (Upper(text[i]) != Upper(prefix[i])) return false;
  }
  return true;
}

// Components of a path below a root ("a\b/../c" -> a, c); ".." stops at the root, "."
// and empty components go.
std::vector<std::u16string> Components(std::u16string_view path) {
  std::vector<std::u16string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find_first_of(u"\\/", at);
    if (end == std::u16string_view::npos) end = path.size();
    std::u16string_view part = path.substr(at, end - at);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.emplace_back(part);
    }
    at = end + 1;
  }
  return parts;
}

std::u16string Joined(const std::vector<std::u16string>& parts) {
  std::u16string joined;
  for (const std::u16string& part : parts) {
    if (!joined.empty()) joined += u'/';
    joined += part;
  }
  return joined;
}

// "X:\..." (or "X:" with nothing below it, which names no file).
std::optional<ImageLocation> DrivePath(std::u16string_view path) {
  if (path.size() < 3 || path[1] != u':' || (path[2] != u'\\' && path[2] != u'/')) return std::nullopt;
  WCHAR letter = Upper(path[0]);
  if (letter < u'A' || letter > u'Z') return std::nullopt;
  std::vector<std::u16string> parts = Components(path.substr(3));
  if (parts.empty()) return std::nullopt;
  ImageLocation location;
  location.kind = ImageLocation::Kind::kDrive;
  location.letter = letter;
  location.relative = Joined(parts);
  return location;
}

void SplitArguments(std::u16string_view text, std::vector<std::u16string>* arguments) {
  size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && (text[at] == u' ' || text[at] == u'\t')) ++at;
    if (at >= text.size()) break;
    std::u16string argument;
    bool quoted = false;
    while (at < text.size() && (quoted || (text[at] != u' ' && text[at] != u'\t'))) {
      if (text[at] == u'"') {
        quoted = !quoted;
      } else {
        argument += text[at];
      }
      ++at;
    }
    arguments->push_back(std::move(argument));
  }
}

}  // namespace

DWORD CheckServiceName(std::u16string_view name) {
  if (name.empty() || name.size() > kMaxServiceName) return ERROR_INVALID_NAME;
  for (WCHAR c : name) {
    if (c == u'\\' || c == u'/' || c == 0) return ERROR_INVALID_NAME;
  }
  return 0;
}

DWORD CheckServiceConfig(const ServiceConfig& config) {
  bool driver = IsDriverType(config.type);
  if (!driver && !IsOwnProcessType(config.type)) return ERROR_INVALID_PARAMETER;
  if (config.start > SERVICE_DISABLED) return ERROR_INVALID_PARAMETER;
  if (!driver && config.start < SERVICE_AUTO_START) return ERROR_INVALID_PARAMETER;
  if (config.errorControl > SERVICE_ERROR_CRITICAL) return ERROR_INVALID_PARAMETER;
  if (config.imagePath.empty()) return ERROR_INVALID_PARAMETER;
  return 0;
}

ACCESS_MASK MapManagerAccess(ACCESS_MASK desired) {
  ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (desired & GENERIC_READ) mapped |= READ_CONTROL | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
  if (desired & GENERIC_WRITE) mapped |= READ_CONTROL | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
  if (desired & GENERIC_EXECUTE) mapped |= READ_CONTROL | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
  if (desired & GENERIC_ALL) mapped |= SC_MANAGER_ALL_ACCESS;
  return mapped;
}

ACCESS_MASK MapServiceAccess(ACCESS_MASK desired) {
  ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (desired & GENERIC_READ) {
    mapped |= READ_CONTROL | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
              SERVICE_ENUMERATE_DEPENDENTS;
  }
  if (desired & GENERIC_WRITE) mapped |= READ_CONTROL | SERVICE_CHANGE_CONFIG;
  if (desired & GENERIC_EXECUTE) {
    mapped |= READ_CONTROL | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_USER_DEFINED_CONTROL;
  }
  if (desired & GENERIC_ALL) mapped |= SERVICE_ALL_ACCESS;
  return mapped;
}

bool ManagerAccessAllowed(uint32_t uid, ACCESS_MASK mapped) { return uid == 0 || (mapped & ~kManagerUserRights) == 0; }

bool ServiceAccessAllowed(uint32_t uid, ACCESS_MASK mapped) { return uid == 0 || (mapped & ~kServiceUserRights) == 0; }

ACCESS_MASK RightForControl(DWORD control) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return SERVICE_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
      return SERVICE_INTERROGATE;
    default:
      return control >= kFirstUserControl && control <= kLastUserControl ? SERVICE_USER_DEFINED_CONTROL : 0;
  }
}

bool ControlAccepted(DWORD control, DWORD accepted) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      return accepted & SERVICE_ACCEPT_STOP;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
      return accepted & SERVICE_ACCEPT_PAUSE_CONTINUE;
    case SERVICE_CONTROL_SHUTDOWN:
      return accepted & SERVICE_ACCEPT_SHUTDOWN;
    case SERVICE_CONTROL_INTERROGATE:
      return true;
    default:
      return control >= kFirstUserControl && control <= kLastUserControl;
  }
}

DWORD CheckControl(DWORD control, DWORD state, DWORD accepted, bool fromMachine) {
  bool shutdown = control == SERVICE_CONTROL_SHUTDOWN;
  if (shutdown ? !fromMachine : RightForControl(control) == 0) return ERROR_INVALID_SERVICE_CONTROL;
  if (state == SERVICE_STOPPED) return ERROR_SERVICE_NOT_ACTIVE;
  if (state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING) return ERROR_SERVICE_CANNOT_ACCEPT_CTRL;
  if (!ControlAccepted(control, accepted)) return ERROR_INVALID_SERVICE_CONTROL;
  return 0;
}

std::vector<ImageCommand> ReadImageCommand(std::u16string_view commandLine) {
  std::vector<ImageCommand> readings;
  size_t first = commandLine.find_first_not_of(u" \t");
  if (first == std::u16string_view::npos) return readings;
  commandLine.remove_prefix(first);
  if (commandLine.front() == u'"') {
    size_t close = commandLine.find(u'"', 1);
    if (close == std::u16string_view::npos || close == 1) return readings;
    ImageCommand command;
    command.program = std::u16string(commandLine.substr(1, close - 1));
    SplitArguments(commandLine.substr(close + 1), &command.arguments);
    readings.push_back(std::move(command));
    return readings;
  }
  size_t last = commandLine.find_last_not_of(u" \t");
  commandLine = commandLine.substr(0, last + 1);
  readings.push_back(ImageCommand{std::u16string(commandLine), {}});
  for (size_t blank = commandLine.find(u' '); blank != std::u16string_view::npos;
       blank = commandLine.find(u' ', blank + 1)) {
    if (blank == 0 || commandLine[blank - 1] == u' ') continue;
    ImageCommand command;
    command.program = std::u16string(commandLine.substr(0, blank));
    SplitArguments(commandLine.substr(blank + 1), &command.arguments);
    readings.push_back(std::move(command));
  }
  return readings;
}

std::optional<ImageLocation> LocateImage(std::u16string_view program, std::u16string_view systemRoot) {
  constexpr std::u16string_view kUnix = u"\\\\?\\unix\\";
  constexpr std::u16string_view kDosDevices = u"\\DosDevices\\";
  constexpr std::u16string_view kQuestion = u"\\??\\";
  constexpr std::u16string_view kSystemRoot = u"\\SystemRoot\\";
  if (StartsWithNoCase(program, kUnix)) {
    std::vector<std::u16string> parts = Components(program.substr(kUnix.size()));
    if (parts.empty()) return std::nullopt;
    ImageLocation location;
    location.kind = ImageLocation::Kind::kUnix;
    location.hostPath = "/" + text::Utf16ToUtf8(Joined(parts));
    return location;
  }
  if (StartsWithNoCase(program, kQuestion)) return DrivePath(program.substr(kQuestion.size()));
  if (StartsWithNoCase(program, kDosDevices)) return DrivePath(program.substr(kDosDevices.size()));
  if (StartsWithNoCase(program, kSystemRoot)) {
    return DrivePath(std::u16string(systemRoot) + u"\\" + std::u16string(program.substr(kSystemRoot.size())));
  }
  if (program.size() >= 2 && program[1] == u':') return DrivePath(program);
  if (program.empty() || program[0] == u'\\' || program[0] == u'/') return std::nullopt;
  return DrivePath(std::u16string(systemRoot) + u"\\" + std::u16string(program));
}

}  // namespace nb::kernel
