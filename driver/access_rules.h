// Who may do what under a lock: the decision behind every filtered file request, as a
// plain function of the lock flags, the caller's trust and the kind of request.
#pragma once

#include <ntifs.h>

enum class RequestKind {
  kCreate,             // IRP_MJ_CREATE
  kSetInformation,     // IRP_MJ_SET_INFORMATION (always a write)
  kQueryInformation,   // IRP_MJ_QUERY_INFORMATION
  kSecurity,           // IRP_MJ_QUERY_SECURITY / IRP_MJ_SET_SECURITY
  kOther,              // every other request on an open file
};

struct AccessInput {
  ULONG flags;       // lock flags in force (0 and 0x80 deny nothing)
  ULONG permission;  // the caller's trusted permission: 0 not trusted, 1 read, 2 full
  bool network;      // the caller's token comes from a network logon
  bool system;       // the caller is the System process
  bool write;        // the request means to change something
};

enum class AccessVerdict {
  kAllow,
  kAllowLocalSystem,  // allowed only because the caller is the local System process
  kDenyNoAccess,
  kDenyReadOnly,
};

AccessVerdict DecideAccess(RequestKind kind, const AccessInput& input);
