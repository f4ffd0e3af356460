// nbctl's ties to the running machine that are not commands: the language modules beside
// the program, its registration as a trusted process for its lifetime (so that it reaches
// the hidden store, as the console does), interruption by signals, and the console's
// notification after a change.
#pragma once

#include <string>

#include <windows.h>

#include "VAULTSdk.h"
#include "output.h"

namespace nb::nbctl {

// The module "<program folder>\<base>.<language>" loaded as a text source; null when it
// is missing.
HMODULE LoadLanguageModule(const char16_t* base);
// Texts of a module by number (empty without a module or text).
TextLoader ModuleTexts(HMODULE module);

// Registers this process in the driver's global trusted list for the life of the object.
class TrustedRegistration {
 public:
  explicit TrustedRegistration(CVAULTObj& vault);
  ~TrustedRegistration();
  TrustedRegistration(const TrustedRegistration&) = delete;
  TrustedRegistration& operator=(const TrustedRegistration&) = delete;
  bool registered() const { return registered_; }

 private:
  CVAULTObj& vault_;
  _LCK_PROC_INFORMATION record_{};
  bool registered_ = false;
};

// SIGINT, SIGTERM and SIGHUP end blocking reads and loops instead of the process, so that
// the registration is withdrawn on the way out.
void CatchInterrupts();
bool Interrupted();

// Tells a running console that the locks changed (it reloads its list).
void NotifyConsole();

}  // namespace nb::nbctl
