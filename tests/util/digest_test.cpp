// The password digest: SHA-0 against the published FIPS 180 vectors, the shared
// compression function against libcrypto's SHA-1, and CreatePassword against a digest the
// test builds from those two.
#include <openssl/evp.h>

#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "NBUtil.h"
#include "nb/text.h"
#include "password.h"
#include "sha0.h"

namespace util_test {
namespace {

nbutil::ShaDigest LibcryptoSha1(std::string_view data) {
  nbutil::ShaDigest digest{};
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha1(), nullptr);
  return digest;
}

std::u16string Created(const std::u16string& password, int digestChars = PASSWORD_DIGEST_UNITS) {
  WCHAR digest[PASSWORD_DIGEST_UNITS + 8];
  std::fill(std::begin(digest), std::end(digest), u'#');
  EXPECT_EQ(CreatePassword(password.c_str(), 0, digest, digestChars), 1);
  return digest;
}

TEST(Sha0Test, PublishedVectors) {
  struct Case {
    std::string message;
    const char* digest;
  };
  const Case cases[] = {
      {"abc", "0164b8a914cd2a5e74c4f7ff082c4d97f1edf880"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "d2516ee1acfa5baf33dfc1c471e438449ef134c8"},
      {std::string(1000000, 'a'), "3232affa48628a26653b5aaa44541fd90d690603"},
      {"", "f96cea198ad1dd5617ac084a3d92c6107708c0ef"},
  };
  for (const Case& c : cases) EXPECT_EQ(nbutil::HexDigest(nbutil::Sha0(c.message)), c.digest) << c.message.size();
}

// With the schedule's rotation the same compression is SHA-1: every padding case (one or
// two final blocks, a length on the block boundary) agrees with libcrypto.
TEST(Sha0Test, TheSharedCompressionWithRotationIsSha1) {
  std::string message;
  for (int length = 0; length <= 200; ++length) {
    EXPECT_EQ(nbutil::ShaHash(message, nbutil::ShaSchedule::kSha1), LibcryptoSha1(message)) << length;
    message += static_cast<char>('a' + length % 26);
  }
}

TEST(CreatePasswordTest, DigestOfTheSaltedPassword) {
  std::string expected = nbutil::HexDigest(LibcryptoSha1(nbutil::HexDigest(nbutil::Sha0("QUILL[]HARBOR"))));
  std::u16string empty = Created(u"");
  EXPECT_EQ(empty.size(), 40u);
  EXPECT_EQ(nb::text::Utf16ToUtf8(empty), expected);

  std::string secret = nbutil::HexDigest(LibcryptoSha1(nbutil::HexDigest(nbutil::Sha0("QUILL[s3cret]HARBOR"))));
  EXPECT_EQ(nb::text::Utf16ToUtf8(Created(u"s3cret")), secret);
  EXPECT_NE(Created(u"s3cret"), Created(u"S3cret"));
  EXPECT_EQ(CreatePassword(nullptr, 0, nullptr, 0), 1);
}

TEST(CreatePasswordTest, TheDigestIsCutToTheCallersRoom) {
  std::u16string whole = Created(u"pw");
  EXPECT_EQ(Created(u"pw", 11), whole.substr(0, 10));
  EXPECT_EQ(Created(u"pw", 1), u"");
  WCHAR untouched[2] = {u'#', 0};
  EXPECT_EQ(CreatePassword(u"pw", 0, untouched, 0), 1);
  EXPECT_EQ(untouched[0], u'#');
}

// Each character of a password counts, also where its ANSI (UTF-8) form is three times
// longer than the characters.
TEST(CreatePasswordTest, AlongPasswordInAnyScriptIsHashedWhole) {
  std::u16string korean(99, u'\uD55C');
  std::u16string other = korean;
  other.back() = u'\uAE00';
  EXPECT_NE(Created(korean), Created(other));
  std::string bytes = nb::text::Utf16ToUtf8(u"QUILL[" + korean + u"]HARBOR");
  EXPECT_EQ(nb::text::Utf16ToUtf8(Created(korean)), nbutil::DigestOfBytes(bytes));
}

}  // namespace
}  // namespace util_test
