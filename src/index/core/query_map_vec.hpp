// QueryMapVec: the attribute maps of one index, addressed by attribute id.
//
// Attribute ids are process-wide, so an index whose objects carry a few
// attributes with large ids (names first stored long after the process
// started) would pay for every smaller id with a flat vector. Slots are
// therefore kept in chunks of kChunk, a chunk being allocated when a slot in
// it is first written; a slot of an absent chunk reads as null. Reading a
// slot costs one more dependent load than a flat vector.
//
// A value type: copies copy every slot (the maps themselves are shared).
// No locking of its own: IndexAPI::query_maps guards it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace zarvex {

struct QueryMap;

class QueryMapVec {
 public:
  static constexpr size_t kChunk = 64;
  using Slot = std::shared_ptr<QueryMap>;

  QueryMapVec() = default;
  QueryMapVec(const QueryMapVec& other) : size_(other.size_) {
    chunks_.reserve(other.chunks_.size());
    for (const auto& c : other.chunks_) chunks_.push_back(c ? std::make_unique<Chunk>(*c) : nullptr);
  }
  QueryMapVec& operator=(const QueryMapVec& other) {
    if (this != &other) *this = QueryMapVec(other);
    return *this;
  }
  QueryMapVec(QueryMapVec&&) noexcept = default;
  QueryMapVec& operator=(QueryMapVec&&) noexcept = default;

  // One past the largest id a slot was made for (slots below may be null).
  size_t size() const { return size_; }
  // Makes ids below n addressable (allocates nothing for them yet).
  void resize(size_t n) {
    if (n > size_) {
      chunks_.resize((n + kChunk - 1) / kChunk);
      size_ = n;
    }
  }

  // Slot i (i < size()); null when no map was installed there.
  const Slot& operator[](size_t i) const {
    const Chunk* c = chunks_[i / kChunk].get();
    return c ? (*c)[i % kChunk] : null_slot();
  }
  // Slot i for writing (i < size()); allocates its chunk.
  Slot& operator[](size_t i) {
    auto& c = chunks_[i / kChunk];
    if (!c) c = std::make_unique<Chunk>();
    return (*c)[i % kChunk];
  }

  // Visits every slot in id order, as const references (nulls included).
  class const_iterator {
   public:
    const_iterator(const QueryMapVec* v, size_t i) : v_(v), i_(i) {}
    const Slot& operator*() const { return (*v_)[i_]; }
    const_iterator& operator++() {
      ++i_;
      return *this;
    }
    bool operator!=(const const_iterator& o) const { return i_ != o.i_; }

   private:
    const QueryMapVec* v_;
    size_t i_;
  };
  const_iterator begin() const { return {this, 0}; }
  const_iterator end() const { return {this, size_}; }

 private:
  using Chunk = std::array<Slot, kChunk>;
  static const Slot& null_slot() {
    static const Slot none;
    return none;
  }
  std::vector<std::unique_ptr<Chunk>> chunks_;
  size_t size_ = 0;
};

}  // namespace zarvex
