// The file requests at the machine's dispatcher: only records without pointers cross,
// a rename's record is the machine's own, requests need a file, and a client's files get
// their cleanup when the client goes.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include <ntifs.h>

#include "nb/protocol/protocol.h"
#include "nb/server/server.h"
#include "nb/testing/machine.h"

namespace {

namespace fs = std::filesystem;
using namespace nb::protocol;

class FileRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "nbfilereq-XXXXXX").string();
    folder = mkdtemp(pattern.data());
    std::ofstream(folder / "a.txt") << "alpha";
    std::ofstream(folder / "b.txt") << "beta";
    ASSERT_EQ(machine.AddHostVolume('F', folder.string()), STATUS_SUCCESS);
    client = std::make_unique<nb::server::ClientContext>(machine.Process("app.exe", 900), 0);
  }
  void TearDown() override {
    client.reset();
    fs::remove_all(folder);
  }

  // Serves `request` for the client; the reply's status, its body in `reply`.
  template <typename Request>
  NTSTATUS Serve(const Request& request, typename Request::ReplyType* reply = nullptr) {
    std::vector<uint8_t> message;
    EXPECT_EQ(EncodeRequest(request, &message), STATUS_SUCCESS);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    Reply decoded;
    EXPECT_EQ(DecodeReply(nb::server::DispatchRequest(*client, message), Request::kKind, &status, &decoded),
              STATUS_SUCCESS);
    if (reply) *reply = std::get<typename Request::ReplyType>(decoded);
    return status;
  }

  uint64_t Open(const std::u16string& name, uint32_t disposition = FILE_OPEN, uint32_t options = 0,
                uint32_t* information = nullptr) {
    CreateFileRequest request;
    request.objectName = u"\\DosDevices\\F:\\" + name;
    request.desiredAccess = FILE_GENERIC_READ | FILE_GENERIC_WRITE | DELETE;
    request.shareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    request.disposition = disposition;
    request.options = options | FILE_SYNCHRONOUS_IO_NONALERT;
    CreateFileReply reply;
    EXPECT_EQ(Serve(request, &reply), STATUS_SUCCESS) << std::string(name.begin(), name.end());
    if (information) *information = reply.information;
    return reply.object;
  }

  fs::path folder;
  nb::testing::Machine machine;
  std::unique_ptr<nb::server::ClientContext> client;
};

TEST_F(FileRequests, OnlyRecordsWithoutPointersCross) {
  uint64_t file = Open(u"a.txt");
  uint64_t directory = Open(u"", FILE_OPEN, FILE_DIRECTORY_FILE);
  for (uint32_t informationClass : {0u, 10u, 11u, 18u, 22u, 99u}) {
    EXPECT_EQ(Serve(QueryInformationFileRequest{.object = file, .informationClass = informationClass, .length = 64}),
              STATUS_INVALID_INFO_CLASS)
        << informationClass;
    EXPECT_EQ(Serve(SetInformationFileRequest{.object = file, .informationClass = informationClass,
                                              .buffer = std::vector<uint8_t>(64, 0xEE)}),
              STATUS_INVALID_INFO_CLASS)
        << informationClass;
  }
  for (uint32_t informationClass : {0u, 4u, 5u, 13u, 99u}) {
    EXPECT_EQ(Serve(QueryDirectoryFileRequest{.object = directory, .informationClass = informationClass, .length = 512}),
              STATUS_INVALID_INFO_CLASS)
        << informationClass;
  }
  QueryInformationFileReply standard;
  ASSERT_EQ(Serve(QueryInformationFileRequest{.object = file, .informationClass = FileStandardInformation,
                                              .length = 64},
                  &standard),
            STATUS_SUCCESS);
  EXPECT_EQ(standard.buffer.size(), sizeof(FILE_STANDARD_INFORMATION));
  EXPECT_EQ(standard.returned, sizeof(FILE_STANDARD_INFORMATION));
  // A short buffer is the file system's to refuse.
  EXPECT_EQ(Serve(SetInformationFileRequest{.object = file, .informationClass = FileEndOfFileInformation,
                                            .buffer = {1, 2}}),
            STATUS_INFO_LENGTH_MISMATCH);
}

TEST_F(FileRequests, FileRequestsNeedAFile) {
  CreateEventReply event;
  ASSERT_EQ(Serve(CreateEventRequest{.manualReset = true}, &event), STATUS_SUCCESS);
  for (uint64_t object : {event.object, uint64_t{0}, uint64_t{4096}, uint64_t{6}}) {
    EXPECT_EQ(Serve(ReadFileRequest{.object = object, .offset = 0, .length = 4}), STATUS_INVALID_HANDLE) << object;
    EXPECT_EQ(Serve(WriteFileRequest{.object = object, .offset = 0, .data = {1}}), STATUS_INVALID_HANDLE) << object;
    EXPECT_EQ(Serve(RenameFileRequest{.object = object, .newName = u"\\c.txt"}), STATUS_INVALID_HANDLE) << object;
    EXPECT_EQ(Serve(FlushFileRequest{.object = object}), STATUS_INVALID_HANDLE) << object;
  }
}

TEST_F(FileRequests, ReadsAndWritesAtTheFilePointerOrAnOffset) {
  uint64_t file = Open(u"a.txt");
  ReadFileReply read;
  ASSERT_EQ(Serve(ReadFileRequest{.object = file, .offset = kAtFilePointer, .length = 2}, &read), STATUS_SUCCESS);
  EXPECT_EQ(read.data, (std::vector<uint8_t>{'a', 'l'}));
  ASSERT_EQ(Serve(ReadFileRequest{.object = file, .offset = kAtFilePointer, .length = 100}, &read), STATUS_SUCCESS);
  EXPECT_EQ(read.data, (std::vector<uint8_t>{'p', 'h', 'a'}));
  EXPECT_EQ(Serve(ReadFileRequest{.object = file, .offset = kAtFilePointer, .length = 4}, &read), STATUS_END_OF_FILE);
  WriteFileReply written;
  ASSERT_EQ(Serve(WriteFileRequest{.object = file, .offset = 1, .data = {'L', 'P'}}, &written), STATUS_SUCCESS);
  EXPECT_EQ(written.written, 2u);
  ASSERT_EQ(Serve(FlushFileRequest{.object = file}), STATUS_SUCCESS);
  std::ifstream in(folder / "a.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "aLPha");
}

TEST_F(FileRequests, RenamesKeepOrReplaceTheTarget) {
  uint32_t information = 99;
  uint64_t file = Open(u"a.txt", FILE_OPEN, 0, &information);
  EXPECT_EQ(information, static_cast<uint32_t>(FILE_OPENED));
  EXPECT_EQ(Serve(RenameFileRequest{.object = file, .newName = u"\\b.txt"}), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(Serve(RenameFileRequest{.object = file, .newName = u""}), STATUS_OBJECT_NAME_INVALID);
  ASSERT_EQ(Serve(RenameFileRequest{.object = file, .replaceIfExists = true, .newName = u"\\b.txt"}), STATUS_SUCCESS);
  EXPECT_FALSE(fs::exists(folder / "a.txt"));
  std::ifstream in(folder / "b.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "alpha");
  ASSERT_EQ(Serve(RenameFileRequest{.object = file, .newName = u"c.txt"}), STATUS_SUCCESS) << "a name beside it";
  EXPECT_TRUE(fs::exists(folder / "c.txt"));
}

// A file made to go when it is closed goes when its client does.
TEST_F(FileRequests, AClientsFilesAreCleanedUpWhenItGoes) {
  uint32_t information = 99;
  Open(u"scratch.tmp", FILE_CREATE, FILE_DELETE_ON_CLOSE, &information);
  EXPECT_EQ(information, static_cast<uint32_t>(FILE_CREATED));
  uint64_t kept = Open(u"a.txt");
  EXPECT_NE(kept, 0u);
  EXPECT_TRUE(fs::exists(folder / "scratch.tmp"));
  EXPECT_EQ(client->Count(), 2u);
  client->CloseAll();
  EXPECT_FALSE(fs::exists(folder / "scratch.tmp"));
  EXPECT_EQ(client->Count(), 0u);
  CreateFileRequest again;
  again.objectName = u"\\DosDevices\\F:\\a.txt";
  again.desiredAccess = FILE_GENERIC_READ;
  again.disposition = FILE_OPEN;
  EXPECT_EQ(Serve(again), STATUS_PROCESS_IS_TERMINATING);
}

TEST_F(FileRequests, TheExtendedDeleteRecordCrossesWithItsLengthChecked) {
  uint64_t file = Open(u"a.txt");
  uint64_t other = Open(u"a.txt");
  const uint32_t flags = FILE_DISPOSITION_DELETE | FILE_DISPOSITION_POSIX_SEMANTICS;
  std::vector<uint8_t> record(sizeof(FILE_DISPOSITION_INFORMATION_EX));
  std::memcpy(record.data(), &flags, sizeof flags);
  EXPECT_EQ(Serve(SetInformationFileRequest{.object = file, .informationClass = FileDispositionInformationEx,
                                            .buffer = std::vector<uint8_t>(record.begin(), record.end() - 1)}),
            STATUS_INFO_LENGTH_MISMATCH);
  EXPECT_TRUE(fs::exists(folder / "a.txt"));
  ASSERT_EQ(Serve(SetInformationFileRequest{.object = file, .informationClass = FileDispositionInformationEx,
                                            .buffer = record}),
            STATUS_SUCCESS);
  // Gone at once, while both opens still hold the file.
  EXPECT_FALSE(fs::exists(folder / "a.txt"));
  ReadFileReply read;
  ASSERT_EQ(Serve(ReadFileRequest{.object = other, .offset = 0, .length = 5}, &read), STATUS_SUCCESS);
  EXPECT_EQ(read.data, (std::vector<uint8_t>{'a', 'l', 'p', 'h', 'a'}));
}

}  // namespace
