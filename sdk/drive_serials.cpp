// CVAULTObj volume serials: GetDriveSerial, GetVolumeSerial, DriveToSerial,
// SerialToDrive, FindDriveSerial, GetRealDrive.
#include <algorithm>
#include <cstring>

#include <windows.h>
#include <mountmgr.h>

#include "VAULTSdk.h"
#include "mount_points.h"

namespace {

constexpr DWORD kDeviceNameUnits = 512;
constexpr DWORD kAnswerBytes = 2048;

WCHAR Upper(WCHAR c) { return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - u'a' + u'A') : c; }

// The valid slots of a table, never more than it has.
size_t Slots(const _DRIVESERIAL& table) {
  return table.count <= 0 ? 0 : std::min(static_cast<size_t>(table.count), DRIVESERIAL_SLOTS);
}

}  // namespace

void CVAULTObj::GetDriveSerial() {
  std::memset(&driveSerial, 0, sizeof driveSerial);
  DWORD present = GetLogicalDrives();
  for (WCHAR letter = u'C'; letter <= u'Z'; ++letter) {
    if (!(present & (1u << (letter - u'A')))) continue;
    WCHAR root[] = {letter, u':', u'\\', 0};
    UINT type = GetDriveTypeW(root);
    if (type == DRIVE_UNKNOWN || type == DRIVE_NO_ROOT_DIR || type == DRIVE_REMOTE) continue;
    DWORD serial = 0;
    GetVolumeSerial(letter, &serial);
    if (serial == 0) continue;
    size_t slot = static_cast<size_t>(driveSerial.count++);
    driveSerial.letter[slot] = letter;
    driveSerial.volumeSerial[slot] = serial;
  }
}

void CVAULTObj::GetVolumeSerial(WCHAR drive, DWORD* serial) {
  if (!serial) return;
  *serial = 0;
  WCHAR root[] = {drive, u':', u'\\', 0};
  if (!GetVolumeInformationW(root, nullptr, 0, serial, nullptr, nullptr, nullptr, 0)) *serial = 0;
}

DWORD CVAULTObj::DriveToSerial(WCHAR drive) {
  for (size_t i = 0; i < Slots(driveSerial); ++i) {
    if (Upper(driveSerial.letter[i]) == Upper(drive)) return driveSerial.volumeSerial[i];
  }
  return 0;
}

WCHAR CVAULTObj::SerialToDrive(DWORD serial) {
  for (size_t i = 0; i < Slots(driveSerial); ++i) {
    if (driveSerial.volumeSerial[i] == serial) return driveSerial.letter[i];
  }
  return 0;
}

bool CVAULTObj::FindDriveSerial(DWORD serial, _DRIVESERIAL* table) {
  if (!table) return false;
  for (size_t i = 0; i < Slots(*table); ++i) {
    if (table->volumeSerial[i] == serial) return true;
  }
  return false;
}

WCHAR CVAULTObj::GetRealDrive(WCHAR drive, bool /*show*/) {
  WCHAR name[] = {drive, u':', 0};
  WCHAR device[kDeviceNameUnits] = {};
  if (!QueryDosDeviceW(name, device, kDeviceNameUnits)) return drive;
  device[kDeviceNameUnits - 1] = 0;
  HANDLE manager = CreateFileW(MOUNTMGR_DOS_DEVICE_NAME, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (manager == INVALID_HANDLE_VALUE) return drive;
  std::vector<uint8_t> query = vault::MountPointQuery(device);
  alignas(8) uint8_t answer[kAnswerBytes] = {};
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(manager, IOCTL_MOUNTMGR_QUERY_POINTS, query.data(), static_cast<DWORD>(query.size()),
                            answer, sizeof answer, &returned, nullptr);
  CloseHandle(manager);
  // Only a complete answer is read, and only as far as it reaches.
  if (!ok) return drive;
  return vault::DriveLetterOfMountPoints(answer, std::min<DWORD>(returned, sizeof answer)).value_or(drive);
}
