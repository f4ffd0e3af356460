// The order of every nbctl run: the service must be running, nbctl registers itself as a
// trusted process (as the console does, so it reaches the hidden store), logs in, checks
// the administrator's commands, runs the command and withdraws its registration.
#include <cstdio>

#include "NBUtil.h"
#include "commands.h"
#include "session.h"
#include "system.h"

namespace nb::nbctl {

namespace {

int Dispatch(Context& context) {
  switch (context.options.command) {
    case Command::kList: return RunList(context);
    case Command::kLock:
    case Command::kUnlock:
    case Command::kPause:
    case Command::kResume:
    case Command::kMode:
    case Command::kTimeout: return RunLockCommand(context);
    case Command::kTrust: return RunTrust(context);
    case Command::kLog: return RunLog(context);
    case Command::kAccount: return RunAccount(context);
    case Command::kDefaults: return RunDefaults(context);
    default: return context.Fail(kExitUsage, "no such command");
  }
}

}  // namespace

int RunCommand(const Options& options, FILE* out) {
  if (options.command == Command::kHelp) {
    std::fputs(HelpText().c_str(), out);
    return kExitOk;
  }
  CommandLinePresenter presenter;
  nb::win::ScopedMessageBoxPresenter installed(presenter);
  Context context(options, out, presenter);
  HMODULE consoleModule = LoadLanguageModule(u"NBAdmin");
  HMODULE dialogModule = LoadLanguageModule(u"NBMgrSDK");
  context.consoleTexts = ModuleTexts(consoleModule);
  context.dialogTexts = ModuleTexts(dialogModule);
  CatchInterrupts();

  int code = kExitOk;
  if (options.command == Command::kStatus) {
    code = RunStatus(context);
  } else if (!CheckLock()) {
    code = context.Fail(kExitServiceDown, "the Nimbra service is not running");
  } else {
    TrustedRegistration registration(context.vault);
    if (!registration.registered()) {
      code = context.Fail(kExitSystem, "nbctl cannot register itself with the Nimbra driver");
    } else if ((code = LogIn(context)) == kExitOk) {
      if (NeedsAdministrator(options) && !context.account.admin) {
        code = context.Fail(kExitNotAdmin, "only the administrator may do this");
      } else {
        code = Dispatch(context);
      }
    }
  }
  std::fflush(out);
  if (consoleModule) FreeLibrary(consoleModule);
  if (dialogModule) FreeLibrary(dialogModule);
  return code;
}

}  // namespace nb::nbctl
