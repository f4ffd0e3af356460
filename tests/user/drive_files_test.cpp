// CreateFileW and FlushFileBuffers on drive paths and volumes mapped to host folders.
#include <unistd.h>

#include <filesystem>
#include <algorithm>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>
#include <fileapi.h>
#include <objbase.h>

#include "nb/win/drives.h"

namespace {

namespace fs = std::filesystem;

class DriveFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbwin-XXXXXX").string();
    root = mkdtemp(pattern.data());
    drive = root / "drive";
    fs::create_directories(drive / "dir");
    std::ofstream(drive / "dir" / "file.txt") << "data";
    std::ofstream(root / "outside.txt") << "secret";
    nb::win::MapDrive(u'x', drive.string());
  }
  void TearDown() override {
    nb::win::UnmapAllDrives();
    fs::remove_all(root);
  }

  // Opens, remembers the last error, closes; true when the open succeeded.
  bool Opens(const char16_t* path, DWORD access, DWORD disposition, DWORD flags, DWORD* error) {
    HANDLE handle = CreateFileW(path, access, FILE_SHARE_READ, nullptr, disposition, flags, nullptr);
    *error = GetLastError();
    if (handle == INVALID_HANDLE_VALUE) return false;
    EXPECT_TRUE(CloseHandle(handle));
    return true;
  }

  fs::path root;
  fs::path drive;
};

struct OpenCase {
  const char16_t* path;
  DWORD access;
  DWORD disposition;
  DWORD flags;
  bool opens;
  DWORD error;
};

TEST_F(DriveFiles, OpensFilesAndFoldersLikeWin32) {
  const OpenCase cases[] = {
      {u"X:\\dir\\file.txt", GENERIC_READ, OPEN_EXISTING, 0, true, 0},
      {u"x:/dir/file.txt", GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, 0, true, 0},
      {u"X:\\dir", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_ACCESS_DENIED},
      {u"X:\\dir", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, true, 0},
      {u"X:\\", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, true, 0},
      {u"X:\\dir", GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, true, 0},
      {u"X:\\dir\\none", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_FILE_NOT_FOUND},
      {u"X:\\none\\file", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_PATH_NOT_FOUND},
      {u"X:\\dir\\file.txt\\below", GENERIC_READ, OPEN_EXISTING, 0, false, ERROR_PATH_NOT_FOUND},
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
      {u"X:\\dir\\file.txt", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE, false, ERROR_NOT_SUPPORTED},
      {u"X:\\dir\\new.txt", GENERIC_WRITE, CREATE_ALWAYS, 0, true, 0},
  };
  for (const auto& c : cases) {
    DWORD error = 0xDEAD;
    std::string label(c.path, c.path + std::char_traits<char16_t>::length(c.path));
    EXPECT_EQ(Opens(c.path, c.access, c.disposition, c.flags, &error), c.opens) << label;
    EXPECT_EQ(error, c.error) << label;
  }
  EXPECT_TRUE(fs::exists(drive / "dir" / "new.txt"));
}

TEST_F(DriveFiles, SymbolicLinksCannotLeadOutOfTheDrive) {
  fs::create_directory_symlink(root, drive / "escape");
  DWORD error;
  EXPECT_FALSE(Opens(u"X:\\escape\\outside.txt", GENERIC_READ, OPEN_EXISTING, 0, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // A relative link that stays inside is followed; an absolute one is refused.
  fs::create_symlink("dir/file.txt", drive / "inside");
  EXPECT_TRUE(Opens(u"X:\\inside", GENERIC_READ, OPEN_EXISTING, 0, &error));
  fs::create_symlink(drive / "dir" / "file.txt", drive / "absolute");
  EXPECT_FALSE(Opens(u"X:\\absolute", GENERIC_READ, OPEN_EXISTING, 0, &error));
}

TEST_F(DriveFiles, FlushingNeedsWriteAccess) {
  HANDLE volume = CreateFileW(u"\\\\.\\X:", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
  ASSERT_NE(volume, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(FlushFileBuffers(volume));
  DWORD returned;
  EXPECT_FALSE(DeviceIoControl(volume, 0x90018, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  CloseHandle(volume);

  HANDLE readOnly = CreateFileW(u"\\\\.\\x:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(FlushFileBuffers(readOnly));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(readOnly);

  HANDLE file = CreateFileW(u"X:\\dir\\file.txt", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(FlushFileBuffers(file));
  CloseHandle(file);
}

TEST_F(DriveFiles, ADriveWhoseFolderIsGoneIsNotReady) {
  nb::win::MapDrive(u'W', (root / "gone").string());
  DWORD error;
  EXPECT_FALSE(Opens(u"\\\\.\\W:", GENERIC_READ, OPEN_EXISTING, 0, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_READY));
  EXPECT_FALSE(nb::win::MapDrive(u'1', root.string()));
}

TEST_F(DriveFiles, AttributesDeletionAndListings) {
  EXPECT_EQ(GetFileAttributesW(u"X:\\dir"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(u"X:\\dir\\file.txt") & FILE_ATTRIBUTE_ARCHIVE, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(GetFileAttributesW(u"X:\\dir\\missing"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(u"X:\\nodir\\missing"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(u"X:\\..\\outside.txt"), INVALID_FILE_ATTRIBUTES)
      << "never above the drive's root: X:\\.. is the root itself";

  std::ofstream(drive / "dir" / "a.lnk") << "x";
  std::ofstream(drive / "dir" / "b.lnk") << "x";
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(u"X:\\dir\\*.lnk", &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  std::vector<std::u16string> names{found.cFileName};
  while (FindNextFileW(find, &found)) names.push_back(found.cFileName);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_TRUE(FindClose(find));
  EXPECT_FALSE(FindClose(find));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::u16string>{u"a.lnk", u"b.lnk"}));
  find = FindFirstFileW(u"X:\\dir\\*.*", &found);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  size_t all = 1;
  while (FindNextFileW(find, &found)) ++all;
  FindClose(find);
  EXPECT_EQ(all, 5u) << "., .., file.txt and the two shortcuts";
  EXPECT_EQ(FindFirstFileW(u"X:\\dir\\*.none", &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(FindFirstFileW(u"X:\\nodir\\*", &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  EXPECT_TRUE(DeleteFileW(u"X:\\dir\\a.lnk"));
  EXPECT_FALSE(fs::exists(drive / "dir" / "a.lnk"));
  EXPECT_FALSE(DeleteFileW(u"X:\\dir\\a.lnk"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(DeleteFileW(u"X:\\dir")) << "a folder is not a file";

  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
  CoUninitialize();
  CoUninitialize();
  EXPECT_EQ(CoInitialize(nullptr), S_OK);
  CoUninitialize();
}

}  // namespace
