#include "index/core/query/b_tree/nodes/leaf_node.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>

#include "support/internal_failure.hpp"

namespace zarvex {

namespace {
void move_entries(Entry* to, const Entry* from, uint32_t n) {
  if (n != 0) std::memmove(static_cast<void*>(to), static_cast<const void*>(from), n * sizeof(Entry));
}
}  // namespace

bool LeafNode::insert_non_full(Entry e) {
  const uint32_t n = count_;
  uint32_t p = 0;
  if (n != 0) {
    const Entry* run = run_begin();
    const uint32_t base = btree_detail::last_position(run, n, [e](Entry x) { return x <= e; });
    if (run[base] == e) return false;
    p = run[base] < e ? base + 1 : base;
  }
  if (start_ != 0 && p < n / 2) {
    move_entries(entries_ + start_ - 1, entries_ + start_, p);
    --start_;
  } else {
    ZX_CHECK(start_ + n < kNodeSlots, "BitMapBTree: insertion into a full leaf");
    move_entries(entries_ + start_ + p + 1, entries_ + start_ + p, n - p);
  }
  entries_[start_ + p] = e;
  count_ = static_cast<uint8_t>(n + 1);
  if (btree_detail::needs_recentre(count_, start_)) recentre();
  return true;
}

bool LeafNode::remove(Entry e) {
  const uint32_t n = count_;
  if (n == 0) return false;
  const Entry* run = run_begin();
  const uint32_t p = btree_detail::last_position(run, n, [e](Entry x) { return x <= e; });
  if (run[p] != e) return false;
  if (p < n / 2) {
    move_entries(entries_ + start_ + 1, entries_ + start_, p);
    ++start_;
  } else {
    move_entries(entries_ + start_ + p, entries_ + start_ + p + 1, n - p - 1);
  }
  count_ = static_cast<uint8_t>(n - 1);
  return true;
}

void LeafNode::remove_ids(const IdSieve& dead, uint64_t& removed, uint64_t& nans) {
  // The survivors close up from the run's start, which stays.
  Entry* run = entries_ + start_;
  const uint32_t n = count_;
  uint32_t k = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const Entry e = run[i];
    if (!dead.has(entry_id(e))) {
      run[k++] = e;
    } else if (std::isnan(key_to_double(e))) {
      ++nans;
    }
  }
  count_ = static_cast<uint8_t>(k);
  removed += n - k;
}

bool LeafNode::contains(Entry e) const {
  if (count_ == 0) return false;
  const uint32_t p = btree_detail::last_position(run_begin(), count_, [e](Entry x) { return x <= e; });
  return entry(p) == e;
}

bool LeafNode::contains_id(uint32_t id) const {
  return std::any_of(run_begin(), run_end(), [id](Entry x) { return entry_id(x) == id; });
}

Bitmap LeafNode::get_bitmap() const {
  uint32_t ids[kNodeSlots];
  for (uint32_t i = 0; i < count_; ++i) ids[i] = entry_id(entry(i));
  return Bitmap(std::span<const uint32_t>(ids, count_));
}

void LeafNode::recentre() {
  const uint32_t target = btree_detail::centred_start(count_);
  if (target != start_) move_entries(entries_ + target, entries_ + start_, count_);
  start_ = static_cast<uint8_t>(target);
}

void LeafNode::split_into(LeafNode& right) {
  const uint32_t n = count_;
  const uint32_t keep = n / 2;
  const uint32_t moved = n - keep;
  ZX_CHECK(right.count_ == 0 && kSplitStart + moved <= kNodeSlots, "BitMapBTree: bad leaf split");
  move_entries(right.entries_ + kSplitStart, entries_ + start_ + keep, moved);
  right.start_ = static_cast<uint8_t>(kSplitStart);
  right.count_ = static_cast<uint8_t>(moved);
  count_ = static_cast<uint8_t>(keep);
  recentre();
}

void LeafNode::assign(const Entry* from, uint32_t n) {
  ZX_CHECK(n <= kFullCount, "BitMapBTree: leaf run assigned beyond a non-full leaf");
  start_ = static_cast<uint8_t>(btree_detail::centred_start(n));
  count_ = static_cast<uint8_t>(n);
  move_entries(entries_ + start_, from, n);
}

std::span<const Entry> LeafNode::range_run(const KeyBound& lower, const KeyBound& upper) const {
  const Entry* first = run_begin();
  const Entry* last = run_end();
  if (!lower.unbounded())
    first = std::partition_point(first, last, [&](Entry x) { return !lower.admits_as_lower(entry_key(x)); });
  if (!upper.unbounded())
    last = std::partition_point(first, last, [&](Entry x) { return upper.admits_as_upper(entry_key(x)); });
  return std::span<const Entry>(first, last);
}

void LeafNode::validate(const Entry* lo, const Entry* hi, Bitmap& ids) const {
  ZX_CHECK(start_ + count_ <= kNodeSlots, "BitMapBTree leaf: run exceeds its block (start + count > 96)");
  for (uint32_t i = 0; i < count_; ++i) {
    const Entry e = entry(i);
    ZX_CHECK(entry_reserved_bits_clear(e), "BitMapBTree leaf: entry with reserved bits 33..51 set");
    ZX_CHECK(i == 0 || entry(i - 1) < e, "BitMapBTree leaf: entries not strictly ascending");
  }
  if (count_ != 0) {
    ZX_CHECK(lo == nullptr || *lo <= entry(0), "BitMapBTree leaf: entry below the key of its slot");
    ZX_CHECK(hi == nullptr || entry(count_ - 1) < *hi, "BitMapBTree leaf: entry at or above the next slot's key");
  }
  ids.or_inplace(get_bitmap());
}

}  // namespace zarvex
