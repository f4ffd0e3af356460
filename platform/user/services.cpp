// The service calls of winsvc.h: the manager's side as requests to the machine's service
// manager through the transport, and the service program's dispatcher, which asks the
// machine for its commands and runs ServiceMain and the handler for them.
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <winsvc.h>

#include "nb/text.h"
#include "nb/win/errors.h"
#include "objects.h"

namespace nb::win {

// SC_HANDLEs: the manager, and a service opened through it.
class ServiceManagerHandle final : public TransportHandle {
 public:
  using TransportHandle::TransportHandle;
};
class ServiceObjectHandle final : public TransportHandle {
 public:
  using TransportHandle::TransportHandle;
};

// The handle RegisterServiceCtrlHandlerW gives: the service whose status it reports.
class ServiceStatusObject final : public HandleObject {
 public:
  ServiceStatusObject(Transport* transport, std::u16string name) : transport_(transport), name_(std::move(name)) {}
  Transport* transport() const { return transport_; }
  const std::u16string& name() const { return name_; }

 private:
  Transport* transport_;
  std::u16string name_;
};

}  // namespace nb::win

namespace {

using nb::win::ProcessHandles;
using nb::win::ServiceManagerHandle;
using nb::win::ServiceObjectHandle;
using nb::win::ServiceStatusObject;
using nb::win::Transport;
using nb::win::TransportObject;
namespace protocol = nb::protocol;

// How long one wait of the dispatcher lasts before it asks again.
constexpr uint32_t kDispatcherWaitMilliseconds = 1000;

BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

BOOL FailStatus(NTSTATUS status) { return Fail(nb::win::Win32ErrorFromNtStatus(status)); }

// A name passed to a call; false when null or past `limit` units.
bool ReadName(LPCWSTR name, size_t limit, std::u16string* out) {
  if (!name) return false;
  size_t units = nb::text::Utf16Length(name, limit + 1);
  if (units > limit) return false;
  out->assign(name, units);
  return true;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (upper(a[i]) != upper(b[i])) return false;
  }
  return true;
}

SC_HANDLE Enter(std::shared_ptr<nb::win::HandleObject> object) {
  HANDLE handle = ProcessHandles().Insert(std::move(object));
  if (!handle) SetLastError(ERROR_NO_SYSTEM_RESOURCES);
  return static_cast<SC_HANDLE>(handle);
}

std::shared_ptr<ServiceObjectHandle> ServiceOf(SC_HANDLE service) {
  auto held = ProcessHandles().GetAs<ServiceObjectHandle>(static_cast<HANDLE>(service));
  if (!held) SetLastError(ERROR_INVALID_HANDLE);
  return held;
}

void CopyStatus(const protocol::ServiceStatusRecord& record, LPSERVICE_STATUS status) {
  *status = SERVICE_STATUS{record.serviceType,   record.currentState,      record.controlsAccepted,
                           record.win32ExitCode, record.serviceSpecificExitCode, record.checkPoint,
                           record.waitHint};
}

// The dispatcher of this process: the service it runs and that service's handler.
struct Dispatcher {
  std::mutex mutex;
  bool running = false;
  std::u16string name;
  LPHANDLER_FUNCTION handler = nullptr;
};

Dispatcher& ProcessDispatcher() {
  static Dispatcher dispatcher;
  return dispatcher;
}

// Runs ServiceMain on a thread of its own with its own copy of the arguments.
void RunServiceMain(Transport& transport, LPSERVICE_MAIN_FUNCTIONW main, std::vector<std::u16string> arguments) {
  auto body = [main, arguments = std::move(arguments)]() mutable {
    std::vector<LPWSTR> argv;
    for (std::u16string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    main(static_cast<DWORD>(arguments.size()), argv.data());
  };
  std::thread(transport.BindThread(std::move(body))).detach();
}

}  // namespace

SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess) {
  if (machineName && *machineName) {
    SetLastError(ERROR_BAD_NETPATH);  // no network: only the local machine
    return nullptr;
  }
  std::u16string database;
  if (databaseName && (!ReadName(databaseName, 64, &database) || !SameName(database, u"ServicesActive"))) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  Transport* transport = nb::win::CurrentTransport();
  if (!transport) {
    SetLastError(ERROR_NOT_READY);
    return nullptr;
  }
  TransportObject manager;
  NTSTATUS status = transport->OpenServiceManager(desiredAccess, &manager);
  if (!NT_SUCCESS(status)) {
    FailStatus(status);
    return nullptr;
  }
  return Enter(std::make_shared<ServiceManagerHandle>(transport, manager));
}

SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD desiredAccess,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                         LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                         LPCWSTR password) {
  auto held = ProcessHandles().GetAs<ServiceManagerHandle>(static_cast<HANDLE>(manager));
  if (!held) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  // Groups, tags, dependencies and accounts are not kept by this machine.
  if ((loadOrderGroup && *loadOrderGroup) || tagId || (dependencies && *dependencies) ||
      (serviceStartName && *serviceStartName) || (password && *password)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  protocol::CreateServiceRequest request;
  request.desiredAccess = desiredAccess;
  request.serviceType = serviceType;
  request.startType = startType;
  request.errorControl = errorControl;
  if (!ReadName(serviceName, protocol::kMaxServiceNameUnits, &request.name) ||
      (displayName && !ReadName(displayName, protocol::kMaxServiceNameUnits, &request.displayName))) {
    SetLastError(serviceName ? ERROR_INVALID_NAME : ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  if (!ReadName(binaryPathName, protocol::kMaxNameUnits, &request.imagePath)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  TransportObject service;
  NTSTATUS status = held->transport()->CreateServiceObject(held->object(), request, &service);
  if (!NT_SUCCESS(status)) {
    FailStatus(status);
    return nullptr;
  }
  return Enter(std::make_shared<ServiceObjectHandle>(held->transport(), service));
}

SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess) {
  auto held = ProcessHandles().GetAs<ServiceManagerHandle>(static_cast<HANDLE>(manager));
  if (!held) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  std::u16string name;
  if (!ReadName(serviceName, protocol::kMaxServiceNameUnits, &name)) {
    SetLastError(serviceName ? ERROR_INVALID_NAME : ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  TransportObject service;
  NTSTATUS status = held->transport()->OpenServiceObject(held->object(), name, desiredAccess, &service);
  if (!NT_SUCCESS(status)) {
    FailStatus(status);
    return nullptr;
  }
  return Enter(std::make_shared<ServiceObjectHandle>(held->transport(), service));
}

BOOL DeleteService(SC_HANDLE service) {
  auto held = ServiceOf(service);
  if (!held) return FALSE;
  NTSTATUS status = held->transport()->DeleteServiceObject(held->object());
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

BOOL StartServiceW(SC_HANDLE service, DWORD numServiceArgs, LPCWSTR* serviceArgVectors) {
  auto held = ServiceOf(service);
  if (!held) return FALSE;
  if (numServiceArgs > protocol::kMaxServiceArguments || (numServiceArgs && !serviceArgVectors)) {
    return Fail(ERROR_INVALID_PARAMETER);
  }
  std::vector<std::u16string> arguments(numServiceArgs);
  for (DWORD i = 0; i < numServiceArgs; ++i) {
    if (!ReadName(serviceArgVectors[i], protocol::kMaxServiceArgumentUnits, &arguments[i])) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
  }
  NTSTATUS status = held->transport()->StartServiceObject(held->object(), arguments);
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS serviceStatus) {
  auto held = ServiceOf(service);
  if (!held) return FALSE;
  if (!serviceStatus) return Fail(ERROR_INVALID_ADDRESS);
  protocol::ServiceStatusRecord record;
  NTSTATUS status = held->transport()->ControlServiceObject(held->object(), control, &record);
  CopyStatus(record, serviceStatus);
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS serviceStatus) {
  auto held = ServiceOf(service);
  if (!held) return FALSE;
  if (!serviceStatus) return Fail(ERROR_INVALID_ADDRESS);
  protocol::ServiceStatusRecord record;
  NTSTATUS status = held->transport()->QueryServiceObject(held->object(), &record);
  if (!NT_SUCCESS(status)) return FailStatus(status);
  CopyStatus(record, serviceStatus);
  return TRUE;
}

BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer, DWORD bufferSize,
                          LPDWORD bytesNeeded) {
  auto held = ServiceOf(service);
  if (!held) return FALSE;
  if (infoLevel != SC_STATUS_PROCESS_INFO_LEVEL) return Fail(ERROR_INVALID_LEVEL);
  if (!bytesNeeded) return Fail(ERROR_INVALID_ADDRESS);
  *bytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (!buffer || bufferSize < sizeof(SERVICE_STATUS_PROCESS)) return Fail(ERROR_INSUFFICIENT_BUFFER);
  protocol::ServiceStatusRecord record;
  NTSTATUS status = held->transport()->QueryServiceObject(held->object(), &record);
  if (!NT_SUCCESS(status)) return FailStatus(status);
  SERVICE_STATUS_PROCESS result{record.serviceType,   record.currentState,      record.controlsAccepted,
                                record.win32ExitCode, record.serviceSpecificExitCode, record.checkPoint,
                                record.waitHint,      record.processId,         record.serviceFlags};
  std::memcpy(buffer, &result, sizeof result);
  return TRUE;
}

BOOL CloseServiceHandle(SC_HANDLE object) {
  HANDLE handle = static_cast<HANDLE>(object);
  auto held = ProcessHandles().Get(handle);
  if (!held || !(std::dynamic_pointer_cast<ServiceManagerHandle>(held) ||
                 std::dynamic_pointer_cast<ServiceObjectHandle>(held))) {
    return Fail(ERROR_INVALID_HANDLE);
  }
  held.reset();
  ProcessHandles().Remove(handle);
  return TRUE;
}

BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceStartTable) {
  if (!serviceStartTable) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<std::u16string> names;
  std::vector<LPSERVICE_MAIN_FUNCTIONW> mains;
  for (const SERVICE_TABLE_ENTRYW* entry = serviceStartTable; entry->lpServiceName; ++entry) {
    std::u16string name;
    if (!ReadName(entry->lpServiceName, protocol::kMaxServiceNameUnits, &name) || !entry->lpServiceProc ||
        names.size() == protocol::kMaxServiceArguments) {
      return Fail(ERROR_INVALID_PARAMETER);
    }
    names.push_back(std::move(name));
    mains.push_back(entry->lpServiceProc);
  }
  if (names.empty()) return Fail(ERROR_INVALID_PARAMETER);
  Transport* transport = nb::win::CurrentTransport();
  if (!transport) return Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  Dispatcher& dispatcher = ProcessDispatcher();
  {
    std::lock_guard lock(dispatcher.mutex);
    if (dispatcher.running) return Fail(ERROR_SERVICE_ALREADY_RUNNING);
    dispatcher.running = true;
    dispatcher.handler = nullptr;
  }
  auto finish = [&](BOOL result) {
    std::lock_guard lock(dispatcher.mutex);
    dispatcher.running = false;
    dispatcher.name.clear();
    dispatcher.handler = nullptr;
    return result;
  };
  std::u16string name;
  NTSTATUS status = transport->ConnectServiceDispatcher(names, &name);
  // Whatever went wrong, a program the machine did not start as a service finds no
  // service controller.
  if (!NT_SUCCESS(status)) return finish(Fail(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
  LPSERVICE_MAIN_FUNCTIONW main = nullptr;
  for (size_t i = 0; i < names.size(); ++i) {
    if (SameName(names[i], name)) main = mains[i];
  }
  {
    std::lock_guard lock(dispatcher.mutex);
    dispatcher.name = name;
  }
  protocol::WaitServiceControlRequest wait;
  wait.name = name;
  wait.timeout = kDispatcherWaitMilliseconds;
  for (;;) {
    protocol::WaitServiceControlReply reply;
    status = transport->WaitServiceControl(wait, &reply);
    if (!NT_SUCCESS(status)) return finish(FailStatus(status));
    wait.acknowledged = 0;
    switch (static_cast<protocol::ServiceCommand>(reply.command)) {
      case protocol::ServiceCommand::kNone:
        break;
      case protocol::ServiceCommand::kStart:
        RunServiceMain(*transport, main, std::move(reply.arguments));
        break;
      case protocol::ServiceCommand::kControl: {
        LPHANDLER_FUNCTION handler;
        {
          std::lock_guard lock(dispatcher.mutex);
          handler = dispatcher.handler;
        }
        if (handler) handler(reply.control);
        wait.acknowledged = reply.sequence;
        break;
      }
      case protocol::ServiceCommand::kExit:
        return finish(TRUE);
    }
  }
}

SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler) {
  std::u16string name;
  if (!ReadName(serviceName, protocol::kMaxServiceNameUnits, &name) || !handler) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  Dispatcher& dispatcher = ProcessDispatcher();
  std::lock_guard lock(dispatcher.mutex);
  Transport* transport = nb::win::CurrentTransport();
  if (!dispatcher.running || !transport || !SameName(dispatcher.name, name)) {
    SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
    return nullptr;
  }
  dispatcher.handler = handler;
  HANDLE handle = ProcessHandles().Insert(std::make_shared<ServiceStatusObject>(transport, dispatcher.name));
  if (!handle) SetLastError(ERROR_NO_SYSTEM_RESOURCES);
  return reinterpret_cast<SERVICE_STATUS_HANDLE>(handle);
}

BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS serviceStatus) {
  auto held = ProcessHandles().GetAs<ServiceStatusObject>(reinterpret_cast<HANDLE>(statusHandle));
  if (!held) return Fail(ERROR_INVALID_HANDLE);
  if (!serviceStatus) return Fail(ERROR_INVALID_ADDRESS);
  protocol::ServiceStatusRecord record{serviceStatus->dwServiceType,
                                       serviceStatus->dwCurrentState,
                                       serviceStatus->dwControlsAccepted,
                                       serviceStatus->dwWin32ExitCode,
                                       serviceStatus->dwServiceSpecificExitCode,
                                       serviceStatus->dwCheckPoint,
                                       serviceStatus->dwWaitHint,
                                       0,
                                       0};
  NTSTATUS status = held->transport()->ReportServiceStatus(held->name(), record);
  return NT_SUCCESS(status) ? TRUE : FailStatus(status);
}
