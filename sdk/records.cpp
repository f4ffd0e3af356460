// Decoding and comparing stored lock and account records.
#include "records.h"

#include <algorithm>
#include <cstring>

namespace vault {

namespace {

// A field of `units` code units holds a NUL.
template <size_t units>
bool Terminated(const WCHAR (&field)[units]) {
  return std::find(field, field + units, u'\0') != field + units;
}

// Equal up to the first NUL of each, never reading past the field.
template <size_t units>
bool FieldsEqual(const WCHAR (&a)[units], const WCHAR (&b)[units]) {
  for (size_t i = 0; i < units; ++i) {
    if (a[i] != b[i]) return false;
    if (a[i] == u'\0') return true;
  }
  return true;
}

template <class Record>
void CopyStored(const void* bytes, size_t size, Record* out) {
  if (!bytes) size = 0;
  size_t taken = std::min(size, sizeof(Record));
  if (taken) std::memcpy(out, bytes, taken);
  std::memset(reinterpret_cast<unsigned char*>(out) + taken, 0, sizeof(Record) - taken);
}

}  // namespace

bool IsWellFormed(const _LCK_INFORMAION& lock) { return Terminated(lock.path) && Terminated(lock.owner); }

bool IsWellFormed(const _PWDTBL& account) {
  return Terminated(account.user) && Terminated(account.password) && Terminated(account.comment);
}

bool DecodeLock(const void* bytes, size_t size, _LCK_INFORMAION* out) {
  CopyStored(bytes, size, out);
  return IsWellFormed(*out);
}

bool DecodePwd(const void* bytes, size_t size, _PWDTBL* out) {
  CopyStored(bytes, size, out);
  return IsWellFormed(*out);
}

bool SameLock(const _LCK_INFORMAION& a, const _LCK_INFORMAION& b) {
  return a.serial == b.serial && FieldsEqual(a.path, b.path);
}

bool SameUser(const _PWDTBL& a, const _PWDTBL& b) { return FieldsEqual(a.user, b.user); }

bool SamePassword(const _PWDTBL& a, const _PWDTBL& b) { return FieldsEqual(a.password, b.password); }

}  // namespace vault
