// Hard links (FileLinkInformation) and symbolic links (reparse points) through IRPs, and
// the reparse record's decoder on its own.
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "host_volume_fixture.h"
#include "nb/kernel/reparse_records.h"

namespace nb::hostfs::testing {
namespace {

namespace fs = std::filesystem;
using nb::kernel::FileSystemControl;
using nb::kernel::QueryInformation;
using nb::kernel::SetInformation;

class LinkTest : public HostVolumeTest {
 protected:
  NTSTATUS Link(PFILE_OBJECT file, std::u16string_view name, bool replace, PFILE_OBJECT target = nullptr) {
    std::vector<UCHAR> buffer(offsetof(FILE_LINK_INFORMATION, FileName) + name.size() * sizeof(WCHAR));
    auto* info = reinterpret_cast<FILE_LINK_INFORMATION*>(buffer.data());
    info->ReplaceIfExists = replace;
    info->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    std::memcpy(info->FileName, name.data(), info->FileNameLength);
    return SetInformation(file, FileLinkInformation, buffer.data(), static_cast<ULONG>(buffer.size()), target);
  }
  NTSTATUS MakeLink(PFILE_OBJECT file, const std::string& text) {
    std::vector<UCHAR> record = nb::kernel::EncodeLinkRecord(text);
    return FileSystemControl(file, FSCTL_SET_REPARSE_POINT, record.data(), static_cast<ULONG>(record.size()),
                             nullptr, 0);
  }
  NTSTATUS LinkText(PFILE_OBJECT file, std::string* text) {
    std::vector<UCHAR> record(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    ULONG returned = 0;
    NTSTATUS status = FileSystemControl(file, FSCTL_GET_REPARSE_POINT, nullptr, 0, record.data(),
                                        static_cast<ULONG>(record.size()), &returned);
    return NT_SUCCESS(status) ? nb::kernel::DecodeLinkRecord(record.data(), returned, text) : status;
  }
  ULONG Links(PFILE_OBJECT file) {
    FILE_STANDARD_INFORMATION standard{};
    return QueryInformation(file, FileStandardInformation, &standard, sizeof standard) == STATUS_SUCCESS
               ? standard.NumberOfLinks
               : 0;
  }
  std::vector<std::string> HostNames(const std::string& relative) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Host(relative))) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(LinkTest, AHardLinkIsASecondNameOfTheSameContent) {
  WriteHost("a/f", "one");
  fs::create_directory(Host("b"));
  WriteHost("b/other", "other");
  Opened file;
  ASSERT_EQ(Open(u"\\a\\f", FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &file), STATUS_SUCCESS);
  ASSERT_EQ(Link(file.get(), u"\\b\\g", false), STATUS_SUCCESS);
  EXPECT_TRUE(fs::equivalent(Host("a/f"), Host("b/g")));
  EXPECT_EQ(Links(file.get()), 2u);
  ASSERT_EQ(Link(file.get(), u"beside", false), STATUS_SUCCESS);  // a plain name lands in the file's folder
  EXPECT_TRUE(fs::equivalent(Host("a/f"), Host("a/beside")));

  // An existing name stays unless the request says to replace it, and then it is
  // replaced in one step: no name is missing meanwhile, no temporary one is left.
  EXPECT_EQ(Link(file.get(), u"\\b\\other", false), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(ReadHost("b/other"), "other");
  ASSERT_EQ(Link(file.get(), u"\\b\\other", true), STATUS_SUCCESS);
  EXPECT_EQ(ReadHost("b/other"), "one");
  EXPECT_EQ(HostNames("b"), (std::vector<std::string>{"g", "other"}));
  EXPECT_EQ(Link(file.get(), u"\\b\\g", true), STATUS_SUCCESS);  // already a name of the file
  EXPECT_EQ(Links(file.get()), 4u);
}

TEST_F(LinkTest, HardLinksAreRefusedWhereTheyCannotBeMade) {
  WriteHost("a/f", "one");
  WriteHost("a/open", "busy");
  fs::create_directories(Host("d/sub"));
  Opened file, directory, busy;
  ASSERT_EQ(Open(u"\\a\\f", FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &file), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\d", FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &directory), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\a\\open", FILE_READ_DATA, FILE_OPEN, 0, &busy), STATUS_SUCCESS);  // shares no delete
  struct Case {
    PFILE_OBJECT file;
    std::u16string name;
    bool replace;
    NTSTATUS status;
  };
  const Case cases[] = {
      {directory.get(), u"\\d2", false, STATUS_FILE_IS_A_DIRECTORY},
      {file.get(), u"\\d\\sub", true, STATUS_ACCESS_DENIED},  // a directory is never replaced
      {file.get(), u"\\a\\open", true, STATUS_ACCESS_DENIED},  // nor a file open without delete shared
      {file.get(), u"\\missing\\g", false, STATUS_OBJECT_PATH_NOT_FOUND},
      {file.get(), u"\\a\\bad:name", false, STATUS_OBJECT_NAME_INVALID},
      {file.get(), u"\\", false, STATUS_OBJECT_NAME_INVALID},
      {file.get(), u"a\\g", false, STATUS_OBJECT_NAME_INVALID},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Link(c.file, c.name, c.replace), c.status) << nb::text::Utf16ToUtf8(c.name);
  }
  EXPECT_EQ(ReadHost("a/open"), "busy");
  EXPECT_EQ(Links(file.get()), 1u);

  // Records cut short are refused before anything is read beyond them.
  std::vector<UCHAR> record(offsetof(FILE_LINK_INFORMATION, FileName) + 4);
  auto* info = reinterpret_cast<FILE_LINK_INFORMATION*>(record.data());
  info->FileNameLength = 64;
  EXPECT_EQ(SetInformation(file.get(), FileLinkInformation, record.data(), static_cast<ULONG>(record.size())),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SetInformation(file.get(), FileLinkInformation, record.data(), 4), STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(LinkTest, AHardLinkIntoAnotherVolumeIsRefused) {
  fs::create_directory(top_ / "second");
  ASSERT_EQ(machine_.AddHostVolume('Y', (top_ / "second").string()), STATUS_SUCCESS);
  WriteHost("f", "one");
  Opened file, elsewhere;
  ASSERT_EQ(Open(u"\\f", FILE_READ_ATTRIBUTES, FILE_OPEN, 0, &file), STATUS_SUCCESS);
  nb::kernel::OpenParameters parameters;
  parameters.desiredAccess = FILE_LIST_DIRECTORY | SYNCHRONIZE;
  parameters.options = FILE_DIRECTORY_FILE;
  ASSERT_EQ(nb::kernel::OpenFile(u"\\DosDevices\\Y:\\", parameters, elsewhere.Out()), STATUS_SUCCESS);
  EXPECT_EQ(Link(file.get(), u"g", false, elsewhere.get()), STATUS_NOT_SAME_DEVICE);
  EXPECT_FALSE(fs::exists(top_ / "second" / "g"));
}

// Deleting one name of a file with two leaves the other, also while both are open.
TEST_F(LinkTest, DeletingOneNameOfALinkedFileKeepsTheOther) {
  WriteHost("f", "data");
  fs::create_hard_link(Host("f"), Host("g"));
  Opened keeper;
  ASSERT_EQ(Open(u"\\g", FILE_READ_DATA, FILE_OPEN, 0, &keeper), STATUS_SUCCESS);
  Opened deleter, reader;
  ASSERT_EQ(Open(u"\\f", DELETE, FILE_OPEN, FILE_DELETE_ON_CLOSE, &deleter), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\f", FILE_READ_DATA, FILE_OPEN, 0, &reader), STATUS_SUCCESS);
  deleter.Reset();
  // \f is about to go; \g is not.
  Opened again;
  EXPECT_EQ(Open(u"\\f", FILE_READ_DATA, FILE_OPEN, 0, &again), STATUS_DELETE_PENDING);
  EXPECT_EQ(Open(u"\\g", FILE_READ_DATA, FILE_OPEN, 0, &again), STATUS_SUCCESS);
  FILE_STANDARD_INFORMATION standard{};
  ASSERT_EQ(QueryInformation(keeper.get(), FileStandardInformation, &standard, sizeof standard), STATUS_SUCCESS);
  EXPECT_FALSE(standard.DeletePending);
  reader.Reset();
  EXPECT_FALSE(HostExists("f"));
  again.Reset();
  keeper.Reset();
  EXPECT_EQ(ReadHost("g"), "data");
}

TEST_F(LinkTest, AnEmptyFileBecomesASymbolicLinkThatIsOpenedOnlyAsItself) {
  fs::create_directory(Host("d"));
  WriteHost("d/target", "t");
  Opened made;
  ASSERT_EQ(Open(u"\\link", FILE_WRITE_DATA | FILE_READ_ATTRIBUTES, FILE_CREATE,
                 FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, &made),
            STATUS_SUCCESS);
  ASSERT_EQ(MakeLink(made.get(), "d"), STATUS_SUCCESS);
  EXPECT_EQ(fs::read_symlink(Host("link")), "d");
  EXPECT_EQ(HostNames(""), (std::vector<std::string>{"d", "link"}));
  std::string text;
  ASSERT_EQ(LinkText(made.get(), &text), STATUS_SUCCESS);
  EXPECT_EQ(text, "d");
  FILE_STAT_LX_INFORMATION lx{};
  ASSERT_EQ(QueryInformation(made.get(), FileStatLxInformation, &lx, sizeof lx), STATUS_SUCCESS);
  EXPECT_TRUE(S_ISLNK(lx.LxMode));

  // The file system never follows the link: not as the last name, not on the way.
  struct Case {
    std::u16string name;
    ACCESS_MASK access;
    ULONG options;
    NTSTATUS status;
  };
  const Case cases[] = {
      {u"\\link", FILE_READ_ATTRIBUTES, 0, STATUS_ACCESS_DENIED},
      {u"\\link", FILE_READ_ATTRIBUTES, FILE_DIRECTORY_FILE, STATUS_ACCESS_DENIED},
      {u"\\link\\target", FILE_READ_DATA, 0, STATUS_ACCESS_DENIED},
      {u"\\link\\target", FILE_READ_DATA, FILE_OPEN_REPARSE_POINT, STATUS_ACCESS_DENIED},
      {u"\\link", FILE_READ_DATA, FILE_OPEN_REPARSE_POINT, STATUS_ACCESS_DENIED},  // no data through a link
      {u"\\link", FILE_READ_ATTRIBUTES, FILE_OPEN_REPARSE_POINT, STATUS_SUCCESS},
      {u"\\link", DELETE, FILE_OPEN_REPARSE_POINT | FILE_NON_DIRECTORY_FILE, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    Opened file;
    EXPECT_EQ(Open(c.name, c.access, FILE_OPEN, c.options, &file), c.status)
        << nb::text::Utf16ToUtf8(c.name) << " options " << c.options;
  }
  // A listing shows the link as a reparse point, not as the directory it names.
  Opened root;
  ASSERT_EQ(Open(u"\\", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, &root), STATUS_SUCCESS);
  std::vector<UCHAR> buffer(4096);
  std::u16string pattern = u"link";
  ASSERT_EQ(nb::kernel::QueryDirectory(root.get(), {FileIdBothDirectoryInformation, pattern}, buffer.data(), 4096),
            STATUS_SUCCESS);
  auto* record = reinterpret_cast<FILE_ID_BOTH_DIR_INFORMATION*>(buffer.data());
  EXPECT_EQ(record->FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY),
            static_cast<ULONG>(FILE_ATTRIBUTE_REPARSE_POINT));

  // Deleted as itself, the link goes and its target stays.
  Opened gone;
  ASSERT_EQ(Open(u"\\link", DELETE, FILE_OPEN, FILE_OPEN_REPARSE_POINT | FILE_DELETE_ON_CLOSE, &gone),
            STATUS_SUCCESS);
  gone.Reset();
  made.Reset();
  EXPECT_FALSE(HostExists("link"));
  EXPECT_EQ(ReadHost("d/target"), "t");
}

TEST_F(LinkTest, OnlyAnEmptyFileOpenedForWritingBecomesALink) {
  WriteHost("full", "data");
  WriteHost("empty", "");
  fs::create_directory(Host("dir"));
  Opened full, reader, writer, directory;
  ASSERT_EQ(Open(u"\\full", FILE_WRITE_DATA, FILE_OPEN, 0, &full), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\empty", FILE_READ_DATA | FILE_WRITE_ATTRIBUTES, FILE_OPEN, 0, &reader), STATUS_SUCCESS);
  ASSERT_EQ(Open(u"\\dir", FILE_LIST_DIRECTORY, FILE_OPEN, 0, &directory), STATUS_SUCCESS);
  EXPECT_EQ(MakeLink(full.get(), "x"), STATUS_IO_REPARSE_DATA_INVALID);
  EXPECT_EQ(MakeLink(reader.get(), "x"), STATUS_ACCESS_DENIED);
  EXPECT_EQ(MakeLink(directory.get(), "x"), STATUS_FILE_IS_A_DIRECTORY);
  std::string text;
  EXPECT_EQ(LinkText(full.get(), &text), STATUS_NOT_A_REPARSE_POINT);
  // Another open of the same file would be left holding a file that lost its name.
  ASSERT_EQ(Open(u"\\empty", FILE_WRITE_DATA, FILE_OPEN, 0, &writer), STATUS_SUCCESS);
  EXPECT_EQ(MakeLink(writer.get(), "x"), STATUS_SHARING_VIOLATION);
  reader.Reset();
  ASSERT_EQ(MakeLink(writer.get(), "x"), STATUS_SUCCESS);
  EXPECT_EQ(fs::read_symlink(Host("empty")), "x");
  EXPECT_EQ(ReadHost("full"), "data");
  // A record of another tag, or one cut short, changes nothing.
  Opened other;
  ASSERT_EQ(Open(u"\\new", FILE_WRITE_DATA, FILE_CREATE, 0, &other), STATUS_SUCCESS);
  std::vector<UCHAR> record = nb::kernel::EncodeLinkRecord("x");
  record[0] ^= 1;
  EXPECT_EQ(FileSystemControl(other.get(), FSCTL_SET_REPARSE_POINT, record.data(), static_cast<ULONG>(record.size()),
                              nullptr, 0),
            STATUS_IO_REPARSE_TAG_NOT_HANDLED);
  EXPECT_EQ(FileSystemControl(other.get(), FSCTL_SET_REPARSE_POINT, record.data(), 3, nullptr, 0),
            STATUS_IO_REPARSE_DATA_INVALID);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(Host("new"))));
}

TEST(LinkRecordTest, DecoderChecksEveryLengthAndField) {
  const std::vector<UCHAR> good = nb::kernel::EncodeLinkRecord("../a/b");
  auto with = [&](size_t at, UCHAR value) {
    std::vector<UCHAR> record = good;
    record[at] = value;
    return record;
  };
  std::vector<UCHAR> padded = good;
  padded.resize(good.size() + 16, 0);
  std::vector<UCHAR> nul = nb::kernel::EncodeLinkRecord(std::string("a\0b", 3));
  std::vector<UCHAR> empty = nb::kernel::EncodeLinkRecord("");
  std::vector<UCHAR> tooLong = nb::kernel::EncodeLinkRecord(std::string(nb::kernel::kMaximumLinkText + 1, 'x'));
  std::vector<UCHAR> longest = nb::kernel::EncodeLinkRecord(std::string(nb::kernel::kMaximumLinkText, 'x'));
  struct Case {
    const char* what;
    std::vector<UCHAR> record;
    ULONG length;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"whole", good, static_cast<ULONG>(good.size()), STATUS_SUCCESS},
      {"with room after", padded, static_cast<ULONG>(padded.size()), STATUS_SUCCESS},
      {"longest text", longest, static_cast<ULONG>(longest.size()), STATUS_SUCCESS},
      {"header cut", good, 7, STATUS_IO_REPARSE_DATA_INVALID},
      {"data cut", good, static_cast<ULONG>(good.size() - 1), STATUS_IO_REPARSE_DATA_INVALID},
      {"no version", good, 8, STATUS_IO_REPARSE_DATA_INVALID},
      {"other tag", with(3, 0x80), static_cast<ULONG>(good.size()), STATUS_IO_REPARSE_TAG_NOT_HANDLED},
      {"other version", with(8, 1), static_cast<ULONG>(good.size()), STATUS_IO_REPARSE_DATA_INVALID},
      {"data length beyond", with(5, 0x10), static_cast<ULONG>(good.size()), STATUS_IO_REPARSE_DATA_INVALID},
      {"empty text", empty, static_cast<ULONG>(empty.size()), STATUS_IO_REPARSE_DATA_INVALID},
      {"NUL in text", nul, static_cast<ULONG>(nul.size()), STATUS_IO_REPARSE_DATA_INVALID},
      {"too long", tooLong, static_cast<ULONG>(tooLong.size()), STATUS_NAME_TOO_LONG},
  };
  for (const Case& c : cases) {
    std::string text = "untouched";
    EXPECT_EQ(nb::kernel::DecodeLinkRecord(c.record.data(), c.length, &text), c.status) << c.what;
    if (c.status != STATUS_SUCCESS) {
      EXPECT_EQ(text, "untouched") << c.what;
    }
  }
  std::string text;
  ASSERT_EQ(nb::kernel::DecodeLinkRecord(good.data(), static_cast<ULONG>(good.size()), &text), STATUS_SUCCESS);
  EXPECT_EQ(text, "../a/b");
  EXPECT_EQ(nb::kernel::DecodeLinkRecord(nullptr, 64, &text), STATUS_IO_REPARSE_DATA_INVALID);
}

}  // namespace
}  // namespace nb::hostfs::testing
