// Object names and volume information through the in-process transport.
#include "nb/kernel/file_requests.h"
#include "nb/kernel/kernel.h"
#include "nb/kernel/object_namespace.h"
#include "nb/win/in_process.h"

namespace nb::win {

NTSTATUS InProcessTransport::QuerySymbolicLink(const std::u16string& linkName, std::u16string* target) {
  kernel::Kernel* kernel = kernel::Kernel::Current();
  if (!kernel) return STATUS_NO_SUCH_DEVICE;
  std::optional<std::u16string> found = kernel->Namespace().LinkTarget(linkName);
  if (!found) return STATUS_OBJECT_NAME_NOT_FOUND;
  *target = std::move(*found);
  return STATUS_SUCCESS;
}

NTSTATUS InProcessTransport::ListDirectory(const std::u16string& directory, std::vector<std::u16string>* names) {
  kernel::Kernel* kernel = kernel::Kernel::Current();
  if (!kernel) return STATUS_NO_SUCH_DEVICE;
  *names = kernel->Namespace().List(directory);
  return STATUS_SUCCESS;
}

NTSTATUS InProcessTransport::QueryVolumeInformation(TransportObject object, ULONG informationClass, void* buffer,
                                                    ULONG length, ULONG* returned) {
  *returned = 0;
  if (IsKernelHandleObject(object) || IsRegistryKeyObject(object)) return STATUS_INVALID_HANDLE;
  return kernel::QueryVolumeInformation(reinterpret_cast<PFILE_OBJECT>(static_cast<uintptr_t>(object)),
                                        static_cast<FS_INFORMATION_CLASS>(informationClass), buffer, length,
                                        returned);
}

}  // namespace nb::win
