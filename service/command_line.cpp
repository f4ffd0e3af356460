// The command line of NBSvc: which option wins, and what each prints and returns.
#include <cstdio>
#include <string>

#include <windows.h>
#include <winsvc.h>

#include "LogFile.h"
#include "nb/text.h"
#include "service_program.h"

namespace {

constexpr const char16_t* kUsage =
    u"\nUSAGE:%s [COMMAND] \nTHE COMMAND IS:\n  /i\tInstall Service\n  /r\tRemove Servive\n  /s\tStart Service\n"
    u"  /d\tConsole debug\n  /p\tStop Service\n  /c\tResume Service\n  /t\tStatus Service\n";

constexpr const char16_t* kStateTexts[] = {
    u"The service is not running.",      u"The service is starting.",      u"The service is stopping.",
    u"The service is running.",          u"The service continue is pending.", u"The service pause is pending.",
    u"The service is paused.",
};

// Wide formatted output, as the program's own texts are printed.
void PrintWide(const char16_t* format, const char16_t* argument) {
  std::string text = nb::text::Utf16ToUtf8(nb::text::FormatWide(format, argument));
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

int Fail(const char16_t* format) {
  PrintConsole(format, static_cast<int>(GetLastError()));
  return -1;
}

int RunDispatcher() {
  ServiceHost* host = ServiceHost::Get(NBSVC_SERVICE_NAME, &RunService, &ServiceCallBackFn);
  return host->Dispatch() ? 0 : -1;
}

}  // namespace

int ServiceCommand(int argc, WCHAR* const* argv) {
  OptionState state;
  bool install = false, remove = false, dispatch = false, debug = false, stop = false, start = false,
       statusOnly = false, closeEvents = false, unknown = false;
  for (int letter; (letter = GetOption(state, argc, argv, NBSVC_OPTIONS)) != -1;) {
    switch (letter) {
      case u'i': install = true; break;
      case u'r': remove = true; break;
      case u's': dispatch = true; break;
      case u'd': debug = true; break;
      case u'p': stop = true; break;
      case u'c': start = true; break;
      case u't': statusOnly = true; break;
      case u'e': closeEvents = true; break;
      default: unknown = true; break;
    }
  }
  if (unknown) {
    PrintWide(kUsage, argc > 0 && argv[0] ? argv[0] : u"NBSvc");
    return 0;
  }
  SERVICE_STATUS status{};
  if (debug) {
    if (QueryNamedService(&status)) {
      PrintConsole(u"%s is already running ...", NBSVC_SERVICE_NAME);
      return 0;
    }
    return RunService();
  }
  if (install) {
    PrintConsole(u"installing ...");
    return InstallService() ? 0 : Fail(u"Cannot install service( Error = %d )");
  }
  if (remove) return RemoveService() ? 0 : Fail(u"Cannot delete service( Error = %d )");
  if (dispatch) return RunDispatcher();
  if (stop) return StopNamedService() ? 0 : Fail(u"Cannot stop service( Error = %d )");
  if (start) return StartNamedService() ? 0 : Fail(u"Cannot start service( Error = %d )");
  if (closeEvents) {
    ServiceCallBackFn(SERVICE_CONTROL_PAUSE);
    return 0;
  }
  if (!QueryNamedService(&status)) return Fail(u"Cannot get service status(Error = %d)");
  if (status.dwCurrentState >= SERVICE_STOPPED && status.dwCurrentState <= SERVICE_PAUSED) {
    PrintWide(u"%s\n", kStateTexts[status.dwCurrentState - 1]);
  }
  if (statusOnly) return 0;
  // Launched by the service manager without arguments.
  if (status.dwCurrentState == SERVICE_START_PENDING) return RunDispatcher();
  return 0;
}

int ServiceProgramMain(int argc, WCHAR* const* argv, NBService& service) {
  SetProcessService(&service);
  int result = ServiceCommand(argc, argv);
  service.StopThreads();
  if (ServiceHost* host = ServiceHost::Existing()) host->JoinWorker();
  SetProcessService(nullptr);
  return result;
}
