// The service's presence mutex, as its creator and as other accounts see it, and the
// console's notification event made by the driver and opened by name.
#include <gtest/gtest.h>

#include "NBUtil.h"
#include "nbfsctl.h"
#include "request_recorder.h"
#include "service_presence.h"
#include "util_machine.h"

namespace util_test {
namespace {

using ServiceObjectsTest = UtilTest;

TEST(ServicePresenceTest, AMutexRefusedToThisAccountStillExists) {
  struct Case {
    bool opened;
    DWORD error;
    bool present;
  };
  const Case cases[] = {
      {true, ERROR_SUCCESS, true},
      {false, ERROR_ACCESS_DENIED, true},
      {false, ERROR_FILE_NOT_FOUND, false},
      {false, ERROR_INVALID_HANDLE, false},  // the name is another kind of object's
  };
  for (const Case& c : cases) EXPECT_EQ(nbutil::ServicePresent(c.opened, c.error), c.present) << c.error;
}

TEST_F(ServiceObjectsTest, CheckLockFollowsTheServiceMutex) {
  SetLastError(0);
  EXPECT_EQ(CheckLock(), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  HANDLE mutex = nullptr;
  ASSERT_EQ(CreateLock(&mutex), 1);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(CheckLock(), 1);
  HANDLE again = nullptr;
  EXPECT_EQ(CreateLock(&again), 1) << "an existing mutex is opened";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_TRUE(CloseHandle(again));
  EXPECT_TRUE(CloseHandle(mutex));
  EXPECT_EQ(CheckLock(), 0) << "gone with its last handle";
}

TEST_F(ServiceObjectsTest, CheckLockSeesAMutexOfAnotherLinuxUser) {
  machine.Transport().ActAsUser(1000);
  HANDLE mutex = nullptr;
  ASSERT_EQ(CreateLock(&mutex), 1);
  machine.Transport().ActAsUser(65534);
  EXPECT_EQ(CheckLock(), 1);
  machine.Transport().ActAsUser(0);
  CloseHandle(mutex);
}

TEST_F(ServiceObjectsTest, AnEventOfTheMutexNameIsNoService) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, NBUTIL_SERVICE_MUTEX);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(CheckLock(), 0);
  HANDLE mutex = reinterpret_cast<HANDLE>(1);
  EXPECT_EQ(CreateLock(&mutex), 0);
  EXPECT_EQ(mutex, nullptr);
  CloseHandle(event);
}

TEST_F(ServiceObjectsTest, TheAdminEventIsMadeByTheDriverAndOpenedReset) {
  HANDLE event = nullptr;
  int error = 0;
  EXPECT_FALSE(CreateAdminEvent(&event, &error, true)) << "nothing made it yet";
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);

  ASSERT_TRUE(Quietly([&] { return CreateAdminEvent(&event, &error, false); }));
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  HANDLE signaller = OpenEventW(EVENT_MODIFY_STATE, FALSE, u"Global\\NbNotiftyEvent0000");
  ASSERT_NE(signaller, nullptr);
  ASSERT_TRUE(SetEvent(signaller));
  HANDLE second = nullptr;
  ASSERT_TRUE(CreateAdminEvent(&second, &error, true));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "reset by the open";
  ASSERT_TRUE(SetEvent(signaller));
  EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0) << "the same event";
  // A second start of the console has the driver open the event it made before.
  HANDLE third = nullptr;
  ASSERT_TRUE(Quietly([&] { return CreateAdminEvent(&third, &error, false); }));
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "cleared again";
  CloseHandle(third);
  CloseHandle(signaller);
  CloseHandle(second);
  CloseHandle(event);
}

TEST_F(ServiceObjectsTest, ADriverFailureIsReportedWithItsCode) {
  client_test::RequestRecorder recorder;
  ASSERT_EQ(recorder.AttachAbove(machine, NBFS_DEVICE_NAME), STATUS_SUCCESS);
  recorder.Answer(CREATE_EVENT, STATUS_UNSUCCESSFUL);
  HANDLE event = nullptr;
  int error = 0;
  EXPECT_FALSE(Quietly([&] { return CreateAdminEvent(&event, &error, false); }));
  EXPECT_EQ(error, -3002);
  EXPECT_EQ(event, nullptr);
  auto requests = recorder.Requests();
  ASSERT_EQ(requests.size(), 1u);
  std::u16string name(reinterpret_cast<const char16_t*>(requests[0].input.data()));
  EXPECT_EQ(name, u"\\BaseNamedObjects\\NbNotiftyEvent0000");
}

}  // namespace
}  // namespace util_test
