// The SHA-0/SHA-1 compression function, padding and digest text.
#include "sha0.h"

#include <cstring>

namespace nbutil {

namespace {

constexpr uint32_t Rotl(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

uint32_t LoadBigEndian(const uint8_t* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

// One 64-byte block into the state. The schedule's one-bit rotation is SHA-1's only change.
void Compress(uint32_t state[5], const uint8_t* block, ShaSchedule schedule) {
  uint32_t w[80];
  for (int t = 0; t < 16; ++t) w[t] = LoadBigEndian(block + 4 * t);
  for (int t = 16; t < 80; ++t) {
    uint32_t mixed = w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16];
    w[t] = schedule == ShaSchedule::kSha1 ? Rotl(mixed, 1) : mixed;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int t = 0; t < 80; ++t) {
    uint32_t f, k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    uint32_t temp = Rotl(a, 5) + f + e + k + w[t];
    e = d;
    d = c;
    c = Rotl(b, 30);
    b = a;
    a = temp;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

ShaDigest ShaHash(std::string_view data, ShaSchedule schedule) {
  uint32_t state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
  size_t whole = data.size() - data.size() % 64;
  for (size_t offset = 0; offset < whole; offset += 64) Compress(state, bytes + offset, schedule);

  // The rest, the 0x80 marker, zeros, and the bit length in the last 8 bytes.
  uint8_t tail[128] = {};
  size_t rest = data.size() - whole;
  if (rest) std::memcpy(tail, bytes + whole, rest);
  tail[rest] = 0x80;
  size_t tailLength = rest < 56 ? 64 : 128;
  uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tailLength - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  for (size_t offset = 0; offset < tailLength; offset += 64) Compress(state, tail + offset, schedule);

  ShaDigest digest;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state[i] >> (24 - 8 * j));
  }
  return digest;
}

std::string HexDigest(const ShaDigest& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * digest.size());
  for (uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

}  // namespace nbutil
