#include "index/core/structures/hybrid_set/hybrid_set.hpp"

#include <memory>
#include <string>
#include <utility>

#include "absl/container/inlined_vector.h"

namespace zarvex {

using hybrid::bitmap_of;
using hybrid::bitmap_of_both;
using hybrid::bitmap_of_plus;
using hybrid::filter_by_bitmap;
using hybrid::MediumBlock;
using hybrid::union_fits;

namespace {
#if defined(ZARVEX_CHECKED)
constexpr bool kCheckAfterMutation = true;
#else
constexpr bool kCheckAfterMutation = false;
#endif

// One case label per (self, other) cell of a case table.
constexpr int cell(HybridSet::Tag self, HybridSet::Tag other) {
  return static_cast<int>(self) * 4 + static_cast<int>(other);
}
using T = HybridSet::Tag;
}  // namespace

// --- lifecycle ---------------------------------------------------------------

HybridSet HybridSet::single(uint32_t id) {
  HybridSet s;
  std::construct_at(&s.small_);
  s.tag_ = Tag::Small;
  s.small_.insert(id);
  return s;
}

HybridSet HybridSet::from_bitmap(Bitmap b) {
  HybridSet s;
  s.become_large(std::move(b));
  return s;
}

HybridSet HybridSet::with_array(Tag tag, const Array& a) {
  ZX_CHECK(tag == Tag::Small || tag == Tag::Medium, "HybridSet::with_array needs Small or Medium");
  a.validate();
  HybridSet s;
  if (tag == Tag::Small)
    s.become_small(a);
  else
    s.become_medium(a);
  return s;
}

HybridSet::HybridSet(const HybridSet& other) : tag_(Tag::Empty) {
  switch (other.tag_) {
    case Tag::Empty: break;
    case Tag::Small: std::construct_at(&small_, other.small_); break;
    case Tag::Medium: std::construct_at(&medium_, other.medium_); break;
    case Tag::Large: std::construct_at(&large_, other.large_); break;
  }
  tag_ = other.tag_;
}

HybridSet::HybridSet(HybridSet&& other) noexcept : tag_(Tag::Empty) { steal(other); }

void HybridSet::steal(HybridSet& other) noexcept {
  switch (other.tag_) {
    case Tag::Empty: break;
    case Tag::Small: std::construct_at(&small_, other.small_); break;
    case Tag::Medium: std::construct_at(&medium_, std::move(other.medium_)); break;
    case Tag::Large: std::construct_at(&large_, std::move(other.large_)); break;
  }
  tag_ = other.tag_;
  other.become_empty();
}

HybridSet& HybridSet::operator=(const HybridSet& other) {
  if (this != &other) *this = HybridSet(other);
  return *this;
}

HybridSet& HybridSet::operator=(HybridSet&& other) noexcept {
  if (this != &other) {
    become_empty();
    steal(other);
  }
  return *this;
}

void HybridSet::destroy_payload() noexcept {
  switch (tag_) {
    case Tag::Empty:
    case Tag::Small: break;  // trivially destructible
    case Tag::Medium: std::destroy_at(&medium_); break;
    case Tag::Large: std::destroy_at(&large_); break;
  }
}

void HybridSet::become_empty() noexcept {
  destroy_payload();
  tag_ = Tag::Empty;
}

void HybridSet::become_small(const Array& a) noexcept {
  const Array copy = a;  // a may live in the payload being destroyed
  destroy_payload();
  std::construct_at(&small_, copy);
  tag_ = Tag::Small;
}

void HybridSet::become_medium(const Array& a) {
  if (tag_ == Tag::Medium) {
    *medium_ = a;  // reuse the block
    return;
  }
  MediumBlock block(a);  // may throw; self is untouched until it succeeds
  destroy_payload();
  std::construct_at(&medium_, std::move(block));
  tag_ = Tag::Medium;
}

void HybridSet::become_large(Bitmap&& b) noexcept {
  destroy_payload();
  std::construct_at(&large_, std::move(b));
  tag_ = Tag::Large;
}

void HybridSet::fail_on_empty(const char* op) { fail(std::string("called ") + op + " on Empty"); }

// --- single-id operations ----------------------------------------------------

void HybridSet::add_many(std::span<const uint32_t> ids) {
  if (tag_ == Tag::Large) {
    large_.add_many(ids);
    return;
  }
  for (uint32_t id : ids) add(id);
}

void HybridSet::add(uint32_t id) {
  switch (tag_) {
    case Tag::Empty:
      std::construct_at(&small_);
      tag_ = Tag::Small;
      small_.insert(id);
      break;
    case Tag::Small:
      // Outgrowing goes to Large even when id is already present.
      if (hybrid::small_add_fits(small_))
        small_.insert(id);
      else
        become_large(bitmap_of_plus(small_, id));
      break;
    case Tag::Medium:
      if (hybrid::medium_add_fits(*medium_))
        medium_->insert(id);
      else
        become_large(bitmap_of_plus(*medium_, id));
      break;
    case Tag::Large: large_.add(id); break;
  }
  if constexpr (kCheckAfterMutation) validate();
}

void HybridSet::remove(uint32_t id) {
  switch (tag_) {
    case Tag::Small: small_.remove(id); break;
    case Tag::Medium: medium_->remove(id); break;
    case Tag::Large: large_.remove(id); break;
    case Tag::Empty: fail_on_empty("remove");
  }
  if constexpr (kCheckAfterMutation) validate();
}

uint64_t HybridSet::remove_ids(const IdSieve& dead) {
  switch (tag_) {
    case Tag::Empty: return 0;
    case Tag::Large: {
      const uint64_t before = large_.cardinality();
      large_.andnot_inplace(dead.ids());
      return before - large_.cardinality();
    }
    case Tag::Small:
    case Tag::Medium: break;
  }
  absl::InlinedVector<uint32_t, 8> gone;
  for_each([&](uint32_t id) {
    if (dead.has(id)) gone.push_back(id);
  });
  for (uint32_t id : gone) remove(id);
  return gone.size();
}

uint64_t HybridSet::cardinality() const {
  switch (tag_) {
    case Tag::Small: return small_.len();
    case Tag::Medium: return medium_->len();
    case Tag::Large: return large_.cardinality();
    case Tag::Empty: break;
  }
  fail_on_empty("cardinality");
}

bool HybridSet::is_empty() const {
  switch (tag_) {
    case Tag::Small: return small_.empty();
    case Tag::Medium: return medium_->empty();
    case Tag::Large: return large_.is_empty();
    case Tag::Empty: break;
  }
  fail_on_empty("is_empty");
}

Bitmap HybridSet::as_bitmap() const {
  switch (tag_) {
    case Tag::Small: return bitmap_of(small_);
    case Tag::Medium: return bitmap_of(*medium_);
    case Tag::Large: return Bitmap(large_);
    case Tag::Empty: break;
  }
  return Bitmap();
}

Bitmap HybridSet::take_bitmap() {
  Bitmap out = tag_ == Tag::Large ? std::move(large_) : as_bitmap();
  become_empty();
  return out;
}

// --- union: self becomes self ∪ other ---------------------------------------
//
// Rows self, columns other. "both" = a new bitmap with self's then other's
// array values (two add_many) and self becomes Large; the array/array cells
// go to "both" when len(self) + len(other) > 4, whatever the size of the
// union.
//
//            | Empty     | Small            | Medium            | Large
//   Empty    | Empty     | copy (Small)     | copy (Medium)     | copy (Large)
//   Small    | unchanged | merge -> Small   | merge -> Medium   | copy of other + add_many(self)
//   Medium   | unchanged | merge -> Medium  | merge -> Medium   | add_many(self) + or_inplace(other)
//   Large    | unchanged | add_many(other)  | add_many(other)   | or_inplace(other)
void HybridSet::or_inplace(const HybridSet& other) {
  switch (cell(tag_, other.tag_)) {
    case cell(T::Empty, T::Empty):
    case cell(T::Small, T::Empty):
    case cell(T::Medium, T::Empty):
    case cell(T::Large, T::Empty): break;

    case cell(T::Empty, T::Small): become_small(other.small_); break;
    case cell(T::Empty, T::Medium): become_medium(*other.medium_); break;
    case cell(T::Empty, T::Large): become_large(Bitmap(other.large_)); break;

    case cell(T::Small, T::Small):
      if (union_fits(small_, other.small_))
        small_.union_with(other.small_);
      else
        become_large(bitmap_of_both(small_, other.small_));
      break;
    case cell(T::Small, T::Medium):
      if (union_fits(small_, *other.medium_)) {
        Array merged = small_;
        merged.union_with(*other.medium_);
        become_medium(merged);
      } else {
        become_large(bitmap_of_both(small_, *other.medium_));
      }
      break;
    case cell(T::Small, T::Large): {
      Bitmap b(other.large_);
      b.add_many(small_.values());
      become_large(std::move(b));
      break;
    }

    case cell(T::Medium, T::Small):
    case cell(T::Medium, T::Medium): {
      const Array& o = *other.array();
      if (union_fits(*medium_, o))
        medium_->union_with(o);
      else
        become_large(bitmap_of_both(*medium_, o));
      break;
    }
    case cell(T::Medium, T::Large): {
      Bitmap b = bitmap_of(*medium_);
      b.or_inplace(other.large_);
      become_large(std::move(b));
      break;
    }

    case cell(T::Large, T::Small):
    case cell(T::Large, T::Medium): large_.add_many(other.array()->values()); break;
    case cell(T::Large, T::Large):
      if (&other != this) large_.or_inplace(other.large_);
      break;
  }
  if constexpr (kCheckAfterMutation) validate();
}

// --- intersection: self becomes self ∩ other --------------------------------
//
//            | Empty | Small or Medium                 | Large
//   Empty    | Empty | Empty                           | Empty
//   Small    | Empty | merge intersection -> Small     | self's ids in other, inserted
//            |       |                                 | into a fresh array -> Small
//   Medium   | Empty | merge intersection -> Medium    | as for Small -> Medium
//   Large    | Empty | and_inplace(bitmap of other)    | and_inplace(other)
//
// The form never changes except to Empty.
void HybridSet::and_into(Bitmap& acc) const {
  if (tag_ == Tag::Large) {
    acc.and_inplace(large_);
  } else if (const Array* a = array()) {
    // At most a few ids: keep those the accumulator holds.
    absl::InlinedVector<uint32_t, 8> kept;
    for (uint32_t id : *a)
      if (acc.contains(id)) kept.push_back(id);
    acc = Bitmap(std::span<const uint32_t>(kept.data(), kept.size()));
  } else {
    acc.clear();
  }
}

void HybridSet::and_inplace(const HybridSet& other) {
  switch (cell(tag_, other.tag_)) {
    case cell(T::Empty, T::Empty):
    case cell(T::Empty, T::Small):
    case cell(T::Empty, T::Medium):
    case cell(T::Empty, T::Large): break;

    case cell(T::Small, T::Empty):
    case cell(T::Medium, T::Empty):
    case cell(T::Large, T::Empty): become_empty(); break;

    case cell(T::Small, T::Small):
    case cell(T::Small, T::Medium):
    case cell(T::Medium, T::Small):
    case cell(T::Medium, T::Medium): arr().intersect_with(*other.array()); break;

    case cell(T::Small, T::Large):
    case cell(T::Medium, T::Large): arr() = filter_by_bitmap(arr(), other.large_); break;

    case cell(T::Large, T::Small):
    case cell(T::Large, T::Medium): large_.and_inplace(bitmap_of(*other.array())); break;
    case cell(T::Large, T::Large):
      if (&other != this) large_.and_inplace(other.large_);
      break;
  }
  if constexpr (kCheckAfterMutation) validate();
}

// --- invariants --------------------------------------------------------------

void HybridSet::validate() const {
  switch (tag_) {
    case Tag::Empty: return;
    case Tag::Small: small_.validate(); return;
    case Tag::Medium:
      ZX_CHECK(medium_.has_block(), "HybridSet invariant broken: Medium without its block");
      medium_->validate();
      return;
    case Tag::Large: return;  // the bitmap library keeps its own invariants
  }
  fail("HybridSet invariant broken: tag " + std::to_string(static_cast<int>(tag_)) + " out of range");
}

}  // namespace zarvex
