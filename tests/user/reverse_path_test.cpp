// The reverse path map: host paths as the drive paths that name them, by the longest
// drive folder that holds them, else under "\\?\unix".
#include <gtest/gtest.h>

#include <windows.h>

#include "nb/text.h"
#include "nb/win/drives.h"

namespace {

using Folders = std::vector<std::pair<WCHAR, std::string>>;

struct ReverseCase {
  const char* hostPath;
  const char* drivePath;  // null: on no drive
};

TEST(ReversePath, LongestWholeComponentMatchWins) {
  const Folders folders = {{u'C', "/root/volumes/C0"},
                           {u'e', "/media/stick"},
                           {u'F', "/media/stick/inner/"},
                           {u'G', "/srv/g"},
                           {u'H', "relative/h"}};
  const ReverseCase cases[] = {
      {"/root/volumes/C0/Program Files/Nimbra/NBSvc", "C:\\Program Files\\Nimbra\\NBSvc"},
      {"/root/volumes/C0", "C:\\"},
      {"/root/volumes/C0/", "C:\\"},
      {"/root/volumes/C01/x", nullptr},  // a longer name is another folder
      {"/media/stick/a", "E:\\a"},       // letters come back upper-case
      {"/media/stick/inner/b/c", "F:\\b\\c"},
      {"/media/stick/inner", "F:\\"},
      {"/media/stick/./inner/../x", "E:\\x"},
      {"/srv//g///a", "G:\\a"},
      {"/srv/g/../h", nullptr},  // resolved before it is matched: outside G:
      {"relative/h/a", nullptr},
      {"/usr/bin/nbctl", nullptr},
  };
  for (const ReverseCase& c : cases) {
    std::optional<std::u16string> mapped = nb::win::DrivePathIn(c.hostPath, folders);
    if (!c.drivePath) {
      EXPECT_FALSE(mapped.has_value()) << c.hostPath;
      continue;
    }
    ASSERT_TRUE(mapped.has_value()) << c.hostPath;
    EXPECT_EQ(nb::text::Utf16ToUtf8(*mapped), c.drivePath) << c.hostPath;
  }
}

TEST(ReversePath, ARootFolderHoldsEverything) {
  EXPECT_EQ(nb::win::DrivePathIn("/etc/passwd", {{u'Z', "/"}}), u"Z:\\etc\\passwd");
}

TEST(ReversePath, ExplicitDrivesMapBackAndTheRestIsUnderUnix) {
  nb::win::MapDrive(u'D', "/srv/data");
  EXPECT_EQ(nb::win::DrivePathOf("/srv/data/Program Files/app"), u"D:\\Program Files\\app");
  EXPECT_EQ(nb::win::DrivePathOf("/opt/nimbra/bin/nbctl"), u"\\\\?\\unix\\opt\\nimbra\\bin\\nbctl");
  EXPECT_EQ(nb::win::DrivePathOf("/opt/../srv/data/x"), u"D:\\x");
  nb::win::UnmapAllDrives();
  EXPECT_EQ(nb::win::DrivePathOf("/srv/data/x"), u"\\\\?\\unix\\srv\\data\\x");
}

TEST(ReversePath, GetModuleFileNameNamesThisProgramAndCutsShortBuffers) {
  WCHAR name[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, name, MAX_PATH);
  ASSERT_GT(length, 0u);
  std::u16string text(name, length);
  EXPECT_TRUE(text.starts_with(u"\\\\?\\unix\\")) << nb::text::Utf16ToUtf8(text);
  EXPECT_TRUE(text.ends_with(u"\\user_host_path_test")) << nb::text::Utf16ToUtf8(text);

  WCHAR shortName[5] = {1, 1, 1, 1, 1};
  EXPECT_EQ(GetModuleFileNameW(nullptr, shortName, 5), 5u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(std::u16string(shortName), text.substr(0, 4));

  int other = 0;
  EXPECT_EQ(GetModuleFileNameW(reinterpret_cast<HMODULE>(&other), name, MAX_PATH), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
