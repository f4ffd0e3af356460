// The three notification events and the threads that wait on them.
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <windows.h>

#include "LogFile.h"
#include "nb/text.h"
#include "nb/win/transport.h"
#include "nbclient.h"
#include "service.h"

namespace {

struct EventRow {
  const char16_t* format;
  int major;
  int minor;
  int kind;
};

constexpr EventRow kEventRows[NOTIFY_EVENT_SLOTS] = {
    {u"Global\\NbfsDeviceNotifyEvent%d%d", 3, 6, NOTIFY_KIND_DEVICE},
    {u"Global\\NbdvDeviceNotifyEvent%d%d", 1, 5, NOTIFY_KIND_REMOVABLE},
    {u"Global\\NbfsTimerNotifyEvent%d%d", 3, 6, NOTIFY_KIND_TIMER},
};

void Pause(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace

std::thread ThreadLauncher::Start(std::function<void()> entry) {
  try {
    // The thread acts on the machine as this one does.
    nb::win::Transport* transport = nb::win::CurrentTransport();
    return std::thread(transport ? transport->BindThread(std::move(entry)) : std::move(entry));
  } catch (const std::system_error&) {
    return std::thread();
  }
}

bool NBService::CreateNotifyEvents() {
  for (size_t row = 0; row < NOTIFY_EVENT_SLOTS; ++row) {
    NotifyEventSlot& slot = events_[row];
    std::u16string name = nb::text::FormatWide(kEventRows[row].format, kEventRows[row].major, kEventRows[row].minor);
    std::memset(slot.name, 0, sizeof slot.name);
    std::memcpy(slot.name, name.data(), std::min(name.size(), NOTIFY_NAME_UNITS - 1) * sizeof(WCHAR));
    slot.kind = kEventRows[row].kind;
    if (slot.handle) CloseHandle(slot.handle);
    SetLastError(ERROR_SUCCESS);
    slot.handle = CreateEventW(nullptr, TRUE, FALSE, slot.name);
    if (GetLastError() == ERROR_SUCCESS && slot.handle) continue;
    // It existed already (or could not be made): open it by name instead.
    if (slot.handle) CloseHandle(slot.handle);
    slot.handle = OpenEventW(SYNCHRONIZE, FALSE, slot.name);
    if (!slot.handle) {
      LogMessage(u"Event(%s) failure err=%d\n", slot.name, static_cast<int>(GetLastError()));
      return false;
    }
  }
  return true;
}

bool NBService::StartThreads(int* step) {
  std::vector<std::thread> threads;
  bool started = true;
  for (size_t row = 0; row < NOTIFY_EVENT_SLOTS; ++row) {
    LogMessage(u"%d:Thread starting(%s)", (*step)++, events_[row].name);
    std::thread thread = launcher_.Start([this, row] { ThreadEntry(row); });
    if (!thread.joinable()) {
      LogMessage(u"Thread(%s) failure !!!", events_[row].name);
      started = false;
      // The started threads end before the device-handling lock goes.
      StopThreads();
      break;
    }
    threads.push_back(std::move(thread));
  }
  for (std::thread& thread : threads) thread.join();
  return started;
}

void NBService::StopThreads() {
  if (stop_) SetEvent(stop_);
}

void NBService::ThreadEntry(size_t row) {
  NotifyEventSlot& slot = events_[row];
  switch (slot.kind) {
    case NOTIFY_KIND_DEVICE: {
      int result = NB_OpenEvent(slot.handle, events_[2].handle);
      if (result != 0) {
        LogMessage(u"NB_OpenEvent(%d)", result);
        return;
      }
      OSVERSIONINFOW version{};
      version.dwOSVersionInfoSize = sizeof version;
      // The driver attaches to the file systems by itself except on the first minor version.
      if (GetVersionExW(&version) && version.dwMinorVersion == 0) NB_RegisterFs();
      break;
    }
    case NOTIFY_KIND_REMOVABLE: {
      int result = NBDV_OpenEvent(slot.handle);
      if (result != 0) {
        LogMessage(u"NBDV_OpenEvent(%d)", result);
        return;
      }
      break;
    }
    default:
      break;
  }
  EventWaitLoop(slot.handle, slot.name, slot.kind);
}

void NBService::EventWaitLoop(HANDLE handle, LPCWSTR name, int kind) {
  HANDLE waited[2] = {handle, stop_};
  DWORD count = stop_ ? 2 : 1;
  int failures = 0;
  bool announce = true;
  for (;;) {
    if (announce) LogMessage(u"Waiting Event(%s)", name);
    announce = true;
    DWORD period = kind == NOTIFY_KIND_TIMER ? timerCheckPeriod_ : INFINITE;
    DWORD result = WaitForMultipleObjects(count, waited, FALSE, period);
    if (result == WAIT_OBJECT_0 + 1) return;
    if (result == WAIT_FAILED) {
      if (++failures >= WAIT_FAILURE_LIMIT) {
        LogMessage(u"Waiting Event(%s) failure err=%d", name, static_cast<int>(GetLastError()));
        return;
      }
      Pause(WAIT_FAILURE_PAUSE_MS);
      continue;
    }
    failures = 0;
    if (result == static_cast<DWORD>(WAIT_TIMEOUT)) {
      // A pulse that came while nobody waited: look for expired locks anyway.
      announce = kind == NOTIFY_KIND_TIMER && CheckExpired(name);
      continue;
    }
    if (kind == NOTIFY_KIND_DEVICE || kind == NOTIFY_KIND_REMOVABLE) {
      std::lock_guard<std::mutex> guard(deviceLock_);
      HandleDeviceEvent(name);
    } else if (kind == NOTIFY_KIND_TIMER) {
      HandleTimerEvent(name);
    }
  }
}

bool NBService::CheckExpired(LPCWSTR name) {
  CVAULTObj vault;
  if (!LoadKernelLocks(vault)) return false;
  for (const _LCK_INFORMAION& lock : vault.driverLocks) {
    if (lock.mode == NBFS_LOCK_EXPIRED) {
      HandleTimerEvent(name);
      return true;
    }
  }
  return false;
}

void NBService::ControlEvents(DWORD code) {
  switch (code) {
    case 1:  // stop
    case 2:  // pause
      NB_CloseEvent();
      NBDV_CloseEvent();
      break;
    case 3:  // continue
      NB_OpenEvent(events_[0].handle, events_[2].handle);
      NBDV_OpenEvent(events_[1].handle);
      break;
    default:  // interrogate, shutdown: the drivers keep their registrations
      break;
  }
}

namespace {
std::atomic<NBService*> processService{nullptr};
}  // namespace

void SetProcessService(NBService* service) { processService = service; }

int RunService() {
  NBService* service = processService.load();
  return service ? service->RunService() : 0;
}

void ServiceCallBackFn(DWORD code) {
  LogMessage(u"ServiceCallBackFn");
  if (NBService* service = processService.load()) service->ControlEvents(code);
}
