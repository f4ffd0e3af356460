// The service NBSvc: its start-up (drivers present, default folder locked, own process
// trusted, stored locks re-applied) and the notification threads that re-apply locks when
// volumes come and re-lock expired idle time-outs. Include <windows.h> first.
#pragma once

#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "VAULTSdk.h"

// The service's module name: its log lines and its trusted process "NBSvc.exe".
#define NBSVC_MODULE u"NBSvc"

// --- Notification events ----------------------------------------------------------------

inline constexpr int NOTIFY_KIND_DEVICE = 0;     // the filter driver: a volume mounted or torn down
inline constexpr int NOTIFY_KIND_REMOVABLE = 1;  // the removable-device driver
inline constexpr int NOTIFY_KIND_TIMER = 2;      // the filter driver: an idle time-out expired
inline constexpr size_t NOTIFY_EVENT_SLOTS = 3;
inline constexpr size_t NOTIFY_NAME_UNITS = 714;

struct NotifyEventSlot {
  WCHAR name[NOTIFY_NAME_UNITS];
  int kind;
  HANDLE handle;
};

// --- Drivers ----------------------------------------------------------------------------

inline constexpr size_t DRIVER_SLOTS = 2;  // the filter driver, then the removable-device driver
inline constexpr size_t DRIVER_NAME_UNITS = 100;
inline constexpr size_t DRIVER_FILE_UNITS = 518;
inline constexpr int DRIVER_LOAD_ATTEMPTS = 5;
inline constexpr DWORD DRIVER_LOAD_PAUSE_MS = 100;

struct DriverSlot {
  WCHAR name[DRIVER_NAME_UNITS];    // kernel service name: "nbfs36", "nbdv15"
  WCHAR device[DRIVER_NAME_UNITS];  // control device: "nbfscntl36", "nbdvCntl15"
  WCHAR file[DRIVER_FILE_UNITS];    // the driver file in the default folder
};

// Installs and starts a kernel driver as a kernel service (the service control manager's
// work): true when the service was created; a start refused because the driver already
// runs counts as started.
class DriverInstaller {
 public:
  virtual ~DriverInstaller() = default;
  virtual bool InstallAndStart(LPCWSTR name, LPCWSTR file) = 0;
};

// Starts the service's threads; an empty (not joinable) thread when one cannot start.
class ThreadLauncher {
 public:
  virtual ~ThreadLauncher() = default;
  virtual std::thread Start(std::function<void()> entry);
};

// --- Retries and periods ----------------------------------------------------------------

// A lock database that cannot be read (another writer holds it) is tried this often.
inline constexpr int STORE_READ_ATTEMPTS = 5;
inline constexpr DWORD STORE_READ_PAUSE_MS = 200;
// The timer thread looks for expired locks this often even without a pulse: a pulse
// reaches only a thread that waits at that moment.
inline constexpr DWORD TIMER_CHECK_PERIOD_MS = 10000;
// Passes over the driver's table in one timer handling, re-reading it after re-locking
// until no expired lock is left.
inline constexpr int TIMER_RELOCK_PASSES = 8;
// A wait that fails is retried this often (pausing between) before its thread ends.
inline constexpr int WAIT_FAILURE_LIMIT = 5;
inline constexpr DWORD WAIT_FAILURE_PAUSE_MS = 100;

// --- Lock tables shared by the start-up and the event handling ---------------------------

// Fills `driverLocks` with the driver's locks and their volume serials; a driver without
// locks leaves it as it is. False, with the array emptied, when the table cannot be read.
bool LoadKernelLocks(CVAULTObj& vault);
// Fills `storedLocks` from the lock database at `lockDbPath`. A database that cannot be
// opened is tried STORE_READ_ATTEMPTS times and logged; false, with the array empty, when
// it never opened. An empty database is success.
bool LoadStoredLocks(CVAULTObj& vault);
// The first record of `list` that is the same lock as `lock`: the same path (ignoring
// case) on the same volume (serial). -1 when none.
int FindStoredLock(const _LCK_INFORMAION* lock, const _LCK_INFORMAION* list, int count);

// Takes stale registrations of `module`.exe off the driver's global trusted list and
// registers this process (full access) under that name; `process` is filled.
bool RegisterServiceProcess(_LCK_PROC_INFORMATION* process, CVAULTObj& vault, LPCWSTR module);

// Sets the console's notification event, when a console made it.
void NotifyConsole();

// The re-locking of expired idle time-outs: reads the table, re-locks each expired lock,
// and reads again until a read finds none expired (at most TIMER_RELOCK_PASSES reads, and
// no further read after a pass that re-locked nothing). Returns the re-lock calls made.
int RelockExpired(const std::function<bool(std::vector<_LCK_INFORMAION>*)>& readTable,
                  const std::function<bool(_LCK_INFORMAION*)>& relock);

// --- The service ------------------------------------------------------------------------

class NBService {
 public:
  NBService(DriverInstaller& installer, ThreadLauncher& launcher);
  // Closes the events, the stop event and the service mutex.
  ~NBService();
  NBService(const NBService&) = delete;
  NBService& operator=(const NBService&) = delete;

  // The worker: start-up, then the notification threads until they end. 1 after a full
  // run, 0 when the start-up failed or the threads could not all start.
  int RunService();
  // The start-up steps, numbered from *step on.
  bool ServiceStartup(_LCK_PROC_INFORMATION* process, int* step);

  // Creates (or opens) the three notification events; false after the first failure.
  bool CreateNotifyEvents();
  // Makes both drivers present; false when one is still missing after the attempts.
  bool LoadDrivers();
  // Starts the three notification threads and waits until they end; false, with the
  // started ones stopped and ended, when one cannot start.
  bool StartThreads(int* step);
  // The wait of one notification thread; returns when the service stops its threads or
  // when its wait keeps failing.
  void EventWaitLoop(HANDLE handle, LPCWSTR name, int kind);
  void HandleDeviceEvent(LPCWSTR name);
  void HandleTimerEvent(LPCWSTR name);
  // The locks that a device event enabled.
  int AutoRun();

  // Ends the notification threads.
  void StopThreads();
  // A control of the service manager: stop (1) and pause (2) withdraw the drivers' event
  // registrations, continue (3) renews them; the threads keep waiting throughout.
  void ControlEvents(DWORD code);
  // How often the timer thread checks without a pulse.
  void SetTimerCheckPeriod(DWORD milliseconds) { timerCheckPeriod_ = milliseconds; }

  CVAULTObj& Vault() { return vault_; }
  const NotifyEventSlot& Event(size_t row) const { return events_[row]; }
  const DriverSlot& Driver(size_t row) const { return drivers_[row]; }

 private:
  void BuildDriverTable();
  bool DeviceOpens(LPCWSTR device);
  void ThreadEntry(size_t row);
  // A timer check without a pulse: handles only when a lock has expired; true then.
  bool CheckExpired(LPCWSTR name);
  void PruneAddedDevices(CVAULTObj& vault);
  bool FolderEnable(CVAULTObj& vault, _LCK_INFORMAION* lock);
  bool FolderPause(CVAULTObj& vault, _LCK_INFORMAION* lock);
  void LockStoredFolders();

  DriverInstaller& installer_;
  ThreadLauncher& launcher_;
  CVAULTObj vault_;
  NotifyEventSlot events_[NOTIFY_EVENT_SLOTS];
  DriverSlot drivers_[DRIVER_SLOTS];
  HANDLE mutex_ = nullptr;
  HANDLE stop_ = nullptr;  // set: the notification threads end
  std::mutex deviceLock_;  // one device handling at a time
  DWORD timerCheckPeriod_ = TIMER_CHECK_PERIOD_MS;
};

// The service object of this process, which the control hook reaches.
void SetProcessService(NBService* service);
// The worker entry: the process's service runs its start-up and its threads.
int RunService();
// The control hook: logs the control and passes it to the process's service.
void ServiceCallBackFn(DWORD code);

// --- The command line -------------------------------------------------------------------

// The option letters of the command line; none takes an argument.
#define NBSVC_OPTIONS u"irsdpcte"

// The state of the option parser, process-wide in the program.
struct OptionState {
  int index = 1;            // the next argument
  int position = 1;         // the character inside it
  bool printErrors = true;  // messages for unknown letters and missing arguments
  int letter = 0;           // the last option letter
  LPCWSTR argument = nullptr;
};

// The next option letter of an argument introduced by "-" or "/" (several letters may
// share one argument); '?' for a letter not among `letters` (or ':'), after the message
// "<argv[0]>:Illegal option -- <letter>"; -1 at the first argument that is no option,
// at a lone "-" or "/", and after "--" or "//" (which is consumed). A letter followed by
// ':' in `letters` takes the rest of its argument or the next argument.
int GetOption(OptionState& state, int argc, WCHAR* const* argv, LPCWSTR letters);
