// Notification events and the file-system registration.
#include <cstring>

#include "arguments.h"
#include "control_device.h"
#include "nbclient.h"
#include "print.h"

using namespace nbclient;

int NB_OpenEvent(HANDLE deviceEvent, HANDLE timerEvent) {
  ULONG handles[2] = {HandleValue(deviceEvent), HandleValue(timerEvent)};
  return NbfsRequest({u"NB_OpenEvent", kCannotOpenNbDevice, u"OPEN EVENT ioctl failed"}, OPEN_EVENT, handles,
                     sizeof handles);
}

int NB_CloseEvent() {
  return NbfsRequest({u"NB_CloseEvent", kCannotOpenNbDevice, u"CLOSE EVENT ioctl failed"}, CLOSE_EVENT, nullptr, 0);
}

int NB_CreateEvent(const WCHAR* name) {
  if (!name || PathUnits(name) > kMaxEventNameUnits) {
    Print(u"NB_CreateEvent: invalid parameter\n");
    return NB_ERROR_INVALID;
  }
  WCHAR buffer[kEventNameBytes / sizeof(WCHAR)] = {};
  std::memcpy(buffer, name, PathUnits(name) * sizeof(WCHAR));
  return NbfsRequest({u"NB_CreateEvent", kCannotOpenNbDevice, u"CREATE EVENT ioctl failed"}, CREATE_EVENT, buffer,
                     sizeof buffer);
}

int NB_RegisterFs() {
  return NbfsRequest({u"NB_RegisterFs", kCannotOpenNbDevice, u"REGFS ioctl failed"}, REGFS, nullptr, 0);
}
