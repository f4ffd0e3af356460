// What the filter tells a front end that keeps answers for every caller: which opens it
// judged by caller (the file object's mark) and when the set of such paths changed (the
// volume's policy notice, raised once the table's locks are released).
#include <atomic>
#include <chrono>
#include <future>

#include "filtered_volume.h"

namespace nbfs_test {
namespace {

class PolicyNoticeTest : public FilteredVolumeTest {
 protected:
  void SetUp() override {
    FilteredVolumeTest::SetUp();
    WriteHost("P/H/f", "hidden");
    WriteHost("P/R/f", "read only");
    WriteHost("P/x", "x");
    Opened root;
    ASSERT_EQ(OpenAs(app, u"\\", FILE_READ_ATTRIBUTES, &root, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
    ASSERT_EQ(IoRegisterVolumePolicyCallback(IoGetRelatedDeviceObject(root.get()), Heard, this, &registration_),
              STATUS_SUCCESS);
  }
  void TearDown() override {
    if (registration_) IoUnregisterVolumePolicyCallback(registration_);
    FilteredVolumeTest::TearDown();
  }
  static VOID Heard(PDEVICE_OBJECT, PVOID context) {
    auto* test = static_cast<PolicyNoticeTest*>(context);
    ++test->notices_;
    if (test->whileNotified_) test->whileNotified_();
  }

  // Whether `process`'s open of `path` succeeded with the file object marked; "denied"
  // (or another failure) when the open failed.
  std::string MarkOf(PEPROCESS process, const std::u16string& path, ULONG options = 0) {
    Opened file;
    NTSTATUS status = OpenAs(process, path, FILE_READ_ATTRIBUTES, &file, options);
    if (status == STATUS_ACCESS_DENIED) return "denied";
    if (!NT_SUCCESS(status)) return "failed";
    return (file.get()->Flags & FO_CALLER_DEPENDENT) ? "marked" : "unmarked";
  }
  NTSTATUS Run(ULONG code, const std::u16string& path = u"", ULONG type = 0, ULONG timeout = 0) {
    return Control(code, Entry('X', path, type, timeout));
  }

  PVOID registration_ = nullptr;
  std::atomic<int> notices_{0};
  std::function<void()> whileNotified_;
};

TEST_F(PolicyNoticeTest, OpensOfGovernedPathsAreMarkedWhateverTheVerdict) {
  EXPECT_EQ(MarkOf(app, u"\\P\\H"), "unmarked");
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Lock(u"\\P\\R", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  ASSERT_EQ(Trust(u"\\P\\H", reader, NBFS_PERMISSION_READ), STATUS_SUCCESS);
  const struct {
    PEPROCESS* process;
    const char16_t* path;
    const char* mark;
  } cases[] = {
      {&reader, u"\\P\\H", "marked"},      // trusted through a hidden lock
      {&reader, u"\\P\\H\\f", "marked"},   // and below it
      {&app, u"\\P\\H", "denied"},
      {&app, u"\\P\\R\\f", "marked"},      // a read under a read-only lock passes for everyone
      {&app, u"\\p\\r\\F", "failed"},      // another case: no such file here, but judged
      {&app, u"\\P", "unmarked"},          // the parent is told alike to everyone
      {&app, u"\\P\\x", "unmarked"},
      {&app, u"\\P\\Hx", "failed"},        // a sibling with the lock's name as prefix is not under it
      {&app, u"\\", "unmarked"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(MarkOf(*c.process, c.path), c.mark) << nb::text::Utf16ToUtf8(c.path);
  }
  // A paused lock still governs: its verdict comes back with a resume, and no notice.
  ASSERT_EQ(Run(PAUSE_ENTRY, u"\\P\\R"), STATUS_SUCCESS);
  EXPECT_EQ(MarkOf(app, u"\\P\\R\\f"), "marked");
  // A relative open of the related folder itself is judged by that folder's name.
  Opened folder;
  ASSERT_EQ(OpenAs(reader, u"\\P\\H", FILE_LIST_DIRECTORY, &folder, FILE_DIRECTORY_FILE), STATUS_SUCCESS);
  Opened again;
  ASSERT_EQ(OpenAs(reader, u"", FILE_READ_ATTRIBUTES, &again, FILE_DIRECTORY_FILE, FILE_OPEN, folder.get()),
            STATUS_SUCCESS);
  EXPECT_TRUE(again.get()->Flags & FO_CALLER_DEPENDENT);
  Opened child;
  ASSERT_EQ(OpenAs(reader, u"f", FILE_READ_ATTRIBUTES, &child, 0, FILE_OPEN, folder.get()), STATUS_SUCCESS);
  EXPECT_TRUE(child.get()->Flags & FO_CALLER_DEPENDENT);
}

TEST_F(PolicyNoticeTest, ADriveWideLockMarksEveryPathIncludingTheRoot) {
  ASSERT_EQ(Run(DEL_SERVICE), STATUS_SUCCESS);
  EXPECT_EQ(MarkOf(app, u"\\P\\x"), "unmarked");  // a withdrawn drive judges nothing
  ASSERT_EQ(Run(ADD_SERVICE, u"", NBFS_LOCK_READONLY), STATUS_SUCCESS);
  EXPECT_EQ(MarkOf(app, u"\\P\\x"), "marked");
  EXPECT_EQ(MarkOf(app, u"\\", FILE_DIRECTORY_FILE), "marked");
  // A timed drive lock that is open at the moment still governs.
  ASSERT_EQ(Run(DEL_SERVICE), STATUS_SUCCESS);
  ASSERT_EQ(Run(ADD_SERVICE, u"", NBFS_LOCK_NOACCESS, 600), STATUS_SUCCESS);
  EXPECT_EQ(MarkOf(app, u"\\P\\x"), "marked");
}

TEST_F(PolicyNoticeTest, ChangesOfTheGovernedSetNotifyAndOthersDoNot) {
  NBFS_PROC proc{};
  proc.letter = 'X';
  proc.pid = nb::kernel::ProcessTable::IdOf(app);
  std::memcpy(proc.path, u"\\P\\H", sizeof u"\\P\\H");
  proc.permission = NBFS_PERMISSION_FULL;  // what a read-only lock accepts
  std::memcpy(proc.name, "app.exe", sizeof "app.exe");
  const struct {
    const char* step;
    std::function<NTSTATUS()> run;
    NTSTATUS status;
    int notices;
  } steps[] = {
      {"add entry", [&] { return Lock(u"\\P\\H", NBFS_LOCK_NOACCESS); }, STATUS_SUCCESS, 1},
      {"same entry again", [&] { return Lock(u"\\P\\H", NBFS_LOCK_NOACCESS); }, STATUS_UNSUCCESSFUL, 0},
      {"set mode", [&] { return Run(SET_ENTRY, u"\\P\\H", NBFS_LOCK_READONLY); }, STATUS_SUCCESS, 0},
      {"pause", [&] { return Run(PAUSE_ENTRY, u"\\P\\H"); }, STATUS_SUCCESS, 0},
      {"resume", [&] { return Run(RESUME_ENTRY, u"\\P\\H"); }, STATUS_SUCCESS, 0},
      {"trust", [&] { return Trust(u"\\P\\H", app, NBFS_PERMISSION_FULL); }, STATUS_SUCCESS, 0},
      {"untrust", [&] { return Control(DEL_PROC, &proc, sizeof proc); }, STATUS_SUCCESS, 0},
      {"delete entry", [&] { return Run(DEL_ENTRY, u"\\P\\H"); }, STATUS_SUCCESS, 1},
      {"delete it again", [&] { return Run(DEL_ENTRY, u"\\P\\H"); }, STATUS_NO_SUCH_DEVICE, 0},
      {"withdraw drive", [&] { return Run(DEL_SERVICE); }, STATUS_SUCCESS, 1},
      {"drive-wide lock", [&] { return Run(ADD_SERVICE, u"", NBFS_LOCK_NOACCESS); }, STATUS_SUCCESS, 1},
      {"entry on a locked drive", [&] { return Lock(u"\\P\\R", NBFS_LOCK_NOACCESS); }, STATUS_UNSUCCESSFUL, 0},
  };
  for (const auto& step : steps) {
    int before = notices_;
    EXPECT_EQ(step.run(), step.status) << step.step;
    EXPECT_EQ(notices_ - before, step.notices) << step.step;
  }
}

// The receiver of a notice waits for requests on the volume that are under way, which
// take the table's and the volume's locks: the notice must come with none of them held.
TEST_F(PolicyNoticeTest, TheNoticeComesWithTheTableUnlocked) {
  std::vector<std::string> seen;
  whileNotified_ = [&] {
    // Another thread, as a request of the host's is: it would wait for a lock the
    // notifying thread held, and this notice would never end.
    auto other = std::async(std::launch::async, [&] {
      std::string marks = MarkOf(app, u"\\P\\x") + " " + MarkOf(app, u"\\P\\H\\f");
      ULONG count = 0;  // a table request: it takes the table's locks
      return marks + (NT_SUCCESS(Control(GET_ENTRY_COUNT, nullptr, 0, &count, sizeof count)) ? "" : " failed");
    });
    if (other.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << "a request on the volume waited for the notifier";
      std::abort();  // the other thread can never finish: nothing sane is left to do
    }
    seen.push_back(other.get());
  };
  ASSERT_EQ(Lock(u"\\P\\H", NBFS_LOCK_NOACCESS), STATUS_SUCCESS);
  ASSERT_EQ(Run(DEL_ENTRY, u"\\P\\H"), STATUS_SUCCESS);
  // The lock is in force while its notice runs, and gone while the deletion's runs.
  EXPECT_EQ(seen, (std::vector<std::string>{"unmarked denied", "unmarked unmarked"}));
}

}  // namespace
}  // namespace nbfs_test
