// Loading driver images with the dynamic linker.
#include "nb/kernel/driver_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include "nb/kernel/kernel.h"

namespace nb::kernel {

namespace {

std::u16string ServiceKeyOf(const std::u16string& driverName) {
  size_t slash = driverName.rfind(u'\\');
  std::u16string service = slash == std::u16string::npos ? driverName : driverName.substr(slash + 1);
  return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
}

}  // namespace

NTSTATUS LoadDriverImage(Kernel& kernel, const std::u16string& driverName, const std::string& imagePath,
                         PDRIVER_OBJECT* driver) {
  *driver = nullptr;
  struct stat st {};
  if (stat(imagePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return STATUS_OBJECT_NAME_NOT_FOUND;
  void* image = dlopen(imagePath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!image) return STATUS_INVALID_IMAGE_FORMAT;
  // One driver object per image, as each image keeps its driver's state in its globals.
  if (!kernel.AddImage(image)) {
    dlclose(image);  // drops the count this call added
    return STATUS_IMAGE_ALREADY_LOADED;
  }
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "DriverEntry"));
  NTSTATUS status = entry ? kernel.LoadDriver(driverName, entry, driver, ServiceKeyOf(driverName))
                          : STATUS_ENTRYPOINT_NOT_FOUND;
  if (!NT_SUCCESS(status)) {
    ReleaseDriverImage(kernel, image);
    return status;
  }
  (*driver)->DriverSection = image;
  return status;
}

void ReleaseDriverImage(Kernel& kernel, void* image) {
  kernel.RemoveImage(image);
  dlclose(image);
}

}  // namespace nb::kernel
