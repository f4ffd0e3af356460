// Serving the host's volumes through FUSE.
#include "nb/host/host_mounts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "nb/host/host_log.h"

namespace nb::host {

namespace {

// The file system type the front end's mounts carry (its subtype is "nimbra").
constexpr std::string_view kMountType = "fuse.nimbra";

// mountinfo writes a space, tab, newline and backslash of a path as a three-digit octal
// escape.
std::string Unescape(std::string_view text) {
  std::string plain;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      std::string_view digits = text.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string_view::npos) {
        plain.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
        i += 3;
        continue;
      }
    }
    plain.push_back(text[i]);
  }
  return plain;
}

std::vector<std::string_view> Fields(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t at = 0;
  while (at < line.size()) {
    size_t end = line.find(' ', at);
    if (end == std::string_view::npos) end = line.size();
    if (end > at) fields.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  return fields;
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

// Why FUSE cannot serve here; empty when it can.
std::string FuseUnavailable() {
  if (access("/dev/fuse", F_OK) != 0) return "there is no /dev/fuse";
  if (geteuid() != 0) return "the host does not run as root";
  if (access("/dev/fuse", R_OK | W_OK) != 0) return std::string("/dev/fuse cannot be opened: ") + std::strerror(errno);
  return {};
}

std::string ReasonOf(NTSTATUS status) {
  switch (status) {
    case STATUS_OBJECT_PATH_NOT_FOUND:
      return "the mount point is not a folder";
    case STATUS_NO_SUCH_DEVICE:
      return "the volume does not answer";
    case STATUS_DEVICE_NOT_READY:
      return "FUSE refused the mount";
    default:
      return "status " + StatusText(status);
  }
}

}  // namespace

std::vector<std::string> NimbraMountsIn(std::string_view mountinfo) {
  std::vector<std::string> points;
  size_t at = 0;
  while (at < mountinfo.size()) {
    size_t end = mountinfo.find('\n', at);
    if (end == std::string_view::npos) end = mountinfo.size();
    std::vector<std::string_view> fields = Fields(mountinfo.substr(at, end - at));
    at = end + 1;
    // "ID PARENT MAJOR:MINOR ROOT POINT OPTIONS [TAGS...] - TYPE SOURCE SUPER-OPTIONS"
    size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (fields.size() < 5 || separator + 1 >= fields.size()) continue;
    if (fields[separator + 1] == kMountType) points.push_back(Unescape(fields[4]));
  }
  return points;
}

std::vector<std::string> NimbraMounts() {
  std::ifstream file("/proc/self/mountinfo");
  std::stringstream text;
  text << file.rdbuf();
  return NimbraMountsIn(text.str());
}

bool IsNimbraMount(const std::string& path) {
  for (const std::string& point : NimbraMounts()) {
    if (point == path) return true;
  }
  return false;
}

std::vector<std::string> ClearStaleMountsBelow(const std::string& folder) {
  std::vector<std::string> cleared;
  // Innermost first: a mount below another goes before it.
  std::vector<std::string> points = NimbraMounts();
  for (auto point = points.rbegin(); point != points.rend(); ++point) {
    if (!point->starts_with(folder + "/")) continue;
    if (fuse::ClearStaleMount(*point)) cleared.push_back(*point);
  }
  return cleared;
}

HostMounts::HostMounts(kernel::Kernel& kernel, std::string mountRoot)
    : kernel_(kernel), mountRoot_(std::move(mountRoot)) {
  for (const std::string& point : ClearStaleMountsBelow(mountRoot_)) {
    HostLog("removed the mount at %s that a host which died left", point.c_str());
  }
}

HostMounts::~HostMounts() {
  std::lock_guard lock(mutex_);
  mounts_.clear();
}

std::string HostMounts::DefaultMountPoint(const std::string& mountRoot, char letter) {
  char lower = letter >= 'A' && letter <= 'Z' ? static_cast<char>(letter - 'A' + 'a') : letter;
  return mountRoot + "/" + std::string(1, lower);
}

std::string HostMounts::Serve(const kernel::VolumeInfo& volume) {
  const char letter = volume.letter;
  std::string point = volume.mountPath.empty() ? DefaultMountPoint(mountRoot_, letter) : volume.mountPath;
  auto fallBack = [&](const std::string& why) {
    HostLog("drive %c: is not mounted at %s (%s): processes reach it at %s, unfiltered", letter, point.c_str(),
            why.c_str(), volume.hostFolder.c_str());
    return std::string();
  };
  std::string unavailable = FuseUnavailable();
  if (!unavailable.empty()) return fallBack(unavailable);
  // A missing mount point is made (its parent must exist); one a dead host left mounted
  // answers EEXIST here and is cleared by the mount.
  if (mkdir(point.c_str(), 0755) != 0 && errno != EEXIST) {
    return fallBack(std::string("cannot create it: ") + std::strerror(errno));
  }
  auto mount = std::make_unique<fuse::VolumeMount>(kernel_);
  fuse::MountParameters parameters;
  parameters.volume = u"\\DosDevices\\" + std::u16string(1, char16_t(letter)) + u":";
  parameters.mountPoint = point;
  NTSTATUS status = mount->Mount(parameters);
  if (!NT_SUCCESS(status)) return fallBack(ReasonOf(status));
  HostLog("drive %c: mounted at %s", letter, point.c_str());
  std::lock_guard lock(mutex_);
  mounts_[letter] = std::move(mount);
  return point;
}

void HostMounts::Reclaim(const std::string& point) {
  if (fuse::ClearStaleMount(point)) HostLog("removed the mount at %s that a host which died left", point.c_str());
}

void HostMounts::Withdraw(char letter) {
  std::unique_ptr<fuse::VolumeMount> mount;
  {
    std::lock_guard lock(mutex_);
    auto found = mounts_.find(letter);
    if (found == mounts_.end()) return;
    mount = std::move(found->second);
    mounts_.erase(found);
  }
  std::string point = mount->MountPoint();
  mount->Unmount();
  HostLog("drive %c: unmounted from %s", letter, point.c_str());
}

}  // namespace nb::host
