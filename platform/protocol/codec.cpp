// The encoders and the one decoder of each direction: headers, kinds and the checks that
// apply to every message; the bodies are in messages.cpp.
#include <utility>

#include "layouts.h"

namespace nb::protocol {

namespace {

struct Header {
  uint32_t length = 0;
  uint16_t version = 0;
  uint16_t kind = 0;
};

// Runs `visit` on a default-made alternative of `Variant` whose kKind is `kind`; false
// when no alternative has it.
template <typename Variant, typename Visit, size_t... I>
bool WithKind(uint16_t kind, Visit&& visit, std::index_sequence<I...>) {
  return ((static_cast<uint16_t>(std::variant_alternative_t<I, Variant>::kKind) == kind
               ? (visit(std::variant_alternative_t<I, Variant>{}), true)
               : false) ||
          ...);
}
template <typename Variant, typename Visit>
bool WithKind(uint16_t kind, Visit&& visit) {
  return WithKind<Variant>(kind, std::forward<Visit>(visit), std::make_index_sequence<std::variant_size_v<Variant>>{});
}

void WriteHeader(Writer& writer, Kind kind) {
  writer.U32(0);  // the length, patched when the message is complete
  writer.U16(kVersion);
  writer.U16(static_cast<uint16_t>(kind));
}

// Patches the length; false when the message is over the cap.
bool FinishMessage(Writer& writer) {
  std::vector<uint8_t>& bytes = writer.bytes();
  if (writer.failed() || bytes.size() > kMaxMessageBytes) return false;
  auto length = static_cast<uint32_t>(bytes.size());
  for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(length >> (8 * i));
  return true;
}

// The header checks common to both directions.
[[nodiscard]] NTSTATUS ReadHeader(Reader& reader, size_t messageBytes, size_t headerBytes, Header* header) {
  if (messageBytes < headerBytes || messageBytes > kMaxMessageBytes) return STATUS_INVALID_PARAMETER;
  (void)reader.U32(header->length);
  (void)reader.U16(header->version);
  (void)reader.U16(header->kind);
  if (header->length != messageBytes) return STATUS_INVALID_PARAMETER;
  if (header->version != kVersion) return STATUS_REVISION_MISMATCH;
  return STATUS_SUCCESS;
}

// Reads the body of `Message` and requires it to end the message.
template <typename Message, typename Variant>
bool ReadBody(Reader& reader, Message message, Variant* into) {
  if (!Fields(reader, message) || !reader.AtEnd()) return false;
  *into = std::move(message);
  return true;
}

}  // namespace

Kind KindOf(const Request& request) {
  return std::visit([](const auto& alternative) { return alternative.kKind; }, request);
}

Kind KindOf(const Reply& reply) {
  return std::visit([](const auto& alternative) { return alternative.kKind; }, reply);
}

NTSTATUS EncodeRequest(const Request& request, std::vector<uint8_t>* message) {
  message->clear();
  Writer writer;
  WriteHeader(writer, KindOf(request));
  bool written = std::visit([&](const auto& body) { return Fields(writer, body); }, request);
  if (!written || !FinishMessage(writer)) return STATUS_INVALID_PARAMETER;
  *message = std::move(writer.bytes());
  return STATUS_SUCCESS;
}

NTSTATUS DecodeRequest(std::span<const uint8_t> message, Request* request) {
  Reader reader(message);
  Header header;
  NTSTATUS status = ReadHeader(reader, message.size(), kRequestHeaderBytes, &header);
  if (!NT_SUCCESS(status)) return status;
  bool read = false;
  bool known = WithKind<Request>(header.kind, [&](auto body) { read = ReadBody(reader, std::move(body), request); });
  if (!known) return STATUS_NOT_IMPLEMENTED;
  return read ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

uint16_t RawKindOf(std::span<const uint8_t> message) {
  if (message.size() < kRequestHeaderBytes) return 0;
  return static_cast<uint16_t>(message[6] | (message[7] << 8));
}

std::vector<uint8_t> EncodeReply(NTSTATUS status, const Reply& reply) {
  Writer writer;
  WriteHeader(writer, KindOf(reply));
  writer.U32(static_cast<uint32_t>(status));
  bool written = NT_ERROR(status) || std::visit([&](const auto& body) { return Fields(writer, body); }, reply);
  if (!written || !FinishMessage(writer)) {
    return EncodeRefusal(static_cast<uint16_t>(KindOf(reply)), STATUS_INSUFFICIENT_RESOURCES);
  }
  return std::move(writer.bytes());
}

std::vector<uint8_t> EncodeRefusal(uint16_t kind, NTSTATUS status) {
  Writer writer;
  writer.U32(static_cast<uint32_t>(kReplyHeaderBytes));
  writer.U16(kVersion);
  writer.U16(kind);
  writer.U32(static_cast<uint32_t>(NT_ERROR(status) ? status : STATUS_UNSUCCESSFUL));
  return std::move(writer.bytes());
}

NTSTATUS DecodeReply(std::span<const uint8_t> message, Kind expected, NTSTATUS* status, Reply* reply) {
  *status = STATUS_UNSUCCESSFUL;
  Reader reader(message);
  Header header;
  NTSTATUS checked = ReadHeader(reader, message.size(), kReplyHeaderBytes, &header);
  if (!NT_SUCCESS(checked)) return checked;
  if (header.kind != static_cast<uint16_t>(expected)) return STATUS_INVALID_PARAMETER;
  uint32_t replied;
  (void)reader.U32(replied);
  bool failed = NT_ERROR(static_cast<NTSTATUS>(replied));
  bool read = false;
  (void)WithKind<Reply>(header.kind, [&](auto body) {
    if (!failed) {
      read = ReadBody(reader, std::move(body), reply);
    } else if (reader.AtEnd()) {  // a failed request carries no body
      *reply = std::move(body);
      read = true;
    }
  });
  if (!read) return STATUS_INVALID_PARAMETER;
  *status = static_cast<NTSTATUS>(replied);
  return STATUS_SUCCESS;
}

}  // namespace nb::protocol
