// nbctl's commands over the running system. Each returns the exit code, having printed its
// output or its one failure line.
#pragma once

#include "context.h"

namespace nb::nbctl {

int RunStatus(Context& context);
int RunList(Context& context);
// lock, unlock, pause, resume, mode, timeout
int RunLockCommand(Context& context);
int RunTrust(Context& context);
int RunLog(Context& context);
int RunAccount(Context& context);
int RunDefaults(Context& context);

// The whole program after the command line was read: service check, registration, login,
// the command. `out` receives the command's output.
int RunCommand(const Options& options, FILE* out);

}  // namespace nb::nbctl
