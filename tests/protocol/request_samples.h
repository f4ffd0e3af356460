// Valid requests of every kind, for round trips, truncation tables and the fuzzer's
// seed corpus.
#pragma once

#include <vector>

#include "nb/protocol/protocol.h"

namespace protocol_samples {

inline std::vector<nb::protocol::Request> SampleRequests() {
  using namespace nb::protocol;
  OpenObjectRequest open;
  open.objectName = u"\\DosDevices\\C:";
  open.desiredAccess = 0x00100080;
  open.shareAccess = 3;
  open.disposition = 1;
  open.options = 0x20;
  open.fileAttributes = 0x80;
  DeviceControlRequest control;
  control.object = 4;
  control.code = 0x00222003;
  control.outputLength = 16;
  control.input = {1, 2, 3, 0xFF};
  CreateEventRequest create;
  create.handle = 8;
  create.manualReset = true;
  create.objectName = u"\\BaseNamedObjects\\NbSample";
  OpenEventRequest openEvent;
  openEvent.handle = 12;
  openEvent.desiredAccess = 0x00100000;
  openEvent.objectName = u"\\BaseNamedObjects\\NbSample";
  SetEventRequest set;
  set.object = 8;
  set.signalled = true;
  WaitForObjectsRequest wait;
  wait.objects = {8, 12};
  wait.waitAll = true;
  wait.hasTimeout = true;
  wait.timeout = -10'000;
  WaitForObjectsRequest waitForEver;
  waitForEver.objects = {8};
  QuerySymbolicLinkRequest link;
  link.linkName = u"\\DosDevices\\C:";
  ListDirectoryRequest list;
  list.directory = u"\\DosDevices";
  QueryVolumeInformationRequest volume;
  volume.object = 4;
  volume.informationClass = 4;
  volume.length = 8;
  OpenRegistryKeyRequest openKey;
  openKey.root = 3;  // HKEY_LOCAL_MACHINE
  openKey.desiredAccess = 0x000F003F;
  openKey.create = true;
  openKey.subKey = u"SOFTWARE\\Nimbra";
  OpenRegistryKeyRequest openBelow;
  openBelow.parent = 4;
  openBelow.desiredAccess = 0x00020019;
  openBelow.subKey = u"Settings";
  EnumerateRegistryKeyRequest enumKey;
  enumKey.key = 4;
  enumKey.index = 1;
  QueryRegistryValueRequest queryValue;
  queryValue.key = 4;
  queryValue.name = u"Version";
  SetRegistryValueRequest setValue;
  setValue.key = 4;
  setValue.type = 4;  // REG_DWORD
  setValue.name = u"Version";
  setValue.data = {1, 0, 0, 0};
  SetRegistryValueRequest setDefault;  // the key's default value, no data
  setDefault.key = 4;
  setDefault.type = 1;
  DeleteRegistryValueRequest deleteValue;
  deleteValue.key = 4;
  deleteValue.name = u"Version";
  EnumerateRegistryValueRequest enumValue;
  enumValue.key = 4;
  CreateMutantRequest createMutant;
  createMutant.handle = 16;
  createMutant.initialOwner = true;
  createMutant.objectName = u"\\BaseNamedObjects\\NbSampleMutex";
  OpenMutantRequest openMutant;
  openMutant.handle = 20;
  openMutant.desiredAccess = 0x001F0001;
  openMutant.objectName = u"\\BaseNamedObjects\\NbSampleMutex";
  AddVolumeRequest addVolume;
  addVolume.letter = 'E';
  addVolume.removable = true;
  addVolume.hasSerial = true;
  addVolume.serial = 0x1234ABCD;
  addVolume.folder = "/nonexistent/nimbra-sample-volume";
  addVolume.mountPath = "/nonexistent/nimbra-sample-mount";
  AddVolumeRequest overmount;
  overmount.letter = 'f';
  overmount.overmount = true;
  overmount.folder = "/nonexistent/nimbra-sample-volume";
  InsertVolumeRequest insert;
  insert.letter = 'G';
  insert.folder = "/nonexistent/nimbra-sample-volume";
  CreateFileRequest createFile;
  createFile.objectName = u"\\DosDevices\\C:\\Data\\notes.txt";
  createFile.desiredAccess = 0x00120089;
  createFile.shareAccess = 7;
  createFile.disposition = 3;  // FILE_OPEN_IF
  createFile.options = 0x60;
  createFile.fileAttributes = 0x80;
  ReadFileRequest read;
  read.object = 24;
  read.offset = kAtFilePointer;
  read.length = 512;
  ReadFileRequest readAt;
  readAt.object = 24;
  readAt.offset = 4096;
  readAt.length = 16;
  WriteFileRequest write;
  write.object = 24;
  write.offset = kAtFilePointer;
  write.data = {'n', 'b', '\n'};
  QueryInformationFileRequest queryInfo;
  queryInfo.object = 24;
  queryInfo.informationClass = 5;  // FileStandardInformation
  queryInfo.length = 24;
  SetInformationFileRequest setInfo;
  setInfo.object = 24;
  setInfo.informationClass = 20;  // FileEndOfFileInformation
  setInfo.buffer = {0, 1, 0, 0, 0, 0, 0, 0};
  RenameFileRequest rename;
  rename.object = 24;
  rename.newName = u"\\Data\\renamed.txt";
  QueryDirectoryFileRequest listing;
  listing.object = 24;
  listing.informationClass = 3;  // FileBothDirectoryInformation
  listing.restartScan = true;
  listing.length = 4096;
  listing.pattern = u"<\"*";
  QueryDirectoryFileRequest listingOn;
  listingOn.object = 24;
  listingOn.informationClass = 3;
  listingOn.length = 4096;
  return {open,
          control,
          DeviceControlRequest{},  // no input, no output
          CloseObjectRequest{4},
          create,
          CreateEventRequest{},  // unnamed, chosen by the kernel
          openEvent,
          set,
          wait,
          waitForEver,
          link,
          list,
          volume,
          openKey,
          openBelow,
          setValue,
          setDefault,
          queryValue,
          enumKey,
          QueryRegistryKeyRequest{4},
          enumValue,
          deleteValue,
          DeleteRegistryKeyRequest{4},
          createMutant,
          CreateMutantRequest{},  // unnamed, not owned
          openMutant,
          ReleaseMutantRequest{16},
          QueryVolumesRequest{},
          addVolume,
          overmount,
          EjectVolumeRequest{'E'},
          insert,
          InsertVolumeRequest{.letter = 0, .folder = "/nonexistent/nimbra-sample-volume"},
          createFile,
          read,
          readAt,
          write,
          queryInfo,
          setInfo,
          rename,
          listing,
          listingOn,
          FlushFileRequest{24},
          CloseObjectRequest{24},
          OpenServiceManagerRequest{0x000F003F},
          CreateServiceRequest{.manager = 28,
                               .desiredAccess = 0x000F01FF,
                               .serviceType = 0x10,
                               .startType = 2,
                               .errorControl = 1,
                               .name = u"NB Service",
                               .displayName = u"Folder and Drive Access Manager",
                               .imagePath = u"\"C:\\Program Files\\Nimbra\\NBSvc\""},
          OpenServiceRequest{.manager = 28, .desiredAccess = 0x0004, .name = u"nbfs36"},
          DeleteServiceRequest{32},
          StartServiceRequest{.service = 32, .arguments = {u"/debug", u""}},
          StartServiceRequest{.service = 32},
          ControlServiceRequest{.service = 32, .control = 1},
          QueryServiceStatusRequest{32},
          ConnectServiceDispatcherRequest{.names = {u"NB Service"}},
          WaitServiceControlRequest{.name = u"NB Service", .acknowledged = 7, .timeout = 1000},
          SetServiceStatusRequest{.name = u"NB Service",
                                  .status = {.serviceType = 0x110, .currentState = 4, .controlsAccepted = 7,
                                             .waitHint = 3000}}};
}

}  // namespace protocol_samples
