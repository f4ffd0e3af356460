// The shared library exports the functions of its chief header and nothing else.
#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

TEST(NBUtilExports, ExactlyTheChiefHeadersFunctions) {
  const std::set<std::string> expected = {
      "AdmCheck", "AdmGet", "AdmSet", "AdmSetEx", "CreatePassword", "GetDefOption", "SetDefOption", "GetCompany",
      "SetCompany", "GetDefaultLockFolder", "GetDbPath", "LockDefaultFolder", "ReleaseDefaultFolder",
      "ReleaseDefaultFolderEx", "PauseDefaultFolder", "ResumeDefaultFolder", "CheckDefaultFolder",
      "CheckVAULTDriverPath", "VAULTVersion", "GetLockCount", "GetLockInfo", "UnLock", "UnlockAll",
      "CheckUsedFolder", "LockCMP", "CheckDrive", "ResolvShotcut", "CreateLock", "CheckLock", "CreateAdminEvent",
      "TerminateProc", "TerminateProcEx", "SysMessage", "GetDefaultLang", "AddDevice", "RemoveDevice",
      "RemoveDeviceEx", "AddedDeviceList"};
  std::string command = std::string("nm -D --defined-only '") + NBUTIL_LIBRARY + "'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> exported;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    char address[64], kind[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", address, kind, name) == 3 && std::string(kind) == "T") {
      exported.insert(name);
    }
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(exported, expected);
}

}  // namespace
