// Texts of the lock list: strings of the language module and the columns of a row.
#include <array>

#include "console_ids.h"
#include "lock_list.h"
#include "nb/text.h"

namespace nb::console {

StringLoader ModuleStrings(HINSTANCE module) {
  return [module](UINT id) {
    std::array<WCHAR, 1024> buffer{};
    int length = LoadStringW(module, id, buffer.data(), static_cast<int>(buffer.size()));
    return length > 0 ? std::u16string(buffer.data(), static_cast<size_t>(length)) : std::u16string();
  };
}

namespace {

// A fixed field's text up to its NUL (or its end).
std::u16string FieldText(const WCHAR* field, size_t units) {
  size_t length = 0;
  while (length < units && field[length]) ++length;
  return std::u16string(field, length);
}

std::u16string Load(const StringLoader& strings, UINT id) { return strings ? strings(id) : std::u16string(); }

}  // namespace

std::u16string ColumnText(const _LCK_INFORMAION& lock, int column, const StringLoader& strings) {
  WCHAR letter = lock.realDrive ? lock.realDrive : lock.drive;
  switch (column) {
    case kColName:
      if (lock.type == LCK_TYPE_DRIVE) return nb::text::FormatWide(u"%c:", letter);
      return nb::text::FormatWide(u"%c:%s", letter, FieldText(lock.path, LCK_PATH_UNITS).c_str());
    case kColType:
      return Load(strings, lock.type == LCK_TYPE_DRIVE ? kStrDrive : kStrFolder);
    case kColMode:
      return Load(strings, lock.mode == 1 ? kStrHidden : lock.mode == 4 ? kStrReadOnly : kStrUnknown);
    case kColTimeout:
      return nb::text::FormatWide(u"%d", lock.timeout);
    case kColStatus:
      if (lock.status == LCK_STATUS_PAUSED) return Load(strings, kStrPause);
      if (lock.status == LCK_STATUS_LOCKED) return Load(strings, lock.running ? kStrRunning : kStrReady);
      return Load(strings, kStrNotStart);
    default:
      return {};
  }
}

const char* OutcomeText(Outcome outcome) {
  switch (outcome) {
    case Outcome::kDone: return "done";
    case Outcome::kCancelled: return "cancelled";
    case Outcome::kNoSuchRow: return "no such lock in the list";
    case Outcome::kNotApplicable: return "the command does not apply to this lock in its state";
    case Outcome::kNotFolder: return "not a folder below a drive root";
    case Outcome::kBadDrive: return "the drive cannot be locked or the lock's volume is not present";
    case Outcome::kExcluded: return "a protected system folder cannot be locked";
    case Outcome::kUsedFolder: return "the folder is locked already, or lies inside or around a locked one";
    case Outcome::kDeviceFailed: return "the removable-device registration failed";
    case Outcome::kDriverFailed: return "the filter driver refused the operation";
    case Outcome::kStoreFailed: return "the lock database could not be written; nothing was changed";
    case Outcome::kStoreFailedDriverChanged:
      return "the lock database could not be written and the driver could not be put back";
  }
  return "unknown";
}

}  // namespace nb::console
