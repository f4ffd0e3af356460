// trust list|add|remove: the driver's trusted processes, globally, per locked drive and
// per locked folder, through the lock object.
#include <algorithm>
#include <cstring>
#include <vector>

#include "commands.h"
#include "lock_rules.h"
#include "nb/text.h"
#include "paths.h"

namespace nb::nbctl {

namespace {

std::string Utf8(std::u16string_view text) { return nb::text::Utf16ToUtf8(text); }

std::u16string Field(const WCHAR* field, size_t units) { return std::u16string(field, nb::text::Utf16Length(field, units)); }

// One list of trusted processes: the global list (no drive), a drive's or a folder's.
struct Scope {
  WCHAR drive = 0;      // 0: the global list
  std::u16string path;  // "\..." of a folder, empty for a drive
  std::string Name() const {
    if (!drive) return "global";
    return Utf8(std::u16string{drive, u':'} + (path.empty() ? u"\\" : path));
  }
};

struct Trusted {
  Scope scope;
  std::u16string name;
  DWORD pid = 0;
  int permission = 0;
};

// The driver's locks (the lock object's view), for the scopes that exist.
std::vector<_LCK_INFORMAION> DriverLocks(CVAULTObj& vault) {
  int count = vault.GetLockCount(false);
  std::vector<_LCK_INFORMAION> locks(static_cast<size_t>(std::max(count, 0)));
  if (count > 0 && !vault.GetLockInfo(locks.data(), count, false)) locks.clear();
  return locks;
}

bool ReadScope(CVAULTObj& vault, const Scope& scope, std::vector<Trusted>* out) {
  if (!scope.drive) {
    int count = vault.ProcGlobalCount(false);
    if (count <= 0) return true;
    std::vector<_LCK_PROC_INFORMATION> records(static_cast<size_t>(count));
    if (!vault.ProcGlobalGetInformation(records.data(), count, false)) return false;
    for (const auto& record : records) {
      out->push_back({scope, Field(record.procName, PROC_NAME_UNITS), record.pid, record.permission});
    }
    return true;
  }
  const WCHAR* path = scope.path.empty() ? nullptr : scope.path.c_str();
  int count = 0;
  if (!vault.ProcGetCount(scope.drive, path, &count, false)) return false;
  if (count <= 0) return true;
  std::vector<_LCK_PROC_INFORMATION> records(static_cast<size_t>(count));
  if (!vault.ProcGetInformation(scope.drive, path, records.data(), count, false)) return false;
  for (const auto& record : records) {
    out->push_back({scope, Field(record.procName, PROC_NAME_UNITS), record.pid, record.permission});
  }
  return true;
}

// The scope the options name, checked against the driver's locks: a drive scope needs a
// drive the driver knows (locked whole or holding folder locks), a folder scope a lock on
// that folder. `mode` receives the governing lock's mode (0 for the global list).
int ChosenScope(Context& context, Scope* scope, int* mode) {
  const Options& options = context.options;
  *mode = 0;
  if (options.scope == TrustScope::kGlobal) return kExitOk;
  std::u16string given = nb::text::Utf8ToUtf16(options.scopePath);
  std::u16string normalized;
  if (options.scope == TrustScope::kDrive) {
    if (given.size() == 1) given += u':';
    if (!nb::dialogs::NormalizeFolderPath(given.size() == 2 ? given + u"\\" : given, &normalized) ||
        !IsDriveRoot(normalized)) {
      return context.Fail(kExitUsage, "--drive takes a drive letter (X:), not \"" + options.scopePath + "\"");
    }
  } else if (!nb::dialogs::NormalizeFolderPath(given, &normalized) || IsDriveRoot(normalized)) {
    return context.Fail(kExitUsage, "--folder takes a folder path (X:\\...), not \"" + options.scopePath + "\"");
  }
  scope->drive = normalized[0];
  scope->path = options.scope == TrustScope::kFolder ? normalized.substr(2) : u"";
  for (const _LCK_INFORMAION& lock : DriverLocks(context.vault)) {
    if (nb::dialogs::UpperLetter(lock.drive) != scope->drive) continue;
    if (options.scope == TrustScope::kDrive) {
      if (lock.type != LCK_TYPE_DRIVE) continue;  // a drive's own list needs a drive lock
      *mode = lock.mode;
      return kExitOk;
    }
    if (lock.type == LCK_TYPE_FOLDER && SameDrivePath(Field(lock.path, LCK_PATH_UNITS), scope->path)) {
      scope->path = Field(lock.path, LCK_PATH_UNITS);  // the driver's spelling
      *mode = lock.mode;
      return kExitOk;
    }
  }
  return context.Fail(kExitRefused, "no lock on " + scope->Name());
}

// The image name of a running process, or empty.
std::u16string RunningName(CVAULTObj& vault, DWORD pid) {
  int count = vault.ProcCount();
  if (count <= 0) return {};
  std::vector<_PROC_INFORMATION> processes(static_cast<size_t>(count) + 16);
  std::memset(processes.data(), 0, processes.size() * sizeof(_PROC_INFORMATION));
  int filled = vault.ProcGetList(processes.data(), static_cast<int>(processes.size()));
  for (int i = 0; i < filled; ++i) {
    if (processes[static_cast<size_t>(i)].pid == pid) return Field(processes[static_cast<size_t>(i)].procName, PROC_NAME_UNITS);
  }
  return {};
}

const char* AccessName(int permission) { return permission == PROC_PERMISSION_READ ? "read" : "full"; }

int RunTrustList(Context& context) {
  std::vector<Scope> scopes;
  if (context.options.scope == TrustScope::kEverywhere) {
    scopes.push_back({});
    for (const _LCK_INFORMAION& lock : DriverLocks(context.vault)) {
      scopes.push_back({lock.drive, lock.type == LCK_TYPE_DRIVE ? u"" : Field(lock.path, LCK_PATH_UNITS)});
    }
  } else {
    Scope scope;
    int mode = 0;
    if (int code = ChosenScope(context, &scope, &mode)) return code;
    scopes.push_back(scope);
  }
  std::vector<Trusted> trusted;
  for (const Scope& scope : scopes) {
    if (!ReadScope(context.vault, scope, &trusted)) {
      return context.Fail(kExitSystem, "cannot read the trusted processes of " + scope.Name());
    }
  }
  if (context.options.json) {
    std::vector<std::string> objects;
    for (const Trusted& entry : trusted) {
      objects.push_back(JsonObject()
                            .Add("scope", std::string_view(entry.scope.drive ? (entry.scope.path.empty() ? "drive" : "folder") : "global"))
                            .Add("lock", std::string_view(entry.scope.drive ? entry.scope.Name() : ""))
                            .Add("name", std::u16string_view(entry.name))
                            .Add("pid", static_cast<long long>(entry.pid))
                            .Add("access", AccessName(entry.permission))
                            .Text());
    }
    context.Print(JsonArray(objects) + "\n");
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const Trusted& entry : trusted) {
    rows.push_back({entry.scope.Name(), Utf8(entry.name), std::to_string(entry.pid), AccessName(entry.permission)});
  }
  context.Print(FormatTable({"Scope", "Process", "PID", "Access"}, rows));
  return kExitOk;
}

int RunTrustChange(Context& context) {
  const Options& options = context.options;
  bool add = options.action == "add";
  Scope scope;
  int mode = 0;
  if (int code = ChosenScope(context, &scope, &mode)) return code;
  DWORD pid = *options.pid;

  std::vector<Trusted> present;
  if (!ReadScope(context.vault, scope, &present)) {
    return context.Fail(kExitSystem, "cannot read the trusted processes of " + scope.Name());
  }
  std::u16string name = options.processName ? nb::text::Utf8ToUtf16(*options.processName) : u"";
  if (name.empty() && !add) {
    // The entry to withdraw names it, also when the process has ended.
    for (const Trusted& entry : present) {
      if (entry.pid == pid) name = entry.name;
    }
  }
  if (name.empty()) name = RunningName(context.vault, pid);
  if (name.empty()) return context.Fail(kExitRefused, "no running process has the id " + std::to_string(pid) + " (give --name)");
  if (name.size() >= PROC_NAME_UNITS) name.resize(PROC_NAME_UNITS - 1);

  auto matches = [&](const Trusted& entry) {
    return entry.pid == pid && SameDrivePath(entry.name, name);
  };
  bool there = std::any_of(present.begin(), present.end(), matches);
  std::string who = Utf8(name) + " (" + std::to_string(pid) + ")";
  if (add && there) return context.Fail(kExitRefused, who + " is already trusted on " + scope.Name());
  if (!add && !there) return context.Fail(kExitRefused, who + " is not trusted on " + scope.Name());
  // A read-only lock lets nothing write but a trusted process, so read access there would
  // change nothing: the driver takes only full access for it.
  if (add && scope.drive && mode != 1 && mode != 4) {
    return context.Fail(kExitRefused, "the lock on " + scope.Name() + " is not in force (paused or open)");
  }
  if (add && scope.drive && options.permission == PROC_PERMISSION_READ && mode == 4) {
    return context.Fail(kExitRefused, "a read-only lock takes only full access (--full)");
  }

  _LCK_PROC_INFORMATION record{};
  record.procDrive = scope.drive;
  std::char_traits<char16_t>::copy(record.procPath, scope.path.c_str(), std::min(scope.path.size(), LCK_PATH_UNITS - 1));
  record.scope = scope.path.empty() ? PROC_SCOPE_DRIVE : PROC_SCOPE_FOLDER;
  record.permission = scope.drive ? options.permission : PROC_PERMISSION_FULL;
  std::char_traits<char16_t>::copy(record.procName, name.c_str(), name.size());
  record.pid = pid;
  bool done;
  if (!scope.drive) {
    done = add ? context.vault.ProcGlobalRegister(&record, true) : context.vault.ProcGlobalRemove(&record, true);
  } else {
    done = add ? context.vault.ProcRegister(&record, true) != 0 : context.vault.ProcRemove(&record, true) != 0;
  }
  if (!done) return context.Fail(kExitSystem, std::string(add ? "cannot trust " : "cannot withdraw ") + who + " on " + scope.Name());
  return kExitOk;
}

}  // namespace

int RunTrust(Context& context) {
  if (context.options.action == "list") return RunTrustList(context);
  return RunTrustChange(context);
}

}  // namespace nb::nbctl
