// The volume policy notice: callbacks registered for a volume hear a notice raised from
// any device of its stack, and unregistration waits for a call under way.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "nb/kernel/io.h"
#include "nb/testing/machine.h"

namespace {

NTSTATUS NoDispatch(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

struct Heard {
  std::atomic<int> calls{0};
  PDEVICE_OBJECT volume = nullptr;
};

VOID Count(PDEVICE_OBJECT volume, PVOID context) {
  auto* heard = static_cast<Heard*>(context);
  heard->volume = volume;
  ++heard->calls;
}

class VolumePolicyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(machine_.LoadDriver(u"\\Driver\\Stack", NoDispatch, &driver_), STATUS_SUCCESS);
    volume_ = NewDevice();
    filter_ = NewDevice();
    ASSERT_EQ(IoAttachDeviceToDeviceStack(filter_, volume_), volume_);
    other_ = NewDevice();
  }
  void TearDown() override {
    IoDeleteDevice(volume_);  // detaches the filter
    IoDeleteDevice(filter_);
    IoDeleteDevice(other_);
  }
  PDEVICE_OBJECT NewDevice() {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
  }

  nb::testing::Machine machine_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT volume_ = nullptr;
  PDEVICE_OBJECT filter_ = nullptr;
  PDEVICE_OBJECT other_ = nullptr;
};

TEST_F(VolumePolicyTest, ANoticeFromAnyDeviceOfTheStackReachesTheVolumesCallbacksOnly) {
  Heard byTop, byBase, elsewhere;
  PVOID top, base, unrelated;
  // Registered through the top of the stack or its base: both mean the volume.
  ASSERT_EQ(IoRegisterVolumePolicyCallback(filter_, Count, &byTop, &top), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterVolumePolicyCallback(volume_, Count, &byBase, &base), STATUS_SUCCESS);
  ASSERT_EQ(IoRegisterVolumePolicyCallback(other_, Count, &elsewhere, &unrelated), STATUS_SUCCESS);

  IoNotifyVolumePolicyChange(filter_);  // a filter notifies from its own device
  EXPECT_EQ(byTop.calls, 1);
  EXPECT_EQ(byBase.calls, 1);
  EXPECT_EQ(byTop.volume, volume_) << "the callback is told the volume, not the notifier's device";
  EXPECT_EQ(elsewhere.calls, 0);
  IoNotifyVolumePolicyChange(volume_);
  EXPECT_EQ(byTop.calls, 2);

  IoUnregisterVolumePolicyCallback(top);
  IoNotifyVolumePolicyChange(filter_);
  EXPECT_EQ(byTop.calls, 2) << "an unregistered callback is not called again";
  EXPECT_EQ(byBase.calls, 3);
  IoUnregisterVolumePolicyCallback(base);
  IoUnregisterVolumePolicyCallback(unrelated);
  IoUnregisterVolumePolicyCallback(unrelated);  // unknown now: nothing happens

  PVOID none = &none;
  EXPECT_EQ(IoRegisterVolumePolicyCallback(volume_, nullptr, nullptr, &none), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(none, nullptr);
}

// The registrant frees its context once unregistration returns: a notice under way must
// have left the callback by then.
struct Slow {
  std::mutex mutex;
  std::condition_variable changed;
  bool inside = false;
  bool release = false;
  std::atomic<bool> freed{false};
  std::atomic<bool> usedAfterFree{false};
};

VOID WaitInside(PDEVICE_OBJECT, PVOID context) {
  auto* slow = static_cast<Slow*>(context);
  std::unique_lock lock(slow->mutex);
  slow->inside = true;
  slow->changed.notify_all();
  slow->changed.wait(lock, [&] { return slow->release; });
  lock.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // still using the context
  if (slow->freed) slow->usedAfterFree = true;
}

TEST_F(VolumePolicyTest, UnregisteringWaitsForTheCallbackUnderWay) {
  Slow slow;
  PVOID registration;
  ASSERT_EQ(IoRegisterVolumePolicyCallback(volume_, WaitInside, &slow, &registration), STATUS_SUCCESS);
  std::thread notifier([&] { IoNotifyVolumePolicyChange(filter_); });
  {
    std::unique_lock lock(slow.mutex);
    slow.changed.wait(lock, [&] { return slow.inside; });
  }
  std::atomic<bool> unregistered{false};
  std::thread unregistering([&] {
    IoUnregisterVolumePolicyCallback(registration);
    unregistered = true;
    slow.freed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(unregistered) << "returned while the callback was running";
  {
    std::lock_guard lock(slow.mutex);
    slow.release = true;
  }
  slow.changed.notify_all();
  notifier.join();
  unregistering.join();
  EXPECT_TRUE(unregistered);
  EXPECT_FALSE(slow.usedAfterFree);
}

TEST_F(VolumePolicyTest, ACallbackMayRaiseAnotherNoticeOrRegister) {
  // The notice's own lock is not held during calls: a callback that notifies a volume or
  // registers does not deadlock.
  struct Nested {
    PDEVICE_OBJECT other;
    Heard heard;
    PVOID registration = nullptr;
  } nested{other_, {}, nullptr};
  PVOID outer;
  ASSERT_EQ(IoRegisterVolumePolicyCallback(
                volume_,
                [](PDEVICE_OBJECT, PVOID context) {
                  auto* n = static_cast<Nested*>(context);
                  if (!n->registration)
                    (void)IoRegisterVolumePolicyCallback(n->other, Count, &n->heard, &n->registration);
                  IoNotifyVolumePolicyChange(n->other);
                },
                &nested, &outer),
            STATUS_SUCCESS);
  IoNotifyVolumePolicyChange(volume_);
  EXPECT_EQ(nested.heard.calls, 1);
  IoUnregisterVolumePolicyCallback(outer);
  IoUnregisterVolumePolicyCallback(nested.registration);
}

}  // namespace
