// The service manager's operations of the command line (install, remove, stop, start,
// status of "NB Service") and the installation of the two drivers as kernel services.
#include <chrono>
#include <string>
#include <thread>

#include <windows.h>
#include <winsvc.h>

#include "service_program.h"

namespace {

constexpr DWORD kControlWaitMs = 1000;
constexpr DWORD kPathUnits = 512;

// Closes service-manager handles while keeping the thread's last error for the caller.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ScHandle() {
    if (!handle_) return;
    DWORD error = GetLastError();
    CloseServiceHandle(handle_);
    SetLastError(error);
  }
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

void Wait(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace

std::u16string ServiceImagePath(LPCWSTR modulePath) {
  std::u16string path(modulePath);
  // Unquoted, a path with blanks would be read as a shorter program and arguments.
  if (path.find(u' ') != std::u16string::npos) path = u"\"" + path + u"\"";
  return path;
}

bool InstallService() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) return false;
  WCHAR module[kPathUnits] = {};
  DWORD length = GetModuleFileNameW(nullptr, module, kPathUnits);
  if (length == 0 || length >= kPathUnits) {
    if (length >= kPathUnits) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  std::u16string image = ServiceImagePath(module);
  ScHandle service(CreateServiceW(manager.get(), NBSVC_SERVICE_NAME, NBSVC_DISPLAY_NAME, SERVICE_ALL_ACCESS,
                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, image.c_str(),
                                  nullptr, nullptr, nullptr, nullptr, nullptr));
  return static_cast<bool>(service);
}

bool RemoveService() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  ScHandle service(OpenServiceW(manager.get(), NBSVC_SERVICE_NAME, SERVICE_ALL_ACCESS));
  if (!service) return false;
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service.get(), &status)) return false;
  if (status.dwCurrentState != SERVICE_STOPPED) {
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    Wait(kControlWaitMs);
  }
  if (!QueryServiceStatus(service.get(), &status)) return false;
  if (status.dwCurrentState != SERVICE_STOPPED) {
    SetLastError(ERROR_SERVICE_REQUEST_TIMEOUT);
    return false;
  }
  return DeleteService(service.get()) != FALSE;
}

bool StopNamedService() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  ScHandle service(OpenServiceW(manager.get(), NBSVC_SERVICE_NAME, SERVICE_ALL_ACCESS));
  if (!service) return false;
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service.get(), &status)) return false;
  if (status.dwCurrentState == SERVICE_STOPPED) return true;
  if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return false;
  Wait(kControlWaitMs);
  return true;
}

bool StartNamedService() {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  ScHandle service(OpenServiceW(manager.get(), NBSVC_SERVICE_NAME, SERVICE_ALL_ACCESS));
  if (!service) return false;
  SERVICE_STATUS status{};
  if (!QueryServiceStatus(service.get(), &status)) return false;
  if (status.dwCurrentState == SERVICE_START_PENDING || status.dwCurrentState == SERVICE_RUNNING) return true;
  return StartServiceW(service.get(), 0, nullptr) != FALSE;
}

bool QueryNamedService(SERVICE_STATUS* status) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  ScHandle service(OpenServiceW(manager.get(), NBSVC_SERVICE_NAME, SERVICE_ALL_ACCESS));
  if (!service) return false;
  return QueryServiceStatus(service.get(), status) != FALSE;
}

bool ScmDriverInstaller::InstallAndStart(LPCWSTR name, LPCWSTR file) {
  ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return false;
  {
    ScHandle old(OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
    if (old) DeleteService(old.get());
  }
  ScHandle created(CreateServiceW(manager.get(), name, name, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                                  SERVICE_SYSTEM_START, SERVICE_ERROR_NORMAL, file, nullptr, nullptr, nullptr, nullptr,
                                  nullptr));
  if (!created) return false;
  ScHandle service(OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
  if (!service) return false;
  if (StartServiceW(service.get(), 0, nullptr)) return true;
  DWORD error = GetLastError();
  return error == ERROR_SERVICE_ALREADY_RUNNING || error == ERROR_SERVICE_DISABLED;
}
