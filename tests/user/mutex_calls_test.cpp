// The Win32 mutex calls of libnbwin on a machine, in process and over its socket: names shared with events,
// ownership by thread, recursion, release by a non-owner, waits that hand a mutex over,
// and a mutex abandoned by its owner.
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <ntifs.h>
#include <windows.h>

#include "nb/kernel/events.h"
#include "nb/kernel/mutants.h"
#include "nb/testing/machine.h"
#include "nb/testing/carrier.h"

namespace {

using namespace std::chrono_literals;

using nb::testing::Carrier;

class MutexCalls : public ::testing::TestWithParam<Carrier> {
 protected:
  void SetUp() override { ASSERT_TRUE(carrier.Ready()); }

  static DWORD Error() { return GetLastError(); }

  // Runs `call` on another thread and returns its result.
  template <typename Call>
  static auto OnAnotherThread(Call call) {
    return std::async(std::launch::async, call).get();
  }

  nb::testing::Machine machine;
  nb::testing::CarriedTransport carrier{machine.Kernel(), GetParam()};
};

TEST_P(MutexCalls, CreateOpenAndAlreadyExists) {
  HANDLE created = CreateMutexW(nullptr, FALSE, u"Global\\NbMutex");
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_SUCCESS));
  // The name exists: it opens that mutex and ignores the initial owner.
  HANDLE again = CreateMutexW(nullptr, TRUE, u"NbMutex");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(OnAnotherThread([&] { return WaitForSingleObject(created, 0); }), WAIT_OBJECT_0)
      << "the second create took no ownership";
  HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, u"Local\\NbMutex");
  ASSERT_NE(opened, nullptr);
  for (HANDLE handle : {created, again, opened}) EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, u"NbMutex"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_P(MutexCalls, ANameIsAnEventsOrAMutexsNotBoth) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, u"NbShared");
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"NbShared"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenMutexW(SYNCHRONIZE, FALSE, u"NbShared"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"NbMutexName");
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, u"NbMutexName"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"NbMutexName"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  // An event handle is no mutex to release.
  EXPECT_FALSE(ReleaseMutex(event));
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(mutex));
}

// Win32 opens named objects without OBJ_CASE_INSENSITIVE: two names that differ in case
// are two objects, for events as for mutexes.
TEST_P(MutexCalls, ObjectNamesAreCaseSensitive) {
  HANDLE lower = CreateEventW(nullptr, TRUE, FALSE, u"NbCaseEvent");
  ASSERT_NE(lower, nullptr);
  HANDLE upper = CreateEventW(nullptr, TRUE, FALSE, u"NBCASEEVENT");
  ASSERT_NE(upper, nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_SUCCESS)) << "another event";
  ASSERT_TRUE(SetEvent(upper));
  EXPECT_EQ(WaitForSingleObject(lower, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(OpenEventW(SYNCHRONIZE, FALSE, u"nbcaseevent"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  HANDLE mutex = CreateMutexW(nullptr, FALSE, u"NbCaseMutex");
  ASSERT_NE(mutex, nullptr);
  HANDLE other = CreateMutexW(nullptr, FALSE, u"nbcasemutex");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_SUCCESS));
  // The directory itself is still found whatever its case.
  HANDLE kernelSide;
  EXPECT_EQ(nb::kernel::NtOpenMutant(&kernelSide, SYNCHRONIZE, u"\\BASENAMEDOBJECTS\\NbCaseMutex"), STATUS_SUCCESS);
  EXPECT_EQ(nb::kernel::NtClose(kernelSide), STATUS_SUCCESS);
  for (HANDLE handle : {lower, upper, mutex, other}) EXPECT_TRUE(CloseHandle(handle));
}

TEST_P(MutexCalls, TheOwnerTakesItAgainAndReleasesAsOftenAsItTook) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_EQ(OnAnotherThread([&] { return WaitForSingleObject(mutex, 0); }), static_cast<DWORD>(WAIT_TIMEOUT))
      << "still owned once";
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_FALSE(ReleaseMutex(mutex)) << "released more often than taken";
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_NOT_OWNER));
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST_P(MutexCalls, OnlyTheOwnerReleases) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, u"NbOwned");
  ASSERT_NE(mutex, nullptr);
  auto [released, error] = OnAnotherThread([&] {
    BOOL done = ReleaseMutex(mutex);
    return std::pair<BOOL, DWORD>(done, GetLastError());
  });
  EXPECT_FALSE(released);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_NOT_OWNER));
  // Nor does a thread that opened it by name itself.
  EXPECT_FALSE(OnAnotherThread([] {
    HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, u"NbOwned");
    BOOL done = ReleaseMutex(opened);
    CloseHandle(opened);
    return done;
  }));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST_P(MutexCalls, AWaitTakesTheMutexWhenItsOwnerReleases) {
  HANDLE mutex = CreateMutexW(nullptr, TRUE, nullptr);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(mutex, nullptr);
  std::promise<void> waiting;
  std::promise<void> checked;
  auto other = std::async(std::launch::async, [&] {
    HANDLE both[] = {event, mutex};
    waiting.set_value();
    DWORD waited = WaitForMultipleObjects(2, both, FALSE, 5000);
    // It owns it now: it may release it, and the first owner may not.
    checked.get_future().wait();
    BOOL released = ReleaseMutex(mutex);
    return std::pair<DWORD, BOOL>(waited, released);
  });
  waiting.get_future().wait();
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(ReleaseMutex(mutex));
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(ReleaseMutex(mutex));
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_NOT_OWNER));
  EXPECT_EQ(WaitForSingleObject(mutex, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "owned by the other thread";
  checked.set_value();
  auto [waited, released] = other.get();
  EXPECT_EQ(waited, WAIT_OBJECT_0 + 1);
  EXPECT_TRUE(released);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "free again";
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(mutex));
}

TEST_P(MutexCalls, AMutexOfAThreadThatWentIsAbandonedToTheNextWaiter) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(mutex, nullptr);
  std::thread owner([&] {
    ASSERT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    // What the socket server does when the thread's connection ends.
    if (!carrier.OverSocket()) nb::kernel::AbandonThreadMutants();
  });
  owner.join();
  HANDLE both[] = {event, mutex};
  EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 5000), WAIT_ABANDONED_0 + 1);
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0) << "abandoned once, reported once";
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(ReleaseMutex(mutex));
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(mutex));
}

// A mutex is its maker's user's and root's: another user neither opens it nor creates
// it again, whatever rights it asks for; one it made itself is open to root.
TEST_P(MutexCalls, OnlyTheMakersUserAndRootReachAMutex) {
  if (carrier.OverSocket()) GTEST_SKIP() << "acts as several users, as only an in-process machine can";
  nb::win::InProcessTransport& transport = *carrier.InProcess();
  transport.ActAsUser(1000);
  HANDLE made = CreateMutexW(nullptr, FALSE, u"Global\\NbUserMutex");
  ASSERT_NE(made, nullptr);
  HANDLE again = CreateMutexW(nullptr, FALSE, u"NbUserMutex");
  ASSERT_NE(again, nullptr) << "the same user";
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));

  transport.ActAsUser(1001);
  for (DWORD access : {static_cast<DWORD>(SYNCHRONIZE), static_cast<DWORD>(MUTEX_ALL_ACCESS)}) {
    EXPECT_EQ(OpenMutexW(access, FALSE, u"NbUserMutex"), nullptr);
    EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
  EXPECT_EQ(CreateMutexW(nullptr, TRUE, u"Local\\NbUserMutex"), nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  HANDLE own = CreateMutexW(nullptr, FALSE, u"NbOtherUserMutex");
  ASSERT_NE(own, nullptr);

  transport.ActAsUser(0);
  HANDLE byRoot = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, u"NbUserMutex");
  ASSERT_NE(byRoot, nullptr);
  EXPECT_EQ(WaitForSingleObject(byRoot, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ReleaseMutex(byRoot));
  HANDLE otherByRoot = OpenMutexW(SYNCHRONIZE, FALSE, u"NbOtherUserMutex");
  EXPECT_NE(otherByRoot, nullptr);
  for (HANDLE handle : {made, again, own, byRoot, otherByRoot}) EXPECT_TRUE(CloseHandle(handle));

  // The name is free again, for anyone.
  transport.ActAsUser(1001);
  HANDLE fresh = CreateMutexW(nullptr, FALSE, u"NbUserMutex");
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(Error(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_TRUE(CloseHandle(fresh));
}

INSTANTIATE_TEST_SUITE_P(Carriers, MutexCalls, ::testing::Values(Carrier::kInProcess, Carrier::kSocket),
                         [](const auto& info) { return std::string(nb::testing::NameOf(info.param)); });

}  // namespace
