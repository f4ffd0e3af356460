// SHA-0, the first Secure Hash Standard (FIPS 180, 1993), which no maintained library
// offers: the password digest starts with it. SHA-1 differs only in rotating each word of
// the message schedule by one bit, so both share one compression function here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nbutil {

using ShaDigest = std::array<uint8_t, 20>;

enum class ShaSchedule { kSha0, kSha1 };

// The whole hash of `data` with the schedule of SHA-0 or SHA-1.
ShaDigest ShaHash(std::string_view data, ShaSchedule schedule);
inline ShaDigest Sha0(std::string_view data) { return ShaHash(data, ShaSchedule::kSha0); }

// 40 lower-case hexadecimal characters, the digest's bytes in order.
std::string HexDigest(const ShaDigest& digest);

}  // namespace nbutil
