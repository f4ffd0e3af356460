// The extended delete disposition: a POSIX delete removes the name at once while the
// opens of the file keep working on it, and nothing done through them later touches a
// new file that took the name.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_volume_fixture.h"

namespace nb::hostfs::testing {
namespace {

using nb::kernel::QueryInformation;
using nb::kernel::ReadFile;
using nb::kernel::SetInformation;
using nb::kernel::WriteFile;

constexpr ULONG kPosixDelete = FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS;

class PosixDeleteTest : public HostVolumeTest {
 protected:
  NTSTATUS DisposeEx(PFILE_OBJECT file, ULONG flags) {
    FILE_DISPOSITION_INFORMATION_EX disposition{flags};
    return SetInformation(file, FileDispositionInformationEx, &disposition, sizeof disposition);
  }
  std::string ReadAll(PFILE_OBJECT file) {
    char buffer[256];
    ULONG done = 0;
    NTSTATUS status = ReadFile(file, buffer, sizeof buffer, 0, &done);
    if (status == STATUS_END_OF_FILE) return "";
    if (!NT_SUCCESS(status)) return "<failed>";
    return std::string(buffer, done);
  }
  // An open that lets others delete or replace the name, as POSIX openers do.
  NTSTATUS OpenSharingDelete(std::u16string_view name, ACCESS_MASK access, ULONG options, Opened* file) {
    nb::kernel::OpenParameters parameters;
    parameters.desiredAccess = access | SYNCHRONIZE;
    parameters.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    parameters.disposition = FILE_OPEN;
    parameters.options = options;
    return nb::kernel::OpenFile(u"\\DosDevices\\X:" + std::u16string(name), parameters, file->Out());
  }
  NTSTATUS Rename(PFILE_OBJECT file, std::u16string_view name, bool replace) {
    std::vector<UCHAR> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + name.size() * sizeof(WCHAR));
    auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
    info->ReplaceIfExists = replace;
    info->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    std::memcpy(info->FileName, name.data(), info->FileNameLength);
    return SetInformation(file, FileRenameInformation, buffer.data(), static_cast<ULONG>(buffer.size()));
  }
};

TEST_F(PosixDeleteTest, NameGoesAtOnceAndTheOpenKeepsTheFile) {
  WriteHost("f", "one");
  Opened kept;
  ASSERT_EQ(Open(u"\\f", FILE_READ_DATA | FILE_WRITE_DATA | FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &kept),
            STATUS_SUCCESS);
  Opened remover;
  ASSERT_EQ(Open(u"\\f", DELETE, FILE_OPEN, 0, &remover), STATUS_SUCCESS);
  ASSERT_EQ(DisposeEx(remover.get(), kPosixDelete), STATUS_SUCCESS);
  EXPECT_FALSE(HostExists("f"));  // before any handle closes

  // The other open reads, writes, sizes and describes the file it holds.
  EXPECT_EQ(ReadAll(kept.get()), "one");
  ULONG done = 0;
  ASSERT_EQ(WriteFile(kept.get(), "ONE!", 4, 0, &done), STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(kept.get()), "ONE!");
  FILE_END_OF_FILE_INFORMATION endOfFile{};
  endOfFile.EndOfFile.QuadPart = 2;
  ASSERT_EQ(SetInformation(kept.get(), FileEndOfFileInformation, &endOfFile, sizeof endOfFile), STATUS_SUCCESS);
  FILE_STANDARD_INFORMATION standard{};
  ASSERT_EQ(QueryInformation(kept.get(), FileStandardInformation, &standard, sizeof standard), STATUS_SUCCESS);
  EXPECT_EQ(standard.EndOfFile.QuadPart, 2);
  EXPECT_EQ(standard.NumberOfLinks, 0u);
  EXPECT_TRUE(standard.DeletePending);
  FILE_STAT_LX_INFORMATION lx{};
  EXPECT_EQ(QueryInformation(kept.get(), FileStatLxInformation, &lx, sizeof lx), STATUS_SUCCESS);
  // It has no name to report.
  std::vector<UCHAR> name(512);
  EXPECT_EQ(QueryInformation(kept.get(), FileNameInformation, name.data(), 512), STATUS_FILE_DELETED);
}

TEST_F(PosixDeleteTest, ANewFileTakesTheNameAndNoOldOpenTouchesIt) {
  WriteHost("f", "old");
  Opened old;
  ASSERT_EQ(Open(u"\\f", FILE_READ_DATA | DELETE, FILE_OPEN, 0, &old), STATUS_SUCCESS);
  Opened pendingToo;  // an open that asked for delete on close
  ASSERT_EQ(Open(u"\\f", FILE_READ_DATA | DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, &pendingToo), STATUS_SUCCESS);
  Opened remover;
  ASSERT_EQ(Open(u"\\f", DELETE, FILE_OPEN, 0, &remover), STATUS_SUCCESS);
  ASSERT_EQ(DisposeEx(remover.get(), kPosixDelete), STATUS_SUCCESS);
  remover.Reset();

  Opened fresh;
  ASSERT_EQ(Open(u"\\f", FILE_WRITE_DATA, FILE_CREATE, 0, &fresh), STATUS_SUCCESS);
  ULONG done = 0;
  ASSERT_EQ(WriteFile(fresh.get(), "new", 3, 0, &done), STATUS_SUCCESS);

  // Every road by which an old open could act on its old name: delete dispositions of
  // both kinds, a rename, a link, a relative open, and the closes themselves.
  FILE_DISPOSITION_INFORMATION plain{TRUE};
  EXPECT_EQ(SetInformation(old.get(), FileDispositionInformation, &plain, sizeof plain), STATUS_SUCCESS);
  EXPECT_EQ(DisposeEx(old.get(), kPosixDelete), STATUS_SUCCESS);
  EXPECT_EQ(Rename(old.get(), u"moved", true), STATUS_FILE_DELETED);
  EXPECT_EQ(Rename(old.get(), u"\\moved", true), STATUS_FILE_DELETED);
  std::vector<UCHAR> link(offsetof(FILE_LINK_INFORMATION, FileName) + 9 * sizeof(WCHAR));
  auto* linkInfo = reinterpret_cast<FILE_LINK_INFORMATION*>(link.data());
  linkInfo->FileNameLength = 9 * sizeof(WCHAR);
  std::memcpy(linkInfo->FileName, u"\\relinked", linkInfo->FileNameLength);
  EXPECT_EQ(SetInformation(old.get(), FileLinkInformation, link.data(), static_cast<ULONG>(link.size())),
            STATUS_FILE_DELETED);
  FILE_DISPOSITION_INFORMATION undo{FALSE};
  EXPECT_EQ(SetInformation(old.get(), FileDispositionInformation, &undo, sizeof undo), STATUS_FILE_DELETED);
  Opened relative;
  EXPECT_EQ(Open(u"f", FILE_READ_DATA, FILE_OPEN, 0, &relative, nullptr, old.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ReadAll(old.get()), "old");
  old.Reset();
  pendingToo.Reset();
  fresh.Reset();
  ASSERT_TRUE(HostExists("f"));
  EXPECT_EQ(ReadHost("f"), "new");
  EXPECT_FALSE(HostExists("moved"));
  EXPECT_FALSE(HostExists("relinked"));

  // The new file's own opens are plain opens of a name again.
  Opened again;
  EXPECT_EQ(Open(u"\\f", FILE_READ_DATA, FILE_OPEN, 0, &again), STATUS_SUCCESS);
}

TEST_F(PosixDeleteTest, AFileWithoutANameIsOpenedAgainOnlyThroughAnOpenOfIt) {
  WriteHost("f", "old");
  Opened old;
  ASSERT_EQ(Open(u"\\f", FILE_READ_DATA, FILE_OPEN, 0, &old), STATUS_SUCCESS);
  Opened remover;
  ASSERT_EQ(Open(u"\\f", DELETE, FILE_OPEN, 0, &remover), STATUS_SUCCESS);
  ASSERT_EQ(DisposeEx(remover.get(), kPosixDelete), STATUS_SUCCESS);
  WriteHost("f", "new");

  // An empty name relative to the open opens the same file, with the rights asked for.
  Opened again;
  ASSERT_EQ(Open(u"", FILE_READ_DATA | FILE_WRITE_DATA, FILE_OPEN, 0, &again, nullptr, old.get()), STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(again.get()), "old");
  ULONG done = 0;
  ASSERT_EQ(WriteFile(again.get(), "OLD", 3, 0, &done), STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(old.get()), "OLD");
  std::vector<UCHAR> name(512);
  EXPECT_EQ(QueryInformation(again.get(), FileNameInformation, name.data(), 512), STATUS_FILE_DELETED);
  EXPECT_TRUE(again.get()->DeletePending);
  Opened truncated;
  ASSERT_EQ(Open(u"", FILE_WRITE_DATA, FILE_OVERWRITE, 0, &truncated, nullptr, old.get()), STATUS_SUCCESS);
  EXPECT_EQ(ReadAll(old.get()), "");

  // Nothing makes or deletes a name that way.
  Opened refused;
  EXPECT_EQ(Open(u"", FILE_WRITE_DATA, FILE_CREATE, 0, &refused, nullptr, old.get()), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(Open(u"", FILE_READ_DATA | DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, &refused, nullptr, old.get()),
            STATUS_CANNOT_DELETE);
  EXPECT_EQ(Open(u"", FILE_READ_DATA, FILE_OPEN, FILE_DIRECTORY_FILE, &refused, nullptr, old.get()),
            STATUS_NOT_A_DIRECTORY);
  again.Reset();
  truncated.Reset();
  old.Reset();
  EXPECT_EQ(ReadHost("f"), "new");
}

TEST_F(PosixDeleteTest, FlagsAndRefusalsMatchThePlainDisposition) {
  WriteHost("f", "f");
  WriteHost("full/child", "c");
  WriteHost("readonly", "r");
  std::filesystem::permissions(Host("readonly"), std::filesystem::perms::owner_read);

  struct Case {
    const char* what;
    std::u16string path;
    ACCESS_MASK access;
    ULONG flags;
    ULONG length;
    NTSTATUS expected;
    bool nameStays;
  };
  const Case cases[] = {
      {"no delete right", u"\\f", FILE_READ_DATA, kPosixDelete, 4, STATUS_ACCESS_DENIED, true},
      {"short record", u"\\f", DELETE, kPosixDelete, 3, STATUS_INFO_LENGTH_MISMATCH, true},
      {"unknown flag", u"\\f", DELETE, kPosixDelete | 0x100, 4, STATUS_INVALID_PARAMETER, true},
      {"delete-on-close change", u"\\f", DELETE, kPosixDelete | FILE_DISPOSITION_ON_CLOSE, 4, STATUS_NOT_SUPPORTED,
       true},
      {"do not delete", u"\\f", DELETE, FILE_DISPOSITION_DO_NOT_DELETE, 4, STATUS_SUCCESS, true},
      {"posix flag alone", u"\\f", DELETE, FILE_DISPOSITION_POSIX_SEMANTICS, 4, STATUS_SUCCESS, true},
      {"directory not empty", u"\\full", DELETE, kPosixDelete, 4, STATUS_DIRECTORY_NOT_EMPTY, true},
      {"the root", u"\\", DELETE, kPosixDelete, 4, STATUS_CANNOT_DELETE, true},
      {"read-only file", u"\\readonly", DELETE, kPosixDelete, 4, STATUS_CANNOT_DELETE, true},
      {"read-only ignored", u"\\readonly", DELETE, kPosixDelete | FILE_DISPOSITION_IGNORE_READONLY_ATTRIBUTE, 4,
       STATUS_SUCCESS, false},
      {"image check is harmless", u"\\f", DELETE, kPosixDelete | FILE_DISPOSITION_FORCE_IMAGE_SECTION_CHECK, 4,
       STATUS_SUCCESS, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Opened file;
    ASSERT_EQ(Open(c.path, c.access, FILE_OPEN, 0, &file), STATUS_SUCCESS);
    FILE_DISPOSITION_INFORMATION_EX disposition{c.flags};
    EXPECT_EQ(SetInformation(file.get(), FileDispositionInformationEx, &disposition, c.length), c.expected);
    file.Reset();
    std::string host = c.path == u"\\" ? "." : nb::text::Utf16ToUtf8(c.path.substr(1));
    EXPECT_EQ(HostExists(host), c.nameStays);
  }
}

TEST_F(PosixDeleteTest, WithoutPosixSemanticsTheNameWaitsForTheLastClose) {
  WriteHost("f", "f");
  Opened other;
  ASSERT_EQ(Open(u"\\f", FILE_READ_DATA, FILE_OPEN, 0, &other), STATUS_SUCCESS);
  Opened remover;
  ASSERT_EQ(Open(u"\\f", DELETE, FILE_OPEN, 0, &remover), STATUS_SUCCESS);
  ASSERT_EQ(DisposeEx(remover.get(), FILE_DISPOSITION_DELETE), STATUS_SUCCESS);
  remover.Reset();
  EXPECT_TRUE(HostExists("f"));
  Opened refused;
  EXPECT_EQ(Open(u"\\f", FILE_READ_DATA, FILE_OPEN, 0, &refused), STATUS_DELETE_PENDING);
  other.Reset();
  EXPECT_FALSE(HostExists("f"));
}

TEST_F(PosixDeleteTest, EmptyDirectoryGoesAtOnceAndNothingIsReachedThroughItsOpens) {
  std::filesystem::create_directories(Host("d"));
  Opened held;
  ASSERT_EQ(Open(u"\\d", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, &held), STATUS_SUCCESS);
  Opened remover;
  ASSERT_EQ(Open(u"\\d", DELETE, FILE_OPEN, FILE_DIRECTORY_FILE, &remover), STATUS_SUCCESS);
  ASSERT_EQ(DisposeEx(remover.get(), kPosixDelete), STATUS_SUCCESS);
  EXPECT_FALSE(HostExists("d"));

  // A new directory of the name; a create relative to the old open must not land in it,
  // nor at the root, and the old open's close leaves it alone.
  std::filesystem::create_directories(Host("d"));
  Opened relative;
  EXPECT_EQ(Open(u"x", FILE_WRITE_DATA, FILE_CREATE, 0, &relative, nullptr, held.get()), STATUS_FILE_DELETED);
  EXPECT_FALSE(HostExists("d/x"));
  EXPECT_FALSE(HostExists("x"));
  Opened file;
  ASSERT_EQ(Open(u"\\f", DELETE, FILE_CREATE, 0, &file), STATUS_SUCCESS);
  EXPECT_EQ(Rename(file.get(), u"", false), STATUS_OBJECT_NAME_INVALID);
  std::vector<UCHAR> buffer(offsetof(FILE_RENAME_INFORMATION, FileName) + 2 * sizeof(WCHAR));
  auto* info = reinterpret_cast<FILE_RENAME_INFORMATION*>(buffer.data());
  info->FileNameLength = 2 * sizeof(WCHAR);
  std::memcpy(info->FileName, u"in", info->FileNameLength);
  EXPECT_EQ(nb::kernel::SetInformation(file.get(), FileRenameInformation, buffer.data(),
                                       static_cast<ULONG>(buffer.size()), held.get()),
            STATUS_FILE_DELETED);
  EXPECT_FALSE(HostExists("d/in"));
  EXPECT_FALSE(HostExists("in"));
  held.Reset();
  remover.Reset();
  EXPECT_TRUE(HostExists("d"));
}

TEST_F(PosixDeleteTest, OneNameOfAHardLinkedFileGoesAndTheOtherStays) {
  WriteHost("a", "shared");
  std::filesystem::create_hard_link(Host("a"), Host("b"));
  Opened throughB;
  ASSERT_EQ(Open(u"\\b", FILE_READ_DATA | DELETE, FILE_OPEN, 0, &throughB), STATUS_SUCCESS);
  Opened remover;
  ASSERT_EQ(Open(u"\\a", DELETE, FILE_OPEN, 0, &remover), STATUS_SUCCESS);
  ASSERT_EQ(DisposeEx(remover.get(), kPosixDelete), STATUS_SUCCESS);
  EXPECT_FALSE(HostExists("a"));
  // The open of the other name still has it: it may still rename by it.
  EXPECT_EQ(Rename(throughB.get(), u"c", false), STATUS_SUCCESS);
  EXPECT_TRUE(HostExists("c"));
}

TEST_F(PosixDeleteTest, AFileReplacedByARenameLosesItsNameForItsOpens) {
  WriteHost("target", "replaced");
  WriteHost("source", "moved");
  Opened replaced;
  ASSERT_EQ(OpenSharingDelete(u"\\target", FILE_READ_DATA | DELETE, FILE_DELETE_ON_CLOSE, &replaced), STATUS_SUCCESS);
  Opened mover;
  ASSERT_EQ(Open(u"\\source", DELETE, FILE_OPEN, 0, &mover), STATUS_SUCCESS);
  ASSERT_EQ(Rename(mover.get(), u"target", true), STATUS_SUCCESS);
  mover.Reset();
  EXPECT_EQ(ReadAll(replaced.get()), "replaced");
  // Its delete-on-close must not take the name from the file that holds it now.
  replaced.Reset();
  ASSERT_TRUE(HostExists("target"));
  EXPECT_EQ(ReadHost("target"), "moved");
}

}  // namespace
}  // namespace nb::hostfs::testing
