// The front end's open handles: a handle lent to a request on its node stays open until
// the borrower lets go, whatever release comes meanwhile.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host_volume_fixture.h"
#include "mount_state.h"
#include "nb/kernel/process.h"

namespace nb::fuse::testing {
namespace {

class OpenHandlesTest : public nb::hostfs::testing::HostVolumeTest {
 protected:
  // Opens a file of X: for the front end's set, as open and create do.
  PFILE_OBJECT OpenForHandle(const std::u16string& name, ACCESS_MASK access, ULONG options = 0) {
    kernel::OpenParameters parameters;
    parameters.desiredAccess = access | SYNCHRONIZE;
    parameters.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    parameters.disposition = FILE_OPEN;
    parameters.options = options | FILE_SYNCHRONOUS_IO_NONALERT;
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(kernel::OpenFile(u"\\DosDevices\\X:" + name, parameters, &file), STATUS_SUCCESS);
    return file;
  }
  MountState state_{machine_.Kernel()};
};

TEST_F(OpenHandlesTest, ABorrowedHandleOutlivesItsRelease) {
  WriteHost("f", "data");
  // Delete-on-close shows when the file object is cleaned up: the name goes then.
  OpenHandle* handle = NewHandle(state_, OpenForHandle(u"\\f", FILE_READ_DATA | DELETE, FILE_DELETE_ON_CLOSE), 7);
  HeldHandle other;
  EXPECT_EQ(other.Borrow(state_, 8), nullptr);
  HeldHandle held;
  ASSERT_EQ(held.Borrow(state_, 7), handle);

  ForgetHandle(state_, handle);  // the kernel's release
  EXPECT_TRUE(HostExists("f"));
  struct stat st {};
  EXPECT_EQ(StatOf(held.get()->file, &st), STATUS_SUCCESS);
  EXPECT_EQ(st.st_size, 4);
  // A released handle is not lent again.
  HeldHandle late;
  EXPECT_EQ(late.Borrow(state_, 7), nullptr);
  held.Reset();
  EXPECT_FALSE(HostExists("f"));
}

TEST_F(OpenHandlesTest, AChangeBorrowsAWritingHandleWhenThereIsOne) {
  WriteHost("f", "data");
  OpenHandle* reading = NewHandle(state_, OpenForHandle(u"\\f", FILE_READ_DATA), 3);
  OpenHandle* writing = NewHandle(state_, OpenForHandle(u"\\f", FILE_WRITE_DATA), 3);
  {
    HeldHandle held;
    EXPECT_EQ(held.Borrow(state_, 3, true), writing);
  }
  ForgetHandle(state_, writing);
  {
    HeldHandle held;
    EXPECT_EQ(held.Borrow(state_, 3, true), reading);
  }
  ForgetHandle(state_, reading);
  EXPECT_TRUE(state_.handles.empty());
}

TEST_F(OpenHandlesTest, ReleasesRacingBorrowersNeverCloseAHandleInUse) {
  WriteHost("f", "data");
  for (int round = 0; round < 50; ++round) {
    std::vector<OpenHandle*> handles;
    for (int i = 0; i < 4; ++i) handles.push_back(NewHandle(state_, OpenForHandle(u"\\f", FILE_READ_DATA), 5));
    std::atomic<int> failures{0};
    std::vector<std::thread> borrowers;
    for (int t = 0; t < 3; ++t) {
      borrowers.emplace_back([&] {
        kernel::KernelScope scope(machine_.Kernel());
        kernel::ProcessScope system(machine_.Kernel().Processes().System());
        for (int i = 0; i < 40; ++i) {
          HeldHandle held;
          OpenHandle* handle = held.Borrow(state_, 5);
          if (!handle) break;
          std::lock_guard serial(handle->mutex);
          struct stat st {};
          if (StatOf(handle->file, &st) != STATUS_SUCCESS || st.st_size != 4) ++failures;
        }
      });
    }
    for (OpenHandle* handle : handles) ForgetHandle(state_, handle);
    for (std::thread& borrower : borrowers) borrower.join();
    EXPECT_EQ(failures.load(), 0) << "round " << round;
    EXPECT_TRUE(state_.handles.empty());
  }
}

}  // namespace
}  // namespace nb::fuse::testing
