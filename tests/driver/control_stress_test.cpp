// Many threads adding, deleting, listing, setting and pausing at once; run under
// ThreadSanitizer to check the table's locking.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

}  // namespace
