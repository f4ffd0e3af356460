// The request protocol between libnbwin and the machine. Every call that needs the machine
// is one request message and one reply message with fixed little-endian layouts:
//
//   request = header, body          header = u32 length (whole message), u16 version, u16 kind
//   reply   = header, i32 status, body (empty when the status is an error)
//
// Strings are u32 unit counts followed by UTF-16LE units, byte buffers u32 counts followed
// by the bytes. Objects are handle values in the calling process's table on the machine;
// no pointer ever crosses. One encoder and one decoder per direction (codec.cpp), and the
// decoders check every length against the message and the caps below before reading.
//
// Adding a request (processes, services ...): a Kind, a request and a
// reply struct naming each other, their layouts (layouts.h, messages.cpp), the
// alternatives in Request and Reply, a handler in platform/server and a transport method.
// A new kind needs no new version: a machine that does not know it answers
// STATUS_NOT_IMPLEMENTED. A changed layout does.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "ntstatus.h"

namespace nb::protocol {

inline constexpr uint16_t kVersion = 1;
inline constexpr size_t kRequestHeaderBytes = 8;
inline constexpr size_t kReplyHeaderBytes = 12;
// Below the default send buffer of a Unix socket, so one message is one datagram.
inline constexpr size_t kMaxMessageBytes = 192 * 1024;
inline constexpr size_t kMaxNameUnits = 32767;        // UNICODE_STRING's limit
inline constexpr size_t kMaxBufferBytes = 64 * 1024;  // device-control and query buffers
inline constexpr size_t kMaxWaitObjects = 64;         // MAXIMUM_WAIT_OBJECTS
inline constexpr size_t kMaxListedNames = 16384;
// Registry names: a key path as one counted NT name (kMaxNameUnits), a subkey's own name
// and a value's name as the hive limits them.
inline constexpr size_t kMaxKeyNameUnits = 255;
inline constexpr size_t kMaxValueNameUnits = 16383;
// A registry value's data on the wire. The hive keeps up to 1 MiB, but a message must stay
// one datagram, so data over this cap does not travel: a set of it is refused by the
// client before anything is sent, and a query or enumeration of a longer value stored by
// other means fails with STATUS_INSUFFICIENT_RESOURCES (ERROR_NO_SYSTEM_RESOURCES) rather
// than hand back part of it. The largest registry message (a value's enumeration: name
// and data at their caps) stays below kMaxMessageBytes.
inline constexpr size_t kMaxValueDataBytes = 128 * 1024;

enum class Kind : uint16_t {
  kOpenObject = 1,
  kDeviceControl = 2,
  kCloseObject = 3,
  kCreateEvent = 4,
  kOpenEvent = 5,
  kSetEvent = 6,
  kWaitForObjects = 7,
  kQuerySymbolicLink = 8,
  kListDirectory = 9,
  kQueryVolumeInformation = 10,
  kOpenRegistryKey = 11,
  kDeleteRegistryKey = 12,
  kEnumerateRegistryKey = 13,
  kQueryRegistryKey = 14,
  kQueryRegistryValue = 15,
  kSetRegistryValue = 16,
  kDeleteRegistryValue = 17,
  kEnumerateRegistryValue = 18,
  kCreateMutant = 19,
  kOpenMutant = 20,
  kReleaseMutant = 21,
  kQueryVolumes = 22,
  kAddVolume = 23,
  kEjectVolume = 24,
  kInsertVolume = 25,
  kCreateFile = 26,
  kReadFile = 27,
  kWriteFile = 28,
  kQueryInformationFile = 29,
  kSetInformationFile = 30,
  kRenameFile = 31,
  kQueryDirectoryFile = 32,
  kFlushFile = 33,
  kOpenServiceManager = 34,
  kCreateService = 35,
  kOpenService = 36,
  kDeleteService = 37,
  kStartService = 38,
  kControlService = 39,
  kQueryServiceStatus = 40,
  kConnectServiceDispatcher = 41,
  kWaitServiceControl = 42,
  kSetServiceStatus = 43,
};

// Each request names the reply that answers it (ReplyType).
struct OpenObjectReply;
struct DeviceControlReply;
struct CloseObjectReply;
struct CreateEventReply;
struct OpenEventReply;
struct SetEventReply;
struct WaitForObjectsReply;
struct QuerySymbolicLinkReply;
struct ListDirectoryReply;
struct QueryVolumeInformationReply;
struct OpenRegistryKeyReply;
struct DeleteRegistryKeyReply;
struct EnumerateRegistryKeyReply;
struct QueryRegistryKeyReply;
struct QueryRegistryValueReply;
struct SetRegistryValueReply;
struct DeleteRegistryValueReply;
struct EnumerateRegistryValueReply;
struct CreateMutantReply;
struct OpenMutantReply;
struct ReleaseMutantReply;
struct QueryVolumesReply;
struct AddVolumeReply;
struct EjectVolumeReply;
struct InsertVolumeReply;
struct CreateFileReply;
struct ReadFileReply;
struct WriteFileReply;
struct QueryInformationFileReply;
struct SetInformationFileReply;
struct RenameFileReply;
struct QueryDirectoryFileReply;
struct FlushFileReply;
struct OpenServiceManagerReply;
struct CreateServiceReply;
struct OpenServiceReply;
struct DeleteServiceReply;
struct StartServiceReply;
struct ControlServiceReply;
struct QueryServiceStatusReply;
struct ConnectServiceDispatcherReply;
struct WaitServiceControlReply;
struct SetServiceStatusReply;

// IRP_MJ_CREATE of an object-manager name.
struct OpenObjectRequest {
  static constexpr Kind kKind = Kind::kOpenObject;
  bool operator==(const OpenObjectRequest&) const = default;
  using ReplyType = OpenObjectReply;
  std::u16string objectName;
  uint32_t desiredAccess = 0;
  uint32_t shareAccess = 0;
  uint32_t disposition = 0;
  uint32_t options = 0;
  uint32_t fileAttributes = 0;
};
struct OpenObjectReply {
  static constexpr Kind kKind = Kind::kOpenObject;
  bool operator==(const OpenObjectReply&) const = default;
  uint64_t object = 0;
};

// METHOD_BUFFERED device control; the reply carries at most outputLength bytes.
struct DeviceControlRequest {
  static constexpr Kind kKind = Kind::kDeviceControl;
  bool operator==(const DeviceControlRequest&) const = default;
  using ReplyType = DeviceControlReply;
  uint64_t object = 0;
  uint32_t code = 0;
  uint32_t outputLength = 0;
  std::vector<uint8_t> input;
};
struct DeviceControlReply {
  static constexpr Kind kKind = Kind::kDeviceControl;
  bool operator==(const DeviceControlReply&) const = default;
  uint32_t returned = 0;  // what the driver reported, which may exceed the output
  std::vector<uint8_t> output;
};

struct CloseObjectRequest {
  static constexpr Kind kKind = Kind::kCloseObject;
  bool operator==(const CloseObjectRequest&) const = default;
  using ReplyType = CloseObjectReply;
  uint64_t object = 0;
};
struct CloseObjectReply {
  static constexpr Kind kKind = Kind::kCloseObject;
  bool operator==(const CloseObjectReply&) const = default;
};

// Events are filed in the caller's kernel handle table under `handle`, the value the
// caller's library gave them (0: the kernel chooses).
struct CreateEventRequest {
  static constexpr Kind kKind = Kind::kCreateEvent;
  bool operator==(const CreateEventRequest&) const = default;
  using ReplyType = CreateEventReply;
  uint32_t handle = 0;
  bool manualReset = false;
  bool initialState = false;
  std::u16string objectName;  // empty: unnamed
};
struct CreateEventReply {
  static constexpr Kind kKind = Kind::kCreateEvent;
  bool operator==(const CreateEventReply&) const = default;
  uint64_t object = 0;
};

struct OpenEventRequest {
  static constexpr Kind kKind = Kind::kOpenEvent;
  bool operator==(const OpenEventRequest&) const = default;
  using ReplyType = OpenEventReply;
  uint32_t handle = 0;
  uint32_t desiredAccess = 0;
  std::u16string objectName;
};
struct OpenEventReply {
  static constexpr Kind kKind = Kind::kOpenEvent;
  bool operator==(const OpenEventReply&) const = default;
  uint64_t object = 0;
};

struct SetEventRequest {
  static constexpr Kind kKind = Kind::kSetEvent;
  bool operator==(const SetEventRequest&) const = default;
  using ReplyType = SetEventReply;
  uint64_t object = 0;
  bool signalled = false;  // false resets
};
struct SetEventReply {
  static constexpr Kind kKind = Kind::kSetEvent;
  bool operator==(const SetEventReply&) const = default;
};

// Mutants, filed like events. Ownership belongs to the thread the request is served on,
// which stands for the calling thread (one connection per calling thread).
struct CreateMutantRequest {
  static constexpr Kind kKind = Kind::kCreateMutant;
  bool operator==(const CreateMutantRequest&) const = default;
  using ReplyType = CreateMutantReply;
  uint32_t handle = 0;
  bool initialOwner = false;  // ignored when the name exists
  std::u16string objectName;  // empty: unnamed
};
struct CreateMutantReply {
  static constexpr Kind kKind = Kind::kCreateMutant;
  bool operator==(const CreateMutantReply&) const = default;
  uint64_t object = 0;
};

struct OpenMutantRequest {
  static constexpr Kind kKind = Kind::kOpenMutant;
  bool operator==(const OpenMutantRequest&) const = default;
  using ReplyType = OpenMutantReply;
  uint32_t handle = 0;
  uint32_t desiredAccess = 0;
  std::u16string objectName;
};
struct OpenMutantReply {
  static constexpr Kind kKind = Kind::kOpenMutant;
  bool operator==(const OpenMutantReply&) const = default;
  uint64_t object = 0;
};

// STATUS_MUTANT_NOT_OWNED when the calling thread does not own it.
struct ReleaseMutantRequest {
  static constexpr Kind kKind = Kind::kReleaseMutant;
  bool operator==(const ReleaseMutantRequest&) const = default;
  using ReplyType = ReleaseMutantReply;
  uint64_t object = 0;
};
struct ReleaseMutantReply {
  static constexpr Kind kKind = Kind::kReleaseMutant;
  bool operator==(const ReleaseMutantReply&) const = default;
  int32_t previousCount = 0;
};

// The reply's status is the wait's: STATUS_WAIT_0 + index, STATUS_ABANDONED_WAIT_0 + index
// (a mutant whose owner went away was taken), STATUS_TIMEOUT or a failure.
struct WaitForObjectsRequest {
  static constexpr Kind kKind = Kind::kWaitForObjects;
  bool operator==(const WaitForObjectsRequest&) const = default;
  using ReplyType = WaitForObjectsReply;
  std::vector<uint64_t> objects;  // 1 to kMaxWaitObjects
  bool waitAll = false;
  bool hasTimeout = false;  // false waits for ever
  int64_t timeout = 0;      // NT time-out: negative relative, positive absolute, 100 ns units
};
struct WaitForObjectsReply {
  static constexpr Kind kKind = Kind::kWaitForObjects;
  bool operator==(const WaitForObjectsReply&) const = default;
};

struct QuerySymbolicLinkRequest {
  static constexpr Kind kKind = Kind::kQuerySymbolicLink;
  bool operator==(const QuerySymbolicLinkRequest&) const = default;
  using ReplyType = QuerySymbolicLinkReply;
  std::u16string linkName;
};
struct QuerySymbolicLinkReply {
  static constexpr Kind kKind = Kind::kQuerySymbolicLink;
  bool operator==(const QuerySymbolicLinkReply&) const = default;
  std::u16string target;
};

struct ListDirectoryRequest {
  static constexpr Kind kKind = Kind::kListDirectory;
  bool operator==(const ListDirectoryRequest&) const = default;
  using ReplyType = ListDirectoryReply;
  std::u16string directory;
};
struct ListDirectoryReply {
  static constexpr Kind kKind = Kind::kListDirectory;
  bool operator==(const ListDirectoryReply&) const = default;
  std::vector<std::u16string> names;
};

// NtQueryVolumeInformationFile; the reply carries at most `length` bytes.
struct QueryVolumeInformationRequest {
  static constexpr Kind kKind = Kind::kQueryVolumeInformation;
  bool operator==(const QueryVolumeInformationRequest&) const = default;
  using ReplyType = QueryVolumeInformationReply;
  uint64_t object = 0;
  uint32_t informationClass = 0;
  uint32_t length = 0;
};
struct QueryVolumeInformationReply {
  static constexpr Kind kKind = Kind::kQueryVolumeInformation;
  bool operator==(const QueryVolumeInformationReply&) const = default;
  uint32_t returned = 0;
  std::vector<uint8_t> buffer;
};

// The registry. Keys are objects of the caller's table like any other (CloseObject closes
// them); each request acts with the rights the key was opened with, and an open with the
// caller's Linux user, which the machine knows from the connection, never from a message.

// A key below the open key `parent`, or below the predefined `root` (nb::RegistryRoot)
// when `parent` is 0; `create` makes it and the missing keys above it.
struct OpenRegistryKeyRequest {
  static constexpr Kind kKind = Kind::kOpenRegistryKey;
  bool operator==(const OpenRegistryKeyRequest&) const = default;
  using ReplyType = OpenRegistryKeyReply;
  uint64_t parent = 0;
  uint32_t root = 0;
  uint32_t desiredAccess = 0;
  bool create = false;
  std::u16string subKey;  // a path of names, up to kMaxNameUnits
};
struct OpenRegistryKeyReply {
  static constexpr Kind kKind = Kind::kOpenRegistryKey;
  bool operator==(const OpenRegistryKeyReply&) const = default;
  uint64_t key = 0;
  uint32_t disposition = 0;  // REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY
};

// Deletes the key itself (opened with DELETE); it must have no subkeys.
struct DeleteRegistryKeyRequest {
  static constexpr Kind kKind = Kind::kDeleteRegistryKey;
  bool operator==(const DeleteRegistryKeyRequest&) const = default;
  using ReplyType = DeleteRegistryKeyReply;
  uint64_t key = 0;
};
struct DeleteRegistryKeyReply {
  static constexpr Kind kKind = Kind::kDeleteRegistryKey;
  bool operator==(const DeleteRegistryKeyReply&) const = default;
};

// The index-th subkey; STATUS_NO_MORE_ENTRIES past the last.
struct EnumerateRegistryKeyRequest {
  static constexpr Kind kKind = Kind::kEnumerateRegistryKey;
  bool operator==(const EnumerateRegistryKeyRequest&) const = default;
  using ReplyType = EnumerateRegistryKeyReply;
  uint64_t key = 0;
  uint32_t index = 0;
};
struct EnumerateRegistryKeyReply {
  static constexpr Kind kKind = Kind::kEnumerateRegistryKey;
  bool operator==(const EnumerateRegistryKeyReply&) const = default;
  std::u16string name;  // up to kMaxKeyNameUnits
  int64_t lastWriteTime = 0;
};

// RegQueryInfoKeyW's counts and lengths (nb::RegistryKeyInfo).
struct QueryRegistryKeyRequest {
  static constexpr Kind kKind = Kind::kQueryRegistryKey;
  bool operator==(const QueryRegistryKeyRequest&) const = default;
  using ReplyType = QueryRegistryKeyReply;
  uint64_t key = 0;
};
struct QueryRegistryKeyReply {
  static constexpr Kind kKind = Kind::kQueryRegistryKey;
  bool operator==(const QueryRegistryKeyReply&) const = default;
  uint32_t subKeys = 0;
  uint32_t maxSubKeyNameLength = 0;
  uint32_t values = 0;
  uint32_t maxValueNameLength = 0;
  uint32_t maxValueDataLength = 0;
  int64_t lastWriteTime = 0;
};

// A value whole; the empty name is the key's default value.
struct QueryRegistryValueRequest {
  static constexpr Kind kKind = Kind::kQueryRegistryValue;
  bool operator==(const QueryRegistryValueRequest&) const = default;
  using ReplyType = QueryRegistryValueReply;
  uint64_t key = 0;
  std::u16string name;  // up to kMaxValueNameUnits
};
struct QueryRegistryValueReply {
  static constexpr Kind kKind = Kind::kQueryRegistryValue;
  bool operator==(const QueryRegistryValueReply&) const = default;
  uint32_t type = 0;
  std::vector<uint8_t> data;  // up to kMaxValueDataBytes
};

struct SetRegistryValueRequest {
  static constexpr Kind kKind = Kind::kSetRegistryValue;
  bool operator==(const SetRegistryValueRequest&) const = default;
  using ReplyType = SetRegistryValueReply;
  uint64_t key = 0;
  uint32_t type = 0;
  std::u16string name;        // up to kMaxValueNameUnits
  std::vector<uint8_t> data;  // up to kMaxValueDataBytes
};
struct SetRegistryValueReply {
  static constexpr Kind kKind = Kind::kSetRegistryValue;
  bool operator==(const SetRegistryValueReply&) const = default;
};

struct DeleteRegistryValueRequest {
  static constexpr Kind kKind = Kind::kDeleteRegistryValue;
  bool operator==(const DeleteRegistryValueRequest&) const = default;
  using ReplyType = DeleteRegistryValueReply;
  uint64_t key = 0;
  std::u16string name;  // up to kMaxValueNameUnits
};
struct DeleteRegistryValueReply {
  static constexpr Kind kKind = Kind::kDeleteRegistryValue;
  bool operator==(const DeleteRegistryValueReply&) const = default;
};

// The index-th value, whole; STATUS_NO_MORE_ENTRIES past the last.
struct EnumerateRegistryValueRequest {
  static constexpr Kind kKind = Kind::kEnumerateRegistryValue;
  bool operator==(const EnumerateRegistryValueRequest&) const = default;
  using ReplyType = EnumerateRegistryValueReply;
  uint64_t key = 0;
  uint32_t index = 0;
};
struct EnumerateRegistryValueReply {
  static constexpr Kind kKind = Kind::kEnumerateRegistryValue;
  bool operator==(const EnumerateRegistryValueReply&) const = default;
  std::u16string name;  // up to kMaxValueNameUnits
  uint32_t type = 0;
  std::vector<uint8_t> data;  // up to kMaxValueDataBytes
};

// The machine's volumes. Host paths travel as their bytes (no NUL), up to this many.
inline constexpr size_t kMaxVolumePathBytes = 1024;
// The volumes a machine keeps, present and ejected alike.
inline constexpr size_t kMaxVolumes = 48;
// Volume types: fixed, removable, remote, CD-ROM.
inline constexpr uint8_t kMaxVolumeType = 3;

// One volume: its letter ('A'..'Z'), type, serial and whether its medium is in (an ejected
// volume is kept for its insertion), its backing folder, the mount point recorded for it
// (empty: the default) or overmounting of the folder itself, and the folder in which
// processes reach its files now.
struct VolumeEntry {
  bool operator==(const VolumeEntry&) const = default;
  uint8_t letter = 0;
  uint8_t type = 0;
  uint32_t serial = 0;
  bool present = false;
  bool overmount = false;
  std::string folder;
  std::string mountPath;
  std::string accessFolder;
};
inline constexpr size_t kVolumeEntryMinBytes = 1 + 1 + 4 + 1 + 1 + 3 * 4;

// Every volume the machine keeps, in letter order.
struct QueryVolumesRequest {
  static constexpr Kind kKind = Kind::kQueryVolumes;
  bool operator==(const QueryVolumesRequest&) const = default;
  using ReplyType = QueryVolumesReply;
};
struct QueryVolumesReply {
  static constexpr Kind kKind = Kind::kQueryVolumes;
  bool operator==(const QueryVolumesReply&) const = default;
  std::vector<VolumeEntry> volumes;  // up to kMaxVolumes
};

// The volume administration requests need a caller running as Linux root.
// A volume from a host folder, recorded so that it comes back at the next boot; its serial
// is the given one or a new one.
struct AddVolumeRequest {
  static constexpr Kind kKind = Kind::kAddVolume;
  bool operator==(const AddVolumeRequest&) const = default;
  using ReplyType = AddVolumeReply;
  uint8_t letter = 0;
  bool removable = false;
  bool hasSerial = false;
  uint32_t serial = 0;
  bool overmount = false;
  std::string folder;
  std::string mountPath;  // empty: the default mount point
};
struct AddVolumeReply {
  static constexpr Kind kKind = Kind::kAddVolume;
  bool operator==(const AddVolumeReply&) const = default;
  uint32_t serial = 0;
};

// The medium of a drive goes away; its record stays for the insertion.
struct EjectVolumeRequest {
  static constexpr Kind kKind = Kind::kEjectVolume;
  bool operator==(const EjectVolumeRequest&) const = default;
  using ReplyType = EjectVolumeReply;
  uint8_t letter = 0;
};
struct EjectVolumeReply {
  static constexpr Kind kKind = Kind::kEjectVolume;
  bool operator==(const EjectVolumeReply&) const = default;
};

// The ejected volume whose backing folder is `folder` comes back, under its own letter or
// under `letter` when one is given.
struct InsertVolumeRequest {
  static constexpr Kind kKind = Kind::kInsertVolume;
  bool operator==(const InsertVolumeRequest&) const = default;
  using ReplyType = InsertVolumeReply;
  uint8_t letter = 0;  // 0: the recorded letter
  std::string folder;
};
struct InsertVolumeReply {
  static constexpr Kind kKind = Kind::kInsertVolume;
  bool operator==(const InsertVolumeReply&) const = default;
  uint8_t letter = 0;
  uint32_t serial = 0;
};

// The largest volume list fits one message.
static_assert(kReplyHeaderBytes + 4 + kMaxVolumes * (kVolumeEntryMinBytes + 3 * kMaxVolumePathBytes) <=
              kMaxMessageBytes);

// Files and folders of a volume: IRP_MJ_CREATE of an object name ("\DosDevices\X:\dir\file")
// with the parameters of NtCreateFile; the reply tells what the create did (FILE_OPENED,
// FILE_CREATED, FILE_OVERWRITTEN ...). The file object is the caller's like any other
// object (CloseObject sends IRP_MJ_CLEANUP and IRP_MJ_CLOSE).
struct CreateFileRequest {
  static constexpr Kind kKind = Kind::kCreateFile;
  bool operator==(const CreateFileRequest&) const = default;
  using ReplyType = CreateFileReply;
  std::u16string objectName;
  uint32_t desiredAccess = 0;
  uint32_t shareAccess = 0;
  uint32_t disposition = 0;
  uint32_t options = 0;
  uint32_t fileAttributes = 0;
};
struct CreateFileReply {
  static constexpr Kind kKind = Kind::kCreateFile;
  bool operator==(const CreateFileReply&) const = default;
  uint64_t object = 0;
  uint32_t information = 0;
};

// A byte offset that means "at the file object's current position" (the file pointer).
inline constexpr int64_t kAtFilePointer = -2;

// IRP_MJ_READ of up to `length` bytes (at most kMaxBufferBytes) at `offset`, 0 or more,
// or kAtFilePointer.
struct ReadFileRequest {
  static constexpr Kind kKind = Kind::kReadFile;
  bool operator==(const ReadFileRequest&) const = default;
  using ReplyType = ReadFileReply;
  uint64_t object = 0;
  int64_t offset = 0;
  uint32_t length = 0;
};
struct ReadFileReply {
  static constexpr Kind kKind = Kind::kReadFile;
  bool operator==(const ReadFileReply&) const = default;
  std::vector<uint8_t> data;  // what was read, up to the request's length
};

// IRP_MJ_WRITE of `data` (at most kMaxBufferBytes) at `offset`, 0 or more, or kAtFilePointer.
struct WriteFileRequest {
  static constexpr Kind kKind = Kind::kWriteFile;
  bool operator==(const WriteFileRequest&) const = default;
  using ReplyType = WriteFileReply;
  uint64_t object = 0;
  int64_t offset = 0;
  std::vector<uint8_t> data;
};
struct WriteFileReply {
  static constexpr Kind kKind = Kind::kWriteFile;
  bool operator==(const WriteFileReply&) const = default;
  uint32_t written = 0;
};

// IRP_MJ_QUERY_INFORMATION of a FILE_INFORMATION_CLASS whose record holds no pointer;
// the reply carries at most `length` bytes.
struct QueryInformationFileRequest {
  static constexpr Kind kKind = Kind::kQueryInformationFile;
  bool operator==(const QueryInformationFileRequest&) const = default;
  using ReplyType = QueryInformationFileReply;
  uint64_t object = 0;
  uint32_t informationClass = 0;
  uint32_t length = 0;
};
struct QueryInformationFileReply {
  static constexpr Kind kKind = Kind::kQueryInformationFile;
  bool operator==(const QueryInformationFileReply&) const = default;
  uint32_t returned = 0;
  std::vector<uint8_t> buffer;
};

// IRP_MJ_SET_INFORMATION with a record that holds no pointer (basic, disposition,
// position, allocation, end of file); a rename has its own request.
struct SetInformationFileRequest {
  static constexpr Kind kKind = Kind::kSetInformationFile;
  bool operator==(const SetInformationFileRequest&) const = default;
  using ReplyType = SetInformationFileReply;
  uint64_t object = 0;
  uint32_t informationClass = 0;
  std::vector<uint8_t> buffer;
};
struct SetInformationFileReply {
  static constexpr Kind kKind = Kind::kSetInformationFile;
  bool operator==(const SetInformationFileReply&) const = default;
};

// IRP_MJ_SET_INFORMATION FileRenameInformation: the file moves to `newName`, a path
// from the root of its volume ("\dir\new").
struct RenameFileRequest {
  static constexpr Kind kKind = Kind::kRenameFile;
  bool operator==(const RenameFileRequest&) const = default;
  using ReplyType = RenameFileReply;
  uint64_t object = 0;
  bool replaceIfExists = false;
  std::u16string newName;
};
struct RenameFileReply {
  static constexpr Kind kKind = Kind::kRenameFile;
  bool operator==(const RenameFileReply&) const = default;
};

// IRP_MN_QUERY_DIRECTORY into at most `length` bytes of directory records; an empty
// pattern sends none (the scan keeps the one it began with).
struct QueryDirectoryFileRequest {
  static constexpr Kind kKind = Kind::kQueryDirectoryFile;
  bool operator==(const QueryDirectoryFileRequest&) const = default;
  using ReplyType = QueryDirectoryFileReply;
  uint64_t object = 0;
  uint32_t informationClass = 0;
  bool restartScan = false;
  bool returnSingleEntry = false;
  uint32_t length = 0;
  std::u16string pattern;  // up to kMaxNameUnits
};
struct QueryDirectoryFileReply {
  static constexpr Kind kKind = Kind::kQueryDirectoryFile;
  bool operator==(const QueryDirectoryFileReply&) const = default;
  uint32_t returned = 0;
  std::vector<uint8_t> buffer;
};

// IRP_MJ_FLUSH_BUFFERS.
struct FlushFileRequest {
  static constexpr Kind kKind = Kind::kFlushFile;
  bool operator==(const FlushFileRequest&) const = default;
  using ReplyType = FlushFileReply;
  uint64_t object = 0;
};
struct FlushFileReply {
  static constexpr Kind kKind = Kind::kFlushFile;
  bool operator==(const FlushFileReply&) const = default;
};

// The service control manager. Its handles (the manager, a service) are objects of the
// caller's table like any other (CloseObject closes them); each request acts with the
// rights the handle was opened with. Failures particular to services travel as
// NTSTATUS_FROM_WIN32 of their Win32 error (ERROR_SERVICE_EXISTS ...).
inline constexpr size_t kMaxServiceNameUnits = 256;
// ServiceMain's arguments: this many, each this long at most.
inline constexpr size_t kMaxServiceArguments = 64;
inline constexpr size_t kMaxServiceArgumentUnits = 1024;

// SERVICE_STATUS_PROCESS: SERVICE_STATUS and the service's process.
struct ServiceStatusRecord {
  bool operator==(const ServiceStatusRecord&) const = default;
  uint32_t serviceType = 0;
  uint32_t currentState = 0;
  uint32_t controlsAccepted = 0;
  uint32_t win32ExitCode = 0;
  uint32_t serviceSpecificExitCode = 0;
  uint32_t checkPoint = 0;
  uint32_t waitHint = 0;
  uint32_t processId = 0;
  uint32_t serviceFlags = 0;
};

struct OpenServiceManagerRequest {
  static constexpr Kind kKind = Kind::kOpenServiceManager;
  bool operator==(const OpenServiceManagerRequest&) const = default;
  using ReplyType = OpenServiceManagerReply;
  uint32_t desiredAccess = 0;
};
struct OpenServiceManagerReply {
  static constexpr Kind kKind = Kind::kOpenServiceManager;
  bool operator==(const OpenServiceManagerReply&) const = default;
  uint64_t object = 0;
};

// A service recorded in the hive, and a handle to it.
struct CreateServiceRequest {
  static constexpr Kind kKind = Kind::kCreateService;
  bool operator==(const CreateServiceRequest&) const = default;
  using ReplyType = CreateServiceReply;
  uint64_t manager = 0;
  uint32_t desiredAccess = 0;
  uint32_t serviceType = 0;
  uint32_t startType = 0;
  uint32_t errorControl = 0;
  std::u16string name;         // up to kMaxServiceNameUnits
  std::u16string displayName;  // up to kMaxServiceNameUnits
  std::u16string imagePath;    // up to kMaxNameUnits
};
struct CreateServiceReply {
  static constexpr Kind kKind = Kind::kCreateService;
  bool operator==(const CreateServiceReply&) const = default;
  uint64_t object = 0;
};

struct OpenServiceRequest {
  static constexpr Kind kKind = Kind::kOpenService;
  bool operator==(const OpenServiceRequest&) const = default;
  using ReplyType = OpenServiceReply;
  uint64_t manager = 0;
  uint32_t desiredAccess = 0;
  std::u16string name;  // up to kMaxServiceNameUnits
};
struct OpenServiceReply {
  static constexpr Kind kKind = Kind::kOpenService;
  bool operator==(const OpenServiceReply&) const = default;
  uint64_t object = 0;
};

struct DeleteServiceRequest {
  static constexpr Kind kKind = Kind::kDeleteService;
  bool operator==(const DeleteServiceRequest&) const = default;
  using ReplyType = DeleteServiceReply;
  uint64_t service = 0;
};
struct DeleteServiceReply {
  static constexpr Kind kKind = Kind::kDeleteService;
  bool operator==(const DeleteServiceReply&) const = default;
};

// Answered once a driver is loaded or a service program's dispatcher has taken the start.
struct StartServiceRequest {
  static constexpr Kind kKind = Kind::kStartService;
  bool operator==(const StartServiceRequest&) const = default;
  using ReplyType = StartServiceReply;
  uint64_t service = 0;
  std::vector<std::u16string> arguments;  // up to kMaxServiceArguments
};
struct StartServiceReply {
  static constexpr Kind kKind = Kind::kStartService;
  bool operator==(const StartServiceReply&) const = default;
};

// Answered once the service's handler has run the control, with the status then.
struct ControlServiceRequest {
  static constexpr Kind kKind = Kind::kControlService;
  bool operator==(const ControlServiceRequest&) const = default;
  using ReplyType = ControlServiceReply;
  uint64_t service = 0;
  uint32_t control = 0;
};
struct ControlServiceReply {
  static constexpr Kind kKind = Kind::kControlService;
  bool operator==(const ControlServiceReply&) const = default;
  ServiceStatusRecord status;
};

struct QueryServiceStatusRequest {
  static constexpr Kind kKind = Kind::kQueryServiceStatus;
  bool operator==(const QueryServiceStatusRequest&) const = default;
  using ReplyType = QueryServiceStatusReply;
  uint64_t service = 0;
};
struct QueryServiceStatusReply {
  static constexpr Kind kKind = Kind::kQueryServiceStatus;
  bool operator==(const QueryServiceStatusReply&) const = default;
  ServiceStatusRecord status;
};

// The dispatcher of a service program: the calling process must be one the machine
// started for a service named in `names`; the reply names that service.
struct ConnectServiceDispatcherRequest {
  static constexpr Kind kKind = Kind::kConnectServiceDispatcher;
  bool operator==(const ConnectServiceDispatcherRequest&) const = default;
  using ReplyType = ConnectServiceDispatcherReply;
  std::vector<std::u16string> names;  // up to kMaxServiceArguments, each up to kMaxServiceNameUnits
};
struct ConnectServiceDispatcherReply {
  static constexpr Kind kKind = Kind::kConnectServiceDispatcher;
  bool operator==(const ConnectServiceDispatcherReply&) const = default;
  std::u16string name;
};

// What the dispatcher is to do next.
enum class ServiceCommand : uint8_t {
  kNone = 0,     // nothing within the time-out: ask again
  kStart = 1,    // run ServiceMain with `arguments`
  kControl = 2,  // run the handler with `control`, then acknowledge `sequence`
  kExit = 3,     // the service has stopped: the dispatcher returns
};
inline constexpr uint8_t kMaxServiceCommand = 3;
inline constexpr uint32_t kMaxServiceWaitMilliseconds = 5000;

// Acknowledges the control last run (its sequence, 0 for none) and waits up to
// `timeout` milliseconds (at most kMaxServiceWaitMilliseconds) for the next command.
struct WaitServiceControlRequest {
  static constexpr Kind kKind = Kind::kWaitServiceControl;
  bool operator==(const WaitServiceControlRequest&) const = default;
  using ReplyType = WaitServiceControlReply;
  std::u16string name;  // up to kMaxServiceNameUnits
  uint64_t acknowledged = 0;
  uint32_t timeout = 0;
};
struct WaitServiceControlReply {
  static constexpr Kind kKind = Kind::kWaitServiceControl;
  bool operator==(const WaitServiceControlReply&) const = default;
  uint8_t command = 0;  // ServiceCommand
  uint64_t sequence = 0;
  uint32_t control = 0;
  std::vector<std::u16string> arguments;  // kStart: the service name first
};

// SetServiceStatus of the service the calling process runs (processId and serviceFlags
// of the record are the machine's and ignored).
struct SetServiceStatusRequest {
  static constexpr Kind kKind = Kind::kSetServiceStatus;
  bool operator==(const SetServiceStatusRequest&) const = default;
  using ReplyType = SetServiceStatusReply;
  std::u16string name;  // up to kMaxServiceNameUnits
  ServiceStatusRecord status;
};
struct SetServiceStatusReply {
  static constexpr Kind kKind = Kind::kSetServiceStatus;
  bool operator==(const SetServiceStatusReply&) const = default;
};

// The largest registry messages fit one message with room for their headers.
static_assert(kRequestHeaderBytes + 8 + 4 + 4 + 2 * kMaxValueNameUnits + 4 + kMaxValueDataBytes <= kMaxMessageBytes);
static_assert(kReplyHeaderBytes + 4 + 2 * kMaxValueNameUnits + 4 + 4 + kMaxValueDataBytes <= kMaxMessageBytes);

using Request = std::variant<OpenObjectRequest, DeviceControlRequest, CloseObjectRequest, CreateEventRequest,
                             OpenEventRequest, SetEventRequest, WaitForObjectsRequest, QuerySymbolicLinkRequest,
                             ListDirectoryRequest, QueryVolumeInformationRequest, OpenRegistryKeyRequest,
                             DeleteRegistryKeyRequest, EnumerateRegistryKeyRequest, QueryRegistryKeyRequest,
                             QueryRegistryValueRequest, SetRegistryValueRequest, DeleteRegistryValueRequest,
                             EnumerateRegistryValueRequest, CreateMutantRequest, OpenMutantRequest,
                             ReleaseMutantRequest, QueryVolumesRequest, AddVolumeRequest, EjectVolumeRequest,
                             InsertVolumeRequest, CreateFileRequest, ReadFileRequest, WriteFileRequest,
                             QueryInformationFileRequest, SetInformationFileRequest, RenameFileRequest,
                             QueryDirectoryFileRequest, FlushFileRequest, OpenServiceManagerRequest,
                             CreateServiceRequest, OpenServiceRequest, DeleteServiceRequest, StartServiceRequest,
                             ControlServiceRequest, QueryServiceStatusRequest, ConnectServiceDispatcherRequest,
                             WaitServiceControlRequest, SetServiceStatusRequest>;
using Reply =
    std::variant<OpenObjectReply, DeviceControlReply, CloseObjectReply, CreateEventReply, OpenEventReply, SetEventReply,
                 WaitForObjectsReply, QuerySymbolicLinkReply, ListDirectoryReply, QueryVolumeInformationReply,
                 OpenRegistryKeyReply, DeleteRegistryKeyReply, EnumerateRegistryKeyReply, QueryRegistryKeyReply,
                 QueryRegistryValueReply, SetRegistryValueReply, DeleteRegistryValueReply, EnumerateRegistryValueReply,
                 CreateMutantReply, OpenMutantReply, ReleaseMutantReply, QueryVolumesReply, AddVolumeReply,
                 EjectVolumeReply, InsertVolumeReply, CreateFileReply, ReadFileReply, WriteFileReply,
                 QueryInformationFileReply, SetInformationFileReply, RenameFileReply, QueryDirectoryFileReply,
                 FlushFileReply, OpenServiceManagerReply, CreateServiceReply, OpenServiceReply, DeleteServiceReply,
                 StartServiceReply, ControlServiceReply, QueryServiceStatusReply, ConnectServiceDispatcherReply,
                 WaitServiceControlReply, SetServiceStatusReply>;

Kind KindOf(const Request& request);
Kind KindOf(const Reply& reply);

// STATUS_INVALID_PARAMETER when a field exceeds its cap or the message would exceed
// kMaxMessageBytes; nothing is encoded that the decoder would refuse.
[[nodiscard]] NTSTATUS EncodeRequest(const Request& request, std::vector<uint8_t>* message);
// The one decoder of requests. STATUS_INVALID_PARAMETER for a truncated or oversized
// message, a length field that disagrees with the message, a field over its cap, a
// boolean other than 0 or 1, or trailing bytes; STATUS_REVISION_MISMATCH for another
// version; STATUS_NOT_IMPLEMENTED for an unknown kind.
[[nodiscard]] NTSTATUS DecodeRequest(std::span<const uint8_t> message, Request* request);
// The kind field of a request message whatever else it holds (0 when it has no header),
// so that a refusal can answer in kind.
uint16_t RawKindOf(std::span<const uint8_t> message);

// A reply with its body; the body is left out when the status is an error. A body that
// would not fit in one message becomes a refusal with STATUS_INSUFFICIENT_RESOURCES.
std::vector<uint8_t> EncodeReply(NTSTATUS status, const Reply& reply);
// A reply with no body, for a request that failed before it was served.
std::vector<uint8_t> EncodeRefusal(uint16_t kind, NTSTATUS status);
// The one decoder of replies: the same checks as for requests, and the reply must answer
// `expected`. On success `*status` is the request's status and `*reply` holds its body
// (the empty body of the kind when the status is an error).
[[nodiscard]] NTSTATUS DecodeReply(std::span<const uint8_t> message, Kind expected, NTSTATUS* status, Reply* reply);

}  // namespace nb::protocol
