// The console's lock list without widgets: the lock array (everything the driver enforces
// merged with what the lock database remembers), the rows the logged-in account sees, and
// the lock commands on those rows. A window shows the rows and calls the commands; a
// command-line tool calls the same commands.
//
// Rows are named by ids that stay valid while their lock stays listed: the array may grow,
// shrink or be rebuilt without a caller ever holding a pointer into it. A reload asked for
// while a command or a dialog runs waits until that ends and then runs once.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>

#include "VAULTSdk.h"
#include "command_state.h"

namespace nb::console {

using RowId = std::uint64_t;
inline constexpr RowId kNoRow = 0;

// Texts by resource number (the console's language module).
using StringLoader = std::function<std::u16string(UINT id)>;
// Texts from a loaded module with LoadStringW; empty for a missing string.
StringLoader ModuleStrings(HINSTANCE module);

// AddDialog's shape: the existing locks, their count and a zeroed record to fill; 1 when
// a lock was created (validated, device registered, driver lock set) and the record
// filled, else 0.
using AddDialogFn = std::function<int(_LCK_INFORMAION* locks, int count, _LCK_INFORMAION* out)>;
// PropertyDialog's shape: 1 when the lock was changed (closed by apply), else 0.
using PropertyDialogFn = std::function<int(_LCK_INFORMAION* lock)>;

// What a command came to.
enum class Outcome {
  kDone,           // carried out
  kCancelled,      // declined by the user (confirmation or dialog): nothing changed
  kNoSuchRow,      // the row id names no listed lock
  kNotApplicable,  // the command does not apply to the row in its state
  kNotFolder,      // a dropped path that is no folder below a drive root
  kBadDrive,       // a drive that cannot be locked (not fixed or removable), or no drive
                   // carries the lock's volume now
  kExcluded,       // a protected system folder
  kUsedFolder,     // the same as, inside, or around an existing lock
  kDeviceFailed,   // the removable-device registration failed
  kDriverFailed,   // the filter driver refused the operation
  kStoreFailed,    // the lock database could not be written; driver and store agree
  kStoreFailedDriverChanged,  // the store failed and the driver could not be put back:
                              // they disagree until the next reload or restart
};

// A short English description of an outcome, for a command-line tool.
const char* OutcomeText(Outcome outcome);

struct CommandResult {
  CommandResult(Outcome outcome = Outcome::kDone, RowId row = kNoRow) : outcome(outcome), row(row) {}
  Outcome outcome;
  RowId row;  // the row concerned (a new row for Lock, AddLocked, DropFolders)
  std::u16string path;  // for DropFolders: the dropped path
  bool ok() const { return outcome == Outcome::kDone; }
};

// The columns of a row.
enum Column { kColName = 0, kColType = 1, kColMode = 2, kColTimeout = 3, kColStatus = 4, kColumnCount = 5 };
// The header string of each column, in column order.
inline constexpr UINT kColumnHeaders[kColumnCount] = {61210, 61212, 61214, 61211, 61213};

// The text of one column of a lock (names with the real drive letter).
std::u16string ColumnText(const _LCK_INFORMAION& lock, int column, const StringLoader& strings);
// Rows of status 1 use the list's text colour, the others this grey.
inline constexpr int kInactiveRowRed = 112, kInactiveRowGreen = 128, kInactiveRowBlue = 144;

// What the list needs from its surroundings.
struct LockListConfig {
  std::u16string account;      // the logged-in account: rows of its own or of nobody are listed
  AddDialogFn addDialog;       // Lock with no selection
  PropertyDialogFn propertyDialog;
  StringLoader strings;        // column texts and the unlock confirmation
  std::u16string caption;      // caption of the confirmation box (the application title)
  HWND owner = nullptr;        // owner of the confirmation box
  std::function<void(bool on)> waitCursor;  // shown around a lock start or shortcut clean-up
  std::function<void()> changed;            // rows added, removed or changed (not during a command's
                                            // intermediate steps: once it ends, and after each reload)
};

class LockList {
 public:
  // Works through `vault` (the document's lock object); fills its default folder and lock
  // database path when they are empty.
  LockList(CVAULTObj& vault, LockListConfig config);
  ~LockList();
  LockList(const LockList&) = delete;
  LockList& operator=(const LockList&) = delete;

  // --- Contents.
  // The rows in display order.
  std::vector<RowId> Rows() const;
  // The lock of a row, copied; none for an unknown id.
  std::optional<_LCK_INFORMAION> Lock(RowId row) const;
  // The whole lock array (also the locks of other accounts), as AddDialog sees it.
  std::vector<_LCK_INFORMAION> Array() const;
  std::u16string Text(RowId row, int column) const;
  // The states of the listed rows among `selection`, in its order, for the enabling rules.
  std::vector<RowState> States(const std::vector<RowId>& selection) const;
  const LockListConfig& Config() const { return config_; }
  void SetAccount(std::u16string account) { config_.account = std::move(account); }

  // --- Reload: rebuilds the array and the rows from the driver and the lock database;
  // with `autoStart`, not-started locks are started and brought back to their stored
  // paused state. While busy (a command or a BusyScope), it is remembered and runs once
  // when the outermost scope ends (with auto-start when any request asked for it).
  // Returns true when it ran now.
  bool Reload(bool autoStart);
  // The frame's answer to the notification thread's signal: a reload without auto-start
  // between the log lines "Start UpdateInfo" and "END UpdateInfo".
  bool ReloadFromNotification();
  // Whether a reload waits for the end of a busy scope.
  bool ReloadPending() const { return pending_.has_value(); }

  // Marks the list busy for its lifetime (a window's own dialog around the list, for
  // instance); nests.
  class BusyScope {
   public:
    explicit BusyScope(LockList& list);
    ~BusyScope();
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

   private:
    LockList& list_;
  };

  // --- Commands. Each leaves row, array and lock database unchanged when it fails. A
  // command that writes the lock database first makes sure it can (kStoreFailed before any
  // dialog opens or the driver is touched); when a write still fails afterwards, the
  // driver is put back (kStoreFailedDriverChanged when even that fails).
  // Lock (no selection): the add dialog, then the new row stored with the account as owner.
  CommandResult LockNew();
  // Lock with another add function than the configured dialog (a command-line tool locks a
  // given path without a dialog).
  CommandResult LockNew(const AddDialogFn& add);
  // A record already locked in the driver by the caller (status, serial, mode filled):
  // owner set, stored, row added. `registeredDevice` says whether the caller's lock made the
  // removable-device registration, which an undo then withdraws. When the store cannot be
  // written the driver lock is undone.
  CommandResult AddLocked(const _LCK_INFORMAION& record, bool registeredDevice);
  // Unlock one row after confirmation 61219.
  CommandResult Unlock(RowId row);
  // Unlock several rows after one confirmation, last to first, without SDK messages.
  // One result per row in the order given; a declined confirmation gives one kCancelled.
  std::vector<CommandResult> Unlock(const std::vector<RowId>& rows);
  // Unlock without any confirmation (`show` passed to the SDK calls).
  CommandResult UnlockRow(RowId row, bool show);
  CommandResult Resume(RowId row);
  CommandResult Pause(RowId row);
  // Mode 1 (hidden) or 4 (read only).
  CommandResult SetMode(RowId row, int mode);
  // The property dialog (configured, or the one given).
  CommandResult Properties(RowId row);
  CommandResult Properties(RowId row, const PropertyDialogFn& dialog);
  // Locks a folder ("X:\...") or a whole drive ("X:" or "X:\") with mode 1 or 4 and a
  // time-out of 0..10000 minutes, checked as the add dialog checks, without a dialog.
  CommandResult LockPath(const std::u16string& path, int mode, int timeout);
  // Locks dropped folders ("X:\..." paths) with the default settings; one result per path.
  std::vector<CommandResult> DropFolders(const std::vector<std::u16string>& paths);

  // Runs a menu command on a selection as the console's menu does: 32777 only with no
  // selection, 32779 only with one row, the others on one row or on each.
  std::vector<CommandResult> Execute(UINT command, const std::vector<RowId>& selection);

 private:
  struct Entry {
    RowId id;
    _LCK_INFORMAION lock;
  };
  void Enter();
  void Leave();
  void RunReload(bool autoStart);
  Entry* Find(RowId row);
  const Entry* Find(RowId row) const;
  // The row is listed (its lock is in the array and the account sees it).
  bool Listed(RowId row) const;
  bool Visible(const _LCK_INFORMAION& lock) const;
  // Adds to the array (and to the rows when the account sees it) under `id`, or a new id.
  RowId Append(const _LCK_INFORMAION& lock, RowId id = kNoRow);
  void Erase(RowId row);
  // Replaces a row's lock when the row is still there.
  void Update(RowId row, const _LCK_INFORMAION& lock);
  std::u16string DefaultFolderPath() const;

  // The pieces of the commands.
  bool Confirm(UINT id);
  bool StoreWritable();
  // Stores a lock the driver now holds; on failure undoes the driver lock and the device
  // registration when this command made it.
  Outcome StoreNew(_LCK_INFORMAION* lock, bool deviceRegistered);
  // Owner set, stored, row added (see StoreNew for the failure).
  CommandResult AddNew(_LCK_INFORMAION record, bool deviceRegistered);
  CommandResult UnlockOne(RowId row, bool show);
  Outcome StartLock(_LCK_INFORMAION* lock, RowId self, bool* registered);
  CommandResult ResumeOrPause(RowId row, bool resume, bool duringReload);
  CommandResult DropOne(const std::u16string& path);
  // The lock itself: protected-folder and used-folder checks, device registration, driver
  // lock, shortcut clean-up, stored with the row added.
  CommandResult LockRecord(WCHAR letter, const std::u16string& below, int mode, int timeout, bool needSerial);
  void NotifyShell(bool myComputer);
  void WaitCursor(bool on);
  void Changed();

  CVAULTObj& vault_;
  LockListConfig config_;
  std::vector<Entry> entries_;  // the lock array
  std::vector<RowId> rows_;     // the listed entries, in display order
  RowId nextId_ = 1;
  int busy_ = 0;
  std::optional<bool> pending_;  // a deferred reload and its auto-start flag
  bool dirty_ = false;           // contents changed during the current busy scope
};

}  // namespace nb::console
