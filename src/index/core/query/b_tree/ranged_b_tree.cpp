#include "index/core/query/b_tree/ranged_b_tree.hpp"

#include <algorithm>

namespace zarvex {

namespace {
// Entries of one number read from the leaves before the subtree bitmaps are
// used instead.
constexpr size_t kKeyWalkLimit = 1 << 16;
}  // namespace

BitMapBTree::BitMapBTree() : root_(BitMapBTreeNode::new_leaf()) {}

void BitMapBTree::insert(NumKey key, uint32_t id) {
  if (root_.kind() == BitMapBTreeNode::Kind::Empty) fail("Cannot insert into an empty node!");
  if (root_.is_full()) {
    Entry separator = 0;
    BitMapBTreeNode right = root_.split(&separator);
    root_ = BitMapBTreeNode(InternalNode::new_root(std::move(root_), std::move(right), separator));
  }
  const Entry e = make_entry(key, id);
  if (root_.insert_non_full(e))
    count_entry(id);
  else
    ++extra_copies_[e];
  ++size_;
}

bool BitMapBTree::insert_once(NumKey key, uint32_t id) {
  if (root_.kind() == BitMapBTreeNode::Kind::Empty) fail("Cannot insert into an empty node!");
  if (root_.is_full()) {
    Entry separator = 0;
    BitMapBTreeNode right = root_.split(&separator);
    root_ = BitMapBTreeNode(InternalNode::new_root(std::move(root_), std::move(right), separator));
  }
  // A held pair leaves the tree as it was: the descent adds the id only to
  // bitmaps that already hold it.
  if (!root_.insert_non_full(make_entry(key, id))) return false;
  count_entry(id);
  ++size_;
  return true;
}

bool BitMapBTree::remove(NumKey key, uint32_t id) {
  if (root_.kind() == BitMapBTreeNode::Kind::Empty) fail("Cannot remove from an empty node!");
  const Entry e = make_entry(key, id);
  if (!extra_copies_.empty()) {
    auto it = extra_copies_.find(e);
    if (it != extra_copies_.end()) {
      if (--it->second == 0) extra_copies_.erase(it);
      --size_;
      return true;
    }
  }
  const uint32_t entries = entries_of(id);
  if (entries == 0) return false;
  bool removed;
  if (root_.kind() == BitMapBTreeNode::Kind::Leaf)
    removed = root_.leaf()->remove(e);
  else
    removed = root_.internal()->remove(e, entries == 1) != RemoveOutcome::Absent;
  if (!removed) return false;
  if (entries == 1) {
    ids_.remove(id);
  } else if (auto it = multi_.find(id); entries == 2) {
    multi_.erase(it);
  } else {
    --it->second;
  }
  --size_;
  return true;
}

uint32_t BitMapBTree::entries_of(uint32_t id) const {
  if (!ids_.contains(id)) return 0;
  if (multi_.empty()) return 1;
  auto it = multi_.find(id);
  return it == multi_.end() ? 1 : it->second;
}

void BitMapBTree::count_entry(uint32_t id) {
  if (!ids_.contains(id)) {
    ids_.add(id);
    return;
  }
  auto [it, added] = multi_.try_emplace(id, 1);
  ++it->second;
}

Bitmap BitMapBTree::query_range(const Bound& lower, const Bound& upper, const Bitmap& mask) const {
  if (mask.is_empty()) return Bitmap();
  return query_range_masked(lower, upper, &mask);
}

Bitmap BitMapBTree::query_range_all(const Bound& lower, const Bound& upper) const {
  return query_range_masked(lower, upper, nullptr);
}

Bitmap BitMapBTree::query_range_masked(const Bound& lower, const Bound& upper, const Bitmap* mask) const {
  Bitmap out;
  if (size_ == 0) return out;
  if (mask && mask->is_contiguous()) {
    // A mask holding every id between its ends (an index's own ids, as
    // usually allocated) only clips: answer without it, and intersect only
    // when the answer reaches beyond its ends.
    out = query_range_masked(lower, upper, nullptr);
    if (!out.is_empty() && (out.minimum() < mask->minimum() || out.maximum() > mask->maximum())) out.and_inplace(*mask);
    return out;
  }
  const KeyBound lo = KeyBound::of(lower);
  const KeyBound hi = KeyBound::of(upper);
  if (!lo.unbounded() && !hi.unbounded()) {
    if (lo.code > hi.code) return out;
    if (lo.code == hi.code && (lo.kind == Bound::Kind::Excluded || hi.kind == Bound::Kind::Excluded)) return out;
  }
  if (lo.kind == Bound::Kind::Included && hi.kind == Bound::Kind::Included && lo.code == hi.code) {
    // One number: its entries lie side by side in the leaves, so reading
    // them is cheaper than uniting the many small bitmaps of the leaves
    // they fill.
    std::vector<uint32_t> ints, floats;
    if (ids_of_key(lo.code, kKeyWalkLimit, ints, floats)) {
      out = Bitmap::from_sorted(ints);
      out.add_many(floats);
      if (mask) out.and_inplace(*mask);
      return out;
    }
  }
  RangeAnswer answer;
  root_.query_range(lo, hi, mask, answer);
  return std::move(answer).finish(mask);
}

bool BitMapBTree::ids_of_key(KeyCode code, size_t limit, std::vector<uint32_t>& ints,
                             std::vector<uint32_t>& floats) const {
  const Entry first = static_cast<Entry>(code) << kEntryKeyShift;
  // Down to the leaf that may hold the key's first entry, keeping the path
  // (node, next child) to move on to the following leaves.
  absl::InlinedVector<std::pair<const InternalNode*, uint32_t>, 8> path;
  const BitMapBTreeNode* node = &root_;
  while (const InternalNode* in = node->internal()) {
    const uint32_t pos =
        btree_detail::last_position(in->keys_run(), in->count(), [first](Entry k) { return k <= first; });
    path.emplace_back(in, pos + 1);
    const auto& child = in->child(pos);
    if (!child) {
      node = nullptr;
      break;
    }
    node = &*child;
  }
  const LeafNode* leaf = node ? node->leaf() : nullptr;
  size_t seen = 0;
  bool first_leaf = true;
  // Appends the ids of the entries [from, to) (ascending, as the leaf holds
  // them).
  auto append = [](std::vector<uint32_t>& out, const Entry* from, const Entry* to) {
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(to - from));
    for (uint32_t* o = out.data() + at; from != to; ++from, ++o) *o = entry_id(*from);
  };
  for (;;) {
    if (leaf) {
      // Every entry from `begin` on has a key >= code: the key's entries are
      // a prefix of them, integers first, then floats.
      const Entry* begin = first_leaf ? std::lower_bound(leaf->run_begin(), leaf->run_end(), first) : leaf->run_begin();
      first_leaf = false;
      const Entry* end = std::partition_point(begin, leaf->run_end(), [code](Entry e) { return entry_key(e) == code; });
      seen += static_cast<size_t>(end - begin);
      if (seen > limit) return false;
      const Entry* floats_from = std::partition_point(begin, end, [](Entry e) { return !entry_is_float(e); });
      append(ints, begin, floats_from);
      append(floats, floats_from, end);
      if (end != leaf->run_end()) return true;
    }
    // The next leaf in order (empty leaves and missing children skipped).
    leaf = nullptr;
    while (!leaf && !path.empty()) {
      auto& [in, pos] = path.back();
      if (pos >= in->count()) {
        path.pop_back();
        continue;
      }
      const auto& child = in->child(pos++);
      if (!child) continue;
      if (const InternalNode* below = child->internal()) {
        // Descend to its first child.
        path.emplace_back(below, 0);
        continue;
      }
      leaf = child->leaf();
    }
    if (!leaf) return true;
  }
}

bool BitMapBTree::contains_entry(Entry e) const {
  const BitMapBTreeNode* node = &root_;
  while (node->kind() == BitMapBTreeNode::Kind::Internal) {
    const InternalNode* in = node->internal();
    const uint32_t pos = btree_detail::last_position(in->keys_run(), in->count(), [e](Entry k) { return k <= e; });
    const auto& child = in->child(pos);
    if (!child) return false;
    node = &*child;
  }
  return node->kind() == BitMapBTreeNode::Kind::Leaf && node->leaf()->contains(e);
}

uint32_t BitMapBTree::multiplicity(NumKey key, uint32_t id) const {
  const Entry e = make_entry(key, id);
  if (!contains_entry(e)) return 0;
  auto it = extra_copies_.find(e);
  return 1 + (it == extra_copies_.end() ? 0 : it->second);
}

void BitMapBTree::validate() const {
  ZX_CHECK(root_.kind() != BitMapBTreeNode::Kind::Empty, "BitMapBTree: root is an empty node");
  if (root_.kind() == BitMapBTreeNode::Kind::Internal)
    ZX_CHECK(root_.internal()->count() >= 2, "BitMapBTree: internal root with fewer than two children");
  int64_t leaf_depth = -1;
  Bitmap ids;
  validate_node(root_, nullptr, nullptr, 0, leaf_depth, ids);
  uint64_t distinct = 0;
  PerIdMap per_id;
  for_each([&](Entry e) {
    ++distinct;
    ++per_id[entry_id(e)];
  });
  ZX_CHECK(ids_.cardinality() == per_id.size(), "BitMapBTree: per-id entry counts differ from the entries held");
  size_t several = 0;
  for (const auto& [id, n] : per_id) {
    ZX_CHECK(entries_of(id) == n, "BitMapBTree: per-id entry counts differ from the entries held");
    several += n > 1;
  }
  ZX_CHECK(multi_.size() == several, "BitMapBTree: per-id entry counts differ from the entries held");
  uint64_t extra = 0;
  for (const auto& [e, copies] : extra_copies_) {
    ZX_CHECK(copies > 0, "BitMapBTree: repeated pair recorded with zero extra copies");
    ZX_CHECK(contains_entry(e), "BitMapBTree: repeated pair recorded for an entry not in the tree");
    extra += copies;
  }
  ZX_CHECK(size_ == distinct + extra, "BitMapBTree: size differs from the entries held");
}

namespace {
BitMapBTree::NodeInfo inspect_node(const BitMapBTreeNode& node) {
  BitMapBTree::NodeInfo info{node.kind(), 0, 0, {}};
  if (const LeafNode* leaf = node.leaf()) {
    info.count = leaf->count();
    info.start = leaf->start();
  } else if (const InternalNode* in = node.internal()) {
    info.count = in->count();
    info.start = in->start();
    info.children.reserve(in->count());
    for (uint32_t i = 0; i < in->count(); ++i)
      info.children.push_back(in->child(i) ? inspect_node(*in->child(i)) : BitMapBTree::NodeInfo{});
  }
  return info;
}
}  // namespace

BitMapBTree::NodeInfo BitMapBTree::inspect() const { return inspect_node(root_); }

uint32_t BitMapBTree::depth() const {
  uint32_t d = 1;
  const BitMapBTreeNode* node = &root_;
  while (const InternalNode* in = node->internal()) {
    if (in->count() == 0 || !in->child(0)) break;
    node = &*in->child(0);
    ++d;
  }
  return d;
}

BitMapBTreeIter::BitMapBTreeIter(const BitMapBTree& tree) {
  const BitMapBTreeNode& root = tree.root();
  switch (root.kind()) {
    case BitMapBTreeNode::Kind::Leaf: leaf_ = root.leaf(); break;
    case BitMapBTreeNode::Kind::Internal: stack_.push_back(Frame{root.internal(), 0}); break;
    case BitMapBTreeNode::Kind::Empty: fail("Cannot create iterator for empty tree!");
  }
}

bool BitMapBTreeIter::descend() {
  while (!stack_.empty()) {
    Frame& top = stack_.back();
    if (top.pos >= top.node->count()) {
      stack_.pop_back();
      continue;
    }
    const auto& child = top.node->child(top.pos++);
    if (!child) continue;
    if (const LeafNode* leaf = child->leaf()) {
      leaf_ = leaf;
      leaf_pos_ = 0;
      return true;
    }
    if (const InternalNode* in = child->internal()) stack_.push_back(Frame{in, 0});
  }
  return false;
}

}  // namespace zarvex
