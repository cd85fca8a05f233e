// Entry file names and derived UIDs.
#include "mwld/identity.h"

#include <algorithm>
#include <array>
#include <cstdint>

#include "mwld/sha256.h"

namespace {

constexpr std::size_t kLongestName = 128;
constexpr char kHexDigits[] = "0123456789ABCDEF";

bool kept_in_name(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

void append_encoded(std::string_view part, std::string& name) {
  for (char c : part) {
    if (kept_in_name(c)) {
      name += c;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    name += '_';
    name += kHexDigits[byte >> 4];
    name += kHexDigits[byte & 0x0F];
  }
}

// The identity as bytes that no other identity gives: each part preceded by its length.
std::string serialized(const Identity& identity, std::string_view purpose) {
  std::string bytes;
  for (std::string_view part :
       {purpose, std::string_view(identity.order_number),
        std::string_view(identity.requested_procedure_id), std::string_view(identity.step_id)}) {
    bytes += std::to_string(part.size());
    bytes += ':';
    bytes += part;
  }
  bytes += std::to_string(identity.position);
  return bytes;
}

// The decimal digits of a 128-bit number given as 16 big-endian bytes.
std::string decimal_of(std::array<std::uint8_t, 16> number) {
  std::string digits;
  bool zero = false;
  while (!zero) {
    unsigned remainder = 0;
    zero = true;
    for (std::uint8_t& byte : number) {
      const unsigned value = remainder * 256 + byte;
      byte = static_cast<std::uint8_t>(value / 10);
      remainder = value % 10;
      if (byte != 0) zero = false;
    }
    digits.insert(digits.begin(), static_cast<char>('0' + remainder));
  }
  return digits;
}

}  // namespace

std::string entry_file_name(const Identity& identity) {
  std::string name(kNamePrefix);
  append_encoded(identity.order_number, name);
  name += "__";
  append_encoded(identity.requested_procedure_id, name);
  name += "__";
  append_encoded(identity.step_id, name);
  if (identity.position > 0) name += "__" + std::to_string(identity.position);
  name += kEntrySuffix;
  if (name.size() <= kLongestName) return name;
  // A hashed name never holds "__", so it cannot equal an encoded one.
  return std::string(kNamePrefix) + sha256_hex(serialized(identity, "file name")) +
         std::string(kEntrySuffix);
}

std::string derived_uid(const Identity& identity, std::string_view purpose) {
  const Sha256Digest digest = sha256(serialized(identity, purpose));
  std::array<std::uint8_t, 16> uuid;
  std::copy_n(digest.begin(), uuid.size(), uuid.begin());
  // A name-based UUID of RFC 9562's version 8 (SHA-256), read as one integer.
  uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0F) | 0x80);
  uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3F) | 0x80);
  return "2.25." + decimal_of(uuid);
}
