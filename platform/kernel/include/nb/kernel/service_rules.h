// The service manager's rules as plain functions: which configurations a service may have,
// which rights each Linux user may hold on the manager and on services, which control a
// service takes in which state, and how a service's ImagePath names a program or a driver
// image. Results are Win32 errors (0 when allowed), as the service manager reports them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <ntifs.h>

#include <winerror.h>

#include "nb/service_types.h"

namespace nb::kernel {

// The configuration a service keeps in its key.
struct ServiceConfig {
  ULONG type = 0;
  ULONG start = 0;
  ULONG errorControl = 0;
  std::u16string imagePath;
  std::u16string displayName;
};

inline bool IsDriverType(ULONG type) { return type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER; }
inline bool IsOwnProcessType(ULONG type) { return (type & ~ULONG{SERVICE_INTERACTIVE_PROCESS}) == SERVICE_WIN32_OWN_PROCESS; }

// ERROR_INVALID_NAME for an empty name, one over 256 characters or one holding "\" or "/".
DWORD CheckServiceName(std::u16string_view name);
// ERROR_INVALID_PARAMETER for a type this machine cannot run (a driver, or an own-process
// service, interactive or not, but no shared process; only own-process services may be
// interactive), a start type outside 0..4 or a boot or system start of a program, an
// error control outside 0..3, or an empty image path.
DWORD CheckServiceConfig(const ServiceConfig& config);

// Generic rights mapped to the manager's or a service's rights.
ACCESS_MASK MapManagerAccess(ACCESS_MASK desired);
ACCESS_MASK MapServiceAccess(ACCESS_MASK desired);
// Root may hold every right; other users connect, enumerate and read (on services: query
// status and configuration, interrogate, enumerate dependents), as an interactive user
// of Windows may.
bool ManagerAccessAllowed(uint32_t uid, ACCESS_MASK mapped);
bool ServiceAccessAllowed(uint32_t uid, ACCESS_MASK mapped);

// The right ControlService needs for a control; 0 for a code it cannot send.
ACCESS_MASK RightForControl(DWORD control);
// Whether a service in `state` accepting `accepted` takes `control`: 0, or
// ERROR_SERVICE_NOT_ACTIVE (stopped), ERROR_SERVICE_CANNOT_ACCEPT_CTRL (starting or
// stopping), ERROR_INVALID_SERVICE_CONTROL (a control it does not accept, SHUTDOWN from a
// caller, an unknown code). INTERROGATE is always taken by a service that runs.
DWORD CheckControl(DWORD control, DWORD state, DWORD accepted, bool fromMachine = false);
// The controls the acceptance bits let in (STOP, PAUSE and CONTINUE, SHUTDOWN).
bool ControlAccepted(DWORD control, DWORD accepted);

// A program or image named by an ImagePath, before the drive map is applied.
struct ImageLocation {
  enum class Kind { kDrive, kUnix };
  Kind kind = Kind::kDrive;
  WCHAR letter = 0;          // kDrive, upper case
  std::u16string relative;   // kDrive: components below the root joined with "/"
  std::string hostPath;      // kUnix: an absolute host path
};

// The ways a command line may be read as a program and its arguments: a quoted program
// is the one reading, followed by its arguments; an unquoted line is read whole first,
// then cut at each blank in turn, so that "C:\Program Files\x" finds the program whether
// it has blanks or arguments.
struct ImageCommand {
  std::u16string program;
  std::vector<std::u16string> arguments;
};
std::vector<ImageCommand> ReadImageCommand(std::u16string_view commandLine);

// Where a program name points: "X:\...", "\??\X:\...", "\DosDevices\X:\...",
// "\SystemRoot\..." and a relative name (read below the Windows folder, as drivers'
// ImagePaths are) reach a drive's files; "\\?\unix\..." names a host file. ".." never
// climbs above a root; nullopt for anything else.
std::optional<ImageLocation> LocateImage(std::u16string_view program, std::u16string_view systemRoot = u"C:\\Windows");

}  // namespace nb::kernel
