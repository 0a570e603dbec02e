// radix_sort and sorted_ids: ordering 32-bit ids gathered in any order;
// radix_sort_by_high_half: ordering 64-bit keys by an id in their high half.
//
// Cost: radix_sort makes one counting pass over the ids and one stable pass
// through the scratch buffer for each of their four bytes that the ids do
// not all share (ids are dense, so their high bytes are usually one value):
// linear in the number of ids, with 8 KiB of counters on the stack. Short
// spans are sorted by comparison instead.
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

// Sorts ids ascending; `scratch` is at least as long as `ids` (or empty when
// they are fewer than kSortedByComparisonBelow). The ids end where they
// started.
inline void radix_sort(std::span<uint32_t> ids, std::span<uint32_t> scratch) {
  const size_t n = ids.size();
  if (n < kSortedByComparisonBelow) {
    std::sort(ids.begin(), ids.end());
    return;
  }
  size_t at[4][257] = {};
  for (uint32_t id : ids) {
    ++at[0][(id & 0xFF) + 1];
    ++at[1][((id >> 8) & 0xFF) + 1];
    ++at[2][((id >> 16) & 0xFF) + 1];
    ++at[3][(id >> 24) + 1];
  }
  uint32_t* from = ids.data();
  uint32_t* to = scratch.data();
  for (int d = 0; d < 4; ++d) {
    const int shift = 8 * d;
    size_t* c = at[d];
    if (c[((from[0] >> shift) & 0xFF) + 1] == n) continue;  // one value: the order stands
    for (int b = 0; b < 256; ++b) c[b + 1] += c[b];
    for (size_t i = 0; i < n; ++i) to[c[(from[i] >> shift) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != ids.data()) std::copy(from, from + n, ids.data());
}

// Sorts 64-bit keys ascending by their high 32 bits alone, stably (keys of
// equal high halves keep their order); `scratch` is at least as long as
// `keys`. One counting pass, then a pass per byte of the high halves that
// they do not all share. The keys end where they started.
inline void radix_sort_by_high_half(std::span<uint64_t> keys, std::span<uint64_t> scratch) {
  const size_t n = keys.size();
  if (n < 2) return;
  size_t at[4][257] = {};
  for (uint64_t k : keys)
    for (int d = 0; d < 4; ++d) ++at[d][((k >> (32 + 8 * d)) & 0xFF) + 1];
  uint64_t* from = keys.data();
  uint64_t* to = scratch.data();
  for (int d = 0; d < 4; ++d) {
    const int shift = 32 + 8 * d;
    size_t* c = at[d];
    if (c[((from[0] >> shift) & 0xFF) + 1] == n) continue;
    for (int b = 0; b < 256; ++b) c[b + 1] += c[b];
    for (size_t i = 0; i < n; ++i) to[c[(from[i] >> shift) & 0xFF]++] = from[i];
    std::swap(from, to);
  }
  if (from != keys.data()) std::copy(from, from + n, keys.data());
}

// Sorts `ids` (through `scratch`) and closes up repeats; returns how many
// distinct ids now lead the span.
inline size_t sorted_ids(std::span<uint32_t> ids, std::span<uint32_t> scratch) {
  radix_sort(ids, scratch);
  return static_cast<size_t>(std::unique(ids.begin(), ids.end()) - ids.begin());
}

}  // namespace zarvex
