// SipHash-c-d (Aumasson & Bernstein), parametric in the number of compression
// rounds c and finalization rounds d, with 128-bit key (k0, k1) given as two
// little-endian 64-bit halves. SipHash-1-3 is the in-shard hash of the
// sharded map; SipHash-2-4 exists so the one implementation can be checked
// against the published reference vectors.
//
// SipKeys::fresh() hands out the key pair of a new map: a pair drawn once per
// thread from the operating system, whose first key is increased by one for
// every pair handed out, so no two maps made on one thread share keys.
//
// Pure functions apart from fresh(), which touches only thread-local state.
// Python-free; thread-safe.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zarvex {

namespace sip_detail {
struct State {
  uint64_t v0, v1, v2, v3;

  State(uint64_t k0, uint64_t k1)
      : v0(k0 ^ 0x736f6d6570736575ull),    // "somepseu"
        v1(k1 ^ 0x646f72616e646f6dull),    // "dorandom"
        v2(k0 ^ 0x6c7967656e657261ull),    // "lygenera"
        v3(k1 ^ 0x7465646279746573ull) {}  // "tedbytes"

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  template <int C>
  void compress(uint64_t m) {
    v3 ^= m;
    for (int i = 0; i < C; ++i) round();
    v0 ^= m;
  }

  template <int D>
  uint64_t finish() {
    v2 ^= 0xff;
    for (int i = 0; i < D; ++i) round();
    return v0 ^ v1 ^ v2 ^ v3;
  }
};

inline uint64_t load_le64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
}  // namespace sip_detail

// SipHash-C-D of the n bytes at data.
template <int C, int D>
uint64_t siphash(uint64_t k0, uint64_t k1, const void* data, size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  sip_detail::State s(k0, k1);
  const size_t whole = n & ~size_t{7};
  for (size_t off = 0; off < whole; off += 8) s.compress<C>(sip_detail::load_le64(p + off));
  // Last block: the remaining 0..7 bytes, little-endian, with n mod 256 in
  // the top byte.
  uint64_t b = static_cast<uint64_t>(n & 0xff) << 56;
  for (size_t i = 0; i < (n & 7); ++i) b |= static_cast<uint64_t>(p[whole + i]) << (8 * i);
  s.compress<C>(b);
  return s.template finish<D>();
}

// SipHash-C-D of the 8 little-endian bytes of v: one message block, then the
// length block (8 << 56). Equal to siphash<C, D> over those bytes.
template <int C, int D>
inline uint64_t siphash_u64(uint64_t k0, uint64_t k1, uint64_t v) {
  sip_detail::State s(k0, k1);
  s.compress<C>(v);
  s.compress<C>(uint64_t{8} << 56);
  return s.template finish<D>();
}

inline uint64_t siphash13_u64(uint64_t k0, uint64_t k1, uint64_t v) { return siphash_u64<1, 3>(k0, k1, v); }

struct SipKeys {
  uint64_t k0 = 0;
  uint64_t k1 = 0;

  // The key pair for a new map (see the file comment).
  static SipKeys fresh();
};

}  // namespace zarvex
