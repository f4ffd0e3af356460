// The list of removable volumes the driver knows, by serial number and drive letter.
// Plain operations without locks; the caller holds the list lock (nbdv.h).
#pragma once

#include <ntifs.h>

#include "nbdvctl.h"

inline constexpr ULONG NBDV_MAX_DEVICES = 64;

struct DeviceTable {
  ULONG count;
  NBDV_DEVICE devices[NBDV_MAX_DEVICES];  // the first `count` are in use, in order of addition
};

// The upper-case form of a drive letter; false when it is not in A..Z.
bool NormalizeDeviceLetter(UCHAR letter, UCHAR* upper);

// Adds a device, or gives a known serial its new letter. `*changed` says whether the
// list is different afterwards. STATUS_INVALID_PARAMETER for a bad letter or serial 0,
// STATUS_INSUFFICIENT_RESOURCES when the list is full.
[[nodiscard]] NTSTATUS AddDevice(DeviceTable& table, UCHAR letter, ULONG serial, bool* changed);
// Removes the device with this serial (the letter plays no part: a volume may have moved).
// STATUS_INVALID_PARAMETER for serial 0, STATUS_NO_SUCH_DEVICE when it is not listed.
[[nodiscard]] NTSTATUS DeleteDevice(DeviceTable& table, ULONG serial);
// Writes one record per device; STATUS_BUFFER_TOO_SMALL when `length` cannot hold them all.
[[nodiscard]] NTSTATUS ListDevices(const DeviceTable& table, void* buffer, ULONG length, ULONG* written);
