// NumIndex: the (number, object id) pairs of one attribute, in key order, in
// one of three forms chosen by what it holds and never taken back:
//
//   form  | holds                                        | until
//   Run   | a sorted vector of entries (16 bytes each)   | kRunMax pairs
//   Keyed | per distinct number, its ids in a HybridSet, | more than keyed_max
//         | sorted by number (kind, then key code)       | distinct numbers
//   Tree  | a BitMapBTree                                | -
//
// An attribute that few objects carry costs a few entries instead of a tree
// leaf (about 1.5 KiB). An attribute with few distinct numbers (a size, a
// year, a rating) keeps one id set per number: equality is a look-up that
// reads the set where it lies (and_equal_into), a write is two set updates,
// and the ids cost about two bytes each instead of an entry and a share of
// the tree's bitmaps. Many distinct numbers (prices, timestamps) go to the
// tree, whose subtree bitmaps answer wide ranges.
//
// Pairs are held once: insert_once() of a pair already held changes nothing
// and remove() takes the pair out (the attribute maps file each pair once).
// Queries answer exactly as BitMapBTree::query_range does in both forms, in
// every form (3 and 3.0 are equal keys and remain distinct pairs; a NaN
// bound orders like a NaN entry).
//
// Cost: in the run, insertion and removal are a binary search and a move of
// at most kRunMax entries; a range query scans the entries in range. Keyed:
// a binary search over the distinct numbers and a set update (a new or
// emptied number moves the vector's tail); a range query unites the sets of
// the numbers in range. In the tree, as BitMapBTree. A change of form
// rebuilds everything aside, once.
// Thread-safety: none of its own; the owner's read-write lock guards it
// (exclusive for insert_once/remove, shared for the const members).
// Failures: those of BitMapBTree; std::bad_alloc leaves the index unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "index/core/query/b_tree/num_key.hpp"
#include "index/core/query/b_tree/ranged_b_tree.hpp"
#include "index/core/structures/hybrid_set/hybrid_set.hpp"
#include "support/bitmap.hpp"

namespace zarvex {

// The number an entry was made from (make_entry(key_of_entry(e), id) == e).
NumKey key_of_entry(Entry e);

class NumIndex {
 public:
  static constexpr size_t kRunMax = 32;
  static constexpr uint32_t kKeyedMax = 1024;
  enum class Form : uint8_t { Run, Keyed, Tree };

  NumIndex() = default;
  // The keyed form gives way to the tree past `keyed_max` distinct numbers
  // (tests use small limits to cross every change of form).
  explicit NumIndex(uint32_t keyed_max) : keyed_max_(keyed_max) {}

  // Adds the pair unless it is held; true when it was added.
  bool insert_once(NumKey key, uint32_t id);
  // Adds each entry of `entries` (ascending, distinct) that is not held, as
  // insert_once would one by one; returns how many were added.
  size_t insert_sorted_once(std::span<const Entry> entries);
  // Takes the pair out; false (nothing changed) when it was not held.
  bool remove(NumKey key, uint32_t id);
  // remove(from, id) and then insert_once(to, id), with both answers.
  BitMapBTree::Moved move(NumKey from, NumKey to, uint32_t id);
  // The tree's slot bitmaps made exact (BitMapBTree::settle); answers are
  // the same before and after.
  void settle() {
    if (form_ == Form::Tree) tree_->settle();
  }
  bool is_settled() const { return form_ != Form::Tree || tree_->is_settled(); }
  // Takes out every pair whose id `dead` holds, in one pass (the form
  // stays); adds those keyed by a NaN to `nans` as they go. Done again
  // after a failure for want of memory, it finishes the work.
  void remove_ids(const IdSieve& dead, uint64_t& nans);
  Bitmap query_range(const Bound& lower, const Bound& upper, const Bitmap& mask) const;
  // The same with no mask.
  Bitmap query_range_all(const Bound& lower, const Bound& upper) const;
  // For ordering the sets of an intersection, a bound on the ids holding a
  // number equal to `key`: in the run and keyed forms the pairs held under
  // it (an id holding both 3 and 3.0 counts twice), in the tree form every
  // pair held.
  uint64_t equal_count(NumKey key) const;
  // Intersects `acc` in place with the ids holding a number equal to `key`;
  // in the keyed form without copying the number's set.
  void and_equal_into(NumKey key, Bitmap& acc) const;
  // f(const Bitmap&) with the ids of the numbers equal to `key`, read where
  // they lie, when they are one bitmap (the keyed form, one kind of number
  // under the key, a Large set); false without calling f otherwise.
  template <class F>
  bool with_equal_bitmap(NumKey key, F&& f) const {
    if (form_ != Form::Keyed) return false;
    const KeyCode code = key_code(key);
    auto it = first_code_at(code);
    if (it == keyed_.end() || entry_key(it->head) != code) return false;
    if (it + 1 != keyed_.end() && entry_key((it + 1)->head) == code) return false;
    const Bitmap* b = it->ids.bitmap();
    if (!b) return false;
    f(*b);
    return true;
  }
  bool is_empty() const;
  Form form() const { return form_; }
  // Requests the line of the tree's set of ids that removing `id` changes.
  void prefetch_id(uint32_t id) const {
    if (form_ == Form::Tree) tree_->prefetch_id(id);
  }

  // f(Entry) for every pair in ascending entry order.
  template <class F>
  void for_each(F&& f) const {
    switch (form_) {
      case Form::Tree: tree_->for_each(f); return;
      case Form::Keyed:
        for (const KeyedIds& k : keyed_) k.ids.for_each([&](uint32_t id) { f(k.head | id); });
        return;
      case Form::Run:
        for (Entry e : run_) f(e);
        return;
    }
  }

  // The run ascending without repeats, the keyed numbers ascending with
  // non-empty sets, or the tree's own invariants; one form's storage only.
  void validate() const;

 private:
  // One distinct number: `head` is its entries' common part (id bits zero).
  struct KeyedIds {
    Entry head;
    HybridSet ids;
  };
  using KeyedVec = std::vector<KeyedIds>;
  // The common part of a number's entries (the id bits cleared).
  static Entry head_of(Entry e) { return e & ~Entry{0xFFFFFFFFu}; }
  // The first number at or above `head`.
  KeyedVec::iterator lower_head(Entry head);
  // The first number whose key code is at or above `code`.
  KeyedVec::const_iterator first_code_at(KeyCode code) const;
  bool keyed_insert(NumKey key, uint32_t id);
  // Every pair held, plus (key, id), into a tree built aside.
  void become_tree(NumKey key, uint32_t id);
  Bitmap run_query(const Bound& lower, const Bound& upper, const Bitmap* mask) const;
  Bitmap keyed_query(const Bound& lower, const Bound& upper, const Bitmap* mask) const;

  std::vector<Entry> run_;             // the Run form
  KeyedVec keyed_;                     // the Keyed form
  std::unique_ptr<BitMapBTree> tree_;  // the Tree form
  uint32_t keyed_max_ = kKeyedMax;
  Form form_ = Form::Run;
};

}  // namespace zarvex
