// A driver for transport tests: "\Device\Probe" (DOS name "Probe") completes every request
// with success and records its major function and the process it ran in. Requests come
// from the server's threads, so the record is locked.
#pragma once

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

#include <ntifs.h>

namespace nb::testing {

class ProbeRecord {
 public:
  struct Request {
    UCHAR major;
    ULONG processId;
    bool operator==(const Request&) const = default;
  };

  void Add(Request request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
  }
  std::vector<Request> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  size_t Count(UCHAR major, ULONG processId) const {
    std::lock_guard lock(mutex_);
    return std::count(requests_.begin(), requests_.end(), Request{major, processId});
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    requests_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Request> requests_;
};

inline ProbeRecord probeRecord;

inline NTSTATUS ProbeDispatch(PDEVICE_OBJECT, PIRP irp) {
  probeRecord.Add({IoGetCurrentIrpStackLocation(irp)->MajorFunction,
                   static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(PsGetCurrentProcessId()))});
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

inline NTSTATUS ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = ProbeDispatch;
  UNICODE_STRING name;
  UNICODE_STRING link;
  RtlInitUnicodeString(&name, u"\\Device\\Probe");
  RtlInitUnicodeString(&link, u"\\DosDevices\\Probe");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return IoCreateSymbolicLink(&link, &name);
}

}  // namespace nb::testing
