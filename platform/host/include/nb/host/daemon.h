// The commands of nbhost: start a host on a machine root (in the foreground or as a
// daemon), stop it, tell whether it runs. Each returns the process exit code.
#pragma once

#include "nb/host/options.h"

namespace nb::host {

int StartHost(const HostCommand& command);
int StopHost(const HostCommand& command);
// 0 when a host runs on the root, 3 when none does (as init scripts answer).
int HostStatus(const HostCommand& command);

}  // namespace nb::host
