// The pieces of the Windows environment that are plain rules: %NAME% expansion and the
// profile name of a Linux user.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace nb::win {

// A variable's value by its name (as written between the percent signs), or nullopt.
using VariableLookup = std::function<std::optional<std::u16string>(std::u16string_view name)>;

// Expands each %NAME% that `lookup` knows; an unknown or empty name stays as written
// with both its percent signs, and a percent sign without a closing one stays too.
std::u16string ExpandVariables(std::u16string_view text, const VariableLookup& lookup);

// Variable names compare ignoring case (ASCII letters).
bool SameVariableName(std::u16string_view a, std::u16string_view b);

// The name of a Linux user's profile folder and USERNAME: root is "Administrator",
// another user its login, a user without a password entry its number.
std::u16string ProfileUserName(uint32_t uid);

}  // namespace nb::win
