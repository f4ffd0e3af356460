// The administrator account, the defaults for new locks and the brand code: values of the
// service key, each read or written in one call through RegKey.
#include <algorithm>
#include <cstring>

#include <windows.h>

#include "NBUtil.h"
#include "RegKey.h"
#include "password.h"

namespace {

constexpr const char16_t* kUserValue = u"USER";
constexpr const char16_t* kDefaultValue = u"DEFAULT";
constexpr const char16_t* kCompanyValue = u"COMPANY";

struct DefaultOptions {
  INT mode;
  INT timeout;  // minutes
};
static_assert(sizeof(DefaultOptions) == 8);

bool OpenAdminKey(RegKey& key) { return key.Open(NBUTIL_ADMIN_KEY); }

int WriteAdmin(const _PWDTBL& record) {
  RegKey key;
  if (!OpenAdminKey(key)) return 0;
  return key.WriteBinary(kUserValue, reinterpret_cast<const BYTE*>(&record), sizeof record) ? 1 : 0;
}

}  // namespace

int AdmGet(_PWDTBL* out) {
  if (!out) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::memset(out, 0, sizeof *out);
  RegKey key;
  if (!OpenAdminKey(key)) return 0;
  // One byte more than the record, so that a longer value is told from an exact one.
  BYTE buffer[sizeof(_PWDTBL) + 1];
  DWORD size = sizeof buffer;
  if (!key.ReadValue(kUserValue, buffer, &size)) return 0;
  if (size != sizeof(_PWDTBL)) {
    SetLastError(ERROR_INVALID_DATA);
    return 0;
  }
  std::memcpy(out, buffer, sizeof *out);
  return 1;
}

int AdmSet(const char* user, const char* password) { return WriteAdmin(nbutil::AdminRecord(user, password)); }

int AdmSetEx(const _PWDTBL* record) {
  if (!record) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return WriteAdmin(*record);
}

int AdmCheck(const char* user, const char* password) {
  _PWDTBL stored;
  if (!AdmGet(&stored)) return 0;
  _PWDTBL given = nbutil::AdminRecord(user, password);
  // Both fields compared within their sizes: a stored record need not end its strings.
  auto same = [](const WCHAR* a, const WCHAR* b, size_t units) {
    for (size_t i = 0; i < units; ++i) {
      if (a[i] != b[i]) return false;
      if (a[i] == 0) return true;
    }
    return true;
  };
  return same(stored.user, given.user, PWD_USER_UNITS) && same(stored.password, given.password, PWD_PASSWORD_UNITS)
             ? 1
             : 0;
}

int GetDefOption(int* mode, int* timeout) {
  if (mode) *mode = 0;
  if (timeout) *timeout = 0;
  RegKey key;
  if (!OpenAdminKey(key)) return 0;
  BYTE buffer[sizeof(DefaultOptions) + 1];
  DWORD size = sizeof buffer;
  if (!key.ReadValue(kDefaultValue, buffer, &size)) return 0;
  if (size != sizeof(DefaultOptions)) {
    SetLastError(ERROR_INVALID_DATA);
    return 0;
  }
  DefaultOptions options;
  std::memcpy(&options, buffer, sizeof options);
  if (mode) *mode = options.mode;
  // A time-out outside 0..10000 minutes (written by hand or by another program) would
  // wrap when callers turn it into seconds.
  if (timeout) *timeout = std::clamp(options.timeout, 0, DEFOPTION_TIMEOUT_MAX);
  return 1;
}

int SetDefOption(int mode, int timeout) {
  RegKey key;
  if (!OpenAdminKey(key)) return 0;
  DefaultOptions options{mode, timeout};
  return key.WriteBinary(kDefaultValue, reinterpret_cast<const BYTE*>(&options), sizeof options) ? 1 : 0;
}

int GetCompany() {
  RegKey key;
  if (!OpenAdminKey(key)) return 0;
  INT code = 0;
  return key.ReadNumber(kCompanyValue, &code) ? code : 0;
}

int SetCompany(int code) {
  RegKey key;
  if (!OpenAdminKey(key)) return 0;
  return key.WriteNumber(kCompanyValue, code) ? 1 : 0;
}

int CreatePassword(const WCHAR* password, int /*length*/, WCHAR* digest, int digestChars) {
  if (!digest || digestChars <= 0) return 1;
  std::u16string text = nbutil::PasswordDigest(password ? std::u16string_view(password) : std::u16string_view());
  size_t units = std::min(text.size(), static_cast<size_t>(digestChars) - 1);
  std::copy_n(text.begin(), units, digest);
  digest[units] = 0;
  return 1;
}
