// The host side of hostfs: descriptors below the backing folder's root that never leave
// it, what a host file looks like as NT facts, and host errors as NT statuses.
#pragma once

#include <string>

#include <dirent.h>
#include <ntifs.h>
#include <sys/types.h>

#include "file_facts.h"

namespace nb::hostfs {

// The one table from host errors (errno) to NT statuses.
NTSTATUS StatusFromErrno(int error);

// Opens below a root descriptor without leaving it and without following a symbolic link
// anywhere on the way: what a link points to is judged by the filters only when someone
// names it, so hostfs never reaches it behind their back. A link as the last component is
// opened itself by an O_PATH | O_NOFOLLOW open; any other open meeting a link fails with
// ELOOP. Returns the descriptor or -errno.
int OpenBeneath(int rootFd, const std::string& relative, int flags);
// The text of the symbolic link behind an O_PATH descriptor, or -errno.
int ReadLinkText(int fd, std::string* text);
// Opens the object behind a descriptor (an O_PATH one, typically) again with `flags`.
// Returns the descriptor or -errno.
int Reopen(int fd, int flags);
// A listing stream of the directory behind a descriptor, of its own (the descriptor's
// position is left alone); closed with closedir.
[[nodiscard]] NTSTATUS OpenListing(int directoryFd, DIR** listing);
// The /proc path through which calls that take no O_PATH descriptor reach its object.
std::string ProcPathOf(int fd);

// Facts of the object behind a descriptor, or of the entry `name` in the directory
// `directoryFd` without following a symbolic link.
[[nodiscard]] NTSTATUS FactsOf(int fd, FileFacts* facts);
[[nodiscard]] NTSTATUS FactsAt(int directoryFd, const char* name, FileFacts* facts);
// The identity and kind of the object behind a descriptor.
struct HostIdentity {
  dev_t device;
  ino_t inode;
  mode_t mode;
};
[[nodiscard]] NTSTATUS IdentityOf(int fd, HostIdentity* identity);

// Time conversion between NT times and host seconds and nanoseconds since 1970.
LONGLONG NtTimeFromHost(LONGLONG seconds, ULONG nanoseconds);
void HostTimeFromNt(LONGLONG ntTime, LONGLONG* seconds, long* nanoseconds);

}  // namespace nb::hostfs
