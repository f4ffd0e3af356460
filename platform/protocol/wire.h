// Little-endian fields of protocol messages. A message's layout is written once, as a
// function template over the field visitor, and run with a Writer to encode it and with a
// Reader to decode it, so the two directions cannot disagree.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace nb::protocol {

// Appends fields; a field over its cap marks the writer failed and is left out.
class Writer {
 public:
  bool U8(uint8_t value);
  bool U16(uint16_t value);
  bool U32(uint32_t value);
  bool U64(uint64_t value);
  bool I32(int32_t value) { return U32(static_cast<uint32_t>(value)); }
  bool I64(int64_t value) { return U64(static_cast<uint64_t>(value)); }
  bool Bool(bool value) { return U8(value ? 1 : 0); }
  bool String(const std::u16string& text, size_t maxUnits);
  bool Bytes(const std::vector<uint8_t>& bytes, size_t maxBytes);
  // A host path: a u32 byte count and the bytes, none of them NUL.
  bool Path(const std::string& path, size_t maxBytes);
  // A u32 count, between minCount and maxCount, then each item.
  bool U64Array(const std::vector<uint64_t>& values, size_t minCount, size_t maxCount);
  bool StringArray(const std::vector<std::u16string>& texts, size_t maxCount, size_t maxUnits);
  // A u32 count up to maxCount, then each item as `item` writes it.
  template <typename T, typename Item>
  bool Array(const std::vector<T>& items, size_t maxCount, size_t /*minItemBytes*/, Item item) {
    if (items.size() > maxCount) return Fail();
    U32(static_cast<uint32_t>(items.size()));
    for (const T& each : items) {
      if (!item(*this, each)) return Fail();
    }
    return true;
  }

  bool failed() const { return failed_; }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  bool Fail() {
    failed_ = true;
    return false;
  }

  std::vector<uint8_t> bytes_;
  bool failed_ = false;
};

// Reads fields from a message. Every read checks the bytes left before it touches one,
// and every count against its cap and against the bytes left before it allocates.
class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool U8(uint8_t& value);
  bool U16(uint16_t& value);
  bool U32(uint32_t& value);
  bool U64(uint64_t& value);
  bool I32(int32_t& value);
  bool I64(int64_t& value);
  // Only 0 and 1.
  bool Bool(bool& value);
  bool String(std::u16string& text, size_t maxUnits);
  bool Bytes(std::vector<uint8_t>& bytes, size_t maxBytes);
  bool Path(std::string& path, size_t maxBytes);
  bool U64Array(std::vector<uint64_t>& values, size_t minCount, size_t maxCount);
  bool StringArray(std::vector<std::u16string>& texts, size_t maxCount, size_t maxUnits);
  // Each item takes at least minItemBytes, so the count is checked against the bytes left
  // before anything is allocated.
  template <typename T, typename Item>
  bool Array(std::vector<T>& items, size_t maxCount, size_t minItemBytes, Item item) {
    uint32_t count;
    if (!U32(count) || count > maxCount || left() / minItemBytes < count) return false;
    items.assign(count, T{});
    for (T& each : items) {
      if (!item(*this, each)) return false;
    }
    return true;
  }

  size_t left() const { return bytes_.size() - offset_; }
  bool AtEnd() const { return offset_ == bytes_.size(); }

 private:
  // The next `count` bytes, consumed; null when fewer are left.
  const uint8_t* Take(size_t count);

  std::span<const uint8_t> bytes_;
  size_t offset_ = 0;
};

}  // namespace nb::protocol
