// Numeric keys of the ordered tree and the 128-bit entries it stores.
//
// A NumKey is a number as an attribute held it: a signed 64-bit integer or an
// IEEE-754 double; nothing is converted on the way in. The tree stores one
// Entry per (number, object id) pair, an unsigned 128-bit integer laid out so
// that plain unsigned comparison orders entries by numeric value across both
// kinds, then integers before floats of equal value, then by id:
//
//   bits   0..31   object id
//   bit    32      1 when the number was a float, 0 when an integer
//   bits  33..51   zero
//   bits  52..115  mantissa code (64 bits)
//   bits 116..127  head code (12 bits: sign and 11-bit exponent)
//
// Bits 52..127 are the key code of the number; range searches compare key codes
// only, so 3 and 3.0 have equal keys while remaining distinct entries.
// Integers keep all 64 bits of precision (2^53 + 1 sorts above 2^53); a
// subnormal float gets exponent 0 with its fraction as mantissa (top bit
// clear), which places it strictly between zero and the smallest normal of the
// same sign and converts back to the same float. Every zero (0, 0.0, -0.0)
// has the zero code. A NaN with the sign bit clear sorts above +inf, one with
// it set below -inf.
//
// All functions here are pure, constant-time, thread-safe and never fail.
#pragma once

#include <bit>
#include <cstdint>
#include <limits>

namespace zarvex {

struct NumKey {
  bool is_float;
  union {
    int64_t i;
    double f;
  };
  static NumKey of_int(int64_t v) {
    NumKey k;
    k.is_float = false;
    k.i = v;
    return k;
  }
  static NumKey of_float(double v) {
    NumKey k;
    k.is_float = true;
    k.f = v;
    return k;
  }
};

using Entry = unsigned __int128;
// The key code of a number (76 significant bits: head << 64 | mantissa).
using KeyCode = unsigned __int128;

static_assert(sizeof(Entry) == 16, "entries are 128-bit");
static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559, "IEEE-754 doubles");

inline constexpr int kEntryKeyShift = 52;
inline constexpr int kEntryFloatBit = 32;
inline constexpr uint64_t kZeroHead = 0x800;

inline KeyCode make_key_code(uint64_t head, uint64_t mantissa) { return (static_cast<KeyCode>(head) << 64) | mantissa; }
inline uint64_t key_code_head(KeyCode k) { return static_cast<uint64_t>(k >> 64); }
inline uint64_t key_code_mantissa(KeyCode k) { return static_cast<uint64_t>(k); }

inline KeyCode key_code(NumKey key) {
  uint64_t head;
  uint64_t mantissa;
  bool negative;
  if (!key.is_float) {
    if (key.i == 0) return make_key_code(kZeroHead, 0);
    negative = key.i < 0;
    // Magnitude as unsigned so that INT64_MIN has the magnitude 2^63.
    const uint64_t m = negative ? 0 - static_cast<uint64_t>(key.i) : static_cast<uint64_t>(key.i);
    const int z = std::countl_zero(m);
    head = kZeroHead | static_cast<uint64_t>(1086 - z);
    mantissa = m << z;
  } else {
    const uint64_t bits = std::bit_cast<uint64_t>(key.f);
    const uint64_t exponent = (bits >> 52) & 0x7FF;
    const uint64_t fraction = bits & ((uint64_t{1} << 52) - 1);
    if (exponent == 0 && fraction == 0) return make_key_code(kZeroHead, 0);
    negative = (bits >> 63) != 0;
    head = kZeroHead | exponent;
    // Normal, infinite and NaN values carry the implicit leading one; a
    // subnormal keeps exponent 0 and a mantissa below 2^63.
    mantissa = (exponent != 0 ? uint64_t{1} << 63 : 0) | (fraction << 11);
  }
  if (negative) {
    head = ~head & 0xFFF;
    mantissa = ~mantissa;
  }
  return make_key_code(head, mantissa);
}

inline Entry make_entry(NumKey key, uint32_t id) {
  return (key_code(key) << kEntryKeyShift) | (static_cast<Entry>(key.is_float) << kEntryFloatBit) | id;
}
inline uint32_t entry_id(Entry e) { return static_cast<uint32_t>(e); }
inline bool entry_is_float(Entry e) { return ((e >> kEntryFloatBit) & 1) != 0; }
// The key code part of an entry (bits 52..127), comparable across entries.
inline KeyCode entry_key(Entry e) { return e >> kEntryKeyShift; }
// Bits 33..51, which every well-formed entry keeps zero.
inline bool entry_reserved_bits_clear(Entry e) { return ((e >> 33) & ((uint64_t{1} << 19) - 1)) == 0; }

// Sign, 11-bit exponent and 64-bit mantissa of a key code, undoing the
// inversion of negative numbers. The zero code gives exponent and mantissa 0.
struct KeyMagnitude {
  bool negative;
  uint64_t exponent;
  uint64_t mantissa;
};
inline KeyMagnitude key_code_magnitude(KeyCode k) {
  uint64_t head = key_code_head(k);
  uint64_t mantissa = key_code_mantissa(k);
  const bool negative = head < kZeroHead;
  if (negative) {
    head = ~head & 0xFFF;
    mantissa = ~mantissa;
  }
  return KeyMagnitude{negative, head & 0x7FF, mantissa};
}

// The number of a key code as a double: sign, exponent and the top 52
// fraction bits are kept, lower bits dropped, so integers beyond 2^53 come
// back truncated toward zero. Every zero comes back as +0.0.
inline double key_code_to_double(KeyCode k) {
  const KeyMagnitude m = key_code_magnitude(k);
  const uint64_t fraction = (m.mantissa >> 11) & ((uint64_t{1} << 52) - 1);
  return std::bit_cast<double>((static_cast<uint64_t>(m.negative) << 63) | (m.exponent << 52) | fraction);
}
inline double key_to_double(Entry e) { return key_code_to_double(entry_key(e)); }
// True when key_code_to_double gives the number back exactly (no mantissa
// bit below the double's 52 fraction bits is set).
inline bool key_code_exact_as_double(KeyCode k) { return (key_code_magnitude(k).mantissa & 0x7FF) == 0; }
// The integer of a key code made from an integer (of_int).
inline int64_t key_code_to_int(KeyCode k) {
  const KeyMagnitude m = key_code_magnitude(k);
  if (m.exponent == 0 && m.mantissa == 0) return 0;
  const uint64_t v = m.mantissa >> (1086 - static_cast<int>(m.exponent));
  return static_cast<int64_t>(m.negative ? 0 - v : v);
}

// One end of a range. Included and Excluded carry a number; Unbounded does not.
struct Bound {
  enum class Kind : uint8_t { Included, Excluded, Unbounded };
  Kind kind;
  NumKey value;
  static Bound included(NumKey v) { return Bound{Kind::Included, v}; }
  static Bound excluded(NumKey v) { return Bound{Kind::Excluded, v}; }
  static Bound unbounded() { return Bound{Kind::Unbounded, NumKey::of_int(0)}; }
};

// A bound resolved to a key code once per query.
struct KeyBound {
  Bound::Kind kind;
  KeyCode code;
  static KeyBound of(const Bound& b) {
    return KeyBound{b.kind, b.kind == Bound::Kind::Unbounded ? KeyCode{0} : key_code(b.value)};
  }
  bool unbounded() const { return kind == Bound::Kind::Unbounded; }
  // For a lower bound: the key lies at or above it. For an upper bound use below_upper.
  bool admits_as_lower(KeyCode k) const {
    switch (kind) {
      case Bound::Kind::Included: return k >= code;
      case Bound::Kind::Excluded: return k > code;
      case Bound::Kind::Unbounded: return true;
    }
    return true;
  }
  bool admits_as_upper(KeyCode k) const {
    switch (kind) {
      case Bound::Kind::Included: return k <= code;
      case Bound::Kind::Excluded: return k < code;
      case Bound::Kind::Unbounded: return true;
    }
    return true;
  }
};

}  // namespace zarvex
