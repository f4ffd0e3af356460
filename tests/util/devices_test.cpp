// Removable-device registration against the nbdv driver: which drives are registered,
// once, by serial; removal by serial; the list with none, some and more than 26; and the
// log lines of the registrations.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "NBUtil.h"
#include "nbclient.h"
#include "nbdvctl.h"
#include "request_recorder.h"
#include "util_machine.h"

namespace util_test {
namespace {

class DevicesTest : public UtilTest {
 protected:
  void SetUp() override {
    UtilTest::SetUp();
    ASSERT_EQ(recorder.AttachAbove(machine, NBDV_DEVICE_NAME), STATUS_SUCCESS);
  }
  int Count(ULONG code) const {
    int n = 0;
    for (ULONG seen : recorder.Codes()) n += seen == code;
    return n;
  }
  _DRIVESERIAL List(bool expected = true, int expectedError = 0) {
    _DRIVESERIAL list;
    std::memset(&list, 0x5A, sizeof list);
    int error = -1;
    EXPECT_EQ(AddedDeviceList(&list, &error), expected);
    EXPECT_EQ(error, expectedError);
    return list;
  }

  client_test::RequestRecorder recorder;
};

TEST_F(DevicesTest, TheSystemDriveAndNetworkDrivesAreNeverRegistered) {
  for (int letter : {'C', 'c', 'Z'}) {
    int error = -1;
    EXPECT_TRUE(AddDevice(letter, &error)) << static_cast<char>(letter);
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(RemoveDevice(letter, &error)) << static_cast<char>(letter);
  }
  EXPECT_TRUE(recorder.Codes().empty());
}

TEST_F(DevicesTest, AVolumeIsRegisteredOnceBySerial) {
  int error = -1;
  ASSERT_TRUE(Quietly([&] { return AddDevice('E', &error); }));
  EXPECT_EQ(error, 0);
  ASSERT_TRUE(Quietly([&] { return AddDevice('D', &error); }));
  _DRIVESERIAL list = List();
  ASSERT_EQ(list.count, 2);
  EXPECT_EQ(list.letter[0], u'E');
  EXPECT_EQ(list.volumeSerial[0], kSerialE);
  EXPECT_EQ(list.letter[1], u'D');
  EXPECT_EQ(list.volumeSerial[1], kSerialD);

  // Registered already: nothing is sent, and the caller learns it made no registration.
  EXPECT_TRUE(Quietly([&] { return AddDevice('e', &error); }));
  EXPECT_EQ(error, ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Count(NBDV_ADD_DEVICE), 2);
  EXPECT_EQ(List().count, 2);
}

TEST_F(DevicesTest, ADriveWithoutAVolumeFailsWithTheSystemError) {
  int error = 0;
  EXPECT_FALSE(AddDevice('Q', &error));
  EXPECT_NE(error, 0);
  EXPECT_GT(error, 0) << "a system error, not a device-driver code";
  EXPECT_FALSE(RemoveDevice('Q', &error));
  EXPECT_TRUE(recorder.Codes().empty());
}

// A registration others still need is left by a caller whose AddDevice found it there,
// and removal goes by serial whatever letter the record carries.
TEST_F(DevicesTest, RemovalGoesBySerial) {
  int error = 0;
  ASSERT_TRUE(Quietly([&] { return AddDevice('E', &error); }));
  ASSERT_EQ(error, 0);
  ASSERT_TRUE(Quietly([&] { return AddDevice('E', &error); }));
  bool madeItself = error == 0;
  EXPECT_FALSE(madeItself);
  EXPECT_EQ(List().count, 1) << "a second lock's undo would leave the registration";

  _DEVICE_INFO zeroSerial{};
  zeroSerial.devLetter = 'E';
  EXPECT_FALSE(Quietly([&] { return RemoveDeviceEx(&zeroSerial, &error); }));
  EXPECT_EQ(error, NBDV_ERROR_INVALID);
  EXPECT_EQ(List().count, 1);

  _DEVICE_INFO moved{};
  moved.devLetter = 'F';  // the volume went to another letter since
  moved.devSerial = kSerialE;
  EXPECT_TRUE(Quietly([&] { return RemoveDeviceEx(&moved, &error); }));
  EXPECT_EQ(List().count, 0);

  EXPECT_FALSE(Quietly([&] { return RemoveDevice('E', &error); })) << "not registered";
  EXPECT_EQ(error, NBDV_ERROR_IOCTL);

  ASSERT_TRUE(Quietly([&] { return AddDevice('E', &error); }));
  EXPECT_TRUE(Quietly([&] { return RemoveDevice('E', &error); }));
  EXPECT_EQ(error, 0);
  EXPECT_EQ(List().count, 0);
  _DEVICE_INFO system{};
  system.devLetter = 'C';
  system.isSystem = 1;
  system.devSerial = kSerialC;
  EXPECT_TRUE(RemoveDeviceEx(&system, &error));
  EXPECT_EQ(Count(NBDV_DELETE_DEVICE), 3);
}

TEST_F(DevicesTest, AnEmptyListHasCountZero) {
  _DRIVESERIAL list = List();
  EXPECT_EQ(list.count, 0);
}

TEST_F(DevicesTest, MoreThanTwentySixDevicesGiveTheFirstTwentySixAndSaySo) {
  for (ULONG i = 1; i <= 27; ++i) {
    ASSERT_EQ(NBDV_AddDevice(static_cast<WCHAR>(u'A' + (i - 1) % 26), 0x1000 + i), 0);
  }
  _DRIVESERIAL list = List(false, ERROR_MORE_DATA);
  ASSERT_EQ(list.count, 26);
  for (int i = 0; i < 26; ++i) {
    EXPECT_EQ(list.letter[i], static_cast<WCHAR>(u'A' + i));
    EXPECT_EQ(list.volumeSerial[i], 0x1001u + i);
  }
}

TEST_F(DevicesTest, AnUnreachableDeviceDriverIsReported) {
  recorder.Answer(NBDV_GET_COUNT, STATUS_UNSUCCESSFUL);
  recorder.Answer(NBDV_ADD_DEVICE, STATUS_UNSUCCESSFUL);
  int error = 0;
  _DRIVESERIAL list;
  EXPECT_FALSE(Quietly([&] { return AddedDeviceList(&list, &error); }));
  EXPECT_EQ(error, NBDV_ERROR_IOCTL);
  EXPECT_EQ(list.count, 0);
  EXPECT_FALSE(Quietly([&] { return AddDevice('E', &error); }));
  EXPECT_EQ(error, NBDV_ERROR_IOCTL);
}

TEST_F(DevicesTest, RegistrationsAreLogged) {
  std::filesystem::path logs = machine.MakeFolder('C', "\\Windows\\TEMP\\NB");
  int error;
  ASSERT_TRUE(Quietly([&] { return AddDevice('E', &error); }));
  ASSERT_TRUE(Quietly([&] { return RemoveDevice('E', &error); }));
  std::string text;
  for (const auto& file : std::filesystem::directory_iterator(logs)) {
    std::ifstream in(file.path());
    std::stringstream content;
    content << in.rdbuf();
    text += content.str();
  }
  EXPECT_NE(text.find(":NBUtil:NBDV_AddDevice(E: e0e0e0e0)\n"), std::string::npos) << text;
  EXPECT_NE(text.find(":NBUtil:NBDV_DeleteDevice(E: e0e0e0e0)\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace util_test
