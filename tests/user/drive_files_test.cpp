// The Win32 file calls on drive paths, as requests to a volume of the machine, on both
// carriers: CreateFileW with its dispositions, reads and writes at the file pointer,
// sizes, attributes, listings with wildcards, and deleting, making and moving.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "nb/testing/carrier.h"
#include "nb/testing/machine.h"
#include "nb/text.h"
#include "nb/win/drives.h"

namespace {

namespace fs = std::filesystem;
using nb::testing::Carrier;

std::string Narrow(const std::u16string& text) { return nb::text::Utf16ToUtf8(text); }

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class DriveFiles : public ::testing::TestWithParam<Carrier> {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbwin-XXXXXX").string();
    root = mkdtemp(pattern.data());
    drive = root / "drive";
    fs::create_directories(drive / "dir" / "sub");
    std::ofstream(drive / "dir" / "file.txt") << "data";
    std::ofstream(drive / "dir" / "notes") << "no extension";
    std::ofstream(drive / "dir" / "a.b.c") << "";
    std::ofstream(root / "outside.txt") << "secret";
    ASSERT_EQ(machine.AddHostVolume('X', drive.string()), STATUS_SUCCESS);
    nb::win::MapDrive(u'X', drive.string());  // whole-volume opens reach its folder
    carrier = std::make_unique<nb::testing::CarriedTransport>(machine.Kernel(), GetParam());
    ASSERT_TRUE(carrier->Ready());
  }
  void TearDown() override {
    carrier.reset();
    nb::win::UnmapAllDrives();
    fs::remove_all(root);
  }

  // Opens, remembers the last error, closes; true when the open succeeded.
  static bool Opens(const char16_t* path, DWORD access, DWORD disposition, DWORD flags, DWORD* error) {
    HANDLE handle = CreateFileW(path, access, FILE_SHARE_READ, nullptr, disposition, flags, nullptr);
    *error = GetLastError();
    if (handle == INVALID_HANDLE_VALUE) return false;
    EXPECT_TRUE(CloseHandle(handle));
    return true;
  }

  // The names FindFirstFileW and FindNextFileW list for `path`, or the error of the first.
  static std::set<std::string> Listed(const char16_t* path, DWORD* error = nullptr) {
    std::set<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(path, &data);
    if (error) *error = GetLastError();
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      names.insert(Narrow(data.cFileName));
    } while (FindNextFileW(find, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(find));
    return names;
  }

  fs::path root;
  fs::path drive;
  nb::testing::Machine machine;
  std::unique_ptr<nb::testing::CarriedTransport> carrier;
};

struct OpenCase {
  const char16_t* path;
  DWORD access;
  DWORD disposition;
  DWORD flags;
  bool opens;
  DWORD error;
};

TEST_P(DriveFiles, OpensFilesAndFoldersLikeWin32) {
  const OpenCase cases[] = {
      {u"X:\\dir\\file.txt", GENERIC_READ, OPEN_EXISTING, 0, true, 0},
      {u"x:/dir/file.txt", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0, true, 0},
      {u"X:\\dir", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_ACCESS_DENIED},
      {u"X:\\dir", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, true, 0},
      {u"X:\\", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, true, 0},
      {u"X:\\dir\\none", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_FILE_NOT_FOUND},
      {u"X:\\none\\file", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_PATH_NOT_FOUND},
      {u"Y:\\dir", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, false, ERROR_PATH_NOT_FOUND},
      {u"\\\\.\\Y:", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_FILE_NOT_FOUND},
      // ".." never climbs above the drive's root.
      {u"X:\\..\\outside.txt", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_FILE_NOT_FOUND},
      // Trailing dots and spaces go, so the open reaches the file a listing shows.
      {u"X:\\dir.\\file.txt. ", GENERIC_READ, OPEN_EXISTING, 0, true, 0},
      {u"\\\\?\\X:\\dir.\\file.txt", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_PATH_NOT_FOUND},
      {u"X:\\dir\\file.txt", GENERIC_READ, CREATE_NEW, 0, false, ERROR_FILE_EXISTS},
      {u"X:\\dir\\file.txt", GENERIC_READ, OPEN_ALWAYS, 0, true, ERROR_ALREADY_EXISTS},
      {u"X:\\dir\\file.txt", GENERIC_READ, TRUNCATE_EXISTING, 0, false, ERROR_INVALID_PARAMETER},
      {u"X:\\dir\\file.txt", GENERIC_READ, 9, 0, false, ERROR_INVALID_PARAMETER},
      {u"X:\\dir\\new.txt", GENERIC_WRITE, CREATE_ALWAYS, 0, true, 0},
      {u"X:\\dir\\new.txt", GENERIC_WRITE, CREATE_ALWAYS, 0, true, ERROR_ALREADY_EXISTS},
      {u"X:\\dir\\made.txt", GENERIC_WRITE, OPEN_ALWAYS, 0, true, 0},
  };
  for (const auto& c : cases) {
    DWORD error = 0xDEAD;
    std::string label = Narrow(c.path);
    EXPECT_EQ(Opens(c.path, c.access, c.disposition, c.flags, &error), c.opens) << label;
    EXPECT_EQ(error, c.error) << label << " " << error;
  }
  EXPECT_TRUE(fs::exists(drive / "dir" / "new.txt"));
  EXPECT_TRUE(fs::exists(drive / "dir" / "made.txt"));
}

TEST_P(DriveFiles, SymbolicLinksCannotLeadOutOfTheDrive) {
  fs::create_directory_symlink(root, drive / "escape");
  DWORD error;
  EXPECT_FALSE(Opens(u"X:\\escape\\outside.txt", GENERIC_READ, OPEN_EXISTING, 0, &error));
  fs::create_symlink(drive / "dir" / "file.txt", drive / "absolute");
  EXPECT_FALSE(Opens(u"X:\\absolute", GENERIC_READ, OPEN_EXISTING, 0, &error));
}

TEST_P(DriveFiles, ReadsAndWritesMoveTheFilePointer) {
  HANDLE file = CreateFileW(u"X:\\dir\\rw.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, "hello world", 11, &done, nullptr));
  EXPECT_EQ(done, 11u);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 11u);
  EXPECT_EQ(SetFilePointer(file, 6, nullptr, FILE_BEGIN), 6u);
  char buffer[32] = {};
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "world");
  // At the end a read succeeds with nothing.
  ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 0u);
  EXPECT_EQ(SetFilePointer(file, -5, nullptr, FILE_END), 6u);
  ASSERT_TRUE(WriteFile(file, "W", 1, &done, nullptr));
  EXPECT_EQ(SetFilePointer(file, -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, 7), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  // An OVERLAPPED gives the offset; the file pointer follows the read, as on a
  // synchronous handle.
  OVERLAPPED at{};
  at.Offset = 2;
  ASSERT_TRUE(ReadFile(file, buffer, 3, &done, &at));
  EXPECT_EQ(std::string(buffer, done), "llo");
  EXPECT_EQ(at.InternalHigh, 3u);
  EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 5u);

  // Sizes, and the end set at the file pointer in both directions.
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(file, &size));
  EXPECT_EQ(size.QuadPart, 11);
  ASSERT_EQ(SetFilePointer(file, 5, nullptr, FILE_BEGIN), 5u);
  ASSERT_TRUE(SetEndOfFile(file));
  DWORD high = 7;
  EXPECT_EQ(GetFileSize(file, &high), 5u);
  EXPECT_EQ(high, 0u);
  LARGE_INTEGER far;
  far.QuadPart = 5LL << 32;
  LARGE_INTEGER moved;
  ASSERT_TRUE(SetFilePointerEx(file, far, &moved, FILE_BEGIN));
  EXPECT_EQ(moved.QuadPart, 5LL << 32);
  LONG moveHigh = 0;
  EXPECT_EQ(SetFilePointer(file, 1, &moveHigh, FILE_CURRENT), 1u);
  EXPECT_EQ(moveHigh, 5);
  EXPECT_TRUE(FlushFileBuffers(file));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(ReadAll(drive / "dir" / "rw.bin"), "hello");
}

TEST_P(DriveFiles, TransfersLongerThanOneRequestArriveWhole) {
  std::string big(300 * 1024 + 7, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
  HANDLE file = CreateFileW(u"X:\\big.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, big.data(), static_cast<DWORD>(big.size()), &done, nullptr));
  EXPECT_EQ(done, big.size());
  ASSERT_EQ(SetFilePointer(file, 0, nullptr, FILE_BEGIN), 0u);
  std::string back(big.size() + 100, '\0');
  ASSERT_TRUE(ReadFile(file, back.data(), static_cast<DWORD>(back.size()), &done, nullptr));
  EXPECT_EQ(done, big.size()) << "a short read at the end, not a failure";
  back.resize(done);
  EXPECT_TRUE(back == big);
  EXPECT_TRUE(CloseHandle(file));
}

TEST_P(DriveFiles, AccessIsWhatTheOpenAskedFor) {
  HANDLE reader = CreateFileW(u"X:\\dir\\file.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE);
  DWORD done = 0;
  EXPECT_FALSE(WriteFile(reader, "x", 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(FlushFileBuffers(reader));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_EQ(ReadAll(drive / "dir" / "file.txt"), "data");

  HANDLE folder = CreateFileW(u"X:\\dir", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(folder, INVALID_HANDLE_VALUE);
  char buffer[4];
  EXPECT_FALSE(ReadFile(folder, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_TRUE(CloseHandle(folder));

  // Handles that are no files of a drive do not take file calls.
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(ReadFile(event, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_FALSE(ReadFile(reinterpret_cast<HANDLE>(0x7FF0), buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(GetFileSize(reinterpret_cast<HANDLE>(0x7FF0), nullptr), INVALID_FILE_SIZE);
}

TEST_P(DriveFiles, AttributesShowFoldersAndFilesAsWin32Does) {
  fs::permissions(drive / "dir" / "notes", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  struct Case {
    const char16_t* path;
    DWORD attributes;
    DWORD error;
  };
  const Case cases[] = {
      {u"X:\\", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"X:\\dir", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"X:\\dir\\", FILE_ATTRIBUTE_DIRECTORY, 0},
      {u"X:\\dir\\file.txt", FILE_ATTRIBUTE_ARCHIVE, 0},
      {u"X:\\dir\\notes", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, 0},
      {u"X:\\dir\\none", INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND},
      {u"X:\\none\\none", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
      {u"X:\\dir\\*", INVALID_FILE_ATTRIBUTES, ERROR_INVALID_NAME},
      {u"dir", INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesW(c.path), c.attributes) << Narrow(c.path);
    if (c.attributes == INVALID_FILE_ATTRIBUTES) {
      EXPECT_EQ(GetLastError(), c.error) << Narrow(c.path);
    }
  }
  EXPECT_EQ(GetFileAttributesW(nullptr), INVALID_FILE_ATTRIBUTES);
  // Nothing the calls opened stays open.
  EXPECT_EQ(carrier->ObjectsHeldBy(carrier->OverSocket() ? static_cast<ULONG>(getpid()) : 4u), 0u);
}

TEST_P(DriveFiles, ListingsMatchPatternsAsWindowsDoes) {
  using Names = std::set<std::string>;
  struct Case {
    const char16_t* path;
    Names names;
    DWORD error;
  };
  const Names all = {".", "..", "a.b.c", "file.txt", "notes", "sub"};
  const Case cases[] = {
      {u"X:\\dir\\*", all, 0},
      {u"X:\\dir\\*.*", all, 0},
      {u"x:/dir/*", all, 0},
      {u"X:\\dir\\*.txt", {"file.txt"}, 0},
      {u"X:\\dir\\*.c", {"a.b.c"}, 0},
      {u"X:\\dir\\not?s", {"notes"}, 0},
      {u"X:\\dir\\note?", {"notes"}, 0},
      {u"X:\\dir\\notes?", {"notes"}, 0},     // "?" matches nothing at the end
      {u"X:\\dir\\file?.txt", {"file.txt"}, 0},  // nor before a dot
      {u"X:\\dir\\fil?", {}, ERROR_FILE_NOT_FOUND},
      {u"X:\\dir\\file.txt", {"file.txt"}, 0},
      {u"X:\\dir\\FILE.TXT", {}, ERROR_FILE_NOT_FOUND},  // the file system's case
      {u"X:\\dir", {"dir"}, 0},
      {u"X:\\dir\\nothing*", {}, ERROR_FILE_NOT_FOUND},
      {u"X:\\*", {"dir"}, 0},  // a root lists no "." and ".."
      {u"X:\\none\\*", {}, ERROR_PATH_NOT_FOUND},
      {u"X:\\dir\\", {}, ERROR_FILE_NOT_FOUND},
      {u"X:\\dir\\a|b", {}, ERROR_INVALID_NAME},
      {u"X:\\dir\\a<b", {}, ERROR_INVALID_NAME},
      {u"Y:\\*", {}, ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) {
    DWORD error = 0xDEAD;
    EXPECT_EQ(Listed(c.path, &error), c.names) << Narrow(c.path);
    if (c.names.empty()) {
      EXPECT_EQ(error, c.error) << Narrow(c.path);
    }
  }
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(u"X:\\dir\\file.txt", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(data.nFileSizeLow, 4u);
  EXPECT_NE(data.ftLastWriteTime.dwHighDateTime, 0u);
  EXPECT_FALSE(FindNextFileW(find, &data));
  EXPECT_FALSE(FindNextFileW(find, &data)) << "the end stays the end";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(find));
  EXPECT_FALSE(FindClose(find));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_P(DriveFiles, ALongListingComesInSeveralQueries) {
  std::set<std::string> expected = {".", ".."};
  for (int i = 0; i < 600; ++i) {
    std::string name = "entry-with-a-rather-long-name-" + std::to_string(i);
    std::ofstream(drive / "dir" / "sub" / name) << i;
    expected.insert(name);
  }
  EXPECT_EQ(Listed(u"X:\\dir\\sub\\*"), expected);
}

TEST_P(DriveFiles, DeleteMakeRemoveAndMove) {
  EXPECT_TRUE(CreateDirectoryW(u"X:\\made", nullptr));
  EXPECT_TRUE(fs::is_directory(drive / "made"));
  EXPECT_FALSE(CreateDirectoryW(u"X:\\made", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(CreateDirectoryW(u"X:\\none\\made", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  EXPECT_TRUE(MoveFileW(u"X:\\dir\\file.txt", u"X:\\made\\moved.txt"));
  EXPECT_EQ(ReadAll(drive / "made" / "moved.txt"), "data");
  EXPECT_FALSE(fs::exists(drive / "dir" / "file.txt"));
  EXPECT_FALSE(MoveFileW(u"X:\\made\\moved.txt", u"X:\\dir\\notes"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(MoveFileW(u"X:\\made\\moved.txt", u"C:\\moved.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
  EXPECT_FALSE(MoveFileW(u"X:\\dir\\gone", u"X:\\dir\\there"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(MoveFileW(u"X:\\dir\\sub", u"X:\\made\\sub"));
  EXPECT_TRUE(fs::is_directory(drive / "made" / "sub"));

  EXPECT_FALSE(RemoveDirectoryW(u"X:\\made"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_FALSE(RemoveDirectoryW(u"X:\\made\\moved.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
  EXPECT_FALSE(DeleteFileW(u"X:\\made\\sub"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(DeleteFileW(u"X:\\made\\moved.txt"));
  EXPECT_FALSE(DeleteFileW(u"X:\\made\\moved.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(RemoveDirectoryW(u"X:\\made\\sub"));
  EXPECT_TRUE(RemoveDirectoryW(u"X:\\made"));
  EXPECT_FALSE(fs::exists(drive / "made"));
}

TEST_P(DriveFiles, FlushingAVolumeNeedsWriteAccess) {
  HANDLE volume = CreateFileW(u"\\\\.\\X:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(FlushFileBuffers(volume));
  CloseHandle(volume);
  HANDLE readOnly = CreateFileW(u"\\\\.\\x:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(FlushFileBuffers(readOnly));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(readOnly);
}

TEST_P(DriveFiles, FilesCloseWithTheirHandles) {
  ULONG caller = carrier->OverSocket() ? static_cast<ULONG>(getpid()) : 4u;
  HANDLE file = CreateFileW(u"X:\\dir\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(u"X:\\dir\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_EQ(carrier->ObjectsHeldBy(caller), 2u);
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(FindClose(find));
  EXPECT_EQ(carrier->ObjectsHeldBy(caller), 0u);
}

// Files and listings are closed through the transport that opened them when it goes.
TEST_P(DriveFiles, UninstallingTheTransportClosesFilesAndListings) {
  ULONG caller = carrier->OverSocket() ? static_cast<ULONG>(getpid()) : 4u;
  HANDLE file = CreateFileW(u"X:\\dir\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(u"X:\\dir\\*", &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  nb::win::SetTransport(nullptr);
  EXPECT_EQ(carrier->ObjectsHeldBy(caller), 0u);
  EXPECT_FALSE(FindNextFileW(find, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(FindClose(find));
  DWORD done;
  EXPECT_FALSE(ReadFile(file, &data, 1, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(DriveFilesWithoutMachine, FailNotReady) {
  nb::win::SetTransport(nullptr);
  EXPECT_EQ(CreateFileW(u"X:\\a", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
  EXPECT_EQ(GetFileAttributesW(u"X:\\a"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_READY));
}

INSTANTIATE_TEST_SUITE_P(Carriers, DriveFiles, ::testing::Values(Carrier::kInProcess, Carrier::kSocket),
                         [](const auto& info) { return std::string(nb::testing::NameOf(info.param)); });

}  // namespace
