// Many threads adding, deleting, listing, setting and pausing at once; run under
// ThreadSanitizer to check the table's locking.
#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver.h"
#include "nb/kernel/pool.h"
#include "nbfs_machine.h"

namespace {

using nbfs_test::Entry;
using nbfs_test::NbfsMachine;

TEST(ControlStressTest, ConcurrentRequestsKeepTheTableConsistent) {
  NbfsMachine machine{'C', 'D'};
  ASSERT_EQ(machine.loadStatus, STATUS_SUCCESS);
  ASSERT_EQ(machine.StartLog(32), STATUS_SUCCESS);
  ASSERT_EQ(machine.Control(ADD_SERVICE, Entry('C')), STATUS_SUCCESS);
  ASSERT_EQ(machine.Control(ADD_SERVICE, Entry('D')), STATUS_SUCCESS);

  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      char letter = t % 2 ? 'D' : 'C';
      std::u16string own = u"\\Own" + std::u16string(1, static_cast<char16_t>(u'0' + t));
      for (int round = 0; round < kRounds; ++round) {
        // Entries private to this thread must always behave.
        if (machine.Control(ADD_ENTRY, Entry(letter, own, 1 + 3 * (round % 2))) != STATUS_SUCCESS) ++unexpected;
        if (machine.Control(PAUSE_ENTRY, Entry(letter, own)) != STATUS_SUCCESS) ++unexpected;
        if (machine.Control(SET_ENTRY, Entry(letter, own, 4, 60)) != STATUS_SUCCESS) ++unexpected;
        // A shared entry races with the other threads: any outcome but a crash is fine.
        (void)machine.Control(ADD_ENTRY, Entry('C', u"\\Shared", 1));
        (void)machine.Control(RESUME_ENTRY, Entry('C', u"\\Shared"));
        (void)machine.Control(DEL_ENTRY, Entry('C', u"\\shared"));
        std::vector<NBFS_ENTRY> records(16);
        (void)machine.Control(GET_ENTRY_INFO, nullptr, 0, records.data(), 16 * sizeof(NBFS_ENTRY));
        NBFS_DRIVE drives[26];
        if (machine.Control(GET_DRIVE_INFO, nullptr, 0, drives, sizeof drives) != STATUS_SUCCESS) ++unexpected;
        NBFS_LOG_RECORD line;
        (void)machine.Control(LOG_READ, nullptr, 0, &line, sizeof line);
        if (machine.Control(DEL_ENTRY, Entry(letter, own)) != STATUS_SUCCESS) ++unexpected;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(unexpected.load(), 0);

  (void)machine.Control(DEL_ENTRY, Entry('C', u"\\Shared"));
  ULONG count = 99;
  ASSERT_EQ(machine.Control(GET_ENTRY_COUNT, nullptr, 0, &count, sizeof count), STATUS_SUCCESS);
  EXPECT_EQ(count, 2u);  // both drives, without entries
  ULONG counts[2];
  EXPECT_EQ(machine.Control(LOG_CHECK, nullptr, 0, counts, sizeof counts), STATUS_SUCCESS);
}

// The driver's volume filters for a letter (records in the table or not).
int FiltersFor(PDRIVER_OBJECT driver, char letter) {
  int filters = 0;
  for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice) {
    if (IsControlDevice(device)) continue;
    VolumeRecord* record = VolumeOf(device);
    if (!(record->state & VOLUME_STATE_FS_FILTER) && record->letter == static_cast<UCHAR>(letter)) ++filters;
  }
  return filters;
}

// Threads registering and unregistering one new letter and adding and deleting one path
// on it, then all adding both at once: the letter has one filter and the path one entry.
// Each letter is a fresh volume, since only the first registration of a letter attaches.
TEST(ControlStressTest, OneLetterGetsOneFilterAndOnePathOneEntry) {
  constexpr char kLetters[] = "EFGHIJKLMNOPQRSTUVWXYZ";
  NbfsMachine machine{'E', 'F', 'G', 'H', 'I', 'J', 'K', 'L', 'M', 'N', 'O',
                      'P', 'Q', 'R', 'S', 'T', 'U', 'V', 'W', 'X', 'Y', 'Z'};
  ASSERT_EQ(machine.loadStatus, STATUS_SUCCESS);
  constexpr int kThreads = 4;
  constexpr int kRounds = 10;
  for (char letter : std::string_view(kLetters)) {
    SCOPED_TRACE(letter);
    std::barrier sync(kThreads);
    std::atomic<int> entriesAdded{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        sync.arrive_and_wait();
        for (int round = 0; round < kRounds; ++round) {
          (void)machine.Control(ADD_SERVICE, Entry(letter));
          (void)machine.Control(ADD_ENTRY, Entry(letter, u"\\Shared", NBFS_LOCK_NOACCESS));
          (void)machine.Control(DEL_ENTRY, Entry(letter, u"\\SHARED"));
          (void)machine.Control(DEL_SERVICE, Entry(letter));
        }
        // Every thread's last word on the path was a deletion: none is left here.
        sync.arrive_and_wait();
        (void)machine.Control(ADD_SERVICE, Entry(letter));
        if (machine.Control(ADD_ENTRY, Entry(letter, u"\\Shared", NBFS_LOCK_NOACCESS)) == STATUS_SUCCESS) {
          ++entriesAdded;
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(FiltersFor(machine.driver, letter), 1);
    EXPECT_EQ(entriesAdded.load(), 1);
    UCHAR driveLetter = static_cast<UCHAR>(letter);
    ULONG count = 0;
    ASSERT_EQ(machine.Control(GET_ENTRY_COUNT_IN_DRIVE, &driveLetter, 1, &count, sizeof count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
  }
}

}  // namespace
