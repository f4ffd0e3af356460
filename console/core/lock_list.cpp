// The lock list's contents: the lock array, its rows by id, the busy scopes that defer a
// reload, and the reload that merges the driver's locks with the lock database's.
#include "lock_list.h"

#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "NBUtil.h"
#include "lock_list_internal.h"

namespace nb::console {

namespace detail {

std::u16string Field(const WCHAR* field, size_t units) {
  size_t length = 0;
  while (length < units && field[length]) ++length;
  return std::u16string(field, length);
}

bool SamePathIgnoringCase(const WCHAR* a, const WCHAR* b) {
  for (size_t i = 0; i < LCK_PATH_UNITS; ++i) {
    WCHAR x = a[i], y = b[i];
    if (x >= u'a' && x <= u'z') x = static_cast<WCHAR>(x - u'a' + u'A');
    if (y >= u'a' && y <= u'z') y = static_cast<WCHAR>(y - u'a' + u'A');
    if (x != y) return false;
    if (x == 0) return true;
  }
  return true;
}

bool SameLock(const _LCK_INFORMAION& a, const _LCK_INFORMAION& b) {
  return a.serial == b.serial && SamePathIgnoringCase(a.path, b.path);
}

void SetField(WCHAR* field, size_t units, std::u16string_view text) {
  std::memset(field, 0, units * sizeof(WCHAR));
  size_t length = std::min(text.size(), units - 1);
  std::copy_n(text.data(), length, field);
}

}  // namespace detail

using detail::SameLock;

LockList::LockList(CVAULTObj& vault, LockListConfig config) : vault_(vault), config_(std::move(config)) {
  if (!vault_.defaultFolder[0]) vault_.GetDefaultLockFolder();
  if (!vault_.lockDbPath[0]) vault_.GetLockDbPath();
}

LockList::~LockList() = default;

// --- Contents -----------------------------------------------------------------------

std::vector<RowId> LockList::Rows() const { return rows_; }

std::optional<_LCK_INFORMAION> LockList::Lock(RowId row) const {
  const Entry* entry = Find(row);
  if (!entry || std::find(rows_.begin(), rows_.end(), row) == rows_.end()) return std::nullopt;
  return entry->lock;
}

std::vector<_LCK_INFORMAION> LockList::Array() const {
  std::vector<_LCK_INFORMAION> locks;
  locks.reserve(entries_.size());
  for (const Entry& entry : entries_) locks.push_back(entry.lock);
  return locks;
}

std::vector<RowState> LockList::States(const std::vector<RowId>& selection) const {
  std::vector<RowState> states;
  for (RowId row : selection)
    if (auto lock = Lock(row)) states.push_back(StateOf(*lock));
  return states;
}

std::u16string LockList::Text(RowId row, int column) const {
  auto lock = Lock(row);
  return lock ? ColumnText(*lock, column, config_.strings) : std::u16string();
}

LockList::Entry* LockList::Find(RowId row) {
  for (Entry& entry : entries_)
    if (entry.id == row) return &entry;
  return nullptr;
}

const LockList::Entry* LockList::Find(RowId row) const {
  for (const Entry& entry : entries_)
    if (entry.id == row) return &entry;
  return nullptr;
}

bool LockList::Visible(const _LCK_INFORMAION& lock) const {
  return lock.owner[0] == 0 || detail::Field(lock.owner, LCK_OWNER_UNITS) == config_.account;
}

RowId LockList::Append(const _LCK_INFORMAION& lock, RowId id) {
  Entry entry{id != kNoRow ? id : nextId_++, lock};
  entries_.push_back(entry);
  if (Visible(lock)) {
    // The name column shows the letter the mount manager knows the volume by.
    Entry& added = entries_.back();
    added.lock.realDrive = vault_.GetRealDrive(added.lock.drive, false);
    rows_.push_back(added.id);
  }
  dirty_ = true;
  return entry.id;
}

void LockList::Erase(RowId row) {
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [row](const Entry& e) { return e.id == row; }),
                 entries_.end());
  rows_.erase(std::remove(rows_.begin(), rows_.end(), row), rows_.end());
  dirty_ = true;
}

// --- Busy scopes and deferred reloads -----------------------------------------------

LockList::BusyScope::BusyScope(LockList& list) : list_(list) { list_.Enter(); }
LockList::BusyScope::~BusyScope() { list_.Leave(); }

void LockList::Enter() { ++busy_; }

void LockList::Leave() {
  if (busy_ > 1) {
    --busy_;
    return;
  }
  // The outermost scope ends: run what was deferred, still marked busy so that a reload
  // asked for meanwhile queues behind it instead of nesting.
  while (pending_) {
    bool autoStart = *pending_;
    pending_.reset();
    RunReload(autoStart);
  }
  --busy_;
  if (dirty_) {
    dirty_ = false;
    if (config_.changed) config_.changed();
  }
}

bool LockList::Reload(bool autoStart) {
  if (busy_ > 0) {
    pending_ = pending_.value_or(false) || autoStart;
    return false;
  }
  Enter();
  RunReload(autoStart);
  Leave();
  return true;
}

bool LockList::ReloadFromNotification() {
  CVAULTObj::Print(u"NBADMIN", u"Start UpdateInfo");
  bool ran = Reload(false);
  CVAULTObj::Print(u"NBADMIN", u"END UpdateInfo");
  return ran;
}

// --- Reload ---------------------------------------------------------------------------

namespace {

// What keeps a row's id across reloads: the same lock on the same volume.
using Identity = std::tuple<int, DWORD, std::u16string>;

Identity IdentityOf(const _LCK_INFORMAION& lock) {
  std::u16string path = detail::Field(lock.path, LCK_PATH_UNITS);
  for (auto& c : path)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return {lock.type, lock.serial, path};
}

}  // namespace

void LockList::RunReload(bool autoStart) {
  std::map<Identity, RowId> previous;
  for (const Entry& entry : entries_) previous.emplace(IdentityOf(entry.lock), entry.id);
  entries_.clear();
  rows_.clear();
  dirty_ = true;

  // The driver's locks, each with the serial of the volume now in its drive.
  vault_.driverLocks.clear();
  int count = vault_.GetLockCount(true);
  if (count > 0) {
    vault_.driverLocks.resize(static_cast<size_t>(count));
    if (vault_.GetLockInfo(vault_.driverLocks.data(), count, true)) {
      for (auto& lock : vault_.driverLocks) vault_.GetVolumeSerial(lock.drive, &lock.serial);
    } else {
      vault_.driverLocks.clear();
    }
  }

  // The stored locks.
  vault_.storedLocks.clear();
  {
    CMdb store(vault_.lockDbPath, true);
    int stored = store.GetCountLock();
    if (stored > 0) {
      vault_.storedLocks.resize(static_cast<size_t>(stored));
      int read = store.GetLock(vault_.storedLocks.data(), stored);
      vault_.storedLocks.resize(static_cast<size_t>(std::max(read, 0)));
    }
  }

  // Driver locks take status and owner (and a mode the driver does not report) from the
  // stored lock of the same folder on the same volume: a folder of the same name on
  // another volume is another lock.
  std::vector<bool> matched(vault_.storedLocks.size(), false);
  std::vector<_LCK_INFORMAION> merged;
  for (const auto& driverLock : vault_.driverLocks) {
    _LCK_INFORMAION lock = driverLock;
    for (size_t i = 0; i < vault_.storedLocks.size(); ++i) {
      const auto& stored = vault_.storedLocks[i];
      if (!SameLock(stored, driverLock)) continue;
      matched[i] = true;
      lock.status = stored.status;
      std::memcpy(lock.owner, stored.owner, sizeof lock.owner);
      if (lock.mode == 0) lock.mode = stored.mode;
      break;
    }
    merged.push_back(lock);
  }

  // Removable-device registrations that neither a present drive nor a driver lock uses.
  vault_.GetDriveSerial();
  _DRIVESERIAL devices{};
  if (vault_.GetAddedDevice(&devices, true)) {
    int registered = std::clamp(devices.count, 0, static_cast<int>(DRIVESERIAL_SLOTS));
    for (int i = 0; i < registered; ++i) {
      DWORD serial = devices.volumeSerial[i];
      if (vault_.FindDriveSerial(serial, &vault_.driveSerial)) continue;
      if (vault_.CheckAddedDrive(serial, vault_.driverLocks.data(), static_cast<int>(vault_.driverLocks.size())))
        continue;
      vault_.RemoveDevice(devices.letter[i], serial, true);
    }
  }

  // Stored locks the driver does not hold: listed as not started when their volume is
  // present and the folder exists there.
  for (size_t i = 0; i < vault_.storedLocks.size(); ++i) {
    if (matched[i]) continue;
    _LCK_INFORMAION lock = vault_.storedLocks[i];
    WCHAR drive = vault_.SerialToDrive(lock.serial);
    if (!drive) continue;
    lock.drive = drive;
    if (!vault_.CheckDirectory(&lock)) continue;
    lock.status = LCK_STATUS_NOT_STARTED;
    merged.push_back(lock);
  }

  // The default protected folder is never listed.
  std::u16string defaultFolder = detail::Field(vault_.defaultFolder, VAULT_NAME_UNITS);
  if (defaultFolder.size() > 2) {
    _LCK_INFORMAION folder{};
    detail::SetField(folder.path, LCK_PATH_UNITS, defaultFolder.substr(2));
    WCHAR letter = detail::UpperLetter(defaultFolder[0]);
    auto found = std::find_if(merged.begin(), merged.end(), [&](const _LCK_INFORMAION& lock) {
      return lock.type == LCK_TYPE_FOLDER && detail::UpperLetter(lock.drive) == letter &&
             detail::SamePathIgnoringCase(lock.path, folder.path);
    });
    if (found != merged.end()) merged.erase(found);
  }
  vault_.driverLocks.clear();

  // The array, with the ids rows had before for the same locks.
  for (const auto& lock : merged) {
    auto before = previous.find(IdentityOf(lock));
    RowId kept = before == previous.end() ? kNoRow : before->second;
    if (before != previous.end()) previous.erase(before);
    Append(lock, kept);
  }

  int started = 0;
  if (autoStart) {
    for (RowId row : std::vector<RowId>(rows_)) {
      Entry* entry = Find(row);
      if (!entry || entry->lock.status != LCK_STATUS_NOT_STARTED) continue;
      if (ResumeOrPause(row, true, true).ok()) ++started;
    }
  }
  vault_.storedLocks.clear();
  if (started > 0 || !autoStart) NotifyShell(true);
}

void LockList::NotifyShell(bool /*myComputer*/) {
  // The folder changed (My Computer after a reload, the desktop after a command) and the
  // associations, flushed, so that shell windows redraw hidden and read-only folders.
  SHChangeNotify(SHCNE_UPDATEDIR, SHCNF_IDLIST, nullptr, nullptr);
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST | SHCNF_FLUSH, nullptr, nullptr);
}

void LockList::Changed() { dirty_ = true; }

void LockList::WaitCursor(bool on) {
  if (config_.waitCursor) config_.waitCursor(on);
}

std::u16string LockList::DefaultFolderPath() const { return detail::Field(vault_.defaultFolder, VAULT_NAME_UNITS); }

}  // namespace nb::console
