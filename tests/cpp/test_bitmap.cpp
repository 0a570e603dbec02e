// Bitmap: set operations agree with std::set; a moved-from bitmap is empty
// and usable; chunked iteration hands out every id once, ascending, in chunks
// of at most kChunk ids, across Roaring container boundaries. The radix
// sorts agree with std::stable_sort.
#include <algorithm>
#include <cstdint>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/bitmap.hpp"
#include "support/radix_sort.hpp"

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
      {0, 1, 0, false},    {1, 1, 9, true},          {4096, 1, 0, true},        {4097, 1, 0, true},
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

using Ids = std::vector<uint32_t>;

TEST(Bitmap, SetOperationsMatchAModel) {
  const Ids a = {1, 5, 70000, 70001, 0xFFFFFFFFu}, b = {5, 6, 70001, 200000};
  for (const auto& [x, y] : {std::pair{a, b}, std::pair{b, a}, std::pair{a, Ids{}}, std::pair{Ids{}, a}}) {
    const Bitmap bx{std::span<const uint32_t>(x)}, by{std::span<const uint32_t>(y)};
    Ids both, only, any;
    std::set_intersection(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(both));
    std::set_difference(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(only));
    std::set_union(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(any));
    const Bitmap* parts[] = {&bx, &by};
    EXPECT_EQ(Bitmap::and_(bx, by).to_vector(), both);
    EXPECT_EQ(Bitmap::andnot(bx, by).to_vector(), only);
    EXPECT_EQ(Bitmap::or_many(parts).to_vector(), any);
    Bitmap in_and = bx, in_not = bx, in_or = bx;
    in_and.and_inplace(by);
    in_not.andnot_inplace(by);
    in_or.or_inplace(by);
    EXPECT_TRUE(in_and == Bitmap::and_(bx, by) && in_not == Bitmap::andnot(bx, by));
    EXPECT_EQ(in_or.to_vector(), any);
    EXPECT_EQ(in_or.cardinality(), any.size());
    EXPECT_EQ(bx.to_vector(), x);  // operands unchanged
  }
}

// Intersection has its own paths for array and bitset containers (block
// compares, galloping for skewed sizes, bitset probes, word ANDs), in place
// and into a new set: random sets whose containers hold from one id to
// bitset density, with 0 and 65535 inside a container and keys present on
// one side only, against std::set_intersection.
TEST(Bitmap, IntersectionMatchesAModelAcrossContainerSizes) {
  std::mt19937 rng(7);
  const uint32_t per_key[] = {1, 7, 8, 9, 40, 700, 2600, 4096, 6000};
  for (uint32_t na : per_key) {
    for (uint32_t nb : per_key) {
      std::set<uint32_t> x, y;
      for (uint32_t key : {0u, 1u, 3u}) {
        const uint32_t base = key << 16, width = std::min(65536u, std::max(na, nb) * 3);
        if (key != 3) x.insert({base, base + 65535});
        if (key != 1) y.insert({base, base + 65535});
        while (x.size() < na * (key + 1) && key != 3) x.insert(base + rng() % width);
        while (y.size() < nb * (key + 1) && key != 1) y.insert(base + rng() % width);
      }
      const Ids xv(x.begin(), x.end()), yv(y.begin(), y.end());
      Ids both;
      std::set_intersection(xv.begin(), xv.end(), yv.begin(), yv.end(), std::back_inserter(both));
      Bitmap acc = Bitmap::from_sorted(xv);
      ASSERT_EQ(Bitmap::and_(acc, Bitmap::from_sorted(yv)).to_vector(), both) << na << " and " << nb;
      acc.and_inplace(Bitmap::from_sorted(yv));
      ASSERT_EQ(acc.to_vector(), both) << na << " and " << nb << " ids per container";
      EXPECT_EQ(acc.cardinality(), both.size());
      acc.add(0xFFFFFFFFu);  // still a well-formed bitmap
      EXPECT_EQ(acc.cardinality(), both.size() + 1);
    }
  }
}

// An array probed against a bitset container takes, sixteen ids at a time,
// the bitset's words by a window of 32 words or a gather, whichever the
// ids' spread allows: arrays from 17 to 3,000 ids, spread over the whole
// container, a part of it, its top words (where the window is moved back
// to end within the bitset), or mostly close with a few far apart (eight
// ids too spread for a window among close ones), against
// std::set_intersection.
TEST(Bitmap, ArrayAgainstBitsetMatchesAModelAcrossSpreads) {
  std::mt19937 rng(5);
  struct Part {
    uint32_t count, lo, hi;  // `count` distinct ids in [lo, hi) of key 2
  };
  const std::vector<std::vector<Part>> cases = {
      {{700, 0, 65536}},     {{3000, 0, 65536}},    {{40, 0, 65536}},
      {{200, 0, 30000}},     {{700, 61000, 65536}}, {{17, 65519, 65536}},
      {{300, 65000, 65536}}, {{100, 2000, 2300}},   {{600, 0, 2000}, {40, 2000, 65536}}};
  for (const auto& parts : cases) {
    std::set<uint32_t> x, y;
    for (const Part& p : parts)
      for (const size_t at_least = x.size() + p.count; x.size() < at_least;)
        x.insert((2u << 16) + p.lo + rng() % (p.hi - p.lo));
    while (y.size() < 9000) y.insert((2u << 16) + rng() % 65536);
    for (uint32_t id : x)
      if (rng() % 3 == 0) y.insert(id);  // a third of x is held for sure
    const Ids xv(x.begin(), x.end()), yv(y.begin(), y.end());
    Ids expect;
    std::set_intersection(xv.begin(), xv.end(), yv.begin(), yv.end(), std::back_inserter(expect));
    const Bitmap a = Bitmap::from_sorted(xv), b = Bitmap::from_sorted(yv), b2 = Bitmap::from_sorted(yv);
    const auto where = [&] { return std::to_string(xv.size()) + " ids from " + std::to_string(parts[0].lo); };
    ASSERT_EQ(Bitmap::and_(a, b).to_vector(), expect) << where();
    Bitmap in_place = a;
    in_place.and_inplace(b);
    ASSERT_EQ(in_place.to_vector(), expect) << where();
    const Bitmap* three[] = {&a, &b, &b2};
    ASSERT_EQ(Bitmap::and_many(three).to_vector(), expect) << where();
  }
}

// The intersection of many sets narrows each key's ids through every set in
// turn (scratch arrays, or a scratch bitset while bitsets meet, a full
// container passed over): random third sets from one id per container to a
// full one, against std::set_intersection; four sets reuse the scratch.
TEST(Bitmap, IntersectionOfManyMatchesAModel) {
  std::mt19937 rng(11);
  auto random_set = [&](uint32_t per_key, uint32_t skip_key) {
    std::set<uint32_t> s;
    for (uint32_t key : {0u, 1u, 3u}) {
      if (key == skip_key) continue;
      const uint32_t base = key << 16, width = std::min(65536u, per_key * 3);
      const size_t before = s.size();
      s.insert({base, base + 65535});
      for (uint32_t i = 0; per_key == 65536 && i < per_key; ++i) s.insert(s.end(), base + i);  // a full container
      while (s.size() - before < per_key) s.insert(base + rng() % width);
    }
    return Ids(s.begin(), s.end());
  };
  auto both = [](const Ids& a, const Ids& b) {
    Ids out;
    std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
    return out;
  };
  const uint32_t per_key[] = {1, 700, 2600, 20000};
  for (uint32_t na : per_key)
    for (uint32_t nb : per_key)
      for (uint32_t nc : {1u, 700u, 3000u, 65536u}) {
        const Ids xv = random_set(na, 3), yv = random_set(nb, 1), zv = random_set(nc, 9);
        const Bitmap x = Bitmap::from_sorted(xv), y = Bitmap::from_sorted(yv), z = Bitmap::from_sorted(zv);
        const Ids expect = both(both(xv, yv), zv);
        const Bitmap* three[] = {&x, &y, &z};
        const Bitmap* four[] = {&z, &x, &y, &x};
        Bitmap got = Bitmap::and_many(three);
        ASSERT_EQ(got.to_vector(), expect) << na << ", " << nb << " and " << nc << " ids per container";
        ASSERT_EQ(Bitmap::and_many(four).to_vector(), expect) << na << ", " << nb << " and " << nc;
        got.add(0xFFFFFFFFu);  // still a well-formed bitmap
        EXPECT_EQ(got.cardinality(), expect.size() + 1);
      }
}

// Unions of many sets unite each key's containers at once: parts whose
// containers hold from one id to bitset density, keys held by some parts
// only, against a model; the result must stay usable.
TEST(Bitmap, UnionOfManyMatchesAModelAcrossContainerSizes) {
  std::mt19937 rng(5);
  const uint32_t per_key[] = {1, 40, 200, 300, 2600, 6000};
  for (size_t count : {2u, 3u, 7u}) {
    for (int round = 0; round < 12; ++round) {
      std::vector<Bitmap> parts;
      std::set<uint32_t> model;
      for (size_t p = 0; p < count; ++p) {
        std::set<uint32_t> ids;
        for (uint32_t key : {0u, 2u, 5u}) {
          if (rng() % 3 == 0) continue;
          const size_t target = ids.size() + per_key[rng() % std::size(per_key)];
          while (ids.size() < target) ids.insert((key << 16) + rng() % 20000);
        }
        model.insert(ids.begin(), ids.end());
        parts.push_back(Bitmap::from_sorted(Ids(ids.begin(), ids.end())));
      }
      std::vector<const Bitmap*> ptrs;
      for (const Bitmap& b : parts) ptrs.push_back(&b);
      Bitmap got = Bitmap::or_many(ptrs);
      ASSERT_EQ(got.to_vector(), Ids(model.begin(), model.end())) << count << " parts, round " << round;
      ASSERT_EQ(got.cardinality(), model.size());
      got.add(0xFFFFFFFFu);
      got.and_inplace(parts[0]);
      ASSERT_EQ(got, parts[0]);
    }
  }
}

// Single adds and bulk adds (sorted chunks) and single removes change a
// container's shape (array, bitset) at their own thresholds, not
// CRoaring's, and the dense variants at lower ones: growing one container to
// 6,000 ids and emptying it again, in a scattered order, must keep the
// contents, the count and every operation with an array-shaped copy right at
// each step, the steps around every threshold included.
struct ShapeCase {
  size_t chunk;  // ids per add call
  bool dense;    // add_dense and remove_dense
};
class BitmapShapes : public testing::TestWithParam<ShapeCase> {};
INSTANTIATE_TEST_SUITE_P(AddSizes, BitmapShapes,
                         testing::Values(ShapeCase{1, false}, ShapeCase{300, false}, ShapeCase{1, true}));

TEST_P(BitmapShapes, ChangesAcrossContainerShapesMatchAModel) {
  const auto [chunk, dense] = GetParam();
  std::mt19937 rng(11);
  Ids order(6000);
  for (uint32_t i = 0; i < order.size(); ++i) order[i] = (5u << 16) + i * 7;
  std::shuffle(order.begin(), order.end(), rng);
  std::set<uint32_t> model{1, 0xFFFFFFFFu};
  Bitmap b{1, 0xFFFFFFFFu};
  auto check = [&](size_t step) {
    const Ids want(model.begin(), model.end());
    ASSERT_EQ(b.to_vector(), want) << "step " << step;
    ASSERT_EQ(b.cardinality(), want.size());
    const Bitmap plain{std::span<const uint32_t>(want)};
    ASSERT_TRUE(b == plain && plain == b);
    Bitmap both = plain;
    both.and_inplace(b);
    ASSERT_EQ(both.cardinality(), want.size());
    ASSERT_TRUE(Bitmap::andnot(b, plain).is_empty());
  };
  auto near = [](size_t k, size_t n, size_t mark) { return k <= mark && mark < k + n; };
  for (size_t k = 0; k < order.size(); k += chunk) {
    Ids part(order.begin() + k, order.begin() + std::min(k + chunk, order.size()));
    std::sort(part.begin(), part.end());
    if (chunk != 1) {
      b.add_many(part);
    } else if (dense) {
      b.add_dense(part[0]);
    } else {
      b.add(part[0]);
    }
    model.insert(part.begin(), part.end());
    if (k % 997 < chunk || near(k, chunk, 2046) || near(k, chunk, 2047) || near(k, 2, 510)) check(k);
  }
  check(order.size());
  for (size_t k = 0; k < order.size(); ++k) {
    for (int twice = 0; twice < 2; ++twice) {  // absent the second time: nothing changes
      if (dense) {
        b.remove_dense(order[k]);
      } else {
        b.remove(order[k]);
      }
    }
    model.erase(order[k]);
    const size_t left = order.size() - k;
    if (k % 997 == 0 || left == 1024 || left == 1023 || left == 256 || left == 255) check(k);
  }
  check(0);
}

TEST(Bitmap, MovedFromIsEmptyAndUsable) {
  Bitmap src{1, 2, 3};
  Bitmap dst(std::move(src));
  EXPECT_EQ(dst.to_vector(), (Ids{1, 2, 3}));
  Bitmap again{9};
  again = std::move(dst);
  EXPECT_EQ(again.to_vector(), (Ids{1, 2, 3}));
  for (Bitmap* moved : {&src, &dst}) {
    EXPECT_TRUE(moved->is_empty());
    EXPECT_EQ(moved->cardinality(), 0u);
    moved->add(7);
    moved->or_inplace(again);
    EXPECT_EQ(moved->to_vector(), (Ids{1, 2, 3, 7}));
  }
  // A bitmap of several containers copied over a non-empty one: deep (the
  // copy does not see later changes) and the ids it replaced are freed (the
  // leak checker's part); moved into itself it keeps its ids.
  Bitmap big(ids_with(70000, 3, 0));
  Bitmap copy{5};
  copy = big;
  big.add(1);
  EXPECT_EQ(copy.cardinality(), 70000u);
  EXPECT_FALSE(copy.contains(1));
  Bitmap& alias = big;
  big = std::move(alias);
  EXPECT_EQ(big.cardinality(), 70001u);
}

TEST(Bitmap, ForEachChunkMatchesForEach) {
  struct Case {
    size_t n;
    uint32_t stride;
    uint32_t start;
  };
  const Case cases[] = {
      {0, 1, 0},        {1, 1, 0},        {255, 1, 7},   {256, 1, 0},         {257, 3, 1},
      {1000, 1, 65000}, {5000, 40000, 0}, {70000, 1, 0}, {3, 1, 0xFFFFFFFDu},
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

// Keys whose high halves differ in one byte, in several, or not at all, each
// high half repeated with distinct low halves: the order must be
// std::stable_sort's by the high half (so the low halves of equal high
// halves stay in their first order).
TEST(RadixSort, ByHighHalfIsStableAndMatchesStableSort) {
  std::mt19937_64 rng(7);
  const uint64_t spreads[] = {0, 0xFF, 0xFFFF00, 0xFFFFFFFF, 0xFF000000};
  for (size_t n : {0u, 1u, 2u, 63u, 64u, 1000u})
    for (uint64_t spread : spreads) {
      std::vector<uint64_t> keys(n);
      for (size_t i = 0; i < n; ++i) keys[i] = ((rng() & spread) | 0x10000) << 32 | static_cast<uint32_t>(rng());
      std::vector<uint64_t> want = keys, scratch(n);
      std::stable_sort(want.begin(), want.end(), [](uint64_t a, uint64_t b) { return a >> 32 < b >> 32; });
      radix_sort_by_high_half(keys, scratch);
      EXPECT_EQ(keys, want) << "n " << n << " spread " << spread;
    }
}

}  // namespace
}  // namespace zarvex
