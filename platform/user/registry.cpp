// The registry calls: RegOpenKeyExW, RegCreateKeyExW, RegCloseKey, the value calls, the
// enumerations and RegQueryInfoKeyW, each one request (or two, for a predefined key) to the
// machine's hive through the transport.
#include <cstring>
#include <string>

#include <windows.h>

#include "nb/text.h"
#include "nb/win/errors.h"
#include "objects.h"

namespace {

using nb::RegistryRoot;
using nb::win::ProcessHandles;
using nb::win::RegistryKeyHandle;
using nb::win::Transport;
using nb::win::TransportObject;

constexpr size_t kMaxKeyPathUnits = 32767;  // a counted NT name

LSTATUS ErrorOf(NTSTATUS status) { return static_cast<LSTATUS>(nb::win::Win32ErrorFromNtStatus(status)); }

bool PredefinedRoot(HKEY key, RegistryRoot* root) {
  struct Predefined {
    HKEY key;
    RegistryRoot root;
  };
  static const Predefined kPredefined[] = {
      {HKEY_CLASSES_ROOT, RegistryRoot::kClassesRoot}, {HKEY_CURRENT_USER, RegistryRoot::kCurrentUser},
      {HKEY_LOCAL_MACHINE, RegistryRoot::kLocalMachine}, {HKEY_USERS, RegistryRoot::kUsers},
      {HKEY_CURRENT_CONFIG, RegistryRoot::kCurrentConfig},
  };
  for (const Predefined& entry : kPredefined) {
    if (entry.key == key) {
      *root = entry.root;
      return true;
    }
  }
  return false;
}

// A name passed to a call, read up to `limit` units; a null name is the empty one.
// False when it runs past the limit.
bool ReadName(LPCWSTR name, size_t limit, std::u16string* out) {
  out->clear();
  if (!name) return true;
  size_t units = nb::text::Utf16Length(name, limit + 1);
  if (units > limit) return false;
  out->assign(name, units);
  return true;
}

// The key a call works on: an open key of this library, or a predefined key, which is
// opened for the one call with whatever rights the caller may have there.
class Key {
 public:
  Key() = default;
  ~Key() {
    if (temporary_) transport_->CloseObject(object_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;

  // Names the key without opening anything: afterwards object() is 0 for a predefined key.
  LSTATUS Name(HKEY key) {
    if (PredefinedRoot(key, &root_)) {
      transport_ = nb::win::CurrentTransport();
      return transport_ ? ERROR_SUCCESS : ERROR_NOT_READY;
    }
    held_ = ProcessHandles().GetAs<RegistryKeyHandle>(key);
    if (!held_) return ERROR_INVALID_HANDLE;
    transport_ = held_->transport();
    object_ = held_->object();
    return ERROR_SUCCESS;
  }
  // Names the key and makes sure it is open.
  LSTATUS Open(HKEY key) {
    LSTATUS error = Name(key);
    if (error != ERROR_SUCCESS || object_ != 0) return error;
    ULONG disposition;
    NTSTATUS status = transport_->OpenRegistryKey(0, root_, u"", MAXIMUM_ALLOWED, false, &object_, &disposition);
    if (!NT_SUCCESS(status)) return ErrorOf(status);
    temporary_ = true;
    return ERROR_SUCCESS;
  }

  Transport* transport() const { return transport_; }
  TransportObject object() const { return object_; }
  RegistryRoot root() const { return root_; }

 private:
  std::shared_ptr<RegistryKeyHandle> held_;  // keeps the key open while the call runs
  Transport* transport_ = nullptr;
  TransportObject object_ = 0;
  RegistryRoot root_ = RegistryRoot::kAbsolute;
  bool temporary_ = false;
};

LSTATUS OpenOrCreate(HKEY key, LPCWSTR subKey, REGSAM desired, bool create, PHKEY result, LPDWORD disposition) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::u16string path;
  if (!ReadName(subKey, kMaxKeyPathUnits, &path)) return ERROR_INVALID_PARAMETER;
  Key parent;
  LSTATUS error = parent.Name(key);
  if (error != ERROR_SUCCESS) return error;
  TransportObject opened;
  ULONG outcome;
  NTSTATUS status =
      parent.transport()->OpenRegistryKey(parent.object(), parent.root(), path, desired, create, &opened, &outcome);
  if (!NT_SUCCESS(status)) return ErrorOf(status);
  // The handle object closes the key should the table be full.
  HANDLE handle = ProcessHandles().Insert(std::make_shared<RegistryKeyHandle>(parent.transport(), opened));
  if (!handle) return ERROR_NO_SYSTEM_RESOURCES;
  *result = static_cast<HKEY>(handle);
  if (disposition) *disposition = outcome;
  return ERROR_SUCCESS;
}

// Copies `data` out by the rules shared by the value queries: a null buffer asks for the
// size, a short one gets ERROR_MORE_DATA with the size needed.
LSTATUS CopyData(const std::vector<BYTE>& data, LPBYTE buffer, LPDWORD length) {
  auto size = static_cast<DWORD>(data.size());
  if (!length) return ERROR_SUCCESS;
  if (buffer) {
    if (*length < size) {
      *length = size;
      return ERROR_MORE_DATA;
    }
    if (size) std::memcpy(buffer, data.data(), size);
  }
  *length = size;
  return ERROR_SUCCESS;
}

void ToFileTime(LONGLONG time, PFILETIME fileTime) {
  fileTime->dwLowDateTime = static_cast<DWORD>(time);
  fileTime->dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(time) >> 32);
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD, REGSAM desired, PHKEY result) {
  return OpenOrCreate(key, subKey, desired, false, result, nullptr);
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM desired,
                        const LPSECURITY_ATTRIBUTES, PHKEY result, LPDWORD disposition) {
  if (!subKey) return ERROR_INVALID_PARAMETER;
  return OpenOrCreate(key, subKey, desired, true, result, disposition);
}

LSTATUS RegCloseKey(HKEY key) {
  RegistryRoot root;
  if (PredefinedRoot(key, &root)) return ERROR_SUCCESS;
  auto handle = ProcessHandles().GetAs<RegistryKeyHandle>(key);
  if (!handle) return ERROR_INVALID_HANDLE;
  // Only this very key goes, even if the value was closed and reused meanwhile.
  auto removed = ProcessHandles().RemoveIf([&](const nb::win::HandleObject& object) { return &object == handle.get(); });
  return removed.empty() ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  if (!subKey) return ERROR_INVALID_PARAMETER;
  std::u16string path;
  if (!ReadName(subKey, kMaxKeyPathUnits, &path)) return ERROR_INVALID_PARAMETER;
  Key parent;
  LSTATUS error = parent.Name(key);
  if (error != ERROR_SUCCESS) return error;
  TransportObject doomed;
  ULONG disposition;
  NTSTATUS status =
      parent.transport()->OpenRegistryKey(parent.object(), parent.root(), path, DELETE, false, &doomed, &disposition);
  if (!NT_SUCCESS(status)) return ErrorOf(status);
  status = parent.transport()->DeleteRegistryKey(doomed);
  parent.transport()->CloseObject(doomed);
  return ErrorOf(status);
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD nameLength, LPDWORD reserved, LPWSTR keyClass,
                      LPDWORD classLength, PFILETIME lastWriteTime) {
  if (!name || !nameLength || reserved) return ERROR_INVALID_PARAMETER;
  Key target;
  LSTATUS error = target.Open(key);
  if (error != ERROR_SUCCESS) return error;
  std::u16string found;
  LONGLONG written = 0;
  NTSTATUS status = target.transport()->EnumerateRegistryKey(target.object(), index, &found, &written);
  if (status != STATUS_SUCCESS) return ErrorOf(status);
  if (found.size() >= *nameLength) return ERROR_MORE_DATA;
  if (keyClass && classLength && *classLength == 0) return ERROR_MORE_DATA;
  std::memcpy(name, found.c_str(), (found.size() + 1) * sizeof(WCHAR));
  *nameLength = static_cast<DWORD>(found.size());
  if (keyClass && classLength) keyClass[0] = 0;
  if (classLength) *classLength = 0;
  if (lastWriteTime) ToFileTime(written, lastWriteTime);
  return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR valueName, LPDWORD valueNameLength, LPDWORD reserved,
                      LPDWORD type, LPBYTE data, LPDWORD dataLength) {
  if (!valueName || !valueNameLength || reserved || (data && !dataLength)) return ERROR_INVALID_PARAMETER;
  Key target;
  LSTATUS error = target.Open(key);
  if (error != ERROR_SUCCESS) return error;
  std::u16string found;
  ULONG foundType = REG_NONE;
  std::vector<BYTE> bytes;
  NTSTATUS status = target.transport()->EnumerateRegistryValue(target.object(), index, &found, &foundType, &bytes);
  if (status != STATUS_SUCCESS) return ErrorOf(status);
  if (type) *type = foundType;
  if (found.size() >= *valueNameLength) {
    if (dataLength) *dataLength = static_cast<DWORD>(bytes.size());
    return ERROR_MORE_DATA;
  }
  std::memcpy(valueName, found.c_str(), (found.size() + 1) * sizeof(WCHAR));
  *valueNameLength = static_cast<DWORD>(found.size());
  return CopyData(bytes, data, dataLength);
}

LSTATUS RegQueryInfoKeyW(HKEY key, LPWSTR keyClass, LPDWORD classLength, LPDWORD reserved, LPDWORD subKeys,
                         LPDWORD maxSubKeyLength, LPDWORD maxClassLength, LPDWORD values,
                         LPDWORD maxValueNameLength, LPDWORD maxValueLength, LPDWORD securityDescriptorLength,
                         PFILETIME lastWriteTime) {
  if (reserved) return ERROR_INVALID_PARAMETER;
  Key target;
  LSTATUS error = target.Open(key);
  if (error != ERROR_SUCCESS) return error;
  nb::RegistryKeyInfo info;
  NTSTATUS status = target.transport()->QueryRegistryKey(target.object(), &info);
  if (!NT_SUCCESS(status)) return ErrorOf(status);
  if (keyClass && classLength && *classLength > 0) keyClass[0] = 0;
  if (classLength) *classLength = 0;
  if (subKeys) *subKeys = info.subKeys;
  if (maxSubKeyLength) *maxSubKeyLength = info.maxSubKeyNameLength;
  if (maxClassLength) *maxClassLength = 0;
  if (values) *values = info.values;
  if (maxValueNameLength) *maxValueNameLength = info.maxValueNameLength;
  if (maxValueLength) *maxValueLength = info.maxValueDataLength;
  if (securityDescriptorLength) *securityDescriptorLength = 0;
  if (lastWriteTime) ToFileTime(info.lastWriteTime, lastWriteTime);
  return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                         LPDWORD dataLength) {
  if (reserved || (data && !dataLength)) return ERROR_INVALID_PARAMETER;
  std::u16string name;
  if (!ReadName(valueName, nb::kRegistryMaxValueNameLength, &name)) return ERROR_INVALID_PARAMETER;
  Key target;
  LSTATUS error = target.Open(key);
  if (error != ERROR_SUCCESS) return error;
  ULONG foundType = REG_NONE;
  std::vector<BYTE> bytes;
  NTSTATUS status = target.transport()->QueryRegistryValue(target.object(), name, &foundType, &bytes);
  if (!NT_SUCCESS(status)) return ErrorOf(status);
  if (type) *type = foundType;
  return CopyData(bytes, data, dataLength);
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data, DWORD dataLength) {
  if (!data && dataLength) return ERROR_NOACCESS;
  std::u16string name;
  if (!ReadName(valueName, nb::kRegistryMaxValueNameLength, &name)) return ERROR_INVALID_PARAMETER;
  Key target;
  LSTATUS error = target.Open(key);
  if (error != ERROR_SUCCESS) return error;
  return ErrorOf(target.transport()->SetRegistryValue(target.object(), name, type, data, dataLength));
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  std::u16string name;
  if (!ReadName(valueName, nb::kRegistryMaxValueNameLength, &name)) return ERROR_INVALID_PARAMETER;
  Key target;
  LSTATUS error = target.Open(key);
  if (error != ERROR_SUCCESS) return error;
  return ErrorOf(target.transport()->DeleteRegistryValue(target.object(), name));
}
