// Requests on files and folders of volumes: create, read, write, information, rename,
// directory queries and flush. Each becomes one IRP to the top of the file's device
// stack, sent in the client's process, so a filter above the file system judges it as it
// judges any other caller. Only records that hold no pointer cross the boundary.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "nb/kernel/file_requests.h"
#include "nb/kernel/io.h"
#include "requests.h"

namespace nb::server {

namespace {

static_assert(kAtFilePointer == kernel::kCurrentPosition);

// Keeps what a request handed back: nothing when it failed, else as many bytes as were
// reported and fit.
void KeepReturned(NTSTATUS status, ULONG returned, std::vector<uint8_t>* buffer) {
  buffer->resize(NT_ERROR(status) ? 0 : std::min<size_t>(returned, buffer->size()));
}

// Information classes whose records are plain values on both sides.
bool QueryableClass(uint32_t informationClass) {
  switch (informationClass) {
    case FileBasicInformation:
    case FileStandardInformation:
    case FileInternalInformation:
    case FileNameInformation:
    case FilePositionInformation:
    case FileNetworkOpenInformation:
    case FileAttributeTagInformation:
      return true;
    default:
      return false;
  }
}

// The size of the record a settable class carries; 0 for a class a client may not set.
size_t SettableRecordSize(uint32_t informationClass) {
  switch (informationClass) {
    case FileBasicInformation:
      return sizeof(FILE_BASIC_INFORMATION);
    case FileDispositionInformation:
      return sizeof(FILE_DISPOSITION_INFORMATION);
    case FileDispositionInformationEx:
      return sizeof(FILE_DISPOSITION_INFORMATION_EX);
    case FilePositionInformation:
      return sizeof(FILE_POSITION_INFORMATION);
    case FileAllocationInformation:
      return sizeof(FILE_ALLOCATION_INFORMATION);
    case FileEndOfFileInformation:
      return sizeof(FILE_END_OF_FILE_INFORMATION);
    default:
      return 0;
  }
}

bool DirectoryClass(uint32_t informationClass) {
  switch (informationClass) {
    case FileDirectoryInformation:
    case FileFullDirectoryInformation:
    case FileBothDirectoryInformation:
    case FileNamesInformation:
    case FileIdBothDirectoryInformation:
    case FileIdFullDirectoryInformation:
      return true;
    default:
      return false;
  }
}

// The file object a request names, referenced until the end of the scope.
class FileReference {
 public:
  FileReference(const ClientContext& client, uint64_t value) { status_ = client.ReferenceFile(value, &file_); }
  ~FileReference() {
    if (file_) ObDereferenceObject(file_);
  }
  FileReference(const FileReference&) = delete;
  FileReference& operator=(const FileReference&) = delete;

  // A kernel handle (an event, a mutant) is no file.
  NTSTATUS Status() const { return status_ == STATUS_OBJECT_TYPE_MISMATCH ? STATUS_INVALID_HANDLE : status_; }
  PFILE_OBJECT get() const { return file_; }

 private:
  PFILE_OBJECT file_ = nullptr;
  NTSTATUS status_;
};

}  // namespace

NTSTATUS Serve(ClientContext& client, const CreateFileRequest& request, CreateFileReply* reply) {
  kernel::OpenParameters parameters;
  parameters.desiredAccess = request.desiredAccess;
  parameters.shareAccess = request.shareAccess;
  parameters.disposition = request.disposition;
  parameters.options = request.options;
  parameters.fileAttributes = request.fileAttributes;
  PFILE_OBJECT file;
  ULONG_PTR information = 0;
  NTSTATUS status = kernel::OpenFile(request.objectName, parameters, &file, &information);
  if (!NT_SUCCESS(status)) return status;
  reply->information = static_cast<uint32_t>(information);
  NTSTATUS added = client.AddFile(file, &reply->object);
  return NT_SUCCESS(added) ? status : added;
}

NTSTATUS Serve(ClientContext& client, const ReadFileRequest& request, ReadFileReply* reply) {
  FileReference file(client, request.object);
  if (!NT_SUCCESS(file.Status())) return file.Status();
  reply->data.resize(request.length);
  ULONG transferred = 0;
  NTSTATUS status = kernel::ReadFile(file.get(), reply->data.data(), request.length, request.offset, &transferred);
  KeepReturned(status, transferred, &reply->data);
  return status;
}

NTSTATUS Serve(ClientContext& client, const WriteFileRequest& request, WriteFileReply* reply) {
  FileReference file(client, request.object);
  if (!NT_SUCCESS(file.Status())) return file.Status();
  ULONG transferred = 0;
  NTSTATUS status = kernel::WriteFile(file.get(), request.data.data(), static_cast<ULONG>(request.data.size()),
                                      request.offset, &transferred);
  reply->written = NT_ERROR(status) ? 0 : std::min<ULONG>(transferred, static_cast<ULONG>(request.data.size()));
  return status;
}

NTSTATUS Serve(ClientContext& client, const QueryInformationFileRequest& request, QueryInformationFileReply* reply) {
  if (!QueryableClass(request.informationClass)) return STATUS_INVALID_INFO_CLASS;
  FileReference file(client, request.object);
  if (!NT_SUCCESS(file.Status())) return file.Status();
  reply->buffer.resize(request.length);
  ULONG returned = 0;
  NTSTATUS status =
      kernel::QueryInformation(file.get(), static_cast<FILE_INFORMATION_CLASS>(request.informationClass),
                               reply->buffer.data(), request.length, &returned);
  reply->returned = returned;
  KeepReturned(status, returned, &reply->buffer);
  return status;
}

NTSTATUS Serve(ClientContext& client, const SetInformationFileRequest& request, SetInformationFileReply*) {
  const size_t recordSize = SettableRecordSize(request.informationClass);
  if (recordSize == 0) return STATUS_INVALID_INFO_CLASS;
  if (request.buffer.size() < recordSize) return STATUS_INFO_LENGTH_MISMATCH;
  FileReference file(client, request.object);
  if (!NT_SUCCESS(file.Status())) return file.Status();
  return kernel::SetInformation(file.get(), static_cast<FILE_INFORMATION_CLASS>(request.informationClass),
                                request.buffer.data(), static_cast<ULONG>(request.buffer.size()));
}

NTSTATUS Serve(ClientContext& client, const RenameFileRequest& request, RenameFileReply*) {
  if (request.newName.empty()) return STATUS_OBJECT_NAME_INVALID;
  FileReference file(client, request.object);
  if (!NT_SUCCESS(file.Status())) return file.Status();
  // The record the file system reads, made here: no root directory handle, the name after it.
  constexpr size_t fixed = offsetof(FILE_RENAME_INFORMATION, FileName);
  const size_t nameBytes = request.newName.size() * sizeof(WCHAR);
  std::vector<uint8_t> record(std::max(fixed + nameBytes, sizeof(FILE_RENAME_INFORMATION)), 0);
  FILE_RENAME_INFORMATION header{};
  header.ReplaceIfExists = request.replaceIfExists ? TRUE : FALSE;
  header.RootDirectory = nullptr;
  header.FileNameLength = static_cast<ULONG>(nameBytes);
  std::memcpy(record.data(), &header, fixed);
  std::memcpy(record.data() + fixed, request.newName.data(), nameBytes);
  return kernel::SetInformation(file.get(), FileRenameInformation, record.data(),
                                static_cast<ULONG>(fixed + nameBytes));
}

NTSTATUS Serve(ClientContext& client, const QueryDirectoryFileRequest& request, QueryDirectoryFileReply* reply) {
  if (!DirectoryClass(request.informationClass)) return STATUS_INVALID_INFO_CLASS;
  FileReference file(client, request.object);
  if (!NT_SUCCESS(file.Status())) return file.Status();
  kernel::DirectoryQuery query;
  query.informationClass = static_cast<FILE_INFORMATION_CLASS>(request.informationClass);
  if (!request.pattern.empty()) query.pattern = request.pattern;
  query.flags = static_cast<UCHAR>((request.restartScan ? SL_RESTART_SCAN : 0) |
                                   (request.returnSingleEntry ? SL_RETURN_SINGLE_ENTRY : 0));
  reply->buffer.resize(request.length);
  ULONG returned = 0;
  NTSTATUS status = kernel::QueryDirectory(file.get(), query, reply->buffer.data(), request.length, &returned);
  reply->returned = returned;
  KeepReturned(status, returned, &reply->buffer);
  return status;
}

NTSTATUS Serve(ClientContext& client, const FlushFileRequest& request, FlushFileReply*) {
  FileReference file(client, request.object);
  if (!NT_SUCCESS(file.Status())) return file.Status();
  return kernel::FlushFile(file.get());
}

}  // namespace nb::server
