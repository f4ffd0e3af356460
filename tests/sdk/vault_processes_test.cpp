// Trusted processes through the lock object against the real driver; the running
// processes of the machine.
#include <unistd.h>

#include <algorithm>
#include <string>

#include "vault_fixture.h"
#include "NBUtil.h"
#include "nb/text.h"
#include "process_enumerator.h"

namespace vault_test {
namespace {

using util_test::Quietly;

TEST_F(VaultTest, TrustedProcessesOfALockRoundTrip) {
  machine.MakeFolder('D', "\\Data");
  _LCK_INFORMAION lock = FolderLock(u'D', u"\\Data");
  ASSERT_EQ(Quietly([&] { return vault.Lock(&lock, 0); }), 1);
  _LCK_PROC_INFORMATION editor = Trusted(u'D', u"\\Data", u"editor.exe", 100, PROC_PERMISSION_READ);
  _LCK_PROC_INFORMATION backup = Trusted(u'D', u"\\Data", u"averyveryverylongname.exe", 101);
  EXPECT_EQ(Quietly([&] { return vault.ProcRegister(&editor, 1) + vault.ProcRegister(&backup, 1); }), 2);
  int count = 0;
  EXPECT_EQ(Quietly([&] { return vault.ProcGetCount(u'D', u"\\Data", &count, 1); }), 1);
  ASSERT_EQ(count, 2);
  std::vector<_LCK_PROC_INFORMATION> read(2);
  EXPECT_EQ(Quietly([&] { return vault.ProcGetInformation(u'D', u"\\Data", read.data(), 2, 1); }), 1);
  std::sort(read.begin(), read.end(), [](auto& a, auto& b) { return a.pid < b.pid; });
  EXPECT_EQ(std::u16string(read[0].procName), u"editor.exe");
  EXPECT_EQ(read[0].permission, PROC_PERMISSION_READ);
  EXPECT_EQ(read[0].scope, PROC_SCOPE_FOLDER);
  EXPECT_EQ(std::u16string(read[0].procPath), u"\\Data");
  EXPECT_EQ(read[0].procDrive, u'D');
  EXPECT_EQ(std::u16string(read[1].procName), u"averyveryverylo") << "sent as at most 15 bytes";
  EXPECT_EQ(read[1].pid, 101u);

  EXPECT_EQ(Quietly([&] { return vault.ProcRemove(&editor, 1); }), 1);
  EXPECT_EQ(Quietly([&] { return vault.ProcGetCount(u'D', u"\\Data", &count, 1); }), 1);
  EXPECT_EQ(count, 1);
  EXPECT_TRUE(boxes.Shown().empty());

  // A permission the driver does not know is refused by the client library.
  _LCK_PROC_INFORMATION odd = Trusted(u'D', u"\\Data", u"odd.exe", 102, 3);
  EXPECT_EQ(Quietly([&] { return vault.ProcRegister(&odd, 1); }), 0);
  EXPECT_EQ(Texts(), std::vector<std::u16string>{u"The lock settings for D:\\Data are not valid."});
}

TEST_F(VaultTest, TheGlobalList) {
  _LCK_PROC_INFORMATION service = Trusted(0, u"", u"NBSvc.exe", 200);
  EXPECT_TRUE(Quietly([&] { return vault.ProcGlobalRegister(&service, false); }));
  EXPECT_EQ(Quietly([&] { return vault.ProcGlobalCount(false); }), 1);
  _LCK_PROC_INFORMATION read{};
  read.scope = 77;  // only permission, pid and name are filled
  EXPECT_TRUE(Quietly([&] { return vault.ProcGlobalGetInformation(&read, 1, false); }));
  EXPECT_EQ(std::u16string(read.procName), u"NBSvc.exe");
  EXPECT_EQ(read.pid, 200u);
  EXPECT_EQ(read.permission, PROC_PERMISSION_FULL);
  EXPECT_EQ(read.scope, 77);
  EXPECT_TRUE(Quietly([&] { return vault.ProcGlobalRemove(&service, false); }));
  EXPECT_EQ(Quietly([&] { return vault.ProcGlobalCount(false); }), 0);
}

// A drive lock trusts the default folder's processes on the whole drive, and withdraws
// every one of them again.
TEST_F(VaultTest, DriveLocksTakeTheDefaultFoldersTrustedProcesses) {
  ASSERT_EQ(Quietly([] { return LockDefaultFolder(); }), 1);
  for (auto [name, pid] : {std::pair{u"NBSvc.exe", 300u}, {u"NBAdmin.exe", 301u}}) {
    _LCK_PROC_INFORMATION process = Trusted(u'C', u"\\Windows\\Application Data\\NB", name, pid);
    ASSERT_EQ(Quietly([&] { return vault.ProcRegister(&process, 1); }), 1);
  }
  _LCK_INFORMAION folder = FolderLock(u'D', u"\\Data");
  EXPECT_TRUE(vault.DriveRegister(&folder, true)) << "nothing to do for a folder lock";
  _LCK_INFORMAION drive = DriveLock(u'E');
  ASSERT_EQ(Quietly([&] { return vault.Lock(&drive, 0); }), 1);
  EXPECT_TRUE(Quietly([&] { return vault.DriveRegister(&drive, true); }));
  int count = 0;
  EXPECT_EQ(Quietly([&] { return vault.ProcGetCount(u'E', nullptr, &count, 1); }), 1);
  ASSERT_EQ(count, 2);
  std::vector<_LCK_PROC_INFORMATION> read(2);
  EXPECT_EQ(Quietly([&] { return vault.ProcGetInformation(u'E', nullptr, read.data(), 2, 1); }), 1);
  for (const _LCK_PROC_INFORMATION& process : read) {
    EXPECT_EQ(process.scope, PROC_SCOPE_DRIVE);
    EXPECT_EQ(process.procPath[0], 0);
    EXPECT_EQ(process.procDrive, u'E');
  }
  EXPECT_TRUE(Quietly([&] { return vault.DriveUnRegister(&drive, true); }));
  EXPECT_EQ(Quietly([&] { return vault.ProcGetCount(u'E', nullptr, &count, 1); }), 1);
  EXPECT_EQ(count, 0) << "every entry withdrawn, not only the first";
  EXPECT_TRUE(boxes.Shown().empty());
}

TEST_F(VaultTest, RunningProcesses) {
  int count = vault.ProcCount();
  EXPECT_GT(count, 1);
  std::vector<_PROC_INFORMATION> all(static_cast<size_t>(count) + 16);
  int listed = vault.ProcGetList(all.data(), static_cast<int>(all.size()));
  EXPECT_GT(listed, 1);
  // This program is listed, its name cut to 15 characters ("sdk_vault_test.exe").
  auto self = std::find_if(all.begin(), all.begin() + listed,
                           [](const _PROC_INFORMATION& p) { return p.pid == static_cast<DWORD>(getpid()); });
  ASSERT_NE(self, all.begin() + listed);
  EXPECT_EQ(std::u16string(self->procName), u"sdk_vault_test.");

  std::vector<_PROC_INFORMATION> two(3);
  two[2].pid = 0xFEEDu;
  EXPECT_EQ(vault.ProcGetList(two.data(), 2), 2);
  EXPECT_EQ(two[2].pid, 0xFEEDu) << "exactly max records";
  EXPECT_EQ(vault.ProcGetList(two.data(), 0), 0);
}

TEST(ProcessEnumeration, MethodsAndPsapiNames) {
  vault::ProcessEnumerator enumerator;
  EXPECT_EQ(enumerator.Available(), vault::kMethodPsapi | vault::kMethodToolHelp) << "no VDMDBG here";
  EXPECT_EQ(enumerator.Method(), vault::kMethodToolHelp);
  EXPECT_FALSE(enumerator.Use(vault::kMethodToolHelp | vault::kMethodVdm));
  EXPECT_EQ(enumerator.Method(), vault::kMethodToolHelp);
  ASSERT_TRUE(enumerator.Use(vault::kMethodPsapi));
  std::u16string own;
  bool sawSystem = false;
  enumerator.ForEach([&](const std::u16string& name, DWORD pid) {
    if (pid == static_cast<DWORD>(getpid())) own = name;
    if (pid == 4) sawSystem = name == vault::ProcessEnumerator::kNoAccessName;
    return true;
  });
  EXPECT_TRUE(own.ends_with(u"\\sdk_vault_test")) << nb::text::Utf16ToUtf8(own);
  (void)sawSystem;  // whether System is listed is the platform's matter
}

}  // namespace
}  // namespace vault_test
