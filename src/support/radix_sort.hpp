// radix_sort and sorted_ids: ordering 32-bit ids gathered in any order;
// radix_sort_by_high_half: ordering 64-bit keys by an id in their high half.
//
// Cost: each makes one counting pass over the keys and one stable pass
// through the scratch buffer for each of the four id bytes that the keys do
// not all share (ids are dense, so their high bytes are usually one value):
// linear in the number of keys, with 8 KiB of counters on the stack.
// radix_sort sorts short spans by comparison instead.
// No locking and no allocation of its own.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace zarvex {

// Spans shorter than this are sorted by comparison, with no scratch.
inline constexpr size_t kSortedByComparisonBelow = 64;

namespace detail {
// Stable LSD sort of `keys` by the 32 bits that start at bit `low`: one
// counting pass, then a pass through `scratch` per byte that the keys do
// not all share. The keys end where they started.
template <class T>
inline void radix_sort_32_bits_from(std::span<T> keys, std::span<T> scratch, int low) {
  const size_t n = keys.size();
  size_t at[4][257] = {};
  for (T k : keys)
    for (int d = 0; d < 4; ++d) ++at[d][((k >> (low + 8 * d)) & 0xFF) + 1];
  T* from = keys.data();
  T* to = scratch.data();
  for (int d = 0; d < 4; ++d) {
    const int shift = low + 8 * d;
    size_t* c = at[d];
    if (c[((from[0] >> shift) & 0xFF) + 1] == n) continue;  // one value: the order stands
    for (int b = 0; b < 256; ++b) c[b + 1] += c[b];
    for (size_t i = 0; i < n; ++i) to[c[(from[i] >> shift) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != keys.data()) std::copy(from, from + n, keys.data());
}
}  // namespace detail

// Sorts ids ascending; `scratch` is at least as long as `ids` (or empty when
// they are fewer than kSortedByComparisonBelow). The ids end where they
// started.
inline void radix_sort(std::span<uint32_t> ids, std::span<uint32_t> scratch) {
  if (ids.size() < kSortedByComparisonBelow) {
    std::sort(ids.begin(), ids.end());
    return;
  }
  detail::radix_sort_32_bits_from(ids, scratch, 0);
}

// Sorts 64-bit keys ascending by their high 32 bits alone, stably (keys of
// equal high halves keep their order); `scratch` is at least as long as
// `keys`. The keys end where they started.
inline void radix_sort_by_high_half(std::span<uint64_t> keys, std::span<uint64_t> scratch) {
  if (keys.size() < 2) return;
  detail::radix_sort_32_bits_from(keys, scratch, 32);
}

// Sorts `ids` (through `scratch`) and closes up repeats; returns how many
// distinct ids now lead the span.
inline size_t sorted_ids(std::span<uint32_t> ids, std::span<uint32_t> scratch) {
  radix_sort(ids, scratch);
  return static_cast<size_t>(std::unique(ids.begin(), ids.end()) - ids.begin());
}

}  // namespace zarvex
