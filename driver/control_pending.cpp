// Requests whose areas the driver does not serve yet: refused as unknown requests.
#include "control_request.h"
#include "driver.h"

#define NBFS_NOT_YET(name)                                      \
  NTSTATUS name(const ControlRequest&, ULONG_PTR* information) { \
    *information = 0;                                           \
    return STATUS_INVALID_DEVICE_REQUEST;                       \
  }

NBFS_NOT_YET(ControlCreateEvent)
NBFS_NOT_YET(ControlOpenEvent)
NBFS_NOT_YET(ControlCloseEvent)
NBFS_NOT_YET(ControlRegisterFs)
NBFS_NOT_YET(ControlGetCacheCount)
NBFS_NOT_YET(ControlAddProc)
NBFS_NOT_YET(ControlDelProc)
NBFS_NOT_YET(ControlGetProcCount)
NBFS_NOT_YET(ControlGetProcInfo)
NBFS_NOT_YET(ControlAddGlobalProc)
NBFS_NOT_YET(ControlDelGlobalProc)
NBFS_NOT_YET(ControlGetGlobalProcCount)
NBFS_NOT_YET(ControlGetGlobalProcInfo)

// No event can be registered yet, so there is nobody to wake.
void PulseDeviceNotify() {}
