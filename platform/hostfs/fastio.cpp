// Fast I/O: reads and writes of open files served without an IRP once the file is
// cached. Whatever is not a plain data transfer on one of our open files is declined,
// so the request comes again as an IRP and gets its proper answer there.
#include "hostfs_internal.h"

namespace nb::hostfs {

namespace {

HostFile* DataFileOf(PDEVICE_OBJECT device, PFILE_OBJECT fileObject) {
  HostFile* file = FindFile(VolumeOf(device), fileObject);
  return file && !file->volumeOpen && !file->directory ? file : nullptr;
}

BOOLEAN HostFastIoRead(PFILE_OBJECT fileObject, PLARGE_INTEGER offset, ULONG length, BOOLEAN, ULONG, PVOID buffer,
                       PIO_STATUS_BLOCK ioStatus, PDEVICE_OBJECT device) {
  VolumeRequest request(device);
  if (request.Gone()) return FALSE;
  HostFile* file = DataFileOf(device, fileObject);
  if (!file || !file->canRead || !offset) return FALSE;
  ULONG done;
  ioStatus->Status = ReadData(file, fileObject, buffer, length, *offset, &done);
  ioStatus->Information = done;
  return TRUE;
}

BOOLEAN HostFastIoWrite(PFILE_OBJECT fileObject, PLARGE_INTEGER offset, ULONG length, BOOLEAN, ULONG, PVOID buffer,
                        PIO_STATUS_BLOCK ioStatus, PDEVICE_OBJECT device) {
  VolumeRequest request(device);
  if (request.Gone()) return FALSE;
  HostFile* file = DataFileOf(device, fileObject);
  if (!file || !file->canWrite || !offset) return FALSE;
  ULONG done;
  ioStatus->Status = WriteData(file, fileObject, buffer, length, *offset, &done);
  ioStatus->Information = done;
  return TRUE;
}

}  // namespace

void FillFastIoDispatch(PFAST_IO_DISPATCH table) {
  RtlZeroMemory(table, sizeof *table);
  table->SizeOfFastIoDispatch = sizeof *table;
  table->FastIoRead = HostFastIoRead;
  table->FastIoWrite = HostFastIoWrite;
}

}  // namespace nb::hostfs
