// Calls of the removable-device driver nbdv.
#include <cstdint>

#include "arguments.h"
#include "control_device.h"
#include "nbclient.h"
#include "nbdvctl.h"
#include "print.h"

using namespace nbclient;

namespace {

// Checks of the add and delete calls; fills the device record.
bool MakeDevice(WCHAR letter, ULONG serial, const char16_t* invalidDrive, const char16_t* invalidSerial,
                NBDV_DEVICE* device) {
  if (!IsValidDrive(letter)) {
    Print(invalidDrive, letter);
    return false;
  }
  if (serial == 0) {
    Print(invalidSerial, serial);
    return false;
  }
  *device = NBDV_DEVICE{};
  device->serial = serial;
  device->letter = static_cast<UCHAR>(UpperDrive(letter));
  return true;
}

}  // namespace

int NBDV_AddDevice(WCHAR letter, ULONG serial) {
  NBDV_DEVICE device;
  if (!MakeDevice(letter, serial, u"NBDV_AddDevice: invalid Drive(%c)\n", u"NBDV_AddDevice: invalid Serial Number 0x%x\n",
                  &device)) {
    return NBDV_ERROR_INVALID;
  }
  return NbdvRequest({u"NBDV_AddDevice", kCannotOpenNbdvDevice}, NBDV_ADD_DEVICE, &device, sizeof device);
}

int NBDV_DeleteDevice(WCHAR letter, ULONG serial) {
  NBDV_DEVICE device;
  if (!MakeDevice(letter, serial, u"NBDV_DeleteDevice: invalid Drive(%c)\n",
                  u"NBDV_DeleteDevice: invalid Serial Number 0x%x\n", &device)) {
    return NBDV_ERROR_INVALID;
  }
  return NbdvRequest({u"NBDV_DeleteDevice", u"cannot open NBDV_DEVICE"}, NBDV_DELETE_DEVICE, &device,
                     sizeof device);
}

int NBDV_GetDeviceCount(ULONG* count) {
  if (!count) {
    Print(u"NBDV_GetDeviceCount: invalid parameter\n");
    return NBDV_ERROR_INVALID;
  }
  return NbdvRequest({u"NBDV_GetDeviceCount", kCannotOpenNbdvDevice}, NBDV_GET_COUNT, count, sizeof(ULONG), count,
                     sizeof(ULONG));
}

int NBDV_GetDeviceInformation(void* buffer, ULONG size) {
  ULONG count = 0;
  if (int counted = NBDV_GetDeviceCount(&count)) {
    Print(u"NBDV_GetDeviceInformation: cannot get device count\n");
    return counted;
  }
  if (count == 0) {
    Print(u"NBDV_GetDeviceInformation: no device\n");
    return NBDV_ERROR_NO_DEVICE;
  }
  if (uint64_t{size} < uint64_t{count} * sizeof(NBDV_DEVICE)) {
    Print(u"NBDV_GetDeviceInformation: Buffer too small\n");
    return NBDV_ERROR_INVALID;
  }
  return NbdvRequest({u"NBDV_GetDeviceInformation", kCannotOpenNbdvDevice}, NBDV_GET_LIST, buffer, size, buffer,
                     size);
}

int NBDV_GetVersion(ULONG* version) {
  return NbdvRequest({u"NBDV_GetVersion", kCannotOpenNbdvDevice}, NBDV_GET_VERSION, version, sizeof(ULONG), version,
                     sizeof(ULONG));
}

int NBDV_OpenEvent(HANDLE event) {
  ULONG handle = HandleValue(event);
  return NbdvRequest({u"NBDV_OpenEvent", kCannotOpenNbdvDevice}, NBDV_OPEN_EVENT, &handle, sizeof handle);
}

int NBDV_CloseEvent() {
  return NbdvRequest({u"NBDV_CloseEvent", kCannotOpenNbdvDevice}, NBDV_CLOSE_EVENT, nullptr, 0);
}
