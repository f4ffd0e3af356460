// Symbolic links as reparse-point records (IO_REPARSE_TAG_LX_SYMLINK): the one decoder of
// such a record and its encoder, for file systems that keep links and callers that make them.
#pragma once

#include <string>
#include <vector>

#include <ntifs.h>

namespace nb::kernel {

// Longest link text in bytes, as the host allows (PATH_MAX without its NUL).
inline constexpr size_t kMaximumLinkText = 4095;

// The link text of a record of `length` bytes; every length is checked before a byte is
// read. STATUS_IO_REPARSE_TAG_NOT_HANDLED for another tag, STATUS_IO_REPARSE_DATA_INVALID
// for a record that is cut short, carries another version, an empty text or a NUL,
// STATUS_NAME_TOO_LONG for a text longer than the host takes.
[[nodiscard]] NTSTATUS DecodeLinkRecord(const void* record, ULONG length, std::string* text);
// The record that carries `text` (at most kMaximumLinkText bytes).
std::vector<UCHAR> EncodeLinkRecord(const std::string& text);

}  // namespace nb::kernel
