// The machine's volume administration in process: the requests of a root caller add,
// eject and insert volumes recorded in the hive, refusals say why, other callers are
// refused, and the drive table that libnbwin reads follows every change, also where a
// front end serves the volumes.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <windows.h>

#include "nb/host/machine_volumes.h"
#include "nb/testing/machine.h"
#include "nb/win/drives.h"
#include "nb/win/in_process.h"

namespace {

namespace fs = std::filesystem;
using nb::protocol::AddVolumeRequest;
using nb::protocol::InsertVolumeReply;
using nb::protocol::InsertVolumeRequest;
using nb::protocol::VolumeEntry;

class MachineVolumesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nb-volumes-XXXXXX").string();
    root = mkdtemp(pattern.data());
    for (const char* name : {"stick", "disk", "other"}) fs::create_directory(root + "/" + name);
    std::ofstream(root + "/stick/readme.txt") << "on the stick";
  }
  void TearDown() override { fs::remove_all(root); }

  NTSTATUS Add(char letter, const std::string& folder, bool removable = false, uint32_t serial = 0) {
    AddVolumeRequest request;
    request.letter = static_cast<uint8_t>(letter);
    request.folder = folder;
    request.removable = removable;
    request.hasSerial = serial != 0;
    request.serial = serial;
    ULONG given = 0;
    return transport.AddVolume(request, &given);
  }
  std::vector<VolumeEntry> Volumes() {
    std::vector<VolumeEntry> volumes;
    EXPECT_EQ(transport.QueryVolumes(&volumes), STATUS_SUCCESS);
    return volumes;
  }

  std::string root;
  nb::testing::Machine machine;
  nb::win::InProcessTransport transport;
  nb::win::ScopedTransport installed{transport};
};

TEST_F(MachineVolumesTest, RefusalsNameWhatIsWrong) {
  ASSERT_EQ(Add('E', root + "/stick", true, 0x1234ABCD), STATUS_SUCCESS);
  struct Case {
    char letter;
    std::string folder;
    uint32_t serial;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {'e', root + "/disk", 0, STATUS_OBJECT_NAME_COLLISION},           // letter in use, either case
      {'F', root + "/missing", 0, STATUS_OBJECT_PATH_NOT_FOUND},        // no such folder
      {'F', root + "/stick/readme.txt", 0, STATUS_OBJECT_PATH_NOT_FOUND},  // a file, no folder
      {'F', root + "/disk/../stick/", 0, STATUS_SHARING_VIOLATION},     // the same folder by another name
      {'F', root + "/disk", 0x1234ABCD, STATUS_DUPLICATE_OBJECTID},     // another volume's serial
      {'F', "relative/disk", 0, STATUS_INVALID_PARAMETER},
      {'1', root + "/disk", 0, STATUS_INVALID_PARAMETER},
      {'F', "/" + std::string(2000, 'x'), 0, STATUS_INVALID_PARAMETER},  // over the protocol's cap
  };
  for (const Case& c : cases) EXPECT_EQ(Add(c.letter, c.folder, false, c.serial), c.expected) << c.folder;
  nb::kernel::VolumeAddition longFolder;
  longFolder.letter = 'F';
  longFolder.folder = "/" + std::string(2000, 'x');
  ULONG serial;
  EXPECT_EQ(machine.VolumeAdministration().Add(longFolder, &serial), STATUS_NAME_TOO_LONG);
  // A link to a volume's folder is that folder.
  fs::create_directory_symlink(root + "/stick", root + "/link");
  EXPECT_EQ(Add('F', root + "/link"), STATUS_SHARING_VIOLATION);
  EXPECT_EQ(Volumes().size(), 1u) << "nothing refused was recorded";

  EXPECT_EQ(transport.EjectVolume('Q'), STATUS_NO_SUCH_DEVICE);
  InsertVolumeReply reply;
  EXPECT_EQ(transport.InsertVolume(InsertVolumeRequest{.letter = 0, .folder = root + "/disk"}, &reply),
            STATUS_NOT_FOUND);
  EXPECT_EQ(transport.InsertVolume(InsertVolumeRequest{.letter = 0, .folder = root + "/stick"}, &reply),
            STATUS_INVALID_DEVICE_STATE);
}

TEST_F(MachineVolumesTest, OnlyRootAdministersVolumesButAnyoneReadsTheTable) {
  ASSERT_EQ(Add('E', root + "/stick", true), STATUS_SUCCESS);
  transport.ActAsUser(1000);
  EXPECT_EQ(Add('F', root + "/disk"), STATUS_ACCESS_DENIED);
  EXPECT_EQ(transport.EjectVolume('E'), STATUS_ACCESS_DENIED);
  InsertVolumeReply reply;
  EXPECT_EQ(transport.InsertVolume(InsertVolumeRequest{.letter = 'G', .folder = root + "/stick"}, &reply),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(Volumes().size(), 1u);
  EXPECT_EQ(nb::win::DriveFolder(u'E'), fs::canonical(root + "/stick").string());
}

TEST_F(MachineVolumesTest, TheDriveTableFollowsAddEjectAndInsert) {
  std::string stick = fs::canonical(root + "/stick").string();
  EXPECT_EQ(nb::win::DriveFolder(u'E'), std::nullopt);
  ASSERT_EQ(Add('E', root + "/stick", true, 0x0BADCAFE), STATUS_SUCCESS);
  // No explicit mapping: the letter comes from the machine.
  EXPECT_EQ(nb::win::DriveFolder(u'e'), stick);
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), static_cast<UINT>(DRIVE_REMOVABLE));
  DWORD serial = 0;
  ASSERT_TRUE(GetVolumeInformationW(u"E:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(serial, 0x0BADCAFEu);
  EXPECT_TRUE(GetLogicalDrives() & (1u << ('E' - 'A')));
  HANDLE file = CreateFileW(u"E:\\readme.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  EXPECT_EQ(nb::win::DrivePathOf(stick + "/readme.txt"), u"E:\\readme.txt");

  ASSERT_EQ(transport.EjectVolume('E'), STATUS_SUCCESS);
  EXPECT_EQ(nb::win::DriveFolder(u'E'), std::nullopt);
  EXPECT_EQ(GetDriveTypeW(u"E:\\"), static_cast<UINT>(DRIVE_NO_ROOT_DIR));
  std::vector<VolumeEntry> volumes = Volumes();
  ASSERT_EQ(volumes.size(), 1u);
  EXPECT_FALSE(volumes[0].present);
  EXPECT_EQ(volumes[0].serial, 0x0BADCAFEu);
  EXPECT_EQ(volumes[0].folder, stick);
  EXPECT_TRUE(volumes[0].accessFolder.empty());

  // Back under another letter, with the same serial.
  InsertVolumeReply reply;
  ASSERT_EQ(transport.InsertVolume(InsertVolumeRequest{.letter = 'g', .folder = root + "/stick"}, &reply),
            STATUS_SUCCESS);
  EXPECT_EQ(reply.letter, 'G');
  EXPECT_EQ(reply.serial, 0x0BADCAFEu);
  EXPECT_EQ(nb::win::DriveFolder(u'G'), stick);
  EXPECT_EQ(nb::win::DriveFolder(u'E'), std::nullopt);
  ASSERT_TRUE(GetVolumeInformationW(u"G:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(serial, 0x0BADCAFEu);
}

TEST_F(MachineVolumesTest, AVolumeAddedElsewhereIsFoundWhenItsLetterIsFirstMissing) {
  ASSERT_EQ(Add('E', root + "/stick"), STATUS_SUCCESS);
  EXPECT_TRUE(nb::win::DriveFolder(u'E').has_value());  // the table is read now
  // Added behind this process's back: the table does not know F: yet.
  nb::kernel::VolumeAddition addition;
  addition.letter = 'F';
  addition.folder = root + "/disk";
  ULONG serial;
  ASSERT_EQ(machine.VolumeAdministration().Add(addition, &serial), STATUS_SUCCESS);
  EXPECT_EQ(nb::win::DriveFolder(u'F'), fs::canonical(root + "/disk").string());
}

TEST_F(MachineVolumesTest, RecordedVolumesComeBackOnTheNextBootWithTheirSerials) {
  ASSERT_EQ(Add('E', root + "/stick", true, 0x11112222), STATUS_SUCCESS);
  ASSERT_EQ(Add('F', root + "/disk"), STATUS_SUCCESS);
  ASSERT_EQ(Add('H', root + "/other"), STATUS_SUCCESS);
  ASSERT_EQ(transport.EjectVolume('H'), STATUS_SUCCESS);
  std::vector<VolumeEntry> before = Volumes();
  // The same hive, a machine booting anew: its volume manager starts empty.
  for (char letter : {'E', 'F'}) ASSERT_EQ(machine.RemoveVolume(letter), STATUS_SUCCESS);
  std::vector<std::string> problems;
  ASSERT_EQ(machine.VolumeAdministration().Restore(root, {}, &problems), STATUS_SUCCESS);
  // No C: was recorded, so it is missing; E: and F: came back, H: stayed out.
  EXPECT_EQ(problems, std::vector<std::string>{"drive C: is not present"});
  EXPECT_EQ(Volumes(), before);
}

TEST(SystemTree, TheFoldersTheEnvironmentNamesAndEachProfile) {
  EXPECT_EQ(nb::host::SystemTreeFolders({"Administrator", "alice", "", "../etc"}),
            (std::vector<std::string>{"Windows", "Program Files", "Program Files/Common Files",
                                      "Documents and Settings", "Documents and Settings/All Users", "Windows/TEMP",
                                      "Documents and Settings/Administrator",
                                      "Documents and Settings/Administrator/Recent",
                                      "Documents and Settings/alice", "Documents and Settings/alice/Recent"}));
}

// A front end that serves every drive but F: at root/served-x and notes each call, with
// whether the volume's stack was still there when it was called.
class RecordingFrontEnd : public nb::host::VolumeFrontEnd {
 public:
  RecordingFrontEnd(nb::testing::Machine& machine, std::string root) : machine_(machine), root_(std::move(root)) {}
  std::string Serve(const nb::kernel::VolumeInfo& volume) override {
    calls.push_back(std::string("serve ") + volume.letter + (Present(volume.letter) ? " present" : " gone"));
    if (volume.letter == 'F') return {};
    return root_ + "/served-" + static_cast<char>(volume.letter - 'A' + 'a');
  }
  void Withdraw(char letter) override {
    calls.push_back(std::string("withdraw ") + letter + (Present(letter) ? " present" : " gone"));
  }
  void Reclaim(const std::string& point) override { calls.push_back("reclaim " + point); }
  std::vector<std::string> calls;

 private:
  bool Present(char letter) {
    for (const nb::kernel::VolumeInfo& volume : machine_.Volumes().Volumes()) {
      if (volume.letter == letter) return true;
    }
    return false;
  }
  nb::testing::Machine& machine_;
  std::string root_;
};

TEST_F(MachineVolumesTest, AServedVolumeIsReachedAtItsMountUntilItIsWithdrawnBeforeItGoes) {
  RecordingFrontEnd frontEnd(machine, root);
  machine.VolumeAdministration().SetFrontEnd(&frontEnd);
  auto accessOf = [&](char letter) {
    for (const VolumeEntry& volume : Volumes()) {
      if (volume.letter == letter && volume.present) return volume.accessFolder;
    }
    return std::string("(none)");
  };
  ASSERT_EQ(Add('E', root + "/stick", true), STATUS_SUCCESS);
  ASSERT_EQ(Add('F', root + "/disk"), STATUS_SUCCESS);
  EXPECT_EQ(accessOf('E'), root + "/served-e");
  EXPECT_EQ(accessOf('F'), root + "/disk") << "not served: reached at its backing folder";
  nb::win::ForgetMachineDrives();
  EXPECT_EQ(nb::win::DriveFolder(u'E'), root + "/served-e");

  ASSERT_EQ(transport.EjectVolume('E'), STATUS_SUCCESS);
  EXPECT_EQ(accessOf('E'), "(none)");
  InsertVolumeRequest insert;
  insert.folder = root + "/stick";
  insert.letter = 'G';
  InsertVolumeReply inserted;
  ASSERT_EQ(transport.InsertVolume(insert, &inserted), STATUS_SUCCESS);
  EXPECT_EQ(accessOf('G'), root + "/served-g");

  // At shutdown every served volume is withdrawn while its stack still answers, and is
  // reached at its backing folder again; volumes that come later are not served.
  machine.VolumeAdministration().WithdrawAll();
  EXPECT_EQ(accessOf('G'), root + "/stick");
  ASSERT_EQ(Add('H', root + "/other"), STATUS_SUCCESS);
  EXPECT_EQ(accessOf('H'), root + "/other");
  const std::vector<std::string> expected = {"serve E present", "serve F present", "withdraw E present",
                                             "serve G present", "withdraw G present"};
  EXPECT_EQ(frontEnd.calls, expected);
}

}  // namespace
