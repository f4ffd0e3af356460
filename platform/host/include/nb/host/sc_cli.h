// `nbhost sc ...`: the running host's services, through the service calls of libnbwin.
#pragma once

#include "nb/host/options.h"

namespace nb::host {

// Prints the outcome; 0 on success, 1 on a refusal or when no host runs.
int RunScCommand(const HostCommand& command);

}  // namespace nb::host
