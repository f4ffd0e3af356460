// Device list operations.
#include "device_list.h"

namespace {

NBDV_DEVICE* FindSerial(DeviceTable& table, ULONG serial) {
  for (ULONG i = 0; i < table.count; ++i) {
    if (table.devices[i].serial == serial) return &table.devices[i];
  }
  return nullptr;
}

}  // namespace

bool NormalizeDeviceLetter(UCHAR letter, UCHAR* upper) {
  if (letter >= 'a' && letter <= 'z') letter = static_cast<UCHAR>(letter - 'a' + 'A');
  if (letter < 'A' || letter > 'Z') return false;
  *upper = letter;
  return true;
}

NTSTATUS AddDevice(DeviceTable& table, UCHAR letter, ULONG serial, bool* changed) {
  *changed = false;
  UCHAR upper;
  if (!NormalizeDeviceLetter(letter, &upper) || serial == 0) return STATUS_INVALID_PARAMETER;
  if (NBDV_DEVICE* known = FindSerial(table, serial)) {
    *changed = known->letter != upper;
    known->letter = upper;
    return STATUS_SUCCESS;
  }
  if (table.count >= NBDV_MAX_DEVICES) return STATUS_INSUFFICIENT_RESOURCES;
  NBDV_DEVICE& device = table.devices[table.count++];
  RtlZeroMemory(&device, sizeof device);
  device.serial = serial;
  device.letter = upper;
  *changed = true;
  return STATUS_SUCCESS;
}

NTSTATUS DeleteDevice(DeviceTable& table, ULONG serial) {
  if (serial == 0) return STATUS_INVALID_PARAMETER;
  NBDV_DEVICE* device = FindSerial(table, serial);
  if (!device) return STATUS_NO_SUCH_DEVICE;
  NBDV_DEVICE* end = table.devices + table.count;
  RtlMoveMemory(device, device + 1, static_cast<size_t>(end - (device + 1)) * sizeof(NBDV_DEVICE));
  --table.count;
  RtlZeroMemory(&table.devices[table.count], sizeof(NBDV_DEVICE));
  return STATUS_SUCCESS;
}

NTSTATUS ListDevices(const DeviceTable& table, void* buffer, ULONG length, ULONG* written) {
  *written = 0;
  ULONG bytes = table.count * static_cast<ULONG>(sizeof(NBDV_DEVICE));
  if (length < bytes) return STATUS_BUFFER_TOO_SMALL;
  if (bytes) RtlCopyMemory(buffer, table.devices, bytes);
  *written = bytes;
  return STATUS_SUCCESS;
}
