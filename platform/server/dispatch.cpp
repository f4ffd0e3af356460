// The one dispatcher of requests: decode, serve in the client's process, encode.
#include "nb/kernel/kernel.h"
#include "nb/kernel/process.h"
#include "requests.h"

namespace nb::server {

std::vector<uint8_t> DispatchRequest(ClientContext& client, std::span<const uint8_t> message) {
  if (!kernel::Kernel::Current()) return EncodeRefusal(RawKindOf(message), STATUS_NO_SUCH_DEVICE);
  Request request;
  NTSTATUS decoded = DecodeRequest(message, &request);
  if (!NT_SUCCESS(decoded)) return EncodeRefusal(RawKindOf(message), decoded);
  kernel::ProcessScope scope(client.Process());
  return std::visit(
      [&client](const auto& body) {
        typename std::remove_cvref_t<decltype(body)>::ReplyType reply;
        NTSTATUS status = Serve(client, body, &reply);
        return EncodeReply(status, reply);
      },
      request);
}

}  // namespace nb::server
