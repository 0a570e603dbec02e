// The multiplicative hasher and the byte hash of a text.
//
// MulHasher: 32-bit state h, starting at 0; adding a 32-bit word v sets
// h = (h + v) * 0x93D765DD mod 2^32; a 64-bit value is added low half first;
// finish() rotates h left by 15. It produces the cached hashes of values, the
// shard choice of the exact-value map, the interner's keys and the hashed
// form of the attribute map, so its output must never change.
//
// byte_hash: a folded-multiply hash of a byte string (see byte_hash()).
// hash_str: the MulHasher over byte_hash, as used by the interner.
//
// Pure functions; Python-free; thread-safe.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zarvex {

struct MulHasher {
  static constexpr uint32_t K = 0x93D765DDu;
  uint32_t h = 0;

  constexpr void add32(uint32_t v) { h = (h + v) * K; }
  constexpr void add64(uint64_t v) {
    add32(static_cast<uint32_t>(v));
    add32(static_cast<uint32_t>(v >> 32));
  }
  constexpr uint32_t finish() const { return std::rotl(h, 15); }
};

// Hash of a 32-bit key as a one-word MulHasher (used by the attribute map).
constexpr uint32_t mul_hash_u32(uint32_t k) {
  MulHasher m;
  m.add32(k);
  return m.finish();
}

// Hash of a 64-bit value as a two-word MulHasher (shard choice).
constexpr uint32_t mul_hash_u64(uint64_t v) {
  MulHasher m;
  m.add64(v);
  return m.finish();
}

namespace detail {
inline uint64_t read64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
inline uint64_t read32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
  return v;
}
// (low(x) * high(y)) XOR ((high(x) * low(y)) with its halves swapped).
inline uint64_t fold_mix(uint64_t x, uint64_t y) {
  uint64_t a = (x & 0xFFFFFFFFu) * (y >> 32);
  uint64_t b = (x >> 32) * (y & 0xFFFFFFFFu);
  return a ^ std::rotl(b, 32);
}
}  // namespace detail

// Byte hash of a text of n bytes (little-endian word reads).
inline uint64_t byte_hash(const char* data, size_t n) {
  constexpr uint64_t S0 = 0x243F6A8885A308D3ull;
  constexpr uint64_t S1 = 0x13198A2E03707344ull;
  constexpr uint64_t P = 0xA4093822299F31D0ull;
  const auto* b = reinterpret_cast<const unsigned char*>(data);
  uint64_t s0 = S0, s1 = S1;
  if (n <= 16) {
    if (n >= 8) {
      s0 ^= detail::read64(b);
      s1 ^= detail::read64(b + n - 8);
    } else if (n >= 4) {
      s0 ^= detail::read32(b);
      s1 ^= detail::read32(b + n - 4);
    } else if (n > 0) {
      s0 ^= b[0];
      s1 ^= (static_cast<uint64_t>(b[n - 1]) << 8) | b[n / 2];
    }
  } else {
    for (size_t off = 0; off < n - 16; off += 16) {
      uint64_t x = detail::read64(b + off);
      uint64_t y = detail::read64(b + off + 8);
      uint64_t t = detail::fold_mix(s0 ^ x, P ^ y);
      s0 = s1;
      s1 = t;
    }
    s0 ^= detail::read64(b + n - 16);
    s1 ^= detail::read64(b + n - 8);
  }
  return detail::fold_mix(s0, s1) ^ static_cast<uint64_t>(n);
}

inline uint64_t byte_hash(std::string_view s) { return byte_hash(s.data(), s.size()); }

// The interner's string hash: a 32-bit value widened to 64 bits.
inline uint64_t hash_str(std::string_view s) { return mul_hash_u64(byte_hash(s)); }

}  // namespace zarvex
