// The service program's role towards the service manager: its command line, its
// registration, and the framework object that runs it as a service. Include <windows.h>
// and <winsvc.h> first.
#pragma once

#include <string>
#include <thread>

#include "service.h"

#define NBSVC_SERVICE_NAME u"NB Service"
#define NBSVC_DISPLAY_NAME u"Folder and Drive Access Manager"

// Status reports: an own-process interactive service that accepts stop, pause/continue
// and shutdown, with a wait hint of 3 s.
inline constexpr DWORD NBSVC_SERVICE_TYPE = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
inline constexpr DWORD NBSVC_CONTROLS =
    SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
inline constexpr DWORD NBSVC_WAIT_HINT = 3000;

// Loads the drivers through the service manager as kernel services.
class ScmDriverInstaller : public DriverInstaller {
 public:
  bool InstallAndStart(LPCWSTR name, LPCWSTR file) override;
};

// The operations on "NB Service"; on failure the system error stays as the last error.
// The image path of the running program, quoted when it holds a blank.
std::u16string ServiceImagePath(LPCWSTR modulePath);
bool InstallService();
bool RemoveService();
bool StopNamedService();
bool StartNamedService();
bool QueryNamedService(SERVICE_STATUS* status);

// The service framework object: one per process, made on first request.
class ServiceHost {
 public:
  using Worker = int (*)();
  using Hook = void (*)(DWORD);

  // The process's object, made with these values on the first call.
  static ServiceHost* Get(LPCWSTR serviceName, Worker worker, Hook hook);
  // The object when one was made, else null.
  static ServiceHost* Existing();

  virtual ~ServiceHost();
  virtual void OnInitialise() {}
  virtual void BeforeStop() {}
  virtual void AfterStop() {}
  virtual void BeforePause() {}
  virtual void AfterPause() {}
  virtual void BeforeContinue() {}
  virtual void AfterContinue() {}

  // Connects to the control dispatcher and returns when the service has stopped.
  bool Dispatch();
  // Waits for the worker after the dispatcher returned, when the process's service has
  // ended its threads.
  void JoinWorker();

  static void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
  static void WINAPI ControlHandler(DWORD control);

  SERVICE_STATUS_HANDLE statusHandle = nullptr;
  DWORD currentState = SERVICE_STOPPED;
  LPCWSTR serviceName;
  std::thread workerThread;
  HANDLE stopEvent = nullptr;
  Worker worker;
  Hook hook;

 protected:
  ServiceHost(LPCWSTR name, Worker workerEntry, Hook controlHook)
      : serviceName(name), worker(workerEntry), hook(controlHook) {}

 private:
  void Report(DWORD state, DWORD checkpoint);
};

// The whole command line: evaluates the options and returns the exit code.
int ServiceCommand(int argc, WCHAR* const* argv);
// The program: `service` becomes the process's service, the command line runs, and once
// it is done (the service stopped) the service's threads and the worker end.
int ServiceProgramMain(int argc, WCHAR* const* argv, NBService& service);
