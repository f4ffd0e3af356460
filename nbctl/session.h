// The login of nbctl, as the console logs in: the user database first, the registry's
// administrator copied into an empty one, the first administrator created when there is
// no account anywhere; a user database that cannot be opened is an error, never taken as
// empty.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "context.h"

namespace nb::nbctl {

// Logs in (or creates the first administrator) into `context.account`; kExitOk or the
// exit code of the failure, which it has reported.
int LogIn(Context& context);

// Reads a new password: one line of standard input with --password-stdin, else twice
// from the terminal. Nullopt (after reporting) when none can be read.
struct NewPassword {
  std::u16string password;
  std::u16string again;
};
std::optional<NewPassword> ReadNewPassword(Context& context, const std::string& whose);

// Whether the gdbm file behind a drive path can be opened for reading.
bool StoreOpens(const std::u16string& drivePath);

}  // namespace nb::nbctl
