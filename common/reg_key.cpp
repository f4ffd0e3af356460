// Registry keys opened from textual paths.
#include "RegKey.h"

#include <cstring>
#include <iterator>
#include <string_view>

#include "nb/text.h"

namespace {

struct RootName {
  std::u16string_view name;
  HKEY key;
};

// Compared exactly: the names are case-sensitive.
const RootName kRootNames[] = {
    {u"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},     {u"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {u"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},   {u"HKEY_USERS", HKEY_USERS},
    {u"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

HKEY RootNamed(std::u16string_view name) {
  for (const RootName& root : kRootNames) {
    if (root.name == name) return root.key;
  }
  return nullptr;
}

}  // namespace

RegKey::RegKey() : root_(nullptr), key_(nullptr), path_{}, className_{}, information_{} {}

RegKey::~RegKey() {
  if (key_) RegCloseKey(key_);
  if (root_) RegCloseKey(root_);
}

bool RegKey::Done(LSTATUS result) {
  SetLastError(static_cast<DWORD>(result));
  return result == ERROR_SUCCESS;
}

bool RegKey::Open(LPCWSTR path) {
  if (!path) return Done(ERROR_INVALID_PARAMETER);
  std::u16string_view text(path, nb::text::Utf16Length(path, REGKEY_PATH_UNITS));
  if (text.size() >= REGKEY_PATH_UNITS) return Done(ERROR_INVALID_PARAMETER);
  size_t separator = text.find(u'\\');
  if (separator == std::u16string_view::npos) return Done(ERROR_INVALID_PARAMETER);
  HKEY root = RootNamed(text.substr(0, separator));
  if (!root) return Done(ERROR_INVALID_PARAMETER);

  std::u16string subKey(text.substr(separator + 1));
  HKEY opened = nullptr;
  LSTATUS result = RegOpenKeyExW(root, subKey.c_str(), 0, KEY_ALL_ACCESS, &opened);
  if (result != ERROR_SUCCESS) return Done(result);
  if (key_) RegCloseKey(key_);
  key_ = opened;
  root_ = root;
  std::memcpy(path_, text.data(), text.size() * sizeof(WCHAR));
  path_[text.size()] = 0;

  // The class buffer is offered with the size of its own field.
  DWORD classLength = static_cast<DWORD>(std::size(className_));
  information_ = {};
  className_[0] = 0;
  if (RegQueryInfoKeyW(key_, className_, &classLength, nullptr, &information_.subKeys, &information_.maxSubKeyLength,
                       &information_.maxClassLength, &information_.values, &information_.maxValueNameLength,
                       &information_.maxValueLength, &information_.securityDescriptorLength,
                       &information_.lastWriteTime) != ERROR_SUCCESS) {
    information_ = {};
    className_[0] = 0;
  }
  return Done(ERROR_SUCCESS);
}

bool RegKey::ReadValue(LPCWSTR name, LPBYTE buffer, LPDWORD size) {
  return Done(RegQueryValueExW(key_, name, nullptr, nullptr, buffer, size));
}

bool RegKey::ReadNumber(LPCWSTR name, INT* value) {
  if (!value) return Done(ERROR_INVALID_PARAMETER);
  INT number = 0;
  DWORD size = sizeof number;
  LSTATUS result = RegQueryValueExW(key_, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&number), &size);
  // A shorter value would leave part of the number unread.
  if (result == ERROR_SUCCESS && size != sizeof number) result = ERROR_INVALID_DATA;
  if (result == ERROR_SUCCESS) *value = number;
  return Done(result);
}

bool RegKey::WriteNumber(LPCWSTR name, INT value) {
  return Done(RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value));
}

bool RegKey::WriteBinary(LPCWSTR name, const BYTE* data, DWORD length) {
  return Done(RegSetValueExW(key_, name, 0, REG_BINARY, data, length));
}
