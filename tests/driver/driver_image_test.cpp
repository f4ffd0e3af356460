// The load sequence: nbfs36.sys loaded from its file, and the failures that end a load
// with nothing left behind.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "nbfs_volumes.h"

namespace nbfs_test {
namespace {

using nb::kernel::VolumeType;

NTSTATUS NoRequests(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}
NTSTATUS OtherDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = NoRequests;
  return STATUS_SUCCESS;
}

TEST(DriverImageTest, LoadingTheImageCreatesTheControlDeviceAndSeesMounts) {
  VolumesMachine machine;
  ASSERT_EQ(machine.LoadHostFs(), STATUS_SUCCESS);
  PDRIVER_OBJECT image;
  ASSERT_EQ(machine.LoadDriverImage(u"\\Driver\\nbfs36", NBFS36_IMAGE, &image), STATUS_SUCCESS);
  PDEVICE_OBJECT control = machine.Device(NBFS_DEVICE_NAME);
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(control->DriverObject, image);
  EXPECT_NE(image->DriverSection, nullptr);
  EXPECT_EQ(nbfs, nullptr) << "the image keeps its globals to itself";
  ULONG version = 0;
  ASSERT_EQ(machine.DeviceControl(NBFS_LINK_NAME, GET_VERSION, nullptr, 0, &version, sizeof version),
            STATUS_SUCCESS);
  EXPECT_EQ(version, NBFS_VERSION);
  ASSERT_EQ(VolumesMachine::Above(machine.Device(u"\\Fat")).size(), 1u);
  EXPECT_EQ(machine.Device(u"\\Fat")->AttachedDevice->DriverObject, image);

  // The service's events, and a removable volume mounted through the filter on "\Fat".
  PEPROCESS service = machine.Process("NBSvc.exe", 1000);
  HANDLE events[2];
  {
    nb::kernel::ProcessScope scope(service);
    for (HANDLE& event : events)
      ASSERT_EQ(nb::kernel::NtCreateEvent(&event, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE), STATUS_SUCCESS);
  }
  ULONG handles[2] = {Wire(events[0]), Wire(events[1])};
  ASSERT_EQ(machine.DeviceControl(NBFS_LINK_NAME, OPEN_EVENT, handles, sizeof handles, nullptr, 0, nullptr, service),
            STATUS_SUCCESS);
  {
    PulseCounter devicePulses(service, events[0]);
    ASSERT_EQ(machine.AddFolderVolume('F', VolumeType::kRemovable), STATUS_SUCCESS);
    EXPECT_EQ(devicePulses.Settle(), 1);
    NBFS_ENTRY entry = Entry('F');
    EXPECT_EQ(machine.DeviceControl(NBFS_LINK_NAME, ADD_SERVICE, &entry, sizeof entry, nullptr, 0), STATUS_SUCCESS);
    ASSERT_EQ(machine.RemoveVolume('F'), STATUS_SUCCESS);
    EXPECT_EQ(devicePulses.Settle(), 2);
  }
  machine.UnloadDriver(image);
  EXPECT_EQ(machine.Device(NBFS_DEVICE_NAME), nullptr);
  EXPECT_EQ(machine.Device(u"\\Fat")->AttachedDevice, nullptr);
  // Unloading released the image: it loads again.
  ASSERT_EQ(machine.LoadDriverImage(u"\\Driver\\nbfs36", NBFS36_IMAGE, &image), STATUS_SUCCESS);
}

TEST(DriverImageTest, TheSameImageRunsOneDriverAtATime) {
  VolumesMachine machine;
  ASSERT_EQ(machine.LoadDriverImage(u"\\Driver\\nbfs36", NBFS36_IMAGE), STATUS_SUCCESS);
  EXPECT_EQ(machine.LoadDriverImage(u"\\Driver\\nbfs36b", NBFS36_IMAGE), STATUS_IMAGE_ALREADY_LOADED);
}

// What a failed load must leave: no control device, no link, no filter, no pool, and no
// notification routine (a file system registered afterwards gets no filter).
void ExpectNothingLeft(VolumesMachine& machine, size_t outstanding) {
  EXPECT_EQ(machine.Kernel().Namespace().LinkTarget(NBFS_LINK_NAME), std::nullopt);
  for (const char16_t* name : {u"\\Ntfs", u"\\Fat"}) EXPECT_EQ(machine.Device(name)->AttachedDevice, nullptr);
  EXPECT_EQ(machine.Kernel().Pool().Outstanding(), outstanding);
  PDRIVER_OBJECT other;
  ASSERT_EQ(machine.LoadDriver(u"\\FileSystem\\Late", OtherDriverEntry, &other), STATUS_SUCCESS);
  PDEVICE_OBJECT late;
  ASSERT_EQ(IoCreateDevice(other, 0, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &late), STATUS_SUCCESS);
  IoRegisterFileSystem(late);
  EXPECT_EQ(late->AttachedDevice, nullptr);
  IoUnregisterFileSystem(late);
  machine.UnloadDriver(other);
}

TEST(DriverLoadTest, TakenNamesEndTheLoadWithTheirStatus) {
  for (bool linkTaken : {false, true}) {
    VolumesMachine machine;
    ASSERT_EQ(machine.LoadHostFs(), STATUS_SUCCESS);
    PDRIVER_OBJECT other;
    ASSERT_EQ(machine.LoadDriver(u"\\Driver\\Other", OtherDriverEntry, &other), STATUS_SUCCESS);
    UNICODE_STRING name;
    UNICODE_STRING target;
    RtlInitUnicodeString(&name, linkTaken ? NBFS_LINK_NAME : NBFS_DEVICE_NAME);
    RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
    PDEVICE_OBJECT squatter = nullptr;
    if (linkTaken) {
      ASSERT_EQ(IoCreateSymbolicLink(&name, &target), STATUS_SUCCESS);
    } else {
      ASSERT_EQ(IoCreateDevice(other, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &squatter), STATUS_SUCCESS);
    }
    size_t outstanding = machine.Kernel().Pool().Outstanding();
    EXPECT_EQ(machine.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry), STATUS_OBJECT_NAME_COLLISION);
    if (linkTaken) {
      EXPECT_EQ(machine.Device(NBFS_DEVICE_NAME), nullptr) << "the control device is deleted again";
      ASSERT_EQ(IoDeleteSymbolicLink(&name), STATUS_SUCCESS);
    } else {
      EXPECT_EQ(machine.Device(NBFS_DEVICE_NAME), squatter);
    }
    ExpectNothingLeft(machine, outstanding);
    EXPECT_EQ(nbfs, nullptr);
  }
}

TEST(DriverLoadTest, EveryAllocationFailureEndsTheLoadWithNothingLeft) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  long failAfter = 0;
  for (; !NT_SUCCESS(status) && failAfter < 100; ++failAfter) {
    VolumesMachine machine;
    ASSERT_EQ(machine.LoadHostFs(), STATUS_SUCCESS);
    size_t outstanding = machine.Kernel().Pool().Outstanding();
    machine.Kernel().Pool().FailAfter(failAfter);
    status = machine.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry);
    machine.Kernel().Pool().FailAfter(-1);
    if (NT_SUCCESS(status)) break;
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << failAfter;
    EXPECT_EQ(machine.Device(NBFS_DEVICE_NAME), nullptr) << failAfter;
    ExpectNothingLeft(machine, outstanding);
  }
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_GT(failAfter, 3) << "the globals, the fast I/O table, the log and the registration each failed once";
}

}  // namespace
}  // namespace nbfs_test
