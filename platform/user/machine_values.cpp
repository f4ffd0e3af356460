// The machine's settings read from its hive.
#include "machine_values.h"

#include <cstring>
#include <vector>

namespace nb::win {

SettingsKey::SettingsKey(HKEY root, std::u16string_view path) {
  std::u16string name(path);
  if (RegOpenKeyExW(root, name.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS) key_ = nullptr;
}

SettingsKey::~SettingsKey() {
  if (key_) RegCloseKey(key_);
}

std::optional<std::u16string> SettingsKey::String(std::u16string_view name, DWORD* type) const {
  if (!key_) return std::nullopt;
  std::u16string valueName(name);
  DWORD found = REG_NONE;
  DWORD size = 0;
  if (RegQueryValueExW(key_, valueName.c_str(), nullptr, &found, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
  if (found != REG_SZ && found != REG_EXPAND_SZ) return std::nullopt;
  std::vector<BYTE> data(size);
  // The value may change between the two queries: the second size is the one that counts.
  if (RegQueryValueExW(key_, valueName.c_str(), nullptr, &found, data.data(), &size) != ERROR_SUCCESS ||
      (found != REG_SZ && found != REG_EXPAND_SZ) || size > data.size())
    return std::nullopt;
  std::u16string text(size / sizeof(WCHAR), u'\0');
  if (!text.empty()) std::memcpy(text.data(), data.data(), text.size() * sizeof(WCHAR));
  text.resize(std::min(text.size(), text.find(u'\0')));
  if (type) *type = found;
  return text;
}

std::optional<DWORD> SettingsKey::Number(std::u16string_view name) const {
  if (!key_) return std::nullopt;
  std::u16string valueName(name);
  DWORD type = REG_NONE;
  DWORD number = 0;
  DWORD size = sizeof number;
  if (RegQueryValueExW(key_, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof number)
    return std::nullopt;
  return number;
}

std::optional<DWORD> ParseHex(std::u16string_view text, size_t maxDigits) {
  if (text.empty() || text.size() > maxDigits) return std::nullopt;
  DWORD value = 0;
  for (char16_t c : text) {
    DWORD digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      return std::nullopt;
    }
    value = (value << 4) | digit;
  }
  return value;
}

std::optional<DWORD> ParseDecimal(std::u16string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  DWORD value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c - u'0');
  }
  return value;
}

}  // namespace nb::win
