// HybridSet: a set of object ids (uint32_t) in one of four forms, chosen by
// size and never shrunk back:
//
//   tag | form   | payload                                   | storage
//   0   | Empty  | none                                      | -
//   1   | Small  | CenteredArray<uint32_t, 4>, inline        | the set itself
//   2   | Medium | the same array, in a heap block           | MediumBlock (one pointer)
//   3   | Large  | a Roaring bitmap (Bitmap)                 | the bitmap's own storage
//
// Most attribute values are held by few objects, so a new value's set is a
// Small of one id and costs no allocation up to four ids. add() turns a Small
// into a Large once it would reach four values (a Small of four arises only
// from a union), a Medium once it is full. A Medium is never made from
// scratch: it comes from a union/intersection with a Medium on one side (or
// from with_array()). Removals and intersections never change the form,
// except that an intersection with an Empty set gives Empty. Empty is its own
// form, distinct from an array with no values: iteration, remove, contains,
// cardinality and is_empty on Empty are internal failures ("called iter on
// Empty", ...), whereas an emptied array answers them normally.
//
// The union and intersection case tables live in hybrid_set.cpp, one switch
// per operation with one case per (self, other) cell; the array helpers they
// use are in small.hpp, the Medium block in medium.hpp.
//
// Cost: array unions/intersections are linear merges of at most 4 + 4 ids;
// bitmap work goes through Bitmap's bulk calls (add_many, or_inplace,
// and_inplace). Copying copies the payload (a new block for Medium, a deep
// bitmap copy for Large). Moving leaves the source Empty.
//
// Thread-safety: none of its own; the caller holds the lock of whatever
// contains the set (a map shard, a query map, the object store).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "index/core/structures/centered_array/centered_array.hpp"
#include "index/core/structures/hybrid_set/medium.hpp"
#include "index/core/structures/hybrid_set/small.hpp"
#include "support/bitmap.hpp"
#include "support/id_sieve.hpp"
#include "support/internal_failure.hpp"

namespace zarvex {

class HybridSet {
 public:
  using Array = hybrid::IdArray;
  enum class Tag : uint8_t { Empty = 0, Small = 1, Medium = 2, Large = 3 };

  HybridSet() noexcept : tag_(Tag::Empty) {}
  // A Small holding id: a fresh array (start 0, len 0), then one insert.
  static HybridSet single(uint32_t id);
  static HybridSet from_bitmap(Bitmap b);
  // A Small or Medium (tag must be one of them) holding a copy of a. The
  // only way to make a Medium from scratch; meant for tests and tools.
  static HybridSet with_array(Tag tag, const Array& a);

  HybridSet(const HybridSet& other);
  HybridSet(HybridSet&& other) noexcept;
  HybridSet& operator=(const HybridSet& other);
  HybridSet& operator=(HybridSet&& other) noexcept;
  ~HybridSet() { destroy_payload(); }

  Tag tag() const { return tag_; }

  void add(uint32_t id);
  // Adds ids given in ascending order (a Large in one bulk call).
  void add_many(std::span<const uint32_t> ids);
  // Removes id if present; never changes the form.
  void remove(uint32_t id);
  // Removes every id `dead` holds (the form stays); returns how many went.
  // An Empty set loses nothing.
  uint64_t remove_ids(const IdSieve& dead);
  bool contains(uint32_t id) const {
    switch (tag_) {
      case Tag::Small: return small_.contains(id);
      case Tag::Medium: return medium_->contains(id);
      case Tag::Large: return large_.contains(id);
      case Tag::Empty: break;
    }
    fail_on_empty("contains");
  }

  void or_inplace(const HybridSet& other);
  void and_inplace(const HybridSet& other);
  // Intersects `acc` in place with the set's ids (an Empty set empties it),
  // reading a Large's bitmap where it lies.
  void and_into(Bitmap& acc) const;

  uint64_t cardinality() const;
  bool is_empty() const;

  // A new bitmap with exactly the set's ids (an empty one for Empty).
  Bitmap as_bitmap() const;
  // The set's ids as a bitmap, moved out of a Large without a copy; the set
  // becomes Empty.
  Bitmap take_bitmap();

  // f(id) for each id, ascending.
  template <class F>
  void for_each(F&& f) const {
    switch (tag_) {
      case Tag::Small:
        for (uint32_t v : small_) f(v);
        return;
      case Tag::Medium:
        for (uint32_t v : *medium_) f(v);
        return;
      case Tag::Large:
        for (Bitmap::Cursor c(large_); c.has_value(); c.advance()) f(c.value());
        return;
      case Tag::Empty: break;
    }
    fail_on_empty("iter");
  }

  // The id array of a Small or Medium, else nullptr.
  const Array* array() const {
    if (tag_ == Tag::Small) return &small_;
    if (tag_ == Tag::Medium) return &*medium_;
    return nullptr;
  }
  // The bitmap of a Large, else nullptr.
  const Bitmap* bitmap() const { return tag_ == Tag::Large ? &large_ : nullptr; }

  // Checks the tag, the Medium block, and the array invariants.
  void validate() const;

 private:
  [[noreturn]] static void fail_on_empty(const char* op);

  // Representation changes. Each builds nothing from self: callers compute
  // the new payload first (it may be derived from self or from an alias of
  // self) and then hand it over.
  void destroy_payload() noexcept;
  void become_empty() noexcept;
  void become_small(const Array& a) noexcept;
  void become_medium(const Array& a);
  void become_large(Bitmap&& b) noexcept;
  // Takes other's payload into an Empty self; other becomes Empty.
  void steal(HybridSet& other) noexcept;
  // The array of a Small or Medium (mutable).
  Array& arr() { return tag_ == Tag::Small ? small_ : *medium_; }

  union {
    Array small_;
    hybrid::MediumBlock medium_;
    Bitmap large_;
  };
  Tag tag_;
};

// Tag plus the largest payload: the Large's bitmap record (40 bytes), the
// inline array (32); a Medium is one pointer.
static_assert(sizeof(HybridSet) <= std::max(sizeof(HybridSet::Array), sizeof(Bitmap)) + alignof(Bitmap),
              "HybridSet must stay tag + largest payload");

}  // namespace zarvex
