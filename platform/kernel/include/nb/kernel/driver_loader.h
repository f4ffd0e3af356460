// The driver loader: a kernel driver's image is an ELF shared object that exports
// DriverEntry. Its undefined kernel routines resolve against the loading program, which
// links the kernel whole and exports its symbols.
#pragma once

#include <string>

#include <ntifs.h>

namespace nb::kernel {

class Kernel;

// Loads the image at `imagePath` and runs its DriverEntry for a new driver object named
// `driverName` ("\Driver\nbfs36"), with the service's registry path. The image stays
// loaded until the driver is unloaded (Kernel::UnloadDriver). Fails with
// STATUS_OBJECT_NAME_NOT_FOUND for a missing file, STATUS_INVALID_IMAGE_FORMAT for a
// file that cannot be loaded, STATUS_ENTRYPOINT_NOT_FOUND without DriverEntry,
// STATUS_IMAGE_ALREADY_LOADED for an image a loaded driver (of any kernel in the
// process) runs from, or DriverEntry's
// own failure.
[[nodiscard]] NTSTATUS LoadDriverImage(Kernel& kernel, const std::u16string& driverName, const std::string& imagePath,
                                       PDRIVER_OBJECT* driver);

// Closes an image opened by LoadDriverImage once its driver object is gone.
void ReleaseDriverImage(Kernel& kernel, void* image);

}  // namespace nb::kernel
