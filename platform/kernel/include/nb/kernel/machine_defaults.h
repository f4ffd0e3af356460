// The machine's first-boot settings in the hive: the Windows environment, the system
// language (from the host's locale) and the Windows version (nb/machine_defaults.h says
// where each lives). nbhost writes them when it boots a machine root; the in-process test
// machine when it is made.
#pragma once

#include <ntifs.h>

#include <cstdint>
#include <string_view>

namespace nb::kernel {

class RegistryHive;

// The Windows language id for a POSIX locale name such as LANG's "ja_JP.UTF-8":
// zh_CN 2052 (Chinese, simplified), ja 1041, ko 1042, anything else 1033 (English).
uint16_t LanguageIdOfLocale(std::string_view locale);

// Writes each default value that the hive does not hold yet, making the keys as needed;
// values already there (a later boot, an administrator's or a test's override) are kept.
// `locale` chooses the system language.
[[nodiscard]] NTSTATUS SeedMachineDefaults(RegistryHive& hive, std::string_view locale);

}  // namespace nb::kernel
