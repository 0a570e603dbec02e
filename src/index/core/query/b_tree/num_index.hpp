// NumIndex: the (number, object id) pairs of one attribute, in key order.
// While it holds at most kRunMax pairs they are a sorted vector of entries
// (16 bytes each); the next pair moves them into a BitMapBTree, which it
// keeps from then on. An attribute that few objects carry therefore costs
// a few entries instead of a tree leaf (about 1.5 KiB).
//
// Pairs are held once: insert_once() of a pair already held changes nothing
// and remove() takes the pair out (the attribute maps file each pair once).
// Queries answer exactly as BitMapBTree::query_range does in both forms.
//
// Cost: in the run, insertion and removal are a binary search and a move of
// at most kRunMax entries; a range query scans the entries in range. In the
// tree, as BitMapBTree.
// Thread-safety: none of its own; the owner's read-write lock guards it
// (exclusive for insert_once/remove, shared for the const members).
// Failures: those of BitMapBTree; std::bad_alloc leaves the index unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "index/core/query/b_tree/num_key.hpp"
#include "index/core/query/b_tree/ranged_b_tree.hpp"
#include "support/bitmap.hpp"

namespace zarvex {

// The number an entry was made from (make_entry(key_of_entry(e), id) == e).
NumKey key_of_entry(Entry e);

class NumIndex {
 public:
  static constexpr size_t kRunMax = 32;

  // Adds the pair unless it is held; true when it was added.
  bool insert_once(NumKey key, uint32_t id);
  // Takes the pair out; false (nothing changed) when it was not held.
  bool remove(NumKey key, uint32_t id);
  Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& mask) const;
  // The same with no mask.
  Bitmap query_range_all(const Bound& lower, const Bound& upper) const;
  bool is_empty() const { return tree_ ? tree_->is_empty() : run_.empty(); }
  bool has_tree() const { return tree_ != nullptr; }

  // f(Entry) for every pair in ascending entry order.
  template <class F>
  void for_each(F&& f) const {
    if (tree_) {
      tree_->for_each(f);
      return;
    }
    for (Entry e : run_) f(e);
  }

  // The run ascending without repeats, or the tree's own invariants.
  void validate() const;

 private:
  Bitmap run_query(const Bound& lower, const Bound& upper, const Bitmap* mask) const;
  std::vector<Entry> run_;             // used while tree_ is null
  std::unique_ptr<BitMapBTree> tree_;  // once made, holds every pair
};

}  // namespace zarvex
