// Registry keys opened from textual paths ("HKEY_LOCAL_MACHINE\SYSTEM\..."), with full
// access, for reading and writing values. Every operation leaves the registry's result
// as the thread's last error (0 on success) and returns whether it succeeded.
#pragma once

#include <windows.h>

inline constexpr size_t REGKEY_PATH_UNITS = 256;
inline constexpr size_t REGKEY_CLASS_UNITS = 256;

// What the registry says about the open key.
struct RegKeyInformation {
  DWORD subKeys;
  DWORD maxSubKeyLength;
  DWORD maxClassLength;
  DWORD values;
  DWORD maxValueNameLength;
  DWORD maxValueLength;
  DWORD securityDescriptorLength;
  FILETIME lastWriteTime;
};

class RegKey {
 public:
  RegKey();
  // Closes the key and the root.
  ~RegKey();
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // "<root>\<subkey>", shorter than 256 characters, where the root is one of
  // HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS and
  // HKEY_CURRENT_CONFIG, written exactly so; anything else fails with
  // ERROR_INVALID_PARAMETER. On failure the key open before stays open.
  bool Open(LPCWSTR path);
  // The raw data of a value of any type; `size` is the buffer's size in bytes and gets
  // the value's (ERROR_MORE_DATA when the buffer is too small).
  bool ReadValue(LPCWSTR name, LPBYTE buffer, LPDWORD size);
  // A value of exactly 4 bytes: a longer one fails with ERROR_MORE_DATA, a shorter one
  // with ERROR_INVALID_DATA; `value` changes only on success.
  bool ReadNumber(LPCWSTR name, INT* value);
  bool WriteNumber(LPCWSTR name, INT value);                       // REG_DWORD
  bool WriteBinary(LPCWSTR name, const BYTE* data, DWORD length);  // REG_BINARY

  LPCWSTR Path() const { return path_; }
  LPCWSTR ClassName() const { return className_; }
  const RegKeyInformation& Information() const { return information_; }

 private:
  bool Done(LSTATUS result);

  HKEY root_;
  HKEY key_;
  WCHAR path_[REGKEY_PATH_UNITS];
  WCHAR className_[REGKEY_CLASS_UNITS];
  RegKeyInformation information_;
};
