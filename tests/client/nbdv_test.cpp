// The NBDV_ calls against the nbdv driver in an in-process machine.
#include <gtest/gtest.h>

#include "client_machine.h"
#include "nbclient.h"
#include "nb/kernel/events.h"
#include "nb/kernel/object_namespace.h"
#include "nbdv.h"
#include "nbdvctl.h"
#include "request_recorder.h"

namespace client_test {
namespace {

class Nbdv : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(machine.LoadNbdv(), STATUS_SUCCESS);
    ASSERT_EQ(recorder.AttachAbove(machine, NBDV_DEVICE_NAME), STATUS_SUCCESS);
  }

  NbdvExtension* Extension() {
    auto* control = static_cast<PDEVICE_OBJECT>(
        machine.Kernel().Namespace().Lookup(NBDV_DEVICE_NAME, nb::kernel::ObjectKind::kDevice));
    return static_cast<NbdvExtension*>(control->DeviceExtension);
  }

  // An event of this process, as the service hands nbdv one.
  HANDLE NewEvent() {
    HANDLE event = nullptr;
    EXPECT_EQ(nb::kernel::NtCreateEvent(&event, EVENT_ALL_ACCESS, u"", NotificationEvent, FALSE), STATUS_SUCCESS);
    return event;
  }

  std::string Run(const std::function<int()>& call, int expected) {
    int result;
    std::string output = Captured(call, &result);
    EXPECT_EQ(result, expected) << output;
    return output;
  }

  ClientMachine machine;
  RequestRecorder recorder;
};

TEST_F(Nbdv, AddListDeleteRoundTrip) {
  EXPECT_EQ(NBDV_AddDevice(u'f', 0x1234ABCD), 0);
  EXPECT_EQ(NBDV_AddDevice(u'G', 0x55), 0);
  ULONG count = 0;
  EXPECT_EQ(NBDV_GetDeviceCount(&count), 0);
  EXPECT_EQ(count, 2u);
  NBDV_DEVICE devices[4]{};
  EXPECT_EQ(NBDV_GetDeviceInformation(devices, sizeof devices), 0);
  EXPECT_EQ(devices[0].serial, 0x1234ABCDu);
  EXPECT_EQ(devices[0].letter, 'F');
  EXPECT_EQ(devices[1].serial, 0x55u);

  EXPECT_EQ(NBDV_DeleteDevice(u'F', 0x1234ABCD), 0);
  EXPECT_EQ(Run([] { return NBDV_DeleteDevice(u'F', 0x1234ABCD); }, -3102), "NBDV_DeleteDevice: ioctl failed\n");
  NBDV_DEVICE left{};
  EXPECT_EQ(NBDV_GetDeviceInformation(&left, sizeof left), 0);
  EXPECT_EQ(left.serial, 0x55u);
  EXPECT_EQ(left.letter, 'G');
}

TEST_F(Nbdv, SerialZeroIsRefusedWithoutARequest) {
  EXPECT_EQ(Run([] { return NBDV_AddDevice(u'F', 0); }, -3103), "NBDV_AddDevice: invalid Serial Number 0x0\n");
  EXPECT_EQ(Run([] { return NBDV_DeleteDevice(u'F', 0); }, -3103), "NBDV_DeleteDevice: invalid Serial Number 0x0\n");
  EXPECT_TRUE(recorder.Requests().empty());
}

TEST_F(Nbdv, DriverRefusesBadRecordsFromAnyCaller) {
  NBDV_DEVICE zero{};
  zero.letter = 'F';
  EXPECT_EQ(machine.DeviceControl(NBDV_LINK_NAME, NBDV_ADD_DEVICE, &zero, sizeof zero, nullptr, 0),
            STATUS_INVALID_PARAMETER);
  NBDV_DEVICE badLetter{};
  badLetter.serial = 9;
  badLetter.letter = '9';
  EXPECT_EQ(machine.DeviceControl(NBDV_LINK_NAME, NBDV_ADD_DEVICE, &badLetter, sizeof badLetter, nullptr, 0),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(machine.DeviceControl(NBDV_LINK_NAME, NBDV_ADD_DEVICE, &badLetter, 4, nullptr, 0),
            STATUS_INVALID_PARAMETER);
  ULONG count = 7;
  EXPECT_EQ(machine.DeviceControl(NBDV_LINK_NAME, NBDV_GET_COUNT, nullptr, 0, &count, 2), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(machine.DeviceControl(NBDV_LINK_NAME, 0x82000030, nullptr, 0, nullptr, 0),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(NBDV_GetDeviceCount(&count), 0);
  EXPECT_EQ(count, 0u);
}

TEST_F(Nbdv, InformationNeedsDevicesAndRoom) {
  NBDV_DEVICE devices[2]{};
  EXPECT_EQ(Run([&] { return NBDV_GetDeviceInformation(devices, sizeof devices); }, -3100),
            "NBDV_GetDeviceInformation: no device\n");
  ASSERT_EQ(NBDV_AddDevice(u'H', 1), 0);
  ASSERT_EQ(NBDV_AddDevice(u'I', 2), 0);
  recorder.Clear();
  EXPECT_EQ(Run([&] { return NBDV_GetDeviceInformation(devices, 15); }, -3103),
            "NBDV_GetDeviceInformation: Buffer too small\n");
  EXPECT_EQ(recorder.Codes(), std::vector<ULONG>{NBDV_GET_COUNT});
}

TEST_F(Nbdv, VersionAndRequestCodes) {
  ULONG version = 0;
  EXPECT_EQ(NBDV_GetVersion(&version), 0);
  EXPECT_EQ(version, NBDV_VERSION);
  HANDLE event = NewEvent();
  EXPECT_EQ(NBDV_OpenEvent(event), 0);
  EXPECT_EQ(NBDV_CloseEvent(), 0);
  EXPECT_EQ(recorder.Codes(), (std::vector<ULONG>{0x82000020, 0x82000028, 0x8200002C}));
  auto value = static_cast<uint8_t>(reinterpret_cast<uintptr_t>(event));
  EXPECT_EQ(recorder.Requests()[1].input, (std::vector<uint8_t>{value, 0, 0, 0}));
  EXPECT_EQ(nb::kernel::NtClose(event), STATUS_SUCCESS);
}

TEST_F(Nbdv, TheOpenedEventIsPulsedOnEveryChangeOnly) {
  ASSERT_EQ(NBDV_AddDevice(u'J', 1), 0);
  EXPECT_EQ(Extension()->pulses, 0u);  // no event registered yet
  HANDLE event = NewEvent();
  ASSERT_EQ(NBDV_OpenEvent(event), 0);
  ASSERT_EQ(NBDV_AddDevice(u'K', 2), 0);
  ASSERT_EQ(NBDV_AddDevice(u'K', 2), 0);  // unchanged
  ASSERT_EQ(NBDV_AddDevice(u'L', 2), 0);  // moved
  ASSERT_EQ(NBDV_DeleteDevice(u'J', 1), 0);
  EXPECT_EQ(Run([] { return NBDV_DeleteDevice(u'J', 1); }, -3102), "NBDV_DeleteDevice: ioctl failed\n");
  EXPECT_EQ(Extension()->pulses, 3u);
  ASSERT_EQ(NBDV_CloseEvent(), 0);
  ASSERT_EQ(NBDV_DeleteDevice(u'L', 2), 0);
  EXPECT_EQ(Extension()->pulses, 3u);
  EXPECT_EQ(Run([] { return NBDV_OpenEvent(nullptr); }, -3102), "NBDV_OpenEvent: ioctl failed\n");
  EXPECT_EQ(nb::kernel::NtClose(event), STATUS_SUCCESS);
}

}  // namespace
}  // namespace client_test
