// Encoding and decoding of symbolic-link reparse records.
#include "nb/kernel/reparse_records.h"

#include <cstring>

namespace nb::kernel {

namespace {

constexpr ULONG kHeader = REPARSE_DATA_BUFFER_HEADER_SIZE;
constexpr ULONG kVersionSize = sizeof(ULONG);

}  // namespace

NTSTATUS DecodeLinkRecord(const void* record, ULONG length, std::string* text) {
  if (!record || length < kHeader) return STATUS_IO_REPARSE_DATA_INVALID;
  const auto* bytes = static_cast<const UCHAR*>(record);
  ULONG tag;
  USHORT dataLength;
  std::memcpy(&tag, bytes + offsetof(REPARSE_DATA_BUFFER, ReparseTag), sizeof tag);
  std::memcpy(&dataLength, bytes + offsetof(REPARSE_DATA_BUFFER, ReparseDataLength), sizeof dataLength);
  if (tag != IO_REPARSE_TAG_LX_SYMLINK) return STATUS_IO_REPARSE_TAG_NOT_HANDLED;
  if (dataLength > length - kHeader || dataLength < kVersionSize) return STATUS_IO_REPARSE_DATA_INVALID;
  ULONG version;
  std::memcpy(&version, bytes + kHeader, sizeof version);
  if (version != LX_SYMLINK_REPARSE_VERSION) return STATUS_IO_REPARSE_DATA_INVALID;
  const size_t textLength = dataLength - kVersionSize;
  if (textLength == 0) return STATUS_IO_REPARSE_DATA_INVALID;
  if (textLength > kMaximumLinkText) return STATUS_NAME_TOO_LONG;
  std::string decoded(reinterpret_cast<const char*>(bytes + kHeader + kVersionSize), textLength);
  if (decoded.find('\0') != std::string::npos) return STATUS_IO_REPARSE_DATA_INVALID;
  *text = std::move(decoded);
  return STATUS_SUCCESS;
}

std::vector<UCHAR> EncodeLinkRecord(const std::string& text) {
  const auto dataLength = static_cast<USHORT>(kVersionSize + text.size());
  std::vector<UCHAR> record(kHeader + dataLength, 0);
  const ULONG tag = IO_REPARSE_TAG_LX_SYMLINK;
  const ULONG version = LX_SYMLINK_REPARSE_VERSION;
  std::memcpy(record.data() + offsetof(REPARSE_DATA_BUFFER, ReparseTag), &tag, sizeof tag);
  std::memcpy(record.data() + offsetof(REPARSE_DATA_BUFFER, ReparseDataLength), &dataLength, sizeof dataLength);
  std::memcpy(record.data() + kHeader, &version, sizeof version);
  std::memcpy(record.data() + kHeader + kVersionSize, text.data(), text.size());
  return record;
}

}  // namespace nb::kernel
