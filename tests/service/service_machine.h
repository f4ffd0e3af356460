// The service's test machine: an in-process kernel with hostfs drives C: and D: (fixed)
// and E: (removable), the lock store installed in the default folder with the driver
// files beside it, logging switched on, and the service's threads acting as its process.
// The drivers are loaded by the installer the service calls, or up front by the test.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "VAULTSdk.h"
#include "nb/kernel/process.h"
#include "nb/testing/machine.h"
#include "nb/win/in_process.h"
#include "service.h"

namespace service_test {

inline constexpr ULONG kSerialC = 0xC0C0C0C0;
inline constexpr ULONG kSerialD = 0xD0D0D0D0;
inline constexpr ULONG kSerialE = 0xE0E0E0E0;
inline constexpr ULONG kServiceId = 1000;
inline constexpr const char16_t* kLockDb = u"C:\\Windows\\Application Data\\NB\\lock";

class ServiceMachine : public nb::testing::Machine {
 public:
  ServiceMachine();
  ~ServiceMachine();

  NTSTATUS status() const { return status_; }
  std::filesystem::path Folder(char letter) const { return top_ / std::string(1, letter); }
  std::filesystem::path MakeFolder(char letter, const std::string& path);
  std::filesystem::path DefaultFolder() const { return Folder('C') / "Windows" / "Application Data" / "NB"; }

  // Loads a driver ("nbfs36" or "nbdv15") by its entry point, once.
  bool LoadNamedDriver(const std::u16string& name);
  bool Loaded(const std::u16string& name) const;

  // A removable medium with `serial`, backed by the folder of `letter`'s first medium,
  // inserted under `letter` (the drive map follows).
  NTSTATUS InsertMedium(char letter, ULONG serial, const std::filesystem::path& folder);
  NTSTATUS EjectMedium(char letter);

  PEPROCESS ServiceProcess() { return Process("NBSvc.exe", kServiceId); }

  // Every log line written so far, in order.
  std::vector<std::string> LogLines() const;

 private:
  NTSTATUS AddFolderVolume(char letter, nb::kernel::VolumeType type, ULONG serial, const std::filesystem::path& folder);

  std::filesystem::path top_;
  NTSTATUS status_ = STATUS_SUCCESS;
  std::vector<std::u16string> loaded_;
  nb::win::InProcessTransport transport_;
  nb::win::ScopedTransport installed_{transport_};
};

// Loads the drivers into the machine as the service manager would: only when the driver
// file is in place.
class MachineInstaller : public DriverInstaller {
 public:
  explicit MachineInstaller(ServiceMachine& machine) : machine_(machine) {}
  bool InstallAndStart(LPCWSTR name, LPCWSTR file) override;
  int calls = 0;

 private:
  ServiceMachine& machine_;
};

// Starts the service's threads in the service's process; fails the start numbered
// `failAt` (0-based) when set.
class ProcessLauncher : public ThreadLauncher {
 public:
  explicit ProcessLauncher(PEPROCESS process) : process_(process) {}
  std::thread Start(std::function<void()> entry) override;
  int failAt = -1;
  std::atomic<int> started{0};

 private:
  PEPROCESS process_;
  int starts_ = 0;
};

// A test with the machine up and a service object acting as the service's process.
class ServiceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Stores a lock record in the lock database.
  void Store(const _LCK_INFORMAION& lock);
  std::vector<_LCK_INFORMAION> Stored();
  // The driver's locks, read as the service reads them.
  std::vector<_LCK_INFORMAION> DriverLocks();
  bool InDriver(char16_t drive, std::u16string_view path);
  // The start-up steps alone, in the service's process.
  bool Startup();
  // RunService on a worker acting as the service's process, until every notification
  // thread waits; StopService ends it and returns RunService's result.
  void StartService();
  int StopService();
  // Waits (at most 10 s) until `count` log lines contain `text`.
  bool WaitForLog(const std::string& text, size_t count = 1);
  size_t LogCount(const std::string& text) const;
  // Log lines that contain any of `texts`, in order.
  std::vector<std::string> LogOf(const std::vector<std::string>& texts) const;
  // Waits until a thread waits on the named event (opened as System).
  bool WaitUntilWaiting(const char16_t* name);

  ServiceMachine machine;
  MachineInstaller installer{machine};
  ProcessLauncher launcher{machine.ServiceProcess()};
  std::unique_ptr<NBService> service;
  std::thread worker;
  std::atomic<int> runResult{-1};
};

_LCK_INFORMAION FolderLock(char16_t drive, std::u16string_view path, DWORD serial, int status = LCK_STATUS_LOCKED,
                           int mode = 1, int timeout = 0);

}  // namespace service_test
