// Trusted processes: who the lookups trust for which lock, the ADD/DEL/GET requests
// with their statuses and messages, and the System process.
#include <atomic>
#include <thread>

#include "identity.h"
#include "nb/kernel/clock.h"
#include "nb/kernel/pool.h"
#include "control_fixture.h"
#include "timer.h"
#include "trusted.h"

namespace {

using Messages = std::vector<std::string>;

class TrustedProcessTest : public NbfsControlTest {
 protected:
  void SetUp() override {
    NbfsControlTest::SetUp();
    ASSERT_EQ(AddService('C'), STATUS_SUCCESS);
    ASSERT_EQ(AddEntry('C', u"\\A", 0, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
    ASSERT_EQ(AddEntry('C', u"\\B", 0, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
    ASSERT_EQ(AddEntry('C', u"\\RO", 0, NBFS_LOCK_READONLY), STATUS_SUCCESS);
    ASSERT_EQ(AddEntry('C', u"\\Timed", 60, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
    ASSERT_EQ(AddService('D', 0, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  }

  // The permission the lookups give a process for an entry, or for the drive itself
  // when the path is empty, as the access checks will ask it.
  ULONG TrustFor(const std::string& image, ULONG id, char letter, std::u16string_view path) {
    nb::kernel::ProcessScope scope(machine.Process(image, id));
    VolumeRecord* volume = Volume(letter);
    nb::SharedLock guard(volume->lock);
    if (path.empty()) return LookupTrustedForDrive(volume);
    LockEntry* entry = FindEntry(volume, reinterpret_cast<const WCHAR*>(path.data()),
                                 static_cast<ULONG>(path.size() * sizeof(WCHAR)));
    return entry ? LookupTrustedForEntry(entry) : ~0u;
  }

  ULONG ProcCount(char letter, std::u16string_view path, NTSTATUS* status = nullptr, ULONG* returned = nullptr) {
    NBFS_ENTRY request = EntryRecord(letter, path);
    ULONG count = ~0u;
    NTSTATUS result = Control(GET_PROC_COUNT, &request, sizeof request, &count, sizeof count, returned);
    if (status) *status = result;
    return count;
  }
  ULONG GlobalCount() {
    ULONG count = ~0u;
    EXPECT_EQ(Control(GET_GLOBAL_PROC_COUNT, nullptr, 0, &count, sizeof count), STATUS_SUCCESS);
    return count;
  }
};

TEST_F(TrustedProcessTest, EachListTrustsItsOwnScope) {
  ASSERT_EQ(Send(ADD_PROC, ProcRecord('C', u"\\A", NBFS_PERMISSION_FULL, 1200, "app.exe")), STATUS_SUCCESS);
  ASSERT_EQ(Send(ADD_PROC, ProcRecord('C', u"\\A", NBFS_PERMISSION_READ, 1400, "notepad.exe")), STATUS_SUCCESS);
  ASSERT_EQ(Send(ADD_PROC, ProcRecord('D', u"", NBFS_PERMISSION_READ, 1500, "drv.exe")), STATUS_SUCCESS);
  ASSERT_EQ(Send(ADD_GLOBAL_PROC, ProcRecord(0, u"", NBFS_PERMISSION_READ, 1000, "NBSvc.exe")), STATUS_SUCCESS);
  struct Case {
    const char* image;
    ULONG id;
    char letter;
    const char16_t* path;
    ULONG permission;
  };
  const Case cases[] = {
      {"app.exe", 1200, 'C', u"\\A", NBFS_PERMISSION_FULL},
      {"app.exe", 1200, 'C', u"\\B", NBFS_NOT_TRUSTED},     // trusted for another folder only
      {"app.exe", 1200, 'D', u"", NBFS_NOT_TRUSTED},
      {"app.exe", 1201, 'C', u"\\A", NBFS_NOT_TRUSTED},     // a second instance of the program
      {"other.exe", 1200, 'C', u"\\A", NBFS_NOT_TRUSTED},   // the id alone is not enough
      {"NOTEPAD.EXE", 1400, 'C', u"\\A", NBFS_PERMISSION_READ},
      {"drv.exe", 1500, 'D', u"", NBFS_PERMISSION_READ},
      {"drv.exe", 1500, 'C', u"\\A", NBFS_NOT_TRUSTED},
      {"NBSvc.exe", 1000, 'C', u"\\A", NBFS_PERMISSION_FULL},  // global: full access everywhere
      {"nbsvc.EXE", 1000, 'C', u"\\B", NBFS_PERMISSION_FULL},
      {"NBSvc.exe", 1000, 'C', u"\\RO", NBFS_PERMISSION_FULL},
      {"NBSvc.exe", 1000, 'D', u"", NBFS_PERMISSION_FULL},
      {"System", 4, 'C', u"\\A", NBFS_NOT_TRUSTED},  // System is not exempt
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TrustFor(c.image, c.id, c.letter, c.path), c.permission)
        << c.image << "(" << c.id << ") on " << c.letter << ": path " << (&c - cases);
  }
}

TEST_F(TrustedProcessTest, AddProcAcceptsOnlyWhatTheLockAllows) {
  ASSERT_EQ(AddEntry('C', u"\\Expired", 10, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  machine.Kernel().Clock().Tick(10);
  ASSERT_EQ(EntryFlags('C', u"\\Expired"), NBFS_LOCK_EXPIRED);
  StartLog();
  struct Case {
    char letter;
    const char16_t* path;
    ULONG permission;
    ULONG id;
    NTSTATUS status;
    Messages messages;
  };
  const Case cases[] = {
      {'C', u"\\RO", NBFS_PERMISSION_READ, 1200, STATUS_INVALID_PARAMETER, {}},
      {'C', u"\\RO", NBFS_PERMISSION_FULL, 1200, STATUS_SUCCESS, {}},
      {'C', u"\\A", NBFS_PERMISSION_READ, 1200, STATUS_SUCCESS, {}},
      {'C', u"\\B", NBFS_PERMISSION_FULL, 1200, STATUS_SUCCESS, {}},
      {'C', u"\\Timed", NBFS_PERMISSION_FULL, 1200, STATUS_INVALID_PARAMETER, {}},  // open timed lock
      {'C', u"\\Expired", NBFS_PERMISSION_FULL, 1200, STATUS_INVALID_PARAMETER, {}},
      {'C', u"", NBFS_PERMISSION_FULL, 1200, STATUS_INVALID_PARAMETER, {}},  // the drive has no lock of its own
      {'D', u"", NBFS_PERMISSION_READ, 1200, STATUS_SUCCESS, {}},
      {'C', u"\\A", 3, 1300, STATUS_INVALID_PARAMETER, {}},
      {'C', u"\\A", 0, 1300, STATUS_INVALID_PARAMETER, {}},
      {'C', u"\\A", NBFS_PERMISSION_FULL, 3, STATUS_INVALID_PARAMETER,
       {"nbfsAddProc: invalid parameters[name=app.exe,id=3]\n"}},
      {'C', u"\\A", NBFS_PERMISSION_FULL, 4, STATUS_SUCCESS, {}},
      {'E', u"\\A", NBFS_PERMISSION_FULL, 1300, STATUS_NO_SUCH_DEVICE,
       {"nbfsAddProc_Entry [E]: cannot find service\n"}},
      {'E', u"", NBFS_PERMISSION_FULL, 1300, STATUS_NO_SUCH_DEVICE,
       {"nbfsAddProc_Device [E]: cannot find service\n"}},
      {'C', u"\\Missing", NBFS_PERMISSION_FULL, 1300, STATUS_NO_SUCH_DEVICE,
       {"nbfsAddProc_Entry: [C:\\Missing]: cannot find entry\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.letter << " permission " << c.permission << " id " << c.id);
    EXPECT_EQ(Send(ADD_PROC, ProcRecord(c.letter, c.path, c.permission, c.id, "app.exe")), c.status);
    EXPECT_EQ(LogMessages(), c.messages);
  }
}

TEST_F(TrustedProcessTest, ARegistrationCanBeMadeOnceUntilItIsDeleted) {
  StartLog();
  for (char letter : {'C', 'D'}) {
    const char16_t* path = letter == 'C' ? u"\\A" : u"";
    const std::string list = letter == 'C' ? "Entry" : "Device";
    SCOPED_TRACE(list);
    ASSERT_EQ(Send(ADD_PROC, ProcRecord(letter, path, NBFS_PERMISSION_FULL, 1200, "app.exe")), STATUS_SUCCESS);
    EXPECT_EQ(Send(ADD_PROC, ProcRecord(letter, path, NBFS_PERMISSION_READ, 1200, "APP.EXE")),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LogMessages(), (Messages{"ADD: process(APP.EXE) already exist\n",
                                       "nbfsAddProc_" + list + ": cannot add process, proc=APP.EXE, Letter=" +
                                           letter + "\n"}));
    EXPECT_EQ(Send(ADD_PROC, ProcRecord(letter, path, NBFS_PERMISSION_FULL, 1201, "app.exe")), STATUS_SUCCESS);
    EXPECT_EQ(ProcCount(letter, path), 2u);

    EXPECT_EQ(Send(DEL_PROC, ProcRecord(letter, path, 0, 1200, "App.Exe")), STATUS_SUCCESS);
    EXPECT_EQ(Send(DEL_PROC, ProcRecord(letter, path, 0, 1200, "app.exe")), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LogMessages(), Messages{"nbfsDelProc_" + list + ": cannot find proc (name=app.exe, id=1200)\n"});
    EXPECT_EQ(Send(ADD_PROC, ProcRecord(letter, path, NBFS_PERMISSION_FULL, 1200, "app.exe")), STATUS_SUCCESS);
    EXPECT_EQ(ProcCount(letter, path), 2u);
  }
  EXPECT_EQ(Send(DEL_PROC, ProcRecord('C', u"\\A", 0, 2, "x.exe")), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Send(DEL_PROC, ProcRecord('E', u"", 0, 1200, "app.exe")), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Send(DEL_PROC, ProcRecord('E', u"\\A", 0, 1200, "app.exe")), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(Send(DEL_PROC, ProcRecord('C', u"\\Missing", 0, 1200, "app.exe")), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(LogMessages(), (Messages{"nbfsDelProc: invalid parameters[name=x.exe,id=2]\n",
                                     "nbfsDelProc_Device [E]: cannot find service\n",
                                     "nbfsDelProc_Entry [E]: cannot find service\n",
                                     "nbfsDelProc_Entry: [C:\\Missing]: cannot find entry\n"}));
}

TEST_F(TrustedProcessTest, ListsAreCountedAndListedInInsertionOrder) {
  ASSERT_EQ(Send(ADD_PROC, ProcRecord('C', u"\\A", NBFS_PERMISSION_FULL, 1200, "app.exe")), STATUS_SUCCESS);
  ASSERT_EQ(Send(ADD_PROC, ProcRecord('c', u"\\a", NBFS_PERMISSION_READ, 1400, "notepad.exe")), STATUS_SUCCESS);
  ASSERT_EQ(Send(ADD_PROC, ProcRecord('D', u"", NBFS_PERMISSION_READ, 1500, "drv.exe")), STATUS_SUCCESS);
  ULONG returned = 0;
  NTSTATUS status;
  EXPECT_EQ(ProcCount('C', u"\\A", &status, &returned), 2u);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(ProcCount('C', u"\\B"), 0u);
  EXPECT_EQ(ProcCount('d', u""), 1u);

  NBFS_ENTRY request = EntryRecord('C', u"\\A");
  std::vector<NBFS_PROC> records(3);
  ASSERT_EQ(Control(GET_PROC_INFO, &request, sizeof request, records.data(), 3 * sizeof(NBFS_PROC), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 3 * sizeof(NBFS_PROC)) << "the caller's output length";
  EXPECT_EQ(records[0].letter, 'C');
  EXPECT_EQ(std::u16string_view(reinterpret_cast<const char16_t*>(records[0].path)), u"\\A");
  EXPECT_EQ(records[0].permission, NBFS_PERMISSION_FULL);
  EXPECT_EQ(records[0].pid, 1200u);
  EXPECT_STREQ(records[0].name, "app.exe");
  EXPECT_EQ(records[1].permission, NBFS_PERMISSION_READ);
  EXPECT_STREQ(records[1].name, "notepad.exe");

  request = EntryRecord('D');
  ASSERT_EQ(Control(GET_PROC_INFO, &request, sizeof request, records.data(), sizeof(NBFS_PROC)), STATUS_SUCCESS);
  EXPECT_EQ(records[0].letter, 'D');
  EXPECT_EQ(records[0].path[0], 0);
  EXPECT_STREQ(records[0].name, "drv.exe");
  request = EntryRecord('C', u"\\B");
  EXPECT_EQ(Control(GET_PROC_INFO, &request, sizeof request, records.data(), 0), STATUS_SUCCESS) << "empty list";

  StartLog();
  request = EntryRecord('C', u"\\A");
  EXPECT_EQ(Control(GET_PROC_INFO, &request, sizeof request, records.data(), 2 * sizeof(NBFS_PROC) - 1),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(ProcCount('E', u"", &status, &returned), ~0u);
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(returned, 4u);
  (void)ProcCount('E', u"\\A", &status);
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
  request = EntryRecord('C', u"\\Missing");
  EXPECT_EQ(Control(GET_PROC_INFO, &request, sizeof request, records.data(), sizeof(NBFS_PROC)),
            STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(LogMessages(), (Messages{"nbfsGetProcInfo: buffer too small\n",
                                     "nbfs_GetProcCount_Device [E]: cannot find device\n",
                                     "nbfs_GetProcCount_Entry [E:\\A]: cannot find device\n",
                                     "nbfs_GetProcCount_Entry [C:\\Missing]: cannot find entry\n",
                                     "nbfsGetProcInfo: cannot get proc count\n"}));
}

TEST_F(TrustedProcessTest, GlobalRegistrationsAlwaysCarryFullAccess) {
  EXPECT_EQ(GlobalCount(), 0u);
  std::vector<NBFS_PROC> records(2);
  EXPECT_EQ(Control(GET_GLOBAL_PROC_INFO, nullptr, 0, records.data(), 0), STATUS_SUCCESS);
  ASSERT_EQ(Send(ADD_GLOBAL_PROC, ProcRecord(0, u"", NBFS_PERMISSION_READ, 1000, "NBSvc.exe")), STATUS_SUCCESS);
  ASSERT_EQ(Send(ADD_GLOBAL_PROC, ProcRecord(0, u"", 77, 0, "anyid.exe")), STATUS_SUCCESS) << "no check of the id";
  StartLog();
  EXPECT_EQ(Send(ADD_GLOBAL_PROC, ProcRecord(0, u"", NBFS_PERMISSION_FULL, 1000, "nbsvc.exe")),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(GlobalCount(), 2u);
  EXPECT_EQ(Control(GET_GLOBAL_PROC_INFO, nullptr, 0, records.data(), sizeof(NBFS_PROC)), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(LogMessages(), Messages{"nbfsGetGProcInfo: buffer too small\n"});

  ULONG returned = 0;
  ASSERT_EQ(Control(GET_GLOBAL_PROC_INFO, nullptr, 0, records.data(), 2 * sizeof(NBFS_PROC), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(returned, 2 * sizeof(NBFS_PROC));
  EXPECT_EQ(records[0].permission, NBFS_PERMISSION_FULL);
  EXPECT_EQ(records[0].pid, 1000u);
  EXPECT_STREQ(records[0].name, "NBSvc.exe");
  EXPECT_EQ(records[0].letter, 0);
  EXPECT_EQ(records[0].path[0], 0);
  EXPECT_EQ(records[1].permission, NBFS_PERMISSION_FULL);

  EXPECT_EQ(Send(DEL_GLOBAL_PROC, ProcRecord(0, u"", 0, 1001, "NBSvc.exe")), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Send(DEL_GLOBAL_PROC, ProcRecord(0, u"", 0, 1000, "NBSVC.EXE")), STATUS_SUCCESS);
  EXPECT_EQ(GlobalCount(), 1u);
  EXPECT_EQ(TrustFor("NBSvc.exe", 1000, 'C', u"\\A"), NBFS_NOT_TRUSTED);
}

TEST_F(TrustedProcessTest, RemovingALockFreesItsList) {
  size_t before = machine.Kernel().Pool().Outstanding();
  ASSERT_EQ(Send(ADD_PROC, ProcRecord('C', u"\\A", NBFS_PERMISSION_FULL, 1200, "app.exe")), STATUS_SUCCESS);
  ASSERT_EQ(Send(ADD_PROC, ProcRecord('D', u"", NBFS_PERMISSION_FULL, 1200, "app.exe")), STATUS_SUCCESS);
  ASSERT_EQ(Send(DEL_ENTRY, EntryRecord('C', u"\\A")), STATUS_SUCCESS);
  ASSERT_EQ(Send(DEL_SERVICE, EntryRecord('D')), STATUS_SUCCESS);
  ASSERT_EQ(AddEntry('C', u"\\A", 0, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(AddService('D', 0, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  EXPECT_EQ(ProcCount('C', u"\\A"), 0u);
  EXPECT_EQ(ProcCount('D', u""), 0u);
  EXPECT_EQ(machine.Kernel().Pool().Outstanding(), before);
}

TEST_F(TrustedProcessTest, OnlyTheSystemProcessIsTheSystemProcess) {
  EXPECT_TRUE(isSystemProcess());  // the test thread runs in the System process
  for (auto [image, id] : {std::pair{"System", 1234u}, std::pair{"app.exe", 1200u}}) {
    nb::kernel::ProcessScope scope(machine.Process(image, id));
    EXPECT_FALSE(isSystemProcess()) << image;
  }
}

TEST(TrustWithoutNameOffsetTest, NobodyIsTrustedAndAnyIdIsAccepted) {
  nb::testing::Machine machine;
  machine.AddBareVolume('C');
  machine.Process("Idle", 4);  // the System process object no longer carries "System"
  ASSERT_EQ(machine.LoadDriver(u"\\Driver\\nbfs36", nbfsDriverEntry), STATUS_SUCCESS);
  ASSERT_FALSE(ProcessNameOffsetKnown());
  auto control = [&](ULONG code, const auto& record) {
    return machine.DeviceControl(NBFS_DEVICE_NAME, code, &record, sizeof record, nullptr, 0);
  };
  NBFS_ENTRY entry{};
  entry.letter = 'C';
  ASSERT_EQ(control(ADD_SERVICE, entry), STATUS_SUCCESS);
  entry.type = NBFS_LOCK_NOACCESS;
  std::u16string_view(u"\\A").copy(reinterpret_cast<char16_t*>(entry.path), 2);
  ASSERT_EQ(control(ADD_ENTRY, entry), STATUS_SUCCESS);
  NBFS_PROC proc{};
  proc.letter = 'C';
  std::u16string_view(u"\\A").copy(reinterpret_cast<char16_t*>(proc.path), 2);
  proc.permission = NBFS_PERMISSION_FULL;
  std::string_view("app.exe").copy(proc.name, 7);
  for (ULONG id : {0u, 3u, 1200u}) {
    proc.pid = id;
    EXPECT_EQ(control(ADD_PROC, proc), STATUS_SUCCESS) << id;
  }
  EXPECT_EQ(control(ADD_GLOBAL_PROC, proc), STATUS_SUCCESS);

  EXPECT_FALSE(isSystemProcess());
  nb::kernel::ProcessScope scope(machine.Process("app.exe", 1200));
  VolumeReference volume = FindVolume(Volumes(), 'C');
  nb::SharedLock guard(volume->lock);
  EXPECT_EQ(LookupTrustedForEntry(FindEntry(volume, proc.path, 4)), NBFS_NOT_TRUSTED);
  EXPECT_EQ(LookupTrustedForDrive(volume), NBFS_NOT_TRUSTED);
}

// Lookups of many threads against registrations, deletions and the idle walk: the locks
// keep every list and entry alive while it is used (run under TSan and ASan).
TEST_F(TrustedProcessTest, LookupsRaceWithChangesSafely) {
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    nb::kernel::ProcessScope scope(machine.Process("app.exe", 1200));
    while (!stop) {
      VolumeRecord* volume = Volume('C');
      nb::SharedLock guard(volume->lock);
      for (const char16_t* path : {u"\\A", u"\\B"}) {
        std::u16string_view view(path);
        if (LockEntry* entry = FindEntry(volume, reinterpret_cast<const WCHAR*>(view.data()),
                                         static_cast<ULONG>(view.size() * sizeof(WCHAR)))) {
          (void)LookupTrustedForEntry(entry);
          ResetEntryIdle(entry);
        }
      }
    }
  });
  std::thread ticker([&] {
    while (!stop) machine.Kernel().Clock().Tick(10);
  });
  for (int i = 0; i < 150; ++i) {
    EXPECT_EQ(Send(ADD_PROC, ProcRecord('C', u"\\A", NBFS_PERMISSION_FULL, 1200, "app.exe")), STATUS_SUCCESS);
    EXPECT_EQ(Send(ADD_GLOBAL_PROC, ProcRecord(0, u"", 0, 1200, "app.exe")), STATUS_SUCCESS);
    EXPECT_EQ(Send(DEL_GLOBAL_PROC, ProcRecord(0, u"", 0, 1200, "app.exe")), STATUS_SUCCESS);
    EXPECT_EQ(Send(DEL_ENTRY, EntryRecord('C', u"\\A")), STATUS_SUCCESS);
    EXPECT_EQ(AddEntry('C', u"\\A", 20, NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
    EXPECT_EQ(Send(SET_ENTRY, EntryRecord('C', u"\\A", 0, NBFS_LOCK_NOACCESS)), STATUS_SUCCESS);
  }
  stop = true;
  reader.join();
  ticker.join();
  // Each round ended with a fresh entry and no global registration.
  EXPECT_EQ(ProcCount('C', u"\\A"), 0u);
  EXPECT_EQ(GlobalCount(), 0u);
}

}  // namespace
