// BitMapBTree: the ordered index of one attribute over its numeric values.
//
// It holds (number, object id) pairs as 128-bit entries (num_key.hpp) in a
// B-tree of 96-slot nodes whose internal slots carry, beside each internal
// child, the exact bitmap of the ids below that child (the lowest internal
// level, whose children are leaves, carries none). A range query (lower and
// upper Bound, each Included, Excluded or Unbounded, over numeric value: 3
// and 3.0 compare equal) returns the ids that have at least one number
// inside the range, intersected with a mask; it descends only along the two
// boundary paths and answers each internal child lying wholly inside the
// range from that child's bitmap (intersection with the mask, union into the
// answer; many such bitmaps are united in one multi-way union first), and
// each leaf lying wholly inside it from its entries (see RangeAnswer).
//
// Repeated pairs: the same (number, id) pair may be inserted several times
// (a list attribute holding one number twice). The leaves keep one entry per
// distinct pair and the tree counts the extra copies on the side; removing a
// pair takes one copy away, and the entry leaves the tree with its last copy.
// So every entry has exactly one place in the tree and a removal can never
// miss a copy stranded on the far side of a split.
//
// Removal keeps every internal bitmap exact: an id leaves the bitmaps on the
// path as soon as no entry of it remains below the child concerned. The tree
// counts the distinct entries of each id, so removing the last entry of an id
// (the usual case) drops it from the path without looking at siblings; only
// an id that keeps other entries has the sibling bitmaps of a level probed.
// Nodes are never merged or freed; leaves may become empty and stay.
//
// Deferred moves: in a tree of at least defer_moves_from pairs (2^19), a
// move of an id's only entry (a number written over a number) changes the
// leaves and keys at once and appends itself to the moves owed to the slot
// bitmaps. Many are owed together (about one per 16 pairs held, up to
// 65,536), and settle() makes their changes in one pass, bitmap by bitmap:
// sorted and merged, they cost a read of each container instead of a
// search and an array shift per id in bitmaps whose lines are seldom cached
// (a write to a random id changes two to four of them), and an id moved
// several times costs one change per bitmap. A range query answers the
// owed ids from their entries, so no answer ever sees the delay; the owner
// settles before a range query when it can do so without waiting.
//
// Cost: insertion and removal O(log n) node visits with moves of at most half
// a node, one bitmap update per level above the lowest internal one and one
// update of the id bitmap per call (and of the count table for an id with
// several entries); a move of an id's only entry owes the bitmaps only
// below the level where the two paths part, and the per-slot bitmaps turn
// their containers into bitsets early (Bitmap::add_dense), since they are
// changed far more than read. A settle costs a linear sort of the moves
// owed by id, a second walk of both paths above the lowest internal level
// (a few nodes, cached), a look-up of each changed bitmap, and a merge of
// each container changed. A range query that meets moves owed merges them
// per id (the same sort) and costs two bitmap operations more. Removing an
// entry of an id that keeps others reads the leaves beside it (the entries
// of one node's leaves). A split of an internal node costs two bitmap
// rebuilds; a leaf split none. A range
// query reads the entries of at most the leaves of two nodes and sorts
// their ids in linear time. insert_sorted_once of a batch costs one descent
// and one merge per leaf it fills, one bulk add per slot above the lowest
// level it passes (of the ids gathered below that slot; large sets are
// sorted first, in linear time), one bitmap rebuild per new internal node,
// and one union into the id bitmap; while it runs it holds two ids per
// batch entry and a merge buffer of at most ~100 KiB.
// Memory: the nodes (16 bytes per entry plus slack), one bitmap per slot
// holding an internal node (about one id per leaf entry at each level above
// the lowest), and about a bit per id in the id bitmap (ids are dense) plus
// a count per id with several entries; 32 bytes per move owed (at most one
// per 16 pairs held), and during a settle about 130 bytes per move.
// Thread-safety: none of its own. The owner holds a read-write lock: exclusive
// for every insertion and removal, shared for queries, iteration and
// validate (const methods never modify the tree).
// Failures: InternalFailure with the fixed messages ("Cannot insert into an
// empty node!", "Missing child", ...) only when the tree is malformed;
// validate() names the broken invariant.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "absl/hash/hash.h"
#include "index/core/query/b_tree/nodes/internal_node.hpp"
#include "index/core/query/b_tree/nodes/leaf_node.hpp"
#include "index/core/query/b_tree/num_key.hpp"
#include "support/bitmap.hpp"
#include "support/internal_failure.hpp"
#include "support/memory.hpp"

namespace zarvex {

class BitMapBTreeIter;

// Trees holding at least this many pairs defer their moves' bitmap changes
// (see "Deferred moves"). Smaller trees change them at each move: their
// bitmaps mostly stay cached, and a settle's second walk of both paths and
// its grouping would cost more than the changes save. Tests lower it to
// reach deferral with small trees.
inline std::atomic<uint64_t> defer_moves_from{uint64_t{1} << 19};

class BitMapBTree {
 public:
  BitMapBTree();  // an empty leaf root (count 0, start 48)
  BitMapBTree(const BitMapBTree&) = delete;
  BitMapBTree& operator=(const BitMapBTree&) = delete;
  // A moved-from tree has an empty-node root: it may only be assigned to or
  // destroyed (anything else is an internal failure).
  BitMapBTree(BitMapBTree&&) noexcept = default;
  BitMapBTree& operator=(BitMapBTree&&) noexcept = default;

  void insert(NumKey key, uint32_t id);
  // Adds the pair unless it is held (in one descent); true when it was added.
  bool insert_once(NumKey key, uint32_t id);
  // Adds each entry of `entries` (ascending, distinct, well-formed) that the
  // tree does not hold, as insert_once would one by one; returns how many
  // were added. The tree is walked once, leaf by leaf: the batch's entries
  // of a leaf are merged into it (a leaf that overflows is cut into several)
  // and each internal slot on the way gets the ids of its new entries in
  // one bulk add. The shape may differ from the one-by-one shape (leaves are
  // filled up to three quarters); everything the tree answers is the same.
  // On std::bad_alloc the entries of the batch up to some point are added
  // (those that were not held), with their ids in every bitmap and count
  // (finished with the memory reserve given back; failing even then is an
  // internal failure), and the rest are not: the tree is valid, and calling
  // again with the same batch finishes the work. Entries out of order or
  // malformed are an internal failure, raised before anything changes.
  size_t insert_sorted_once(std::span<const Entry> entries);
  // Takes one copy of the pair away; false (nothing changed) when absent.
  bool remove(NumKey key, uint32_t id);
  // remove(from, id) and then insert_once(to, id), with both answers. An id
  // with one entry (a number written over a number) moves in one walk of
  // both paths through the leaves and keys; what the move owes the slot
  // bitmaps is deferred (see settle).
  struct Moved {
    bool removed;
    bool added;
  };
  Moved move(NumKey from, NumKey to, uint32_t id);
  // Makes every slot bitmap exact: applies the changes owed for the moves
  // deferred since the last settle, bitmap by bitmap. Every change other
  // than such a move settles first; so does a move that finds the most ids
  // owed. On std::bad_alloc some changes may be made: the moves stay owed
  // and a later settle finishes the work (each change, made again, changes
  // nothing).
  void settle();
  // Whether moves are owed to the slot bitmaps (settle() would change them).
  bool is_settled() const { return deferred_.empty(); }
  // Takes out every pair (every copy) whose id `dead` holds, in one pass
  // over the nodes; adds those keyed by a NaN to `nans` as they go. Done
  // again after a failure for want of memory, it finishes the work.
  void remove_ids(const IdSieve& dead, uint64_t& nans);
  void prefetch_id(uint32_t id) const { ids_.prefetch_id(id); }
  // Ids with a number within [lower, upper] (as the bound kinds say) that the
  // mask holds. Inverted or empty ranges and an empty mask give nothing.
  // Bounds compare by key code, so a NaN bound is ordered like a NaN entry
  // (beyond the infinity of its sign); callers that want NaN to match
  // nothing must say so before asking.
  Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& mask) const;
  // The same with no mask: every id with a number in the range.
  Bitmap query_range_all(const Bound& lower, const Bound& upper) const;

  bool is_empty() const { return size_ == 0; }
  // Pairs held, repeated copies included.
  uint64_t size() const { return size_; }
  // Copies held of one pair (0 when absent).
  uint32_t multiplicity(NumKey key, uint32_t id) const;

  // Calls f(Entry) for every distinct entry in ascending order (repeated
  // copies of a pair are visited once). A tree whose root is an empty node
  // fails with "Cannot create iterator for empty tree!".
  template <class F>
  void for_each(F&& f) const;

  // Checks every structural invariant and names the first broken one.
  void validate() const;

  // A read-only picture of the node structure, for tests and debugging.
  struct NodeInfo {
    BitMapBTreeNode::Kind kind;
    uint32_t count;
    uint32_t start;
    std::vector<NodeInfo> children;  // internal nodes only, in run order
  };
  NodeInfo inspect() const;
  uint32_t depth() const;  // 1 for a leaf root

  const BitMapBTreeNode& root() const { return root_; }

 private:
  friend struct BitMapBTreeTestAccess;
  struct EntryHash {
    size_t operator()(Entry e) const { return absl::HashOf(static_cast<uint64_t>(e), static_cast<uint64_t>(e >> 64)); }
  };

  struct SortedBatch;
  bool contains_entry(Entry e) const;
  // The ids filed under one number (key code `code`), read from the leaves
  // in order: within a key, entries sort by kind then id, so the integer
  // and the float entries each give ascending ids. Gives up (false) past
  // `limit` entries, where the bitmaps of the subtrees wholly inside serve
  // better.
  bool ids_of_key(KeyCode code, size_t limit, std::vector<uint32_t>& ints, std::vector<uint32_t>& floats) const;
  Bitmap query_range_masked(const Bound& lower, const Bound& upper, const Bitmap* mask) const;

  // The moves of an id's only entry since the slot bitmaps changed last, in
  // order: from `was` to `now`. An id moved again has a later move starting
  // where its last one ended; its bitmaps still describe its first `was`.
  // Every id here still has one entry, its last `now`, as anything else
  // settles first. A range query answers these ids from that entry,
  // whatever the bitmaps hold of them. A move only appends (no look-up
  // per write); the moves are merged per id when they are read.
  struct Deferred {
    Entry was;
    Entry now;
  };
  std::vector<Deferred> deferred_;
  // One move per id: its first `was` and its last `now`, ascending by id.
  std::vector<Deferred> owed_moves() const;
  // The ids of owed_moves(), as a bitmap.
  static Bitmap ids_of(std::span<const Deferred> owed);
  using PerIdMap = absl::flat_hash_map<uint32_t, uint32_t, absl::Hash<uint32_t>, std::equal_to<uint32_t>,
                                       memory::UnfailingAllocator<std::pair<const uint32_t, uint32_t>>>;
  // Ids owed at most: one per kSizePerDeferred pairs held, within
  // [kFewestDeferred, kMostDeferred]. Enough that a settle changes each
  // container of the bitmaps several times over (a merge then costs less
  // than shifting an array per id); bounded so that a range query that
  // meets them (at most a pass over kMostDeferred ids) stays cheap beside
  // the answer of a tree that size.
  static constexpr size_t kSizePerDeferred = 16;
  static constexpr size_t kFewestDeferred = 256;
  static constexpr size_t kMostDeferred = 65536;
  // The move of an id's only entry with its bitmap changes owed; false,
  // with nothing changed, where move_entry gives up.
  bool defer_move(InternalNode* root, Entry was, Entry now);
  // A bitmap owed at most this many changes gets them one by one.
  static constexpr size_t kOneByOneUpTo = 8;
  size_t most_deferred() const;
  // A settle began and has not finished (it failed for want of memory).
  bool unfinished_settle_ = false;
  // settle()'s changes, bitmap by bitmap.
  static void apply_grouped(std::span<const BitmapChange> changes);

  BitMapBTreeNode root_;
  // Copies of a pair beyond the first, keyed by entry; empty in the common case.
  // (Tables of both maps grow through the reserve: see support/memory.hpp.)
  absl::flat_hash_map<Entry, uint32_t, EntryHash, std::equal_to<Entry>,
                      memory::UnfailingAllocator<std::pair<const Entry, uint32_t>>>
      extra_copies_;
  // Distinct entries per id: `ids_` holds every id with an entry, and
  // `multi_` the count of each id with two or more (a list of numbers);
  // an id in `ids_` alone has one. Removing the last entry of an id then
  // drops the id from the bitmaps on its path without probing sibling
  // bitmaps, and a removal for an id without entries answers at once. Ids
  // are dense, so `ids_` costs about a bit per id where a count per id in a
  // hash table cost ~16 bytes and a cache miss per change.
  uint32_t entries_of(uint32_t id) const;
  void count_entry(uint32_t id);
  Bitmap ids_;
  PerIdMap multi_;
  uint64_t size_ = 0;
};

// In-order walk over the distinct entries of a tree; valid while the tree is
// unchanged. Holds one frame per internal level, no heap node per child.
class BitMapBTreeIter {
 public:
  explicit BitMapBTreeIter(const BitMapBTree& tree);
  // Writes the next entry to *out; false when the walk is over.
  bool next(Entry* out) {
    for (;;) {
      if (leaf_ != nullptr) {
        if (leaf_pos_ < leaf_->count()) {
          *out = leaf_->entry(leaf_pos_++);
          return true;
        }
        leaf_ = nullptr;
      }
      if (!descend()) return false;
    }
  }

 private:
  // Moves to the next leaf in order; false when none is left.
  bool descend();
  struct Frame {
    const InternalNode* node;
    uint32_t pos;
  };
  absl::InlinedVector<Frame, 8> stack_;
  const LeafNode* leaf_ = nullptr;
  uint32_t leaf_pos_ = 0;
};

template <class F>
void BitMapBTree::for_each(F&& f) const {
  BitMapBTreeIter it(*this);
  Entry e;
  while (it.next(&e)) f(e);
}

}  // namespace zarvex
