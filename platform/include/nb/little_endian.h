// The platform's one little-endian writer and reader of integer fields in byte buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace nb {

// Appends the sizeof(T) bytes of `value`, least significant first.
template <typename T>
void AppendLittleEndian(std::vector<uint8_t>& bytes, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Reads sizeof(T) bytes at `at`, least significant first.
template <typename T>
T LoadLittleEndian(const uint8_t* at) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(static_cast<T>(at[i]) << (8 * i));
  return value;
}

}  // namespace nb
