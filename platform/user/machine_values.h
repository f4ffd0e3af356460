// Reading the machine's settings from its hive with the registry calls: one key open for
// the life of the object, its string and number values decoded with their lengths checked.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <windows.h>

namespace nb::win {

class SettingsKey {
 public:
  // Opens `path` below `root` for reading; opened() tells whether that worked.
  SettingsKey(HKEY root, std::u16string_view path);
  ~SettingsKey();
  SettingsKey(const SettingsKey&) = delete;
  SettingsKey& operator=(const SettingsKey&) = delete;

  bool opened() const { return key_ != nullptr; }
  // A REG_SZ or REG_EXPAND_SZ value up to its first NUL; `type` gets which.
  std::optional<std::u16string> String(std::u16string_view name, DWORD* type = nullptr) const;
  // A REG_DWORD value of exactly 4 bytes.
  std::optional<DWORD> Number(std::u16string_view name) const;

 private:
  HKEY key_ = nullptr;
};

// Parses one to `maxDigits` hexadecimal digits and nothing else.
std::optional<DWORD> ParseHex(std::u16string_view text, size_t maxDigits);
// Parses one to nine decimal digits and nothing else.
std::optional<DWORD> ParseDecimal(std::u16string_view text);

}  // namespace nb::win
