// Plug and Play notifications: drivers learn of device interfaces (volumes among them)
// arriving and going away.
#pragma once

#include "guiddef.h"
#include "nb/basetypes.h"
#include "nt/io.h"
#include "nt/rtl.h"

typedef enum _IO_NOTIFICATION_EVENT_CATEGORY {
  EventCategoryReserved = 0,
  EventCategoryHardwareProfileChange = 1,
  EventCategoryDeviceInterfaceChange = 2,
  EventCategoryTargetDeviceChange = 3,
} IO_NOTIFICATION_EVENT_CATEGORY;

// Also report the interfaces that are enabled when the routine is registered.
#define PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES 0x00000001

typedef NTSTATUS (*PDRIVER_NOTIFICATION_CALLBACK_ROUTINE)(PVOID notificationStructure, PVOID context);

// What a device-interface routine receives: Event is GUID_DEVICE_INTERFACE_ARRIVAL or
// GUID_DEVICE_INTERFACE_REMOVAL; SymbolicLinkName names the interface instance.
typedef struct _DEVICE_INTERFACE_CHANGE_NOTIFICATION {
  USHORT Version;
  USHORT Size;
  GUID Event;
  GUID InterfaceClassGuid;
  PUNICODE_STRING SymbolicLinkName;
} DEVICE_INTERFACE_CHANGE_NOTIFICATION, *PDEVICE_INTERFACE_CHANGE_NOTIFICATION;

extern const GUID GUID_DEVICE_INTERFACE_ARRIVAL;
extern const GUID GUID_DEVICE_INTERFACE_REMOVAL;
// The interface class of mounted volumes.
extern const GUID GUID_DEVINTERFACE_VOLUME;

// Only EventCategoryDeviceInterfaceChange is offered; eventCategoryData points at the
// interface class GUID. Routines run in the System process in the thread that enabled or
// disabled the interface.
NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY eventCategory, ULONG eventCategoryFlags,
                                        PVOID eventCategoryData, PDRIVER_OBJECT driverObject,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callbackRoutine, PVOID context,
                                        PVOID* notificationEntry);
// When it returns the routine is not running and will not run again.
NTSTATUS IoUnregisterPlugPlayNotification(PVOID notificationEntry);
