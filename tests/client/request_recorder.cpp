// The request-recording test driver.
#include "request_recorder.h"

#include <algorithm>
#include <cstring>

#include "nb/kernel/object_namespace.h"

namespace client_test {

namespace {

struct RecorderExtension {
  RequestRecorder* recorder;
};

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

RequestRecorder::RequestRecorder() = default;
RequestRecorder::~RequestRecorder() = default;

NTSTATUS RequestRecorder::Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = Dispatch;
  return STATUS_SUCCESS;
}

NTSTATUS RequestRecorder::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  RequestRecorder* self = static_cast<RecorderExtension*>(device->DeviceExtension)->recorder;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    std::vector<uint8_t> input;
    if (buffer) input.assign(buffer, buffer + inputLength);
    std::unique_lock lock(self->mutex_);
    self->requests_.push_back({code, std::move(input), outputLength});
    auto reply = self->replies_.find(code);
    if (reply != self->replies_.end()) {
      ULONG bytes = std::min<ULONG>(outputLength, static_cast<ULONG>(reply->second.output.size()));
      if (bytes) std::memcpy(buffer, reply->second.output.data(), bytes);
      NTSTATUS status = reply->second.status;
      lock.unlock();
      return Complete(irp, status, NT_ERROR(status) ? 0 : bytes);
    }
    if (!self->lower_) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
  if (!self->lower_) return Complete(irp, STATUS_SUCCESS, 0);  // create, cleanup, close
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(self->lower_, irp);
}

NTSTATUS RequestRecorder::Load(nb::testing::Machine& machine) {
  return machine.LoadDriver(u"\\Driver\\RequestRecorder", Entry, &driver_);
}

NTSTATUS RequestRecorder::AttachAbove(nb::testing::Machine& machine, const std::u16string& deviceName) {
  NTSTATUS status = Load(machine);
  if (!NT_SUCCESS(status)) return status;
  auto* target = static_cast<PDEVICE_OBJECT>(
      machine.Kernel().Namespace().Lookup(deviceName, nb::kernel::ObjectKind::kDevice));
  if (!target) return STATUS_OBJECT_NAME_NOT_FOUND;
  status = IoCreateDevice(driver_, sizeof(RecorderExtension), nullptr, target->DeviceType, 0, FALSE, &device_);
  if (!NT_SUCCESS(status)) return status;
  static_cast<RecorderExtension*>(device_->DeviceExtension)->recorder = this;
  lower_ = IoAttachDeviceToDeviceStack(device_, target);
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
  return lower_ ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS RequestRecorder::Serve(nb::testing::Machine& machine, const std::u16string& deviceName,
                                const std::u16string& linkName) {
  NTSTATUS status = Load(machine);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, deviceName.c_str());
  status = IoCreateDevice(driver_, sizeof(RecorderExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_);
  if (!NT_SUCCESS(status)) return status;
  static_cast<RecorderExtension*>(device_->DeviceExtension)->recorder = this;
  device_->Flags &= ~DO_DEVICE_INITIALIZING;
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, linkName.c_str());
  return IoCreateSymbolicLink(&link, &name);
}

void RequestRecorder::Answer(ULONG code, NTSTATUS status, std::vector<uint8_t> output) {
  std::lock_guard lock(mutex_);
  replies_[code] = Reply{status, std::move(output)};
}

void RequestRecorder::AnswerUlong(ULONG code, ULONG value) {
  std::vector<uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  Answer(code, STATUS_SUCCESS, std::move(bytes));
}

std::vector<RecordedRequest> RequestRecorder::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void RequestRecorder::Clear() {
  std::lock_guard lock(mutex_);
  requests_.clear();
}

std::vector<ULONG> RequestRecorder::Codes() const {
  std::lock_guard lock(mutex_);
  std::vector<ULONG> codes;
  for (const auto& request : requests_) codes.push_back(request.code);
  return codes;
}

bool RequestRecorder::Saw(ULONG code) const {
  std::lock_guard lock(mutex_);
  return std::any_of(requests_.begin(), requests_.end(), [code](const auto& r) { return r.code == code; });
}

}  // namespace client_test
