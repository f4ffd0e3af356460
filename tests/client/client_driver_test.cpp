// The client calls against the real nbfs driver, in process and over the socket: folder locks
// keep the drive registration in step, drive-wide locks shut folder locks out, and the
// state calls reach the table.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "client_machine.h"
#include "driver.h"
#include "nbclient.h"
#include "nbfsctl.h"
#include "request_recorder.h"

namespace client_test {
namespace {

using nb::testing::Carrier;

class ClientDriver : public ::testing::TestWithParam<Carrier> {
 protected:
  void SetUp() override {
    ASSERT_EQ(machine.LoadNbfs(), STATUS_SUCCESS);
    ASSERT_EQ(recorder.AttachAbove(machine, NBFS_DEVICE_NAME), STATUS_SUCCESS);
    machine.MakeFolder('D', "\\a");
    machine.MakeFolder('D', "\\b");
    machine.MakeFolder('E', "\\a");
  }

  // The letters GET_DRIVE_INFO lists, through the client call.
  std::string ListedDrives() {
    NBFS_DRIVE drives[26];
    EXPECT_EQ(GetDriveInformation(drives, sizeof drives), 0);
    std::string letters;
    for (const auto& drive : drives) {
      if (drive.letter) letters += static_cast<char>(drive.letter);
    }
    return letters;
  }

  std::string Run(const std::function<int()>& call, int expected) {
    int result;
    std::string output = Captured(call, &result);
    EXPECT_EQ(result, expected) << output;
    return output;
  }

  ClientMachine machine{{'D', 'E'}, GetParam()};
  RequestRecorder recorder;
};

TEST_P(ClientDriver, LockFolderRegistersTheDriveOnceAndAddsTheEntry) {
  EXPECT_EQ(Run([] { return LockFolder(u'D', u"\\a", 1, 0); }, 0),
            "LockFolder: Locking D:\\a (Lock=0x1, time=0x0) is success\n");
  EXPECT_EQ(recorder.Codes(), (std::vector<ULONG>{GET_DRIVE_INFO, ADD_SERVICE, ADD_ENTRY}));
  recorder.Clear();
  EXPECT_EQ(Run([] { return LockFolder(u'd', u"\\b", 4, 120); }, 0),
            "LockFolder: Locking d:\\b (Lock=0x4, time=0x78) is success\n");
  EXPECT_EQ(recorder.Codes(), (std::vector<ULONG>{GET_DRIVE_INFO, ADD_ENTRY}));

  EXPECT_EQ(ListedDrives(), "D");
  ULONG count = 0;
  EXPECT_EQ(GetEntryCountInDrive(u'D', &count), 0);
  EXPECT_EQ(count, 2u);
  NBFS_ENTRY entries[2]{};
  EXPECT_EQ(GetEntryInfoInDrive(u'D', entries, sizeof entries), 0);
  EXPECT_EQ(std::u16string(entries[0].path), u"\\a");
  EXPECT_EQ(entries[1].type, 0u);  // a timed lock starts open
  EXPECT_EQ(entries[1].timeout, 120u);
}

TEST_P(ClientDriver, LockFolderRefusedByTheDriverUnregistersTheDriveItRegistered) {
  EXPECT_EQ(Run([] { return LockFolder(u'D', u"\\a", 0x80, 0); }, -3002), "LockFolder: ADD_ENTRY ioctl failed\n");
  EXPECT_EQ(recorder.Codes(), (std::vector<ULONG>{GET_DRIVE_INFO, ADD_SERVICE, ADD_ENTRY, DEL_SERVICE}));
  EXPECT_EQ(ListedDrives(), "");

  // A drive registered before stays registered.
  ASSERT_EQ(Run([] { return LockFolder(u'D', u"\\a", 1, 0); }, 0).empty(), false);
  EXPECT_EQ(Run([] { return LockFolder(u'D', u"\\b", 0x80, 0); }, -3002), "LockFolder: ADD_ENTRY ioctl failed\n");
  EXPECT_EQ(ListedDrives(), "D");
  // The folder open meets the lock like any other: a hidden folder is not opened again.
  EXPECT_EQ(Run([] { return LockFolder(u'D', u"\\a", 1, 0); }, -3007), "LockFolder: cannot open folder(D:\\a)\n");
}

TEST_P(ClientDriver, LockFolderOnADriveLockedAsAWholeSendsNoEntry) {
  EXPECT_EQ(Run([] { return LockDrive(u'E', 4, 0); }, 0), "");
  recorder.Clear();
  EXPECT_EQ(Run([] { return LockFolder(u'E', u"\\a", 1, 0); }, -3005), "LockFolder: Drive(E) is Locking Mode\n");
  EXPECT_EQ(recorder.Codes(), std::vector<ULONG>{GET_DRIVE_INFO});

  // A timed drive lock that is open at the moment counts as a drive lock too.
  EXPECT_EQ(UnlockDrive(u'E'), 0);
  EXPECT_EQ(LockDrive(u'E', 1, 60), 0);
  EXPECT_EQ(Run([] { return LockFolder(u'E', u"\\a", 1, 0); }, -3005), "LockFolder: Drive(E) is Locking Mode\n");
}

TEST_P(ClientDriver, UnlockFolderKeepsTheDriveUntilItsLastFolder) {
  ASSERT_EQ(Run([] { return LockFolder(u'D', u"\\a", 1, 0); }, 0).empty(), false);
  ASSERT_EQ(Run([] { return LockFolder(u'D', u"\\b", 1, 0); }, 0).empty(), false);
  EXPECT_EQ(Run([] { return UnlockFolder(u'D', u"\\a"); }, 0),
            "UnlockFolder: Locking D:\\a is success\nUnlockFolder: D have some entry\n");
  EXPECT_EQ(ListedDrives(), "D");
  EXPECT_EQ(Run([] { return UnlockFolder(u'D', u"\\b"); }, 0),
            "UnlockFolder: Locking D:\\b is success\nUnlockFolder: [D:] no more entry, Unlock Drive...\n");
  EXPECT_EQ(ListedDrives(), "");
  EXPECT_EQ(Run([] { return UnlockFolder(u'D', u"\\b"); }, -3002), "UnlockFolder: DEL_ENTRY ioctl failed\n");
}

TEST_P(ClientDriver, PauseAndResumeTheDriveOrAFolder) {
  ASSERT_EQ(LockDrive(u'E', 1, 0), 0);
  EXPECT_EQ(Run([] { return Pause(u'E', u"\\"); }, -3003), "Pause: invalid Path(\\)\n");
  EXPECT_EQ(Run([] { return Pause(u'E', nullptr); }, 0), "");
  EXPECT_TRUE(FindVolume(Volumes(), 'E')->state & VOLUME_STATE_PAUSE);
  EXPECT_EQ(Run([] { return Resume(u'E', nullptr); }, 0), "");
  EXPECT_FALSE(FindVolume(Volumes(), 'E')->state & VOLUME_STATE_PAUSE);

  ASSERT_EQ(Run([] { return LockFolder(u'D', u"\\a", 1, 0); }, 0).empty(), false);
  EXPECT_EQ(Pause(u'D', u"\\a"), 0);
  EXPECT_EQ(Run([] { return Pause(u'D', u"\\b"); }, -3002), "Pause: PAUSE_ENTRY ioctl failed\n");
  EXPECT_EQ(Resume(u'D', u"\\a"), 0);
}

TEST_P(ClientDriver, SetEntryInfoAndStartTimeOutReachTheEntry) {
  ASSERT_EQ(Run([] { return LockFolder(u'D', u"\\a", 1, 0); }, 0).empty(), false);
  EXPECT_EQ(Run([] { return SetEntryInfo(u'D', u"\\a", 4, 0); }, 0), "SetEntryInfo: Drive=D, path=\\a\n");
  NBFS_ENTRY entry{};
  EXPECT_EQ(GetEntryInfoInDrive(u'D', &entry, sizeof entry), 0);
  EXPECT_EQ(entry.type, 4u);
  // Only an expired lock can be restarted.
  EXPECT_EQ(Run([] { return StartTimeOutEntry(u'D', u"\\a"); }, -3002), "StartTimeOutEntry: ioctl failed\n");
}

TEST_P(ClientDriver, LockFolderNeedsAnExistingFolder) {
  EXPECT_EQ(Run([] { return LockFolder(u'D', u"\\missing", 1, 0); }, -3007),
            "LockFolder: cannot open folder(D:\\missing)\n");
  EXPECT_TRUE(recorder.Requests().empty());
}

// The calls share no state: threads locking and unlocking their own folders of one drive
// all succeed, and the drive stays registered for the folder that remains.
TEST_P(ClientDriver, CallsFromSeveralThreadsAtOnce) {
  constexpr int kThreads = 4;
  for (int i = 0; i < kThreads; ++i) machine.MakeFolder('D', "\\t" + std::to_string(i));
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(LockFolder(u'D', u"\\a", 1, 0), 0);
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([i, &failures] {
      std::u16string path = u"\\t" + std::u16string(1, static_cast<char16_t>(u'0' + i));
      for (int round = 0; round < 20; ++round) {
        if (LockFolder(u'D', path.c_str(), 4, 0) != 0) ++failures[i];
        if (UnlockFolder(u'D', path.c_str()) != 0) ++failures[i];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  (void)::testing::internal::GetCapturedStdout();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  ULONG count = 0;
  EXPECT_EQ(GetEntryCountInDrive(u'D', &count), 0);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(ListedDrives(), "D");
}

TEST_P(ClientDriver, GetVersionReadsTheDriverVersion) {
  ULONG version = 0;
  EXPECT_EQ(GetVersion(&version), 0);
  EXPECT_EQ(version, NBFS_VERSION);
}

INSTANTIATE_TEST_SUITE_P(Carriers, ClientDriver, ::testing::Values(Carrier::kInProcess, Carrier::kSocket),
                         [](const auto& info) { return std::string(nb::testing::NameOf(info.param)); });

}  // namespace
}  // namespace client_test
