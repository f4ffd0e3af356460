// The control device protocol through device-control IRPs in an in-process machine.
#include <cstring>
#include <regex>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "nb/kernel/object_namespace.h"
#include "nb/kernel/pool.h"
#include "nbfs_machine.h"

namespace {

using nbfs_test::Entry;
using nbfs_test::NbfsMachine;
using ::testing::ElementsAre;

class ControlDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(machine_.loadStatus, STATUS_SUCCESS); }

  NbfsMachine machine_{'C', 'E'};
};

TEST_F(ControlDeviceTest, VersionIsThreeOhSix) {
  UCHAR version[4] = {0xff, 0xff, 0xff, 0xff};
  ULONG returned = 0;
  ASSERT_EQ(machine_.Control(GET_VERSION, nullptr, 0, version, sizeof version, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 4u);
  EXPECT_THAT(version, ElementsAre(0x06, 0x03, 0x00, 0x00));
}

TEST_F(ControlDeviceTest, ListsEntriesOfAllActiveDrives) {
  ASSERT_EQ(machine_.Control(ADD_SERVICE, Entry('C')), STATUS_SUCCESS);
  ASSERT_EQ(machine_.Control(ADD_SERVICE, Entry('E')), STATUS_SUCCESS);
  for (auto path : {u"\\A", u"\\B", u"\\C"}) ASSERT_EQ(machine_.Control(ADD_ENTRY, Entry('C', path, 1)), STATUS_SUCCESS);

  ULONG count = 0;
  ULONG returned = 0;
  ASSERT_EQ(machine_.Control(GET_ENTRY_COUNT, nullptr, 0, &count, sizeof count, &returned), STATUS_SUCCESS);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(returned, 4u);

  std::vector<NBFS_ENTRY> records(5);
  ULONG length = 5 * sizeof(NBFS_ENTRY);
  ASSERT_EQ(machine_.Control(GET_ENTRY_INFO, nullptr, 0, records.data(), length, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, length);  // the caller's output length, whatever was written
  EXPECT_EQ(nbfs_test::PathOf(records[0]), u"\\A");
  EXPECT_EQ(records[0].type, 1u);
  EXPECT_EQ(records[3].letter, 'E');
  EXPECT_EQ(records[3].path[0], 0);
  EXPECT_EQ(records[3].timeout, 0u);
  EXPECT_EQ(records[4].letter, 0);

  UCHAR letter = 'c';
  ASSERT_EQ(machine_.Control(GET_ENTRY_COUNT_IN_DRIVE, &letter, 1, &count, sizeof count, &returned), STATUS_SUCCESS);
  EXPECT_EQ(count, 3u);
  ASSERT_EQ(machine_.Control(GET_ENTRY_INFO_IN_DRIVE, &letter, 1, records.data(), 3 * sizeof(NBFS_ENTRY), &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(nbfs_test::PathOf(records[2]), u"\\C");

  NBFS_DRIVE drives[2];
  EXPECT_EQ(machine_.Control(GET_DRIVE_INFO, nullptr, 0, drives, sizeof(NBFS_DRIVE), &returned),
            STATUS_INVALID_PARAMETER);
  ASSERT_EQ(machine_.Control(GET_DRIVE_INFO, nullptr, 0, drives, sizeof drives, &returned), STATUS_SUCCESS);
  EXPECT_EQ(drives[0].letter, 'C');
  EXPECT_EQ(drives[1].letter, 'E');
}

TEST_F(ControlDeviceTest, DuplicateEntryFailsAndLogsTwoMessages) {
  ASSERT_EQ(machine_.StartLog(16), STATUS_SUCCESS);
  ASSERT_EQ(machine_.Control(ADD_SERVICE, Entry('C')), STATUS_SUCCESS);
  ASSERT_EQ(machine_.Control(ADD_ENTRY, Entry('C', u"\\DATA", 1)), STATUS_SUCCESS);
  EXPECT_THAT(machine_.ReadLog(), ElementsAre());
  EXPECT_EQ(machine_.Control(ADD_ENTRY, Entry('C', u"\\Data", 4)), STATUS_UNSUCCESSFUL);
  EXPECT_THAT(machine_.ReadLogMessages(),
              ElementsAre("NBFS: AddService: entry[C:\\Data] already exist\n", "cannot add service entry\n"));
}

TEST_F(ControlDeviceTest, LogKeepsTheFirstMessagesInLevelFormat) {
  NBFS_LOG_RECORD record;
  ULONG returned = 0;
  EXPECT_EQ(machine_.Control(LOG_READ, nullptr, 0, &record, sizeof record, &returned), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(returned, 576u);
  ASSERT_EQ(machine_.StartLog(2), STATUS_SUCCESS);
  PEPROCESS tool = machine_.Process("nbctl.exe", 777);
  for (char letter : {'X', 'Y', 'Z'}) {
    NBFS_ENTRY entry = Entry(letter);
    EXPECT_EQ(machine_.DeviceControl(NBFS_LINK_NAME, DEL_SERVICE, &entry, sizeof entry, nullptr, 0, nullptr, tool),
              STATUS_NO_SUCH_DEVICE);
  }
  ULONG counts[2];
  ASSERT_EQ(machine_.Control(LOG_COUNTS, nullptr, 0, counts, sizeof counts, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 8u);
  EXPECT_EQ(counts[0], 2u);
  EXPECT_EQ(counts[1], 2u);
  ASSERT_EQ(machine_.Control(LOG_CHECK, nullptr, 0, counts, sizeof counts, &returned), STATUS_SUCCESS);

  const char* expected[] = {"DelService \\[X\\]", "DelService \\[Y\\]"};
  for (const char* message : expected) {
    ASSERT_EQ(machine_.Control(LOG_READ, nullptr, 0, &record, sizeof record, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 576u);
    EXPECT_TRUE(std::regex_match(record.text, std::regex(std::string("\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d     "
                                                                       "ERROR:\\[nbctl\\.exe\\(777\\)\\]: ") +
                                                           message + ": cannot find service\n")))
        << record.text;
  }
  EXPECT_EQ(machine_.Control(LOG_READ, nullptr, 0, &record, sizeof record, &returned), STATUS_UNSUCCESSFUL);

  ULONG count = 3;
  EXPECT_EQ(machine_.Control(LOG_START, &count, sizeof count), STATUS_UNSUCCESSFUL);  // already running
  EXPECT_EQ(machine_.Control(LOG_STOP, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(machine_.Control(LOG_CHECK, nullptr, 0, counts, sizeof counts, &returned), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(machine_.Control(LOG_START, &count, sizeof count), STATUS_SUCCESS);
}

TEST_F(ControlDeviceTest, CountInUnknownDriveFailsButReportsFourBytes) {
  UCHAR letter = 'Q';
  ULONG count = 7;
  ULONG returned = 0;
  EXPECT_EQ(machine_.Control(GET_ENTRY_COUNT_IN_DRIVE, &letter, 1, &count, sizeof count, &returned),
            STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(returned, 4u);
}

TEST_F(ControlDeviceTest, RefusesMalformedRequests) {
  ASSERT_EQ(machine_.Control(ADD_SERVICE, Entry('C')), STATUS_SUCCESS);
  NBFS_ENTRY unterminated = Entry('C', u"\\A", 1);
  for (auto& unit : unterminated.path) unit = u'x';
  unterminated.path[0] = u'\\';
  NBFS_ENTRY valid = Entry('C', u"\\A", 1);
  ULONG hugeLog = NBFS_LOG_MAX_RECORDS + 1;
  UCHAR small[8] = {};
  struct Case {
    const char* what;
    ULONG code;
    const void* input;
    ULONG inputLength;
    ULONG outputLength;
    NTSTATUS status;
  } cases[] = {
      {"entry shorter than its record", ADD_ENTRY, &valid, sizeof valid - 2, 0, STATUS_INVALID_PARAMETER},
      {"service without a record", ADD_SERVICE, nullptr, 0, 0, STATUS_INVALID_PARAMETER},
      {"path without NUL", ADD_ENTRY, &unterminated, sizeof unterminated, 0, STATUS_INVALID_PARAMETER},
      {"delete with path without NUL", DEL_ENTRY, &unterminated, sizeof unterminated, 0, STATUS_INVALID_PARAMETER},
      {"count in drive without letter", GET_ENTRY_COUNT_IN_DRIVE, nullptr, 0, 4, STATUS_INVALID_PARAMETER},
      {"log start without count", LOG_START, small, 2, 0, STATUS_INVALID_PARAMETER},
      {"log start above the bound", LOG_START, &hugeLog, sizeof hugeLog, 0, STATUS_INVALID_PARAMETER},
      {"log read into a short buffer", LOG_READ, nullptr, 0, 8, STATUS_BUFFER_TOO_SMALL},
      {"version into a short buffer", GET_VERSION, nullptr, 0, 2, STATUS_BUFFER_TOO_SMALL},
      {"unused function number", NBFS_CTL_CODE(9), nullptr, 0, 0, STATUS_INVALID_DEVICE_REQUEST},
      {"another device type", CTL_CODE(0x22, 0, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0, 0,
       STATUS_INVALID_DEVICE_REQUEST},
  };
  for (const auto& c : cases) {
    UCHAR output[8] = {};
    EXPECT_EQ(machine_.Control(c.code, c.input, c.inputLength, c.outputLength ? output : nullptr, c.outputLength),
              c.status)
        << c.what;
  }
  ULONG count = 0;
  UCHAR letter = 'C';
  ASSERT_EQ(machine_.Control(GET_ENTRY_COUNT_IN_DRIVE, &letter, 1, &count, sizeof count), STATUS_SUCCESS);
  EXPECT_EQ(count, 0u);
}

TEST_F(ControlDeviceTest, RegisteringADriveAttachesAFilterOnce) {
  PDEVICE_OBJECT volume = static_cast<PDEVICE_OBJECT>(
      machine_.Kernel().Namespace().Lookup(u"\\Device\\HarddiskVolume1", nb::kernel::ObjectKind::kDevice));
  ASSERT_NE(volume, nullptr);
  ASSERT_EQ(machine_.Control(ADD_SERVICE, Entry('C')), STATUS_SUCCESS);
  PDEVICE_OBJECT filter = IoGetAttachedDevice(volume);
  ASSERT_NE(filter, volume);
  auto* record = static_cast<VolumeRecord*>(filter->DeviceExtension);
  EXPECT_EQ(record->magic, NBFS_VOLUME_MAGIC);
  EXPECT_EQ(record->lower, volume);
  EXPECT_EQ(record->active, 1);
  EXPECT_EQ(record->attached, 1);

  ASSERT_EQ(machine_.Control(DEL_SERVICE, Entry('C')), STATUS_SUCCESS);
  EXPECT_EQ(record->active, 0);
  ASSERT_EQ(machine_.Control(ADD_SERVICE, Entry('c', u"", 4, 0)), STATUS_SUCCESS);
  EXPECT_EQ(IoGetAttachedDevice(volume), filter);
  EXPECT_EQ(record->flags, 4u);

  // The filter runs the driver's own codes and passes others to the volume below.
  ULONG version = 0;
  EXPECT_EQ(machine_.DeviceControl(u"\\DosDevices\\C:", GET_VERSION, nullptr, 0, &version, sizeof version),
            STATUS_SUCCESS);
  EXPECT_EQ(version, NBFS_VERSION);
  EXPECT_EQ(machine_.DeviceControl(u"\\DosDevices\\C:", CTL_CODE(7, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0,
                                   nullptr, 0),
            STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(ControlDeviceTest, RegisteringALetterWithoutVolumeLeavesNoRecord) {
  ASSERT_EQ(machine_.StartLog(4), STATUS_SUCCESS);
  EXPECT_EQ(machine_.Control(ADD_SERVICE, Entry('R')), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_THAT(machine_.ReadLogMessages(),
              ElementsAre("GetFSD: cannot open [\\DosDevices\\R:\\]\n",
                          "cannot attach device, since cannot get filesystem deviceobject, errcode=c0000034\n",
                          "cannot attach device(R:), err=c0000034\n"));
  NBFS_DRIVE drives[26] = {};
  ASSERT_EQ(machine_.Control(GET_DRIVE_INFO, nullptr, 0, drives, sizeof drives), STATUS_SUCCESS);
  EXPECT_EQ(drives[0].letter, 0);
}

TEST(ControlDeviceLoadTest, UnloadLeavesNoPoolBehind) {
  size_t outstanding;
  {
    NbfsMachine machine{'C'};
    ASSERT_EQ(machine.loadStatus, STATUS_SUCCESS);
    ASSERT_EQ(machine.StartLog(4), STATUS_SUCCESS);
    ASSERT_EQ(machine.Control(ADD_SERVICE, Entry('C')), STATUS_SUCCESS);
    ASSERT_EQ(machine.Control(ADD_ENTRY, Entry('C', u"\\Kept", 1)), STATUS_SUCCESS);
    machine.UnloadDriver(machine.driver);
    outstanding = machine.Kernel().Pool().Outstanding();
  }
  EXPECT_EQ(outstanding, 0u);
}

}  // namespace
