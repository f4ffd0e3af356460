// Access enforcement on a filtered host volume, acting as different processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "filtered_volume.h"
#include "nb/kernel/reparse_records.h"
#include "nb/kernel/security.h"
#include "nb/resource_guard.h"
#include "table.h"

namespace nbfs_test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class EnforcementTest : public FilteredVolumeTest {
 protected:
  void SetUp() override {
    FilteredVolumeTest::SetUp();
    WriteHost("P/H/secret.txt", "secret");
    WriteHost("P/A/a.txt", "a");
    WriteHost("P/R/r.txt", "r");
    WriteHost("Q/q.txt", "q");
  }

  // A rename or hard link (the same record) to `name`, in `directory` when one is given.
  NTSTATUS Rename(PFILE_OBJECT file, std::u16string_view name, FILE_INFORMATION_CLASS cls = FileRenameInformation,
                  PFILE_OBJECT directory = nullptr) {
    std::vector<UCHAR> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + name.size() * sizeof(WCHAR));
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    info->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    std::memcpy(info->FileName, name.data(), info->FileNameLength);
    return nb::kernel::SetInformation(file, cls, buffer.data(), static_cast<ULONG>(buffer.size()), directory);
  }
  NTSTATUS Delete(PFILE_OBJECT file) {
    FILE_DISPOSITION_INFORMATION disposition{TRUE};
    return nb::kernel::SetInformation(file, FileDispositionInformation, &disposition, sizeof disposition);
  }
  ULONG CacheCount() {
    ULONG count = 0;
    EXPECT_EQ(Control(GET_CACHE_COUNT, nullptr, 0, &count, sizeof count), STATUS_SUCCESS);
    return count;
  }
};

TEST_F(EnforcementTest, NoAccessFolderAdmitsOnlyTrustedProcesses) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", reader, NBFS_PERMISSION_READ), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", writer, NBFS_PERMISSION_FULL), STATUS_SUCCESS);
  Opened file;
  EXPECT_EQ(OpenAs(app, u"\\P\\H\\secret.txt", FILE_READ_DATA, &file), STATUS_ACCESS_DENIED);
  EXPECT_THAT(Messages(), ElementsAre("nbfsCreate: NO ACCESS: access denied\n"));
  EXPECT_EQ(OpenAs(app, u"\\p\\h", FILE_LIST_DIRECTORY, &file, FILE_DIRECTORY_FILE), STATUS_ACCESS_DENIED);
  EXPECT_EQ(OpenAs(machine_.Kernel().Processes().System(), u"\\P\\H\\secret.txt", FILE_READ_DATA, &file),
            STATUS_ACCESS_DENIED);  // creates do not exempt the System process
  PEPROCESS secondReader = machine_.Process("reader.exe", 2001);
  EXPECT_EQ(OpenAs(secondReader, u"\\P\\H\\secret.txt", FILE_READ_DATA, &file), STATUS_ACCESS_DENIED);

  ASSERT_EQ(OpenAs(reader, u"\\P\\H\\secret.txt", FILE_READ_DATA, &file), STATUS_SUCCESS);
  char content[16] = {};
  ULONG read = 0;
  ASSERT_EQ(nb::kernel::ReadFile(file.get(), content, sizeof content, 0, &read), STATUS_SUCCESS);
  EXPECT_EQ(std::string(content, read), "secret");
  Opened refused;
  EXPECT_EQ(OpenAs(reader, u"\\P\\H\\secret.txt", FILE_READ_DATA | DELETE, &refused, FILE_DELETE_ON_CLOSE),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(OpenAs(reader, u"\\P\\H\\secret.txt", FILE_WRITE_DATA, &refused), STATUS_ACCESS_DENIED);
  Opened written;
  EXPECT_EQ(OpenAs(writer, u"\\P\\H\\secret.txt", FILE_WRITE_DATA, &written), STATUS_SUCCESS);
  // The folder next door is not covered by the trust of this one.
  ASSERT_EQ(Lock(u"\\P\\A", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  EXPECT_EQ(OpenAs(writer, u"\\P\\A\\a.txt", FILE_READ_DATA, &refused), STATUS_ACCESS_DENIED);
}

TEST_F(EnforcementTest, ReadOnlyFolderRefusesOnlyWritingOpens) {
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\R", writer, NBFS_PERMISSION_FULL), STATUS_SUCCESS);
  Messages();
  Opened file;
  EXPECT_EQ(OpenAs(app, u"\\P\\R\\r.txt", FILE_READ_DATA, &file), STATUS_SUCCESS);
  Opened refused;
  EXPECT_EQ(OpenAs(app, u"\\P\\R\\r.txt", FILE_APPEND_DATA, &refused), STATUS_ACCESS_DENIED);
  EXPECT_THAT(Messages(), ElementsAre("nbfsCreate: READONLY: write-open denied\n"));
  EXPECT_EQ(OpenAs(app, u"\\P\\R\\new.txt", FILE_READ_DATA, &refused, 0, FILE_CREATE), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(HostExists("P/R/new.txt"));
  Opened created;
  EXPECT_EQ(OpenAs(writer, u"\\P\\R\\new.txt", FILE_WRITE_DATA, &created, 0, FILE_CREATE), STATUS_SUCCESS);
}

TEST_F(EnforcementTest, NetworkCallerIsDeniedEvenWithFullTrust) {
  ASSERT_TRUE(machine_.Kernel().Tokens().IsNetworkImage("smbd.exe"));
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", network, NBFS_PERMISSION_FULL), STATUS_SUCCESS);
  Opened file;
  EXPECT_EQ(OpenAs(network, u"\\P\\H\\secret.txt", FILE_READ_DATA, &file), STATUS_ACCESS_DENIED);
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\R", network, NBFS_PERMISSION_FULL), STATUS_SUCCESS);
  EXPECT_EQ(OpenAs(network, u"\\P\\R\\r.txt", FILE_READ_DATA, &file), STATUS_SUCCESS);
  Opened refused;
  EXPECT_EQ(OpenAs(network, u"\\P\\R\\r.txt", FILE_WRITE_DATA, &refused), STATUS_ACCESS_DENIED);
}

TEST_F(EnforcementTest, LockedFolderAndItsParentsCannotBeRenamed) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", writer, NBFS_PERMISSION_FULL), STATUS_SUCCESS);
  Messages();
  Opened locked;
  ASSERT_EQ(OpenAs(writer, u"\\P\\H", DELETE, &locked, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  {
    nb::kernel::ProcessScope scope(writer);
    EXPECT_EQ(Rename(locked.get(), u"H2"), STATUS_ACCESS_DENIED);
    ASSERT_EQ(Control(PAUSE_ENTRY, Entry('X', u"\\P\\H")), STATUS_SUCCESS);
    EXPECT_EQ(Rename(locked.get(), u"H2"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Delete(locked.get()), STATUS_ACCESS_DENIED);
  }
  EXPECT_THAT(Messages(), ElementsAre("cannot rename or delete Service Directory\n",
                                      "cannot rename or delete Service Directory\n",
                                      "cannot rename or delete Service Directory\n"));
  ASSERT_EQ(Control(RESUME_ENTRY, Entry('X', u"\\P\\H")), STATUS_SUCCESS);

  Opened parent;
  ASSERT_EQ(OpenAs(app, u"\\P", DELETE, &parent, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  EXPECT_EQ(Rename(parent.get(), u"P2"), STATUS_ACCESS_DENIED);
  EXPECT_THAT(Messages(), ElementsAre("setInfo: rename parent dir\n"));
  Opened sibling;
  ASSERT_EQ(OpenAs(app, u"\\P\\A", DELETE, &sibling, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  EXPECT_EQ(Rename(sibling.get(), u"A2"), STATUS_SUCCESS);
  EXPECT_TRUE(HostExists("P/A2/a.txt"));
}

TEST_F(EnforcementTest, ReadTrustMayOpenForDeleteButNotDelete) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", reader, NBFS_PERMISSION_READ), STATUS_SUCCESS);
  Messages();
  Opened file;
  ASSERT_EQ(OpenAs(reader, u"\\P\\H\\secret.txt", DELETE, &file), STATUS_SUCCESS);
  {
    nb::kernel::ProcessScope scope(reader);
    EXPECT_EQ(Delete(file.get()), STATUS_ACCESS_DENIED);
  }
  EXPECT_THAT(Messages(), ElementsAre("setInfo: NO ACCESS: access denied\n"));
  EXPECT_TRUE(HostExists("P/H/secret.txt"));
}

TEST_F(EnforcementTest, RelativeOpensAreCheckedAndRememberedByTheirFullPath) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", reader, NBFS_PERMISSION_READ), STATUS_SUCCESS);
  Opened parent;
  ASSERT_EQ(OpenAs(app, u"\\P", FILE_LIST_DIRECTORY, &parent, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  Opened file;
  EXPECT_EQ(OpenAs(app, u"H\\secret.txt", FILE_READ_DATA, &file, 0, FILE_OPEN, parent.get()), STATUS_ACCESS_DENIED);
  // A file opened relative to its folder is still known by its full path afterwards.
  ASSERT_EQ(OpenAs(reader, u"H\\secret.txt", DELETE, &file, 0, FILE_OPEN, parent.get()), STATUS_SUCCESS);
  nb::kernel::ProcessScope scope(reader);
  EXPECT_EQ(Delete(file.get()), STATUS_ACCESS_DENIED);
  EXPECT_TRUE(HostExists("P/H/secret.txt"));
}

TEST_F(EnforcementTest, RelativeOpenBeyondTheLongestPathFails) {
  Opened parent;
  ASSERT_EQ(OpenAs(app, u"\\P", FILE_LIST_DIRECTORY, &parent, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  Messages();
  Opened file;
  std::u16string longName(510, u'x');  // "\P" + "\" + 510 units = 1026 bytes
  EXPECT_EQ(OpenAs(app, longName, FILE_READ_DATA, &file, 0, FILE_OPEN, parent.get()), STATUS_UNSUCCESSFUL);
  EXPECT_THAT(Messages(), ElementsAre("GetFullPath: path length is too large(1026)\n"));
  std::u16string fits;  // 1024 bytes in all: checked, then looked for on disk
  while (fits.size() < 500) fits += u"xxxxxxxxx\\";
  fits += std::u16string(9, u'x');
  ASSERT_EQ(fits.size(), 509u);
  EXPECT_EQ(OpenAs(app, fits, FILE_READ_DATA, &file, 0, FILE_OPEN, parent.get()), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_THAT(Messages(), IsEmpty());
}

TEST_F(EnforcementTest, RequestsOnFilesOpenedBeforeTheLockAreChecked) {
  Opened rw;
  ASSERT_EQ(OpenAs(app, u"\\P\\R\\r.txt", FILE_READ_DATA | FILE_WRITE_DATA, &rw), STATUS_SUCCESS);
  Opened early;
  ASSERT_EQ(OpenAs(app, u"\\P\\A\\a.txt", FILE_READ_DATA | FILE_READ_ATTRIBUTES, &early), STATUS_SUCCESS);
  Opened system;
  ASSERT_EQ(OpenAs(machine_.Kernel().Processes().System(), u"\\P\\A\\a.txt", FILE_READ_ATTRIBUTES, &system),
            STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\A", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  Messages();

  nb::kernel::ProcessScope scope(app);
  char buffer[4];
  EXPECT_EQ(nb::kernel::ReadFile(rw.get(), buffer, sizeof buffer, 0), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::WriteFile(rw.get(), "x", 1, 0), STATUS_ACCESS_DENIED);
  FILE_STANDARD_INFORMATION standard;
  EXPECT_EQ(nb::kernel::QueryInformation(rw.get(), FileStandardInformation, &standard, sizeof standard),
            STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::QueryInformation(early.get(), FileStandardInformation, &standard, sizeof standard),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(nb::kernel::ReadFile(early.get(), buffer, sizeof buffer, 0), STATUS_ACCESS_DENIED);
  {
    nb::kernel::ProcessScope asSystem(machine_.Kernel().Processes().System());
    EXPECT_EQ(nb::kernel::QueryInformation(system.get(), FileStandardInformation, &standard, sizeof standard),
              STATUS_SUCCESS);
  }
  EXPECT_THAT(Messages(), ElementsAre("nbfsPassTH: READONLY: access denied (MJ=0x4, path=\\P\\R\\r.txt)\n",
                                      "queryInfo: NO ACCESS: access denied\n",
                                      "nbfsPassTH: NO ACCESS: access denied (MJ=0x3, path=\\P\\A\\a.txt)\n",
                                      "queryInfo: local system proc, path=\\P\\A\\a.txt\n"));
}

// Turning a file into a link changes it as a write does: through a handle opened before the
// lock it is refused in a read-only or hidden folder, and allowed elsewhere.
TEST_F(EnforcementTest, ReparsePointChangesFollowTheWriteRule) {
  WriteHost("P/R/empty", "");
  WriteHost("P/A/empty", "");
  WriteHost("Q/empty", "");
  struct Case {
    const char16_t* path;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {u"\\P\\R\\empty", STATUS_ACCESS_DENIED},
      {u"\\P\\A\\empty", STATUS_ACCESS_DENIED},
      {u"\\Q\\empty", STATUS_SUCCESS},
  };
  std::vector<Opened> files(std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i)
    ASSERT_EQ(OpenAs(app, cases[i].path, FILE_READ_DATA | FILE_WRITE_DATA, &files[i]), STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\A", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  Messages();

  std::vector<UCHAR> record = nb::kernel::EncodeLinkRecord("/elsewhere");
  nb::kernel::ProcessScope scope(app);
  for (size_t i = 0; i < std::size(cases); ++i) {
    for (ULONG code : {FSCTL_SET_REPARSE_POINT, FSCTL_DELETE_REPARSE_POINT}) {
      if (code == FSCTL_DELETE_REPARSE_POINT && cases[i].expected == STATUS_SUCCESS) continue;
      EXPECT_EQ(nb::kernel::FileSystemControl(files[i].get(), code, record.data(),
                                              static_cast<ULONG>(record.size()), nullptr, 0),
                cases[i].expected)
          << std::hex << code << " on case " << i;
    }
  }
  EXPECT_THAT(Messages(), ElementsAre("nbfsFsControl: READONLY: reparse point change denied (path=\\P\\R\\empty)\n",
                                      "nbfsFsControl: READONLY: reparse point change denied (path=\\P\\R\\empty)\n",
                                      "nbfsFsControl: NO ACCESS: reparse point change denied (path=\\P\\A\\empty)\n",
                                      "nbfsFsControl: NO ACCESS: reparse point change denied (path=\\P\\A\\empty)\n"));
}

TEST_F(EnforcementTest, SecurityRequestsFollowTheCreateRule) {
  Opened untrusted;
  ASSERT_EQ(OpenAs(app, u"\\P\\H\\secret.txt", READ_CONTROL, &untrusted), STATUS_SUCCESS);
  Opened trusted;
  ASSERT_EQ(OpenAs(reader, u"\\P\\H\\secret.txt", READ_CONTROL | WRITE_DAC, &trusted), STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", reader, NBFS_PERMISSION_READ), STATUS_SUCCESS);
  Messages();
  SECURITY_DESCRIPTOR_RELATIVE descriptor{};
  std::vector<UCHAR> buffer(256);
  {
    nb::kernel::ProcessScope scope(app);
    EXPECT_EQ(nb::kernel::QuerySecurity(untrusted.get(), DACL_SECURITY_INFORMATION, buffer.data(), 256),
              STATUS_ACCESS_DENIED);
  }
  nb::kernel::ProcessScope scope(reader);
  EXPECT_EQ(nb::kernel::QuerySecurity(trusted.get(), DACL_SECURITY_INFORMATION, buffer.data(), 256), STATUS_SUCCESS);
  descriptor.Revision = SECURITY_DESCRIPTOR_REVISION;
  descriptor.Control = SE_SELF_RELATIVE;
  EXPECT_EQ(nb::kernel::SetSecurity(trusted.get(), DACL_SECURITY_INFORMATION, &descriptor), STATUS_ACCESS_DENIED);
  EXPECT_THAT(Messages(), IsEmpty());  // security refusals are not logged
  ASSERT_EQ(Trust(u"\\P\\H", writer, NBFS_PERMISSION_FULL), STATUS_SUCCESS);
  nb::kernel::ProcessScope asWriter(writer);
  Opened full;
  ASSERT_EQ(OpenAs(writer, u"\\P\\H\\secret.txt", READ_CONTROL | WRITE_DAC, &full), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::SetSecurity(full.get(), DACL_SECURITY_INFORMATION, &descriptor), STATUS_SUCCESS);
}

TEST_F(EnforcementTest, ClosingAFileForgetsItsName) {
  ULONG before = CacheCount();
  Opened file;
  ASSERT_EQ(OpenAs(app, u"\\Q\\q.txt", FILE_READ_DATA, &file), STATUS_SUCCESS);
  EXPECT_EQ(CacheCount(), before + 1);
  file.Reset();
  EXPECT_EQ(CacheCount(), before);
  Opened missing;
  EXPECT_EQ(OpenAs(app, u"\\Q\\none.txt", FILE_READ_DATA, &missing), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(CacheCount(), before);  // failed opens are not recorded
}

TEST_F(EnforcementTest, AccessToAnOpenTimedLockRestartsItsIdleTime) {
  ASSERT_EQ(Lock(u"\\P\\A", NBFS_LOCK_NOACCESS, 60), STATUS_SUCCESS);
  VolumeReference volume = FindVolume(Volumes(), 'X');
  LockEntry* entry = nullptr;
  {
    nb::SharedLock guard(volume->lock);
    entry = FindEntry(volume, u"\\P\\A", 8);
  }
  ASSERT_NE(entry, nullptr);
  entry->idle = 40;
  Opened file;
  ASSERT_EQ(OpenAs(app, u"\\P\\A\\a.txt", FILE_READ_DATA, &file), STATUS_SUCCESS);  // open: nothing enforced
  EXPECT_EQ(entry->idle, 0u);
  entry->idle = 40;
  char buffer[2];
  nb::kernel::ProcessScope scope(app);
  EXPECT_EQ(nb::kernel::ReadFile(file.get(), buffer, sizeof buffer, 0), STATUS_SUCCESS);
  EXPECT_EQ(entry->idle, 0u);
}

TEST_F(EnforcementTest, VolumeLockAndDismountOnALockedVolumeAreNoted) {
  Opened root;
  ASSERT_EQ(OpenAs(app, u"\\Q", FILE_READ_ATTRIBUTES, &root, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  (void)nb::kernel::FileSystemControl(root.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0);
  EXPECT_THAT(Messages(), IsEmpty());  // nothing locked yet
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  (void)nb::kernel::FileSystemControl(root.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0);
  (void)nb::kernel::FileSystemControl(root.get(), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0);
  EXPECT_THAT(Messages(), ElementsAre("LOCK VOLUME IS NOT ALLOWED\n", "DISMOUNT VOLUME IS NOT ALLOWED\n"));
}

// Opens for reading alone that would empty or replace the file are writes.
TEST_F(EnforcementTest, ReplacingDispositionsAreWritingOpens) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", reader, NBFS_PERMISSION_READ), STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  struct Case {
    PEPROCESS process;
    const char16_t* path;
    const char* host;
    const char* content;
    const char* message;
  };
  const Case cases[] = {
      {reader, u"\\P\\H\\secret.txt", "P/H/secret.txt", "secret", "nbfsCreate: NO ACCESS: access denied\n"},
      {app, u"\\P\\R\\r.txt", "P/R/r.txt", "r", "nbfsCreate: READONLY: write-open denied\n"},
  };
  Messages();
  for (const Case& c : cases) {
    for (ULONG disposition : {FILE_SUPERSEDE, FILE_OVERWRITE, FILE_OVERWRITE_IF}) {
      Opened file;
      EXPECT_EQ(OpenAs(c.process, c.path, FILE_READ_DATA, &file, 0, disposition), STATUS_ACCESS_DENIED)
          << c.host << " disposition " << disposition;
      EXPECT_EQ(ReadHost(c.host), c.content) << c.host << " disposition " << disposition;
      EXPECT_THAT(Messages(), ElementsAre(c.message));
    }
    Opened file;
    EXPECT_EQ(OpenAs(c.process, c.path, FILE_READ_DATA, &file, 0, FILE_OPEN), STATUS_SUCCESS) << c.host;
  }
  // Full trust may still replace.
  ASSERT_EQ(Trust(u"\\P\\R", writer, NBFS_PERMISSION_FULL), STATUS_SUCCESS);
  Opened replaced;
  EXPECT_EQ(OpenAs(writer, u"\\P\\R\\r.txt", FILE_READ_DATA, &replaced, 0, FILE_OVERWRITE), STATUS_SUCCESS);
  EXPECT_EQ(ReadHost("P/R/r.txt"), "");
}

class NewNameTest : public EnforcementTest {
 protected:
  struct Mode {
    ULONG flags;
    const char16_t* folder;
    const char* host;
    const char* message;
  };
  static constexpr Mode kModes[] = {
      {NBFS_LOCK_NOACCESS, u"\\P\\H", "P/H", "setInfo: NO ACCESS: access denied\n"},
      {NBFS_LOCK_READONLY, u"\\P\\R", "P/R", "setInfo: READONLY: access denied\n"},
  };
  void SetUp() override {
    EnforcementTest::SetUp();
    // Directory handles taken before the locks, as a root for relative new names.
    for (const Mode& mode : kModes) {
      auto& opened = directories_.emplace_back(std::make_unique<Opened>());
      ASSERT_EQ(OpenAs(app, mode.folder, FILE_LIST_DIRECTORY, opened.get(), FILE_DIRECTORY_FILE), STATUS_SUCCESS);
      ASSERT_EQ(Lock(mode.folder, mode.flags), STATUS_SUCCESS);
      // Read trust means nothing under a read-only lock: there the reader is untrusted.
      if (mode.flags == NBFS_LOCK_NOACCESS) {
        ASSERT_EQ(Trust(mode.folder, reader, NBFS_PERMISSION_READ), STATUS_SUCCESS);
      }
      ASSERT_EQ(Trust(mode.folder, writer, NBFS_PERMISSION_FULL), STATUS_SUCCESS);
    }
    Messages();
  }
  std::vector<std::unique_ptr<Opened>> directories_;
};

TEST_F(NewNameTest, FilesAreNotMovedOrLinkedIntoALockedFolder) {
  for (size_t m = 0; m < std::size(kModes); ++m) {
    const Mode& mode = kModes[m];
    std::u16string target = std::u16string(mode.folder) + u"\\moved.txt";
    std::string hostTarget = std::string(mode.host) + "/moved.txt";
    for (PEPROCESS process : {app, reader, machine_.Kernel().Processes().System()}) {
      Opened source;
      ASSERT_EQ(OpenAs(process, u"\\Q\\q.txt", DELETE, &source), STATUS_SUCCESS);
      nb::kernel::ProcessScope scope(process);
      EXPECT_EQ(Rename(source.get(), target), STATUS_ACCESS_DENIED) << hostTarget;
      EXPECT_EQ(Rename(source.get(), u"moved.txt", FileRenameInformation, directories_[m]->get()), STATUS_ACCESS_DENIED)
          << hostTarget;
      EXPECT_EQ(Rename(source.get(), target, FileLinkInformation), STATUS_ACCESS_DENIED) << hostTarget;
      EXPECT_EQ(Rename(source.get(), u"moved.txt", FileLinkInformation, directories_[m]->get()), STATUS_ACCESS_DENIED)
          << hostTarget;
      EXPECT_THAT(Messages(), ElementsAre(mode.message, mode.message, mode.message, mode.message));
      EXPECT_TRUE(HostExists("Q/q.txt"));
      EXPECT_FALSE(HostExists(hostTarget));
    }
    // Full trust in the folder lets a file in, by either form of the name.
    Opened source;
    ASSERT_EQ(OpenAs(writer, u"\\Q\\q.txt", DELETE, &source), STATUS_SUCCESS);
    nb::kernel::ProcessScope scope(writer);
    ASSERT_EQ(Rename(source.get(), target), STATUS_SUCCESS) << hostTarget;
    EXPECT_EQ(ReadHost(hostTarget), "q");
    ASSERT_EQ(Rename(source.get(), u"\\Q\\q.txt"), STATUS_SUCCESS);
    ASSERT_EQ(OpenAs(writer, u"\\Q\\q.txt", DELETE, &source), STATUS_SUCCESS);
    ASSERT_EQ(Rename(source.get(), u"moved.txt", FileRenameInformation, directories_[m]->get()), STATUS_SUCCESS);
    EXPECT_EQ(ReadHost(hostTarget), "q");
    ASSERT_EQ(OpenAs(writer, std::u16string(mode.folder) + u"\\moved.txt", DELETE, &source), STATUS_SUCCESS);
    ASSERT_EQ(Rename(source.get(), u"\\Q\\q.txt"), STATUS_SUCCESS);
  }
}

TEST_F(NewNameTest, ANameBesideTheFileIsJudgedInItsFolder) {
  // A plain new name lands in the file's own folder: there \Q\q2.txt lies under a lock.
  ASSERT_EQ(Lock(u"\\Q\\q2.txt", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  Messages();
  Opened source;
  ASSERT_EQ(OpenAs(app, u"\\Q\\q.txt", DELETE, &source), STATUS_SUCCESS);
  nb::kernel::ProcessScope scope(app);
  EXPECT_EQ(Rename(source.get(), u"q2.txt"), STATUS_ACCESS_DENIED);
  EXPECT_THAT(Messages(), ElementsAre("setInfo: NO ACCESS: access denied\n"));
  EXPECT_EQ(Rename(source.get(), u"q3.txt"), STATUS_SUCCESS);
  EXPECT_TRUE(HostExists("Q/q3.txt"));
}

TEST_F(NewNameTest, FilesLeaveALockedFolderOnlyWithFullTrust) {
  for (const Mode& mode : kModes) {
    std::u16string folder = mode.folder;
    std::u16string name = folder == u"\\P\\H" ? u"secret.txt" : u"r.txt";
    std::string hostSource = std::string(mode.host) + "/" + (folder == u"\\P\\H" ? "secret.txt" : "r.txt");
    for (PEPROCESS process : {app, reader}) {
      Opened source;
      ASSERT_EQ(OpenAs(process, folder + u"\\" + name, DELETE, &source), process == app && mode.flags == NBFS_LOCK_NOACCESS
                                                                              ? STATUS_ACCESS_DENIED
                                                                              : STATUS_SUCCESS);
      if (!source.get()) continue;
      nb::kernel::ProcessScope scope(process);
      EXPECT_EQ(Rename(source.get(), u"\\Q\\out.txt"), STATUS_ACCESS_DENIED) << hostSource;
      EXPECT_EQ(Rename(source.get(), u"\\Q\\out.txt", FileLinkInformation), STATUS_ACCESS_DENIED) << hostSource;
      EXPECT_TRUE(HostExists(hostSource));
      EXPECT_FALSE(HostExists("Q/out.txt"));
    }
    Opened source;
    ASSERT_EQ(OpenAs(writer, folder + u"\\" + name, DELETE, &source), STATUS_SUCCESS);
    nb::kernel::ProcessScope scope(writer);
    EXPECT_EQ(Rename(source.get(), u"\\Q\\out.txt"), STATUS_SUCCESS) << hostSource;
    EXPECT_FALSE(HostExists(hostSource));
    ASSERT_TRUE(std::filesystem::remove(Host("Q/out.txt")));
  }
}

// Files opened for synchronous I/O before a lock: once cached, their reads and writes
// are offered to fast I/O first, which must send them back as IRPs.
TEST_F(EnforcementTest, CachedFilesOpenedBeforeALockMeetItThroughFastIo) {
  struct Case {
    ULONG flags;
    const char16_t* folder;
    const char16_t* path;
    const char* host;
    NTSTATUS read;
  };
  const Case cases[] = {
      {NBFS_LOCK_NOACCESS, u"\\P\\H", u"\\P\\H\\secret.txt", "P/H/secret.txt", STATUS_ACCESS_DENIED},
      {NBFS_LOCK_READONLY, u"\\P\\R", u"\\P\\R\\r.txt", "P/R/r.txt", STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    Opened file;
    ASSERT_EQ(OpenAs(app, c.path, FILE_READ_DATA | FILE_WRITE_DATA, &file, FILE_SYNCHRONOUS_IO_NONALERT),
              STATUS_SUCCESS);
    nb::kernel::ProcessScope scope(app);
    char buffer[8];
    ASSERT_EQ(nb::kernel::ReadFile(file.get(), buffer, 1, 0), STATUS_SUCCESS);
    ASSERT_NE(file.get()->PrivateCacheMap, nullptr) << "the file is cached";
    std::string before = ReadHost(c.host);
    ASSERT_EQ(Lock(c.folder, c.flags), STATUS_SUCCESS);
    EXPECT_EQ(nb::kernel::ReadFile(file.get(), buffer, sizeof buffer, 0), c.read) << c.host;
    EXPECT_EQ(nb::kernel::WriteFile(file.get(), "changed", 7, 0), STATUS_ACCESS_DENIED) << c.host;
    EXPECT_EQ(nb::kernel::WriteFile(file.get(), "changed", 7, nb::kernel::kCurrentPosition), STATUS_ACCESS_DENIED)
        << c.host;
    EXPECT_EQ(ReadHost(c.host), before);
  }
}

// Counts the reads and writes the file system serves by fast I/O.
class FastPathTest : public EnforcementTest {
 protected:
  void SetUp() override {
    EnforcementTest::SetUp();
    PDRIVER_OBJECT fileSystem = FindVolume(Volumes(), 'X')->lower->DriverObject;
    original_ = fileSystem->FastIoDispatch;
    counting_ = *original_;
    read_ = original_->FastIoRead;
    write_ = original_->FastIoWrite;
    counting_.FastIoRead = [](PFILE_OBJECT f, PLARGE_INTEGER o, ULONG l, BOOLEAN w, ULONG k, PVOID b,
                              PIO_STATUS_BLOCK s, PDEVICE_OBJECT d) {
      ++fastCalls;
      return read_(f, o, l, w, k, b, s, d);
    };
    counting_.FastIoWrite = [](PFILE_OBJECT f, PLARGE_INTEGER o, ULONG l, BOOLEAN w, ULONG k, PVOID b,
                               PIO_STATUS_BLOCK s, PDEVICE_OBJECT d) {
      ++fastCalls;
      return write_(f, o, l, w, k, b, s, d);
    };
    fileSystem->FastIoDispatch = &counting_;
    fileSystem_ = fileSystem;
  }
  void TearDown() override {
    fileSystem_->FastIoDispatch = original_;
    EnforcementTest::TearDown();
  }
  static inline int fastCalls = 0;
  static inline PFAST_IO_READ read_ = nullptr;
  static inline PFAST_IO_WRITE write_ = nullptr;
  PDRIVER_OBJECT fileSystem_ = nullptr;
  PFAST_IO_DISPATCH original_ = nullptr;
  FAST_IO_DISPATCH counting_{};
};

TEST_F(FastPathTest, UnlockedFilesKeepTheFastPath) {
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  Opened free;
  ASSERT_EQ(OpenAs(app, u"\\Q\\q.txt", FILE_READ_DATA | FILE_WRITE_DATA, &free, FILE_SYNCHRONOUS_IO_NONALERT),
            STATUS_SUCCESS);
  Opened locked;
  ASSERT_EQ(OpenAs(app, u"\\P\\R\\r.txt", FILE_READ_DATA, &locked, FILE_SYNCHRONOUS_IO_NONALERT), STATUS_SUCCESS);
  nb::kernel::ProcessScope scope(app);
  char buffer[8];
  ASSERT_EQ(nb::kernel::ReadFile(free.get(), buffer, 1, 0), STATUS_SUCCESS);
  ASSERT_EQ(nb::kernel::ReadFile(locked.get(), buffer, 1, 0), STATUS_SUCCESS);
  fastCalls = 0;
  ULONG read = 0;
  EXPECT_EQ(nb::kernel::ReadFile(free.get(), buffer, sizeof buffer, 0, &read), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::WriteFile(free.get(), "Q", 1, 0), STATUS_SUCCESS);
  EXPECT_EQ(fastCalls, 2);
  EXPECT_EQ(ReadHost("Q/q.txt"), "Q");
  // The locked file's read is declined by the filter before the file system sees it.
  EXPECT_EQ(nb::kernel::ReadFile(locked.get(), buffer, sizeof buffer, 0, &read), STATUS_SUCCESS);
  EXPECT_EQ(std::string(buffer, read), "r");
  EXPECT_EQ(fastCalls, 2);
}

}  // namespace
}  // namespace nbfs_test
