// The service's start-up: presence mutex, notification events, both drivers loaded, the
// default folder locked, the own process trusted, and the stored locks applied on the
// volumes that now carry their serials.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <windows.h>

#include "LogFile.h"
#include "NBUtil.h"
#include "nb/text.h"
#include "service.h"

namespace {

template <size_t units>
void Put(WCHAR (&field)[units], const std::u16string& text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text.data(), std::min(text.size(), units - 1) * sizeof(WCHAR));
}

}  // namespace

NBService::NBService(DriverInstaller& installer, ThreadLauncher& launcher)
    : installer_(installer), launcher_(launcher) {
  std::memset(events_, 0, sizeof events_);
  std::memset(drivers_, 0, sizeof drivers_);
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

NBService::~NBService() {
  for (NotifyEventSlot& slot : events_) {
    if (slot.handle) CloseHandle(slot.handle);
  }
  if (stop_) CloseHandle(stop_);
  if (mutex_) CloseHandle(mutex_);
}

int NBService::RunService() {
  LogMessage(u"%d:Starting Run service ....", 0);
  vault_.GetLockDbPath();
  _LCK_PROC_INFORMATION process{};
  int step = 1;
  if (!ServiceStartup(&process, &step)) {
    LogMessage(u"Service start-up failure !!!");
    return 0;
  }
  bool started = StartThreads(&step);
  vault_.ProcGlobalRemove(&process, false);
  return started ? 1 : 0;
}

bool NBService::ServiceStartup(_LCK_PROC_INFORMATION* process, int* step) {
  LogMessage(u"%d:Check Mutex ....", (*step)++);
  if (!CheckLock()) {
    LogMessage(u"Check Mutex(errno=%d) Creating Mutex ...", static_cast<int>(GetLastError()));
    if (!CreateLock(&mutex_)) {
      LogMessage(u"Cannot lock service !!!");
      return false;
    }
  }

  LogMessage(u"%d:Create Driver Event ...", (*step)++);
  if (!CreateNotifyEvents()) return false;

  LogMessage(u"%d:Loading Driver ...", (*step)++);
  if (!LoadDrivers()) {
    if (mutex_) CloseHandle(mutex_);
    mutex_ = nullptr;
    return false;
  }

  LogMessage(u"%d:get information default folder ", (*step)++);
  vault_.GetDefaultLockFolder();

  LogMessage(u"%d:get lock folder information from kernel", (*step)++);
  vault_.driverLocks.clear();
  if (!LoadKernelLocks(vault_)) return false;

  LogMessage(u"%d:check default folder", (*step)++);
  // The default folder is known by its drive and path.
  _LCK_INFORMAION defaultLock{};
  defaultLock.drive = vault_.defaultFolder[0];
  if (vault_.defaultFolder[0] != u'\0' && vault_.defaultFolder[1] != u'\0') {
    Put(defaultLock.path, std::u16string(vault_.defaultFolder + 2));
  }
  bool found = false;
  for (const _LCK_INFORMAION& lock : vault_.driverLocks) {
    if ((lock.drive | 0x20) == (defaultLock.drive | 0x20) && LockCMP(&lock, &defaultLock)) found = true;
  }
  const size_t kernelCount = vault_.driverLocks.size();
  vault_.driverLocks.clear();
  if (!found) {
    LogMessage(u"Default Folder Locking .. ");
    if (!LockDefaultFolder()) {
      LogMessage(u"Default Folder Locking failure !!!.. ");
      return false;
    }
  }
  LogMessage(u"Default Folder Locked.. ");

  LogMessage(u"%d:Register Process", (*step)++);
  if (!RegisterServiceProcess(process, vault_, NBSVC_MODULE)) {
    LogMessage(u"Register Process failure !!!");
    return false;
  }

  // Locks besides the default folder: the driver stayed loaded while the service restarted.
  if (kernelCount > 1) return true;

  LogMessage(u"%d:Get DB Information", (*step)++);
  if (!LoadStoredLocks(vault_)) {
    LogMessage(u"Get DB Information failure !!! stored locks come with the next device event");
    return true;
  }
  if (vault_.storedLocks.empty()) return true;

  LogMessage(u"%d:Locking folders", (*step)++);
  LockStoredFolders();
  vault_.storedLocks.clear();
  return true;
}

void NBService::LockStoredFolders() {
  vault_.GetDriveSerial();
  for (const _LCK_INFORMAION& stored : vault_.storedLocks) {
    _LCK_INFORMAION lock = stored;
    WCHAR drive = vault_.SerialToDrive(lock.serial);
    if (drive == 0) continue;  // the medium is not inserted
    if (drive != lock.drive) {
      lock.drive = drive;
      CMdb(vault_.lockDbPath, false).UpdateLock(&lock);
    }
    bool registered = false;
    if (!vault_.AddDevice(&lock, false, &registered)) {
      LogMessage(u"Add device failure(%c:%s)", lock.drive, lock.path);
      continue;
    }
    if (!vault_.Lock(&lock, 0)) {
      LogMessage(u"Locking folder failure(%c:%s)", lock.drive, lock.path);
      // Only a registration made here is withdrawn: other locks on the volume may need it.
      if (registered) vault_.RemoveDevice(&lock, false);
      continue;
    }
    if (lock.status == LCK_STATUS_PAUSED) {
      lock.status = LCK_STATUS_LOCKED;
      CMdb(vault_.lockDbPath, false).UpdateLock(&lock);
    }
    LogMessage(u"Locking folder(%c:%s)", lock.drive, lock.path);
  }
}

void NBService::BuildDriverTable() {
  WCHAR folder[DEFAULT_FOLDER_UNITS] = {};
  GetDefaultLockFolder(folder);
  struct Row {
    const char16_t* name;
    const char16_t* device;
    const char16_t* file;
    int major;
    int minor;
  };
  static constexpr Row kRows[DRIVER_SLOTS] = {
      {u"nbfs%d%d", u"nbfscntl%d%d", u"%s\\nbfs%d%d.sys", 3, 6},
      {u"nbdv%d%d", u"nbdvCntl%d%d", u"%s\\nbdv%d%d.sys", 1, 5},
  };
  for (size_t row = 0; row < DRIVER_SLOTS; ++row) {
    Put(drivers_[row].name, nb::text::FormatWide(kRows[row].name, kRows[row].major, kRows[row].minor));
    Put(drivers_[row].device, nb::text::FormatWide(kRows[row].device, kRows[row].major, kRows[row].minor));
    Put(drivers_[row].file, nb::text::FormatWide(kRows[row].file, folder, kRows[row].major, kRows[row].minor));
  }
}

bool NBService::DeviceOpens(LPCWSTR device) {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  GetVersionExW(&version);
  std::u16string name = nb::text::FormatWide((version.dwMajorVersion & 1) ? u"\\\\.\\Global\\%s" : u"\\\\.\\%s", device);
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return false;
  CloseHandle(handle);
  return true;
}

bool NBService::LoadDrivers() {
  BuildDriverTable();
  for (size_t row = 0; row < DRIVER_SLOTS; ++row) {
    const DriverSlot& driver = drivers_[row];
    bool present = false;
    for (int attempt = 0; attempt < DRIVER_LOAD_ATTEMPTS && !present; ++attempt) {
      LogMessage(u"[%d]Driver device(%s) Checking .....(%d)", static_cast<int>(row), driver.device, attempt);
      if (DeviceOpens(driver.device)) {
        present = true;
        break;
      }
      LogMessage(u"[%d]Driver(%s) Loading .....(%d)", static_cast<int>(row), driver.name, attempt);
      installer_.InstallAndStart(driver.name, driver.file);
      std::this_thread::sleep_for(std::chrono::milliseconds(DRIVER_LOAD_PAUSE_MS));
    }
    if (!present) {
      LogMessage(u"Driver(%s) Load failure !!!", driver.name);
      return false;
    }
  }
  return true;
}
