// The service control manager and the service dispatcher (the subset this platform
// offers). Services live in the machine's hive under
// "HKLM\SYSTEM\CurrentControlSet\Services\NAME" (Type, Start, ErrorControl, ImagePath,
// DisplayName) and are run by the machine: a kernel-driver service loads its image into
// the machine's kernel, an own-process service's program is started by the machine with
// no arguments and connects back through StartServiceCtrlDispatcherW. Users other than
// root may query services but not create, change, start, stop or delete them
// (ERROR_ACCESS_DENIED); SC_HANDLEs close with CloseServiceHandle.
#pragma once

#include "nb/service_types.h"
#include "windows.h"

struct SC_HANDLE__ {
  int unused;
};
typedef SC_HANDLE__* SC_HANDLE;
typedef SC_HANDLE* LPSC_HANDLE;
struct SERVICE_STATUS_HANDLE__ {
  int unused;
};
typedef SERVICE_STATUS_HANDLE__* SERVICE_STATUS_HANDLE;

typedef struct _SERVICE_STATUS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
} SERVICE_STATUS, *LPSERVICE_STATUS;
static_assert(sizeof(SERVICE_STATUS) == 28);

typedef struct _SERVICE_STATUS_PROCESS {
  DWORD dwServiceType;
  DWORD dwCurrentState;
  DWORD dwControlsAccepted;
  DWORD dwWin32ExitCode;
  DWORD dwServiceSpecificExitCode;
  DWORD dwCheckPoint;
  DWORD dwWaitHint;
  DWORD dwProcessId;
  DWORD dwServiceFlags;
} SERVICE_STATUS_PROCESS, *LPSERVICE_STATUS_PROCESS;
static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36);

typedef enum _SC_STATUS_TYPE { SC_STATUS_PROCESS_INFO_LEVEL = SC_STATUS_PROCESS_INFO } SC_STATUS_TYPE;

typedef VOID(WINAPI* LPSERVICE_MAIN_FUNCTIONW)(DWORD argc, LPWSTR* argv);
typedef struct _SERVICE_TABLE_ENTRYW {
  LPWSTR lpServiceName;
  LPSERVICE_MAIN_FUNCTIONW lpServiceProc;
} SERVICE_TABLE_ENTRYW, *LPSERVICE_TABLE_ENTRYW;
typedef VOID(WINAPI* LPHANDLER_FUNCTION)(DWORD control);

// The service manager of the local machine: `machineName` null or empty, `databaseName`
// null or "ServicesActive".
SC_HANDLE OpenSCManagerW(LPCWSTR machineName, LPCWSTR databaseName, DWORD desiredAccess);
// Records the service in the hive. Only the service types SERVICE_KERNEL_DRIVER,
// SERVICE_FILE_SYSTEM_DRIVER and SERVICE_WIN32_OWN_PROCESS (with
// SERVICE_INTERACTIVE_PROCESS) are run; group, tag, dependencies and account must be
// absent (ERROR_INVALID_PARAMETER otherwise). ERROR_SERVICE_EXISTS for a name or display
// name in use, ERROR_SERVICE_MARKED_FOR_DELETE while a deleted service of the name lingers.
SC_HANDLE CreateServiceW(SC_HANDLE manager, LPCWSTR serviceName, LPCWSTR displayName, DWORD desiredAccess,
                         DWORD serviceType, DWORD startType, DWORD errorControl, LPCWSTR binaryPathName,
                         LPCWSTR loadOrderGroup, LPDWORD tagId, LPCWSTR dependencies, LPCWSTR serviceStartName,
                         LPCWSTR password);
// ERROR_SERVICE_DOES_NOT_EXIST for an unknown name.
SC_HANDLE OpenServiceW(SC_HANDLE manager, LPCWSTR serviceName, DWORD desiredAccess);
// Marks the service for deletion: its key goes once it has stopped and its last handle is
// closed. ERROR_SERVICE_MARKED_FOR_DELETE when marked already.
BOOL DeleteService(SC_HANDLE service);
// A driver's image is loaded into the machine's kernel; an own-process service's program
// is started and the call returns once its dispatcher has taken the start (ServiceMain
// gets the service name followed by `args`). ERROR_SERVICE_ALREADY_RUNNING,
// ERROR_SERVICE_DISABLED, ERROR_SERVICE_REQUEST_TIMEOUT when the program does not
// connect in time or ends first.
BOOL StartServiceW(SC_HANDLE service, DWORD numServiceArgs, LPCWSTR* serviceArgVectors);
// Sends STOP, PAUSE, CONTINUE or INTERROGATE (SHUTDOWN comes from the machine only:
// ERROR_INVALID_SERVICE_CONTROL) and returns once the handler has run, with the status
// then current. ERROR_SERVICE_NOT_ACTIVE for a stopped service,
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL while it starts or stops, ERROR_INVALID_SERVICE_CONTROL
// for a control it does not accept.
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS serviceStatus);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS serviceStatus);
// SC_STATUS_PROCESS_INFO into a SERVICE_STATUS_PROCESS (ERROR_INSUFFICIENT_BUFFER with
// the size needed in `bytesNeeded` when the buffer is short).
BOOL QueryServiceStatusEx(SC_HANDLE service, SC_STATUS_TYPE infoLevel, LPBYTE buffer, DWORD bufferSize,
                          LPDWORD bytesNeeded);
BOOL CloseServiceHandle(SC_HANDLE object);

// The service process's side. Connects to the machine as the program it started for the
// named service (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT for a program the machine did not
// start as a service), runs each ServiceMain on a thread of its own when its start arrives
// and the handlers when controls arrive, and returns TRUE once every service of the table
// has reported SERVICE_STOPPED.
BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW* serviceStartTable);
// The handler of a service of this process's dispatcher (ERROR_SERVICE_DOES_NOT_EXIST for
// another name); the handle goes to SetServiceStatus.
SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR serviceName, LPHANDLER_FUNCTION handler);
// ERROR_INVALID_DATA for a state outside 1..7, ERROR_INVALID_HANDLE for a handle not
// registered in this process.
BOOL SetServiceStatus(SERVICE_STATUS_HANDLE statusHandle, LPSERVICE_STATUS serviceStatus);
