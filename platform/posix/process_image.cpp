// Image names of host processes.
#include "nb/posix/process_image.h"

namespace nb::posix {

std::string ImageNameOfExecutable(std::string_view executablePath) {
  constexpr std::string_view kDeletedMark = " (deleted)";
  if (executablePath.ends_with(kDeletedMark)) executablePath.remove_suffix(kDeletedMark.size());
  size_t slash = executablePath.rfind('/');
  std::string name(slash == std::string_view::npos ? executablePath : executablePath.substr(slash + 1));
  if (name.find('.') == std::string::npos) name += ".exe";
  return name;
}

}  // namespace nb::posix
