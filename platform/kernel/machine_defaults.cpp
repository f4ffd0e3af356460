// The machine's first-boot settings, written into the hive when missing.
#include "nb/kernel/machine_defaults.h"

#include <cstdio>
#include <string>
#include <vector>

#include "nb/kernel/registry.h"
#include "nb/machine_defaults.h"

namespace nb::kernel {

namespace {

// The machine writes its own keys as root, from the System process.
constexpr RegistryCaller kMachine{0, 4};

// A value to write when absent.
struct Seed {
  ULONG type;
  std::vector<BYTE> data;
};

// A string as Windows writers store it: UTF-16 with its NUL.
Seed StringSeed(ULONG type, std::u16string_view text) {
  Seed seed{type, {}};
  const auto* bytes = reinterpret_cast<const BYTE*>(text.data());
  seed.data.assign(bytes, bytes + text.size() * sizeof(char16_t));
  seed.data.insert(seed.data.end(), sizeof(char16_t), 0);
  return seed;
}

Seed NumberSeed(uint32_t number) {
  Seed seed{REG_DWORD, std::vector<BYTE>(4)};
  for (size_t i = 0; i < 4; ++i) seed.data[i] = static_cast<BYTE>(number >> (8 * i));
  return seed;
}

std::u16string Ascii(const char* text) { return std::u16string(text, text + std::char_traits<char>::length(text)); }

// Opens (creating) `keyPath` below HKEY_LOCAL_MACHINE and writes each of `values` that
// is not there yet.
NTSTATUS SeedKey(RegistryHive& hive, std::u16string_view keyPath,
                 const std::vector<std::pair<std::u16string_view, Seed>>& values) {
  RegistryHandle key;
  NTSTATUS status = hive.OpenKey(kMachine, 0, RegistryRoot::kLocalMachine, keyPath, KEY_ALL_ACCESS, true, &key);
  if (!NT_SUCCESS(status)) return status;
  for (const auto& [name, seed] : values) {
    ULONG type;
    std::vector<BYTE> present;
    status = hive.QueryValue(kMachine, key, name, &type, &present);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND)
      status = hive.SetValue(kMachine, key, name, seed.type, seed.data.data(), seed.data.size());
    if (!NT_SUCCESS(status)) break;
  }
  (void)hive.CloseKey(kMachine, key);
  return status;
}

}  // namespace

uint16_t LanguageIdOfLocale(std::string_view locale) {
  // language[_territory][.codeset][@modifier]
  std::string_view language = locale.substr(0, locale.find_first_of("_.@"));
  std::string_view territory;
  if (language.size() < locale.size() && locale[language.size()] == '_') {
    territory = locale.substr(language.size() + 1);
    territory = territory.substr(0, territory.find_first_of(".@"));
  }
  if (language == "zh" && territory == "CN") return 2052;
  if (language == "ja") return 1041;
  if (language == "ko") return 1042;
  return 1033;
}

NTSTATUS SeedMachineDefaults(RegistryHive& hive, std::string_view locale) {
  std::vector<std::pair<std::u16string_view, Seed>> environment;
  for (const machine::EnvironmentDefault& variable : machine::kEnvironmentDefaults) {
    environment.emplace_back(variable.name, StringSeed(variable.type, variable.value));
  }
  NTSTATUS status = SeedKey(hive, machine::kEnvironmentKey, environment);
  if (!NT_SUCCESS(status)) return status;

  char language[8];
  std::snprintf(language, sizeof language, "%04X", LanguageIdOfLocale(locale));
  status = SeedKey(hive, machine::kLanguageKey, {{machine::kLanguageValue, StringSeed(REG_SZ, Ascii(language))}});
  if (!NT_SUCCESS(status)) return status;

  char build[16];
  std::snprintf(build, sizeof build, "%u", machine::kBuildNumber);
  return SeedKey(hive, machine::kVersionKey,
                 {{machine::kMajorVersionValue, NumberSeed(machine::kMajorVersion)},
                  {machine::kMinorVersionValue, NumberSeed(machine::kMinorVersion)},
                  {machine::kBuildNumberValue, StringSeed(REG_SZ, Ascii(build))}});
}

}  // namespace nb::kernel
