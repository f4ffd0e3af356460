// The exported entry point of the loadable driver image.
#include "driver.h"

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                                                       PUNICODE_STRING registryPath) {
  return nbfsDriverEntry(driverObject, registryPath);
}
