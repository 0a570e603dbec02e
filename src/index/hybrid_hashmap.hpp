// HybridHashmap<K, V>: the per-object attribute map, from attribute id to
// value. Objects mostly hold a handful of attributes, so the map starts as an
// inline vector of up to 8 (key, value) pairs searched linearly (no heap
// allocation, insertion order) and switches for good to an open-addressing
// hash map (absl::flat_hash_map, pre-sized for 16 entries, hashed with the
// multiplicative hasher) when a ninth distinct key arrives. There is no
// removal, and the map never switches back.
//
// The map owns its values: replacing a value releases the old one exactly
// once (by move-assignment over it), and destroying the map releases all.
// Keys are unique in either form.
//
// Cost: get/insert scan at most 8 keys while small, one hash probe once
// hashed; the switch moves the 8 pairs once. iter()/keys() yield one iterator
// type whatever the form; insert invalidates iterators and value pointers.
//
// Thread-safety: none of its own; the owning object guards it (and every walk
// over it) with its mutex. Failures: none beyond allocation; validate()
// reports a broken invariant as an InternalFailure.
//
// Users: the object record keeps its attributes in the packed AttrMap
// (index/attr_table.hpp), which serves the same lookups in less memory; this
// map, iterators included, stays as the documented generic attribute map
// interface and is exercised by the C++ tests only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

#include "absl/container/flat_hash_map.h"
#include "absl/container/inlined_vector.h"
#include "support/hasher.hpp"
#include "support/internal_failure.hpp"
#include "support/memory.hpp"

namespace zarvex {

// The multiplicative hasher over an unsigned key of at most 64 bits (a 32-bit
// key k hashes to rotl(k * 0x93D765DD, 15)).
template <class K>
struct MulKeyHash {
  static_assert(std::is_integral_v<K> && std::is_unsigned_v<K> && sizeof(K) <= 8,
                "the multiplicative hasher takes unsigned keys of at most 64 bits");
  size_t operator()(K k) const {
    if constexpr (sizeof(K) <= 4)
      return mul_hash_u32(static_cast<uint32_t>(k));
    else
      return mul_hash_u64(static_cast<uint64_t>(k));
  }
};

template <class K, class V>
class HybridHashmap {
 public:
  static constexpr size_t kInlinePairs = 8;
  static constexpr size_t kHashedCapacity = 16;
  using Small = absl::InlinedVector<std::pair<K, V>, kInlinePairs>;
  // Tables grow through the reserve (support/memory.hpp): a half-grown
  // table cannot be repaired.
  using Hashed =
      absl::flat_hash_map<K, V, MulKeyHash<K>, std::equal_to<K>, memory::UnfailingAllocator<std::pair<const K, V>>>;
  static_assert(sizeof(Small) >= kInlinePairs * sizeof(std::pair<K, V>), "8 pairs must fit inline");

  // Iterator over (key, value) pairs in the map's order, for either form.
  class Iterator {
   public:
    using value_type = std::pair<const K&, const V&>;
    using reference = value_type;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::forward_iterator_tag;

    Iterator() = default;
    reference operator*() const {
      if (small_) return {small_it_->first, small_it_->second};
      return {hashed_it_->first, hashed_it_->second};
    }
    Iterator& operator++() {
      if (small_)
        ++small_it_;
      else
        ++hashed_it_;
      return *this;
    }
    Iterator operator++(int) {
      Iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) {
      return a.small_ == b.small_ && (a.small_ ? a.small_it_ == b.small_it_ : a.hashed_it_ == b.hashed_it_);
    }

   private:
    friend class HybridHashmap;
    explicit Iterator(typename Small::const_iterator it) : small_(true), small_it_(it) {}
    explicit Iterator(typename Hashed::const_iterator it) : small_(false), hashed_it_(it) {}
    bool small_ = true;
    typename Small::const_iterator small_it_{};
    typename Hashed::const_iterator hashed_it_{};
  };

  // Iterator over the keys, in the map's order.
  class KeyIterator {
   public:
    using value_type = K;
    using reference = const K&;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::forward_iterator_tag;

    KeyIterator() = default;
    explicit KeyIterator(Iterator it) : it_(it) {}
    const K& operator*() const { return (*it_).first; }
    KeyIterator& operator++() {
      ++it_;
      return *this;
    }
    KeyIterator operator++(int) {
      KeyIterator old = *this;
      ++it_;
      return old;
    }
    friend bool operator==(const KeyIterator& a, const KeyIterator& b) { return a.it_ == b.it_; }

   private:
    Iterator it_;
  };

  template <class It>
  struct Range {
    It first, last;
    It begin() const { return first; }
    It end() const { return last; }
  };

  HybridHashmap() = default;

  bool is_small() const { return std::holds_alternative<Small>(rep_); }
  size_t size() const { return is_small() ? std::get<Small>(rep_).size() : std::get<Hashed>(rep_).size(); }
  bool empty() const { return size() == 0; }

  // The value under `key`, or nullptr. Valid until the next insert.
  const V* get(const K& key) const {
    if (const Small* small = std::get_if<Small>(&rep_)) {
      // The keys are scanned in their own packed array (one cache line for
      // 32-bit keys); only the matching pair is touched.
      const size_t n = small->size();
      for (size_t i = 0; i < n; ++i)
        if (small_keys_[i] == key) return &(*small)[i].second;
      return nullptr;
    }
    const Hashed& hashed = std::get<Hashed>(rep_);
    auto it = hashed.find(key);
    return it == hashed.end() ? nullptr : &it->second;
  }
  V* get(const K& key) { return const_cast<V*>(std::as_const(*this).get(key)); }

  // Replaces the value under `key` (releasing the old one) or adds the pair.
  void insert(const K& key, V value) {
    if (Small* small = std::get_if<Small>(&rep_)) {
      for (auto& [k, v] : *small) {
        if (k == key) {
          v = std::move(value);
          return;
        }
      }
      if (small->size() < kInlinePairs) {
        small_keys_[small->size()] = key;
        small->emplace_back(key, std::move(value));
        return;
      }
      switch_to_hashed(*small, key, std::move(value));
      return;
    }
    std::get<Hashed>(rep_).insert_or_assign(key, std::move(value));
  }

  // As insert, but hands back the value it replaced (nothing for a new key),
  // so that the caller chooses where the old value is destroyed.
  std::optional<V> exchange(const K& key, V value) {
    if (V* current = get(key)) {
      std::optional<V> old(std::in_place, std::move(*current));
      *current = std::move(value);
      return old;
    }
    insert(key, std::move(value));
    return std::nullopt;
  }

  // f(const K&, const V&) for every pair, in the map's order.
  template <class F>
  void for_each(F&& f) const {
    if (const Small* small = std::get_if<Small>(&rep_)) {
      for (const auto& [k, v] : *small) f(k, v);
    } else {
      for (const auto& [k, v] : std::get<Hashed>(rep_)) f(k, v);
    }
  }

  Iterator begin() const {
    if (const Small* small = std::get_if<Small>(&rep_)) return Iterator(small->cbegin());
    return Iterator(std::get<Hashed>(rep_).cbegin());
  }
  Iterator end() const {
    if (const Small* small = std::get_if<Small>(&rep_)) return Iterator(small->cend());
    return Iterator(std::get<Hashed>(rep_).cend());
  }
  Range<Iterator> iter() const { return {begin(), end()}; }
  Range<KeyIterator> keys() const { return {KeyIterator(begin()), KeyIterator(end())}; }

  // Small: at most 8 pairs, keys distinct. Hashed: more than 8 pairs (it is
  // reached only by a ninth distinct key and nothing is ever removed).
  void validate() const {
    if (const Small* small = std::get_if<Small>(&rep_)) {
      ZX_CHECK(small->size() <= kInlinePairs, "hybrid hashmap: small form holds more than 8 pairs");
      for (size_t i = 0; i < small->size(); ++i)
        for (size_t j = 0; j < i; ++j)
          ZX_CHECK(!((*small)[i].first == (*small)[j].first), "hybrid hashmap: repeated key in small form");
      for (size_t i = 0; i < small->size(); ++i)
        ZX_CHECK(small_keys_[i] == (*small)[i].first, "hybrid hashmap: packed key differs from its pair");
    } else {
      ZX_CHECK(std::get<Hashed>(rep_).size() > kInlinePairs, "hybrid hashmap: hashed form holds 8 pairs or fewer");
    }
  }

 private:
  void switch_to_hashed(Small& small, const K& key, V value) {
    Hashed hashed;
    hashed.reserve(kHashedCapacity);
    for (auto& [k, v] : small) hashed.emplace(k, std::move(v));
    hashed.emplace(key, std::move(value));
    rep_.template emplace<Hashed>(std::move(hashed));
  }

  std::variant<Small, Hashed> rep_;
  // Small form: copies of the pairs' keys, in the same order, for lookups.
  std::array<K, kInlinePairs> small_keys_{};
};

}  // namespace zarvex
