// Protected folders, folder checks, recent shortcuts, paths and the log line of the lock
// object.
#include <fstream>

#include "nb/text.h"
#include <string>

#include "vault_fixture.h"

namespace vault_test {
namespace {

using util_test::Quietly;

void SetMajorVersion(DWORD major) {
  util_test::UtilMachine::MakeKey(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion");
  util_test::UtilMachine::SetValue(u"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", u"CurrentMajorVersionNumber",
                                   REG_DWORD, &major, sizeof major);
}

TEST_F(VaultTest, ProtectedFoldersByVersion) {
  vault.GetExceptFolder();
  EXPECT_EQ(std::u16string(vault.exceptFolders[1]), u"C:\\Program Files");
  EXPECT_EQ(std::u16string(vault.exceptFolders[4]), u"C:\\Documents and Settings\\Administrator");
  EXPECT_EQ(std::u16string(vault.exceptFolders[6]), u"C:\\Documents and Settings");

  struct Case {
    const char16_t* path;
    int onFive;
    int onSix;
  };
  const Case cases[] = {
      {u"C:\\Program Files", 1, 1},
      {u"c:\\program files", 1, 1},             // case does not matter
      {u"C:\\Program Files\\Nimbra", 0, 1},     // one level inside
      {u"C:\\Program Files\\Nimbra\\bin", 0, 1},
      {u"C:\\Windows\\TEMP", 0, 1},
      {u"C:\\Windows", 1, 1},
      {u"C:", 1, 1},
      {u"C:\\Documents and Settings", 1, 1},
      {u"C:\\Documents and Settings\\Someone", 0, 0},
      {u"C:\\Program Files\\Common Files", 1, 1},
      {u"C:\\Data", 0, 0},
      {u"D:\\Program Files\\X", 0, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(vault.CheckExceptFolder(c.path), c.onFive) << nb::text::Utf16ToUtf8(c.path);
  SetMajorVersion(6);
  for (const Case& c : cases) EXPECT_EQ(vault.CheckExceptFolder(c.path), c.onSix) << nb::text::Utf16ToUtf8(c.path);
  EXPECT_EQ(vault.CheckExceptFolder(nullptr), 0);
}

TEST_F(VaultTest, OnlyAPlainExistingFolderCanBeLocked) {
  machine.MakeFolder('D', "\\Data");
  std::ofstream(machine.Folder('D') / "file.txt") << "x";
  _LCK_INFORMAION folder = FolderLock(u'D', u"\\Data");
  _LCK_INFORMAION file = FolderLock(u'D', u"\\file.txt");
  _LCK_INFORMAION missing = FolderLock(u'D', u"\\Missing");
  _LCK_INFORMAION drive = DriveLock(u'D');
  EXPECT_TRUE(vault.CheckDirectory(&folder));
  EXPECT_FALSE(vault.CheckDirectory(&file)) << "a file carries the archive attribute";
  EXPECT_FALSE(vault.CheckDirectory(&missing));
  EXPECT_TRUE(vault.CheckDirectory(&drive));
  // A path that does not end inside its field names nothing.
  std::fill(std::begin(folder.path), std::end(folder.path), u'a');
  EXPECT_FALSE(vault.CheckDirectory(&folder));
}

// There are no shortcut objects here: nothing is resolved, nothing deleted.
TEST_F(VaultTest, RecentShortcutsAreKept) {
  _LCK_INFORMAION lock = FolderLock(u'C', u"\\Data");
  EXPECT_EQ(vault.RemoveShotcut(&lock), 0) << "no Recent folder";
  std::filesystem::path recent = machine.MakeFolder('C', "\\Documents and Settings\\Administrator\\Recent");
  EXPECT_EQ(vault.RemoveShotcut(&lock), 0) << "no shortcut";
  std::ofstream(recent / "Data.lnk") << "C:\\Data\\report.txt";
  std::ofstream(recent / "Other.lnk") << "D:\\x";
  EXPECT_EQ(vault.RemoveShotcut(&lock), 1);
  _LCK_INFORMAION drive = DriveLock(u'C');
  EXPECT_EQ(vault.RemoveShotcut(&drive), 1);
  EXPECT_TRUE(std::filesystem::exists(recent / "Data.lnk"));
  EXPECT_TRUE(std::filesystem::exists(recent / "Other.lnk"));
}

TEST_F(VaultTest, DefaultFolderDatabaseAndLogLine) {
  vault.GetDefaultLockFolder();
  vault.GetLockDbPath();
  EXPECT_EQ(std::u16string(vault.defaultFolder), util_test::kDefaultFolder);
  EXPECT_EQ(std::u16string(vault.lockDbPath), std::u16string(util_test::kDefaultFolder) + u"\\lock");

  std::filesystem::path logs = machine.MakeFolder('C', "\\Windows\\TEMP\\NB");
  CVAULTObj::Print(u"Console", u"%s has %d locks", u"D:", 3);
  std::string long1500(1500, 'x');
  CVAULTObj::Print(u"Console", u"%S", long1500.c_str());
  std::vector<std::string> lines;
  for (const auto& file : std::filesystem::directory_iterator(logs)) {
    std::ifstream in(file.path());
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(lines[0].ends_with(":Console:D: has 3 locks")) << lines[0];
  EXPECT_TRUE(lines[1].ends_with(":Console:" + std::string(1023, 'x'))) << "cut to 1023 characters";
}

}  // namespace
}  // namespace vault_test
