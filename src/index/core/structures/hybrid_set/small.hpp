// Operations on the id array shared by the Small and Medium forms of a
// HybridSet. Both forms hold the same CenteredArray<uint32_t, 4>; Small keeps
// it inline in the set, Medium in a heap block of its own (medium.hpp). The
// case tables of HybridSet (hybrid_set.cpp) call these helpers for every cell
// that involves an array.
//
// Growth rules: add() may insert into a Small only while the length stays
// below 4 (so add alone never fills a Small), into a Medium while there is a
// free slot; a union of two arrays stays an array only when the two lengths
// sum to at most 4. Everything else becomes a bitmap.
//
// Cost: no allocation except the bitmaps these helpers build on purpose.
// Pure functions; the caller guards the arrays.
#pragma once

#include <cstddef>
#include <cstdint>

#include "index/core/structures/centered_array/centered_array.hpp"
#include "support/bitmap.hpp"

namespace zarvex::hybrid {

using IdArray = CenteredArray<uint32_t, 4>;
inline constexpr size_t kArrayCapacity = IdArray::kCapacity;
static_assert(kArrayCapacity == 4, "Small/Medium hold four inline ids");
static_assert(sizeof(IdArray) == 4 * sizeof(uint32_t) + 2 * sizeof(size_t), "four slots, start, len");

// add(id) on a Small may stay in the array (length after the insert < 4).
inline bool small_add_fits(const IdArray& a) { return a.len() + 1 < kArrayCapacity; }
// add(id) on a Medium may stay in the array (a free slot is left).
inline bool medium_add_fits(const IdArray& a) { return a.len() < kArrayCapacity; }
// A union of two arrays stays an array (by the sum of lengths, not the size
// of the union).
inline bool union_fits(const IdArray& a, const IdArray& b) { return a.len() + b.len() <= kArrayCapacity; }

// A new bitmap holding a's values (one add_many).
Bitmap bitmap_of(const IdArray& a);
// A new bitmap holding a's and b's values (two add_many).
Bitmap bitmap_of_both(const IdArray& a, const IdArray& b);
// A new bitmap holding a's values and id: the add() that outgrows the array.
Bitmap bitmap_of_plus(const IdArray& a, uint32_t id);
// A fresh array (start 0, len 0) into which each value of a that b contains
// is inserted in ascending order.
IdArray filter_by_bitmap(const IdArray& a, const Bitmap& b);

}  // namespace zarvex::hybrid
