// Control device protocol of the removable-device driver nbdv15: request codes and the
// device record, shared by the driver and its user-mode callers. Include <ntifs.h> or
// <windows.h> first.
#pragma once

#include <cstddef>

#define NBDV_DEVICE_NAME u"\\Device\\nbdvCntl15"
#define NBDV_LINK_NAME u"\\DosDevices\\nbdvCntl15"
#define NBDV_USER_DEVICE_NAME u"\\\\.\\nbdvCntl15"

#define NBDV_DEVICE_TYPE 0x8200
#define NBDV_CTL_CODE(function) CTL_CODE(NBDV_DEVICE_TYPE, (function), METHOD_BUFFERED, FILE_ANY_ACCESS)

inline constexpr ULONG NBDV_ADD_DEVICE = NBDV_CTL_CODE(1);     // input: NBDV_DEVICE
inline constexpr ULONG NBDV_DELETE_DEVICE = NBDV_CTL_CODE(2);  // input: NBDV_DEVICE (by serial)
inline constexpr ULONG NBDV_GET_COUNT = NBDV_CTL_CODE(5);      // output: u32 count
inline constexpr ULONG NBDV_GET_LIST = NBDV_CTL_CODE(6);       // output: NBDV_DEVICE per device
inline constexpr ULONG NBDV_GET_VERSION = NBDV_CTL_CODE(8);    // output: u32 version
inline constexpr ULONG NBDV_OPEN_EVENT = NBDV_CTL_CODE(10);    // input: u32 event handle
inline constexpr ULONG NBDV_CLOSE_EVENT = NBDV_CTL_CODE(11);   // no buffers

// Driver version 1.05.
inline constexpr ULONG NBDV_VERSION = 0x105;

// One removable volume known to the driver.
typedef struct _NBDV_DEVICE {
  ULONG serial;  // volume serial number, never 0
  UCHAR letter;  // drive letter, upper case A..Z
  UCHAR padding[3];
} NBDV_DEVICE, *PNBDV_DEVICE;

static_assert(sizeof(NBDV_DEVICE) == 8);
static_assert(offsetof(NBDV_DEVICE, serial) == 0);
static_assert(offsetof(NBDV_DEVICE, letter) == 4);
static_assert(NBDV_ADD_DEVICE == 0x82000004 && NBDV_DELETE_DEVICE == 0x82000008);
static_assert(NBDV_GET_COUNT == 0x82000014 && NBDV_GET_LIST == 0x82000018 && NBDV_GET_VERSION == 0x82000020);
static_assert(NBDV_OPEN_EVENT == 0x82000028 && NBDV_CLOSE_EVENT == 0x8200002C);
