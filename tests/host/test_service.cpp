// A tiny service program for the host's tests: it runs under the service manager of the
// machine at $NB_ROOT, reports its states, and writes what it was told, one line each, to
// $NB_ROOT/log/test_service.log.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include <windows.h>
#include <winsvc.h>

#include "nb/text.h"
#include "nb/win/socket_channel.h"

namespace {

std::mutex mutex;
std::condition_variable stopped;
bool stop = false;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{SERVICE_WIN32_OWN_PROCESS, SERVICE_START_PENDING, 0, 0, 0, 0, 0};

void Note(const std::string& line) {
  const char* root = std::getenv("NB_ROOT");
  std::string path = std::string(root ? root : ".") + "/log/test_service.log";
  if (FILE* file = std::fopen(path.c_str(), "a")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

void Report(DWORD state) {
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_START_PENDING || state == SERVICE_STOPPED
                                  ? 0
                                  : SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_SHUTDOWN;
  SetServiceStatus(statusHandle, &status);
}

void WINAPI Handler(DWORD control) {
  std::lock_guard lock(mutex);
  Note("control " + std::to_string(control));
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      Report(SERVICE_STOP_PENDING);
      stop = true;
      stopped.notify_all();
      break;
    case SERVICE_CONTROL_PAUSE:
      Report(SERVICE_PAUSED);
      break;
    case SERVICE_CONTROL_CONTINUE:
      Report(SERVICE_RUNNING);
      break;
    default:
      Report(status.dwCurrentState);
  }
}

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv) {
  std::string line = "start";
  for (DWORD i = 0; i < argc; ++i) line += " " + nb::text::Utf16ToUtf8(argv[i]);
  std::unique_lock lock(mutex);
  Note(line);
  statusHandle = RegisterServiceCtrlHandlerW(argv[0], Handler);
  Report(SERVICE_START_PENDING);
  Report(SERVICE_RUNNING);
  stopped.wait(lock, [] { return stop; });
  Report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  nb::win::UseMachineFromEnvironment();
  Note("main");
  SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(u"TestSvc"), ServiceMain}, {nullptr, nullptr}};
  if (!StartServiceCtrlDispatcherW(table)) {
    DWORD error = GetLastError();
    Note("dispatcher failed " + std::to_string(error));
    std::fprintf(stderr, "test_service: not started as a service (error %u)\n", static_cast<unsigned>(error));
    return 1;
  }
  Note("dispatcher returned");
  return 0;
}
