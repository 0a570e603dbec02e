// IdSieve: a fixed set of 32-bit ids, kept both as the Bitmap it was made
// from and as one bit per id up to its largest, so that a pass testing every
// entry of a structure against the set pays a shift and a load per test.
//
// Memory: (largest id + 1) / 8 bytes beside the caller's bitmap, which must
// outlive the sieve. Immutable once built; no locking of its own.
#pragma once

#include <cstdint>
#include <vector>

#include "support/bitmap.hpp"

namespace zarvex {

class IdSieve {
 public:
  explicit IdSieve(const Bitmap& ids) : ids_(ids) {
    if (ids.is_empty()) return;
    words_.assign((static_cast<size_t>(ids.maximum()) >> 6) + 1, 0);
    ids.for_each([this](uint32_t id) { words_[id >> 6] |= uint64_t{1} << (id & 63); });
  }
  bool has(uint32_t id) const {
    const size_t w = id >> 6;
    return w < words_.size() && ((words_[w] >> (id & 63)) & 1) != 0;
  }
  bool empty() const { return words_.empty(); }
  const Bitmap& ids() const { return ids_; }

 private:
  const Bitmap& ids_;
  std::vector<uint64_t> words_;
};

}  // namespace zarvex
