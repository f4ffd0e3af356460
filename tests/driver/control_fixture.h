// A fixture over the driver test machine with drives C: and D:, and the control requests,
// table lookups and waits that the idle-timer, event and trust suites share.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver.h"
#include "nb/kernel/events.h"
#include "nb/kernel/process.h"
#include "nb/resource_guard.h"
#include "nbfs_machine.h"
#include "nbfsctl.h"

// Waits until a thread blocks on the event, failing the test (not hanging it) when none
// does within ten seconds.
inline void WaitForWaiter(PKEVENT event) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (nb::kernel::WaitingThreads(event) == 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no thread waits on the event";
    std::this_thread::yield();
  }
}

// A service thread blocked on a notification event, counting the pulses it is released by.
class PulseCounter {
 public:
  PulseCounter(PEPROCESS process, HANDLE handle) : process_(process), handle_(handle) {
    nb::kernel::ProcessScope scope(process);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, 0, *ExEventObjectType, UserMode, &object, nullptr), STATUS_SUCCESS);
    event_ = static_cast<PKEVENT>(object);
    thread_ = std::thread([this] {
      nb::kernel::ProcessScope waiting(process_);
      while (nb::kernel::NtWaitForSingleObject(handle_, nullptr) == STATUS_WAIT_0 && !stop_) ++pulses_;
    });
    // A pulse sent before the thread waits would be lost.
    WaitForWaiter(event_);
  }
  ~PulseCounter() {
    Settle();
    stop_ = true;
    KeSetEvent(event_, 0, FALSE);
    thread_.join();
    KeClearEvent(event_);
    ObDereferenceObject(event_);
  }
  // Waits until the thread blocks on the event again (a pulse unblocks it at once, so
  // after a tick this is when it has counted) and returns the pulses seen.
  int Settle() {
    WaitForWaiter(event_);
    return pulses_;
  }

 private:
  PEPROCESS process_;
  HANDLE handle_;
  PKEVENT event_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<int> pulses_{0};
  std::thread thread_;
};

class NbfsControlTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(machine.loadStatus, STATUS_SUCCESS); }

  NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output = nullptr, ULONG outputLength = 0,
                   ULONG* returned = nullptr, PEPROCESS as = nullptr) {
    return machine.DeviceControl(NBFS_DEVICE_NAME, code, input, inputLength, output, outputLength, returned, as);
  }

  static NBFS_ENTRY EntryRecord(char letter, std::u16string_view path = u"", ULONG timeout = 0, ULONG type = 0) {
    NBFS_ENTRY record{};
    record.timeout = timeout;
    record.type = type;
    record.letter = static_cast<UCHAR>(letter);
    path.copy(reinterpret_cast<char16_t*>(record.path), NBFS_PATH_UNITS - 1);
    return record;
  }

  static NBFS_PROC ProcRecord(char letter, std::u16string_view path, ULONG permission, ULONG id,
                              std::string_view name) {
    NBFS_PROC record{};
    record.letter = static_cast<UCHAR>(letter);
    path.copy(reinterpret_cast<char16_t*>(record.path), NBFS_PATH_UNITS - 1);
    record.permission = permission;
    record.pid = id;
    name.copy(record.name, NBFS_PROC_NAME_BYTES - 1);
    return record;
  }

  NTSTATUS Send(ULONG code, const NBFS_ENTRY& record) { return Control(code, &record, sizeof record); }
  NTSTATUS Send(ULONG code, const NBFS_PROC& record) { return Control(code, &record, sizeof record); }

  NTSTATUS AddService(char letter, ULONG timeout = 0, ULONG type = 0) {
    return Send(ADD_SERVICE, EntryRecord(letter, u"", timeout, type));
  }
  NTSTATUS AddEntry(char letter, std::u16string_view path, ULONG timeout, ULONG type) {
    return Send(ADD_ENTRY, EntryRecord(letter, path, timeout, type));
  }

  // The lock flags GET_ENTRY_INFO_IN_DRIVE reports for an entry; ~0 when not listed.
  ULONG EntryFlags(char letter, std::u16string_view path) {
    NBFS_ENTRY records[8];
    UCHAR driveLetter = static_cast<UCHAR>(letter);
    if (!NT_SUCCESS(Control(GET_ENTRY_INFO_IN_DRIVE, &driveLetter, 1, records, sizeof records))) return ~0u;
    for (const NBFS_ENTRY& record : records) {
      if (std::u16string_view(reinterpret_cast<const char16_t*>(record.path)) == path) return record.type;
    }
    return ~0u;
  }
  // The drive-wide flags GET_DRIVE_INFO reports; ~0 when the drive is not listed.
  ULONG DriveFlags(char letter) {
    NBFS_DRIVE drives[4] = {};
    if (!NT_SUCCESS(Control(GET_DRIVE_INFO, nullptr, 0, drives, sizeof drives))) return ~0u;
    for (const NBFS_DRIVE& drive : drives) {
      if (drive.letter == static_cast<UCHAR>(letter)) return drive.flags;
    }
    return ~0u;
  }

  // The table's own records, for what the access checks will do on each access (the
  // tests run nothing that tears a volume down meanwhile).
  VolumeRecord* Volume(char letter) { return FindVolume(Volumes(), static_cast<UCHAR>(letter)).get(); }
  LockEntry* Entry(char letter, std::u16string_view path) {
    VolumeRecord* volume = Volume(letter);
    nb::SharedLock guard(volume->lock);
    return FindEntry(volume, reinterpret_cast<const WCHAR*>(path.data()),
                     static_cast<ULONG>(path.size() * sizeof(WCHAR)));
  }

  void StartLog() { ASSERT_EQ(machine.StartLog(kLogRecords), STATUS_SUCCESS); }
  // The messages logged since StartLog, oldest first, without their time and caller prefix.
  std::vector<std::string> LogMessages() { return machine.ReadLogMessages(); }

  static constexpr ULONG kLogRecords = 64;
  nbfs_test::NbfsMachine machine{'C', 'D'};
};
