// The removable-device driver's list and the device record, as the registration calls
// use them.
#pragma once

#include <cstddef>
#include <vector>

#include <windows.h>

#include "NBUtil.h"
#include "nbdvctl.h"

namespace nbutil {

// How often a list that changed between its count and its read is read again.
inline constexpr int kDeviceReadAttempts = 3;

// Reads every registered device: 0, or the device driver's code (none registered is an
// empty list, not a failure).
int ReadDeviceList(std::vector<NBDV_DEVICE>* devices);

bool HasSerial(const std::vector<NBDV_DEVICE>& devices, ULONG serial);

// Copies the devices, in order, into `out`; false when more than its 26 slots were
// listed (the first 26 are copied).
bool CopyDeviceList(const std::vector<NBDV_DEVICE>& devices, _DRIVESERIAL* out);

// Fills a cleared record for drive `letter`: its type, and unless it is a remote drive,
// whether it is the system drive and its volume serial. False with the system error in
// `*error` when the volume cannot be asked.
bool FillDeviceRecord(int letter, _DEVICE_INFO* record, int* error);

// The system drive and remote drives are never registered.
inline bool NeedsRegistration(const _DEVICE_INFO& record) {
  return record.isSystem != 1 && record.devType != DRIVE_REMOTE;
}

}  // namespace nbutil
