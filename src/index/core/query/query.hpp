// QueryMap: the index of one attribute across the objects of one index.
//
//   member        guarded by                 notes
//   exact         per-shard locks (16)       value -> ids, for texts, booleans,
//                                            bytes, exact fractions, None, enum
//                                            members, nested objects and other
//                                            values; never numbers, dates or
//                                            containers
//   num_ordered   its read-write lock        (number, id) pairs of every Int
//                                            and Float value (a short sorted run,
//                                            then an id set per distinct number,
//                                            then a tree: num_index.hpp)
//   temporal      its read-write lock        one ordered index per date/time
//                                            tag: (key, id) pairs of Temporal
//                                            values, in the same form
//   has_ratios    atomic                     set once a Ratio value was filed
//                                            (Ratio values live in `exact`;
//                                            number ranges then also pass over
//                                            the distinct Ratio keys)
//   nested        its own locks              the owner's nested level (shared by
//                                            the owner's maps): the objects this
//                                            attribute holds, with their holders
//   owner         never changes              weak link to the owning index
//   owner_items   never changes              keeps the owner's store alive
//   attr_id       never changes
//
// Filing is idempotent: filing a value for an id that is already filed under
// it changes nothing (sets have no duplicates, the tree keeps each (number,
// id) pair once, nesting records a holder once). Containers are filed element
// by element from the elements captured in the value, so no Python code runs
// here and the interpreter is never needed.
//
// No operation holds two shard locks of one map at once. Failures are
// internal failures (poisoned locks; "not yet implemented" comparisons are
// rejected before evaluation starts).
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "index/core/index.hpp"
#include "index/core/query/b_tree/num_index.hpp"
#include "index/core/query/b_tree/ranged_b_tree.hpp"
#include "index/core/structures/hybrid_set/hybrid_set.hpp"
#include "index/core/structures/shards/hashmap/hashmap.hpp"
#include "index/value.hpp"

namespace zarvex {

struct Group {
  PyValue value;
  HybridSet ids;
};

inline NumKey num_key_of(const PyValue& v) {
  return v.kind() == Kind::Int ? NumKey::of_int(v.as_int()) : NumKey::of_float(v.as_float());
}

struct QueryMap {
  using ExactMap = ShardedHashMap<PyValue, HybridSet>;

  QueryMap(const std::weak_ptr<IndexAPI>& owner, uint32_t attr_id);

  ExactMap exact;
  std::weak_ptr<IndexAPI> owner;
  std::shared_ptr<IndexAPI> nested;
  SharedItems owner_items;
  // The tree locks: after the index's locks, before an object's membership
  // lock (ARCHITECTURE.md, "Lock order").
  RwLocked<NumIndex> num_ordered ABSL_ACQUIRED_AFTER(IndexAPI::query_maps, IndexAPI::allowed_items, IndexAPI::items)
      ABSL_ACQUIRED_BEFORE(ObjectLock::membership);
  RwLocked<std::array<NumIndex, kTimeKinds>> temporal ABSL_ACQUIRED_AFTER(IndexAPI::query_maps, IndexAPI::allowed_items,
                                                                          IndexAPI::items)
      ABSL_ACQUIRED_BEFORE(ObjectLock::membership);
  using NumRead = RwLocked<NumIndex>::ReadScope;
  using NumWrite = RwLocked<NumIndex>::WriteScope;
  using TemporalRead = RwLocked<std::array<NumIndex, kTimeKinds>>::ReadScope;
  using TemporalWrite = RwLocked<std::array<NumIndex, kTimeKinds>>::WriteScope;
  std::atomic<bool> has_ratios{false};
  uint32_t attr_id;

  // Files `value` for object `id` (routing by kind).
  void insert(const PyValue& value, uint32_t id);
  void insert_num_ordered(NumKey key, uint32_t id);
  void insert_exact(const PyValue& value, uint32_t id);
  void insert_indexable(const PyValue& value, uint32_t holder);
  // Bulk filing (add_object_many): tree entries in ascending order under one
  // hold of the tree lock, and the ids (ascending, distinct) of one exact
  // value under one hold of its shard lock. Each pair is filed at most once,
  // as by insert().
  void insert_entries(std::span<const Entry> entries);
  void insert_exact_many(const PyValue& value, std::span<const uint32_t> ids);

  // Unfiles `value` for object `id`.
  void remove_id(const PyValue& value, uint32_t id);
  void remove_exact(const PyValue& value, uint32_t id);
  // Removes the entry of `value` if its set holds no id; true if it did.
  bool check_prune(const PyValue& value);
  // remove_id then check_prune; true when the map may now be empty (an
  // entry was pruned or the tree lost its last pair), so that the full
  // emptiness test runs only then.
  bool remove_value(const PyValue& value, uint32_t id);
  // The same for an object leaving the index: each exact entry (elements of
  // a container included) is emptied and pruned under one hold of its shard
  // lock. True when an entry was pruned or the tree lost its last pair.
  bool unfile(const PyValue& value, uint32_t id);
  // The same for a number given by its ordered key (an Int or Float value).
  bool unfile_number(NumKey key, uint32_t id);
  // Requests the lines that unfiling `id` from the text's (or the tree's)
  // set will change first, so that an object's unfilings overlap their misses.
  void prefetch_exact(const PyValue& value, uint32_t id) const;
  void prefetch_number(uint32_t id) const;
  // remove_value(old) then insert(value), with one hold of the tree lock
  // when both are numbers. The map is not empty afterwards.
  void replace(const PyValue& old, const PyValue& value, uint32_t id);
  // replace() of a number by a number, given as their ordered keys.
  void move_number(NumKey from, NumKey to, uint32_t id);
  // replace() of a text or boolean by another: both sets found under one
  // hold of their shards' locks, and their misses overlapped. False,
  // changing nothing, when the second shard's lock was taken.
  bool replace_exact(const PyValue& old, const PyValue& value, uint32_t id);
  // replace_exact() of a text by a text, given as their bytes: no value is
  // built unless the new text has no set yet.
  bool replace_text(const TextKey& old, const TextKey& value, uint32_t id);
  // The same for the elements of two containers, all texts or booleans:
  // each value only one of them holds is unfiled or filed, every set found
  // under one hold of all their shards' locks and their misses overlapped.
  // False, changing nothing, when a shard's lock other than the first was
  // taken or the two hold more than 16 distinct values.
  bool replace_exact_many(std::span<const PyValue> olds, std::span<const PyValue> news, uint32_t id);
  // replace_exact_many() of texts given as their bytes.
  bool replace_texts(std::span<const TextKey> olds, std::span<const TextKey> news, uint32_t id);
  bool is_empty() const;

  // Intersects every exact-value set with `keep`; entries left empty are
  // erased and their keys appended to `pruned` (for the caller to release
  // once its locks are released).
  void remove(const Bitmap& keep, std::vector<PyValue>& pruned);
  // Takes every id `dead` holds out of the exact sets, the numbers and the
  // dates (objects that left the index while their values stayed filed);
  // entries left empty are erased and their keys appended to `pruned`, as
  // above. Done again after a failure for want of memory, it finishes the
  // work.
  void remove_ids(const IdSieve& dead, std::vector<PyValue>& pruned);
  // Copies of every (key, set) pair of `exact`, one shard at a time.
  std::vector<std::pair<PyValue, HybridSet>> exact_entries() const;

  std::optional<Groups> group_by(std::string_view path) const;

  // Comparisons (the value kinds were checked before evaluation started).
  // An ordered comparison matches only values that Python orders against
  // its bound: numbers (Int, Float, Ratio) with numbers, texts with texts by
  // code point, bytes with bytes, dates and times with their own tag.
  Bitmap eq(const PyValue& v, const Bitmap& mask) const;
  Bitmap gt(const PyValue& v, const Bitmap& mask) const;
  Bitmap ge(const PyValue& v, const Bitmap& mask) const;
  Bitmap lt(const PyValue& v, const Bitmap& mask) const;
  Bitmap le(const PyValue& v, const Bitmap& mask) const;
  Bitmap bt(const PyValue& lo, const PyValue& hi, const Bitmap& mask) const;
  // Ids of the Temporal value `v` (no mask), for keyword queries.
  Bitmap temporal_lookup(const PyValue& v) const;
  // Ids held under a value equal to `v` in `exact` (mask not applied).
  Bitmap exact_lookup(const PyValue& v) const;
  // True when eq(v) is answered from `exact` (texts, booleans, bytes,
  // fractions, identities, objects) rather than from an ordered tree.
  static bool eq_is_exact(const PyValue& v) { return !v.is_number() && v.kind() != Kind::Temporal; }
  // Number of ids under `v` in `exact`, without copying them (0 when absent).
  uint64_t exact_count(const PyValue& v) const;
  // Intersects `acc` in place with the ids under `v` in `exact` (emptying it
  // when `v` is absent), reading the set where it lies, under its shard's
  // read lock: the set is never copied.
  void exact_and_into(const PyValue& v, Bitmap& acc) const;

  // An equality that an And may answer by look-up (the three calls below):
  // an exact value, or a number (not NaN) while the numbers are filed by
  // distinct value. Other equalities are answered by eq().
  bool eq_by_lookup(const PyValue& v) const;
  // For ordering an And's sets: the ids of an exact value or of a number
  // filed by value; for numbers in the tree, the pairs it holds (a bound).
  uint64_t lookup_count(const PyValue& v) const;
  // The ids equal to `v`, unmasked (the first set of an And).
  Bitmap lookup(const PyValue& v) const;
  // `acc` intersected in place with the ids equal to `v`, reading the set
  // where it lies.
  void lookup_and_into(const PyValue& v, Bitmap& acc) const;
  // The ids equal to `v` that `other` holds, without copying `v`'s set.
  Bitmap lookup_and(const PyValue& v, const Bitmap& other) const;
  // f(const Bitmap&) with the ids equal to `v`, under the lock that guards
  // them, when they lie in one bitmap; false without calling f otherwise.
  // f may read another map's set (a read lock inside a read lock: these
  // locks let readers in while a writer waits, and no writer of a set waits
  // for another lock while it holds its own).
  template <class F>
  bool with_lookup_bitmap(const PyValue& v, F&& f) const {
    if (v.is_number()) {
      NumRead tree(num_ordered);
      return tree->with_equal_bitmap(num_key_of(v), f);
    }
    bool done = false;
    exact.visit(v, [&](const HybridSet& ids) {
      if (const Bitmap* b = ids.bitmap()) {
        f(*b);
        done = true;
      }
    });
    return done;
  }

 private:
  // A null bound leaves that end open.
  Bitmap tree_query(const Bound* lo, const Bound* hi, const Bitmap& mask) const;
  // The pair in and out of the tree (held by the caller), keeping the NaN count.
  void insert_num_ordered(NumIndex& tree, NumKey key, uint32_t id);
  void remove_num_ordered(NumIndex& tree, NumKey key, uint32_t id);
  // Counts a NaN pair that went in (added) or out, when `changed` says the
  // tree changed.
  void count_nan(NumKey key, bool changed, bool added);
  // replace_exact() and replace_text() for either form of key.
  template <class Old, class New>
  bool replace_keys(const Old& old, const New& value, uint32_t id);
  template <class Key>
  bool replace_many_keys(std::span<const Key> olds, std::span<const Key> news, uint32_t id);
  // (NaN, id) pairs in num_ordered; changed under its write lock.
  std::atomic<uint64_t> nan_entries{0};
  // Set under num_ordered's write lock when a write leaves changes owed to
  // the tree's bitmaps, cleared by the settle that makes them. A range query
  // first settles the tree when the write lock is free (settle_numbers); a
  // reader that finds it busy, or reads the flag stale, still answers
  // exactly (BitMapBTree answers owed ids from their entries), only more
  // slowly.
  mutable std::atomic<bool> num_owed{false};
  void settle_numbers() const;
  // Values between `lo` and `hi` (either may be null: unbounded).
  Bitmap ordered(const PyValue* lo, bool lo_incl, const PyValue* hi, bool hi_incl, const Bitmap& mask) const;
  Bitmap ordered_keys(Kind kind, const PyValue* lo, bool lo_incl, const PyValue* hi, bool hi_incl,
                      const Bitmap& mask) const;
};

}  // namespace zarvex
