// HostPathOf: drive paths read as CreateFileW reads them, mapped through the drive map.
#include <gtest/gtest.h>

#include <windows.h>

#include "nb/win/drives.h"
#include "nb/win/host_path.h"

namespace {

struct HostPathCase {
  const char* path;
  const char* host;  // null: no host path
  DWORD error;
};

void PrintTo(const HostPathCase& value, std::ostream* out) { *out << value.path; }

class HostPath : public ::testing::TestWithParam<HostPathCase> {
 protected:
  void SetUp() override {
    nb::win::MapDrive(u'C', "/srv/c");
    nb::win::MapDrive(u'e', "/media/e");
  }
  void TearDown() override { nb::win::UnmapAllDrives(); }
};

TEST_P(HostPath, MapsLikeCreateFileW) {
  DWORD error = 12345;
  std::optional<std::string> host = nb::win::HostPathOf(GetParam().path, &error);
  if (GetParam().host) {
    ASSERT_TRUE(host.has_value());
    EXPECT_EQ(*host, GetParam().host);
  } else {
    EXPECT_FALSE(host.has_value()) << *host;
  }
  EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, HostPath,
    ::testing::Values(
        HostPathCase{"C:\\Windows\\Application Data\\NB\\lock", "/srv/c/Windows/Application Data/NB/lock", 0},
        HostPathCase{"c:/Windows/NB", "/srv/c/Windows/NB", 0},
        HostPathCase{"E:\\", "/media/e", 0},
        HostPathCase{"E:", "/media/e", 0},
        HostPathCase{"C:\\a\\..\\..\\..\\etc\\passwd", "/srv/c/etc/passwd", 0},  // never above the root
        HostPathCase{"C:\\NB.\\lock ", "/srv/c/NB/lock", 0},  // trailing dots and spaces go, as in Win32
        HostPathCase{"\\\\?\\C:\\NB.", "/srv/c/NB.", 0},       // except in literal paths
        HostPathCase{"C:\\\xE6\x97\xA5\xE6\x9C\xAC", "/srv/c/\xE6\x97\xA5\xE6\x9C\xAC", 0},
        HostPathCase{"D:\\NB\\lock", nullptr, ERROR_PATH_NOT_FOUND},  // no such drive
        HostPathCase{"\\\\.\\C:", nullptr, ERROR_INVALID_NAME},       // a volume is no file
        HostPathCase{"\\\\.\\nbfscntl36", nullptr, ERROR_INVALID_NAME},
        HostPathCase{"Windows\\NB", nullptr, ERROR_PATH_NOT_FOUND},   // relative
        HostPathCase{"\\\\server\\share\\x", nullptr, ERROR_BAD_NETPATH},
        HostPathCase{"C:\\a<b", nullptr, ERROR_INVALID_NAME},
        HostPathCase{"", nullptr, ERROR_PATH_NOT_FOUND}));

TEST_F(HostPath, ANulEndsTheName) {
  std::string_view withNul("C:\\NB\0\\..\\..\\x", 14);
  EXPECT_EQ(nb::win::HostPathOf(withNul), "/srv/c/NB");
}

}  // namespace
