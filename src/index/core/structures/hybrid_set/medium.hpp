// MediumBlock: the heap block that holds the id array of a Medium HybridSet.
// It owns exactly one IdArray (same layout and capacity as a Small's inline
// array) and is one pointer wide, so a Medium costs the set no more than a
// Small. Copying allocates a new block with the same contents; moving steals
// the block and leaves the source without one (only destruction or
// assignment is valid on it then).
//
// Allocation failure is the process's ordinary out-of-memory failure.
// No locking of its own: guarded as the set that holds it.
#pragma once

#include <memory>

#include "index/core/structures/hybrid_set/small.hpp"

namespace zarvex::hybrid {

class MediumBlock {
 public:
  explicit MediumBlock(const IdArray& a) : p_(std::make_unique<IdArray>(a)) {}
  MediumBlock(const MediumBlock& o) : MediumBlock(*o) {}
  MediumBlock(MediumBlock&&) noexcept = default;
  MediumBlock& operator=(const MediumBlock& o) {
    if (this != &o) {
      if (p_)
        *p_ = *o;
      else
        p_ = std::make_unique<IdArray>(*o);
    }
    return *this;
  }
  MediumBlock& operator=(MediumBlock&&) noexcept = default;

  IdArray& operator*() const { return *p_; }
  IdArray* operator->() const { return p_.get(); }
  bool has_block() const { return p_ != nullptr; }

 private:
  std::unique_ptr<IdArray> p_;
};

static_assert(sizeof(MediumBlock) == sizeof(void*), "a Medium stores only the pointer to its block");

}  // namespace zarvex::hybrid
