// Query and set information through IRPs: attributes, sizes, names, rename, delete
// disposition and delete-on-close.
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "host_volume_fixture.h"

namespace nb::hostfs::testing {
namespace {

using nb::kernel::QueryInformation;
using nb::kernel::SetInformation;

class FileInfoTest : public HostVolumeTest {
 protected:
  std::u16string NameOf(PFILE_OBJECT file) {
    std::vector<UCHAR> buffer(1024);
    ULONG returned = 0;
    if (QueryInformation(file, FileNameInformation, buffer.data(), 1024, &returned) != STATUS_SUCCESS) return u"?";
    auto* info = reinterpret_cast<FILE_NAME_INFORMATION*>(buffer.data());
    return std::u16string(info->FileName, info->FileNameLength / sizeof(WCHAR));
  }
  NTSTATUS Rename(PFILE_OBJECT file, std::u16string_view name, bool replace, PFILE_OBJECT target = nullptr) {
    std::vector<UCHAR> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + name.size() * sizeof(WCHAR));
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    info->ReplaceIfExists = replace;
    info->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    std::memcpy(info->FileName, name.data(), info->FileNameLength);
    return SetInformation(file, FileRenameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), target);
  }
  NTSTATUS Dispose(PFILE_OBJECT file, bool deleteFile) {
    FILE_DISPOSITION_INFORMATION disposition{deleteFile};
    return SetInformation(file, FileDispositionInformation, &disposition, sizeof disposition);
  }
};

TEST_F(FileInfoTest, QueriesDescribeFilesAndDirectories) {
  WriteHost("d/f", "0123456789");
  Opened file;
  ASSERT_EQ(Open(u"\\d\\f", FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &file), STATUS_SUCCESS);
  FILE_STANDARD_INFORMATION standard{};
  ASSERT_EQ(QueryInformation(file.get(), FileStandardInformation, &standard, sizeof standard), STATUS_SUCCESS);
  EXPECT_EQ(standard.EndOfFile.QuadPart, 10);
  EXPECT_EQ(standard.NumberOfLinks, 1u);
  EXPECT_FALSE(standard.Directory);
  FILE_NETWORK_OPEN_INFORMATION open{};
  ASSERT_EQ(QueryInformation(file.get(), FileNetworkOpenInformation, &open, sizeof open), STATUS_SUCCESS);
  EXPECT_EQ(open.EndOfFile.QuadPart, 10);
  EXPECT_EQ(open.FileAttributes, static_cast<ULONG>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(NameOf(file.get()), u"\\d\\f");
  FILE_BASIC_INFORMATION basic{};
  EXPECT_EQ(QueryInformation(file.get(), FileBasicInformation, &basic, sizeof basic - 1),
            STATUS_INFO_LENGTH_MISMATCH);
  ASSERT_EQ(QueryInformation(file.get(), FileBasicInformation, &basic, sizeof basic), STATUS_SUCCESS);
  EXPECT_GT(basic.LastWriteTime.QuadPart, 116444736000000000LL);  // after 1970

  // A name longer than the buffer: its full length and as much as fits.
  UCHAR small[8] = {};
  ULONG returned = 0;
  EXPECT_EQ(QueryInformation(file.get(), FileNameInformation, small, sizeof small, &returned),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(reinterpret_cast<FILE_NAME_INFORMATION*>(small)->FileNameLength, 8u);

  Opened dir;
  ASSERT_EQ(Open(u"\\d", FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &dir), STATUS_SUCCESS);
  ASSERT_EQ(QueryInformation(dir.get(), FileStandardInformation, &standard, sizeof standard), STATUS_SUCCESS);
  EXPECT_TRUE(standard.Directory);
  ASSERT_EQ(QueryInformation(dir.get(), FileBasicInformation, &basic, sizeof basic), STATUS_SUCCESS);
  EXPECT_EQ(basic.FileAttributes, static_cast<ULONG>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(FileInfoTest, SetBasicAndEndOfFile) {
  WriteHost("f", "0123456789");
  Opened file;
  ASSERT_EQ(Open(u"\\f", FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0, &file), STATUS_SUCCESS);
  FILE_BASIC_INFORMATION basic{};
  basic.LastWriteTime.QuadPart = 116444736000000000LL + 1234567890LL * 10000000LL;  // 2009-02-13
  basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
  ASSERT_EQ(SetInformation(file.get(), FileBasicInformation, &basic, sizeof basic), STATUS_SUCCESS);
  struct stat st {};
  ASSERT_EQ(stat(Host("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  Opened writer;
  EXPECT_EQ(Open(u"\\f", FILE_WRITE_DATA, FILE_OPEN, 0, &writer), STATUS_ACCESS_DENIED);
  basic = {};
  basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  ASSERT_EQ(SetInformation(file.get(), FileBasicInformation, &basic, sizeof basic), STATUS_SUCCESS);
  EXPECT_EQ(Open(u"\\f", FILE_WRITE_DATA, FILE_OPEN, 0, &writer), STATUS_SUCCESS);

  FILE_END_OF_FILE_INFORMATION endOfFile{};
  endOfFile.EndOfFile.QuadPart = 4;
  ASSERT_EQ(SetInformation(file.get(), FileEndOfFileInformation, &endOfFile, sizeof endOfFile), STATUS_SUCCESS);
  EXPECT_EQ(ReadHost("f"), "0123");

  // An open for attributes alone reaches the file through its O_PATH descriptor.
  Opened attributes;
  ASSERT_EQ(Open(u"\\f", FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0, &attributes), STATUS_SUCCESS);
  basic = {};
  basic.LastAccessTime.QuadPart = 116444736000000000LL + 1000000000LL * 10000000LL;
  ASSERT_EQ(SetInformation(attributes.get(), FileBasicInformation, &basic, sizeof basic), STATUS_SUCCESS);
  ASSERT_EQ(stat(Host("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_atim.tv_sec, 1000000000);

  Opened reader;
  ASSERT_EQ(Open(u"\\f", FILE_READ_DATA, FILE_OPEN, 0, &reader), STATUS_SUCCESS);
  EXPECT_EQ(SetInformation(reader.get(), FileEndOfFileInformation, &endOfFile, sizeof endOfFile),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(SetInformation(reader.get(), FileBasicInformation, &basic, sizeof basic), STATUS_ACCESS_DENIED);
}

TEST_F(FileInfoTest, RenameMovesNamesAndOpenPathsWithThem) {
  WriteHost("a/f", "f");
  WriteHost("a/g", "g");
  WriteHost("b/x", "x");
  Opened file;
  ASSERT_EQ(Open(u"\\a\\f", DELETE, FILE_OPEN, 0, &file), STATUS_SUCCESS);
  ASSERT_EQ(Rename(file.get(), u"f2", false), STATUS_SUCCESS);
  EXPECT_EQ(ReadHost("a/f2"), "f");
  EXPECT_EQ(NameOf(file.get()), u"\\a\\f2");
  EXPECT_EQ(Rename(file.get(), u"g", false), STATUS_OBJECT_NAME_COLLISION);
  ASSERT_EQ(Rename(file.get(), u"\\b\\f3", false), STATUS_SUCCESS);
  EXPECT_EQ(ReadHost("b/f3"), "f");
  Opened a;
  ASSERT_EQ(Open(u"\\a", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, &a), STATUS_SUCCESS);
  ASSERT_EQ(Rename(file.get(), u"\\ignored\\f4", false, a.get()), STATUS_SUCCESS);
  EXPECT_EQ(ReadHost("a/f4"), "f");
  ASSERT_EQ(Rename(file.get(), u"g", true), STATUS_SUCCESS);
  EXPECT_EQ(ReadHost("a/g"), "f");
  EXPECT_FALSE(HostExists("a/f4"));

  // Renaming a directory carries the paths of files open below it.
  Opened dir;
  ASSERT_EQ(Open(u"\\a", DELETE, FILE_OPEN, 0, &dir), STATUS_SUCCESS);
  ASSERT_EQ(Rename(dir.get(), u"c", false), STATUS_SUCCESS);
  EXPECT_EQ(NameOf(file.get()), u"\\c\\g");
  EXPECT_EQ(NameOf(a.get()), u"\\c");
  EXPECT_EQ(Rename(dir.get(), u"\\c\\inside", false), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Rename(file.get(), u"\\b", true), STATUS_ACCESS_DENIED);  // a directory is never replaced
  Opened x;
  ASSERT_EQ(Open(u"\\b\\x", FILE_READ_DATA, FILE_OPEN, 0, &x), STATUS_SUCCESS);
  EXPECT_EQ(Rename(file.get(), u"\\b\\x", true), STATUS_ACCESS_DENIED);  // nor a file that is open
  EXPECT_EQ(Rename(file.get(), u"\\missing\\y", false), STATUS_OBJECT_PATH_NOT_FOUND);
  EXPECT_EQ(Rename(file.get(), u"\\c\\bad:name", false), STATUS_OBJECT_NAME_INVALID);

  // The directory a rename goes into, opened the way the I/O manager opens it.
  nb::kernel::OpenParameters target;
  target.desiredAccess = FILE_WRITE_DATA;
  target.flags = SL_OPEN_TARGET_DIRECTORY;
  Opened targetDir;
  ULONG_PTR information = 0;
  ASSERT_EQ(nb::kernel::OpenFile(u"\\DosDevices\\X:\\b\\moved", target, targetDir.Out(), &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, static_cast<ULONG_PTR>(FILE_DOES_NOT_EXIST));
  EXPECT_EQ(NameOf(targetDir.get()), u"\\b");
  ASSERT_EQ(Rename(file.get(), u"\\b\\moved", false, targetDir.get()), STATUS_SUCCESS);
  EXPECT_EQ(ReadHost("b/moved"), "f");
  ASSERT_EQ(nb::kernel::OpenFile(u"\\DosDevices\\X:\\b\\x", target, targetDir.Out(), &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, static_cast<ULONG_PTR>(FILE_EXISTS));

  Opened noDelete;
  ASSERT_EQ(Open(u"\\b\\x", FILE_READ_DATA, FILE_OPEN, 0, &noDelete), STATUS_SUCCESS);
  EXPECT_EQ(Rename(noDelete.get(), u"y", false), STATUS_ACCESS_DENIED);
}

TEST_F(FileInfoTest, DeleteOnCloseRemovesTheNameAtTheLastCleanup) {
  WriteHost("f", "f");
  Opened first;
  ASSERT_EQ(Open(u"\\f", FILE_READ_DATA | DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, &first), STATUS_SUCCESS);
  Opened second;
  ASSERT_EQ(Open(u"\\f", FILE_READ_DATA, FILE_OPEN, 0, &second), STATUS_SUCCESS);
  first.Reset();
  EXPECT_TRUE(HostExists("f"));
  Opened third;
  EXPECT_EQ(Open(u"\\f", FILE_READ_DATA, FILE_OPEN, 0, &third), STATUS_DELETE_PENDING);
  FILE_STANDARD_INFORMATION standard{};
  ASSERT_EQ(QueryInformation(second.get(), FileStandardInformation, &standard, sizeof standard), STATUS_SUCCESS);
  EXPECT_TRUE(standard.DeletePending);
  second.Reset();
  EXPECT_FALSE(HostExists("f"));

  // A created file with delete-on-close is a temporary file.
  Opened temporary;
  ASSERT_EQ(Open(u"\\tmp", FILE_WRITE_DATA | DELETE, FILE_CREATE, FILE_DELETE_ON_CLOSE, &temporary), STATUS_SUCCESS);
  EXPECT_TRUE(HostExists("tmp"));
  temporary.Reset();
  EXPECT_FALSE(HostExists("tmp"));
}

TEST_F(FileInfoTest, DispositionDeletesAndCanBeTakenBack) {
  WriteHost("keep", "k");
  WriteHost("gone", "g");
  WriteHost("full/child", "c");
  Opened keep;
  ASSERT_EQ(Open(u"\\keep", DELETE, FILE_OPEN, 0, &keep), STATUS_SUCCESS);
  ASSERT_EQ(Dispose(keep.get(), true), STATUS_SUCCESS);
  EXPECT_TRUE(keep.get()->DeletePending);
  ASSERT_EQ(Dispose(keep.get(), false), STATUS_SUCCESS);
  keep.Reset();
  EXPECT_TRUE(HostExists("keep"));

  Opened gone;
  ASSERT_EQ(Open(u"\\gone", DELETE, FILE_OPEN, 0, &gone), STATUS_SUCCESS);
  ASSERT_EQ(Dispose(gone.get(), true), STATUS_SUCCESS);
  gone.Reset();
  EXPECT_FALSE(HostExists("gone"));

  Opened full;
  ASSERT_EQ(Open(u"\\full", DELETE, FILE_OPEN, 0, &full), STATUS_SUCCESS);
  EXPECT_EQ(Dispose(full.get(), true), STATUS_DIRECTORY_NOT_EMPTY);
  Opened reader;
  ASSERT_EQ(Open(u"\\full\\child", FILE_READ_DATA, FILE_OPEN, 0, &reader), STATUS_SUCCESS);
  EXPECT_EQ(Dispose(reader.get(), true), STATUS_ACCESS_DENIED);
}

TEST_F(FileInfoTest, DeleteAtCleanupSparesAFileThatTookTheNameMeanwhile) {
  WriteHost("f", "old");
  Opened file;
  ASSERT_EQ(Open(u"\\f", DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, &file), STATUS_SUCCESS);
  // The host replaces the file behind the open's back.
  std::filesystem::remove(Host("f"));
  WriteHost("f", "new");
  file.Reset();
  EXPECT_EQ(ReadHost("f"), "new");
}

}  // namespace
}  // namespace nb::hostfs::testing

namespace nb::hostfs::testing {
namespace {

class StatLxTest : public FileInfoTest {};

TEST_F(StatLxTest, FileOpenWithDeleteSharedIsReplacedAndKeepsItsContent) {
  WriteHost("old", "old");
  WriteHost("new", "new");
  kernel::OpenParameters shared;
  shared.desiredAccess = FILE_READ_DATA | SYNCHRONIZE;
  shared.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  Opened reader;
  ASSERT_EQ(kernel::OpenFile(u"\\DosDevices\\X:\\old", shared, reader.Out()), STATUS_SUCCESS);
  Opened mover;
  ASSERT_EQ(Open(u"\\new", DELETE, FILE_OPEN, 0, &mover), STATUS_SUCCESS);
  EXPECT_EQ(Rename(mover.get(), u"\\old", true), STATUS_SUCCESS);
  EXPECT_EQ(ReadHost("old"), "new");
  char content[8] = {};
  ULONG read = 0;
  ASSERT_EQ(kernel::ReadFile(reader.get(), content, sizeof content, 0, &read), STATUS_SUCCESS);
  EXPECT_EQ(std::string(content, read), "old");
}

TEST_F(StatLxTest, PosixModeAndOwnerAreReportedAndSet) {
  WriteHost("f", "data");
  std::filesystem::permissions(Host("f"), std::filesystem::perms(0640));
  Opened file;
  ASSERT_EQ(Open(u"\\f", FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0, &file), STATUS_SUCCESS);
  FILE_STAT_LX_INFORMATION lx{};
  ASSERT_EQ(kernel::QueryInformation(file.get(), FileStatLxInformation, &lx, sizeof lx), STATUS_SUCCESS);
  EXPECT_EQ(lx.LxMode, static_cast<ULONG>(S_IFREG | 0640));
  EXPECT_EQ(lx.EndOfFile.QuadPart, 4);
  EXPECT_EQ(lx.LxUid, geteuid());
  FILE_STAT_LX_INFORMATION change{};
  change.LxFlags = LX_FILE_METADATA_HAS_MODE;
  change.LxMode = 0751;
  ASSERT_EQ(kernel::SetInformation(file.get(), FileStatLxInformation, &change, sizeof change), STATUS_SUCCESS);
  struct stat st {};
  ASSERT_EQ(stat(Host("f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0751u);
  // Changing them needs the right to write attributes.
  Opened reader;
  ASSERT_EQ(Open(u"\\f", FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &reader), STATUS_SUCCESS);
  EXPECT_EQ(kernel::SetInformation(reader.get(), FileStatLxInformation, &change, sizeof change),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(kernel::SetInformation(file.get(), FileStatLxInformation, &change, 8), STATUS_INFO_LENGTH_MISMATCH);
}

}  // namespace
}  // namespace nb::hostfs::testing
