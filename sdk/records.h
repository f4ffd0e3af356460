// Records read from the databases: decoded with every length checked before a byte is
// used, and the comparisons the store's searches make, bounded by the field sizes.
#pragma once

#include <cstddef>

#include <windows.h>

#include "VAULTSdk.h"

namespace vault {

// Copies a stored content into `out`: a short one is completed with zeros, bytes past the
// record are ignored. False when a string of the result does not end inside its field;
// `out` then holds the bytes but must not be used.
bool DecodeLock(const void* bytes, size_t size, _LCK_INFORMAION* out);
bool DecodePwd(const void* bytes, size_t size, _PWDTBL* out);

// Every string ends inside its field.
bool IsWellFormed(const _LCK_INFORMAION& lock);
bool IsWellFormed(const _PWDTBL& account);

// The identity of a lock: `path` (exact code units) and `serial`; the drive letter and
// every other field do not count.
bool SameLock(const _LCK_INFORMAION& a, const _LCK_INFORMAION& b);
// The identity of an account: `user`, case-sensitive.
bool SameUser(const _PWDTBL& a, const _PWDTBL& b);
bool SamePassword(const _PWDTBL& a, const _PWDTBL& b);

}  // namespace vault

namespace vault {

// The same calls by record type, for the store's walks.
inline bool DecodeRecord(const void* bytes, size_t size, _LCK_INFORMAION* out) { return DecodeLock(bytes, size, out); }
inline bool DecodeRecord(const void* bytes, size_t size, _PWDTBL* out) { return DecodePwd(bytes, size, out); }
inline bool SameIdentity(const _LCK_INFORMAION& a, const _LCK_INFORMAION& b) { return SameLock(a, b); }
inline bool SameIdentity(const _PWDTBL& a, const _PWDTBL& b) { return SameUser(a, b); }

}  // namespace vault
