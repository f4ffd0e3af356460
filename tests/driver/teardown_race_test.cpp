// Removal of a filtered volume while other threads open files on it, list its folders and
// send control requests about it: nothing is used after it is freed, no request sees a
// half-torn-down record, and a locked folder is never opened on the way out.
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "driver.h"
#include "driver_test_support.h"
#include "host_volume_fixture.h"
#include "nb/kernel/file_requests.h"
#include "nb/kernel/process.h"

namespace nbfs_test {
namespace {

using nb::hostfs::testing::Opened;

// Rounds of the race; NB_RACE_ROUNDS asks for more (the sanitizer runs take 1000).
int Rounds() {
  const char* value = getenv("NB_RACE_ROUNDS");
  return value ? std::max(1, atoi(value)) : 150;
}

class TeardownRaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nbrace-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    top_ = pattern;
    std::filesystem::create_directories(top_ / "Locked");
    std::filesystem::create_directories(top_ / "Open");
    std::ofstream(top_ / "Open" / "f.txt") << "data";
    std::ofstream(top_ / "Locked" / "secret.txt") << "secret";
    ASSERT_EQ(machine_.LoadHostFs(), STATUS_SUCCESS);
    ASSERT_EQ(machine_.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry), STATUS_SUCCESS);
    app_ = machine_.Process("app.exe", 1000);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(top_, ignored);
  }

  NTSTATUS Control(ULONG code, const NBFS_ENTRY& entry, void* output = nullptr, ULONG outputLength = 0) {
    return machine_.DeviceControl(NBFS_LINK_NAME, code, &entry, sizeof entry, output, outputLength);
  }
  NTSTATUS Open(const std::u16string& path, ACCESS_MASK access, ULONG options, Opened* file) {
    nb::kernel::OpenParameters parameters;
    parameters.desiredAccess = access | SYNCHRONIZE;
    parameters.options = options;
    return nb::kernel::OpenFile(u"\\DosDevices\\R:" + path, parameters, file->Out());
  }

  nb::testing::Machine machine_;
  std::filesystem::path top_;
  PEPROCESS app_ = nullptr;
};

// Statuses a request may meet while its volume goes away under it.
bool GoneOrDone(NTSTATUS status) {
  static const std::set<NTSTATUS> expected = {
      STATUS_SUCCESS,          STATUS_NO_SUCH_DEVICE,           STATUS_VOLUME_DISMOUNTED, STATUS_OBJECT_NAME_NOT_FOUND,
      STATUS_INVALID_HANDLE,   STATUS_OBJECT_PATH_NOT_FOUND,    STATUS_NO_MORE_FILES,     STATUS_INVALID_PARAMETER,
      STATUS_UNSUCCESSFUL,     STATUS_INVALID_DEVICE_REQUEST,   STATUS_ACCESS_DENIED,     STATUS_UNRECOGNIZED_VOLUME};
  return expected.count(status) != 0;
}

TEST_F(TeardownRaceTest, VolumeRemovalRacingOpensListingsAndControlRequests) {
  const int rounds = Rounds();
  for (int round = 0; round < rounds; ++round) {
    ASSERT_EQ(machine_.AddHostVolume('R', top_.string()), STATUS_SUCCESS) << "round " << round;
    ASSERT_EQ(Control(ADD_SERVICE, Entry('R')), STATUS_SUCCESS);
    ASSERT_EQ(Control(ADD_ENTRY, Entry('R', u"\\Locked", NBFS_LOCK_NOACCESS)), STATUS_SUCCESS);

    std::atomic<bool> removed{false};
    std::atomic<int> started{0};
    std::atomic<int> lockedOpened{0};
    std::mutex unexpectedMutex;
    std::set<NTSTATUS> unexpected;
    auto note = [&](NTSTATUS status) {
      if (GoneOrDone(status)) return;
      std::lock_guard lock(unexpectedMutex);
      unexpected.insert(status);
    };
    // Each worker keeps going until the removal is over, and a little after.
    auto work = [&](auto step) {
      return std::thread([&, step] {
        nb::kernel::ProcessScope scope(app_);
        ++started;
        int after = 0;
        while (after < 3) {
          step();
          if (removed) ++after;
        }
      });
    };
    std::vector<std::thread> threads;
    threads.push_back(work([&] {
      Opened file;
      NTSTATUS status = Open(u"\\Open\\f.txt", FILE_READ_DATA, FILE_NON_DIRECTORY_FILE, &file);
      note(status);
      if (NT_SUCCESS(status)) {
        char buffer[8];
        ULONG read = 0;
        note(nb::kernel::ReadFile(file.get(), buffer, sizeof buffer, 0, &read));
      }
      Opened locked;
      if (NT_SUCCESS(Open(u"\\Locked\\secret.txt", FILE_READ_DATA, FILE_NON_DIRECTORY_FILE, &locked)))
        ++lockedOpened;
    }));
    threads.push_back(work([&] {
      Opened directory;
      NTSTATUS status = Open(u"\\", FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE, &directory);
      note(status);
      if (!NT_SUCCESS(status)) return;
      std::vector<unsigned char> buffer(4096);
      nb::kernel::DirectoryQuery query{FileIdBothDirectoryInformation, std::nullopt, SL_RESTART_SCAN, 0};
      note(nb::kernel::QueryDirectory(directory.get(), query, buffer.data(), static_cast<ULONG>(buffer.size())));
    }));
    threads.push_back(work([&] {
      note(Control(ADD_ENTRY, Entry('R', u"\\Open", NBFS_LOCK_READONLY)));
      note(Control(PAUSE_ENTRY, Entry('R', u"\\Open")));
      note(Control(RESUME_ENTRY, Entry('R', u"\\Open")));
      note(Control(DEL_ENTRY, Entry('R', u"\\Open")));
      std::vector<NBFS_ENTRY> entries(4);
      note(Control(GET_ENTRY_INFO_IN_DRIVE, Entry('R'), entries.data(),
                   static_cast<ULONG>(entries.size() * sizeof(NBFS_ENTRY))));
    }));
    while (started < static_cast<int>(threads.size())) std::this_thread::yield();
    ASSERT_EQ(machine_.RemoveVolume('R'), STATUS_SUCCESS);
    removed = true;
    for (auto& thread : threads) thread.join();

    ASSERT_EQ(lockedOpened, 0) << "a locked folder was opened in round " << round;
    for (NTSTATUS status : unexpected) ADD_FAILURE() << "status 0x" << std::hex << status << " in round " << round;
    if (!unexpected.empty()) return;
    // The record went with the volume.
    NBFS_DRIVE drives[4] = {};
    ASSERT_EQ(machine_.DeviceControl(NBFS_LINK_NAME, GET_DRIVE_INFO, nullptr, 0, drives, sizeof drives),
              STATUS_SUCCESS);
    ASSERT_EQ(drives[0].letter, 0) << "round " << round;
  }
}

}  // namespace
}  // namespace nbfs_test
