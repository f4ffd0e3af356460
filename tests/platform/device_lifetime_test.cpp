// Device objects are counted: a deleted device stays while requests are inside its driver
// or somebody holds a reference, takes no new attachment, and goes with the last reference.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "nb/kernel/io.h"
#include "nb/kernel/object_references.h"
#include "nb/testing/machine.h"

namespace {

struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool released = false;
};
Gate* gate = nullptr;

struct Extension {
  int requests;
};

// Device control waits at the gate, then writes to the device's extension.
NTSTATUS GatedDispatch(PDEVICE_OBJECT device, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
    std::unique_lock lock(gate->mutex);
    gate->entered = true;
    gate->changed.notify_all();
    gate->changed.wait(lock, [] { return gate->released; });
  }
  ++static_cast<Extension*>(device->DeviceExtension)->requests;
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS GatedEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = GatedDispatch;
  return STATUS_SUCCESS;
}

class DeviceLifetimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gate = &gate_;
    ASSERT_EQ(machine_.LoadDriver(u"\\Driver\\Gated", GatedEntry, &driver_), STATUS_SUCCESS);
  }
  void TearDown() override { gate = nullptr; }

  PDEVICE_OBJECT NewDevice(const char16_t* name = nullptr) {
    UNICODE_STRING deviceName;
    if (name) RtlInitUnicodeString(&deviceName, name);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(Extension), name ? &deviceName : nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &device),
              STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
  }
  bool Alive(PDEVICE_OBJECT device) { return machine_.Kernel().References().Tracked(device); }

  Gate gate_;
  nb::testing::Machine machine_;
  PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(DeviceLifetimeTest, ADeviceDeletedDuringARequestStaysUntilTheRequestEnds) {
  PDEVICE_OBJECT device = NewDevice(u"\\Device\\Gated");
  std::thread request([&] {
    (void)machine_.DeviceControl(u"\\Device\\Gated", 0x220000, nullptr, 0, nullptr, 0);
  });
  {
    std::unique_lock lock(gate_.mutex);
    gate_.changed.wait(lock, [&] { return gate_.entered; });
  }
  IoDeleteDevice(device);
  EXPECT_TRUE(Alive(device)) << "the request inside the driver still holds the device";
  // The name went at once: nobody opens the device again.
  PFILE_OBJECT file;
  nb::kernel::OpenParameters parameters;
  EXPECT_EQ(nb::kernel::OpenFile(u"\\Device\\Gated", parameters, &file), STATUS_OBJECT_NAME_NOT_FOUND);
  {
    std::lock_guard lock(gate_.mutex);
    gate_.released = true;
  }
  gate_.changed.notify_all();
  request.join();  // the dispatch wrote to the extension after the deletion
  EXPECT_FALSE(Alive(device)) << "the last reference freed it";
}

TEST_F(DeviceLifetimeTest, AReferenceKeepsADeletedDeviceAndRefusesAttachments) {
  PDEVICE_OBJECT device = NewDevice();
  ObReferenceObject(device);
  IoDeleteDevice(device);
  ASSERT_TRUE(Alive(device));
  EXPECT_TRUE(device->DeletePending);
  PDEVICE_OBJECT filter = NewDevice();
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, device), nullptr);
  EXPECT_EQ(filter->AttachedTo, nullptr);
  ObDereferenceObject(device);
  EXPECT_FALSE(Alive(device));
  IoDeleteDevice(filter);
}

TEST_F(DeviceLifetimeTest, AttachedAndLookedUpDevicesAreReferenced) {
  PDEVICE_OBJECT bottom = NewDevice();
  PDEVICE_OBJECT filter = NewDevice();
  ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, bottom), bottom);

  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(bottom);
  EXPECT_EQ(top, filter);
  PDEVICE_OBJECT lower = IoGetLowerDeviceObject(filter);
  EXPECT_EQ(lower, bottom);
  EXPECT_EQ(IoGetLowerDeviceObject(bottom), nullptr);

  // Deleting the bottom detaches the filter; both stay while referenced.
  IoDeleteDevice(bottom);
  EXPECT_EQ(filter->AttachedTo, nullptr);
  EXPECT_TRUE(Alive(bottom));
  ObDereferenceObject(lower);
  EXPECT_FALSE(Alive(bottom));
  IoDeleteDevice(filter);
  EXPECT_TRUE(Alive(filter));
  ObDereferenceObject(top);
  EXPECT_FALSE(Alive(filter));
}

}  // namespace
