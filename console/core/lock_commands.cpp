// The lock commands on rows: lock, unlock, resume, pause, mode, properties and dropped
// folders. Each command checks that the lock database can be written before it changes
// the driver, and puts the driver back when a write still fails, so that the driver and
// the database never disagree about a lock the console changed.
#include <algorithm>
#include <cstring>

#include "NBUtil.h"
#include "console_ids.h"
#include "lock_list.h"
#include "lock_list_internal.h"
#include "nb/text.h"

namespace nb::console {

using detail::Field;
using detail::SameLock;
using detail::SetField;
using detail::UpperLetter;

namespace {

// A path no folder can carry (":" is not allowed in a name), so the probe never matches a
// stored lock.
constexpr const char16_t* kProbePath = u"\\:";

// Shows the wait cursor for the life of a scope.
class WaitCursorScope {
 public:
  explicit WaitCursorScope(const std::function<void(bool)>& hook) : hook_(hook) {
    if (hook_) hook_(true);
  }
  ~WaitCursorScope() {
    if (hook_) hook_(false);
  }
  WaitCursorScope(const WaitCursorScope&) = delete;
  WaitCursorScope& operator=(const WaitCursorScope&) = delete;

 private:
  const std::function<void(bool)>& hook_;
};

bool Contains(const _DRIVESERIAL& devices, DWORD serial) {
  int count = std::clamp(devices.count, 0, static_cast<int>(DRIVESERIAL_SLOTS));
  return std::find(devices.volumeSerial, devices.volumeSerial + count, serial) != devices.volumeSerial + count;
}

}  // namespace

bool LockList::StoreWritable() {
  // Rewriting a lock that is not there opens the database for writing and changes nothing.
  _LCK_INFORMAION probe{};
  probe.type = LCK_TYPE_FOLDER;
  SetField(probe.path, LCK_PATH_UNITS, kProbePath);
  CMdb store(vault_.lockDbPath, false);
  return store.UpdateLock(&probe);
}

Outcome LockList::StoreNew(_LCK_INFORMAION* lock, bool deviceRegistered) {
  CMdb store(vault_.lockDbPath, false);
  if (store.DelLock(lock) && store.AddLock(lock)) return Outcome::kDone;
  // Not stored: the lock must not stay in force unknown to the database.
  bool undone = vault_.UnLock(lock, true) != 0;
  if (deviceRegistered) vault_.RemoveDevice(lock->drive, lock->serial, true);
  return undone ? Outcome::kStoreFailed : Outcome::kStoreFailedDriverChanged;
}

CommandResult LockList::AddNew(_LCK_INFORMAION record, bool deviceRegistered) {
  size_t listedBefore = rows_.size();
  SetField(record.owner, LCK_OWNER_UNITS, config_.account);
  Outcome stored = StoreNew(&record, deviceRegistered);
  if (stored != Outcome::kDone) return {stored};
  RowId id = Append(record);
  if (listedBefore == 1) Reload(true);  // runs when the command ends
  NotifyShell(false);
  return {Outcome::kDone, id};
}

void LockList::Update(RowId row, const _LCK_INFORMAION& lock) {
  // Looked up again: a dialog or message box may have run in between.
  if (Entry* entry = Find(row)) {
    entry->lock = lock;
    Changed();
  }
}

bool LockList::Listed(RowId row) const {
  return Find(row) && std::find(rows_.begin(), rows_.end(), row) != rows_.end();
}

bool LockList::Confirm(UINT id) {
  std::u16string text = config_.strings ? config_.strings(id) : std::u16string();
  return MessageBoxW(config_.owner, text.c_str(), config_.caption.c_str(), MB_YESNO | MB_ICONQUESTION) == IDYES;
}

// --- Lock ------------------------------------------------------------------------------

CommandResult LockList::LockNew() { return LockNew(config_.addDialog); }

CommandResult LockList::LockNew(const AddDialogFn& add) {
  BusyScope busy(*this);
  if (!add) return {Outcome::kNotApplicable};
  if (!StoreWritable()) return {Outcome::kStoreFailed};
  // The registrations before the dialog tell whether the dialog made the new lock's.
  _DRIVESERIAL before{};
  bool knownBefore = vault_.GetAddedDevice(&before, false);
  std::vector<_LCK_INFORMAION> locks = Array();
  _LCK_INFORMAION record{};
  if (add(locks.empty() ? nullptr : locks.data(), static_cast<int>(locks.size()), &record) != 1)
    return {Outcome::kCancelled};
  record.path[LCK_PATH_UNITS - 1] = 0;
  record.owner[LCK_OWNER_UNITS - 1] = 0;
  _DRIVESERIAL after{};
  bool registered = knownBefore && !Contains(before, record.serial) && vault_.GetAddedDevice(&after, false) &&
                    Contains(after, record.serial);
  return AddNew(record, registered);
}

CommandResult LockList::AddLocked(const _LCK_INFORMAION& record, bool registeredDevice) {
  BusyScope busy(*this);
  _LCK_INFORMAION lock = record;
  lock.path[LCK_PATH_UNITS - 1] = 0;
  lock.owner[LCK_OWNER_UNITS - 1] = 0;
  return AddNew(lock, registeredDevice);
}

// --- Unlock ------------------------------------------------------------------------------

CommandResult LockList::Unlock(RowId row) {
  BusyScope busy(*this);
  if (!Listed(row)) return {Outcome::kNoSuchRow, row};
  if (!Confirm(kStrConfirmUnlock)) return {Outcome::kCancelled, row};
  return UnlockOne(row, true);
}

std::vector<CommandResult> LockList::Unlock(const std::vector<RowId>& rows) {
  BusyScope busy(*this);
  if (rows.empty()) return {};
  if (!Confirm(kStrConfirmUnlock)) return {{Outcome::kCancelled}};
  std::vector<CommandResult> results(rows.size());
  for (size_t i = rows.size(); i-- > 0;) results[i] = UnlockOne(rows[i], false);
  return results;
}

CommandResult LockList::UnlockRow(RowId row, bool show) {
  BusyScope busy(*this);
  return UnlockOne(row, show);
}

CommandResult LockList::UnlockOne(RowId row, bool show) {
  if (!Listed(row)) return {Outcome::kNoSuchRow, row};
  _LCK_INFORMAION lock = Find(row)->lock;
  if (!StoreWritable()) return {Outcome::kStoreFailed, row};
  CMdb store(vault_.lockDbPath, false);
  if (lock.status == LCK_STATUS_NOT_STARTED) {
    if (!store.DelLock(&lock)) return {Outcome::kStoreFailed, row};
  } else {
    int inDrive = vault_.GetCountInDrive(static_cast<char>(lock.drive), show);
    if (!vault_.UnLock(&lock, show)) return {Outcome::kDriverFailed, row};
    if (!store.DelLock(&lock)) {
      // Still stored: lock it again so that the driver keeps what the database says.
      bool relocked = vault_.Lock(&lock, show) != 0;
      if (relocked && lock.status == LCK_STATUS_PAUSED) vault_.PauseLock(&lock, false);
      if (relocked) return {Outcome::kStoreFailed, row};
      lock.status = LCK_STATUS_NOT_STARTED;
      Update(row, lock);
      return {Outcome::kStoreFailedDriverChanged, row};
    }
    // The last lock on the drive: its removable-device registration goes too.
    if (inDrive == 1) vault_.RemoveDevice(&lock, show);
  }
  Erase(row);
  NotifyShell(false);
  return {Outcome::kDone, row};
}

// --- Resume, pause and start -------------------------------------------------------------

CommandResult LockList::Resume(RowId row) {
  BusyScope busy(*this);
  return ResumeOrPause(row, true, false);
}

CommandResult LockList::Pause(RowId row) {
  BusyScope busy(*this);
  return ResumeOrPause(row, false, false);
}

Outcome LockList::StartLock(_LCK_INFORMAION* lock, RowId self, bool* registered) {
  WaitCursorScope cursor(config_.waitCursor);
  *registered = false;
  vault_.GetDriveSerial();
  WCHAR drive = vault_.SerialToDrive(lock->serial);
  if (!drive) return Outcome::kBadDrive;
  lock->drive = drive;
  std::vector<_LCK_INFORMAION> others;
  for (const Entry& entry : entries_)
    if (entry.id != self) others.push_back(entry.lock);
  if (!others.empty() && vault_.CheckUsedFolder(lock, others.data(), static_cast<int>(others.size())))
    return Outcome::kUsedFolder;
  if (!vault_.AddDevice(lock, true, registered)) return Outcome::kDeviceFailed;
  lock->status = LCK_STATUS_LOCKED;
  if (vault_.Lock(lock, true)) {
    vault_.RemoveShotcut(lock);
    return Outcome::kDone;
  }
  // Only a registration this start made is withdrawn: other locks on the volume keep theirs.
  if (*registered) vault_.RemoveDevice(lock->drive, lock->serial, true);
  lock->status = LCK_STATUS_NOT_STARTED;
  return Outcome::kDriverFailed;
}

CommandResult LockList::ResumeOrPause(RowId row, bool resume, bool duringReload) {
  if (!Listed(row)) return {Outcome::kNoSuchRow, row};
  const _LCK_INFORMAION before = Find(row)->lock;
  _LCK_INFORMAION lock = before;
  bool started = false, registered = false;
  if (lock.status != LCK_STATUS_NOT_STARTED) {
    if (!StoreWritable()) return {Outcome::kStoreFailed, row};
    int done = resume ? vault_.ResumeLock(&lock, false) : vault_.PauseLock(&lock, false);
    if (!done) return {Outcome::kDriverFailed, row};
    lock.status = resume ? LCK_STATUS_LOCKED : LCK_STATUS_PAUSED;
  } else {
    if (!resume) return {Outcome::kNotApplicable, row};
    if (!StoreWritable()) return {Outcome::kStoreFailed, row};
    Outcome outcome = StartLock(&lock, row, &registered);
    if (outcome != Outcome::kDone) return {outcome, row};
    started = true;
    if (duringReload) {
      // Back to the stored state: a lock stored paused is paused again.
      auto stored = std::find_if(vault_.storedLocks.begin(), vault_.storedLocks.end(),
                                 [&lock](const _LCK_INFORMAION& s) { return SameLock(s, lock); });
      if (stored != vault_.storedLocks.end() && stored->status == LCK_STATUS_PAUSED &&
          vault_.PauseLock(&lock, false)) {
        lock.status = LCK_STATUS_PAUSED;
        lock.realDrive = vault_.GetRealDrive(lock.drive, false);
        Update(row, lock);
        return {Outcome::kDone, row};
      }
    }
  }
  CMdb store(vault_.lockDbPath, false);
  if (!store.UpdateLock(&lock)) {
    bool restored;
    if (started) {
      restored = vault_.UnLock(&lock, true) != 0;
      if (registered) vault_.RemoveDevice(lock.drive, lock.serial, true);
    } else {
      restored = (resume ? vault_.PauseLock(&lock, false) : vault_.ResumeLock(&lock, false)) != 0;
    }
    if (!restored) {
      Update(row, lock);
    }
    return {restored ? Outcome::kStoreFailed : Outcome::kStoreFailedDriverChanged, row};
  }
  lock.realDrive = vault_.GetRealDrive(lock.drive, false);
  Update(row, lock);
  if (!duringReload) NotifyShell(false);
  return {Outcome::kDone, row};
}

// --- Mode and properties -------------------------------------------------------------------

CommandResult LockList::SetMode(RowId row, int mode) {
  BusyScope busy(*this);
  if (!Listed(row)) return {Outcome::kNoSuchRow, row};
  if (mode != 1 && mode != 4) return {Outcome::kNotApplicable, row};
  _LCK_INFORMAION lock = Find(row)->lock;
  if (lock.status == LCK_STATUS_NOT_STARTED) return {Outcome::kNotApplicable, row};
  if (!StoreWritable()) return {Outcome::kStoreFailed, row};
  int oldMode = lock.mode;
  lock.mode = mode;
  if (!vault_.SetLock(&lock, true)) return {Outcome::kDriverFailed, row};
  CMdb store(vault_.lockDbPath, false);
  if (!store.UpdateLock(&lock)) {
    lock.mode = oldMode;
    if (vault_.SetLock(&lock, true)) return {Outcome::kStoreFailed, row};
    lock.mode = mode;  // what the driver holds now
    Update(row, lock);
    return {Outcome::kStoreFailedDriverChanged, row};
  }
  Update(row, lock);
  NotifyShell(false);
  return {Outcome::kDone, row};
}

CommandResult LockList::Properties(RowId row) { return Properties(row, config_.propertyDialog); }

CommandResult LockList::Properties(RowId row, const PropertyDialogFn& dialog) {
  BusyScope busy(*this);
  if (!Listed(row)) return {Outcome::kNoSuchRow, row};
  if (!dialog) return {Outcome::kNotApplicable, row};
  const _LCK_INFORMAION before = Find(row)->lock;
  if (before.status == LCK_STATUS_NOT_STARTED) return {Outcome::kNotApplicable, row};
  if (!StoreWritable()) return {Outcome::kStoreFailed, row};
  _LCK_INFORMAION lock = before;
  // A reload asked for while the dialog is open waits for its end: the row stays.
  if (dialog(&lock) != 1) return {Outcome::kCancelled, row};
  if (!Listed(row)) return {Outcome::kNoSuchRow, row};  // removed from within the dialog
  lock.path[LCK_PATH_UNITS - 1] = 0;
  lock.owner[LCK_OWNER_UNITS - 1] = 0;
  NotifyShell(false);
  CMdb store(vault_.lockDbPath, false);
  if (!store.UpdateLock(&lock)) {
    bool changedInDriver = lock.mode != before.mode || lock.timeout != before.timeout;
    if (!changedInDriver) return {Outcome::kStoreFailed, row};
    _LCK_INFORMAION restore = before;
    if (vault_.SetLock(&restore, true)) return {Outcome::kStoreFailed, row};
    Update(row, lock);
    return {Outcome::kStoreFailedDriverChanged, row};
  }
  Update(row, lock);
  if (lock.mode != before.mode) NotifyShell(false);
  return {Outcome::kDone, row};
}

// --- Dropped folders -------------------------------------------------------------------------

std::vector<CommandResult> LockList::DropFolders(const std::vector<std::u16string>& paths) {
  BusyScope busy(*this);
  std::vector<CommandResult> results;
  bool any = false;
  for (const auto& path : paths) {
    results.push_back(DropOne(path));
    results.back().path = path;
    any = any || results.back().ok();
  }
  if (any) NotifyShell(false);
  return results;
}

namespace {

// "X:\..." split into the upper-case letter and the path below the root without trailing
// separators ("" for the root itself); false for anything else.
bool SplitDrivePath(const std::u16string& path, WCHAR* letter, std::u16string* below) {
  if (path.size() < 2 || path.find(u'\0') != std::u16string::npos || path[1] != u':') return false;
  WCHAR first = UpperLetter(path[0]);
  if (first < u'A' || first > u'Z') return false;
  if (path.size() > 2 && path[2] != u'\\') return false;
  std::u16string rest = path.substr(2);
  while (!rest.empty() && rest.back() == u'\\') rest.pop_back();
  *letter = first;
  *below = rest;
  return true;
}

bool IsFolder(const std::u16string& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

CommandResult LockList::DropOne(const std::u16string& path) {
  // A folder below a drive root (a drive root has 3 characters).
  WCHAR letter = 0;
  std::u16string below;
  if (path.size() <= 3 || !SplitDrivePath(path, &letter, &below) || below.empty() || !IsFolder(path))
    return {Outcome::kNotFolder};
  if (!CheckDrive(letter)) return {Outcome::kBadDrive};

  int mode = 0, timeout = 0;
  if (!GetDefOption(&mode, &timeout)) {
    mode = 1;
    timeout = 0;
  }
  // A stored default outside what the dialogs accept is brought into their range.
  timeout = std::clamp(timeout, 0, DEFOPTION_TIMEOUT_MAX);
  return LockRecord(letter, below, mode == 4 ? 4 : 1, timeout, false);
}

CommandResult LockList::LockPath(const std::u16string& path, int mode, int timeout) {
  BusyScope busy(*this);
  WCHAR letter = 0;
  std::u16string below;
  if (mode != 1 && mode != 4) return {Outcome::kNotApplicable};
  if (timeout < 0 || timeout > DEFOPTION_TIMEOUT_MAX) return {Outcome::kNotApplicable};
  if (!SplitDrivePath(path, &letter, &below)) return {Outcome::kNotFolder};
  if (!CheckDrive(letter)) return {Outcome::kBadDrive};
  if (!below.empty() && !IsFolder(path)) return {Outcome::kNotFolder};
  CommandResult result = LockRecord(letter, below, mode, timeout, true);
  result.path = path;
  if (result.ok()) NotifyShell(false);
  return result;
}

CommandResult LockList::LockRecord(WCHAR letter, const std::u16string& below, int mode, int timeout,
                                   bool needSerial) {
  if (below.size() >= LCK_PATH_UNITS) return {Outcome::kNotFolder};
  _LCK_INFORMAION record{};
  record.type = below.empty() ? LCK_TYPE_DRIVE : LCK_TYPE_FOLDER;
  SetField(record.path, LCK_PATH_UNITS, below);
  record.timeout = timeout;
  record.mode = mode;
  record.drive = record.realDrive = vault_.GetRealDrive(letter, true);

  std::u16string full = nb::text::FormatWide(u"%c:%s", record.drive, record.path);
  if (vault_.CheckExceptFolder(full.c_str())) return {Outcome::kExcluded};
  std::vector<_LCK_INFORMAION> locks = Array();
  if (!locks.empty() && vault_.CheckUsedFolder(&record, locks.data(), static_cast<int>(locks.size())))
    return {Outcome::kUsedFolder};
  DWORD serial = 0;
  vault_.GetVolumeSerial(record.drive, &serial);
  // Locks follow their volume's serial: without one the lock could never come back.
  if (needSerial && serial == 0) return {Outcome::kBadDrive};
  if (!StoreWritable()) return {Outcome::kStoreFailed};
  bool registered = false;
  if (!vault_.AddDevice(&record, true, &registered)) return {Outcome::kDeviceFailed};
  if (!vault_.Lock(&record, true)) {
    if (registered) vault_.RemoveDevice(record.drive, serial, true);
    return {Outcome::kDriverFailed};
  }
  record.running = timeout == 0 ? 1 : 0;
  record.status = LCK_STATUS_LOCKED;
  record.serial = serial;
  {
    WaitCursorScope cursor(config_.waitCursor);
    vault_.RemoveShotcut(&record);
  }
  return AddNew(record, registered);
}

// --- Menu commands -----------------------------------------------------------------------------

std::vector<CommandResult> LockList::Execute(UINT command, const std::vector<RowId>& selection) {
  BusyScope busy(*this);
  if (command == kCmdLock) {
    if (!selection.empty()) return {};
    return {LockNew()};
  }
  if (selection.empty()) return {};
  bool one = selection.size() == 1;
  std::vector<CommandResult> results;
  switch (command) {
    case kCmdUnlock:
      if (one) return {Unlock(selection.front())};
      return Unlock(selection);
    case kCmdProperties:
      if (one) return {Properties(selection.front())};
      return {};
    case kCmdResume:
      for (RowId row : selection) results.push_back(Resume(row));
      return results;
    case kCmdPause:
      for (RowId row : selection) results.push_back(Pause(row));
      return results;
    case kCmdHidden:
    case kCmdReadOnly:
      for (RowId row : selection) results.push_back(SetMode(row, command == kCmdHidden ? 1 : 4));
      return results;
    default:
      return {};
  }
}

}  // namespace nb::console
