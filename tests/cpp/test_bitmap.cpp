// Bitmap: chunked iteration must hand out every id once, ascending, in
// chunks of at most kChunk ids, across Roaring container boundaries.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "support/bitmap.hpp"

namespace zarvex {
namespace {

std::vector<uint32_t> ids_with(size_t n, uint32_t stride, uint32_t start) {
  std::vector<uint32_t> v;
  for (size_t i = 0; i < n; ++i) v.push_back(start + static_cast<uint32_t>(i) * stride);
  return v;
}

// from_sorted builds containers directly (arrays, and bitsets past 4096
// ids in one container): it must equal the bitmap built id by id, and take
// part in every later operation like it.
TEST(Bitmap, FromSortedEqualsAddingEachId) {
  struct Case {
    size_t n;
    uint32_t stride;
    uint32_t start;
    bool contiguous;
  };
  const Case cases[] = {
      {0, 1, 0, false},    {1, 1, 9, true},       {4096, 1, 0, true},    {4097, 1, 0, true},
      {70000, 1, 3, true}, {5000, 13, 65000, false}, {3, 1, 0xFFFFFFFDu, true}, {9000, 2, 0, false},
  };
  for (const Case& c : cases) {
    const std::vector<uint32_t> ids = ids_with(c.n, c.stride, c.start);
    Bitmap built = Bitmap::from_sorted(ids);
    EXPECT_TRUE(built == Bitmap(std::span<const uint32_t>(ids))) << c.n << " ids, stride " << c.stride;
    EXPECT_EQ(built.cardinality(), c.n);
    EXPECT_EQ(built.is_contiguous(), c.contiguous) << c.n << " ids, stride " << c.stride;
    built.add(1);
    built.remove(c.start);
    Bitmap expect{std::span<const uint32_t>(ids)};
    expect.add(1);
    expect.remove(c.start);
    EXPECT_TRUE(built == expect);
  }
}

TEST(Bitmap, ForEachChunkMatchesForEach) {
  struct Case {
    size_t n;
    uint32_t stride;
    uint32_t start;
  };
  const Case cases[] = {
      {0, 1, 0},       {1, 1, 0},          {255, 1, 7},         {256, 1, 0},
      {257, 3, 1},     {1000, 1, 65000},   {5000, 40000, 0},    {70000, 1, 0},
      {3, 1, 0xFFFFFFFDu},
  };
  for (const Case& c : cases) {
    const std::vector<uint32_t> want = ids_with(c.n, c.stride, c.start);
    Bitmap b{std::span<const uint32_t>(want)};
    std::vector<uint32_t> got;
    size_t chunks = 0;
    b.for_each_chunk([&](std::span<const uint32_t> chunk) {
      ASSERT_FALSE(chunk.empty());
      ASSERT_LE(chunk.size(), Bitmap::kChunk);
      // Every chunk but the last is full.
      if (got.size() + chunk.size() < want.size()) {
        ASSERT_EQ(chunk.size(), Bitmap::kChunk);
      }
      got.insert(got.end(), chunk.begin(), chunk.end());
      ++chunks;
    });
    EXPECT_EQ(got, want) << "n=" << c.n << " stride=" << c.stride;
    EXPECT_EQ(chunks, (c.n + Bitmap::kChunk - 1) / Bitmap::kChunk);
  }
}

}  // namespace
}  // namespace zarvex
