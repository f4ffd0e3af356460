// The decisions of the lock add and lock property dialogs.
#include "lock_rules.h"

#include <cstring>

#include "account_rules.h"
#include "nb/text.h"

namespace nb::dialogs {

namespace {

bool IsLetter(WCHAR c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }
bool IsSeparator(WCHAR c) { return c == u'\\' || c == u'/'; }

}  // namespace

WCHAR UpperLetter(WCHAR letter) {
  return letter >= u'a' && letter <= u'z' ? static_cast<WCHAR>(letter - u'a' + u'A') : letter;
}

std::vector<WCHAR> OfferedDrives(DWORD mask, WCHAR systemDrive, const DriveFilter& accepted) {
  std::vector<WCHAR> drives;
  for (WCHAR letter = u'C'; letter <= u'Z'; ++letter) {
    if (!(mask & (1u << (letter - u'A')))) continue;
    if (systemDrive && UpperLetter(systemDrive) == letter) continue;
    if (accepted(letter)) drives.push_back(letter);
  }
  return drives;
}

WCHAR SystemDriveLetter() {
  WCHAR expanded[MAX_PATH] = {};
  DWORD length = ExpandEnvironmentStringsW(u"%SystemDrive%", expanded, MAX_PATH);
  // The length counts the NUL: "C:" is 3.
  if (length != 3 || !IsLetter(expanded[0]) || expanded[1] != u':') return 0;
  return UpperLetter(expanded[0]);
}

bool TakesBrowsedFolder(std::u16string_view path, const DriveFilter& accepted) {
  return path.size() > 3 && IsLetter(path[0]) && path[1] == u':' && accepted(UpperLetter(path[0]));
}

bool NormalizeFolderPath(std::u16string_view typed, std::u16string* normalized) {
  if (typed.size() < 3 || !IsLetter(typed[0]) || typed[1] != u':' || !IsSeparator(typed[2])) return false;
  if (typed.find(u'\0') != std::u16string_view::npos) return false;
  std::vector<std::u16string_view> parts;
  std::u16string_view rest = typed.substr(3);
  while (!rest.empty()) {
    size_t end = 0;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    std::u16string_view part = rest.substr(0, end);
    rest.remove_prefix(end < rest.size() ? end + 1 : end);
    if (part.empty() || part == u".") continue;
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::u16string result = {UpperLetter(typed[0]), u':', u'\\'};
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) result += u'\\';
    result += parts[i];
  }
  *normalized = std::move(result);
  return true;
}

UINT ResolveFolderPath(std::u16string_view typed, const DriveFilter& accepted, std::u16string* resolved) {
  std::u16string path;
  if (!NormalizeFolderPath(typed, &path)) return kMsgNoFolder;
  if (path.size() == 3) return kMsgDriveRoot;
  if (!accepted(path[0])) return kMsgDriveRejected;
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return kMsgNoFolder;
  *resolved = std::move(path);
  return 0;
}

AddOutcome AddLock(const LockChoice& choice, const _LCK_INFORMAION* existing, int count, CVAULTObj& vault,
                   _LCK_INFORMAION* out) {
  _LCK_INFORMAION record;
  std::memset(&record, 0, sizeof record);
  record.type = choice.folder ? LCK_TYPE_FOLDER : LCK_TYPE_DRIVE;
  if (choice.folder) CopyField(record.path, LCK_PATH_UNITS, choice.path);
  record.drive = record.realDrive = vault.GetRealDrive(choice.drive, true);
  record.timeout = choice.timeout;
  record.mode = choice.mode;

  std::u16string full = nb::text::FormatWide(u"%c:%s", record.drive, record.path);
  if (vault.CheckExceptFolder(full.c_str()) == 1) return {false, kMsgExcluded};
  std::vector<_LCK_INFORMAION> locks;
  if (existing && count > 0) locks.assign(existing, existing + count);
  if (vault.CheckUsedFolder(&record, locks.data(), static_cast<int>(locks.size()))) return {false, kMsgUsedFolder};

  DWORD serial = 0;
  vault.GetVolumeSerial(record.drive, &serial);
  if (serial == 0) return {};
  bool registered = false;
  if (!vault.AddDevice(&record, true, &registered)) return {};
  if (!vault.Lock(&record, true)) {
    // Only a registration this attempt made is withdrawn: another lock on the volume may
    // rely on one that was there before.
    if (registered) vault.RemoveDevice(record.drive, serial, true);
    return {};
  }
  record.running = record.timeout == 0 ? 1 : 0;
  record.status = LCK_STATUS_LOCKED;
  record.serial = serial;
  vault.RemoveShotcut(&record);
  *out = record;
  return {true, 0};
}

UINT StatusMessage(const _LCK_INFORMAION& lock) {
  if (lock.status == LCK_STATUS_PAUSED) return kMsgStatusPaused;
  return lock.running ? kMsgStatusRunning : kMsgStatusReady;
}

std::u16string LockName(const _LCK_INFORMAION& lock) {
  if (lock.type == LCK_TYPE_DRIVE) return nb::text::FormatWide(u"%c:\\", lock.realDrive);
  return nb::text::FormatWide(u"%c:%s", lock.realDrive, FieldText(lock.path, LCK_PATH_UNITS).c_str());
}

bool KnownMode(int mode) { return mode == 1 || mode == 4; }

bool ApplyProperties(_LCK_INFORMAION* lock, std::optional<int> mode, int timeout,
                     const std::function<bool(_LCK_INFORMAION*)>& setLock) {
  int oldMode = lock->mode, oldTimeout = lock->timeout;
  if (mode) lock->mode = *mode;
  lock->timeout = timeout;
  if (setLock(lock)) {
    lock->running = timeout == 0 ? 1 : 0;
    return true;
  }
  lock->mode = oldMode;
  lock->timeout = oldTimeout;
  return false;
}

}  // namespace nb::dialogs
