// The service manager: its handles for any caller (what each may do is the manager's
// decision by the caller's user), and the dispatcher requests of service programs.
#include <chrono>

#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"
#include "requests.h"

namespace nb::server {

namespace {

kernel::ServiceManager& Services() { return kernel::CurrentKernel().Services(); }

ServiceStatusRecord Record(const kernel::ServiceStatus& status) {
  return ServiceStatusRecord{status.serviceType,   status.currentState,      status.controlsAccepted,
                             status.win32ExitCode, status.serviceSpecificExitCode, status.checkPoint,
                             status.waitHint,      status.processId,         status.serviceFlags};
}

kernel::ServiceStatus StatusOf(const ServiceStatusRecord& record) {
  return kernel::ServiceStatus{record.serviceType,   record.currentState,      record.controlsAccepted,
                               record.win32ExitCode, record.serviceSpecificExitCode, record.checkPoint,
                               record.waitHint,      record.processId,         record.serviceFlags};
}

// Enters a handle the manager gave in the client's table; it is closed again when that fails.
NTSTATUS Enter(ClientContext& client, NTSTATUS opened, kernel::ServiceHandle handle, uint64_t* value) {
  if (!NT_SUCCESS(opened)) return opened;
  return client.AddServiceHandle(handle, value);
}

// The manager's handle of a value; a value that names another kind of object is no handle.
NTSTATUS HandleOf(const ClientContext& client, uint64_t value, kernel::ServiceHandle* handle) {
  NTSTATUS status = client.ServiceHandleOf(value, handle);
  return status == STATUS_OBJECT_TYPE_MISMATCH ? STATUS_INVALID_HANDLE : status;
}

ULONG ProcessIdOf(const ClientContext& client) { return kernel::ProcessTable::IdOf(client.Process()); }

}  // namespace

NTSTATUS Serve(ClientContext& client, const OpenServiceManagerRequest& request, OpenServiceManagerReply* reply) {
  kernel::ServiceHandle handle = 0;
  NTSTATUS status = Services().OpenManager(client.ServiceCaller(), request.desiredAccess, &handle);
  return Enter(client, status, handle, &reply->object);
}

NTSTATUS Serve(ClientContext& client, const CreateServiceRequest& request, CreateServiceReply* reply) {
  kernel::ServiceHandle manager;
  NTSTATUS status = HandleOf(client, request.manager, &manager);
  if (!NT_SUCCESS(status)) return status;
  kernel::ServiceConfig config;
  config.type = request.serviceType;
  config.start = request.startType;
  config.errorControl = request.errorControl;
  config.imagePath = request.imagePath;
  config.displayName = request.displayName;
  kernel::ServiceHandle handle = 0;
  status = Services().CreateService(client.ServiceCaller(), manager, request.name, config, request.desiredAccess,
                                    &handle);
  return Enter(client, status, handle, &reply->object);
}

NTSTATUS Serve(ClientContext& client, const OpenServiceRequest& request, OpenServiceReply* reply) {
  kernel::ServiceHandle manager;
  NTSTATUS status = HandleOf(client, request.manager, &manager);
  if (!NT_SUCCESS(status)) return status;
  kernel::ServiceHandle handle = 0;
  status = Services().OpenService(client.ServiceCaller(), manager, request.name, request.desiredAccess, &handle);
  return Enter(client, status, handle, &reply->object);
}

NTSTATUS Serve(ClientContext& client, const DeleteServiceRequest& request, DeleteServiceReply*) {
  kernel::ServiceHandle service;
  NTSTATUS status = HandleOf(client, request.service, &service);
  return NT_SUCCESS(status) ? Services().DeleteService(client.ServiceCaller(), service) : status;
}

NTSTATUS Serve(ClientContext& client, const StartServiceRequest& request, StartServiceReply*) {
  kernel::ServiceHandle service;
  NTSTATUS status = HandleOf(client, request.service, &service);
  return NT_SUCCESS(status) ? Services().StartService(client.ServiceCaller(), service, request.arguments) : status;
}

NTSTATUS Serve(ClientContext& client, const ControlServiceRequest& request, ControlServiceReply* reply) {
  kernel::ServiceHandle service;
  NTSTATUS status = HandleOf(client, request.service, &service);
  if (!NT_SUCCESS(status)) return status;
  kernel::ServiceStatus current;
  status = Services().ControlService(client.ServiceCaller(), service, request.control, &current);
  reply->status = Record(current);
  return status;
}

NTSTATUS Serve(ClientContext& client, const QueryServiceStatusRequest& request, QueryServiceStatusReply* reply) {
  kernel::ServiceHandle service;
  NTSTATUS status = HandleOf(client, request.service, &service);
  if (!NT_SUCCESS(status)) return status;
  kernel::ServiceStatus current;
  status = Services().QueryStatus(client.ServiceCaller(), service, &current);
  reply->status = Record(current);
  return status;
}

NTSTATUS Serve(ClientContext& client, const ConnectServiceDispatcherRequest& request,
               ConnectServiceDispatcherReply* reply) {
  return Services().ConnectDispatcher(ProcessIdOf(client), request.names, &reply->name);
}

NTSTATUS Serve(ClientContext& client, const WaitServiceControlRequest& request, WaitServiceControlReply* reply) {
  kernel::DispatcherCommand command;
  NTSTATUS status = Services().WaitCommand(ProcessIdOf(client), request.name, request.acknowledged,
                                           std::chrono::milliseconds(request.timeout), &command);
  reply->command = static_cast<uint8_t>(command.kind);
  reply->sequence = command.sequence;
  reply->control = command.control;
  reply->arguments = std::move(command.arguments);
  return status;
}

NTSTATUS Serve(ClientContext& client, const SetServiceStatusRequest& request, SetServiceStatusReply*) {
  return Services().SetStatus(ProcessIdOf(client), request.name, StatusOf(request.status));
}

}  // namespace nb::server
