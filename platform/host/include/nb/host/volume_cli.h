// `nbhost volume ...`: the running host's volumes, listed and changed over its socket.
#pragma once

#include "nb/host/options.h"

namespace nb::host {

// Prints the outcome; 0 on success, 1 on a refusal or when no host runs.
int RunVolumeCommand(const HostCommand& command);

}  // namespace nb::host
