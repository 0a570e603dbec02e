// LeafNode: the bottom level of the ordered tree, one fixed block of 96
// entries of which a contiguous ascending run [start, start + count) is in
// use. The run is kept away from both ends of the block: every insertion that
// leaves it touching slot 0 or slot 95 re-centres it, so an insertion or a
// removal moves at most about half of the run. A leaf is full when
// count > 92 and (start == 0 or start + count > 95), in practice at 95
// entries; the parent splits a full leaf before inserting into it.
//
// Entries in one leaf are distinct: the tree keeps repeated (number, id)
// pairs as a multiplicity of its own, never as a second copy in a leaf.
// Leaves become empty through removals and stay in the tree.
//
// Cost: one heap block of ~1.5 KiB, never reallocated. Searches are binary,
// moves are memmove of at most half the run.
// No locking of its own: the tree's owner guards it. Failures are internal
// failures, raised only on broken invariants.
#pragma once

#include <cstdint>
#include <span>
#include <utility>

#include "index/core/query/b_tree/num_key.hpp"
#include "support/bitmap.hpp"
#include "support/id_sieve.hpp"

namespace zarvex {

inline constexpr uint32_t kNodeSlots = 96;
inline constexpr uint32_t kNewNodeStart = 48;  // start of a new, empty node
inline constexpr uint32_t kSplitStart = 24;    // start of the right half of a split
inline constexpr uint32_t kFullCount = 92;     // full needs count above this
static_assert(kNodeSlots == 96, "node blocks hold 96 slots");
static_assert(kSplitStart + (kNodeSlots - 1) - (kNodeSlots - 1) / 2 <= kNodeSlots,
              "the right half of a split fits behind its start");

namespace btree_detail {

// Asks for every cache line of [p, p + bytes) at once. A node's search reads
// a handful of its lines one after another, each known only after the last
// comparison; a node not in cache then costs a miss per probe. Fetched
// together, the misses overlap.
inline void prefetch_lines(const void* p, size_t bytes) {
  const char* c = static_cast<const char*>(p);
  const char* const end = c + bytes;
  // Four lines a step: a step's count and test would cost more than its
  // one request otherwise.
  for (; c + 3 * 64 < end; c += 4 * 64) {
    __builtin_prefetch(c);
    __builtin_prefetch(c + 64);
    __builtin_prefetch(c + 2 * 64);
    __builtin_prefetch(c + 3 * 64);
  }
  for (; c < end; c += 64) __builtin_prefetch(c);
}

// Binary search over an ascending run of n elements: the last position whose
// element satisfies `le` (true on a prefix of the run), or 0 when none does.
// For a run whose lines were requested already (or are cached).
template <class T, class Le>
inline uint32_t last_position_requested(const T* run, uint32_t n, Le&& le) {
  uint32_t base = 0;
  uint32_t size = n;
  while (size > 1) {
    const uint32_t half = size / 2;
    const uint32_t mid = base + half;
    if (le(run[mid])) base = mid;
    size -= half;
  }
  return base;
}

// last_position_requested after requesting every line of the run.
template <class T, class Le>
inline uint32_t last_position(const T* run, uint32_t n, Le&& le) {
  prefetch_lines(run, n * sizeof(T));
  return last_position_requested(run, n, std::forward<Le>(le));
}

inline bool is_full(uint32_t count, uint32_t start) {
  return count > kFullCount && (start == 0 || start + count > kNodeSlots - 1);
}

inline bool needs_recentre(uint32_t count, uint32_t start) { return start == 0 || start + count == kNodeSlots; }

inline uint32_t centred_start(uint32_t count) { return (kNodeSlots - count) / 2; }

}  // namespace btree_detail

class LeafNode {
 public:
  LeafNode() = default;
  LeafNode(const LeafNode&) = delete;
  LeafNode& operator=(const LeafNode&) = delete;

  uint32_t count() const { return count_; }
  uint32_t start() const { return start_; }
  // Entry at run position pos (0 <= pos < count).
  Entry entry(uint32_t pos) const { return entries_[start_ + pos]; }
  // Requests the whole block: the run's bounds and every entry a search or
  // a shift may read.
  void prefetch_search() const { btree_detail::prefetch_lines(this, sizeof(LeafNode)); }
  const Entry* run_begin() const { return entries_ + start_; }
  const Entry* run_end() const { return entries_ + start_ + count_; }
  bool is_full() const { return btree_detail::is_full(count_, start_); }

  // Inserts e at its place in the run. Answers false, changing nothing, when
  // an equal entry is already there. The leaf must not be full.
  bool insert_non_full(Entry e);
  // Removes e; false when the run holds no equal entry.
  bool remove(Entry e);
  // Takes out every entry whose id `dead` holds, the others keeping their
  // order; adds how many went to `removed`, and those keyed by a NaN to
  // `nans`.
  void remove_ids(const IdSieve& dead, uint64_t& removed, uint64_t& nans);
  bool contains(Entry e) const;
  bool contains_id(uint32_t id) const;

  // Bitmap of the ids of the run (bulk-added in entry order).
  Bitmap get_bitmap() const;

  // Keeps the first count / 2 entries (re-centred) and moves the others into
  // `right`, a new empty leaf, where they start at slot 24.
  void split_into(LeafNode& right);
  // Replaces the run with the n ascending distinct entries at `from` (not
  // within this leaf), centred; n <= kFullCount, so the leaf is not full.
  void assign(const Entry* from, uint32_t n);

  // The part of the run whose keys lie within the bounds.
  std::span<const Entry> range_run(const KeyBound& lower, const KeyBound& upper) const;

  // Checks the run (within the block, strictly ascending, reserved bits
  // clear) and that every entry e satisfies lo <= e < hi for the fences given
  // (nullptr: no fence); adds the ids of the run to `ids`.
  void validate(const Entry* lo, const Entry* hi, Bitmap& ids) const;

 private:
  friend struct BitMapBTreeTestAccess;
  void recentre();

  Entry entries_[kNodeSlots];
  uint8_t count_ = 0;
  uint8_t start_ = kNewNodeStart;
};

static_assert(sizeof(LeafNode) <= kNodeSlots * sizeof(Entry) + 16, "a leaf is one block of 96 entries");

}  // namespace zarvex
