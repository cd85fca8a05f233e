// SHA-256 written out in full: the program is one static binary on Linux and Windows, and no
// crypto library is at hand for both.
#include "mwld/sha256.h"

#include <cstddef>

namespace {

constexpr std::array<std::uint32_t, 64> kRoundConstants = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::array<std::uint32_t, 8> kInitialHash = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr std::size_t kBlockSize = 64;

using Block = std::array<std::uint8_t, kBlockSize>;

constexpr std::uint32_t rotate_right(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(std::array<std::uint32_t, 8>& hash, const Block& block) {
  std::array<std::uint32_t, 64> w{};
  for (std::size_t t = 0; t < 16; ++t) {
    w[t] = std::uint32_t{block[4 * t]} << 24 | std::uint32_t{block[4 * t + 1]} << 16 |
           std::uint32_t{block[4 * t + 2]} << 8 | std::uint32_t{block[4 * t + 3]};
  }
  for (std::size_t t = 16; t < 64; ++t) {
    const std::uint32_t s0 =
        rotate_right(w[t - 15], 7) ^ rotate_right(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const std::uint32_t s1 =
        rotate_right(w[t - 2], 17) ^ rotate_right(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  std::uint32_t a = hash[0], b = hash[1], c = hash[2], d = hash[3];
  std::uint32_t e = hash[4], f = hash[5], g = hash[6], h = hash[7];
  for (std::size_t t = 0; t < 64; ++t) {
    const std::uint32_t sum1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
    const std::uint32_t choice = (e & f) ^ (~e & g);
    const std::uint32_t t1 = h + sum1 + choice + kRoundConstants[t] + w[t];
    const std::uint32_t sum0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
    const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    const std::uint32_t t2 = sum0 + majority;
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  hash[0] += a;
  hash[1] += b;
  hash[2] += c;
  hash[3] += d;
  hash[4] += e;
  hash[5] += f;
  hash[6] += g;
  hash[7] += h;
}

}  // namespace

Sha256Digest sha256(std::string_view bytes) {
  std::array<std::uint32_t, 8> hash = kInitialHash;
  Block block{};
  std::size_t whole = bytes.size() - bytes.size() % kBlockSize;
  for (std::size_t at = 0; at < whole; at += kBlockSize) {
    for (std::size_t i = 0; i < kBlockSize; ++i)
      block[i] = static_cast<std::uint8_t>(bytes[at + i]);
    compress(hash, block);
  }

  // The tail, a 1 bit, zeros, and the length in bits as 64 bits big-endian: one more block, or
  // two when fewer than 9 bytes are left after the tail.
  block.fill(0);
  const std::size_t tail = bytes.size() - whole;
  for (std::size_t i = 0; i < tail; ++i) block[i] = static_cast<std::uint8_t>(bytes[whole + i]);
  block[tail] = 0x80;
  if (tail >= kBlockSize - 8) {
    compress(hash, block);
    block.fill(0);
  }
  const std::uint64_t bit_length = static_cast<std::uint64_t>(bytes.size()) * 8;
  for (std::size_t i = 0; i < 8; ++i) {
    block[kBlockSize - 1 - i] = static_cast<std::uint8_t>(bit_length >> (8 * i));
  }
  compress(hash, block);

  Sha256Digest digest{};
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t j = 0; j < 4; ++j) {
      digest[4 * i + j] = static_cast<std::uint8_t>(hash[i] >> (24 - 8 * j));
    }
  }
  return digest;
}

std::string sha256_hex(std::string_view bytes) {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (const std::uint8_t byte : sha256(bytes)) {
    hex += kHexDigits[byte >> 4];
    hex += kHexDigits[byte & 0x0F];
  }
  return hex;
}
