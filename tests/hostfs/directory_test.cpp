// Directory listings through IRP_MN_QUERY_DIRECTORY: the byte layouts of the six classes,
// patterns, restart and resume, and buffers that are too small.
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "host_volume_fixture.h"

namespace nb::hostfs::testing {
namespace {

using nb::kernel::DirectoryQuery;

struct Record {
  ULONG offset;  // from the buffer start
  ULONG nextEntryOffset;
  ULONG fileIndex;
  std::u16string name;
};

ULONG At32(const UCHAR* p) {
  ULONG value;
  std::memcpy(&value, p, sizeof value);
  return value;
}
LONGLONG At64(const UCHAR* p) {
  LONGLONG value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// Walks the records of a buffer by their NextEntryOffset.
std::vector<Record> Walk(const std::vector<UCHAR>& buffer, ULONG used, ULONG nameLengthAt, ULONG nameAt) {
  std::vector<Record> records;
  ULONG offset = 0;
  while (offset < used) {
    const UCHAR* p = buffer.data() + offset;
    Record record{offset, At32(p), At32(p + 4), {}};
    record.name.resize(At32(p + nameLengthAt) / sizeof(WCHAR));
    std::memcpy(record.name.data(), p + nameAt, record.name.size() * sizeof(WCHAR));
    records.push_back(record);
    if (record.nextEntryOffset == 0) break;
    offset += record.nextEntryOffset;
  }
  return records;
}

class DirectoryTest : public HostVolumeTest {
 protected:
  void SetUp() override {
    HostVolumeTest::SetUp();
    WriteHost("d/a.txt", "12345");
    WriteHost("d/b.txt", "");
    WriteHost("d/Hidden", "");
    std::filesystem::create_directory(Host("d/sub"));
  }
  NTSTATUS List(Opened* dir) { return Open(u"\\d", FILE_LIST_DIRECTORY, FILE_OPEN, FILE_DIRECTORY_FILE, dir); }
  // One query; the names it returned (FileNamesInformation).
  NTSTATUS Names(PFILE_OBJECT dir, const DirectoryQuery& query, std::vector<std::u16string>* names,
                 ULONG length = 4096) {
    std::vector<UCHAR> buffer(length);
    ULONG used = 0;
    NTSTATUS status = nb::kernel::QueryDirectory(dir, query, buffer.data(), length, &used);
    names->clear();
    if (status == STATUS_SUCCESS) {
      for (const auto& record : Walk(buffer, used, 8, 12)) names->push_back(record.name);
    }
    return status;
  }
};

TEST_F(DirectoryTest, EveryClassHasItsPublishedLayout) {
  struct Case {
    FILE_INFORMATION_CLASS informationClass;
    ULONG nameLengthAt;
    ULONG nameAt;
    ULONG fileIdAt;  // 0: the class has none
  };
  const Case cases[] = {
      {FileDirectoryInformation, 60, 64, 0},        {FileFullDirectoryInformation, 60, 68, 0},
      {FileBothDirectoryInformation, 60, 94, 0},    {FileNamesInformation, 8, 12, 0},
      {FileIdBothDirectoryInformation, 60, 104, 96}, {FileIdFullDirectoryInformation, 60, 80, 72},
  };
  struct stat st {};
  ASSERT_EQ(stat(Host("d/a.txt").c_str(), &st), 0);
  for (const auto& c : cases) {
    Opened dir;
    ASSERT_EQ(List(&dir), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(4096, 0xCC);
    ULONG used = 0;
    DirectoryQuery query;
    query.informationClass = c.informationClass;
    ASSERT_EQ(nb::kernel::QueryDirectory(dir.get(), query, buffer.data(), 4096, &used), STATUS_SUCCESS);
    auto records = Walk(buffer, used, c.nameLengthAt, c.nameAt);
    std::vector<std::u16string> names;
    for (const auto& record : records) names.push_back(record.name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"Hidden", u"a.txt", u"b.txt", u"sub"}))
        << c.informationClass;
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].offset % 8, 0u);
      EXPECT_EQ(records[i].fileIndex, i);
    }
    EXPECT_EQ(records.back().nextEntryOffset, 0u);
    EXPECT_EQ(used, records.back().offset + c.nameAt + records.back().name.size() * sizeof(WCHAR));
    if (c.informationClass == FileNamesInformation) continue;
    const UCHAR* aTxt = buffer.data() + records[3].offset;
    EXPECT_EQ(At64(aTxt + 40), 5) << "EndOfFile";
    EXPECT_EQ(At32(aTxt + 56) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_NE(At64(aTxt + 24), 0) << "LastWriteTime";
    const UCHAR* sub = buffer.data() + records[5].offset;
    EXPECT_EQ(At32(sub + 56) & FILE_ATTRIBUTE_DIRECTORY, static_cast<ULONG>(FILE_ATTRIBUTE_DIRECTORY));
    if (c.fileIdAt) {
      EXPECT_EQ(static_cast<ino_t>(At64(aTxt + c.fileIdAt)), st.st_ino);
    }
    if (c.informationClass == FileBothDirectoryInformation || c.informationClass == FileIdBothDirectoryInformation) {
      EXPECT_EQ(aTxt[68], 0) << "no short name";
    }
  }
}

TEST_F(DirectoryTest, PatternsSelectCaseSensitively) {
  struct Case {
    std::u16string pattern;
    NTSTATUS status;
    std::vector<std::u16string> names;
  };
  const Case cases[] = {
      {u"*.txt", STATUS_SUCCESS, {u"a.txt", u"b.txt"}},
      {u"?.txt", STATUS_SUCCESS, {u"a.txt", u"b.txt"}},
      {u"Hidden", STATUS_SUCCESS, {u"Hidden"}},
      {u"hidden", STATUS_NO_SUCH_FILE, {}},
      {u"H*", STATUS_SUCCESS, {u"Hidden"}},
      {u"nothing*", STATUS_NO_SUCH_FILE, {}},
      {u"*", STATUS_SUCCESS, {u".", u"..", u"Hidden", u"a.txt", u"b.txt", u"sub"}},
  };
  for (const auto& c : cases) {
    Opened dir;
    ASSERT_EQ(List(&dir), STATUS_SUCCESS);
    DirectoryQuery query{FileNamesInformation, c.pattern};
    std::vector<std::u16string> names;
    EXPECT_EQ(Names(dir.get(), query, &names), c.status) << nb::text::Utf16ToUtf8(c.pattern);
    EXPECT_EQ(names, c.names) << nb::text::Utf16ToUtf8(c.pattern);
    // Once a scan has begun, its end is "no more files".
    EXPECT_EQ(Names(dir.get(), DirectoryQuery{FileNamesInformation}, &names), STATUS_NO_MORE_FILES);
  }
}

TEST_F(DirectoryTest, ScansResumeAcrossQueriesAndRestart) {
  const std::vector<std::u16string> all{u".", u"..", u"Hidden", u"a.txt", u"b.txt", u"sub"};
  Opened dir;
  ASSERT_EQ(List(&dir), STATUS_SUCCESS);
  std::vector<std::u16string> seen;
  std::vector<std::u16string> names;
  DirectoryQuery single{FileNamesInformation, std::nullopt, SL_RETURN_SINGLE_ENTRY};
  while (Names(dir.get(), single, &names) == STATUS_SUCCESS) {
    ASSERT_EQ(names.size(), 1u);
    seen.push_back(names[0]);
  }
  EXPECT_EQ(seen, all);

  // A restart starts over; a buffer with room for two records at a time loses nothing.
  seen.clear();
  DirectoryQuery restart{FileNamesInformation, std::nullopt, SL_RESTART_SCAN};
  ASSERT_EQ(Names(dir.get(), restart, &names, 48), STATUS_SUCCESS);
  EXPECT_EQ(names.size(), 2u);
  seen = names;
  while (Names(dir.get(), DirectoryQuery{FileNamesInformation}, &names, 48) == STATUS_SUCCESS)
    seen.insert(seen.end(), names.begin(), names.end());
  EXPECT_EQ(seen, all);

  // A restart with a pattern changes it; resuming from an index continues after it.
  DirectoryQuery withPattern{FileNamesInformation, u"*.txt", SL_RESTART_SCAN | SL_RETURN_SINGLE_ENTRY};
  ASSERT_EQ(Names(dir.get(), withPattern, &names), STATUS_SUCCESS);
  EXPECT_EQ(names, std::vector<std::u16string>{u"a.txt"});
  DirectoryQuery fromIndex{FileNamesInformation, std::nullopt, SL_INDEX_SPECIFIED, 3};
  ASSERT_EQ(Names(dir.get(), fromIndex, &names), STATUS_SUCCESS);
  EXPECT_EQ(names, std::vector<std::u16string>{u"b.txt"});
}

TEST_F(DirectoryTest, RecordThatDoesNotFitIsKeptForTheNextQuery) {
  Opened dir;
  ASSERT_EQ(List(&dir), STATUS_SUCCESS);
  DirectoryQuery query{FileDirectoryInformation, u"a.txt"};
  std::vector<UCHAR> buffer(256);
  ULONG used = 0;
  EXPECT_EQ(nb::kernel::QueryDirectory(dir.get(), query, buffer.data(), 60, &used), STATUS_INFO_LENGTH_MISMATCH);
  ASSERT_EQ(nb::kernel::QueryDirectory(dir.get(), query, buffer.data(), 64 + 4, &used), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(used, 68u);
  EXPECT_EQ(At32(buffer.data() + 60), 10u);
  ASSERT_EQ(nb::kernel::QueryDirectory(dir.get(), query, buffer.data(), 256, &used), STATUS_SUCCESS);
  EXPECT_EQ(Walk(buffer, used, 60, 64).at(0).name, u"a.txt");
  EXPECT_EQ(nb::kernel::QueryDirectory(dir.get(), query, buffer.data(), 256, &used), STATUS_NO_MORE_FILES);
}

TEST_F(DirectoryTest, HostNamesThatNoNtNameReachesAreLeftOut) {
  for (const char* name : {"d/with:colon", "d/back\\slash", "d/star*", "d/\xff\xfe"}) WriteHost(name, "");
  Opened dir;
  ASSERT_EQ(List(&dir), STATUS_SUCCESS);
  std::vector<std::u16string> names;
  ASSERT_EQ(Names(dir.get(), DirectoryQuery{FileNamesInformation}, &names), STATUS_SUCCESS);
  EXPECT_EQ(names, (std::vector<std::u16string>{u".", u"..", u"Hidden", u"a.txt", u"b.txt", u"sub"}));
}

TEST_F(DirectoryTest, OnlyDirectoriesAndListingClassesAreListed) {
  Opened file;
  ASSERT_EQ(Open(u"\\d\\a.txt", FILE_READ_DATA, FILE_OPEN, 0, &file), STATUS_SUCCESS);
  std::vector<UCHAR> buffer(256);
  EXPECT_EQ(nb::kernel::QueryDirectory(file.get(), DirectoryQuery{}, buffer.data(), 256), STATUS_INVALID_PARAMETER);
  Opened dir;
  ASSERT_EQ(List(&dir), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::QueryDirectory(dir.get(), DirectoryQuery{FileBasicInformation}, buffer.data(), 256),
            STATUS_INVALID_INFO_CLASS);
  EXPECT_EQ(nb::kernel::QueryDirectory(dir.get(), DirectoryQuery{FileNamesInformation, u"a\\b"}, buffer.data(), 256),
            STATUS_OBJECT_NAME_INVALID);
}

}  // namespace
}  // namespace nb::hostfs::testing
