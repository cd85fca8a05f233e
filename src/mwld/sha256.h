// SHA-256 of a byte string: the fixed-size digest entry names and UIDs are derived from.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

using Sha256Digest = std::array<std::uint8_t, 32>;

// The SHA-256 digest of `bytes`, as FIPS 180-4 defines it.
Sha256Digest sha256(std::string_view bytes);

// The same digest as 64 upper-case hex digits.
std::string sha256_hex(std::string_view bytes);
