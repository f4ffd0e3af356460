// AddDevice, RemoveDevice, RemoveDeviceEx and AddedDeviceList: volumes other than the
// system drive made known to the removable-device driver by serial and letter.
#include <vector>

#include "LogFile.h"
#include "NBUtil.h"
#include "device_list.h"
#include "nbclient.h"

namespace {

// The registration calls log through the daily log of module "NBUtil".
template <typename... Values>
void Log(const char16_t* format, Values... values) {
  LogFile(u"NBUtil", u"NB", LOG_PERIOD_DAY).Write(format, values...);
}

WCHAR LetterOf(const _DEVICE_INFO& device) { return static_cast<WCHAR>(device.devLetter & 0xFF); }

}  // namespace

bool AddDevice(int letter, int* error) {
  int ignored;
  if (!error) error = &ignored;
  *error = 0;
  _DEVICE_INFO device;
  if (!nbutil::FillDeviceRecord(letter, &device, error)) return false;
  if (!nbutil::NeedsRegistration(device)) return true;

  std::vector<NBDV_DEVICE> devices;
  int listed = nbutil::ReadDeviceList(&devices);
  if (listed != 0) {
    *error = listed;  // counts as not registered; the registration below says more
  } else if (nbutil::HasSerial(devices, device.devSerial)) {
    // Registered for someone else already: the caller must not undo a registration it
    // did not make.
    *error = ERROR_ALREADY_EXISTS;
    return true;
  }
  Log(u"NBDV_AddDevice(%c: %x)", LetterOf(device), device.devSerial);
  int result = NBDV_AddDevice(LetterOf(device), device.devSerial);
  *error = result;
  return result == 0;
}

bool RemoveDevice(int letter, int* error) {
  int ignored;
  if (!error) error = &ignored;
  *error = 0;
  _DEVICE_INFO device;
  if (!nbutil::FillDeviceRecord(letter, &device, error)) return false;
  if (!nbutil::NeedsRegistration(device)) return true;
  return RemoveDeviceEx(&device, error);
}

bool RemoveDeviceEx(const _DEVICE_INFO* device, int* error) {
  int ignored;
  if (!error) error = &ignored;
  *error = 0;
  if (!device) {
    *error = NBDV_ERROR_INVALID;
    return false;
  }
  if (!nbutil::NeedsRegistration(*device)) return true;
  Log(u"NBDV_DeleteDevice(%c: %x)", LetterOf(*device), device->devSerial);
  int result = NBDV_DeleteDevice(LetterOf(*device), device->devSerial);
  *error = result;
  return result == 0;
}

bool AddedDeviceList(_DRIVESERIAL* out, int* error) {
  int ignored;
  if (!error) error = &ignored;
  *error = 0;
  if (!out) {
    *error = NBDV_ERROR_INVALID;
    return false;
  }
  out->count = 0;
  std::vector<NBDV_DEVICE> devices;
  int result = nbutil::ReadDeviceList(&devices);
  if (result != 0) {
    *error = result;
    return false;
  }
  if (!nbutil::CopyDeviceList(devices, out)) {
    *error = ERROR_MORE_DATA;
    return false;
  }
  return true;
}
