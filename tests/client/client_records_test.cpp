// The records the client calls put on the wire, seen by a stand-in control device.
#include <cstring>

#include <gtest/gtest.h>

#include "client_machine.h"
#include "nbclient.h"
#include "nbfsctl.h"
#include "request_recorder.h"

namespace client_test {
namespace {

class ClientRecords : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(nbfs.Serve(machine, NBFS_DEVICE_NAME, NBFS_LINK_NAME), STATUS_SUCCESS);
    machine.MakeFolder('D', "\\dir");
  }

  template <typename Record>
  Record Sent(size_t index) {
    Record record{};
    const auto input = nbfs.Requests().at(index).input;
    EXPECT_GE(input.size(), sizeof record);
    std::memcpy(&record, input.data(), std::min(input.size(), sizeof record));
    return record;
  }

  ClientMachine machine{'D'};
  RequestRecorder nbfs;
};

TEST_F(ClientRecords, EventHandlesTravelAsTwoU32InOrder) {
  nbfs.Answer(OPEN_EVENT, STATUS_SUCCESS);
  EXPECT_EQ(NB_OpenEvent(reinterpret_cast<HANDLE>(8), reinterpret_cast<HANDLE>(0x7C)), 0);
  ASSERT_EQ(nbfs.Codes(), std::vector<ULONG>{OPEN_EVENT});
  EXPECT_EQ(nbfs.Requests()[0].input, (std::vector<uint8_t>{8, 0, 0, 0, 0x7C, 0, 0, 0}));
}

TEST_F(ClientRecords, CreateEventSendsAZeroedBufferOf128Bytes) {
  nbfs.Answer(CREATE_EVENT, STATUS_SUCCESS);
  std::u16string name(63, u'n');
  EXPECT_EQ(NB_CreateEvent(name.c_str()), 0);
  const auto input = nbfs.Requests().at(0).input;
  ASSERT_EQ(input.size(), 128u);
  std::u16string sent(reinterpret_cast<const char16_t*>(input.data()), 64);
  EXPECT_EQ(sent, name + u'\0');
}

TEST_F(ClientRecords, ProcessRecordsCutTheNameAndCopyOnlyFolderPaths) {
  nbfs.Answer(ADD_PROC, STATUS_SUCCESS);
  nbfs.Answer(DEL_PROC, STATUS_SUCCESS);
  EXPECT_EQ(NB_RegisterProcess(u'd', u"\\dir", "averyveryverylongname.exe", 77, 1), 0);
  EXPECT_EQ(NB_RemoveProcess(u'D', u"drive", "short.exe", 78), 0);
  auto added = Sent<NBFS_PROC>(0);
  EXPECT_EQ(added.letter, 'd');
  EXPECT_EQ(std::u16string(added.path), u"\\dir");
  EXPECT_EQ(added.permission, 1u);
  EXPECT_EQ(added.pid, 77u);
  EXPECT_STREQ(added.name, "averyveryverylo");
  auto removed = Sent<NBFS_PROC>(1);
  EXPECT_EQ(std::u16string(removed.path), u"");  // a path without "\" addresses the drive
  EXPECT_EQ(removed.permission, 0u);
  EXPECT_STREQ(removed.name, "short.exe");
}

TEST_F(ClientRecords, DriveRegistrationAndPauseOfTheDrive) {
  nbfs.Answer(ADD_SERVICE, STATUS_SUCCESS);
  nbfs.Answer(PAUSE_ENTRY, STATUS_SUCCESS);
  EXPECT_EQ(RegisterDrive(u'D'), 0);
  EXPECT_EQ(LockDrive(u'D', 4, 600), 0);
  EXPECT_EQ(Pause(u'D', u"drive"), 0);
  auto registered = Sent<NBFS_ENTRY>(0);
  EXPECT_EQ(registered.letter, 'D');
  EXPECT_EQ(registered.type, 0u);
  EXPECT_EQ(registered.timeout, 0u);
  auto locked = Sent<NBFS_ENTRY>(1);
  EXPECT_EQ(locked.type, 4u);
  EXPECT_EQ(locked.timeout, 600u);
  EXPECT_EQ(std::u16string(Sent<NBFS_ENTRY>(2).path), u"");
}

// The process lists are read in two steps: the count, then exactly count records.
TEST_F(ClientRecords, ProcessInfoAsksForCountTimesTheRecord) {
  nbfs.AnswerUlong(GET_PROC_COUNT, 2);
  nbfs.Answer(GET_PROC_INFO, STATUS_SUCCESS);
  static unsigned char buffer[3 * sizeof(NBFS_PROC)];
  EXPECT_EQ(NB_GetProcInfo(u'D', u"\\dir", buffer, sizeof buffer), 0);
  ASSERT_EQ(nbfs.Codes(), (std::vector<ULONG>{GET_PROC_COUNT, GET_PROC_INFO}));
  EXPECT_EQ(nbfs.Requests()[1].outputLength, 2 * sizeof(NBFS_PROC));
  EXPECT_EQ(std::u16string(Sent<NBFS_ENTRY>(1).path), u"\\dir");

  int result;
  EXPECT_EQ(Captured([] { return NB_GetProcInfo(u'D', nullptr, buffer, 2103); }, &result),
            "NB_GetProcInfo: buffer too small(needlen=2104)\n");
  EXPECT_EQ(result, -3003);
}

TEST_F(ClientRecords, EmptyProcessListsSendNoInfoRequest) {
  nbfs.AnswerUlong(GET_PROC_COUNT, 0);
  nbfs.AnswerUlong(GET_GLOBAL_PROC_COUNT, 0);
  unsigned char buffer[4];
  EXPECT_EQ(NB_GetProcInfo(u'D', nullptr, buffer, sizeof buffer), 0);
  EXPECT_EQ(NB_GetGlobalProcInfo(buffer, sizeof buffer), 0);
  EXPECT_EQ(nbfs.Codes(), (std::vector<ULONG>{GET_PROC_COUNT, GET_GLOBAL_PROC_COUNT}));
}

TEST_F(ClientRecords, GlobalProcessInfoUsesTheBufferBothWays) {
  nbfs.AnswerUlong(GET_GLOBAL_PROC_COUNT, 1);
  NBFS_PROC reply{};
  reply.pid = 4;
  std::strcpy(reply.name, "NBSvc.exe");
  std::vector<uint8_t> bytes(sizeof reply);
  std::memcpy(bytes.data(), &reply, sizeof reply);
  nbfs.Answer(GET_GLOBAL_PROC_INFO, STATUS_SUCCESS, bytes);
  NBFS_PROC got[2]{};
  EXPECT_EQ(NB_GetGlobalProcInfo(got, sizeof got), 0);
  EXPECT_EQ(nbfs.Requests().at(1).input.size(), sizeof(NBFS_PROC));
  EXPECT_EQ(nbfs.Requests().at(1).outputLength, sizeof(NBFS_PROC));
  EXPECT_STREQ(got[0].name, "NBSvc.exe");
}

}  // namespace
}  // namespace client_test
