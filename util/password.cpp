// CreatePassword: the salted password hashed with SHA-0, its hexadecimal text hashed with
// SHA-1 (libcrypto), both digests written in lower-case hexadecimal.
#include "password.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

#include "nb/text.h"
#include "sha0.h"

namespace nbutil {

namespace {

constexpr size_t kSaltedUnits = 259;  // a 260-unit buffer with its NUL

ShaDigest Sha1(std::string_view data) {
  ShaDigest digest{};
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha1(), nullptr);
  return digest;
}

// `text` cut at `units`, stepping back over a high surrogate whose partner was cut off.
std::u16string_view CutUnits(std::u16string_view text, size_t units) {
  if (text.size() <= units) return text;
  size_t length = units;
  if (length > 0 && text[length - 1] >= 0xD800 && text[length - 1] <= 0xDBFF) --length;
  return text.substr(0, length);
}

}  // namespace

std::u16string SaltedPassword(std::u16string_view password) {
  std::u16string salted = u"QUILL[";
  salted += password;
  salted += u"]HARBOR";
  return std::u16string(CutUnits(salted, kSaltedUnits));
}

std::string DigestOfBytes(std::string_view bytes) { return HexDigest(Sha1(HexDigest(Sha0(bytes)))); }

std::u16string PasswordDigest(std::u16string_view password) {
  // The ANSI code page is UTF-8: the whole salted text is converted (a character may take
  // three bytes, so no byte limit cuts a long password short).
  std::string ansi = nb::text::Utf16ToUtf8(SaltedPassword(password));
  return nb::text::Utf8ToUtf16(DigestOfBytes(ansi));
}

std::u16string WidenCut(const char* ansi, size_t units) {
  if (!ansi) return {};
  return std::u16string(CutUnits(nb::text::Utf8ToUtf16(ansi), units));
}

_PWDTBL AdminRecord(const char* user, const char* password) {
  _PWDTBL record;
  std::memset(&record, 0, sizeof record);
  std::u16string name = WidenCut(user, PWD_USER_UNITS - 1);
  std::copy(name.begin(), name.end(), record.user);
  std::u16string digest = PasswordDigest(WidenCut(password, kPasswordUnits));
  std::copy(digest.begin(), digest.end(), record.password);
  return record;
}

}  // namespace nbutil
