#include "index/core/query/b_tree/ranged_b_tree.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <utility>

#include "support/memory.hpp"
#include "support/radix_sort.hpp"

namespace zarvex {

namespace {
// Entries of one number read from the leaves before the subtree bitmaps are
// used instead.
constexpr size_t kKeyWalkLimit = 1 << 16;

// Bulk insertion: an internal node on the way down with this many children
// is split first, so that a leaf below it can be cut into pieces that all
// find a slot; a leaf run up to kFullCount stays in one leaf, a longer one is
// cut into pieces of at most kBulkLeafFill entries, which leaves room in each
// for later single insertions.
constexpr uint32_t kBulkNodeMax = kFullCount;
constexpr uint32_t kBulkLeafFill = 72;
static_assert(2 * kBulkLeafFill > kNodeSlots, "a leaf step always takes at least one batch entry");
// Fewer ids than this owed to a slot go in through CRoaring's bulk add (a
// search and an insertion per id); more are sorted and united with the
// slot's bitmap container by container.
constexpr size_t kSortedPayFrom = 128;

}  // namespace

BitMapBTree::BitMapBTree() : root_(BitMapBTreeNode::new_leaf()) {}

void BitMapBTree::insert(NumKey key, uint32_t id) {
  if (root_.kind() == BitMapBTreeNode::Kind::Empty) fail("Cannot insert into an empty node!");
  settle();
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
  settle();
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

// The state of one insert_sorted_once call.
//
// The batch is placed leaf by leaf, in order: each step descends from the
// root to the leaf of the next entry, merges into it the batch's entries
// that belong there, and commits that leaf (and any new leaves cut from it)
// without allocating, everything that may fail having been allocated first.
// The ids of the entries placed are appended to `added`; the internal
// slots on the current path owe their bitmaps a suffix of `added`
// (`owed`, one per depth), which is added in one call when the path leaves
// the slot or before the node holding the slot changes shape, and dropped
// when the slot's bitmap is rebuilt from what lies below it.
struct BitMapBTree::SortedBatch {
  struct Owed {
    InternalNode* node;  // nullptr: nothing owed at this depth
    uint32_t pos;
    size_t from;  // the slot lacks added[from..]
  };

  BitMapBTree& tree;
  std::span<const Entry> batch;
  size_t next = 0;                // first batch entry not yet placed
  std::vector<uint32_t> added;    // capacity for the whole batch: never grows
  std::vector<uint32_t> scratch;  // as long as the batch: sorting and distinct ids
  std::vector<Entry> merged;      // capacity for the longest leaf step: never grows
  absl::InlinedVector<std::pair<InternalNode*, uint32_t>, 8> path;
  absl::InlinedVector<Owed, 8> owed;
  // Counting the added entries per id, done last in three stages so that it
  // can be resumed after a failure: the plan, the id bitmap, the counts.
  int counted = 0;
  Bitmap fresh;
  std::vector<std::pair<uint32_t, uint32_t>> counts;  // (id, entries) for ids with several

  SortedBatch(BitMapBTree& t, std::span<const Entry> entries) : tree(t), batch(entries) {
    added.reserve(entries.size());
    scratch.resize(entries.size());
    // A leaf step merges at most a leaf and the rest of the batch.
    merged.reserve(std::min(size_t{kBulkNodeMax} * kBulkLeafFill, entries.size() + kNodeSlots));
  }

  void place_all() {
    while (next < batch.size()) step();
  }

  // Pays what every depth owes and settles the per-id counts and the size.
  // Resumable: each part done is not done again.
  void finish() {
    pay_from(0);
    count_ids();
  }

 private:
  void pay(size_t d) {
    Owed& o = owed[d];
    if (o.node && o.from < added.size()) {
      // Only the multiset of `added` matters (to the counts at the end), so
      // a range is sorted in place. The deeper depths' ranges lie within it:
      // they are paid first (pay_from).
      const std::span<uint32_t> ids(added.data() + o.from, added.size() - o.from);
      if (ids.size() < kSortedPayFrom) {
        o.node->add_ids(o.pos, ids);
      } else {
        o.node->or_ids(o.pos, Bitmap::from_sorted(sorted_distinct(ids)));
      }
    }
    o.from = added.size();
  }

  // The distinct ids of `ids` (which gets sorted), ascending, in `scratch`.
  std::span<const uint32_t> sorted_distinct(std::span<uint32_t> ids) {
    radix_sort(ids, scratch);
    size_t n = 0;
    for (size_t i = 0; i < ids.size(); ++i)
      if (i == 0 || ids[i] != ids[i - 1]) scratch[n++] = ids[i];
    return std::span<const uint32_t>(scratch.data(), n);
  }

  // Pays depths d and below, deepest first: paying a depth reorders its
  // range, which holds the ranges of the depths below it.
  void pay_from(size_t d) {
    for (size_t k = owed.size(); k > d; --k) pay(k - 1);
    owed.resize(std::min(owed.size(), d));
  }

  // The path passes the slot at run position pos of `node` at depth d.
  void pass(size_t d, InternalNode* node, uint32_t pos) {
    if (owed.size() > d && owed[d].node == node && owed[d].pos == pos) return;
    // A new slot at depth d: the path below it is new as well.
    pay_from(d);
    owed.push_back(Owed{node, pos, added.size()});
  }

  // One leaf step, or one split of a node on the way that is too full to
  // take the pieces of a leaf below it (the descent then starts again).
  void step() {
    const Entry e = batch[next];
    path.clear();
    bool bounded = false;
    Entry hi = 0;  // every entry below the current node is < hi (when bounded)
    BitMapBTreeNode* node = &tree.root_;
    if (InternalNode* root = node->internal(); root && root->count() >= kBulkNodeMax) {
      pay_from(0);
      split_root();
      return;
    }
    while (InternalNode* in = node->internal()) {
      const uint32_t pos = btree_detail::last_position(in->keys_run(), in->count(), [e](Entry k) { return k <= e; });
      if (pos + 1 < in->count()) {
        hi = in->key(pos + 1);
        bounded = true;
      }
      BitMapBTreeNode* child = in->child_node(pos);
      if (!child) fail("Missing child");
      if (InternalNode* below = child->internal(); below && below->count() >= kBulkNodeMax) {
        // Every slot of this depth and below is paid what it is owed before
        // the slots move, the child's own slot too: the split may fail for
        // want of memory before it gives that slot the ids of each half
        // afresh. The slots above stay.
        pay_from(path.size());
        split_child(*in, pos);
        return;
      }
      // Slots holding leaves have no bitmaps, and owe nothing.
      if (child->kind() == BitMapBTreeNode::Kind::Internal) pass(path.size(), in, pos);
      path.emplace_back(in, pos);
      node = child;
    }
    LeafNode* leaf = node->leaf();
    if (!leaf) fail("Cannot insert into empty node");
    fill_leaf(*leaf, bounded, hi);
  }

  void fill_leaf(LeafNode& leaf, bool bounded, Entry hi) {
    InternalNode* parent = path.empty() ? nullptr : path.back().first;
    // Leaves this step may add beside `leaf`.
    const uint32_t room = parent ? kBulkNodeMax - parent->count() : kBulkNodeMax - 1;
    const size_t longest = size_t{1 + room} * kBulkLeafFill;
    const auto first = batch.begin() + static_cast<std::ptrdiff_t>(next);
    auto last = batch.begin() + static_cast<std::ptrdiff_t>(std::min(batch.size(), next + longest - leaf.count()));
    if (bounded) last = std::lower_bound(first, last, hi);

    // Merge, skipping the batch's entries the leaf holds.
    const size_t added_before = added.size();
    merged.clear();
    const Entry* a = leaf.run_begin();
    const Entry* a_end = leaf.run_end();
    for (auto b = first; b != last; ++b) {
      while (a != a_end && *a < *b) merged.push_back(*a++);
      if (a != a_end && *a == *b) {
        merged.push_back(*a++);
        continue;
      }
      merged.push_back(*b);
      added.push_back(entry_id(*b));
    }
    merged.insert(merged.end(), a, a_end);
    const size_t n = merged.size();
    const size_t placed = static_cast<size_t>(last - first);

    if (n <= kFullCount) {
      leaf.assign(merged.data(), static_cast<uint32_t>(n));
      lower_keys();
      next += placed;
      return;
    }
    // Cut into k pieces of nearly equal length; the first stays in `leaf`.
    const uint32_t k = static_cast<uint32_t>((n + kBulkLeafFill - 1) / kBulkLeafFill);
    uint32_t offset[kNodeSlots + 1];
    for (uint32_t i = 0; i <= k; ++i) offset[i] = static_cast<uint32_t>(n * i / k);
    absl::InlinedVector<std::unique_ptr<LeafNode>, 8> leaves;
    std::unique_ptr<InternalNode> root;
    try {
      for (uint32_t i = 1; i < k; ++i) leaves.push_back(std::make_unique<LeafNode>());
      if (!parent) root = std::make_unique<InternalNode>();
    } catch (...) {
      added.resize(added_before);
      throw;
    }
    // Nothing below fails.
    for (uint32_t i = 1; i < k; ++i) leaves[i - 1]->assign(merged.data() + offset[i], offset[i + 1] - offset[i]);
    leaf.assign(merged.data(), offset[1]);
    next += placed;
    if (parent) {
      lower_keys();
      // The parent's slots move; they hold leaves, so none of them is owed
      // anything.
      const uint32_t pos = path.back().second;
      parent->open_slots(pos + 1, k - 1);
      for (uint32_t i = 1; i < k; ++i)
        parent->set_slot(pos + i, merged[offset[i]], BitMapBTreeNode(std::move(leaves[i - 1])));
    } else {
      root->open_slots(0, k);
      root->set_slot(0, merged[0], std::move(tree.root_));
      for (uint32_t i = 1; i < k; ++i) root->set_slot(i, merged[offset[i]], BitMapBTreeNode(std::move(leaves[i - 1])));
      tree.root_ = BitMapBTreeNode(std::move(root));
    }
  }

  // An entry below the first key of the tree lowers the first key of every
  // node on the leftmost path, as insert does on its way down.
  void lower_keys() {
    for (auto& [in, pos] : path) in->lower_key(pos, merged[0]);
  }

  // Splits the internal child at run position pos of `parent`, whose
  // bitmaps are exact (nothing owed).
  static void split_child(InternalNode& parent, uint32_t pos) {
    InternalNode& child = *parent.child_node(pos)->internal();
    const uint32_t keep = child.count() / 2;
    Bitmap left = child.union_of(0, keep);
    Bitmap right_bitmap = child.union_of(keep, child.count());
    auto right = std::make_unique<InternalNode>();
    child.split_into(*right);
    const Entry separator = right->key(0);
    parent.set_bitmap(pos, std::move(left));
    parent.open_slots(pos + 1, 1);
    parent.set_slot(pos + 1, separator, BitMapBTreeNode(std::move(right)), std::move(right_bitmap));
  }

  void split_root() {
    InternalNode& old = *tree.root_.internal();
    const uint32_t keep = old.count() / 2;
    Bitmap left = old.union_of(0, keep);
    Bitmap right_bitmap = old.union_of(keep, old.count());
    auto right = std::make_unique<InternalNode>();
    auto root = std::make_unique<InternalNode>();
    old.split_into(*right);
    const Entry first = old.key(0), separator = right->key(0);
    root->open_slots(0, 2);
    root->set_slot(0, first, std::move(tree.root_), std::move(left));
    root->set_slot(1, separator, BitMapBTreeNode(std::move(right)), std::move(right_bitmap));
    tree.root_ = BitMapBTreeNode(std::move(root));
  }

  void count_ids() {
    if (counted == 0) {
      counts.clear();
      // An id gains as many entries as it has in `added`; the ids that end
      // with two or more get their count.
      const std::span<uint32_t> ids(added);
      fresh = Bitmap::from_sorted(sorted_distinct(ids));
      if (fresh.cardinality() == ids.size()) {
        // Each id once (the common batch): only ids held before gain a count.
        Bitmap::and_(fresh, tree.ids_).for_each([&](uint32_t id) { counts.emplace_back(id, tree.entries_of(id) + 1); });
      } else {
        for (size_t i = 0; i < ids.size();) {
          size_t j = i;
          while (j < ids.size() && ids[j] == ids[i]) ++j;
          const uint32_t entries = tree.entries_of(ids[i]) + static_cast<uint32_t>(j - i);
          if (entries > 1) counts.emplace_back(ids[i], entries);
          i = j;
        }
      }
      counted = 1;
    }
    if (counted == 1) {
      tree.ids_.or_inplace(fresh);
      counted = 2;
    }
    if (counted == 2) {
      for (const auto& [id, entries] : counts) tree.multi_[id] = entries;
      tree.size_ += added.size();
      counted = 3;
    }
  }
};

size_t BitMapBTree::insert_sorted_once(std::span<const Entry> entries) {
  if (root_.kind() == BitMapBTreeNode::Kind::Empty) fail("Cannot insert into an empty node!");
  for (size_t i = 0; i < entries.size(); ++i) {
    ZX_CHECK(entry_reserved_bits_clear(entries[i]), "BitMapBTree: bulk insertion of a malformed entry");
    ZX_CHECK(i == 0 || entries[i - 1] < entries[i], "BitMapBTree: bulk insertion of entries not strictly ascending");
  }
  if (entries.empty()) return 0;
  settle();
  SortedBatch batch(*this, entries);
  try {
    batch.place_all();
    batch.finish();
  } catch (const std::bad_alloc&) {
    // The entries placed stay: their ids go into the bitmaps and counts
    // still without them, with the memory reserve given back for that.
    memory::RecoveryScope recovery;
    try {
      batch.finish();
    } catch (const std::bad_alloc&) {
      fail("BitMapBTree: out of memory while finishing a bulk insertion");
    }
    throw;
  }
  return batch.added.size();
}

bool BitMapBTree::remove(NumKey key, uint32_t id) {
  if (root_.kind() == BitMapBTreeNode::Kind::Empty) fail("Cannot remove from an empty node!");
  settle();
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

void BitMapBTree::remove_ids(const IdSieve& dead, uint64_t& nans) {
  if (dead.empty() || size_ == 0) return;
  settle();
  uint64_t removed = 0;
  // The count follows what went, also when a failure cuts the pass short.
  struct Settle {
    uint64_t& size;
    const uint64_t& removed;
    ~Settle() { size -= removed; }
  } settle{size_, removed};
  for (auto it = extra_copies_.begin(); it != extra_copies_.end();) {
    if (!dead.has(entry_id(it->first))) {
      ++it;
      continue;
    }
    removed += it->second;
    if (std::isnan(key_to_double(it->first))) nans += it->second;
    extra_copies_.erase(it++);
  }
  switch (root_.kind()) {
    case BitMapBTreeNode::Kind::Leaf: root_.leaf()->remove_ids(dead, removed, nans); break;
    case BitMapBTreeNode::Kind::Internal: root_.internal()->remove_ids(dead, removed, nans); break;
    case BitMapBTreeNode::Kind::Empty: fail("Cannot remove from an empty node!");
  }
  for (auto it = multi_.begin(); it != multi_.end();) {
    if (dead.has(it->first)) {
      multi_.erase(it++);
    } else {
      ++it;
    }
  }
  ids_.andnot_inplace(dead.ids());
}

BitMapBTree::Moved BitMapBTree::move(NumKey from, NumKey to, uint32_t id) {
  InternalNode* root = root_.internal();
  // An id with several entries takes the general path. While no id has
  // several, the id's set is not read: an id with no entry has no `from`
  // entry either, and move_entry gives up before changing anything.
  if (root && extra_copies_.empty() && (multi_.empty() || entries_of(id) == 1)) {
    const Entry was = make_entry(from, id);
    const Entry now = make_entry(to, id);
    if (size_ < defer_moves_from.load(std::memory_order_relaxed)) {
      // A smaller tree's bitmaps mostly stay cached: changed at once.
      if (!deferred_.empty()) settle();
      if (root->move_entry(was, now, true)) return {true, true};
    } else if (defer_move(root, was, now)) {
      return {true, true};
    }
  }
  const bool removed = remove(from, id);
  return {removed, insert_once(to, id)};
}

bool BitMapBTree::defer_move(InternalNode* root, Entry was, Entry now) {
  // Room to note the move is made before it: settling at the limit, and
  // growing the list (either may fail for want of memory, with nothing of
  // this move done). After a settle cut short, the bitmaps of the owed ids
  // are a mix of old and new: the settle is finished before any of their
  // moves changes.
  if (unfinished_settle_ || deferred_.size() >= most_deferred()) settle();
  if (deferred_.size() == deferred_.capacity()) deferred_.reserve(std::max<size_t>(64, 2 * deferred_.capacity()));
  if (!root->move_entry(was, now, false)) return false;
  deferred_.push_back({was, now});
  return true;
}

std::vector<BitMapBTree::Deferred> BitMapBTree::owed_moves() const {
  // The moves ordered by id, each id's in the order they were made: the
  // position in the list rides in the low half of a key whose high half is
  // the id, and the sort is stable.
  const size_t n = deferred_.size();
  std::vector<uint64_t> keys(n), scratch(n);
  for (size_t i = 0; i < n; ++i) keys[i] = uint64_t{entry_id(deferred_[i].was)} << 32 | i;
  radix_sort_by_high_half(keys, scratch);
  std::vector<Deferred> out;
  out.reserve(n);
  for (size_t i = 0; i < n;) {
    const uint64_t id = keys[i] >> 32;
    const Entry was = deferred_[static_cast<uint32_t>(keys[i])].was;
    size_t j = i + 1;
    while (j < n && keys[j] >> 32 == id) ++j;
    out.push_back({was, deferred_[static_cast<uint32_t>(keys[j - 1])].now});
    i = j;
  }
  return out;
}

Bitmap BitMapBTree::ids_of(std::span<const Deferred> owed) {
  std::vector<uint32_t> ids;
  ids.reserve(owed.size());
  for (const Deferred& d : owed) ids.push_back(entry_id(d.now));
  return Bitmap::from_sorted(ids);
}

size_t BitMapBTree::most_deferred() const {
  return std::clamp<size_t>(size_ / kSizePerDeferred, kFewestDeferred, kMostDeferred);
}

void BitMapBTree::settle() {
  if (deferred_.empty()) return;
  InternalNode* root = root_.internal();
  ZX_CHECK(root, "BitMapBTree: moves deferred in a tree without internal nodes");
  // Allocated before the first change; by ascending id, so the changes
  // below come by ascending id too (apply_grouped relies on it).
  const std::vector<Deferred> owed = owed_moves();
  std::vector<BitmapChange> changes;
  changes.reserve(owed.size() * 2 * depth());
  for (const Deferred& d : owed)
    if (d.was != d.now) root->bitmap_changes(d.was, d.now, changes);
  // Each change, made again after a failure, changes nothing, and the moves
  // stay as they are until the settle is finished (see move()).
  unfinished_settle_ = true;
  if (changes.size() > kOneByOneUpTo) {
    apply_grouped(changes);
  } else {
    // A few moves (a query between writes): no grouping.
    for (const BitmapChange& c : changes) {
      if (c.add) {
        c.bitmap->add_dense(c.id);
      } else {
        c.bitmap->remove_dense(c.id);
      }
    }
  }
  deferred_.clear();
  unfinished_settle_ = false;
}

void BitMapBTree::apply_grouped(std::span<const BitmapChange> changes) {
  // The changes come by ascending id, each bitmap's at most once per id (an
  // id's two paths pass through different slots from where they part), so
  // placing them stably bitmap by bitmap leaves each bitmap's removals and
  // additions sorted: no sort, and one buffer for all of them.
  std::vector<Bitmap*> bitmaps;
  std::vector<uint32_t> group(changes.size());
  std::vector<uint32_t> at;  // per bitmap: where its removals start, then its additions
  {
    absl::flat_hash_map<Bitmap*, uint32_t> group_of;
    Bitmap* last = nullptr;
    uint32_t last_group = 0;
    for (size_t i = 0; i < changes.size(); ++i) {
      const BitmapChange& c = changes[i];
      if (c.bitmap != last) {
        auto [it, fresh] = group_of.try_emplace(c.bitmap, static_cast<uint32_t>(bitmaps.size()));
        if (fresh) bitmaps.push_back(c.bitmap);
        last = c.bitmap;
        last_group = it->second;
      }
      group[i] = 2 * last_group + (c.add ? 1 : 0);
    }
  }
  at.assign(2 * bitmaps.size() + 1, 0);
  for (uint32_t g : group) ++at[g + 1];
  for (size_t g = 0; g + 1 < at.size(); ++g) at[g + 1] += at[g];
  std::vector<uint32_t> ids(changes.size());
  {
    std::vector<uint32_t> next(at.begin(), at.end() - 1);
    for (size_t i = 0; i < changes.size(); ++i) ids[next[group[i]]++] = changes[i].id;
  }
  // A bitmap owed a few changes gets them one by one; many are merged
  // container by container, which reads each container once instead of
  // shifting an array per id.
  for (size_t b = 0; b < bitmaps.size(); ++b) {
    Bitmap& bitmap = *bitmaps[b];
    const std::span<const uint32_t> gone(ids.data() + at[2 * b], ids.data() + at[2 * b + 1]);
    const std::span<const uint32_t> added(ids.data() + at[2 * b + 1], ids.data() + at[2 * b + 2]);
    if (gone.size() + added.size() <= kOneByOneUpTo) {
      for (uint32_t id : gone) bitmap.remove_dense(id);
      for (uint32_t id : added) bitmap.add_dense(id);
      continue;
    }
    if (!gone.empty()) bitmap.andnot_inplace(Bitmap::from_sorted(gone));
    if (!added.empty()) bitmap.or_inplace(Bitmap::from_sorted(added));
  }
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
  out = std::move(answer).finish(mask);
  if (!deferred_.empty()) {
    // The slot bitmaps may hold an owed id where it was or miss it where it
    // is now: each is answered from its one entry instead.
    const std::vector<Deferred> owed = owed_moves();
    out.andnot_inplace(ids_of(owed));
    std::vector<uint32_t> inside;
    for (const Deferred& d : owed) {
      const KeyCode k = entry_key(d.now);
      const uint32_t id = entry_id(d.now);
      if (lo.admits_as_lower(k) && hi.admits_as_upper(k) && (!mask || mask->contains(id))) inside.push_back(id);
    }
    if (!inside.empty()) out.or_inplace(Bitmap::from_sorted(inside));
  }
  return out;
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
  const std::vector<Deferred> owed = owed_moves();
  validate_node(root_, nullptr, nullptr, 0, leaf_depth, ids_of(owed), ids);
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
  // Owed moves: each id's moves chain (a move starts where its last one
  // ended), and the id keeps one entry, where its last move left it
  // (anything that could give it another, or a repeat, settles first).
  ZX_CHECK(deferred_.empty() || (extra_copies_.empty() && root_.kind() == BitMapBTreeNode::Kind::Internal),
           "BitMapBTree: moves owed beside repeated pairs or without internal nodes");
  PerIdMap last;
  for (size_t i = 0; i < deferred_.size(); ++i) {
    const Deferred& d = deferred_[i];
    ZX_CHECK(entry_id(d.was) == entry_id(d.now), "BitMapBTree: an owed move between two ids");
    auto [it, fresh] = last.try_emplace(entry_id(d.was), static_cast<uint32_t>(i));
    ZX_CHECK(fresh || deferred_[it->second].now == d.was, "BitMapBTree: an owed move that starts where none ended");
    it->second = static_cast<uint32_t>(i);
  }
  for (const Deferred& d : owed)
    ZX_CHECK(entries_of(entry_id(d.now)) == 1 && contains_entry(d.now),
             "BitMapBTree: an owed move's id without its one entry");
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
