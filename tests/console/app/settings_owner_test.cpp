// Whose settings an elevated console keeps: the invoking user named by sudo or pkexec.
#include <cstdlib>
#include <optional>
#include <string>

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "settings_owner.h"

namespace {

struct OwnerCase {
  const char* name;
  const char* sudoUid;
  const char* sudoGid;
  const char* pkexecUid;
  bool found;
};

class SettingsOwnerTest : public ::testing::TestWithParam<OwnerCase> {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the elevated case needs root";
    for (const char* name : {"SUDO_UID", "SUDO_GID", "PKEXEC_UID"}) unsetenv(name);
  }
  void TearDown() override {
    for (const char* name : {"SUDO_UID", "SUDO_GID", "PKEXEC_UID"}) unsetenv(name);
  }
  static void Set(const char* name, const char* value) {
    if (value) setenv(name, value, 1);
  }
};

TEST_P(SettingsOwnerTest, TheInvokingUserOwnsTheSettings) {
  const OwnerCase& param = GetParam();
  Set("SUDO_UID", param.sudoUid);
  Set("SUDO_GID", param.sudoGid);
  Set("PKEXEC_UID", param.pkexecUid);
  std::optional<nb::console::SettingsOwner> owner = nb::console::InvokingUser();
  ASSERT_EQ(owner.has_value(), param.found);
  if (!owner) return;
  struct passwd* nobody = getpwuid(65534);
  ASSERT_NE(nobody, nullptr);
  EXPECT_EQ(owner->uid, 65534u);
  EXPECT_EQ(owner->gid, param.sudoGid ? static_cast<gid_t>(std::atoi(param.sudoGid)) : nobody->pw_gid);
  EXPECT_EQ(owner->configFolder, std::string(nobody->pw_dir) + "/.config");
}

INSTANTIATE_TEST_SUITE_P(
    Elevated, SettingsOwnerTest,
    ::testing::Values(OwnerCase{"NotElevated", nullptr, nullptr, nullptr, false},
                      OwnerCase{"Sudo", "65534", "100", nullptr, true},
                      OwnerCase{"Pkexec", nullptr, nullptr, "65534", true},
                      OwnerCase{"SudoFromRoot", "0", "0", nullptr, false},
                      OwnerCase{"Garbage", "65534x", nullptr, nullptr, false},
                      OwnerCase{"Negative", "-5", nullptr, nullptr, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
