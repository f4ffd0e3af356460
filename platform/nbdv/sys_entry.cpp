// The exported entry point of the loadable nbdv15 image.
#include "nbdv.h"

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                                                       PUNICODE_STRING registryPath) {
  return nbdvDriverEntry(driverObject, registryPath);
}
