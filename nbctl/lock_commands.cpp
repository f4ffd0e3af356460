// list, lock, unlock, pause, resume, mode and timeout: the console's lock list and its
// commands (the same checks and store updates), driven from the command line.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

#include "NBUtil.h"
#include "commands.h"
#include "lock_list.h"
#include "lock_rules.h"
#include "nb/text.h"
#include "nb/win/drives.h"
#include "paths.h"
#include "system.h"

namespace nb::nbctl {

namespace {

using nb::console::CommandResult;
using nb::console::LockList;
using nb::console::Outcome;
using nb::console::RowId;

std::string Utf8(std::u16string_view text) { return nb::text::Utf16ToUtf8(text); }

std::string WorkingFolder() {
  std::string folder(PATH_MAX, '\0');
  if (!getcwd(folder.data(), folder.size())) return "/";
  folder.resize(std::strlen(folder.c_str()));
  return folder;
}

DrivePath Resolve(std::string_view argument) {
  return ToDrivePath(argument, WorkingFolder(),
                     [](std::string_view host) { return nb::win::DrivePathOf(host); });
}

// The exit code and text of a failed lock-list command.
int Report(Context& context, const CommandResult& result, const std::string& what) {
  switch (result.outcome) {
    case Outcome::kDone: return kExitOk;
    case Outcome::kCancelled:
    case Outcome::kNoSuchRow:
    case Outcome::kNotApplicable:
    case Outcome::kNotFolder:
    case Outcome::kBadDrive:
    case Outcome::kExcluded:
    case Outcome::kUsedFolder:
      return context.Fail(kExitRefused, what + ": " + nb::console::OutcomeText(result.outcome));
    default:
      return context.Fail(kExitSystem, what + ": " + nb::console::OutcomeText(result.outcome));
  }
}

// The list as the console builds it for the logged-in account, without starting locks
// that are not started (a listing changes nothing).
std::unique_ptr<LockList> OpenList(Context& context) {
  nb::console::LockListConfig config;
  config.account = context.AccountName();
  config.strings = context.consoleTexts;
  config.caption = u"nbctl";
  auto list = std::make_unique<LockList>(context.vault, std::move(config));
  list->Reload(false);
  // What the reload's clean-up said is no part of the command's own failure.
  context.presenter.Take();
  return list;
}

// The row of the account's list that `argument` names; kNoRow after reporting.
RowId FindRow(Context& context, LockList& list, const std::string& argument, int* code) {
  DrivePath path = Resolve(argument);
  if (!path.error.empty()) {
    *code = context.Fail(kExitUsage, path.error);
    return nb::console::kNoRow;
  }
  std::vector<RowId> rows = list.Rows();
  for (RowId row : rows) {
    std::optional<_LCK_INFORMAION> lock = list.Lock(row);
    if (lock && LockAnswersTo(*lock, path.path)) return row;
  }
  *code = context.Fail(kExitRefused, "no lock of " + Utf8(context.AccountName()) + " on " + Utf8(path.path));
  return nb::console::kNoRow;
}

int RunListing(Context& context) {
  std::unique_ptr<LockList> list = OpenList(context);
  std::vector<_LCK_INFORMAION> locks;
  if (context.options.all) {
    locks = list->Array();
  } else {
    for (RowId row : list->Rows()) {
      if (std::optional<_LCK_INFORMAION> lock = list->Lock(row)) locks.push_back(*lock);
    }
  }
  std::vector<LockRow> rows;
  for (const _LCK_INFORMAION& lock : locks) rows.push_back(MakeLockRow(lock, context.consoleTexts));
  context.Print(context.options.json ? LockRowsJson(rows) + "\n"
                                     : LockRowsTable(rows, context.consoleTexts, context.options.all));
  return kExitOk;
}

int RunLock(Context& context) {
  DrivePath path = Resolve(context.options.args[0]);
  if (!path.error.empty()) return context.Fail(kExitUsage, path.error);
  auto lockable = [](WCHAR letter) { return CheckDrive(letter) != 0; };

  nb::dialogs::LockChoice choice;
  int mode = 1, timeout = 0;
  if (!GetDefOption(&mode, &timeout)) mode = 1, timeout = 0;
  choice.mode = context.options.mode.value_or(mode == kModeReadOnly ? kModeReadOnly : kModeHidden);
  choice.timeout = context.options.timeout.value_or(std::clamp(timeout, 0, kTimeoutMax));
  if (context.options.wholeDrive) {
    WCHAR letter = path.path[0];  // the drive that holds PATH
    if (!lockable(letter)) return context.Refuse(kExitRefused, nb::dialogs::kMsgDriveRejected, {letter});
    if (letter == nb::dialogs::SystemDriveLetter()) {
      return context.Fail(kExitRefused, "the system drive cannot be locked as a whole");
    }
    choice.folder = false;
    choice.drive = letter;
  } else {
    std::u16string resolved;
    UINT message = nb::dialogs::ResolveFolderPath(path.path, lockable, &resolved);
    if (message == nb::dialogs::kMsgDriveRejected) return context.Refuse(kExitRefused, message, {path.path[0]});
    if (message) return context.Refuse(kExitRefused, message, path.path);
    choice.drive = resolved[0];
    choice.path = resolved.substr(2);
  }

  std::unique_ptr<LockList> list = OpenList(context);
  nb::dialogs::AddOutcome added;
  auto add = [&](_LCK_INFORMAION* locks, int count, _LCK_INFORMAION* out) {
    added = nb::dialogs::AddLock(choice, locks, count, context.vault, out);
    return added.locked ? 1 : 0;
  };
  CommandResult result = list->LockNew(add);
  std::string what = "cannot lock " + Utf8(path.path);
  if (result.outcome == Outcome::kCancelled && !added.locked) {
    if (added.message) return context.Fail(kExitRefused, what + ": " + context.DialogText(added.message, path.path));
    return context.Fail(kExitSystem, what);
  }
  if (!result.ok()) return Report(context, result, what);
  NotifyConsole();
  return kExitOk;
}

// unlock, pause, resume, mode, timeout on the rows the arguments name.
int RunRowCommand(Context& context) {
  std::unique_ptr<LockList> list = OpenList(context);
  const Options& options = context.options;
  size_t paths = options.command == Command::kMode || options.command == Command::kTimeout ? 1 : options.args.size();
  int code = kExitOk;
  bool changed = false;
  for (size_t i = 0; i < paths; ++i) {
    int failure = kExitOk;
    RowId row = FindRow(context, *list, options.args[i], &failure);
    if (!row) {
      if (code == kExitOk) code = failure;
      continue;
    }
    _LCK_INFORMAION lock = *list->Lock(row);
    std::string name = Utf8(std::u16string{lock.realDrive ? lock.realDrive : lock.drive, u':'}) +
                       Utf8(lock.type == LCK_TYPE_DRIVE ? u"\\" : lock.path);
    CommandResult result;
    std::string what;
    switch (options.command) {
      case Command::kUnlock:
        what = "cannot unlock " + name;
        result = list->UnlockRow(row, true);
        break;
      case Command::kPause:
        what = "cannot pause " + name;
        if (lock.status == LCK_STATUS_PAUSED) continue;  // already where it was asked to be
        if (lock.status == LCK_STATUS_NOT_STARTED) {
          result = {Outcome::kNotApplicable};
          what += " (it is not started)";
          break;
        }
        result = list->Pause(row);
        break;
      case Command::kResume:
        what = "cannot resume " + name;
        if (lock.status == LCK_STATUS_LOCKED) continue;
        result = list->Resume(row);
        break;
      case Command::kMode:
        what = "cannot change the mode of " + name;
        if (lock.mode == *options.mode) continue;
        if (lock.status == LCK_STATUS_NOT_STARTED) {
          result = {Outcome::kNotApplicable};
          what += " (it is not started)";
          break;
        }
        result = list->SetMode(row, *options.mode);
        break;
      case Command::kTimeout: {
        what = "cannot change the time-out of " + name;
        if (lock.status == LCK_STATUS_NOT_STARTED) {
          result = {Outcome::kNotApplicable};
          what += " (it is not started)";
          break;
        }
        int minutes = *options.timeout;
        auto properties = [&](_LCK_INFORMAION* record) {
          return nb::dialogs::ApplyProperties(record, std::nullopt, minutes,
                                              [&](_LCK_INFORMAION* changed) {
                                                return context.vault.SetLock(changed, true) != 0;
                                              })
                     ? 1
                     : 0;
        };
        result = list->Properties(row, properties);
        if (result.outcome == Outcome::kCancelled) result.outcome = Outcome::kDriverFailed;
        break;
      }
      default: return context.Fail(kExitUsage, "not a lock command");
    }
    if (result.ok()) {
      changed = true;
      continue;
    }
    int failure2 = Report(context, result, what);
    if (code == kExitOk) code = failure2;
  }
  if (changed) NotifyConsole();
  return code;
}

}  // namespace

int RunList(Context& context) { return RunListing(context); }

int RunLockCommand(Context& context) {
  if (context.options.command == Command::kLock) return RunLock(context);
  return RunRowCommand(context);
}

}  // namespace nb::nbctl
