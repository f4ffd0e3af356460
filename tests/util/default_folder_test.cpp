// The default lock folder: its name and the databases' names, a Windows folder too long to
// take, locking, pausing and releasing it through the filter driver, the answers about
// it, the driver file and the driver's version.
#include <string>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "default_folder.h"
#include "nb/machine_defaults.h"
#include "util_machine.h"

namespace util_test {
namespace {

using DefaultFolderTest = UtilTest;

void SetWindowsFolder(const std::u16string& folder) {
  UtilMachine::SetValue(std::u16string(nb::machine::kEnvironmentKey).c_str(), u"SystemRoot", REG_SZ, folder.c_str(),
                        static_cast<DWORD>((folder.size() + 1) * sizeof(WCHAR)));
}

TEST_F(DefaultFolderTest, FolderAndDatabaseNames) {
  WCHAR out[DEFAULT_FOLDER_UNITS];
  EXPECT_EQ(GetDefaultLockFolder(out), 30);
  EXPECT_EQ(std::u16string(out), kDefaultFolder);
  EXPECT_EQ(GetDbPath(out, DB_USER), 35);
  EXPECT_EQ(std::u16string(out), u"C:\\Windows\\Application Data\\NB\\user");
  EXPECT_EQ(GetDbPath(out, DB_LOCK), 35);
  EXPECT_EQ(std::u16string(out), u"C:\\Windows\\Application Data\\NB\\lock");
  for (int index : {-1, 2, 1000}) {
    out[0] = u'x';
    EXPECT_EQ(GetDbPath(out, index), 0) << index;
    EXPECT_EQ(out[0], 0) << index;
  }
  EXPECT_EQ(nbutil::DriverFileOf(kDefaultFolder, 3, 6), u"C:\\Windows\\Application Data\\NB\\nbfs36.sys");
}

TEST_F(DefaultFolderTest, AWindowsFolderLongerThanNinetyNineCharactersIsNotCutIntoAnotherPath) {
  std::u16string fits = u"C:\\" + std::u16string(96, u'w');  // 99 characters
  SetWindowsFolder(fits);
  WCHAR out[DEFAULT_FOLDER_UNITS];
  EXPECT_EQ(GetDefaultLockFolder(out), 99 + 20);
  EXPECT_EQ(std::u16string(out), fits + u"\\Application Data\\NB");

  SetWindowsFolder(fits + u"x");  // 100 characters: a cut would name "C:\www...w"
  out[0] = u'x';
  EXPECT_EQ(GetDefaultLockFolder(out), 0);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(GetDbPath(out, DB_LOCK), 0);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(Quietly([] { return LockDefaultFolder(); }), 0);
  EXPECT_EQ(GetLockCount(), 0) << "nothing was locked under a cut name";
  EXPECT_EQ(CheckDefaultFolder(), DEFAULT_FOLDER_ERROR);
  EXPECT_EQ(CheckVAULTDriverPath(3, 6), ERROR_FILENAME_EXCED_RANGE);
}

TEST_F(DefaultFolderTest, LockPauseResumeAndReleaseGoThroughTheDriver) {
  ASSERT_EQ(Quietly([] { return LockDefaultFolder(); }), 1);
  ASSERT_EQ(GetLockCount(), 1);
  _LCK_INFORMAION lock;
  ASSERT_EQ(GetLockInfo(&lock, 1), 1);
  EXPECT_EQ(lock.type, LCK_TYPE_FOLDER);
  EXPECT_EQ(lock.drive, u'C');
  EXPECT_EQ(std::u16string(lock.path), u"\\Windows\\Application Data\\NB");
  EXPECT_EQ(lock.mode, 1);
  EXPECT_EQ(lock.timeout, 0);
  EXPECT_EQ(Quietly([] { return LockDefaultFolder(); }), 0) << "the driver refuses a second entry";

  EXPECT_EQ(Quietly([] { return PauseDefaultFolder(); }), 1);
  EXPECT_EQ(Quietly([] { return ResumeDefaultFolder(); }), 1);
  EXPECT_EQ(Quietly([] { return ReleaseDefaultFolder(0); }), 1);
  EXPECT_EQ(GetLockCount(), 0);
  EXPECT_EQ(Quietly([] { return ReleaseDefaultFolder(0); }), 0) << "nothing to unlock";
  EXPECT_EQ(Quietly([] { return ReleaseDefaultFolder(1); }), 1) << "forced";
  EXPECT_EQ(Quietly([] { return ResumeDefaultFolder(); }), 0);
}

// A failed unlock or pause is tolerated while the folder is there, and counts when it is
// missing.
TEST_F(DefaultFolderTest, FailuresCountOnlyWhenTheFolderIsMissing) {
  EXPECT_EQ(CheckDefaultFolder(), DEFAULT_FOLDER_OPEN);
  EXPECT_EQ(Quietly([] { return ReleaseDefaultFolderEx(); }), 1);
  EXPECT_EQ(Quietly([] { return PauseDefaultFolder(); }), 1);

  std::filesystem::remove_all(machine.Folder('C') / "Windows" / "Application Data");
  EXPECT_EQ(CheckDefaultFolder(), DEFAULT_FOLDER_MISSING);
  EXPECT_EQ(Quietly([] { return ReleaseDefaultFolderEx(); }), 0);
  EXPECT_EQ(Quietly([] { return PauseDefaultFolder(); }), 0);
}

TEST(DefaultFolderAnswerTest, SystemErrorsGiveTheFourAnswers) {
  struct Case {
    DWORD error;
    int answer;
  };
  const Case cases[] = {
      {ERROR_SUCCESS, DEFAULT_FOLDER_OPEN},         {ERROR_ACCESS_DENIED, DEFAULT_FOLDER_DENIED},
      {ERROR_FILE_NOT_FOUND, DEFAULT_FOLDER_MISSING}, {ERROR_PATH_NOT_FOUND, DEFAULT_FOLDER_MISSING},
      {ERROR_NOT_READY, DEFAULT_FOLDER_ERROR},       {ERROR_SHARING_VIOLATION, DEFAULT_FOLDER_ERROR},
  };
  for (const Case& c : cases) EXPECT_EQ(nbutil::DefaultFolderAnswer(c.error), c.answer) << c.error;
}

TEST_F(DefaultFolderTest, DriverFileAndVersion) {
  EXPECT_EQ(CheckVAULTDriverPath(3, 6), ERROR_FILE_NOT_FOUND);
  std::FILE* file = std::fopen((machine.Folder('C') / "Windows/Application Data/NB/nbfs36.sys").c_str(), "w");
  ASSERT_NE(file, nullptr);
  std::fclose(file);
  EXPECT_EQ(CheckVAULTDriverPath(3, 6), 0);
  EXPECT_EQ(CheckVAULTDriverPath(3, 7), ERROR_FILE_NOT_FOUND);

  int major = -1, minor = -1;
  EXPECT_EQ(VAULTVersion(&major, &minor), 0);
  EXPECT_EQ(major, 3);
  EXPECT_EQ(minor, 6);
}

}  // namespace
}  // namespace util_test
