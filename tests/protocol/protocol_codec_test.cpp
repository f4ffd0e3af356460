// The request protocol's encoders and decoders: every kind round-trips, and every
// malformed message is refused with a status, never read past its end.
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "nb/protocol/protocol.h"
#include "request_samples.h"

namespace {

using namespace nb::protocol;
using Bytes = std::vector<uint8_t>;

Bytes Encoded(const Request& request) {
  Bytes message;
  EXPECT_EQ(EncodeRequest(request, &message), STATUS_SUCCESS);
  return message;
}

NTSTATUS Decode(const Bytes& message) {
  Request request;
  return DecodeRequest(message, &request);
}

void PutU32(Bytes& message, size_t offset, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) message[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A message whose length field is made to agree with its size again.
Bytes Resized(Bytes message, size_t size, uint8_t fill = 0) {
  message.resize(size, fill);
  if (size >= 4) PutU32(message, 0, static_cast<uint32_t>(size));
  return message;
}

// The body of a request after its header, written by hand.
Bytes Message(Kind kind, const Bytes& body, uint16_t version = kVersion) {
  Bytes message = {0,
                   0,
                   0,
                   0,
                   static_cast<uint8_t>(version),
                   static_cast<uint8_t>(version >> 8),
                   static_cast<uint8_t>(static_cast<uint16_t>(kind)),
                   static_cast<uint8_t>(static_cast<uint16_t>(kind) >> 8)};
  message.insert(message.end(), body.begin(), body.end());
  PutU32(message, 0, static_cast<uint32_t>(message.size()));
  return message;
}

Bytes U32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}
Bytes U64(uint64_t value) {
  Bytes low = U32(static_cast<uint32_t>(value));
  Bytes high = U32(static_cast<uint32_t>(value >> 32));
  low.insert(low.end(), high.begin(), high.end());
  return low;
}
Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(ProtocolCodec, EveryRequestKindRoundTrips) {
  std::vector<Kind> kinds;
  for (const Request& sample : protocol_samples::SampleRequests()) {
    Bytes message = Encoded(sample);
    ASSERT_EQ(message.size(), message[0] | (message[1] << 8) | (message[2] << 16) | (message[3] << 24));
    Request decoded;
    ASSERT_EQ(DecodeRequest(message, &decoded), STATUS_SUCCESS) << static_cast<int>(KindOf(sample));
    EXPECT_EQ(decoded, sample);
    EXPECT_EQ(RawKindOf(message), static_cast<uint16_t>(KindOf(sample)));
    kinds.push_back(KindOf(sample));
  }
  EXPECT_EQ(std::set<Kind>(kinds.begin(), kinds.end()).size(), std::variant_size_v<Request>)
      << "a sample of every kind";
}

TEST(ProtocolCodec, TheLayoutIsLittleEndianWithCountedUtf16) {
  OpenObjectRequest open;
  open.objectName = u"\\A\u00e9";
  open.desiredAccess = 0x01020304;
  Bytes expected = Message(Kind::kOpenObject, U32(0x01020304) + U32(0) + U32(0) + U32(0) + U32(0) + U32(3) +
                                                  Bytes{'\\', 0, 'A', 0, 0xE9, 0});
  EXPECT_EQ(Encoded(open), expected);
}

TEST(ProtocolCodec, EveryTruncationIsRefused) {
  for (const Request& sample : protocol_samples::SampleRequests()) {
    Bytes message = Encoded(sample);
    for (size_t size = 0; size < message.size(); ++size) {
      Bytes cut(message.begin(), message.begin() + static_cast<long>(size));
      EXPECT_EQ(Decode(cut), STATUS_INVALID_PARAMETER) << "cut at " << size;
      // Also with a header that agrees: the body itself is short.
      if (size >= kRequestHeaderBytes) {
        EXPECT_EQ(Decode(Resized(message, size)), STATUS_INVALID_PARAMETER) << "body cut at " << size;
      }
    }
  }
}

TEST(ProtocolCodec, TrailingBytesAndDisagreeingLengthsAreRefused) {
  for (const Request& sample : protocol_samples::SampleRequests()) {
    Bytes message = Encoded(sample);
    EXPECT_EQ(Decode(Resized(message, message.size() + 1)), STATUS_INVALID_PARAMETER);
    Bytes longer = message;
    longer.push_back(0);  // the length field still says one less
    EXPECT_EQ(Decode(longer), STATUS_INVALID_PARAMETER);
    Bytes claimsMore = message;
    PutU32(claimsMore, 0, static_cast<uint32_t>(message.size() + 1));
    EXPECT_EQ(Decode(claimsMore), STATUS_INVALID_PARAMETER);
  }
}

TEST(ProtocolCodec, HeadersOfAnotherVersionOrKindAreRefused) {
  Bytes close = U64(4);
  EXPECT_EQ(Decode(Message(Kind::kCloseObject, close)), STATUS_SUCCESS);
  for (uint16_t version : {0, 2, 0xFFFF}) {
    EXPECT_EQ(Decode(Message(Kind::kCloseObject, close, version)), STATUS_REVISION_MISMATCH) << version;
  }
  for (uint16_t kind : {0, 0x7F, 0x100, 0xFFFF}) {
    EXPECT_EQ(Decode(Message(static_cast<Kind>(kind), close)), STATUS_NOT_IMPLEMENTED) << kind;
  }
  Bytes huge = Message(Kind::kCloseObject, close);
  huge.resize(kMaxMessageBytes + 1);
  PutU32(huge, 0, static_cast<uint32_t>(huge.size()));
  EXPECT_EQ(Decode(huge), STATUS_INVALID_PARAMETER);
}

TEST(ProtocolCodec, CountsOverTheirCapsOrTheMessageAreRefused) {
  Bytes openFields = U32(0) + U32(0) + U32(0) + U32(0) + U32(0);
  Bytes longName(2 * (kMaxNameUnits + 1), 'a');
  Bytes bigInput(kMaxBufferBytes + 1, 0);
  Bytes valueData(kMaxValueDataBytes, 0x5A);
  struct Case {
    const char* what;
    Bytes message;
    NTSTATUS status;
  };
  const Case cases[] = {
      {"name at its cap", Message(Kind::kQuerySymbolicLink, U32(kMaxNameUnits) + Bytes(2 * kMaxNameUnits, 'a')),
       STATUS_SUCCESS},
      {"name over its cap", Message(Kind::kQuerySymbolicLink, U32(kMaxNameUnits + 1) + longName),
       STATUS_INVALID_PARAMETER},
      {"name longer than the message", Message(Kind::kOpenObject, openFields + U32(3) + Bytes{'a', 0, 'b', 0}),
       STATUS_INVALID_PARAMETER},
      {"odd byte of a name", Message(Kind::kListDirectory, U32(1) + Bytes{'a'}), STATUS_INVALID_PARAMETER},
      {"name count near 2^32", Message(Kind::kListDirectory, U32(0xFFFFFFFF) + Bytes{'a', 0}),
       STATUS_INVALID_PARAMETER},
      {"input over its cap",
       Message(Kind::kDeviceControl, U64(4) + U32(1) + U32(0) + U32(kMaxBufferBytes + 1) + bigInput),
       STATUS_INVALID_PARAMETER},
      {"input longer than the message", Message(Kind::kDeviceControl, U64(4) + U32(1) + U32(0) + U32(5) + Bytes{1, 2}),
       STATUS_INVALID_PARAMETER},
      {"output over its cap", Message(Kind::kDeviceControl, U64(4) + U32(1) + U32(kMaxBufferBytes + 1) + U32(0)),
       STATUS_INVALID_PARAMETER},
      {"output at its cap", Message(Kind::kDeviceControl, U64(4) + U32(1) + U32(kMaxBufferBytes) + U32(0)),
       STATUS_SUCCESS},
      {"volume length over its cap", Message(Kind::kQueryVolumeInformation, U64(4) + U32(1) + U32(kMaxBufferBytes + 1)),
       STATUS_INVALID_PARAMETER},
      {"wait for nothing", Message(Kind::kWaitForObjects, Bytes{0, 0} + U64(0) + U32(0)), STATUS_INVALID_PARAMETER},
      {"wait for 65", Message(Kind::kWaitForObjects, Bytes{0, 0} + U64(0) + U32(65) + Bytes(65 * 8, 0)),
       STATUS_INVALID_PARAMETER},
      {"wait count over the objects given",
       Message(Kind::kWaitForObjects, Bytes{0, 0} + U64(0) + U32(3) + U64(4) + U64(8)), STATUS_INVALID_PARAMETER},
      {"wait count under the objects given",
       Message(Kind::kWaitForObjects, Bytes{0, 0} + U64(0) + U32(1) + U64(4) + U64(8)), STATUS_INVALID_PARAMETER},
      {"a boolean of 2", Message(Kind::kSetEvent, U64(4) + Bytes{2}), STATUS_INVALID_PARAMETER},
      {"a boolean of 0xFF", Message(Kind::kCreateEvent, U32(4) + Bytes{0, 0xFF} + U32(0)), STATUS_INVALID_PARAMETER},
      {"key create flag of 2", Message(Kind::kOpenRegistryKey, U64(0) + U32(3) + U32(0) + Bytes{2} + U32(0)),
       STATUS_INVALID_PARAMETER},
      {"key path over its cap",
       Message(Kind::kOpenRegistryKey, U64(0) + U32(3) + U32(0) + Bytes{0} + U32(kMaxNameUnits + 1) + longName),
       STATUS_INVALID_PARAMETER},
      {"value name at its cap",
       Message(Kind::kQueryRegistryValue, U64(4) + U32(kMaxValueNameUnits) + Bytes(2 * kMaxValueNameUnits, 'a')),
       STATUS_SUCCESS},
      {"value name over its cap",
       Message(Kind::kDeleteRegistryValue,
               U64(4) + U32(kMaxValueNameUnits + 1) + Bytes(2 * (kMaxValueNameUnits + 1), 'a')),
       STATUS_INVALID_PARAMETER},
      {"value data at its cap",
       Message(Kind::kSetRegistryValue, U64(4) + U32(3) + U32(0) + U32(kMaxValueDataBytes) + valueData),
       STATUS_SUCCESS},
      {"value data over its cap",
       Message(Kind::kSetRegistryValue, U64(4) + U32(3) + U32(0) + U32(kMaxValueDataBytes + 1) + valueData + Bytes{0}),
       STATUS_INVALID_PARAMETER},
      {"value data longer than the message",
       Message(Kind::kSetRegistryValue, U64(4) + U32(4) + U32(0) + U32(4) + Bytes{1, 0}), STATUS_INVALID_PARAMETER},
      {"value name and data swapped",
       Message(Kind::kSetRegistryValue, U64(4) + U32(4) + U32(4) + Bytes{1, 0, 0, 0} + U32(1) + Bytes{'a', 0}),
       STATUS_INVALID_PARAMETER},
      {"enumeration without its index", Message(Kind::kEnumerateRegistryValue, U64(4)), STATUS_INVALID_PARAMETER},
      {"mutant owner flag of 2", Message(Kind::kCreateMutant, U32(4) + Bytes{2} + U32(0)), STATUS_INVALID_PARAMETER},
      {"mutant name over its cap",
       Message(Kind::kCreateMutant, U32(4) + Bytes{0} + U32(kMaxNameUnits + 1) + longName), STATUS_INVALID_PARAMETER},
      {"mutant open name longer than the message",
       Message(Kind::kOpenMutant, U32(4) + U32(1) + U32(3) + Bytes{'a', 0}), STATUS_INVALID_PARAMETER},
      {"mutant open without its name", Message(Kind::kOpenMutant, U32(4) + U32(1)), STATUS_INVALID_PARAMETER},
      {"release with a short object", Message(Kind::kReleaseMutant, U32(4)), STATUS_INVALID_PARAMETER},
      {"release with trailing bytes", Message(Kind::kReleaseMutant, U64(4) + Bytes{0}), STATUS_INVALID_PARAMETER},
      {"read length at its cap", Message(Kind::kReadFile, U64(4) + U64(0) + U32(kMaxBufferBytes)), STATUS_SUCCESS},
      {"read length over its cap", Message(Kind::kReadFile, U64(4) + U64(0) + U32(kMaxBufferBytes + 1)),
       STATUS_INVALID_PARAMETER},
      {"read at the file pointer", Message(Kind::kReadFile, U64(4) + U64(static_cast<uint64_t>(-2)) + U32(1)),
       STATUS_SUCCESS},
      {"read at a negative offset", Message(Kind::kReadFile, U64(4) + U64(static_cast<uint64_t>(-1)) + U32(1)),
       STATUS_INVALID_PARAMETER},
      {"write at a negative offset",
       Message(Kind::kWriteFile, U64(4) + U64(static_cast<uint64_t>(-3)) + U32(1) + Bytes{7}),
       STATUS_INVALID_PARAMETER},
      {"write data over its cap", Message(Kind::kWriteFile, U64(4) + U64(0) + U32(kMaxBufferBytes + 1) + bigInput),
       STATUS_INVALID_PARAMETER},
      {"write data longer than the message", Message(Kind::kWriteFile, U64(4) + U64(0) + U32(3) + Bytes{1}),
       STATUS_INVALID_PARAMETER},
      {"information length over its cap",
       Message(Kind::kQueryInformationFile, U64(4) + U32(5) + U32(kMaxBufferBytes + 1)), STATUS_INVALID_PARAMETER},
      {"set information over its cap",
       Message(Kind::kSetInformationFile, U64(4) + U32(20) + U32(kMaxBufferBytes + 1) + bigInput),
       STATUS_INVALID_PARAMETER},
      {"rename flag of 2", Message(Kind::kRenameFile, U64(4) + Bytes{2} + U32(1) + Bytes{'a', 0}),
       STATUS_INVALID_PARAMETER},
      {"rename name over its cap", Message(Kind::kRenameFile, U64(4) + Bytes{0} + U32(kMaxNameUnits + 1) + longName),
       STATUS_INVALID_PARAMETER},
      {"directory length over its cap",
       Message(Kind::kQueryDirectoryFile, U64(4) + U32(3) + Bytes{1, 0} + U32(kMaxBufferBytes + 1) + U32(0)),
       STATUS_INVALID_PARAMETER},
      {"directory restart flag of 2",
       Message(Kind::kQueryDirectoryFile, U64(4) + U32(3) + Bytes{2, 0} + U32(16) + U32(0)), STATUS_INVALID_PARAMETER},
      {"directory pattern longer than the message",
       Message(Kind::kQueryDirectoryFile, U64(4) + U32(3) + Bytes{1, 0} + U32(16) + U32(2) + Bytes{'*', 0}),
       STATUS_INVALID_PARAMETER},
      {"create file without its name", Message(Kind::kCreateFile, openFields), STATUS_INVALID_PARAMETER},
      {"flush with trailing bytes", Message(Kind::kFlushFile, U64(4) + Bytes{0}), STATUS_INVALID_PARAMETER},
      {"service wait longer than the cap", Message(Kind::kWaitServiceControl, U32(0) + U64(0) + U32(5001)),
       STATUS_INVALID_PARAMETER},
      {"service name over its cap", Message(Kind::kOpenService, U64(4) + U32(4) + U32(257) + Bytes(514, 'a')),
       STATUS_INVALID_PARAMETER},
      {"more start arguments than allowed", Message(Kind::kStartService, U64(4) + U32(65) + Bytes(65 * 4, 0)),
       STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) EXPECT_EQ(Decode(c.message), c.status) << c.what;
}

TEST(ProtocolCodec, TheEncoderRefusesWhatTheDecoderWould) {
  QuerySymbolicLinkRequest link;
  link.linkName.assign(kMaxNameUnits + 1, u'a');
  DeviceControlRequest control;
  control.input.resize(kMaxBufferBytes + 1);
  DeviceControlRequest output;
  output.outputLength = kMaxBufferBytes + 1;
  WaitForObjectsRequest none;
  WaitForObjectsRequest many;
  many.objects.assign(kMaxWaitObjects + 1, 4);
  QueryVolumeInformationRequest volume;
  volume.length = kMaxBufferBytes + 1;
  OpenRegistryKeyRequest keyPath;
  keyPath.subKey.assign(kMaxNameUnits + 1, u'k');
  SetRegistryValueRequest bigValue;
  bigValue.data.resize(kMaxValueDataBytes + 1);
  QueryRegistryValueRequest valueName;
  valueName.name.assign(kMaxValueNameUnits + 1, u'v');
  CreateMutantRequest mutantName;
  mutantName.objectName.assign(kMaxNameUnits + 1, u'm');
  OpenMutantRequest openMutantName;
  openMutantName.objectName.assign(kMaxNameUnits + 1, u'm');
  AddVolumeRequest longFolder;
  longFolder.folder.assign(kMaxVolumePathBytes + 1, 'f');
  AddVolumeRequest longMount;
  longMount.mountPath = "/" + std::string(kMaxVolumePathBytes, 'm');
  InsertVolumeRequest nulInFolder;
  nulInFolder.folder = std::string("/media\0/x", 9);
  ReadFileRequest bigRead;
  bigRead.length = kMaxBufferBytes + 1;
  ReadFileRequest backwards;
  backwards.offset = -1;
  WriteFileRequest bigWrite;
  bigWrite.data.resize(kMaxBufferBytes + 1);
  QueryDirectoryFileRequest bigListing;
  bigListing.length = kMaxBufferBytes + 1;
  for (const Request& request :
       std::vector<Request>{link, control, output, none, many, volume, keyPath, bigValue, valueName, mutantName,
                            openMutantName, longFolder, longMount, nulInFolder, bigRead, backwards, bigWrite,
                            bigListing}) {
    Bytes message{1, 2, 3};
    EXPECT_EQ(EncodeRequest(request, &message), STATUS_INVALID_PARAMETER) << static_cast<int>(KindOf(request));
    EXPECT_TRUE(message.empty());
  }
}

// Replies.

std::vector<Reply> SampleReplies() {
  DeviceControlReply control{.returned = 9, .output = {1, 2, 3}};
  ListDirectoryReply list{.names = {u"C:", u"Global", u""}};
  QueryVolumeInformationReply volume{.returned = 8, .buffer = {1, 2, 3, 4, 5, 6, 7, 8}};
  QueryRegistryKeyReply keyInfo{.subKeys = 2,
                                .maxSubKeyNameLength = 8,
                                .values = 3,
                                .maxValueNameLength = 7,
                                .maxValueDataLength = 1 << 20,
                                .lastWriteTime = 133'000'000'000'000'000};
  QueryRegistryValueReply value{.type = 1, .data = {'N', 0, 'b', 0, 0, 0}};
  EnumerateRegistryValueReply enumValue{.name = u"Version", .type = 4, .data = {1, 0, 0, 0}};
  QueryVolumesReply volumes;
  volumes.volumes.push_back(VolumeEntry{.letter = 'C',
                                        .type = 0,
                                        .serial = 0x4E420001,
                                        .present = true,
                                        .folder = "/var/lib/nimbra/volumes/4E420001",
                                        .accessFolder = "/var/lib/nimbra/volumes/4E420001"});
  volumes.volumes.push_back(VolumeEntry{.letter = 'E',
                                        .type = 1,
                                        .serial = 0x1234ABCD,
                                        .overmount = true,
                                        .folder = "/media/stick",
                                        .mountPath = ""});
  return {OpenObjectReply{.object = 4},
          control,
          CloseObjectReply{},
          CreateEventReply{.object = 8},
          OpenEventReply{.object = 12},
          SetEventReply{},
          WaitForObjectsReply{},
          QuerySymbolicLinkReply{.target = u"\\Device\\HarddiskVolume1"},
          list,
          volume,
          OpenRegistryKeyReply{.key = 16, .disposition = 1},
          DeleteRegistryKeyReply{},
          EnumerateRegistryKeyReply{.name = u"Settings", .lastWriteTime = -1},
          keyInfo,
          value,
          SetRegistryValueReply{},
          DeleteRegistryValueReply{},
          enumValue,
          EnumerateRegistryValueReply{},  // the default value, empty
          CreateMutantReply{.object = 16},
          OpenMutantReply{.object = 20},
          ReleaseMutantReply{.previousCount = -2},
          volumes,
          QueryVolumesReply{},
          AddVolumeReply{.serial = 0x1234ABCD},
          EjectVolumeReply{},
          InsertVolumeReply{.letter = 'G', .serial = 0x1234ABCD},
          CreateFileReply{.object = 24, .information = 2},
          ReadFileReply{.data = {'d', 'a', 't', 'a'}},
          ReadFileReply{},  // nothing read
          WriteFileReply{.written = 4},
          QueryInformationFileReply{.returned = 8, .buffer = {8, 0, 0, 0, 0, 0, 0, 0}},
          SetInformationFileReply{},
          RenameFileReply{},
          QueryDirectoryFileReply{.returned = 3, .buffer = {1, 2, 3}},
          FlushFileReply{},
          OpenServiceManagerReply{.object = 28},
          CreateServiceReply{.object = 32},
          OpenServiceReply{.object = 36},
          DeleteServiceReply{},
          StartServiceReply{},
          ControlServiceReply{.status = {.serviceType = 0x10, .currentState = 3, .controlsAccepted = 1,
                                         .checkPoint = 1, .waitHint = 3000, .processId = 1234}},
          QueryServiceStatusReply{.status = {.serviceType = 1, .currentState = 1, .win32ExitCode = 1067}},
          ConnectServiceDispatcherReply{.name = u"NB Service"},
          WaitServiceControlReply{.command = 1, .arguments = {u"NB Service", u"/debug"}},
          WaitServiceControlReply{.command = 2, .sequence = 9, .control = 5},
          SetServiceStatusReply{}};
}

TEST(ProtocolCodec, ThereIsASampleReplyOfEveryKind) {
  std::set<Kind> kinds;
  for (const Reply& sample : SampleReplies()) kinds.insert(KindOf(sample));
  EXPECT_EQ(kinds.size(), std::variant_size_v<Reply>);
}

TEST(ProtocolCodec, EveryReplyKindRoundTripsWithItsStatus) {
  for (const Reply& sample : SampleReplies()) {
    for (NTSTATUS status : {STATUS_SUCCESS, STATUS_OBJECT_NAME_EXISTS, STATUS_BUFFER_OVERFLOW, STATUS_TIMEOUT}) {
      NTSTATUS replied = 0;
      Reply decoded;
      ASSERT_EQ(DecodeReply(EncodeReply(status, sample), KindOf(sample), &replied, &decoded), STATUS_SUCCESS);
      EXPECT_EQ(replied, status);
      EXPECT_EQ(decoded, sample);
    }
  }
}

TEST(ProtocolCodec, AFailedReplyCarriesNoBody) {
  for (const Reply& sample : SampleReplies()) {
    Bytes message = EncodeReply(STATUS_ACCESS_DENIED, sample);
    EXPECT_EQ(message.size(), kReplyHeaderBytes);
    NTSTATUS replied = 0;
    Reply decoded;
    ASSERT_EQ(DecodeReply(message, KindOf(sample), &replied, &decoded), STATUS_SUCCESS);
    EXPECT_EQ(replied, STATUS_ACCESS_DENIED);
    EXPECT_EQ(KindOf(decoded), KindOf(sample));
  }
  // A body after a failure is not what the encoder makes.
  Bytes withBody = EncodeReply(STATUS_SUCCESS, OpenObjectReply{.object = 4});
  PutU32(withBody, 8, static_cast<uint32_t>(STATUS_ACCESS_DENIED));
  NTSTATUS replied;
  Reply decoded;
  EXPECT_EQ(DecodeReply(withBody, Kind::kOpenObject, &replied, &decoded), STATUS_INVALID_PARAMETER);
}

TEST(ProtocolCodec, MalformedRepliesAreRefused) {
  NTSTATUS replied;
  Reply decoded;
  for (const Reply& sample : SampleReplies()) {
    Bytes message = EncodeReply(STATUS_SUCCESS, sample);
    EXPECT_EQ(DecodeReply(message, sample.index() == 0 ? Kind::kCloseObject : Kind::kOpenObject, &replied, &decoded),
              STATUS_INVALID_PARAMETER)
        << "answers another request";
    for (size_t size = 0; size < message.size(); ++size) {
      Bytes cut(message.begin(), message.begin() + static_cast<long>(size));
      EXPECT_NE(DecodeReply(cut, KindOf(sample), &replied, &decoded), STATUS_SUCCESS) << size;
      if (size >= kReplyHeaderBytes) {
        EXPECT_EQ(DecodeReply(Resized(message, size), KindOf(sample), &replied, &decoded), STATUS_INVALID_PARAMETER);
      }
    }
    EXPECT_EQ(DecodeReply(Resized(message, message.size() + 1), KindOf(sample), &replied, &decoded),
              STATUS_INVALID_PARAMETER);
    Bytes otherVersion = message;
    otherVersion[4] = 2;
    EXPECT_EQ(DecodeReply(otherVersion, KindOf(sample), &replied, &decoded), STATUS_REVISION_MISMATCH);
  }
}

TEST(ProtocolCodec, AServiceCommandOutsideTheKnownOnesIsRefused) {
  Bytes message = EncodeReply(STATUS_SUCCESS, WaitServiceControlReply{.command = 3});
  NTSTATUS replied;
  Reply decoded;
  ASSERT_EQ(DecodeReply(message, Kind::kWaitServiceControl, &replied, &decoded), STATUS_SUCCESS);
  message[kReplyHeaderBytes] = 4;
  EXPECT_EQ(DecodeReply(message, Kind::kWaitServiceControl, &replied, &decoded), STATUS_INVALID_PARAMETER);
}

TEST(ProtocolCodec, AReplyTooLargeForOneMessageBecomesARefusal) {
  ListDirectoryReply list;
  list.names.assign(8, std::u16string(kMaxNameUnits, u'x'));  // 8 * 64 KiB
  Bytes message = EncodeReply(STATUS_SUCCESS, list);
  NTSTATUS replied;
  Reply decoded;
  ASSERT_EQ(DecodeReply(message, Kind::kListDirectory, &replied, &decoded), STATUS_SUCCESS);
  EXPECT_EQ(replied, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(std::get<ListDirectoryReply>(decoded).names.empty());

  // A registry value's data over its cap does not travel either.
  QueryRegistryValueReply value{.type = 3, .data = Bytes(kMaxValueDataBytes + 1, 1)};
  ASSERT_EQ(DecodeReply(EncodeReply(STATUS_SUCCESS, value), Kind::kQueryRegistryValue, &replied, &decoded),
            STATUS_SUCCESS);
  EXPECT_EQ(replied, STATUS_INSUFFICIENT_RESOURCES);

  ListDirectoryReply many;
  many.names.assign(kMaxListedNames + 1, u"");
  ASSERT_EQ(DecodeReply(EncodeReply(STATUS_SUCCESS, many), Kind::kListDirectory, &replied, &decoded), STATUS_SUCCESS);
  EXPECT_EQ(replied, STATUS_INSUFFICIENT_RESOURCES);
}

TEST(ProtocolCodec, ARefusalAnswersInKind) {
  Bytes refusal = EncodeRefusal(static_cast<uint16_t>(Kind::kWaitForObjects), STATUS_REVISION_MISMATCH);
  NTSTATUS replied;
  Reply decoded;
  ASSERT_EQ(DecodeReply(refusal, Kind::kWaitForObjects, &replied, &decoded), STATUS_SUCCESS);
  EXPECT_EQ(replied, STATUS_REVISION_MISMATCH);
  // A refusal is always a failure, whatever it was given.
  ASSERT_EQ(DecodeReply(EncodeRefusal(1, STATUS_SUCCESS), Kind::kOpenObject, &replied, &decoded), STATUS_SUCCESS);
  EXPECT_TRUE(NT_ERROR(replied));
  EXPECT_EQ(RawKindOf(Bytes{1, 2, 3}), 0);
}

// A volume list's reply as the host would send it, with its body written by hand.
Bytes VolumesReply(const Bytes& body) {
  Bytes message = Message(Kind::kQueryVolumes, U32(0) + body);
  // A reply header is the request header and a status.
  return message;
}

TEST(ProtocolCodec, VolumeMessagesWithBadCountsTypesOrPathsAreRefused) {
  Bytes path = U32(3) + Bytes{'/', 'm', 'n'};
  Bytes nulPath = U32(3) + Bytes{'/', 0, 'n'};
  Bytes fixedPart = Bytes{'E', 1} + U32(0x1234) + Bytes{1, 0};
  Bytes entry = fixedPart + path + path + path;
  NTSTATUS replied;
  Reply decoded;
  ASSERT_EQ(DecodeReply(VolumesReply(U32(1) + entry), Kind::kQueryVolumes, &replied, &decoded), STATUS_SUCCESS);
  ASSERT_EQ(std::get<QueryVolumesReply>(decoded).volumes.size(), 1u);
  EXPECT_EQ(std::get<QueryVolumesReply>(decoded).volumes[0].folder, "/mn");

  Bytes badType = entry;
  badType[1] = kMaxVolumeType + 1;
  Bytes tooMany = U32(static_cast<uint32_t>(kMaxVolumes + 1));
  for (size_t i = 0; i <= kMaxVolumes; ++i) tooMany = tooMany + entry;
  for (const Bytes& body : {U32(2) + entry,             // claims more entries than it holds
                            U32(0x10000000) + entry,    // a count far past the message
                            U32(1) + badType,           // a type nobody knows
                            U32(1) + fixedPart + nulPath + path + path,
                            U32(1) + fixedPart + path + path + U32(9) + Bytes{'/'},  // a path past the end
                            tooMany}) {
    EXPECT_EQ(DecodeReply(VolumesReply(body), Kind::kQueryVolumes, &replied, &decoded), STATUS_INVALID_PARAMETER);
  }

  // Requests: a NUL inside a folder, a boolean other than 0 or 1.
  Bytes addFixed = Bytes{'E', 0, 0} + U32(0) + Bytes{0};
  EXPECT_EQ(Decode(Message(Kind::kAddVolume, addFixed + path + U32(0))), STATUS_SUCCESS);
  EXPECT_EQ(Decode(Message(Kind::kAddVolume, addFixed + nulPath + U32(0))), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Decode(Message(Kind::kAddVolume, Bytes{'E', 2, 0} + U32(0) + Bytes{0} + path + U32(0))),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Decode(Message(Kind::kInsertVolume, Bytes{'E'} + nulPath)), STATUS_INVALID_PARAMETER);
}

}  // namespace
