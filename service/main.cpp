// NBSvc: the service program and its command-line tool.
#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>
#include <winsvc.h>

#include "nb/text.h"
#include "nb/win/socket_channel.h"
#include "service_program.h"

namespace {

ScmDriverInstaller installer;
ThreadLauncher launcher;
}  // namespace

int main(int argc, char** argv) {
  nb::win::UseMachineFromEnvironment();
  std::vector<std::u16string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(nb::text::Utf8ToUtf16(argv[i]));
  std::vector<WCHAR*> wide;
  for (std::u16string& argument : arguments) wide.push_back(argument.data());
  wide.push_back(nullptr);

  NBService* service = new NBService(installer, launcher);
  int result = ServiceProgramMain(argc, wide.data(), *service);
  std::fflush(stdout);
  // Exit code -1 reaches the system as the all-ones value.
  std::_Exit(result);
}
