// Opening the control devices and sending requests.
#include "control_device.h"

#include "nbclient.h"
#include "nbdvctl.h"
#include "nbfsctl.h"
#include "print.h"

namespace nbclient {

ControlDevice::ControlDevice(const char16_t* path)
    : handle_(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                          nullptr)) {}

ControlDevice::~ControlDevice() {
  if (IsOpen()) CloseHandle(handle_);
}

bool ControlDevice::Control(ULONG code, void* input, ULONG inputLength, void* output, ULONG outputLength) {
  DWORD returned = 0;
  return DeviceIoControl(handle_, code, input, inputLength, output, outputLength, &returned, nullptr) != FALSE;
}

void PrintRequestFailure(const CallTexts& texts) { Print(u"%s: %s\n", texts.name, texts.requestFailure); }

bool OpenNbfs(ControlDevice& device, const CallTexts& texts) {
  if (device.IsOpen()) return true;
  Print(u"cannot open %s\n", NBFS_USER_DEVICE_NAME);
  Print(u"%s: %s\n", texts.name, texts.openFailure);
  return false;
}

int NbfsRequest(const CallTexts& texts, ULONG code, void* input, ULONG inputLength, void* output,
                ULONG outputLength) {
  ControlDevice device(NBFS_USER_DEVICE_NAME);
  if (!OpenNbfs(device, texts)) return NB_ERROR_OPEN_DEVICE;
  if (!device.Control(code, input, inputLength, output, outputLength)) {
    PrintRequestFailure(texts);
    return NB_ERROR_IOCTL;
  }
  return NB_SUCCESS;
}

int NbdvRequest(const CallTexts& texts, ULONG code, void* input, ULONG inputLength, void* output,
                ULONG outputLength) {
  ControlDevice device(NBDV_USER_DEVICE_NAME);
  if (!device.IsOpen()) {
    Print(u"%s: %s\n", texts.name, texts.openFailure);
    return NBDV_ERROR_OPEN_DEVICE;
  }
  if (!device.Control(code, input, inputLength, output, outputLength)) {
    PrintRequestFailure(texts);
    return NBDV_ERROR_IOCTL;
  }
  return NB_SUCCESS;
}

}  // namespace nbclient
