// The administrator account, the defaults for new locks and the brand code in the service
// key: sizes, cuts, exact comparisons, missing values and a missing key.
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "nb/text.h"
#include "util_machine.h"

namespace util_test {
namespace {

using AdminSettingsTest = UtilTest;

std::u16string Digest(const std::u16string& password) {
  WCHAR digest[PASSWORD_DIGEST_UNITS];
  CreatePassword(password.c_str(), 0, digest, PASSWORD_DIGEST_UNITS);
  return digest;
}

TEST_F(AdminSettingsTest, AdmSetWritesTheRecordAdmCheckFindsIt) {
  ASSERT_EQ(AdmSet("Admin", "secret"), 1);
  _PWDTBL stored;
  std::memset(&stored, 0x5A, sizeof stored);
  ASSERT_EQ(AdmGet(&stored), 1);
  EXPECT_EQ(std::u16string(stored.user), u"Admin");
  EXPECT_EQ(std::u16string(stored.password), Digest(u"secret"));
  EXPECT_EQ(stored.admin, 0);
  EXPECT_EQ(stored.comment[0], 0);
  EXPECT_EQ(stored.user[6], 0) << "the record is cleared";

  struct Case {
    const char* user;
    const char* password;
    int result;
  };
  const Case cases[] = {
      {"Admin", "secret", 1}, {"admin", "secret", 0}, {"ADMIN", "secret", 0},
      {"Admin", "Secret", 0}, {"Admin", "", 0},       {"Admin2", "secret", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(AdmCheck(c.user, c.password), c.result) << c.user << " " << c.password;
}

TEST_F(AdminSettingsTest, PasswordsAreTakenAtMostAHundredUnitsLong) {
  std::string hundred(100, 'p');
  hundred[99] = 'q';  // the last character counts
  ASSERT_EQ(AdmSet("Admin", hundred.c_str()), 1);
  _PWDTBL stored;
  ASSERT_EQ(AdmGet(&stored), 1);
  EXPECT_EQ(std::u16string(stored.password), Digest(nb::text::Utf8ToUtf16(hundred)));
  EXPECT_EQ(AdmCheck("Admin", hundred.c_str()), 1);
  EXPECT_EQ(AdmCheck("Admin", hundred.substr(0, 99).c_str()), 0);

  std::string longer = hundred + "tail";
  ASSERT_EQ(AdmSet("Admin", longer.c_str()), 1);
  EXPECT_EQ(AdmCheck("Admin", hundred.c_str()), 1) << "cut at 100 units";
  EXPECT_EQ(AdmCheck("Admin", (hundred + "other").c_str()), 1);
}

TEST_F(AdminSettingsTest, ALongUserNameStaysTerminatedInsideItsField) {
  std::string name(60, 'u');
  ASSERT_EQ(AdmSet(name.c_str(), "pw"), 1);
  _PWDTBL stored;
  ASSERT_EQ(AdmGet(&stored), 1);
  EXPECT_EQ(std::u16string(stored.user), std::u16string(49, u'u'));
  EXPECT_EQ(AdmCheck(name.c_str(), "pw"), 1) << "checked with the same cut";
}

TEST_F(AdminSettingsTest, AdmSetExWritesTheRecordUnchanged) {
  _PWDTBL record;
  std::memset(&record, 0, sizeof record);
  std::memcpy(record.user, u"Boss", 5 * sizeof(WCHAR));
  std::u16string digest = Digest(u"pw");
  std::memcpy(record.password, digest.c_str(), (digest.size() + 1) * sizeof(WCHAR));
  record.admin = 1;
  std::memcpy(record.comment, u"the administrator", 18 * sizeof(WCHAR));
  ASSERT_EQ(AdmSetEx(&record), 1);
  _PWDTBL stored;
  ASSERT_EQ(AdmGet(&stored), 1);
  EXPECT_EQ(std::memcmp(&stored, &record, sizeof record), 0);
  EXPECT_EQ(AdmCheck("Boss", "pw"), 1);
}

TEST_F(AdminSettingsTest, AUserValueOfAnyOtherSizeCountsAsMissing) {
  _PWDTBL record{};
  for (DWORD size : {DWORD{0}, DWORD{403}, DWORD{405}, DWORD{808}}) {
    std::string bytes(size, 'x');
    UtilMachine::SetValue(kServiceKey, u"USER", REG_BINARY, bytes.data(), size);
    std::memset(&record, 0x5A, sizeof record);
    EXPECT_EQ(AdmGet(&record), 0) << size;
    EXPECT_EQ(record.user[0], 0) << "cleared: " << size;
    EXPECT_EQ(AdmCheck("x", "x"), 0) << size;
  }
  UtilMachine::DeleteValue(kServiceKey, u"USER");
  EXPECT_EQ(AdmGet(&record), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(AdminSettingsTest, DefaultOptionsRoundTripAndStayInRange) {
  int mode = -1, timeout = -1;
  EXPECT_EQ(GetDefOption(&mode, &timeout), 0) << "no DEFAULT value";
  EXPECT_EQ(mode, 0);
  EXPECT_EQ(timeout, 0);

  ASSERT_EQ(SetDefOption(4, 30), 1);
  EXPECT_EQ(GetDefOption(&mode, &timeout), 1);
  EXPECT_EQ(mode, 4);
  EXPECT_EQ(timeout, 30);

  // Values out of range (another program, a hand edit) never reach a caller that turns
  // minutes into seconds.
  struct Case {
    int stored;
    int read;
  };
  const Case cases[] = {{10000, 10000}, {10001, 10000}, {0x7FFFFFFF, 10000}, {-1, 0}, {-0x7FFFFFFF - 1, 0}, {0, 0}};
  for (const Case& c : cases) {
    ASSERT_EQ(SetDefOption(1, c.stored), 1);
    ASSERT_EQ(GetDefOption(&mode, &timeout), 1);
    EXPECT_EQ(timeout, c.read) << c.stored;
  }

  UtilMachine::SetValue(kServiceKey, u"DEFAULT", REG_BINARY, "12345678x", 9);
  EXPECT_EQ(GetDefOption(&mode, &timeout), 0) << "nine bytes";
}

TEST_F(AdminSettingsTest, CompanyCode) {
  EXPECT_EQ(GetCompany(), 0);
  ASSERT_EQ(SetCompany(2), 1);
  EXPECT_EQ(GetCompany(), 2);
  DWORD type = 0;
  BYTE data[8];
  DWORD size = sizeof data;
  HKEY key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  ASSERT_EQ(RegQueryValueExW(key, u"COMPANY", nullptr, &type, data, &size), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(size, 4u);
}

TEST_F(AdminSettingsTest, WithoutTheKeyEveryCallFailsAndNothingCreatesIt) {
  HKEY services;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\CurrentControlSet\\Services", 0, KEY_ALL_ACCESS, &services),
            ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteKeyW(services, u"NBAdmin"), ERROR_SUCCESS);
  RegCloseKey(services);

  _PWDTBL record{};
  int mode, timeout;
  EXPECT_EQ(AdmSet("Admin", "pw"), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(AdmSetEx(&record), 0);
  EXPECT_EQ(AdmGet(&record), 0);
  EXPECT_EQ(AdmCheck("Admin", "pw"), 0);
  EXPECT_EQ(SetDefOption(1, 0), 0);
  EXPECT_EQ(GetDefOption(&mode, &timeout), 0);
  EXPECT_EQ(SetCompany(1), 0);
  EXPECT_EQ(GetCompany(), 0);
  HKEY key;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key), ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace util_test
