// The console's profile as its settings file holds it, read without the GUI library: the
// last user, which nbctl logs in as when no --user is given.
#pragma once

#include <string>
#include <string_view>

namespace nb::nbctl {

// The "User" value of the "[User]" section of the console's settings text (an INI file as
// Qt writes it: quotes and backslash escapes, \xHHHH for other characters); empty when
// there is none or it does not fit an account name.
std::u16string ProfileUser(std::string_view settingsText);

}  // namespace nb::nbctl
