// The service framework object: service main, control handler and status reports.
#include <mutex>

#include <windows.h>
#include <winsvc.h>

#include "service_program.h"

namespace {

std::mutex hostMutex;
ServiceHost* processHost = nullptr;

class ProcessHost final : public ServiceHost {
 public:
  ProcessHost(LPCWSTR name, Worker worker, Hook hook) : ServiceHost(name, worker, hook) {}
};

}  // namespace

ServiceHost* ServiceHost::Get(LPCWSTR serviceName, Worker worker, Hook hook) {
  std::lock_guard<std::mutex> guard(hostMutex);
  if (!processHost) processHost = new ProcessHost(serviceName, worker, hook);
  return processHost;
}

ServiceHost* ServiceHost::Existing() {
  std::lock_guard<std::mutex> guard(hostMutex);
  return processHost;
}

ServiceHost::~ServiceHost() {
  if (workerThread.joinable()) workerThread.detach();
}

bool ServiceHost::Dispatch() {
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(serviceName), &ServiceHost::ServiceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) != FALSE;
}

void ServiceHost::JoinWorker() {
  if (workerThread.joinable()) workerThread.join();
}

void ServiceHost::Report(DWORD state, DWORD checkpoint) {
  currentState = state;
  SERVICE_STATUS status{};
  status.dwServiceType = NBSVC_SERVICE_TYPE;
  status.dwCurrentState = state;
  status.dwControlsAccepted = NBSVC_CONTROLS;
  status.dwWin32ExitCode = 0;
  status.dwServiceSpecificExitCode = 0;
  status.dwCheckPoint = checkpoint;
  status.dwWaitHint = NBSVC_WAIT_HINT;
  SetServiceStatus(statusHandle, &status);
}

void WINAPI ServiceHost::ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
  ServiceHost* host = Existing();
  if (!host) return;
  host->statusHandle = RegisterServiceCtrlHandlerW(host->serviceName, &ServiceHost::ControlHandler);
  if (!host->statusHandle) return;
  host->Report(SERVICE_START_PENDING, 1);
  host->OnInitialise();
  host->Report(SERVICE_START_PENDING, 2);
  host->stopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!host->stopEvent) return;
  host->Report(SERVICE_START_PENDING, 3);
  ThreadLauncher launcher;
  std::thread worker = launcher.Start([entry = host->worker] {
    if (entry) entry();
  });
  host->Report(SERVICE_START_PENDING, 4);
  if (!worker.joinable()) {
    CloseHandle(host->stopEvent);
    host->stopEvent = nullptr;
    return;
  }
  host->workerThread = std::move(worker);
  host->Report(SERVICE_RUNNING, 0);
  WaitForSingleObject(host->stopEvent, INFINITE);
  CloseHandle(host->stopEvent);
  host->stopEvent = nullptr;
}

void WINAPI ServiceHost::ControlHandler(DWORD control) {
  ServiceHost* host = Existing();
  if (!host) return;
  if (host->hook) host->hook(control);
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      host->Report(SERVICE_STOP_PENDING, 1);
      host->BeforeStop();
      if (host->stopEvent) SetEvent(host->stopEvent);
      host->AfterStop();
      host->Report(SERVICE_STOPPED, 0);
      break;
    case SERVICE_CONTROL_PAUSE:
      // After the start-up the worker only waits for the notification threads, which
      // the hook has silenced: there is nothing of it to suspend.
      host->Report(SERVICE_PAUSE_PENDING, 1);
      host->BeforePause();
      host->AfterPause();
      host->Report(SERVICE_PAUSED, 0);
      break;
    case SERVICE_CONTROL_CONTINUE:
      host->Report(SERVICE_CONTINUE_PENDING, 1);
      host->BeforeContinue();
      host->AfterContinue();
      host->Report(SERVICE_RUNNING, 0);
      break;
    case SERVICE_CONTROL_INTERROGATE:
      host->Report(host->currentState, 0);
      break;
    default:
      break;
  }
}
