#include "index/core/query/b_tree/nodes/internal_node.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "support/internal_failure.hpp"
#include "support/radix_sort.hpp"

namespace zarvex {

// ---------------------------------------------------------------------------
// BitMapBTreeNode

BitMapBTreeNode::BitMapBTreeNode(std::unique_ptr<InternalNode> node)
    : kind_(node ? Kind::Internal : Kind::Empty), ptr_(node.release()) {}
BitMapBTreeNode::BitMapBTreeNode(std::unique_ptr<LeafNode> node)
    : kind_(node ? Kind::Leaf : Kind::Empty), ptr_(node.release()) {}

BitMapBTreeNode& BitMapBTreeNode::operator=(BitMapBTreeNode&& other) noexcept {
  if (this != &other) {
    BitMapBTreeNode old(std::move(*this));
    kind_ = other.kind_;
    ptr_ = other.ptr_;
    other.kind_ = Kind::Empty;
    other.ptr_ = nullptr;
  }
  return *this;
}

BitMapBTreeNode::~BitMapBTreeNode() {
  switch (kind_) {
    case Kind::Internal: delete static_cast<InternalNode*>(ptr_); break;
    case Kind::Leaf: delete static_cast<LeafNode*>(ptr_); break;
    case Kind::Empty: break;
  }
}

BitMapBTreeNode BitMapBTreeNode::new_leaf() { return BitMapBTreeNode(std::make_unique<LeafNode>()); }

bool BitMapBTreeNode::is_full() const {
  switch (kind_) {
    case Kind::Internal: return internal()->is_full();
    case Kind::Leaf: return leaf()->is_full();
    case Kind::Empty: return false;
  }
  return false;
}

void BitMapBTreeNode::prefetch_search() const {
  switch (kind_) {
    case Kind::Internal: internal()->prefetch_search(); break;
    case Kind::Leaf: leaf()->prefetch_search(); break;
    case Kind::Empty: break;
  }
}

Entry BitMapBTreeNode::first_entry() const {
  switch (kind_) {
    case Kind::Internal:
      ZX_CHECK(internal()->count() != 0, "BitMapBTree: first key of an internal node without children");
      return internal()->key(0);
    case Kind::Leaf:
      ZX_CHECK(leaf()->count() != 0, "BitMapBTree: first entry of an empty leaf");
      return leaf()->entry(0);
    case Kind::Empty: break;
  }
  fail("BitMapBTree: first entry of an empty node");
}

Bitmap BitMapBTreeNode::get_bitmap() const {
  switch (kind_) {
    case Kind::Internal: return internal()->get_bitmap();
    case Kind::Leaf: return leaf()->get_bitmap();
    case Kind::Empty: break;
  }
  return Bitmap();
}

BitMapBTreeNode BitMapBTreeNode::split(Entry* separator) {
  switch (kind_) {
    case Kind::Leaf: {
      auto right = std::make_unique<LeafNode>();
      leaf()->split_into(*right);
      *separator = right->entry(0);
      return BitMapBTreeNode(std::move(right));
    }
    case Kind::Internal: {
      auto right = std::make_unique<InternalNode>();
      internal()->split_into(*right);
      *separator = right->key(0);
      return BitMapBTreeNode(std::move(right));
    }
    case Kind::Empty: break;
  }
  fail("Cannot split empty node");
}

bool BitMapBTreeNode::insert_non_full(Entry e) {
  switch (kind_) {
    case Kind::Leaf: return leaf()->insert_non_full(e);
    case Kind::Internal: return internal()->insert(e);
    case Kind::Empty: break;
  }
  fail("Cannot insert into empty node");
}

void BitMapBTreeNode::query_range(const KeyBound& lower, const KeyBound& upper, const Bitmap* mask,
                                  RangeAnswer& answer) const {
  switch (kind_) {
    case Kind::Internal: internal()->query_range(lower, upper, mask, answer); break;
    case Kind::Leaf: answer.add_run(leaf()->range_run(lower, upper)); break;
    case Kind::Empty: break;
  }
}

void RangeAnswer::add_run(std::span<const Entry> run) {
  const size_t at = loose.size();
  loose.resize(at + run.size());
  uint32_t* out = loose.data() + at;
  for (const Entry e : run) *out++ = entry_id(e);
}

Bitmap RangeAnswer::finish(const Bitmap* mask) && {
  Bitmap ids;
  if (!loose.empty()) {
    std::vector<uint32_t> scratch(loose.size() < kSortedByComparisonBelow ? 0 : loose.size());
    const size_t n = sorted_ids(std::span<uint32_t>(loose), scratch);
    ids = Bitmap::from_sorted(std::span<const uint32_t>(loose.data(), n));
    if (mask) ids.and_inplace(*mask);
  }
  if (covered.size() <= kMergeSeparatelyUpTo) {
    for (const Bitmap* b : covered) {
      if (mask) {
        ids.or_inplace(Bitmap::and_(*b, *mask));
      } else {
        ids.or_inplace(*b);
      }
    }
    return ids;
  }
  Bitmap all = Bitmap::or_many(std::span<const Bitmap* const>(covered.data(), covered.size()));
  if (mask) all.and_inplace(*mask);
  all.or_inplace(ids);
  return all;
}

// ---------------------------------------------------------------------------
// InternalNode

namespace {
// Only slots holding internal nodes have bitmaps.
[[noreturn]] void fail_missing_bitmap() { fail("Bitmap should be present for internal"); }
}  // namespace

std::unique_ptr<InternalNode> InternalNode::new_root(BitMapBTreeNode left, BitMapBTreeNode right, Entry separator) {
  auto root = std::make_unique<InternalNode>();
  const uint32_t s = kNewNodeStart;
  root->keys_[s] = left.first_entry();
  if (left.kind() == BitMapBTreeNode::Kind::Internal) {
    root->bitmaps_[s].emplace(left.get_bitmap());
    root->bitmaps_[s + 1].emplace(right.get_bitmap());
  }
  root->children_[s].emplace(std::move(left));
  root->keys_[s + 1] = separator;
  root->children_[s + 1].emplace(std::move(right));
  root->start_ = static_cast<uint8_t>(s);
  root->count_ = 2;
  return root;
}

bool InternalNode::insert(Entry e) {
  const uint32_t pos = route(e);
  const uint32_t slot = start_ + pos;
  std::optional<BitMapBTreeNode>& child = children_[slot];
  if (!child) fail("Missing child");
  if (child->kind() == BitMapBTreeNode::Kind::Empty) fail("Cannot insert into empty node");
  const bool mapped = child->kind() == BitMapBTreeNode::Kind::Internal;
  if (mapped && !bitmaps_[slot]) fail_missing_bitmap();
  // An entry below every key lowers the first key, so that it stays a lower
  // fence of its child and a later split of that child cannot produce a
  // separator below it. Only the leftmost path of the tree is ever touched.
  if (e < keys_[slot]) keys_[slot] = e;
  if (child->is_full()) return split_and_insert(pos, e);
  const bool inserted = child->insert_non_full(e);
  if (mapped) bitmaps_[slot]->add_dense(entry_id(e));
  return inserted;
}

bool InternalNode::split_and_insert(uint32_t h, Entry e) {
  const uint32_t slot = start_ + h;
  std::optional<BitMapBTreeNode>& child = children_[slot];
  if (!child) fail("Missing child");
  Entry separator = 0;
  BitMapBTreeNode right = child->split(&separator);
  // Both halves' bitmaps (when the halves are internal) are recomputed from
  // their contents: an id with entries on both sides of the split belongs
  // to both.
  std::optional<Bitmap> left_bitmap, right_bitmap;
  if (right.kind() == BitMapBTreeNode::Kind::Internal) {
    right_bitmap.emplace(right.get_bitmap());
    left_bitmap.emplace(child->get_bitmap());
  }
  // Entries equal to the separator live in the right half, as routing expects.
  const bool to_right = separator <= e;
  const bool inserted = to_right ? right.insert_non_full(e) : child->insert_non_full(e);
  if (right_bitmap) (to_right ? *right_bitmap : *left_bitmap).add(entry_id(e));
  if (left_bitmap) bitmaps_[slot] = std::move(left_bitmap);

  if (start_ != 0 && h < count_ / 2u) {
    shift_left(start_, start_ + h + 1, 1);
    --start_;
  } else {
    ZX_CHECK(start_ + count_ < kNodeSlots, "BitMapBTree: split below a full internal node");
    shift_right(start_ + h + 1, start_ + count_, 1);
  }
  const uint32_t added = start_ + h + 1;
  keys_[added] = separator;
  children_[added].emplace(std::move(right));
  bitmaps_[added] = std::move(right_bitmap);
  ++count_;
  if (btree_detail::needs_recentre(count_, start_)) recentre();
  return inserted;
}

RemoveOutcome InternalNode::remove(Entry e, bool last_of_id) {
  const uint32_t pos = route(e);
  const uint32_t slot = start_ + pos;
  const std::optional<BitMapBTreeNode>& child = children_[slot];
  if (!child) fail("Missing child");
  const uint32_t id = entry_id(e);
  switch (child->kind()) {
    case BitMapBTreeNode::Kind::Leaf: {
      if (!child->leaf()->remove(e)) return RemoveOutcome::Absent;
      if (last_of_id) return RemoveOutcome::RemovedIdGone;
      // No bitmaps at this level: the node still holds the id only if one of
      // its leaves does.
      for (uint32_t s = start_; s < start_ + count_; ++s) {
        const LeafNode* leaf = children_[s] ? children_[s]->leaf() : nullptr;
        if (leaf && leaf->contains_id(id)) return RemoveOutcome::RemovedIdRemains;
      }
      return RemoveOutcome::RemovedIdGone;
    }
    case BitMapBTreeNode::Kind::Internal: break;
    case BitMapBTreeNode::Kind::Empty: return RemoveOutcome::Absent;
  }
  if (bitmaps_[slot]) bitmaps_[slot]->prefetch();  // read after the child's removal
  const RemoveOutcome below = child->internal()->remove(e, last_of_id);
  if (below != RemoveOutcome::RemovedIdGone) return below;
  // No entry of the id is left below this child: its bitmap must forget the
  // id, and this node still holds it only if a sibling's bitmap does.
  if (!bitmaps_[slot]) fail_missing_bitmap();
  bitmaps_[slot]->remove_dense(id);
  if (last_of_id) return RemoveOutcome::RemovedIdGone;
  for (uint32_t s = start_; s < start_ + count_; ++s)
    if (bitmaps_[s] && bitmaps_[s]->contains(id)) return RemoveOutcome::RemovedIdRemains;
  return RemoveOutcome::RemovedIdGone;
}

void InternalNode::remove_ids(const IdSieve& dead, uint64_t& removed, uint64_t& nans) {
  for (uint32_t s = start_; s < start_ + count_; ++s) {
    const std::optional<BitMapBTreeNode>& child = children_[s];
    if (!child) fail("Missing child");
    switch (child->kind()) {
      case BitMapBTreeNode::Kind::Leaf: child->leaf()->remove_ids(dead, removed, nans); continue;
      case BitMapBTreeNode::Kind::Internal: child->internal()->remove_ids(dead, removed, nans); break;
      case BitMapBTreeNode::Kind::Empty: continue;
    }
    // After the child: a failure here leaves the ids in this bitmap alone,
    // and the next pass finds nothing more below and removes them.
    if (!bitmaps_[s]) fail_missing_bitmap();
    bitmaps_[s]->andnot_inplace(dead.ids());
  }
}

bool InternalNode::move_entry(Entry from, Entry to, bool change_bitmaps) {
  // One step of each path per level: the node and the slot descended from.
  struct Step {
    InternalNode* node;
    uint32_t slot;
  };
  constexpr uint32_t kMostLevels = 16;  // 96-way nodes: far beyond 2^32 entries
  Step path_from[kMostLevels], path_to[kMostLevels];
  uint32_t levels = 0;
  InternalNode* at_from = this;
  InternalNode* at_to = this;
  LeafNode* leaf_from = nullptr;
  LeafNode* leaf_to = nullptr;
  for (;;) {
    ZX_CHECK(levels < kMostLevels, "BitMapBTree: deeper than any tree of 32-bit ids");
    // Below this node, every node's keys were requested one level up.
    const uint32_t sf = at_from->start_ + (levels ? at_from->route_requested(from) : at_from->route(from));
    const uint32_t st = at_to->start_ + (levels ? at_to->route_requested(to) : at_to->route(to));
    path_from[levels] = {at_from, sf};
    path_to[levels] = {at_to, st};
    ++levels;
    const std::optional<BitMapBTreeNode>& cf = at_from->children_[sf];
    const std::optional<BitMapBTreeNode>& ct = at_to->children_[st];
    if (!cf || !ct) fail("Missing child");
    // Both children's searches read lines known only one after another
    // (their count and start, then their run): all of them are requested
    // together, for both paths.
    cf->prefetch_search();
    ct->prefetch_search();
    if (change_bitmaps) {
      if (at_from->bitmaps_[sf]) at_from->bitmaps_[sf]->prefetch();
      if (at_to->bitmaps_[st]) at_to->bitmaps_[st]->prefetch();
    }
    if (cf->kind() == BitMapBTreeNode::Kind::Leaf && ct->kind() == BitMapBTreeNode::Kind::Leaf) {
      leaf_from = cf->leaf();
      leaf_to = ct->leaf();
      break;
    }
    // Leaves lie at one depth: anything else is left to the general path,
    // which reports it.
    if (cf->kind() != BitMapBTreeNode::Kind::Internal || ct->kind() != BitMapBTreeNode::Kind::Internal) return false;
    at_from = cf->internal();
    at_to = ct->internal();
  }
  // Levels where the paths still share a slot keep the id: its entry stays
  // below that child. Below the first divergence every level differs. The
  // slots of the lowest level hold leaves, and no bitmaps.
  const uint32_t mapped = levels - 1;
  uint32_t shared = 0;
  while (shared < mapped && path_from[shared].node == path_to[shared].node &&
         path_from[shared].slot == path_to[shared].slot)
    ++shared;
  const uint32_t id = entry_id(from);
  if (change_bitmaps) {
    // The lines of the id in every bitmap that changes, requested together
    // while the leaves are searched.
    const Bitmap* changing[2 * kMostLevels];
    uint32_t n = 0;
    for (uint32_t d = shared; d < mapped; ++d) {
      const std::optional<Bitmap>& bf = path_from[d].node->bitmaps_[path_from[d].slot];
      const std::optional<Bitmap>& bt = path_to[d].node->bitmaps_[path_to[d].slot];
      changing[n++] = bf ? &*bf : nullptr;
      changing[n++] = bt ? &*bt : nullptr;
    }
    Bitmap::prefetch_id_in(std::span<const Bitmap* const>(changing, n), id);
  }
  // A full leaf of `to` is split in its parent, the lowest internal level,
  // which keeps no bitmaps; a full parent is left to the general path.
  InternalNode* const parent = path_to[mapped].node;
  const bool split = leaf_to->is_full();
  if (split && (leaf_to == leaf_from || parent->is_full())) return false;
  if (split ? !leaf_from->contains(from) : !leaf_from->remove(from)) return false;
  auto bitmap_at = [](const Step& step) -> Bitmap& {
    std::optional<Bitmap>& b = step.node->bitmaps_[step.slot];
    if (!b) fail_missing_bitmap();
    return *b;
  };
  // As insert(): an entry below a node's first key lowers that key.
  for (uint32_t d = 0; d < levels; ++d) path_to[d].node->lower_key(path_to[d].slot - path_to[d].node->start_, to);
  if (split) {
    // The new leaf is allocated before anything in the leaves changes.
    ZX_CHECK(parent->split_and_insert(path_to[mapped].slot - parent->start_, to),
             "BitMapBTree: a moved entry was already held");
    ZX_CHECK(leaf_from->remove(from), "BitMapBTree: a moved entry went missing");
  } else {
    ZX_CHECK(leaf_to->insert_non_full(to), "BitMapBTree: a moved entry was already held");
  }
  if (change_bitmaps) {
    for (uint32_t d = mapped; d-- > shared;) bitmap_at(path_from[d]).remove_dense(id);
    for (uint32_t d = mapped; d-- > shared;) bitmap_at(path_to[d]).add_dense(id);
  }
  return true;
}

void InternalNode::bitmap_changes(Entry from, Entry to, std::vector<BitmapChange>& out) {
  const uint32_t id = entry_id(from);
  InternalNode* at_from = this;
  InternalNode* at_to = this;
  bool parted = false;
  // The walk stays above the lowest internal level: a few nodes, cached
  // through a settle, so their keys are searched without requesting lines.
  for (;;) {
    const uint32_t sf = at_from->start_ + at_from->route_requested(from);
    const uint32_t st = at_to->start_ + at_to->route_requested(to);
    const std::optional<BitMapBTreeNode>& cf = at_from->children_[sf];
    const std::optional<BitMapBTreeNode>& ct = at_to->children_[st];
    if (!cf || !ct) fail("Missing child");
    if (cf->kind() != BitMapBTreeNode::Kind::Internal || ct->kind() != BitMapBTreeNode::Kind::Internal) return;
    // While both paths pass through one slot, the id stays below it; from
    // the first slot they part on, every level differs.
    parted = parted || at_from != at_to || sf != st;
    if (parted) {
      std::optional<Bitmap>& bf = at_from->bitmaps_[sf];
      std::optional<Bitmap>& bt = at_to->bitmaps_[st];
      if (!bf || !bt) fail_missing_bitmap();
      out.push_back({&*bf, id, false});
      out.push_back({&*bt, id, true});
    }
    at_from = cf->internal();
    at_to = ct->internal();
    // A node above leaves keeps no bitmaps: the walk ends there.
    const std::optional<BitMapBTreeNode>& below = at_from->children_[at_from->start_];
    if (!below || below->kind() != BitMapBTreeNode::Kind::Internal) return;
  }
}

Bitmap InternalNode::get_bitmap() const { return union_of(0, count_); }

Bitmap InternalNode::union_of(uint32_t first, uint32_t end) const {
  const BitMapBTreeNode* head = first < end && children_[start_ + first] ? &*children_[start_ + first] : nullptr;
  if (head && head->kind() == BitMapBTreeNode::Kind::Leaf) {
    // A few thousand ids, gathered as a range query gathers its leaves'.
    RangeAnswer all;
    for (uint32_t s = start_ + first; s < start_ + end; ++s) {
      const LeafNode* leaf = children_[s] ? children_[s]->leaf() : nullptr;
      if (!leaf) fail("Missing child");
      all.add_run(std::span<const Entry>(leaf->run_begin(), leaf->run_end()));
    }
    return std::move(all).finish(nullptr);
  }
  const Bitmap* parts[kNodeSlots];
  uint32_t n = 0;
  for (uint32_t s = start_ + first; s < start_ + end; ++s)
    if (bitmaps_[s]) parts[n++] = &*bitmaps_[s];
  return Bitmap::or_many(std::span<const Bitmap* const>(parts, n));
}

void InternalNode::open_slots(uint32_t pos, uint32_t m) {
  const uint32_t count = count_ + m;
  ZX_CHECK(pos <= count_ && count <= kFullCount, "BitMapBTree: slots opened beyond a non-full internal node");
  const uint32_t from = start_;
  const uint32_t target = btree_detail::centred_start(count);
  // The slots before pos move to `target`, the others to target + pos + m;
  // the order of the two moves keeps either from overwriting the other.
  const uint32_t head_end = from + pos, tail_end = from + count_;
  if (target <= from) {
    if (target < from) shift_left(from, head_end, from - target);
    if (target + m < from)
      shift_left(head_end, tail_end, from - target - m);
    else if (target + m > from)
      shift_right(head_end, tail_end, target + m - from);
  } else {
    shift_right(head_end, tail_end, target + m - from);
    shift_right(from, head_end, target - from);
  }
  start_ = static_cast<uint8_t>(target);
  count_ = static_cast<uint8_t>(count);
}

void InternalNode::set_slot(uint32_t pos, Entry key, BitMapBTreeNode child, Bitmap bitmap) {
  const uint32_t s = start_ + pos;
  keys_[s] = key;
  children_[s] = std::move(child);
  bitmaps_[s] = std::move(bitmap);
}

void InternalNode::set_slot(uint32_t pos, Entry key, BitMapBTreeNode leaf) {
  const uint32_t s = start_ + pos;
  keys_[s] = key;
  children_[s] = std::move(leaf);
  bitmaps_[s].reset();
}

void InternalNode::add_ids(uint32_t pos, std::span<const uint32_t> ids) {
  std::optional<Bitmap>& b = bitmaps_[start_ + pos];
  if (!b) fail("Bitmap should be present for internal");
  b->add_many(ids);
}

void InternalNode::or_ids(uint32_t pos, const Bitmap& ids) {
  std::optional<Bitmap>& b = bitmaps_[start_ + pos];
  if (!b) fail("Bitmap should be present for internal");
  b->or_inplace(ids);
}

uint32_t InternalNode::get_key_index(const KeyBound& bound, bool is_lower) const {
  if (bound.unbounded()) return is_lower ? 0 : count_;
  const KeyCode v = bound.code;
  // Lower Included and upper Excluded need the last key below v; lower
  // Excluded and upper Included the last key at most v.
  const bool strict = (bound.kind == Bound::Kind::Included) == is_lower;
  const Entry* run = keys_ + start_;
  if (strict) return btree_detail::last_position(run, count_, [v](Entry k) { return entry_key(k) < v; });
  return btree_detail::last_position(run, count_, [v](Entry k) { return entry_key(k) <= v; });
}

void InternalNode::query_range(const KeyBound& lower, const KeyBound& upper, const Bitmap* mask,
                               RangeAnswer& answer) const {
  const uint32_t first = get_key_index(lower, true);
  const uint32_t end = get_key_index(upper, false);
  auto cover = [&](uint32_t pos) {
    const std::optional<BitMapBTreeNode>& c = children_[start_ + pos];
    if (const LeafNode* leaf = c ? c->leaf() : nullptr) {
      answer.add_run(std::span<const Entry>(leaf->run_begin(), leaf->run_end()));
      return;
    }
    const std::optional<Bitmap>& b = bitmaps_[start_ + pos];
    if (b && !b->is_empty()) answer.covered.push_back(&*b);
  };
  auto descend = [&](uint32_t pos) {
    const std::optional<BitMapBTreeNode>& c = children_[start_ + pos];
    if (c) c->query_range(lower, upper, mask, answer);
  };
  // With no lower end the first child is as wholly inside the range as the
  // ones after it, unless the upper end falls into it as well.
  if (lower.unbounded() && end > first)
    cover(first);
  else
    descend(first);
  for (uint32_t pos = first + 1; pos < end; ++pos) cover(pos);
  if (end > first && end < count_) descend(end);
}

void InternalNode::clear_slot(uint32_t slot) {
  keys_[slot] = 0;
  children_[slot].reset();
  bitmaps_[slot].reset();
}

void InternalNode::shift_left(uint32_t first, uint32_t end, uint32_t distance) {
  ZX_CHECK(distance <= first && end <= kNodeSlots, "BitMapBTree: shift outside the block");
  for (uint32_t s = first; s < end; ++s) {
    keys_[s - distance] = keys_[s];
    children_[s - distance] = std::move(children_[s]);
    bitmaps_[s - distance] = std::move(bitmaps_[s]);
  }
  for (uint32_t s = std::max(first, end - std::min(end, distance)); s < end; ++s) clear_slot(s);
}

void InternalNode::shift_right(uint32_t first, uint32_t end, uint32_t distance) {
  ZX_CHECK(end + distance <= kNodeSlots, "BitMapBTree: shift outside the block");
  for (uint32_t s = end; s > first; --s) {
    keys_[s - 1 + distance] = keys_[s - 1];
    children_[s - 1 + distance] = std::move(children_[s - 1]);
    bitmaps_[s - 1 + distance] = std::move(bitmaps_[s - 1]);
  }
  for (uint32_t s = first; s < std::min(end, first + distance); ++s) clear_slot(s);
}

void InternalNode::recentre() {
  const uint32_t target = btree_detail::centred_start(count_);
  if (target < start_)
    shift_left(start_, start_ + count_, start_ - target);
  else if (target > start_)
    shift_right(start_, start_ + count_, target - start_);
  start_ = static_cast<uint8_t>(target);
}

void InternalNode::split_into(InternalNode& right) {
  const uint32_t n = count_;
  const uint32_t keep = n / 2;
  const uint32_t moved = n - keep;
  ZX_CHECK(right.count_ == 0 && kSplitStart + moved <= kNodeSlots, "BitMapBTree: bad internal split");
  for (uint32_t k = 0; k < moved; ++k) {
    const uint32_t from = start_ + keep + k;
    const uint32_t to = kSplitStart + k;
    right.keys_[to] = keys_[from];
    right.children_[to] = std::move(children_[from]);
    right.bitmaps_[to] = std::move(bitmaps_[from]);
    clear_slot(from);
  }
  right.start_ = static_cast<uint8_t>(kSplitStart);
  right.count_ = static_cast<uint8_t>(moved);
  count_ = static_cast<uint8_t>(keep);
  recentre();
}

void InternalNode::validate(const Entry* lo, const Entry* hi, uint32_t depth, int64_t& leaf_depth, const Bitmap& owed,
                            Bitmap& ids) const {
  ZX_CHECK(start_ + count_ <= kNodeSlots, "BitMapBTree internal node: run exceeds its block (start + count > 96)");
  ZX_CHECK(count_ != 0, "BitMapBTree internal node: no children");
  for (uint32_t s = 0; s < kNodeSlots; ++s) {
    if (s >= start_ && s < start_ + count_) continue;
    ZX_CHECK(!children_[s] && !bitmaps_[s], "BitMapBTree internal node: slot outside the run holds a child or bitmap");
  }
  for (uint32_t s = start_; s < start_ + count_; ++s) {
    ZX_CHECK(s == start_ || keys_[s - 1] < keys_[s], "BitMapBTree internal node: keys not strictly ascending");
    ZX_CHECK(lo == nullptr || *lo <= keys_[s], "BitMapBTree internal node: key below its own lower fence");
    ZX_CHECK(hi == nullptr || keys_[s] < *hi, "BitMapBTree internal node: key at or above its upper fence");
    ZX_CHECK(entry_reserved_bits_clear(keys_[s]), "BitMapBTree internal node: key with reserved bits 33..51 set");
    ZX_CHECK(children_[s].has_value(), "BitMapBTree internal node: slot in use without a child");
    const BitMapBTreeNode& child = *children_[s];
    ZX_CHECK(bitmaps_[s].has_value() == (child.kind() == BitMapBTreeNode::Kind::Internal),
             child.kind() == BitMapBTreeNode::Kind::Internal ? "BitMapBTree internal node: slot in use without a bitmap"
                                                             : "BitMapBTree internal node: leaf slot with a bitmap");
    if (child.kind() == BitMapBTreeNode::Kind::Internal)
      ZX_CHECK(child.internal()->count() != 0 && child.internal()->key(0) == keys_[s],
               "BitMapBTree internal node: key differs from the first key of its internal child");
  }
  for (uint32_t s = start_; s < start_ + count_; ++s) {
    // Every entry below child s lies in [key s, key s+1).
    const Entry* child_hi = s + 1 < start_ + count_ ? &keys_[s + 1] : hi;
    Bitmap below;
    validate_node(*children_[s], &keys_[s], child_hi, depth + 1, leaf_depth, owed, below);
    ZX_CHECK(!bitmaps_[s] || (owed.is_empty() ? below == *bitmaps_[s]
                                              : Bitmap::andnot(below, owed) == Bitmap::andnot(*bitmaps_[s], owed)),
             "BitMapBTree internal node: slot bitmap differs from the ids below its child");
    ids.or_inplace(below);
  }
}

void validate_node(const BitMapBTreeNode& node, const Entry* lo, const Entry* hi, uint32_t depth, int64_t& leaf_depth,
                   const Bitmap& owed, Bitmap& ids) {
  switch (node.kind()) {
    case BitMapBTreeNode::Kind::Internal: node.internal()->validate(lo, hi, depth, leaf_depth, owed, ids); return;
    case BitMapBTreeNode::Kind::Leaf:
      if (leaf_depth < 0) leaf_depth = depth;
      ZX_CHECK(leaf_depth == static_cast<int64_t>(depth), "BitMapBTree: leaves at different depths");
      node.leaf()->validate(lo, hi, ids);
      return;
    case BitMapBTreeNode::Kind::Empty: break;
  }
  fail("BitMapBTree: empty node inside the tree");
}

}  // namespace zarvex
