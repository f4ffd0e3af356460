// Argument checks of every client call, the messages they print, and the open and
// request failures, with nothing sent to the driver on a refused argument.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "client_machine.h"
#include "nbclient.h"
#include "nbdvctl.h"
#include "nbfsctl.h"
#include "request_recorder.h"

namespace client_test {
namespace {

struct CallCase {
  const char* label;
  std::function<int()> call;
  int result;
  std::string output;
};

void PrintTo(const CallCase& c, std::ostream* os) { *os << c.label; }

const std::u16string kLongPath = u"\\" + std::u16string(511, u'x');  // 512 characters
const std::string kLongPathText = "\\" + std::string(511, 'x');
const std::u16string kName64(64, u'e');
ULONG someCount;
unsigned char someBuffer[4096];

class ArgumentCheck : public ::testing::TestWithParam<CallCase> {};

// Refused arguments: the call prints its line, returns its code and sends nothing.
TEST_P(ArgumentCheck, PrintsAndSendsNothing) {
  ClientMachine machine({'C'});
  RequestRecorder nbfs;
  ASSERT_EQ(nbfs.Serve(machine, NBFS_DEVICE_NAME, NBFS_LINK_NAME), STATUS_SUCCESS);
  int result;
  std::string output = Captured(GetParam().call, &result);
  EXPECT_EQ(result, GetParam().result);
  EXPECT_EQ(output, GetParam().output);
  EXPECT_TRUE(nbfs.Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    DriveCalls, ArgumentCheck,
    ::testing::Values(
        CallCase{"RegisterDrive", [] { return RegisterDrive(u'1'); }, -3003, "RegisterDrive: invalid Drive(1)\n"},
        CallCase{"LockDriveType", [] { return LockDrive(u'C', 2, 0); }, -3003, "LockDrive: invalid LockType(2)\n"},
        CallCase{"LockDriveTypeBeforeDrive", [] { return LockDrive(u'?', 0, 0); }, -3003,
                 "LockDrive: invalid LockType(0)\n"},
        CallCase{"LockDriveDrive", [] { return LockDrive(u'@', 1, 0); }, -3003, "LockDrive: invalid Drive(@)\n"},
        CallCase{"UnlockDrive", [] { return UnlockDrive(u'['); }, -3003, "UnlockDrive: invalid Drive([)\n"},
        CallCase{"DriveInfoNull", [] { return GetDriveInformation(nullptr, 312); }, -3003,
                 "GetDriveInformation: invalid Buffer\n"},
        CallCase{"DriveInfoShort", [] { return GetDriveInformation(someBuffer, 311); }, -3003,
                 "GetDriveInformation: invalid Buffer\n"},
        CallCase{"EntryCountDrive", [] { return GetEntryCountInDrive(u'!', &someCount); }, -3003,
                 "GetEntryCountInDrive: invalid Drive(!)\n"},
        CallCase{"EntryCountBuffer", [] { return GetEntryCountInDrive(u'c', nullptr); }, -3003,
                 "GetEntryCountInDrive: invalid buffer\n"},
        CallCase{"EntryInfoDrive", [] { return GetEntryInfoInDrive(u'!', someBuffer, 8); }, -3003,
                 "GetEntryInfoInDrive: invalid Drive(!)\n"},
        CallCase{"EntryInfoBuffer", [] { return GetEntryInfoInDrive(u'C', nullptr, 0); }, -3003,
                 "GetEntryInfoInDrive: invalid buffer\n"}));

INSTANTIATE_TEST_SUITE_P(
    FolderCalls, ArgumentCheck,
    ::testing::Values(
        CallCase{"LockType", [] { return LockFolder(u'C', u"\\a", 0, 0); }, -3003,
                 "LockFolder: invalid LockType(0)\n"},
        CallCase{"LockDrive", [] { return LockFolder(u'0', u"\\a", 1, 0); }, -3003,
                 "LockFolder: invalid Drive(0)\n"},
        CallCase{"LockNull", [] { return LockFolder(u'C', nullptr, 4, 0); }, -3003,
                 "LockFolder: invalid path; path is NULL\n"},
        CallCase{"LockRelative", [] { return LockFolder(u'C', u"a\\b", 1, 0); }, -3003,
                 "LockFolder: invalid path name(a\\b)\n"},
        CallCase{"LockLong", [] { return LockFolder(u'C', kLongPath.c_str(), 1, 0); }, -3003,
                 "LockFolder: Path(" + kLongPathText + ") is too long\n"},
        CallCase{"UnlockDrive", [] { return UnlockFolder(u'#', u"\\a"); }, -3003, "UnlockFolder: invalid Drive(#)\n"},
        CallCase{"UnlockNull", [] { return UnlockFolder(u'C', nullptr); }, -3003,
                 "UnlockFolder: invalid path; path is NULL\n"},
        CallCase{"UnlockRelative", [] { return UnlockFolder(u'C', u""); }, -3003,
                 "UnlockFolder: invalid path name()\n"},
        CallCase{"UnlockLong", [] { return UnlockFolder(u'C', kLongPath.c_str()); }, -3003,
                 "UnlockFolder: Path(" + kLongPathText + ") is too long\n"},
        CallCase{"SetDrive", [] { return SetEntryInfo(u'!', nullptr, 1, 0); }, -3003,
                 "SetEntryInfo: invalid Drive(!)\n"},
        CallCase{"SetType", [] { return SetEntryInfo(u'C', u"\\a", 5, 0); }, -3003,
                 "SetEntryInfo: invalid LockType(5)\n"},
        CallCase{"SetRelative", [] { return SetEntryInfo(u'C', u"x", 1, 0); }, -3003,
                 "SetEntryInfo: invalid path name(x)\n"},
        CallCase{"SetLong", [] { return SetEntryInfo(u'C', kLongPath.c_str(), 1, 0); }, -3003,
                 "SetEntryInfo: Path(" + kLongPathText + ") is too long\n"},
        CallCase{"PauseDrive", [] { return Pause(u'!', nullptr); }, -3003, "Pause: invalid Drive(!)\n"},
        CallCase{"PauseRoot", [] { return Pause(u'C', u"\\"); }, -3003, "Pause: invalid Path(\\)\n"},
        CallCase{"PauseLong", [] { return Pause(u'C', kLongPath.c_str()); }, -3003,
                 "Pause: invalid Path(" + kLongPathText + ")\n"},
        CallCase{"ResumeDrive", [] { return Resume(u'1', nullptr); }, -3003, "Resume: invalid Drive(1)\n"},
        CallCase{"ResumeRoot", [] { return Resume(u'C', u"\\"); }, -3003, "Resume: invalid Path(\\)\n"},
        CallCase{"StartDrive", [] { return StartTimeOutEntry(u'1', nullptr); }, -3003,
                 "StartTimeOutEntry: invalid Drive(1)\n"},
        CallCase{"StartRoot", [] { return StartTimeOutEntry(u'C', u"\\"); }, -3003,
                 "StartTimeOutEntry: invalid Path(\\)\n"}));

INSTANTIATE_TEST_SUITE_P(
    EventAndProcessCalls, ArgumentCheck,
    ::testing::Values(
        CallCase{"CreateEventNull", [] { return NB_CreateEvent(nullptr); }, -3003,
                 "NB_CreateEvent: invalid parameter\n"},
        CallCase{"CreateEvent64", [] { return NB_CreateEvent(kName64.c_str()); }, -3003,
                 "NB_CreateEvent: invalid parameter\n"},
        CallCase{"RegisterDrive", [] { return NB_RegisterProcess(u'!', nullptr, "a.exe", 1, 1); }, -3003,
                 "NB_RegisterProcess: invalid Drive(!)\n"},
        CallCase{"RegisterName", [] { return NB_RegisterProcess(u'C', nullptr, nullptr, 1, 1); }, -3003,
                 "NB_RegisterProcess: invalid parameter\n"},
        CallCase{"RegisterPermission", [] { return NB_RegisterProcess(u'C', nullptr, "a.exe", 1, 3); }, -3003,
                 "NB_RegisterProcess: invalid Permission(3)\n"},
        CallCase{"RegisterPath", [] { return NB_RegisterProcess(u'C', u"\\", "a.exe", 1, 2); }, -3003,
                 "NB_RegisterProcess: invalid Path(\\)\n"},
        CallCase{"RemoveDrive", [] { return NB_RemoveProcess(u'!', nullptr, "a.exe", 1); }, -3003,
                 "NB_RemoveProcess: invalid Drive(!)\n"},
        CallCase{"RemoveName", [] { return NB_RemoveProcess(u'C', nullptr, nullptr, 1); }, -3003,
                 "NB_RemoveProcess: invalid parameter\n"},
        CallCase{"RemovePath", [] { return NB_RemoveProcess(u'C', u"\\", "a.exe", 1); }, -3003,
                 "NB_RemoveProcess: invalid Path(\\)\n"},
        CallCase{"CountDrive", [] { return NB_GetProcCount(u'!', nullptr, &someCount); }, -3003,
                 "NB_GetProcCount: invalid Drive(!)\n"},
        CallCase{"CountBuffer", [] { return NB_GetProcCount(u'C', nullptr, nullptr); }, -3003,
                 "NB_GetProcCount: invalid buffer\n"},
        CallCase{"CountPath", [] { return NB_GetProcCount(u'C', u"\\", &someCount); }, -3003,
                 "NB_GetProcCount: invalid Path(\\)\n"},
        CallCase{"InfoDrive", [] { return NB_GetProcInfo(u'!', nullptr, someBuffer, 1052); }, -3003,
                 "NB_GetProcInfo: invalid Drive(!)\n"},
        CallCase{"InfoBuffer", [] { return NB_GetProcInfo(u'C', nullptr, nullptr, 1052); }, -3003,
                 "NB_GetProcInfo: invalid Buffer\n"},
        CallCase{"InfoPath", [] { return NB_GetProcInfo(u'C', u"\\", someBuffer, 1052); }, -3003,
                 "NB_GetProcInfo: invalid Path(\\)\n"},
        CallCase{"GlobalName", [] { return NB_RegisterGlobalProcess(nullptr, 1, 2); }, -3003,
                 "NB_RegisterGlobalProcess: invalid parameter\n"},
        CallCase{"GlobalPermission", [] { return NB_RegisterGlobalProcess("a.exe", 1, 0); }, -3003,
                 "NB_RegisterGlobalProcess: invalid Permission(0)\n"},
        CallCase{"GlobalRemoveName", [] { return NB_RemoveGlobalProcess(nullptr, 1); }, -3003,
                 "NB_RemoveGlobalProcess: invalid parameter\n"},
        CallCase{"GlobalCount", [] { return NB_GetGlobalProcCount(nullptr); }, -3003,
                 "NB_GetGlobalProcCount: invalid buffer\n"},
        CallCase{"GlobalInfo", [] { return NB_GetGlobalProcInfo(nullptr, 1052); }, -3003,
                 "NB_GetProcInfo: invalid Buffer\n"}));

INSTANTIATE_TEST_SUITE_P(
    NbdvCalls, ArgumentCheck,
    ::testing::Values(
        CallCase{"AddDrive", [] { return NBDV_AddDevice(u'1', 5); }, -3103, "NBDV_AddDevice: invalid Drive(1)\n"},
        CallCase{"AddSerial", [] { return NBDV_AddDevice(u'e', 0); }, -3103,
                 "NBDV_AddDevice: invalid Serial Number 0x0\n"},
        CallCase{"DeleteDrive", [] { return NBDV_DeleteDevice(u'*', 5); }, -3103,
                 "NBDV_DeleteDevice: invalid Drive(*)\n"},
        CallCase{"DeleteSerial", [] { return NBDV_DeleteDevice(u'E', 0); }, -3103,
                 "NBDV_DeleteDevice: invalid Serial Number 0x0\n"},
        CallCase{"Count", [] { return NBDV_GetDeviceCount(nullptr); }, -3103,
                 "NBDV_GetDeviceCount: invalid parameter\n"}));

class DeviceMissing : public ::testing::TestWithParam<CallCase> {};

// No driver is loaded: the control device cannot be opened.
TEST_P(DeviceMissing, PrintsTheOpenFailure) {
  ClientMachine machine({'C'});
  int result;
  std::string output = Captured(GetParam().call, &result);
  EXPECT_EQ(result, GetParam().result);
  EXPECT_EQ(output, GetParam().output);
}

const std::string kCannotOpen = "cannot open \\\\.\\nbfscntl36\n";

INSTANTIATE_TEST_SUITE_P(
    Calls, DeviceMissing,
    ::testing::Values(
        CallCase{"GetVersion", [] { return GetVersion(&someCount); }, -3001,
                 kCannotOpen + "GetVersion: cannot opne NB_DEVICE\n"},
        CallCase{"LockDrive", [] { return LockDrive(u'C', 1, 0); }, -3001,
                 kCannotOpen + "LockDrive: cannot opne NB_DEVICE\n"},
        CallCase{"Resume", [] { return Resume(u'C', nullptr); }, -3001, kCannotOpen + "Resume: cannot opne NB_DEVICE\n"},
        CallCase{"StartTimeOutEntry", [] { return StartTimeOutEntry(u'C', nullptr); }, -3001,
                 kCannotOpen + "StartTimeOutEntry: cannot open NB_DEVICE\n"},
        CallCase{"UnlockFolder", [] { return UnlockFolder(u'C', u"\\a"); }, -3001,
                 kCannotOpen + "UnlockFolder: cannot opne NB_DEVICE\n"},
        CallCase{"OpenEvent", [] { return NB_OpenEvent(nullptr, nullptr); }, -3001,
                 kCannotOpen + "NB_OpenEvent: cannot open NB_DEVICE\n"},
        CallCase{"RegisterFs", [] { return NB_RegisterFs(); }, -3001,
                 kCannotOpen + "NB_RegisterFs: cannot open NB_DEVICE\n"},
        CallCase{"RegisterProcess", [] { return NB_RegisterProcess(u'C', nullptr, "a.exe", 1, 1); }, -3001,
                 kCannotOpen + "NB_RegisterProcess: cannot opne ROOT DEVICE\n"},
        CallCase{"GlobalInfo", [] { return NB_GetGlobalProcInfo(someBuffer, sizeof someBuffer); }, -3001,
                 kCannotOpen + "NB_GetGlobalProcCount: cannot opne ROOT DEVICE\n" +
                     "NB_GetProcInfo: cannot get process count\n"},
        CallCase{"NbdvAdd", [] { return NBDV_AddDevice(u'E', 7); }, -3101,
                 "NBDV_AddDevice: cannot open NBDV DEVICE\n"},
        CallCase{"NbdvDelete", [] { return NBDV_DeleteDevice(u'E', 7); }, -3101,
                 "NBDV_DeleteDevice: cannot open NBDV_DEVICE\n"},
        CallCase{"NbdvInformation", [] { return NBDV_GetDeviceInformation(someBuffer, 8); }, -3101,
                 "NBDV_GetDeviceCount: cannot open NBDV DEVICE\n"
                 "NBDV_GetDeviceInformation: cannot get device count\n"},
        CallCase{"NbdvCloseEvent", [] { return NBDV_CloseEvent(); }, -3101,
                 "NBDV_CloseEvent: cannot open NBDV DEVICE\n"}));

class RequestRefused : public ::testing::TestWithParam<CallCase> {};

// The device opens but refuses every request.
TEST_P(RequestRefused, PrintsTheRequestFailure) {
  ClientMachine machine({'C'});
  machine.MakeFolder('C', "\\dir");
  RequestRecorder nbfs;
  ASSERT_EQ(nbfs.Serve(machine, NBFS_DEVICE_NAME, NBFS_LINK_NAME), STATUS_SUCCESS);
  int result;
  std::string output = Captured(GetParam().call, &result);
  EXPECT_EQ(result, GetParam().result);
  EXPECT_EQ(output, GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, RequestRefused,
    ::testing::Values(
        CallCase{"GetVersion", [] { return GetVersion(&someCount); }, -3002, "GetVersion: ioctl failed\n"},
        CallCase{"DriveInfo", [] { return GetDriveInformation(someBuffer, 312); }, -3002,
                 "GetDriveInformation: GET_DRIVE_INFO ioctl failed\n"},
        CallCase{"Pause", [] { return Pause(u'C', nullptr); }, -3002, "Pause: PAUSE_ENTRY ioctl failed\n"},
        CallCase{"Resume", [] { return Resume(u'C', u"\\dir"); }, -3002, "Resume: RESUME_ENTRY ioctl failed\n"},
        CallCase{"StartTimeOut", [] { return StartTimeOutEntry(u'C', u"\\dir"); }, -3002,
                 "StartTimeOutEntry: ioctl failed\n"},
        CallCase{"SetEntryInfo", [] { return SetEntryInfo(u'C', u"\\dir", 4, 60); }, -3002,
                 "SetEntryInfo: Drive=C, path=\\dir\nSetEntryInfo: ioctl failed\n"},
        CallCase{"SetEntryInfoDrive", [] { return SetEntryInfo(u'C', nullptr, 4, 60); }, -3002,
                 "SetEntryInfo: Drive=C\nSetEntryInfo: ioctl failed\n"},
        CallCase{"LockFolder", [] { return LockFolder(u'C', u"\\dir", 1, 0); }, -3002,
                 "LockFolder: GET_DRIVE_INFO ioctl failed\n"},
        CallCase{"UnlockFolder", [] { return UnlockFolder(u'C', u"\\dir"); }, -3002,
                 "UnlockFolder: DEL_ENTRY ioctl failed\n"},
        CallCase{"OpenEvent", [] { return NB_OpenEvent(nullptr, nullptr); }, -3002,
                 "NB_OpenEvent: OPEN EVENT ioctl failed\n"},
        CallCase{"CloseEvent", [] { return NB_CloseEvent(); }, -3002, "NB_CloseEvent: CLOSE EVENT ioctl failed\n"},
        CallCase{"CreateEvent", [] { return NB_CreateEvent(u"\\BaseNamedObjects\\x"); }, -3002,
                 "NB_CreateEvent: CREATE EVENT ioctl failed\n"},
        CallCase{"RegisterFs", [] { return NB_RegisterFs(); }, -3002, "NB_RegisterFs: REGFS ioctl failed\n"},
        CallCase{"GlobalRegister", [] { return NB_RegisterGlobalProcess("a.exe", 1, 1); }, -3002,
                 "NB_RegisterGlobalProcess: ioctl failed\n"},
        CallCase{"ProcInfo", [] { return NB_GetProcInfo(u'C', nullptr, someBuffer, 1052); }, -3002,
                 "NB_GetProcCount: ioctl failed\nNB_GetProcInfo: cannot get process count\n"}));

TEST(FlushVolume, UnknownDriveCannotBeOpened) {
  ClientMachine machine({'C'});
  int result;
  EXPECT_EQ(Captured([] { return NB_INT_FlushVolume(u'Q'); }, &result),
            "NB_INT_FlushVolume: cannot open volume(\\\\.\\Q:), err=2\n");
  EXPECT_EQ(result, -3001);
  EXPECT_EQ(Captured([] { return LockDrive(u'Q', 4, 0); }, &result),
            "NB_INT_FlushVolume: cannot open volume(\\\\.\\Q:), err=2\nLockDrive: cannot flush volume\n");
  EXPECT_EQ(result, -3001);
  EXPECT_EQ(Captured([] { return NB_INT_FlushVolume(u'c'); }, &result), "");
  EXPECT_EQ(result, 0);
}

}  // namespace
}  // namespace client_test
