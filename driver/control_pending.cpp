// Requests whose areas the driver does not serve yet: refused as unknown requests.
#include "control_request.h"
#include "driver.h"

#define NBFS_NOT_YET(name)                                      \
  NTSTATUS name(const ControlRequest&, ULONG_PTR* information) { \
    *information = 0;                                           \
    return STATUS_INVALID_DEVICE_REQUEST;                       \
  }

NBFS_NOT_YET(ControlRegisterFs)
