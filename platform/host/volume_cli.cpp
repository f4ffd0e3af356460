// The volume commands of nbhost, as a client of the running host.
#include "nb/host/volume_cli.h"

#include <cstdio>
#include <string>

#include "nb/host/host_mounts.h"
#include "nb/host/instance.h"
#include "nb/win/request_transport.h"
#include "nb/win/socket_channel.h"

namespace nb::host {

namespace {

void Say(const std::string& text) { std::fprintf(stdout, "nbhost: %s\n", text.c_str()); }
void Complain(const std::string& text) { std::fprintf(stderr, "nbhost: %s\n", text.c_str()); }

std::string Drive(char letter) { return std::string(1, letter) + ":"; }

const char* TypeName(uint8_t type) {
  switch (type) {
    case 0:
      return "fixed";
    case 1:
      return "removable";
    case 2:
      return "remote";
    default:
      return "cdrom";
  }
}

// What a refused request means for the command that sent it.
std::string RefusalText(const HostCommand& command, NTSTATUS status) {
  const VolumeCommand& volume = command.volume;
  switch (status) {
    case STATUS_ACCESS_DENIED:
      return "only root may change the machine's volumes";
    case STATUS_OBJECT_NAME_COLLISION:
      if (!volume.letter) return "the volume's drive letter is in use: give another with --letter";
      return "drive " + Drive(volume.letter) + " is in use";
    case STATUS_OBJECT_PATH_NOT_FOUND:
      return "the folder " + volume.folder + " does not exist";
    case STATUS_DUPLICATE_OBJECTID:
      return "serial " + FormatSerial(volume.serial) + " belongs to another volume";
    case STATUS_SHARING_VIOLATION:
      return "the folder " + volume.folder + " backs another volume already";
    case STATUS_NO_SUCH_DEVICE:
      return "no drive " + Drive(volume.letter) + " is present";
    case STATUS_INVALID_DEVICE_REQUEST:
      return "drive " + Drive(volume.letter) + " holds the system and cannot be ejected";
    case STATUS_NOT_FOUND:
      return "no volume was added from " + volume.folder + " (use volume add)";
    case STATUS_INVALID_DEVICE_STATE:
      return "the volume from " + volume.folder + " is present already";
    case STATUS_INSUFFICIENT_RESOURCES:
      return "the machine keeps as many volumes as it can";
    case STATUS_NAME_TOO_LONG:
      return "the path is too long";
    case STATUS_INVALID_PARAMETER:
      return "the host refused the letter or a path";
    case win::kHostUnreachable:
      return "lost the host on " + command.root;
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "the host refused the request (status 0x%08X)", static_cast<unsigned>(status));
      return text;
    }
  }
}

int List(win::Transport& transport, const HostCommand& command) {
  std::vector<protocol::VolumeEntry> volumes;
  NTSTATUS status = transport.QueryVolumes(&volumes);
  if (!NT_SUCCESS(status)) {
    Complain(RefusalText(command, status));
    return 1;
  }
  for (const protocol::VolumeEntry& volume : volumes) {
    std::string line = Drive(static_cast<char>(volume.letter)) + "  " + TypeName(volume.type);
    line.resize(14, ' ');
    line += FormatSerial(volume.serial) + "  " + (volume.present ? "present " : "ejected ") + volume.folder;
    if (volume.overmount) line += "  overmount";
    if (!volume.mountPath.empty()) line += "  mount " + volume.mountPath;
    // Where processes reach the drive when the host mounts it (else at its folder).
    if (volume.present && IsNimbraMount(volume.accessFolder)) line += "  mounted at " + volume.accessFolder;
    std::printf("%s\n", line.c_str());
  }
  return 0;
}

}  // namespace

int RunVolumeCommand(const HostCommand& command) {
  RootLayout layout(command.root);
  if (!ProbeHost(layout).running) {
    Complain("no host runs on " + layout.root);
    return 1;
  }
  win::SocketChannel channel(layout.socket);
  win::RequestTransport transport(channel);
  const VolumeCommand& volume = command.volume;
  NTSTATUS status = STATUS_SUCCESS;
  switch (volume.action) {
    case VolumeAction::kList:
      return List(transport, command);
    case VolumeAction::kAdd: {
      protocol::AddVolumeRequest request;
      request.letter = static_cast<uint8_t>(volume.letter);
      request.removable = volume.removable;
      request.hasSerial = volume.hasSerial;
      request.serial = volume.serial;
      request.overmount = volume.overmount;
      request.folder = volume.folder;
      request.mountPath = volume.mountPath;
      ULONG serial = 0;
      status = transport.AddVolume(request, &serial);
      if (NT_SUCCESS(status)) {
        Say("added drive " + Drive(volume.letter) + " (serial " + FormatSerial(serial) + ") from " + volume.folder);
      }
      break;
    }
    case VolumeAction::kEject:
      status = transport.EjectVolume(static_cast<uint8_t>(volume.letter));
      if (NT_SUCCESS(status)) Say("ejected drive " + Drive(volume.letter));
      break;
    case VolumeAction::kInsert: {
      protocol::InsertVolumeRequest request;
      request.letter = static_cast<uint8_t>(volume.letter);
      request.folder = volume.folder;
      protocol::InsertVolumeReply reply;
      status = transport.InsertVolume(request, &reply);
      if (NT_SUCCESS(status)) {
        Say("inserted drive " + Drive(static_cast<char>(reply.letter)) + " (serial " + FormatSerial(reply.serial) +
            ") from " + volume.folder);
      }
      break;
    }
  }
  if (NT_SUCCESS(status)) return 0;
  Complain(RefusalText(command, status));
  return 1;
}

}  // namespace nb::host
