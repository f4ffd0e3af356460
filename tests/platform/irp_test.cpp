// The life of a request through a device stack: stack locations, completion routines
// from the bottom up, pending propagation and attachment.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nb/kernel/io.h"
#include "nb/testing/machine.h"

namespace {

std::vector<std::string> trace;

NTSTATUS BottomDispatch(PDEVICE_OBJECT, PIRP irp) {
  trace.push_back("bottom");
  irp->IoStatus.Status = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ ? STATUS_ACCESS_DENIED
                                                                                         : STATUS_SUCCESS;
  irp->IoStatus.Information = 7;
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS FilterCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  trace.push_back(std::string("completion:") + static_cast<const char*>(context));
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

struct FilterExtension {
  PDEVICE_OBJECT lower;
};

NTSTATUS FilterDispatch(PDEVICE_OBJECT device, PIRP irp) {
  trace.push_back("filter");
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, FilterCompletion, const_cast<char*>("success-only"), TRUE, FALSE, FALSE);
  return IoCallDriver(static_cast<FilterExtension*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS BottomEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = BottomDispatch;
  return STATUS_SUCCESS;
}

NTSTATUS FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = FilterDispatch;
  return STATUS_SUCCESS;
}

TEST(IrpTest, FilterSeesRequestsAndCompletionsOnlyAsAsked) {
  nb::testing::Machine machine;
  PDRIVER_OBJECT bottom;
  PDRIVER_OBJECT filter;
  ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Bottom", BottomEntry, &bottom), STATUS_SUCCESS);
  ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Filter", FilterEntry, &filter), STATUS_SUCCESS);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\Bottom");
  PDEVICE_OBJECT bottomDevice;
  ASSERT_EQ(IoCreateDevice(bottom, 0, &name, FILE_DEVICE_DISK, 0, FALSE, &bottomDevice), STATUS_SUCCESS);
  PDEVICE_OBJECT filterDevice;
  ASSERT_EQ(IoCreateDevice(filter, sizeof(FilterExtension), nullptr, FILE_DEVICE_DISK, 0, FALSE, &filterDevice),
            STATUS_SUCCESS);
  auto* extension = static_cast<FilterExtension*>(filterDevice->DeviceExtension);
  extension->lower = IoAttachDeviceToDeviceStack(filterDevice, bottomDevice);
  ASSERT_EQ(extension->lower, bottomDevice);
  EXPECT_EQ(filterDevice->StackSize, 2);
  EXPECT_EQ(IoGetAttachedDevice(bottomDevice), filterDevice);

  trace.clear();
  PFILE_OBJECT file;
  ASSERT_EQ(nb::kernel::OpenFile(u"\\Device\\Bottom\\a", {}, &file), STATUS_SUCCESS);
  EXPECT_EQ(trace, (std::vector<std::string>{"filter", "bottom", "completion:success-only"}));
  EXPECT_EQ(std::u16string(file->FileName.Buffer, file->FileName.Length / 2), u"\\a");

  trace.clear();
  PIRP irp = nb::kernel::BuildIrp(filterDevice, file, IRP_MJ_READ, 0);
  IO_STATUS_BLOCK status{};
  EXPECT_EQ(nb::kernel::SendAndWait(filterDevice, irp, &status), STATUS_ACCESS_DENIED);
  EXPECT_EQ(status.Information, 7u);
  EXPECT_EQ(trace, (std::vector<std::string>{"filter", "bottom"}));

  nb::kernel::CloseFile(file);
  IoDetachDevice(bottomDevice);
  EXPECT_EQ(IoGetAttachedDevice(bottomDevice), bottomDevice);
}

}  // namespace
