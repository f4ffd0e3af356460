// The service commands of nbhost, as a client of the running host.
#include "nb/host/sc_cli.h"

#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>
#include <winsvc.h>

#include "nb/host/instance.h"
#include "nb/text.h"
#include "nb/win/socket_channel.h"

namespace nb::host {

namespace {

const char* StateName(DWORD state) {
  switch (state) {
    case SERVICE_STOPPED:
      return "STOPPED";
    case SERVICE_START_PENDING:
      return "START_PENDING";
    case SERVICE_STOP_PENDING:
      return "STOP_PENDING";
    case SERVICE_RUNNING:
      return "RUNNING";
    case SERVICE_CONTINUE_PENDING:
      return "CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
      return "PAUSE_PENDING";
    case SERVICE_PAUSED:
      return "PAUSED";
    default:
      return "UNKNOWN";
  }
}

const char* TypeName(DWORD type) {
  switch (type & ~DWORD{SERVICE_INTERACTIVE_PROCESS}) {
    case SERVICE_KERNEL_DRIVER:
      return "KERNEL_DRIVER";
    case SERVICE_FILE_SYSTEM_DRIVER:
      return "FILE_SYSTEM_DRIVER";
    case SERVICE_WIN32_OWN_PROCESS:
      return "WIN32_OWN_PROCESS";
    default:
      return "UNKNOWN";
  }
}

// "[SC] CALL FAILED code: text", as sc says it.
int Failed(const char* call) {
  DWORD error = GetLastError();
  WCHAR text[512] = {};
  std::string message;
  if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text, 512,
                     nullptr)) {
    message = text::Utf16ToUtf8(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) message.pop_back();
  }
  std::fprintf(stderr, "nbhost: [SC] %s FAILED %u: %s\n", call, static_cast<unsigned>(error), message.c_str());
  return 1;
}

void PrintStatus(const std::string& name, const SERVICE_STATUS_PROCESS& status) {
  std::printf("SERVICE_NAME: %s\n", name.c_str());
  std::printf("        TYPE               : %-4x %s\n", static_cast<unsigned>(status.dwServiceType),
              TypeName(status.dwServiceType));
  std::printf("        STATE              : %-4u %s\n", static_cast<unsigned>(status.dwCurrentState),
              StateName(status.dwCurrentState));
  std::printf("        WIN32_EXIT_CODE    : %u  (0x%x)\n", static_cast<unsigned>(status.dwWin32ExitCode),
              static_cast<unsigned>(status.dwWin32ExitCode));
  std::printf("        CHECKPOINT         : 0x%x\n", static_cast<unsigned>(status.dwCheckPoint));
  std::printf("        WAIT_HINT          : 0x%x\n", static_cast<unsigned>(status.dwWaitHint));
  std::printf("        PID                : %u\n", static_cast<unsigned>(status.dwProcessId));
}

// Closes the SC_HANDLEs of one command.
struct Handles {
  SC_HANDLE manager = nullptr;
  SC_HANDLE service = nullptr;
  ~Handles() {
    if (service) CloseServiceHandle(service);
    if (manager) CloseServiceHandle(manager);
  }
};

}  // namespace

int RunScCommand(const HostCommand& command) {
  RootLayout layout(command.root);
  if (!ProbeHost(layout).running) {
    std::fprintf(stderr, "nbhost: no host runs on %s\n", layout.root.c_str());
    return 1;
  }
  win::UseMachineAt(layout.root);
  const ScCommand& sc = command.sc;
  std::u16string name = text::Utf8ToUtf16(sc.name);
  Handles handles;
  DWORD managerAccess = sc.action == ScAction::kCreate ? SC_MANAGER_CREATE_SERVICE : SC_MANAGER_CONNECT;
  handles.manager = OpenSCManagerW(nullptr, nullptr, managerAccess);
  if (!handles.manager) return Failed("OpenSCManager");
  switch (sc.action) {
    case ScAction::kCreate: {
      std::u16string image = text::Utf8ToUtf16(sc.binaryPath);
      std::u16string display = text::Utf8ToUtf16(sc.displayName.empty() ? sc.name : sc.displayName);
      handles.service = CreateServiceW(handles.manager, name.c_str(), display.c_str(), SERVICE_ALL_ACCESS, sc.type,
                                       sc.start, sc.errorControl, image.c_str(), nullptr, nullptr, nullptr, nullptr,
                                       nullptr);
      if (!handles.service) return Failed("CreateService");
      std::printf("[SC] CreateService SUCCESS\n");
      return 0;
    }
    case ScAction::kDelete:
      handles.service = OpenServiceW(handles.manager, name.c_str(), DELETE);
      if (!handles.service) return Failed("OpenService");
      if (!DeleteService(handles.service)) return Failed("DeleteService");
      std::printf("[SC] DeleteService SUCCESS\n");
      return 0;
    case ScAction::kStart: {
      handles.service = OpenServiceW(handles.manager, name.c_str(), SERVICE_START | SERVICE_QUERY_STATUS);
      if (!handles.service) return Failed("OpenService");
      std::vector<std::u16string> words;
      for (const std::string& argument : sc.arguments) words.push_back(text::Utf8ToUtf16(argument));
      std::vector<LPCWSTR> arguments;
      for (const std::u16string& word : words) arguments.push_back(word.c_str());
      if (!StartServiceW(handles.service, static_cast<DWORD>(arguments.size()), arguments.data())) {
        return Failed("StartService");
      }
      break;
    }
    case ScAction::kStop: {
      handles.service = OpenServiceW(handles.manager, name.c_str(), SERVICE_STOP | SERVICE_QUERY_STATUS);
      if (!handles.service) return Failed("OpenService");
      SERVICE_STATUS status;
      if (!ControlService(handles.service, SERVICE_CONTROL_STOP, &status)) return Failed("ControlService");
      break;
    }
    case ScAction::kQuery:
      handles.service = OpenServiceW(handles.manager, name.c_str(), SERVICE_QUERY_STATUS);
      if (!handles.service) return Failed("OpenService");
      break;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(handles.service, SC_STATUS_PROCESS_INFO_LEVEL, reinterpret_cast<LPBYTE>(&status),
                            sizeof status, &needed)) {
    return Failed("QueryServiceStatusEx");
  }
  PrintStatus(sc.name, status);
  return 0;
}

}  // namespace nb::host
