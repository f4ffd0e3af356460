// The store's files: installation, several processes on one file, a writer holding it,
// files that are no database, and stored records that are not well formed.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "store_fixture.h"

namespace store_test {
namespace {

namespace fs = std::filesystem;

class StoreFiles : public StoreTest {
 protected:
  // Runs `body` in a child process; true when it exited with status 0.
  template <class Body>
  static bool InChild(Body body) {
    pid_t child = fork();
    if (child == 0) _exit(body() ? 0 : 1);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

TEST_F(StoreFiles, InstallCreatesTheFolderAndEmptyDatabasesOnce) {
  EXPECT_TRUE(fs::is_directory(HostFile(kLockFolder)));
  EXPECT_EQ(CMdb(kLockDb, true).GetCountLock(), 0);
  EXPECT_EQ(CMdb(kUserDb, true).GetCountPwd(), 0);  // a reader opens it: a database, not an empty file

  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 1);
  ASSERT_TRUE(CMdb(kLockDb, false).AddLock(&lock));
  std::ofstream(HostFile(kUserDb), std::ios::trunc) << "not a database";
  EXPECT_TRUE(InstallLockStore(kLockFolder));
  EXPECT_TRUE(InstallLockStore(u"C:\\Windows\\Application Data\\NB\\"));
  EXPECT_EQ(CMdb(kLockDb, true).GetCountLock(), 1);
  std::ifstream user(HostFile(kUserDb));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(user), {}), "not a database");
}

TEST_F(StoreFiles, InstallRefusesWhatIsNoFolderOfADrive) {
  EXPECT_FALSE(InstallLockStore(nullptr));
  EXPECT_FALSE(InstallLockStore(u"Windows\\NB"));
  EXPECT_FALSE(InstallLockStore(u"Q:\\NB"));  // no such drive
  fs::create_directories(HostFile(u"C:\\Other"));
  std::ofstream(HostFile(u"C:\\Other\\file")) << "x";
  EXPECT_FALSE(InstallLockStore(u"C:\\Other\\file\\NB"));
  fs::create_directories(HostFile(u"C:\\Other\\NB\\lock"));
  EXPECT_FALSE(InstallLockStore(u"C:\\Other\\NB"));  // "lock" is a folder
}

TEST_F(StoreFiles, WhatOneProcessWritesAnotherReads) {
  ASSERT_TRUE(InChild([] {
    _LCK_INFORMAION lock = MakeLock(u'E', u"\\Shared", 0x77);
    _PWDTBL account = MakeAccount(u"Child", u"digest", 0, u"from the child");
    return CMdb(kLockDb, false).AddLock(&lock) && CMdb(kUserDb, false).AddPwd(&account);
  }));
  _LCK_INFORMAION lock;
  ASSERT_EQ(CMdb(kLockDb, true).GetLock(&lock, 1), 1);
  EXPECT_EQ(std::u16string(lock.path), u"\\Shared");
  _PWDTBL account = MakeAccount(u"Child", u"digest");
  ASSERT_TRUE(CMdb(kUserDb, true).CheckPwd(&account));
  EXPECT_EQ(std::u16string(account.comment), u"from the child");

  // And back: the parent pauses the lock, the child sees it.
  lock.status = LCK_STATUS_PAUSED;
  ASSERT_TRUE(CMdb(kLockDb, false).UpdateLock(&lock));
  EXPECT_TRUE(InChild([] {
    _LCK_INFORMAION seen;
    return CMdb(kLockDb, true).GetLock(&seen, 1) == 1 && seen.status == LCK_STATUS_PAUSED;
  }));
}

// A writer holding the file makes every call fail without a change; once that writer has
// died (without closing), the file works again.
TEST_F(StoreFiles, AWriterHoldingTheFileMakesCallsFailUntilItDies) {
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 1);
  ASSERT_TRUE(CMdb(kLockDb, false).AddLock(&lock));
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  std::string file = HostFile(kLockDb).string();
  pid_t child = fork();
  if (child == 0) {
    GDBM_FILE db = gdbm_open(file.c_str(), 1024, GDBM_WRITER, 0664, nullptr);
    char byte = db ? 'y' : 'n';
    (void)!write(ready[1], &byte, 1);
    for (;;) pause();
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'y');

  CMdb store(kLockDb, false);
  _LCK_INFORMAION other = MakeLock(u'C', u"\\Other", 1);
  EXPECT_FALSE(store.AddLock(&other));
  EXPECT_FALSE(store.DelLock(&lock));
  EXPECT_FALSE(store.UpdateLock(&lock));
  EXPECT_EQ(store.GetCountLock(), 0);
  EXPECT_EQ(CMdb(kLockDb, true).GetLock(&other, 1), 0);

  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(ready[0]);
  close(ready[1]);
  EXPECT_EQ(store.GetCountLock(), 1);
  EXPECT_TRUE(store.AddLock(&other));
  EXPECT_EQ(CMdb(kLockDb, true).GetCountLock(), 2);
}

// Files that are no database fail every call cleanly and are left as they were.
struct ForeignFile {
  const char* name;
  std::string content;
};
void PrintTo(const ForeignFile& value, std::ostream* out) { *out << value.name; }

class ForeignFiles : public StoreFiles, public ::testing::WithParamInterface<ForeignFile> {};

TEST_P(ForeignFiles, FailCleanly) {
  {
    std::ofstream out(HostFile(kLockDb), std::ios::binary | std::ios::trunc);
    out << GetParam().content;
  }
  for (bool readOnly : {true, false}) {
    CMdb store(kLockDb, readOnly);
    _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 1);
    EXPECT_EQ(store.GetCountLock(), 0);
    EXPECT_EQ(store.GetLock(&lock, 1), 0);
    EXPECT_FALSE(store.AddLock(&lock));
    EXPECT_FALSE(store.DelLock(&lock));
    EXPECT_FALSE(store.UpdateLock(&lock));
  }
  std::ifstream in(HostFile(kLockDb), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), GetParam().content);
}

INSTANTIATE_TEST_SUITE_P(Contents, ForeignFiles,
                         ::testing::Values(ForeignFile{"Text", "lock=C:\\Data\n"},
                                           ForeignFile{"Zeros", std::string(4096, '\0')},
                                           ForeignFile{"OneByte", "\x13"},
                                           ForeignFile{"GdbmMagicOnly", std::string("\xce\x9a\x57\x13", 4)}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StoreFiles, AFolderInPlaceOfTheDatabaseFailsCleanly) {
  fs::remove(HostFile(kLockDb));
  fs::create_directory(HostFile(kLockDb));
  CMdb store(kLockDb, false);
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 1);
  EXPECT_EQ(store.GetCountLock(), 0);
  EXPECT_FALSE(store.AddLock(&lock));
}

// A database damaged after its header: whatever the calls answer, they answer without a
// crash or a read past a buffer (the sanitizer builds check the latter).
TEST_F(StoreFiles, DamagedDatabaseDoesNotCrash) {
  CMdb store(kLockDb, false);
  for (DWORD serial = 1; serial <= 20; ++serial) {
    _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", serial);
    ASSERT_TRUE(store.AddLock(&lock));
  }
  std::string file = HostFile(kLockDb).string();
  auto size = fs::file_size(file);
  std::fstream damaged(file, std::ios::in | std::ios::out | std::ios::binary);
  for (std::streamoff at = 512; at < static_cast<std::streamoff>(size); at += 97) {
    damaged.seekp(at);
    damaged.put('\xFF');
  }
  damaged.close();
  _LCK_INFORMAION slots[32];
  int listed = store.GetLock(slots, 32);
  EXPECT_LE(listed, 20);
  EXPECT_LE(store.GetCountLock(), 40);
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 3);
  (void)store.UpdateLock(&lock);
  (void)store.DelLock(&lock);
}

// The ANSI name must fit in 255 bytes; a longer one is not cut to another file's name.
TEST_F(StoreFiles, APathOfMoreThan255BytesOpensNothing) {
  _LCK_INFORMAION lock = MakeLock(u'C', u"\\Data", 1);
  for (size_t units : {247u, 248u}) {  // "C:\" + units + "\lock": 255 and 256 bytes
    std::u16string folder = u"C:\\" + std::u16string(units, u'n');
    ASSERT_TRUE(InstallLockStore(folder.c_str()));
    CMdb store((folder + u"\\lock").c_str(), false);
    bool fits = units == 247;
    EXPECT_EQ(store.AddLock(&lock), fits) << units;
    EXPECT_EQ(store.GetCountLock(), fits ? 1 : 0) << units;
  }
  EXPECT_EQ(CMdb(nullptr, false).GetCountLock(), 0);
}

}  // namespace
}  // namespace store_test
