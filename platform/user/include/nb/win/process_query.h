// Process handles for the process-information calls (PSAPI, tool help): what they need
// of a handle is the process's /proc directory, held open so that the handle keeps
// naming the process it was opened for, and the access it was opened with.
#pragma once

#include <memory>

#include "nb/basetypes.h"
#include "nb/win/handle_table.h"
#include "nb/win/host_processes.h"

#ifndef PROCESS_VM_READ
#define PROCESS_TERMINATE 0x0001
#define PROCESS_VM_READ 0x0010
#define PROCESS_QUERY_INFORMATION 0x0400
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#endif

namespace nb::win {

// A handle object the process-information calls accept. Other process handles (those of
// OpenProcess) derive from it to be accepted as well.
class QueryableProcessHandle : public HandleObject {
 public:
  QueryableProcessHandle(DWORD processId, ACCESS_MASK access, std::unique_ptr<ProcessDirectory> directory)
      : processId_(processId), access_(access), directory_(std::move(directory)) {}

  DWORD processId() const { return processId_; }
  ACCESS_MASK access() const { return access_; }
  const ProcessDirectory& directory() const { return *directory_; }

 private:
  DWORD processId_;
  ACCESS_MASK access_;
  std::unique_ptr<ProcessDirectory> directory_;
};

// Opens process `processId` for the information calls with `access` (query rights and
// PROCESS_VM_READ only, ERROR_ACCESS_DENIED for others). Refuses id 0 and ids that name no
// process (ERROR_INVALID_PARAMETER), the System process and host processes whose
// information this process may not read (ERROR_ACCESS_DENIED). Null with `*error` set.
std::shared_ptr<QueryableProcessHandle> OpenProcessForQuery(DWORD processId, ACCESS_MASK access, DWORD* error);
// The same as a handle of this process's table (null with the last error set).
HANDLE OpenProcessHandleForQuery(DWORD processId, ACCESS_MASK access);

}  // namespace nb::win
