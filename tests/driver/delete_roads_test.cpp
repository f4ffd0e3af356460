// Every way of asking a file system to delete a name meets the same checks: the plain
// disposition record, the extended one with and without immediate (POSIX) removal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "filtered_volume.h"

namespace nbfs_test {
namespace {

using ::testing::ElementsAre;

struct DeleteRoad {
  const char* what;
  FILE_INFORMATION_CLASS cls;
  ULONG flags;  // of the extended record
};

const DeleteRoad kRoads[] = {
    {"plain", FileDispositionInformation, 0},
    {"extended", FileDispositionInformationEx, FILE_DISPOSITION_DELETE},
    {"extended posix", FileDispositionInformationEx, FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS},
    {"extended posix ignoring read-only", FileDispositionInformationEx,
     FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS | FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE},
};

class DeleteRoadsTest : public FilteredVolumeTest {
 protected:
  void SetUp() override {
    FilteredVolumeTest::SetUp();
    WriteHost("P/H/secret.txt", "secret");
    WriteHost("P/R/r.txt", "r");
    WriteHost("Q/q.txt", "q");
  }
  static NTSTATUS Delete(PFILE_OBJECT file, const DeleteRoad& road) {
    if (road.cls == FileDispositionInformation) {
      FILE_DISPOSITION_INFORMATION disposition{TRUE};
      return nb::kernel::SetInformation(file, road.cls, &disposition, sizeof disposition);
    }
    FILE_DISPOSITION_INFORMATION_EX disposition{road.flags};
    return nb::kernel::SetInformation(file, road.cls, &disposition, sizeof disposition);
  }
  // Opens as `process`, deletes through `road` as the same process, and closes.
  NTSTATUS OpenAndDelete(PEPROCESS process, const std::u16string& path, const DeleteRoad& road, ULONG options = 0) {
    Opened file;
    NTSTATUS status = OpenAs(process, path, DELETE, &file, options);
    if (!NT_SUCCESS(status)) return status;
    nb::kernel::ProcessScope scope(process);
    return Delete(file.get(), road);
  }
};

TEST_F(DeleteRoadsTest, HiddenAndReadOnlyFoldersRefuseEveryDeleteRecord) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", reader, NBFS_PERMISSION_READ), STATUS_SUCCESS);
  Messages();
  std::vector<std::string> first;
  for (const DeleteRoad& road : kRoads) {
    SCOPED_TRACE(road.what);
    // A process trusted only to read, in a hidden folder, and anyone in the read-only
    // folder (which may be refused at the open already).
    EXPECT_EQ(OpenAndDelete(reader, u"\\P\\H\\secret.txt", road), STATUS_ACCESS_DENIED);
    EXPECT_EQ(OpenAndDelete(app, u"\\P\\R\\r.txt", road), STATUS_ACCESS_DENIED);
    // Each record is refused with the same log lines as the plain one.
    std::vector<std::string> messages = Messages();
    if (first.empty()) {
      first = messages;
      EXPECT_EQ(first.front(), "setInfo: NO ACCESS: access denied\n");
    }
    EXPECT_EQ(messages, first);
  }
  EXPECT_TRUE(HostExists("P/H/secret.txt"));
  EXPECT_TRUE(HostExists("P/R/r.txt"));
}

TEST_F(DeleteRoadsTest, HandlesOpenedBeforeTheLockCannotDelete) {
  for (const DeleteRoad& road : kRoads) {
    SCOPED_TRACE(road.what);
    Opened hidden, readOnly;
    ASSERT_EQ(OpenAs(app, u"\\P\\H\\secret.txt", DELETE, &hidden), STATUS_SUCCESS);
    ASSERT_EQ(OpenAs(app, u"\\P\\R\\r.txt", DELETE, &readOnly), STATUS_SUCCESS);
    ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
    ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
    Messages();
    {
      nb::kernel::ProcessScope scope(app);
      EXPECT_EQ(Delete(hidden.get(), road), STATUS_ACCESS_DENIED);
      EXPECT_EQ(Delete(readOnly.get(), road), STATUS_ACCESS_DENIED);
    }
    EXPECT_THAT(Messages(), ElementsAre("setInfo: NO ACCESS: access denied\n", "setInfo: READONLY: access denied\n"));
    ASSERT_EQ(Control(DEL_ENTRY, Entry('X', u"\\P\\H")), STATUS_SUCCESS);
    ASSERT_EQ(Control(DEL_ENTRY, Entry('X', u"\\P\\R")), STATUS_SUCCESS);
  }
  EXPECT_TRUE(HostExists("P/H/secret.txt"));
  EXPECT_TRUE(HostExists("P/R/r.txt"));
}

TEST_F(DeleteRoadsTest, TheLockedFolderItselfIsNeverDeleted) {
  std::filesystem::remove(Host("P/H/secret.txt"));  // empty, so a file system would remove it
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", writer, NBFS_PERMISSION_FULL), STATUS_SUCCESS);
  Messages();
  for (const DeleteRoad& road : kRoads) {
    SCOPED_TRACE(road.what);
    // Fully trusted, and again while the lock is paused.
    EXPECT_EQ(OpenAndDelete(writer, u"\\P\\H", road, FILE_DIRECTORY_FILE), STATUS_ACCESS_DENIED);
    ASSERT_EQ(Control(PAUSE_ENTRY, Entry('X', u"\\P\\H")), STATUS_SUCCESS);
    EXPECT_EQ(OpenAndDelete(app, u"\\P\\H", road, FILE_DIRECTORY_FILE), STATUS_ACCESS_DENIED);
    ASSERT_EQ(Control(RESUME_ENTRY, Entry('X', u"\\P\\H")), STATUS_SUCCESS);
    EXPECT_THAT(Messages(), ElementsAre("cannot rename or delete Service Directory\n",
                                        "cannot rename or delete Service Directory\n"));
  }
  EXPECT_TRUE(HostExists("P/H"));
}

TEST_F(DeleteRoadsTest, UnlockedNamesAreDeletedByEveryRecord) {
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", writer, NBFS_PERMISSION_FULL), STATUS_SUCCESS);
  for (const DeleteRoad& road : kRoads) {
    SCOPED_TRACE(road.what);
    WriteHost("Q/q.txt", "q");
    WriteHost("P/H/w.txt", "w");
    EXPECT_EQ(OpenAndDelete(app, u"\\Q\\q.txt", road), STATUS_SUCCESS);
    EXPECT_EQ(OpenAndDelete(writer, u"\\P\\H\\w.txt", road), STATUS_SUCCESS);
    EXPECT_FALSE(HostExists("Q/q.txt"));
    EXPECT_FALSE(HostExists("P/H/w.txt"));
  }
}

}  // namespace
}  // namespace nbfs_test
