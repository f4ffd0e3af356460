// The removable-device driver's list and the device record.
#include "device_list.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "nbclient.h"

namespace nbutil {

namespace {

WCHAR Upper(WCHAR c) { return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - 0x20) : c; }

bool IsSystemDrive(WCHAR letter) {
  WCHAR systemDrive[8] = {};
  DWORD length = GetEnvironmentVariableW(u"SystemDrive", systemDrive, 8);
  return length > 0 && length < 8 && Upper(systemDrive[0]) == Upper(letter);
}

}  // namespace

int ReadDeviceList(std::vector<NBDV_DEVICE>* devices) {
  devices->clear();
  int result = 0;
  for (int attempt = 0; attempt < kDeviceReadAttempts; ++attempt) {
    ULONG count = 0;
    result = NBDV_GetDeviceCount(&count);
    if (result != 0) return result;
    if (count == 0) return 0;
    try {
      devices->assign(count, NBDV_DEVICE{});
    } catch (const std::bad_alloc&) {
      devices->clear();
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    result = NBDV_GetDeviceInformation(devices->data(), static_cast<ULONG>(count * sizeof(NBDV_DEVICE)));
    if (result == 0) return 0;
    // A device added since the count makes the buffer too small; the last one removed
    // leaves none: count again.
    devices->clear();
    if (result == NBDV_ERROR_NO_DEVICE) return 0;
    if (result != NBDV_ERROR_INVALID) return result;
  }
  return result;
}

bool HasSerial(const std::vector<NBDV_DEVICE>& devices, ULONG serial) {
  return std::any_of(devices.begin(), devices.end(), [serial](const NBDV_DEVICE& d) { return d.serial == serial; });
}

bool CopyDeviceList(const std::vector<NBDV_DEVICE>& devices, _DRIVESERIAL* out) {
  size_t copied = std::min(devices.size(), DRIVESERIAL_SLOTS);
  for (size_t i = 0; i < copied; ++i) {
    out->letter[i] = devices[i].letter;
    out->volumeSerial[i] = devices[i].serial;
  }
  out->count = static_cast<INT>(copied);
  return copied == devices.size();
}

bool FillDeviceRecord(int letter, _DEVICE_INFO* record, int* error) {
  std::memset(record, 0, sizeof *record);
  record->devLetter = letter;
  WCHAR drive = static_cast<WCHAR>(letter & 0xFF);
  WCHAR root[] = {drive, u':', u'\\', 0};
  record->devType = static_cast<INT>(GetDriveTypeW(root));
  if (record->devType == DRIVE_REMOTE) return true;
  record->isSystem = IsSystemDrive(drive) ? 1 : 0;
  WCHAR volumeRoot[] = {u'\\', u'\\', u'.', u'\\', drive, u':', u'\\', 0};
  DWORD serial = 0;
  if (!GetVolumeInformationW(volumeRoot, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) {
    *error = static_cast<int>(GetLastError());
    return false;
  }
  record->devSerial = serial;
  return true;
}

}  // namespace nbutil
