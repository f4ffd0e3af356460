// The Win32 file calls meet the filter driver as any caller's opens do, in process and
// over the socket alike: a hidden folder is left out of listings and refused, a
// read-only one is read but not changed, and a process the driver trusts reaches both.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include <windows.h>

#include "driver.h"
#include "nb/kernel/process.h"
#include "nb/testing/carrier.h"
#include "nb/testing/machine.h"
#include "nb/text.h"
#include "nb/win/drives.h"
#include "nbclient.h"

namespace {

namespace fs = std::filesystem;
using nb::testing::Carrier;

class FilteredFiles : public ::testing::TestWithParam<Carrier> {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbfiles-XXXXXX").string();
    folder = mkdtemp(pattern.data());
    fs::create_directories(folder / "hidden");
    fs::create_directories(folder / "readonly");
    fs::create_directories(folder / "open");
    std::ofstream(folder / "hidden" / "secret.txt") << "secret";
    std::ofstream(folder / "readonly" / "kept.txt") << "kept";
    ASSERT_EQ(machine.AddHostVolume('X', folder.string()), STATUS_SUCCESS);
    nb::win::MapDrive(u'X', folder.string());
    ASSERT_EQ(machine.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry), STATUS_SUCCESS);
    carrier = std::make_unique<nb::testing::CarriedTransport>(machine.Kernel(), GetParam());
    ASSERT_TRUE(carrier->Ready());
    ASSERT_EQ(Quiet([] { return LockFolder(u'X', u"\\hidden", 1, 0); }), 0);
    ASSERT_EQ(Quiet([] { return LockFolder(u'X', u"\\readonly", 4, 0); }), 0);
    // In process the calls are an application's; over the socket, this program's.
    if (!carrier->OverSocket()) caller.emplace(machine.Process("app.exe", 2000));
  }
  void TearDown() override {
    caller.reset();
    carrier.reset();
    nb::win::UnmapAllDrives();
    fs::remove_all(folder);
  }

  static int Quiet(int (*call)()) {
    ::testing::internal::CaptureStdout();
    int result = call();
    ::testing::internal::GetCapturedStdout();
    return result;
  }

  // The process the machine serves this test's file calls in, and its name to the driver.
  ULONG CallerId() const { return carrier->OverSocket() ? static_cast<ULONG>(getpid()) : 2000u; }
  std::string CallerName() {
    return nb::kernel::ProcessTable::NameOf(machine.Kernel().Processes().Find(CallerId()));
  }

  static std::set<std::string> Listed(const char16_t* path) {
    std::set<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(path, &data);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
      names.insert(nb::text::Utf16ToUtf8(data.cFileName));
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
  }

  static DWORD OpenError(const char16_t* path, DWORD access, DWORD disposition = OPEN_EXISTING, DWORD flags = 0) {
    HANDLE handle = CreateFileW(path, access, FILE_SHARE_READ, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(handle);
    return ERROR_SUCCESS;
  }

  fs::path folder;
  nb::testing::Machine machine;
  std::unique_ptr<nb::testing::CarriedTransport> carrier;
  std::optional<nb::kernel::ProcessScope> caller;
};

TEST_P(FilteredFiles, AHiddenFolderIsNotListedAndNotReached) {
  EXPECT_EQ(Listed(u"X:\\*"), (std::set<std::string>{"open", "readonly"}));
  EXPECT_EQ(Listed(u"X:\\hidden"), std::set<std::string>{});
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileAttributesW(u"X:\\hidden\\secret.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(u"X:\\hidden\\secret.txt", GENERIC_READ), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Listed(u"X:\\hidden\\*"), std::set<std::string>{});
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileW(u"X:\\hidden\\secret.txt"));
  EXPECT_FALSE(MoveFileW(u"X:\\hidden", u"X:\\open\\found"));
  EXPECT_TRUE(fs::exists(folder / "hidden" / "secret.txt"));
}

TEST_P(FilteredFiles, AReadOnlyFolderIsReadButNotChanged) {
  HANDLE file = CreateFileW(u"X:\\readonly\\kept.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
  char buffer[8] = {};
  DWORD done = 0;
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(std::string(buffer, done), "kept");
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(GetFileAttributesW(u"X:\\readonly"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(Listed(u"X:\\readonly\\*"), (std::set<std::string>{".", "..", "kept.txt"}));

  EXPECT_EQ(OpenError(u"X:\\readonly\\kept.txt", GENERIC_WRITE), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(u"X:\\readonly\\new.txt", GENERIC_WRITE, CREATE_NEW), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(DeleteFileW(u"X:\\readonly\\kept.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(CreateDirectoryW(u"X:\\readonly\\made", nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  std::ofstream(folder / "open" / "brought.txt") << "x";
  EXPECT_FALSE(MoveFileW(u"X:\\open\\brought.txt", u"X:\\readonly\\brought.txt"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(fs::directory_entry(folder / "readonly" / "kept.txt").file_size(), 4u);
  EXPECT_FALSE(fs::exists(folder / "readonly" / "made"));
  EXPECT_FALSE(fs::exists(folder / "readonly" / "new.txt"));
}

TEST_P(FilteredFiles, ATrustedCallerReachesTheLockedFolders) {
  std::string name = CallerName();
  ASSERT_FALSE(name.empty());
  ASSERT_EQ(NB_RegisterGlobalProcess(name.c_str(), CallerId(), NBFS_PERMISSION_FULL), 0);
  EXPECT_EQ(GetFileAttributesW(u"X:\\hidden\\secret.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(OpenError(u"X:\\readonly\\kept.txt", GENERIC_WRITE), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(CreateDirectoryW(u"X:\\readonly\\made", nullptr));
  EXPECT_TRUE(fs::is_directory(folder / "readonly" / "made"));
}

INSTANTIATE_TEST_SUITE_P(Carriers, FilteredFiles, ::testing::Values(Carrier::kInProcess, Carrier::kSocket),
                         [](const auto& info) { return std::string(nb::testing::NameOf(info.param)); });

}  // namespace
