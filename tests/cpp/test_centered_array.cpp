// CenteredArray: slot layout after each insert/remove/union/intersection,
// the failure messages, a randomized comparison with std::set for two
// instantiations, and validate() catching corrupted layouts.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "failure_of.hpp"
#include "index/core/structures/centered_array/centered_array.hpp"
#include "support/internal_failure.hpp"

namespace zarvex {
namespace {

using A4 = CenteredArray<uint32_t, 4>;

template <class A>
auto run_of(const A& a) {
  using V = std::remove_cv_t<std::remove_reference_t<decltype(*a.begin())>>;
  return std::vector<V>(a.begin(), a.end());
}

A4 built_by_inserting(const std::vector<uint32_t>& order) {
  A4 a;
  for (uint32_t v : order) a.insert(v);
  return a;
}

using testing::failure_of;

TEST(CenteredArray, NewArrayIsAllZero) {
  A4 a;
  EXPECT_EQ(a.start(), 0u);
  EXPECT_EQ(a.len(), 0u);
  EXPECT_FALSE(a.contains(0));
  a.validate();
}

// Each step inserts one value into the array left by the previous step.
struct InsertStep {
  uint32_t value;
  size_t start;
  std::vector<uint32_t> run;
};

TEST(CenteredArray, InsertSequenceKeepsRunCentred) {
  const std::vector<InsertStep> steps = {
      {7, 2, {7}},           // empty array centres at slot 2
      {3, 2, {3, 7}},        // position 0 is not below 1/2 = 0: 7 moves right
      {5, 1, {3, 5, 7}},     // re-centre to slot 1 first, then 7 moves right
      {1, 0, {1, 3, 5, 7}},  // re-centre to slot 0, then all three move right
  };
  A4 a;
  for (const auto& s : steps) {
    SCOPED_TRACE("insert " + std::to_string(s.value));
    a.insert(s.value);
    a.validate();
    EXPECT_EQ(a.start(), s.start);
    EXPECT_EQ(run_of(a), s.run);
    for (size_t i = 0; i < s.run.size(); ++i) EXPECT_EQ(a.slot(s.start + i), s.run[i]);
  }
  EXPECT_EQ(failure_of([&] { a.insert(9); }), "CenteredArray full");
  // Full means full, even for a value already present.
  EXPECT_EQ(failure_of([&] { a.insert(5); }), "CenteredArray full");
  EXPECT_EQ(run_of(a), (std::vector<uint32_t>{1, 3, 5, 7}));
}

TEST(CenteredArray, InsertingPresentValueOnlyRecentres) {
  A4 a = built_by_inserting({7, 3});  // slots 2..3
  ASSERT_EQ(a.start(), 2u);
  a.insert(3);
  EXPECT_EQ(a.start(), 1u);  // start + len = 4 > 3: re-centred
  EXPECT_EQ(run_of(a), (std::vector<uint32_t>{3, 7}));
  a.insert(7);  // start 1, start + len = 3: nothing moves
  EXPECT_EQ(a.start(), 1u);
  EXPECT_EQ(a.len(), 2u);
  a.validate();
}

TEST(CenteredArray, InsertBelowMidpointGrowsLeftward) {
  A4 a = built_by_inserting({7, 3, 3});  // {3, 7} at slots 1..2
  ASSERT_EQ(a.start(), 1u);
  a.insert(1);  // position 0 < 2/2: start moves left instead of shifting 3, 7
  EXPECT_EQ(a.start(), 0u);
  EXPECT_EQ(run_of(a), (std::vector<uint32_t>{1, 3, 7}));
  EXPECT_EQ(a.slot(1), 3u);
  EXPECT_EQ(a.slot(2), 7u);
  a.validate();
}

struct RemoveCase {
  const char* name;
  std::vector<uint32_t> build;  // insertion order
  size_t start_before;
  uint32_t value;
  bool removed;
  size_t start_after;
  std::vector<uint32_t> run_after;
};

TEST(CenteredArray, RemoveCases) {
  const std::vector<RemoveCase> cases = {
      // slot index 0 < 3/2 = 1: the (empty) left part moves, start grows.
      {"smallest of three at start 0", {7, 3, 5, 7}, 0, 3, true, 1, {5, 7}},
      {"largest of three at start 0", {7, 3, 5, 7}, 0, 7, true, 0, {3, 5}},
      // slot index 1 is not below 3/2 = 1: the right part moves left.
      {"smallest of three at start 1", {7, 3, 5}, 1, 3, true, 1, {5, 7}},
      {"middle of three at start 1", {7, 3, 5}, 1, 5, true, 1, {3, 7}},
      {"smallest of four", {7, 3, 5, 1}, 0, 1, true, 1, {3, 5, 7}},
      {"third of four", {7, 3, 5, 1}, 0, 5, true, 0, {1, 3, 7}},
      {"only value", {7}, 2, 7, true, 2, {}},
      {"absent value", {7, 3, 5}, 1, 4, false, 1, {3, 5, 7}},
      {"absent above all", {7, 3, 5}, 1, 8, false, 1, {3, 5, 7}},
      {"empty array", {}, 0, 1, false, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    A4 a = built_by_inserting(c.build);
    ASSERT_EQ(a.start(), c.start_before);
    EXPECT_EQ(a.remove(c.value), c.removed);
    a.validate();
    EXPECT_EQ(a.start(), c.start_after);
    EXPECT_EQ(run_of(a), c.run_after);
    EXPECT_FALSE(a.contains(c.value));
  }
}

struct MergeCase {
  std::vector<uint32_t> self, other;
  size_t start;
  std::vector<uint32_t> run;
};

// Each case: `self` merged with `other` by `merge` gives `run` at `start`.
void check_merges(void (A4::*merge)(const A4&), const std::vector<MergeCase>& cases) {
  for (const auto& c : cases) {
    A4 a = built_by_inserting(c.self);
    const A4 b = built_by_inserting(c.other);
    (a.*merge)(b);
    a.validate();
    EXPECT_EQ(a.start(), c.start);
    EXPECT_EQ(run_of(a), c.run);
  }
}

TEST(CenteredArray, UnionCases) {
  check_merges(&A4::union_with, {
                                    {{1, 2}, {2, 3}, 0, {1, 2, 3}},
                                    {{}, {}, 2, {}},
                                    {{5}, {}, 1, {5}},
                                    {{}, {5, 6}, 1, {5, 6}},
                                    {{2}, {2}, 1, {2}},
                                    {{1, 3}, {2, 4}, 0, {1, 2, 3, 4}},
                                    {{9}, {1, 2, 3}, 0, {1, 2, 3, 9}},
                                    {{1, 2, 3}, {1, 2, 3}, 0, {1, 2, 3}},  // duplicates are written once
                                });
}

TEST(CenteredArray, UnionPastCapacityFails) {
  A4 a = built_by_inserting({1, 2, 3});
  const A4 b = built_by_inserting({4, 5});
  EXPECT_NE(failure_of([&] { a.union_with(b); }).find("index out of range"), std::string::npos);
}

TEST(CenteredArray, UnionWithItself) {
  A4 a = built_by_inserting({4, 1, 9});
  a.union_with(a);
  a.validate();
  EXPECT_EQ(a.start(), 0u);
  EXPECT_EQ(run_of(a), (std::vector<uint32_t>{1, 4, 9}));
}

TEST(CenteredArray, IntersectionCases) {
  check_merges(&A4::intersect_with, {
                                        {{1, 5, 9}, {2, 3}, 2, {}},
                                        {{1, 5, 9}, {5, 9, 10}, 1, {5, 9}},
                                        {{4}, {1, 4}, 1, {4}},
                                        {{1, 2, 3, 4}, {4, 3, 2, 1}, 0, {1, 2, 3, 4}},
                                        {{1, 2, 3}, {0, 2, 3, 4}, 1, {2, 3}},
                                        {{}, {1, 2}, 2, {}},
                                        {{1, 2}, {}, 2, {}},
                                    });
}

// Mirrors random inserts/removes/unions/intersections into std::set.
template <class V, size_t N>
void differential(uint32_t seed, int steps) {
  using A = CenteredArray<V, N>;
  std::mt19937 rng(seed);
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  A a;
  std::set<V> model;
  auto random_array = [&](A& out, std::set<V>& m, size_t max_len) {
    out = A();
    m.clear();
    const size_t n = static_cast<size_t>(pick(0, static_cast<int>(max_len)));
    while (m.size() < n) {
      const V v = static_cast<V>(pick(0, 20));
      out.insert(v);
      m.insert(v);
    }
  };
  for (int step = 0; step < steps; ++step) {
    const int op = pick(0, 9);
    if (op < 4) {
      const V v = static_cast<V>(pick(0, 20));
      if (model.size() == N) {
        EXPECT_EQ(failure_of([&] { a.insert(v); }), "CenteredArray full");
      } else {
        a.insert(v);
        model.insert(v);
      }
    } else if (op < 8) {
      const V v = static_cast<V>(pick(0, 20));
      EXPECT_EQ(a.remove(v), model.erase(v) == 1);
    } else {
      A b;
      std::set<V> mb;
      random_array(b, mb, op == 8 ? N - model.size() : N);
      if (op == 8) {
        a.union_with(b);
        model.insert(mb.begin(), mb.end());
      } else {
        a.intersect_with(b);
        std::set<V> both;
        std::set_intersection(model.begin(), model.end(), mb.begin(), mb.end(), std::inserter(both, both.end()));
        model = both;
      }
      EXPECT_EQ(a.start(), (N - model.size()) / 2) << "merge results are centred";
    }
    ASSERT_NO_THROW(a.validate()) << "step " << step;
    ASSERT_EQ(run_of(a), std::vector<V>(model.begin(), model.end())) << "step " << step;
    for (int probe = 0; probe <= 20; ++probe)
      ASSERT_EQ(a.contains(static_cast<V>(probe)), model.count(static_cast<V>(probe)) == 1);
  }
}

TEST(CenteredArray, DifferentialU32Cap4) { differential<uint32_t, 4>(12345, 20000); }
TEST(CenteredArray, DifferentialI64Cap8) { differential<int64_t, 8>(777, 20000); }

// validate() must name a broken layout. The array is trivially copyable with
// fields (slots, start, len) in that order, so a corrupted image can be made
// with memcpy.
TEST(CenteredArray, ValidateNamesBrokenInvariant) {
  struct Image {
    uint32_t data[4];
    size_t start;
    size_t len;
  };
  static_assert(sizeof(Image) == sizeof(A4));
  const struct {
    Image image;
    const char* needle;
  } cases[] = {
      {{{1, 2, 3, 4}, 2, 3}, "leaves the block"},
      {{{1, 2, 3, 4}, 0, 5}, "exceeds capacity"},
      {{{1, 3, 2, 4}, 0, 4}, "not strictly ascending"},
      {{{1, 2, 2, 4}, 1, 2}, "not strictly ascending"},
  };
  for (const auto& c : cases) {
    A4 a;
    std::memcpy(static_cast<void*>(&a), &c.image, sizeof a);
    EXPECT_NE(failure_of([&] { a.validate(); }).find(c.needle), std::string::npos) << c.needle;
  }
  A4 ok;
  const Image good{{9, 1, 2, 9}, 1, 2};
  std::memcpy(static_cast<void*>(&ok), &good, sizeof ok);
  EXPECT_NO_THROW(ok.validate());
}

}  // namespace
}  // namespace zarvex
