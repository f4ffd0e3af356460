// The password digest and the account record the registry keeps, as plain functions.
#pragma once

#include <string>
#include <string_view>

#include <windows.h>

#include "NBUtil.h"

namespace nbutil {

// The salted text whose bytes are hashed: "QUILL[<password>]HARBOR", at most 259 units.
std::u16string SaltedPassword(std::u16string_view password);
// hex(SHA-1(hex(SHA-0(bytes)))): the digest of the salted text's ANSI bytes.
std::string DigestOfBytes(std::string_view bytes);
// The digest of a password as CreatePassword writes it.
std::u16string PasswordDigest(std::u16string_view password);

// An ANSI string widened and cut at `units` UTF-16 units (never inside a surrogate pair).
std::u16string WidenCut(const char* ansi, size_t units);

// The administrator record AdmSet writes: the user name in at most 49 units, the digest
// of the password taken at most 100 units long.
_PWDTBL AdminRecord(const char* user, const char* password);

inline constexpr size_t kPasswordUnits = 100;  // the longest password taken

}  // namespace nbutil
