// Fuzzes the request decoder and the dispatcher behind it. An input is a run of request
// messages (each as long as its length field says, the rest when that cannot be), served
// in turn for one client of an in-process machine, so that a run can open an object and
// then use it. Besides not crashing, the code must keep these properties:
//   - a request that decodes encodes back to the very same bytes (one encoding);
//   - every reply the dispatcher gives decodes as a reply to the request's kind, and a
//     request that does not decode gets a refusal with the decoder's status.
// The volume administration requests are served for a caller that is not root: as root
// they would mount any host folder the input names, and then open files in it.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "nb/protocol/protocol.h"
#include "nb/server/server.h"
#include "nb/testing/machine.h"

namespace {

using namespace nb::protocol;

struct Harness {
  Harness() {
    machine.AddBareVolume('C');
    process = machine.Process("fuzz.exe", 700);
  }
  nb::testing::Machine machine;
  PEPROCESS process = nullptr;
};

void Require(bool condition) {
  if (!condition) std::abort();
}

bool KnownKind(uint16_t kind) {
  Reply reply;
  NTSTATUS status;
  // Only a known kind's refusal decodes.
  return NT_SUCCESS(DecodeReply(EncodeRefusal(kind, STATUS_UNSUCCESSFUL), static_cast<Kind>(kind), &status, &reply));
}

bool AdministersVolumes(uint16_t kind) {
  return kind == static_cast<uint16_t>(Kind::kAddVolume) || kind == static_cast<uint16_t>(Kind::kEjectVolume) ||
         kind == static_cast<uint16_t>(Kind::kInsertVolume);
}

void Serve(nb::server::ClientContext& client, nb::server::ClientContext& user, std::span<const uint8_t> message) {
  Request request;
  NTSTATUS decoded = DecodeRequest(message, &request);
  std::vector<uint8_t> served(message.begin(), message.end());
  if (NT_SUCCESS(decoded)) {
    std::vector<uint8_t> again;
    Require(NT_SUCCESS(EncodeRequest(request, &again)) && again == served);
    // A wait must not hold up the run: it becomes a poll.
    if (auto* wait = std::get_if<WaitForObjectsRequest>(&request)) {
      wait->hasTimeout = true;
      wait->timeout = 0;
      Require(NT_SUCCESS(EncodeRequest(request, &served)));
    }
  }
  uint16_t kind = RawKindOf(message);
  std::vector<uint8_t> reply = nb::server::DispatchRequest(AdministersVolumes(kind) ? user : client, served);
  if (!KnownKind(kind)) return;
  NTSTATUS status;
  Reply body;
  Require(NT_SUCCESS(DecodeReply(reply, static_cast<Kind>(kind), &status, &body)));
  if (!NT_SUCCESS(decoded)) Require(status == decoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness harness;
  nb::server::ClientContext client(harness.process, 0);  // root: writes reach the whole hive
  nb::server::ClientContext user(harness.process, 65534);
  std::span<const uint8_t> input(data, size);
  while (!input.empty()) {
    size_t length = input.size();
    if (input.size() >= 4) {
      uint32_t claimed = input[0] | (input[1] << 8) | (input[2] << 16) | (static_cast<uint32_t>(input[3]) << 24);
      if (claimed >= kRequestHeaderBytes && claimed <= input.size()) length = claimed;
    }
    std::span<const uint8_t> message = input.first(length);
    input = input.subspan(length);
    Serve(client, user, message);
    // The same bytes as a reply, for the reply decoder.
    NTSTATUS status;
    Reply reply;
    (void)DecodeReply(message, static_cast<Kind>(RawKindOf(message)), &status, &reply);
  }
  return 0;  // the client's objects close with it
}
