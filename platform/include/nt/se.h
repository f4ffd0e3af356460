// Security reference monitor: the caller's subject context and queries on access tokens.
#pragma once

#include "nb/basetypes.h"
#include "nt/io.h"

typedef struct _LUID {
  ULONG LowPart;
  LONG HighPart;
} LUID, *PLUID;

// Who issued a token: "User32  " for an interactive logon, "NtLmSsp" for a network one.
#define TOKEN_SOURCE_LENGTH 8
typedef struct _TOKEN_SOURCE {
  CHAR SourceName[TOKEN_SOURCE_LENGTH];
  LUID SourceIdentifier;
} TOKEN_SOURCE, *PTOKEN_SOURCE;
static_assert(sizeof(TOKEN_SOURCE) == 16);

typedef enum _TOKEN_INFORMATION_CLASS {
  TokenUser = 1,
  TokenGroups,
  TokenPrivileges,
  TokenOwner,
  TokenPrimaryGroup,
  TokenDefaultDacl,
  TokenSource,
  TokenType,
} TOKEN_INFORMATION_CLASS, *PTOKEN_INFORMATION_CLASS;

typedef enum _TOKEN_TYPE { TokenPrimary = 1, TokenImpersonation } TOKEN_TYPE, *PTOKEN_TYPE;

// Captures the calling thread's tokens (its impersonation token, if any, and its
// process's primary token); release what was captured with SeReleaseSubjectContext.
VOID SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT subjectContext);
VOID SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT subjectContext);
#define SeQuerySubjectContextToken(SubjectContext) \
  ((SubjectContext)->ClientToken ? (SubjectContext)->ClientToken : (SubjectContext)->PrimaryToken)

// Returns a pool buffer holding the requested information; the caller frees it with ExFreePool.
NTSTATUS SeQueryInformationToken(PACCESS_TOKEN token, TOKEN_INFORMATION_CLASS tokenInformationClass,
                                 PVOID* tokenInformation);

// Self-relative security descriptor: the parts follow the header at the given offsets
// (0 when absent; a present DACL at offset 0 is a null DACL that grants everyone access).
#define SECURITY_DESCRIPTOR_REVISION 1
#define SE_DACL_PRESENT 0x0004
#define SE_SELF_RELATIVE 0x8000
typedef struct _SECURITY_DESCRIPTOR_RELATIVE {
  UCHAR Revision;
  UCHAR Sbz1;
  USHORT Control;
  ULONG Owner;
  ULONG Group;
  ULONG Sacl;
  ULONG Dacl;
} SECURITY_DESCRIPTOR_RELATIVE, *PISECURITY_DESCRIPTOR_RELATIVE;
static_assert(sizeof(SECURITY_DESCRIPTOR_RELATIVE) == 20);

#define OWNER_SECURITY_INFORMATION 0x00000001
#define GROUP_SECURITY_INFORMATION 0x00000002
#define DACL_SECURITY_INFORMATION 0x00000004
#define SACL_SECURITY_INFORMATION 0x00000008
