// BitMapBTreeNode and InternalNode: the upper levels of the ordered tree.
//
// A BitMapBTreeNode owns one heap node of kind internal or leaf, or is an
// empty node (no content; never present in a well-formed tree, it exists so
// that corruption is reported instead of dereferenced).
//
// An InternalNode is one fixed block of 96 slots of which a contiguous run
// [start, start + count) is in use, centred like a leaf's. Slot i in use holds
//   key i    - an entry, the lower fence of child i: every entry below child i
//              is >= key i and < key i+1. It is the smallest entry of the
//              child when the child is made; an entry smaller than every key
//              lowers the first key on its way down, so a later split of the
//              first child can never produce a separator below that key;
//   child i  - the child node;
//   bitmap i - when child i is an internal node: exactly the ids that have
//              at least one entry below it. A node whose children are leaves
//              (the lowest internal level) keeps no bitmaps: a leaf's ids are
//              read from its entries, which costs a range query about what
//              uniting its bitmap would, and spares every change of a number
//              two edits of small bitmaps spread over many containers.
// Keys of the run ascend strictly. Slots outside the run hold no child and no
// bitmap. Every entry is routed to the last child whose key is <= the entry
// (the first child when none is), by insertion and removal alike, so each
// entry has exactly one place in the tree.
//
// Cost: one heap block of ~8 KiB per node, never reallocated; a node is full
// at 95 children. A range query answers every internal child lying wholly
// inside the range from its bitmap alone (intersected with the mask and
// united into the answer), gathers the ids of every leaf child inside it from
// the entries, and descends only into the children holding its two ends; so
// it reads the entries of at most two nodes' leaves.
// No locking of its own: the tree's owner guards it (shared for queries,
// exclusive for changes). Failures are internal failures with the fixed
// messages of the tree ("Missing child", "Cannot insert into empty node", ...).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "index/core/query/b_tree/nodes/leaf_node.hpp"

namespace zarvex {

class InternalNode;

// The parts of a range query's answer gathered on the way down: `loose` gets
// the ids of the entries read from leaves (in any order, repeats allowed),
// `covered` the bitmaps of the internal subtrees lying wholly inside the
// range (both still unmasked). finish() sorts the loose ids into a bitmap
// and combines the parts: for a few subtrees, one intersection with the mask
// and one union each; for many, one union of all of them (CRoaring's
// multi-way union) and one intersection, which avoids re-merging an ever
// larger answer.
struct RangeAnswer {
  static constexpr size_t kMergeSeparatelyUpTo = 16;
  absl::InlinedVector<uint32_t, 128> loose;
  absl::InlinedVector<const Bitmap*, 64> covered;
  // Appends the ids of `run`.
  void add_run(std::span<const Entry> run);
  // A null mask keeps every id.
  Bitmap finish(const Bitmap* mask) &&;
};

class BitMapBTreeNode {
 public:
  enum class Kind : uint8_t { Internal, Leaf, Empty };

  BitMapBTreeNode() = default;  // an empty node
  explicit BitMapBTreeNode(std::unique_ptr<InternalNode> node);
  explicit BitMapBTreeNode(std::unique_ptr<LeafNode> node);
  BitMapBTreeNode(BitMapBTreeNode&& other) noexcept : kind_(other.kind_), ptr_(other.ptr_) {
    other.kind_ = Kind::Empty;
    other.ptr_ = nullptr;
  }
  BitMapBTreeNode& operator=(BitMapBTreeNode&& other) noexcept;
  BitMapBTreeNode(const BitMapBTreeNode&) = delete;
  BitMapBTreeNode& operator=(const BitMapBTreeNode&) = delete;
  ~BitMapBTreeNode();

  static BitMapBTreeNode new_leaf();

  Kind kind() const { return kind_; }
  InternalNode* internal() const { return kind_ == Kind::Internal ? static_cast<InternalNode*>(ptr_) : nullptr; }
  LeafNode* leaf() const { return kind_ == Kind::Leaf ? static_cast<LeafNode*>(ptr_) : nullptr; }

  bool is_full() const;
  // Requests every line a search of the node reads (see prefetch_search of
  // the node kinds).
  void prefetch_search() const;
  // The first entry of a leaf's run or the first key of an internal node.
  Entry first_entry() const;
  // Ids of everything below this node; empty for an empty node.
  Bitmap get_bitmap() const;
  // Splits a leaf or internal node: the first count / 2 items stay (re-centred),
  // the rest move into the returned new node, starting at slot 24. The
  // separator (first entry of the new node) is written to *separator.
  // An empty node is an internal failure "Cannot split empty node".
  BitMapBTreeNode split(Entry* separator);
  // Inserts into a leaf or internal node that is not full; false when the
  // entry was already present.
  bool insert_non_full(Entry e);
  // Gathers into `answer` the ids that have an entry within the bounds below
  // this node (see RangeAnswer). An empty node adds nothing.
  void query_range(const KeyBound& lower, const KeyBound& upper, const Bitmap* mask, RangeAnswer& answer) const;

 private:
  Kind kind_ = Kind::Empty;
  void* ptr_ = nullptr;
};

static_assert(sizeof(BitMapBTreeNode) == 16, "a child handle is a kind and a pointer");

// One change a slot bitmap owes for a deferred move (see
// BitMapBTree::settle).
struct BitmapChange {
  Bitmap* bitmap;
  uint32_t id;
  bool add;
};

// What a removal below a node did, as the parent needs to know it.
enum class RemoveOutcome : uint8_t {
  Absent,            // the entry was not found; nothing changed
  RemovedIdRemains,  // removed; the id still has an entry below the node
  RemovedIdGone,     // removed; no entry of the id is left below the node
};

class InternalNode {
 public:
  InternalNode() = default;
  InternalNode(const InternalNode&) = delete;
  InternalNode& operator=(const InternalNode&) = delete;

  // A new root above a split: `left` keyed by its first entry at slot 48,
  // `right` keyed by `separator` at slot 49, both bitmaps computed from the
  // nodes' contents.
  static std::unique_ptr<InternalNode> new_root(BitMapBTreeNode left, BitMapBTreeNode right, Entry separator);

  uint32_t count() const { return count_; }
  uint32_t start() const { return start_; }
  bool is_full() const { return btree_detail::is_full(count_, start_); }
  // Requests the keys and the run's bounds, which routing reads.
  void prefetch_search() const {
    btree_detail::prefetch_lines(keys_, sizeof keys_);
    __builtin_prefetch(&count_);
  }
  // Accessors by run position pos (0 <= pos < count).
  Entry key(uint32_t pos) const { return keys_[start_ + pos]; }
  const Entry* keys_run() const { return keys_ + start_; }
  const std::optional<BitMapBTreeNode>& child(uint32_t pos) const { return children_[start_ + pos]; }
  const std::optional<Bitmap>& bitmap(uint32_t pos) const { return bitmaps_[start_ + pos]; }

  // Inserts e below this node, which must not be full, splitting a full child
  // on the way; the id is added to the bitmap of the slot descended into
  // (when its child is internal).
  // False when the entry was already present.
  bool insert(Entry e);
  // Splits the full child at run position h and inserts e into the half it
  // belongs to; the new right half gets the slot after h.
  bool split_and_insert(uint32_t h, Entry e);
  // Removes e below this node and keeps every bitmap on the path exact.
  // `last_of_id`: the caller knows e is the only entry of its id in the whole
  // tree, so the id leaves every bitmap on the path without probing siblings.
  // Otherwise the siblings are probed: at the lowest level by reading their
  // leaves, above it through their bitmaps.
  RemoveOutcome remove(Entry e, bool last_of_id);
  // Takes out every entry below this node whose id `dead` holds (all of
  // those ids' entries: each slot's bitmap then loses them outright); adds
  // how many went to `removed`, and those keyed by a NaN to `nans`, as they
  // go. Done again after a failure for want of memory, it finishes the work.
  void remove_ids(const IdSieve& dead, uint64_t& removed, uint64_t& nans);
  // Moves `from`, the only entry of its id in the tree, to `to` (another
  // entry of that id), leaving the tree as remove(from, true) and then
  // insert(to) would, except that the bitmaps of the slots both paths pass
  // through keep the id instead of losing and regaining it; without
  // `change_bitmaps` the slot bitmaps are not touched (the caller then owes
  // them bitmap_changes(from, to)). The two paths are walked side by side,
  // so the misses of each level's nodes overlap.
  // A full leaf of `to` is split (the new leaf allocated before anything
  // changes) when its parent has room; the lowest internal level keeps no
  // bitmaps, so none changes. Changes nothing and answers false when `from`
  // is absent, or the leaf of `to` is full and is that of `from` or its
  // parent is full (the caller then removes and inserts, which splits
  // them). No node above the lowest internal level changes shape.
  bool move_entry(Entry from, Entry to, bool change_bitmaps);
  // Appends what the slot bitmaps owe for such a move of an id's only
  // entry: the id leaves each bitmap on the path of `from` and joins each on
  // the path of `to`, below the levels where both paths share a slot. Read
  // on the current keys, it is exact while no node has changed shape since
  // the move (routing of any entry, held or not, is then unchanged).
  void bitmap_changes(Entry from, Entry to, std::vector<BitmapChange>& out);

  // Ids below the run: the union of its bitmaps, or above leaves the ids
  // read from their entries.
  Bitmap get_bitmap() const;
  // The same for run positions [first, end).
  Bitmap union_of(uint32_t first, uint32_t end) const;

  // Slot edits for bulk insertion. open_slots, set_slot, set_bitmap and
  // lower_key never allocate or fail (short of a broken invariant), so a
  // caller that allocates first makes a change that is never left half-done.
  // Opens m empty slots at run positions [pos, pos + m), the slots from pos
  // on moving behind them, and re-centres the run for its new count, which
  // must stay at most kFullCount.
  void open_slots(uint32_t pos, uint32_t m);
  // Fills the slot at run position pos (an open one, or one whose contents
  // are replaced): with an internal child and its bitmap, or with a leaf.
  void set_slot(uint32_t pos, Entry key, BitMapBTreeNode child, Bitmap bitmap);
  void set_slot(uint32_t pos, Entry key, BitMapBTreeNode leaf);
  void set_bitmap(uint32_t pos, Bitmap bitmap) { bitmaps_[start_ + pos] = std::move(bitmap); }
  // The child at run position pos, nullptr when the slot has none.
  BitMapBTreeNode* child_node(uint32_t pos) {
    std::optional<BitMapBTreeNode>& c = children_[start_ + pos];
    return c ? &*c : nullptr;
  }
  // Lowers the key at run position pos to e when e is below it.
  void lower_key(uint32_t pos, Entry e) {
    if (e < keys_[start_ + pos]) keys_[start_ + pos] = e;
  }
  // Adds ids to the bitmap at run position pos (one bulk add; may fail for
  // want of memory, changing nothing).
  void add_ids(uint32_t pos, std::span<const uint32_t> ids);
  // Unites `ids` into the bitmap at run position pos (may fail for want of
  // memory, changing nothing).
  void or_ids(uint32_t pos, const Bitmap& ids);
  // Run position of the first (is_lower) or last child a range end touches;
  // 0 for an unbounded lower end, count for an unbounded upper end.
  uint32_t get_key_index(const KeyBound& bound, bool is_lower) const;
  // Descends only into the children holding the two ends of the range; the
  // children strictly between them are answered from their bitmaps.
  void query_range(const KeyBound& lower, const KeyBound& upper, const Bitmap* mask, RangeAnswer& answer) const;

  // Move key, child and bitmap of every slot in [first, end) by distance
  // slots; the slots left behind hold no child and no bitmap.
  void shift_left(uint32_t first, uint32_t end, uint32_t distance);
  void shift_right(uint32_t first, uint32_t end, uint32_t distance);
  // Keeps the first count / 2 slots (re-centred) and moves the others into
  // `right`, a new empty node, where they start at slot 24.
  void split_into(InternalNode& right);

  // Checks the run, the keys, the fences of every child (entries within
  // [lo, hi), nullptr: no fence), that a slot has a bitmap exactly when its
  // child is internal and that bitmap equals the ids below the child (but
  // for the ids `owed` holds, whose bitmaps may lag: see
  // BitMapBTree::settle), and that all leaves lie at one depth; adds the ids
  // below this node to `ids`.
  void validate(const Entry* lo, const Entry* hi, uint32_t depth, int64_t& leaf_depth, const Bitmap& owed,
                Bitmap& ids) const;

 private:
  friend struct BitMapBTreeTestAccess;
  // Run position of the child an entry is routed to: the last whose key is
  // <= e, or the first when none is.
  uint32_t route(Entry e) const {
    return btree_detail::last_position(keys_ + start_, count_, [e](Entry k) { return k <= e; });
  }
  // route() of a node whose keys' lines were requested already.
  uint32_t route_requested(Entry e) const {
    return btree_detail::last_position_requested(keys_ + start_, count_, [e](Entry k) { return k <= e; });
  }
  void recentre();
  void clear_slot(uint32_t slot);

  Entry keys_[kNodeSlots];
  std::optional<Bitmap> bitmaps_[kNodeSlots];
  std::optional<BitMapBTreeNode> children_[kNodeSlots];
  uint8_t count_ = 0;
  uint8_t start_ = kNewNodeStart;
};

// Validates any node kind; an empty node is reported as a broken invariant.
void validate_node(const BitMapBTreeNode& node, const Entry* lo, const Entry* hi, uint32_t depth, int64_t& leaf_depth,
                   const Bitmap& owed, Bitmap& ids);

}  // namespace zarvex
