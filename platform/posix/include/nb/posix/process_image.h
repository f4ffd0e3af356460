// The image name of a host process: what Windows programs and the kernel's process
// objects call it.
#pragma once

#include <string>
#include <string_view>

namespace nb::posix {

// The last component of an executable path ("/usr/sbin/NBSvc" or, for a replaced file,
// "/usr/sbin/NBSvc (deleted)"), with ".exe" appended when it has no extension.
std::string ImageNameOfExecutable(std::string_view executablePath);

}  // namespace nb::posix
