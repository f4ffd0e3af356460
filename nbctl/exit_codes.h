// The exit codes of nbctl, one per kind of failure, so scripts can tell them apart.
#pragma once

namespace nb::nbctl {

enum ExitCode : int {
  kExitOk = 0,
  kExitServiceDown = 1,  // the Nimbra service is not running
  kExitUsage = 2,        // the command line is not understood
  kExitLogin = 3,        // no login: unknown account, wrong password, no password given
  kExitNotAdmin = 4,     // the command is the administrator's
  kExitRefused = 5,      // a check refused the request (protected folder, nested lock ...)
  kExitSystem = 6,       // the system, the driver or a store failed
};

}  // namespace nb::nbctl
