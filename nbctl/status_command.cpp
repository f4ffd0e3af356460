// status: the machine, the service, the driver, the drives with their serials and the
// number of locks; exit 1 when the service is not running.
#include <cstdlib>

#include "NBUtil.h"
#include "commands.h"
#include "nb/text.h"
#include "nb/win/socket_channel.h"

namespace nb::nbctl {

namespace {

const char* DriveTypeName(UINT type) {
  switch (type) {
    case DRIVE_REMOVABLE: return "removable";
    case DRIVE_FIXED: return "fixed";
    case DRIVE_REMOTE: return "remote";
    case DRIVE_CDROM: return "cdrom";
    case DRIVE_RAMDISK: return "ramdisk";
    default: return "unknown";
  }
}

std::string Hex(DWORD value) {
  char text[16];
  // As Windows and nbhost write volume serials: two groups of four digits.
  std::snprintf(text, sizeof text, "%04lX-%04lX", static_cast<unsigned long>(value >> 16),
                static_cast<unsigned long>(value & 0xFFFF));
  return text;
}

}  // namespace

int RunStatus(Context& context) {
  const char* rootVariable = std::getenv("NB_ROOT");
  std::string root = rootVariable && *rootVariable ? rootVariable : "/var/lib/nimbra";
  SetLastError(0);
  DWORD drives = GetLogicalDrives();
  bool hostUp = !(drives == 0 && GetLastError() == ERROR_NOT_READY);
  bool serviceUp = hostUp && CheckLock() != 0;
  int major = 0, minor = 0;
  int versionCode = hostUp ? VAULTVersion(&major, &minor) : -1;
  int locks = hostUp && versionCode == 0 ? GetLockCount() : 0;

  struct Drive {
    char letter;
    const char* type;
    DWORD serial;
  };
  std::vector<Drive> present;
  for (int i = 0; hostUp && i < 26; ++i) {
    if (!(drives & (1u << i))) continue;
    WCHAR letter = static_cast<WCHAR>(u'A' + i);
    UINT type = GetDriveTypeW(std::u16string{letter, u':', u'\\'}.c_str());
    DWORD serial = 0;
    if (type != DRIVE_REMOTE) context.vault.GetVolumeSerial(letter, &serial);
    present.push_back({static_cast<char>('A' + i), DriveTypeName(type), serial});
  }

  std::string version = versionCode == 0 ? std::to_string(major) + "." + std::to_string(minor) : "";
  if (context.options.json) {
    std::vector<std::string> driveObjects;
    for (const Drive& drive : present) {
      driveObjects.push_back(JsonObject()
                                 .Add("letter", std::string(1, drive.letter))
                                 .Add("type", drive.type)
                                 .Add("serial", static_cast<long long>(drive.serial))
                                 .Text());
    }
    JsonObject status;
    status.Add("root", std::string_view(root)).Add("host", hostUp).Add("service", serviceUp);
    if (versionCode == 0) {
      status.Add("driver", std::string_view(version));
    } else {
      status.AddRaw("driver", "null");
    }
    status.AddRaw("drives", JsonArray(driveObjects)).Add("locks", static_cast<long long>(locks));
    context.Print(status.Text() + "\n");
  } else {
    std::string text = "Machine:  " + root + (hostUp ? " (running)\n" : " (not running)\n");
    text += std::string("Service:  ") + (serviceUp ? "running\n" : "not running\n");
    text += "Driver:   " + (versionCode == 0 ? "version " + version : "not reachable (code " + std::to_string(versionCode) + ")") + "\n";
    text += "Drives:  ";
    if (present.empty()) text += " none";
    for (const Drive& drive : present) {
      text += std::string(" ") + drive.letter + ": " + drive.type + (drive.serial ? " " + Hex(drive.serial) : "") + ",";
    }
    if (text.back() == ',') text.pop_back();
    text += "\nLocks:    " + std::to_string(locks) + " in the driver\n";
    context.Print(text);
  }
  return serviceUp ? kExitOk : kExitServiceDown;
}

}  // namespace nb::nbctl
