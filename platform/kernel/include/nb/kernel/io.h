// The I/O manager's originator side: opening files and devices by object name and
// sending them requests, as the system services behind NtCreateFile and
// NtDeviceIoControlFile do.
#pragma once

#include <string_view>

#include <ntifs.h>

namespace nb::kernel {

// Completion handshake between IoCompleteRequest and the thread that sent the request.
struct IrpWaiter;

struct OpenParameters {
  ACCESS_MASK desiredAccess = SYNCHRONIZE;
  ULONG shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
  ULONG disposition = 1;  // FILE_OPEN
  ULONG options = 0;
  ULONG fileAttributes = 0;
  PFILE_OBJECT related = nullptr;  // a name relative to this open file
  UCHAR flags = 0;                 // stack location flags such as SL_OPEN_TARGET_DIRECTORY
};

// Opens `name` (an object path such as "\Device\X" or "\DosDevices\C:\dir\file", or a
// path relative to `related`) with IRP_MJ_CREATE to the top of the device's stack.
[[nodiscard]] NTSTATUS OpenFile(std::u16string_view name, const OpenParameters& parameters, PFILE_OBJECT* file,
                                ULONG_PTR* information = nullptr);
// IRP_MJ_CLEANUP then IRP_MJ_CLOSE, then frees the file object.
void CloseFile(PFILE_OBJECT file);
// METHOD_BUFFERED device control: one system buffer for input and output; the output
// is copied back unless the request failed. `returned` gets the reported byte count.
[[nodiscard]] NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void* input, ULONG inputLength,
                                     void* output, ULONG outputLength, ULONG* returned);

// Builds a request of `stackSize` locations whose first location targets `file`.
PIRP BuildIrp(PDEVICE_OBJECT target, PFILE_OBJECT file, UCHAR majorFunction, UCHAR minorFunction);
// One METHOD_BUFFERED round trip of a request built by BuildIrp: the input is copied into
// a system buffer large enough for the output too, and the output copied back unless the
// request failed. `returned` gets the reported byte count.
[[nodiscard]] NTSTATUS SendBuffered(PDEVICE_OBJECT target, PIRP irp, const void* input, ULONG inputLength,
                                    void* output, ULONG outputLength, ULONG* returned);
// Sends a request built by BuildIrp, waits for its completion and frees it.
[[nodiscard]] NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, IO_STATUS_BLOCK* ioStatus);
// A counted reference on a device, dropped at the end of the holder's scope.
class DeviceReference {
 public:
  explicit DeviceReference(PDEVICE_OBJECT referenced) : device_(referenced) {}
  ~DeviceReference();
  DeviceReference(DeviceReference&& other) noexcept : device_(other.device_) { other.device_ = nullptr; }
  DeviceReference(const DeviceReference&) = delete;
  DeviceReference& operator=(const DeviceReference&) = delete;
  DeviceReference& operator=(DeviceReference&&) = delete;
  PDEVICE_OBJECT get() const { return device_; }
  // Only a held reference gives its device: a temporary's would be gone at once.
  operator PDEVICE_OBJECT() const& { return device_; }
  operator PDEVICE_OBJECT() const&& = delete;

 private:
  PDEVICE_OBJECT device_;
};

// Whether a file system has the VPB's volume mounted, read under the VPB lock.
bool VpbMounted(PVPB vpb);

// The device at the top of the stack that serves requests on `file`, referenced.
DeviceReference TargetOf(PFILE_OBJECT file);

}  // namespace nb::kernel
