// Little-endian fields of protocol messages.
#include "wire.h"

#include "nb/little_endian.h"

namespace nb::protocol {

using nb::AppendLittleEndian;
using nb::LoadLittleEndian;

bool Writer::U8(uint8_t value) {
  bytes_.push_back(value);
  return true;
}

bool Writer::U16(uint16_t value) {
  AppendLittleEndian(bytes_, value);
  return true;
}

bool Writer::U32(uint32_t value) {
  AppendLittleEndian(bytes_, value);
  return true;
}

bool Writer::U64(uint64_t value) {
  AppendLittleEndian(bytes_, value);
  return true;
}

bool Writer::String(const std::u16string& text, size_t maxUnits) {
  if (text.size() > maxUnits) return Fail();
  U32(static_cast<uint32_t>(text.size()));
  for (char16_t unit : text) U16(unit);
  return true;
}

bool Writer::Bytes(const std::vector<uint8_t>& bytes, size_t maxBytes) {
  if (bytes.size() > maxBytes) return Fail();
  U32(static_cast<uint32_t>(bytes.size()));
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return true;
}

bool Writer::Path(const std::string& path, size_t maxBytes) {
  if (path.size() > maxBytes || path.find('\0') != std::string::npos) return Fail();
  U32(static_cast<uint32_t>(path.size()));
  bytes_.insert(bytes_.end(), path.begin(), path.end());
  return true;
}

bool Writer::U64Array(const std::vector<uint64_t>& values, size_t minCount, size_t maxCount) {
  if (values.size() < minCount || values.size() > maxCount) return Fail();
  U32(static_cast<uint32_t>(values.size()));
  for (uint64_t value : values) U64(value);
  return true;
}

bool Writer::StringArray(const std::vector<std::u16string>& texts, size_t maxCount, size_t maxUnits) {
  if (texts.size() > maxCount) return Fail();
  U32(static_cast<uint32_t>(texts.size()));
  for (const std::u16string& text : texts) {
    if (!String(text, maxUnits)) return false;
  }
  return true;
}

const uint8_t* Reader::Take(size_t count) {
  if (left() < count) return nullptr;
  const uint8_t* at = bytes_.data() + offset_;
  offset_ += count;
  return at;
}

bool Reader::U8(uint8_t& value) {
  const uint8_t* at = Take(1);
  if (!at) return false;
  value = *at;
  return true;
}

bool Reader::U16(uint16_t& value) {
  const uint8_t* at = Take(2);
  if (!at) return false;
  value = LoadLittleEndian<uint16_t>(at);
  return true;
}

bool Reader::U32(uint32_t& value) {
  const uint8_t* at = Take(4);
  if (!at) return false;
  value = LoadLittleEndian<uint32_t>(at);
  return true;
}

bool Reader::U64(uint64_t& value) {
  const uint8_t* at = Take(8);
  if (!at) return false;
  value = LoadLittleEndian<uint64_t>(at);
  return true;
}

bool Reader::I32(int32_t& value) {
  uint32_t raw;
  if (!U32(raw)) return false;
  value = static_cast<int32_t>(raw);
  return true;
}

bool Reader::I64(int64_t& value) {
  uint64_t raw;
  if (!U64(raw)) return false;
  value = static_cast<int64_t>(raw);
  return true;
}

bool Reader::Bool(bool& value) {
  uint8_t raw;
  if (!U8(raw) || raw > 1) return false;
  value = raw == 1;
  return true;
}

bool Reader::String(std::u16string& text, size_t maxUnits) {
  uint32_t units;
  if (!U32(units) || units > maxUnits || left() / 2 < units) return false;
  const uint8_t* at = Take(size_t{units} * 2);
  text.resize(units);
  for (uint32_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(LoadLittleEndian<uint16_t>(at + 2 * i));
  return true;
}

bool Reader::Bytes(std::vector<uint8_t>& bytes, size_t maxBytes) {
  uint32_t count;
  if (!U32(count) || count > maxBytes || left() < count) return false;
  const uint8_t* at = Take(count);
  bytes.assign(at, at + count);
  return true;
}

bool Reader::Path(std::string& path, size_t maxBytes) {
  uint32_t count;
  if (!U32(count) || count > maxBytes || left() < count) return false;
  const uint8_t* at = Take(count);
  path.assign(reinterpret_cast<const char*>(at), count);
  return path.find('\0') == std::string::npos;
}

bool Reader::U64Array(std::vector<uint64_t>& values, size_t minCount, size_t maxCount) {
  uint32_t count;
  if (!U32(count) || count < minCount || count > maxCount || left() / 8 < count) return false;
  values.resize(count);
  for (uint64_t& value : values) U64(value);
  return true;
}

bool Reader::StringArray(std::vector<std::u16string>& texts, size_t maxCount, size_t maxUnits) {
  uint32_t count;
  // Each string takes at least its four-byte count.
  if (!U32(count) || count > maxCount || left() / 4 < count) return false;
  texts.assign(count, {});
  for (std::u16string& text : texts) {
    if (!String(text, maxUnits)) return false;
  }
  return true;
}

}  // namespace nb::protocol
