// HybridSet: the add rules, every cell of the union and intersection tables,
// the failures on Empty, copies and aliasing, and a randomized comparison
// with std::set that also checks the form never shrinks.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "failure_of.hpp"
#include "index/core/structures/hybrid_set/hybrid_set.hpp"
#include "support/bitmap.hpp"
#include "support/internal_failure.hpp"

namespace zarvex {
namespace {

using Tag = HybridSet::Tag;
using Ids = std::vector<uint32_t>;

const char* tag_name(Tag t) {
  switch (t) {
    case Tag::Empty: return "Empty";
    case Tag::Small: return "Small";
    case Tag::Medium: return "Medium";
    case Tag::Large: return "Large";
  }
  return "?";
}

HybridSet::Array array_of(const Ids& ids) {
  HybridSet::Array a;
  for (uint32_t v : ids) a.insert(v);
  return a;
}
HybridSet E() { return HybridSet(); }
HybridSet S(const Ids& ids) { return HybridSet::with_array(Tag::Small, array_of(ids)); }
HybridSet M(const Ids& ids) { return HybridSet::with_array(Tag::Medium, array_of(ids)); }
HybridSet L(const Ids& ids) { return HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(ids))); }
// The same from listed ids, so that table rows stay one line each.
template <class... V>
HybridSet S(V... v) {
  return S(Ids{static_cast<uint32_t>(v)...});
}
template <class... V>
HybridSet M(V... v) {
  return M(Ids{static_cast<uint32_t>(v)...});
}
template <class... V>
HybridSet L(V... v) {
  return L(Ids{static_cast<uint32_t>(v)...});
}

// A Small set whose only id was removed again (its array is empty).
HybridSet emptied(uint32_t id) {
  HybridSet s = HybridSet::single(id);
  s.remove(id);
  return s;
}

Ids ids_of(const HybridSet& s) {
  Ids out;
  s.for_each([&](uint32_t v) { out.push_back(v); });
  return out;
}

using testing::failure_of;

// Checks form, contents (iteration, cardinality, is_empty, contains,
// as_bitmap) and invariants of a non-Empty set.
void expect_set(const HybridSet& s, Tag tag, const Ids& ids) {
  ASSERT_NO_THROW(s.validate());
  ASSERT_EQ(tag_name(s.tag()), std::string(tag_name(tag)));
  if (tag == Tag::Empty) return;
  EXPECT_EQ(ids_of(s), ids);
  EXPECT_EQ(s.cardinality(), ids.size());
  EXPECT_EQ(s.is_empty(), ids.empty());
  for (uint32_t v : ids) EXPECT_TRUE(s.contains(v)) << v;
  for (uint32_t v : {0u, 6u, 8u, 99u, 65536u}) {
    if (std::find(ids.begin(), ids.end(), v) == ids.end()) {
      EXPECT_FALSE(s.contains(v)) << v;
    }
  }
  EXPECT_EQ(s.as_bitmap().to_vector(), ids);
  EXPECT_EQ(s.array() != nullptr, tag == Tag::Small || tag == Tag::Medium);
  EXPECT_EQ(s.bitmap() != nullptr, tag == Tag::Large);
}

TEST(HybridSet, SingleIsSmallOfOneCentred) {
  const HybridSet s = HybridSet::single(42);
  ASSERT_NO_FATAL_FAILURE(expect_set(s, Tag::Small, {42}));
  EXPECT_EQ(s.array()->start(), 2u);  // fresh array start 0, then one insert
}

TEST(HybridSet, AddGrowsSmallToLargeBeforeFourValues) {
  HybridSet s;
  for (uint32_t v : {1u, 2u, 3u}) s.add(v);
  expect_set(s, Tag::Small, {1, 2, 3});
  s.add(3);  // a fourth add goes to Large even for a present id
  expect_set(s, Tag::Large, {1, 2, 3});
}

TEST(HybridSet, SmallOfFourFromUnionThenAddGoesLarge) {
  HybridSet a = S(1, 2);
  a.or_inplace(S(3, 4));
  ASSERT_NO_FATAL_FAILURE(expect_set(a, Tag::Small, {1, 2, 3, 4}));
  EXPECT_EQ(a.array()->start(), 0u);
  EXPECT_EQ(a.array()->len(), 4u);
  a.add(5);
  expect_set(a, Tag::Large, {1, 2, 3, 4, 5});
}

TEST(HybridSet, MediumAddFillsItsBlockThenGoesLarge) {
  HybridSet m = M(1, 2, 3);
  m.add(4);
  expect_set(m, Tag::Medium, {1, 2, 3, 4});
  m.add(4);  // full: goes Large even for a present id
  expect_set(m, Tag::Large, {1, 2, 3, 4});
}

struct Case {
  const char* name;
  std::function<HybridSet()> self, other;
  Tag tag;
  Ids ids;
  std::optional<size_t> start = std::nullopt;  // array start, when it matters
};

void run_cases(const std::vector<Case>& cases, void (HybridSet::*op)(const HybridSet&)) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HybridSet self = c.self();
    const HybridSet other = c.other();
    const Ids other_before = other.tag() == Tag::Empty ? Ids{} : ids_of(other);
    (self.*op)(other);
    expect_set(self, c.tag, c.ids);
    if (c.start) {
      ASSERT_NE(self.array(), nullptr);
      EXPECT_EQ(self.array()->start(), *c.start);
    }
    // other is read only.
    if (other.tag() != Tag::Empty) {
      EXPECT_EQ(ids_of(other), other_before);
    }
  }
}

TEST(HybridSet, UnionTable) {
  const std::vector<Case> cases = {
      {"E|E", [] { return E(); }, [] { return E(); }, Tag::Empty, {}},
      {"E|S", [] { return E(); }, [] { return S(5); }, Tag::Small, {5}},
      {"E|M", [] { return E(); }, [] { return M(1, 2); }, Tag::Medium, {1, 2}},
      {"E|L", [] { return E(); }, [] { return L(1, 70000); }, Tag::Large, {1, 70000}},
      {"S|E", [] { return S(1); }, [] { return E(); }, Tag::Small, {1}},
      {"M|E", [] { return M(1, 2); }, [] { return E(); }, Tag::Medium, {1, 2}},
      {"L|E", [] { return L(3); }, [] { return E(); }, Tag::Large, {3}},
      {"S{1,2}|S{3,4}", [] { return S(1, 2); }, [] { return S(3, 4); }, Tag::Small, {1, 2, 3, 4}, 0},
      {"S{1,2,3}|S{2,3,4}: 3+3 > 4", [] { return S(1, 2, 3); }, [] { return S(2, 3, 4); }, Tag::Large, {1, 2, 3, 4}},
      // Goes by the sum of the counts, not the size of the union.
      {"S{1,2,3}|S{1,2}", [] { return S(1, 2, 3); }, [] { return S(1, 2); }, Tag::Large, {1, 2, 3}},
      {"S{1,2}|S{1,2}", [] { return S(1, 2); }, [] { return S(1, 2); }, Tag::Small, {1, 2}, 1},
      {"emptied S|S{1..4}", [] { return emptied(1); }, [] { return S(1, 2, 3, 4); }, Tag::Small, {1, 2, 3, 4}, 0},
      {"S{1,2}|M{2,9}", [] { return S(1, 2); }, [] { return M(2, 9); }, Tag::Medium, {1, 2, 9}, 0},
      {"S{1,2}|M{3,4,5}", [] { return S(1, 2); }, [] { return M(3, 4, 5); }, Tag::Large, {1, 2, 3, 4, 5}},
      {"S{1}|L{2,3}", [] { return S(1); }, [] { return L(2, 3); }, Tag::Large, {1, 2, 3}},
      {"M{1,2}|S{2,3}", [] { return M(1, 2); }, [] { return S(2, 3); }, Tag::Medium, {1, 2, 3}, 0},
      {"M{1,2,3}|S{4,5}", [] { return M(1, 2, 3); }, [] { return S(4, 5); }, Tag::Large, {1, 2, 3, 4, 5}},
      {"M{1,2}|M{3}", [] { return M(1, 2); }, [] { return M(3); }, Tag::Medium, {1, 2, 3}, 0},
      {"M{1,2,3}|M{3,4}", [] { return M(1, 2, 3); }, [] { return M(3, 4); }, Tag::Large, {1, 2, 3, 4}},
      {"M{1}|L{1,100000}", [] { return M(1); }, [] { return L(1, 100000); }, Tag::Large, {1, 100000}},
      {"L{1,2}|S{3}", [] { return L(1, 2); }, [] { return S(3); }, Tag::Large, {1, 2, 3}},
      {"L{1}|M{2,3}", [] { return L(1); }, [] { return M(2, 3); }, Tag::Large, {1, 2, 3}},
      {"L{1,2}|L{2,70000}", [] { return L(1, 2); }, [] { return L(2, 70000); }, Tag::Large, {1, 2, 70000}},
  };
  run_cases(cases, &HybridSet::or_inplace);
}

TEST(HybridSet, IntersectionTable) {
  const std::vector<Case> cases = {
      // Start 2: the common ids are inserted one by one into a fresh array.
      {"S{1,5,9}&L{5,9,100}", [] { return S(1, 5, 9); }, [] { return L(5, 9, 100); }, Tag::Small, {5, 9}, 2},
      {"S{1,5,9}&S{2,3}", [] { return S(1, 5, 9); }, [] { return S(2, 3); }, Tag::Small, {}, 2},
      {"S{1,2,3}&M{2,3,4}", [] { return S(1, 2, 3); }, [] { return M(2, 3, 4); }, Tag::Small, {2, 3}, 1},
      {"S{1..4}&S{1..4}", [] { return S(1, 2, 3, 4); }, [] { return S(1, 2, 3, 4); }, Tag::Small, {1, 2, 3, 4}, 0},
      {"M{1,2,3}&S{3,4}", [] { return M(1, 2, 3); }, [] { return S(3, 4); }, Tag::Medium, {3}, 1},
      {"M{1,2,3}&M{1,3}", [] { return M(1, 2, 3); }, [] { return M(1, 3); }, Tag::Medium, {1, 3}, 1},
      {"M{1,2,9}&L{2,9}", [] { return M(1, 2, 9); }, [] { return L(2, 9); }, Tag::Medium, {2, 9}},
      {"M{1}&L{2}", [] { return M(1); }, [] { return L(2); }, Tag::Medium, {}},
      {"L&S", [] { return L(1, 2, 3, 70000); }, [] { return S(2, 70000); }, Tag::Large, {2, 70000}},
      {"L&M", [] { return L(1, 2, 3); }, [] { return M(3, 4); }, Tag::Large, {3}},
      {"L&L disjoint", [] { return L(1, 2); }, [] { return L(3); }, Tag::Large, {}},
      {"L&L", [] { return L(1, 2, 70000, 70001); }, [] { return L(2, 70001, 9); }, Tag::Large, {2, 70001}},
  };
  run_cases(cases, &HybridSet::and_inplace);
}

TEST(HybridSet, IntersectionWithEmptyIsEmpty) {
  const std::vector<std::function<HybridSet()>> makers = {[] { return E(); }, [] { return S(1, 2); },
                                                          [] { return M(1, 2, 3); }, [] { return L(1, 90000); }};
  for (const auto& make : makers) {
    HybridSet x = make();
    SCOPED_TRACE(tag_name(x.tag()));
    x.and_inplace(E());
    EXPECT_EQ(x.tag(), Tag::Empty);
    x.validate();
    HybridSet e;
    e.and_inplace(make());
    EXPECT_EQ(e.tag(), Tag::Empty);
  }
}

TEST(HybridSet, EmptiedArrayAnswersQueries) {
  HybridSet s = S(1, 5, 9);
  s.and_inplace(S(2, 3));
  ASSERT_EQ(s.tag(), Tag::Small);
  EXPECT_EQ(s.array()->start(), 2u);
  EXPECT_FALSE(s.contains(1));
  EXPECT_TRUE(s.is_empty());
  EXPECT_EQ(s.cardinality(), 0u);
  EXPECT_TRUE(ids_of(s).empty());
  s.remove(1);  // no failure on an emptied array
  EXPECT_EQ(s.tag(), Tag::Small);
}

TEST(HybridSet, RemovingEveryIdLeavesEmptyLarge) {
  HybridSet s = L(1, 2, 3, 70000, 1u << 31);
  for (uint32_t v : {1u, 2u, 3u, 70000u, 1u << 31, 4u}) s.remove(v);
  expect_set(s, Tag::Large, {});
  EXPECT_TRUE(s.is_empty());
  EXPECT_EQ(s.cardinality(), 0u);
}

TEST(HybridSet, RemoveNeverChangesForm) {
  for (auto s : {S(1, 2, 3), M(1, 2, 3, 4)}) {
    const Tag t = s.tag();
    s.remove(2);
    s.remove(77);
    Ids want = t == Tag::Small ? Ids{1, 3} : Ids{1, 3, 4};
    expect_set(s, t, want);
  }
}

TEST(HybridSet, OperationsOnEmptyFail) {
  const HybridSet e;
  HybridSet m;
  const std::vector<std::pair<const char*, std::function<void()>>> cases = {
      {"called iter on Empty", [&] { e.for_each([](uint32_t) {}); }},
      {"called remove on Empty", [&] { m.remove(1); }},
      {"called contains on Empty", [&] { (void)e.contains(1); }},
      {"called cardinality on Empty", [&] { (void)e.cardinality(); }},
      {"called is_empty on Empty", [&] { (void)e.is_empty(); }},
  };
  for (const auto& [message, op] : cases) EXPECT_EQ(failure_of(op), message);
  EXPECT_EQ(m.tag(), Tag::Empty);
}

TEST(HybridSet, AsBitmapOfEmptyIsEmptyBitmap) {
  EXPECT_TRUE(HybridSet().as_bitmap().is_empty());
  EXPECT_EQ(HybridSet().array(), nullptr);
  EXPECT_EQ(HybridSet().bitmap(), nullptr);
}

TEST(HybridSet, TakeBitmapMovesTheIdsOutOfEveryForm) {
  const Ids big = {1, 2, 3, 4, 5, 70000};
  HybridSet small = HybridSet::single(9);
  small.add(3);
  HybridSet medium = HybridSet::with_array(Tag::Medium, small.array() ? *small.array() : HybridSet::Array{});
  HybridSet large = HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(big)));
  HybridSet empty;
  const struct {
    HybridSet* set;
    Ids want;
  } cases[] = {{&small, {3, 9}}, {&medium, {3, 9}}, {&large, big}, {&empty, {}}};
  for (const auto& c : cases) {
    Bitmap b = c.set->take_bitmap();
    EXPECT_EQ(b.to_vector(), c.want);
    EXPECT_EQ(c.set->tag(), Tag::Empty);
    // The set stays usable after the move.
    c.set->add(42);
    EXPECT_EQ(ids_of(*c.set), Ids{42});
  }
}

TEST(HybridSet, IterationReadsOnlyTheStoredRun) {
  // Leaves stale values in slots 0 and 3 around a run at start 1.
  HybridSet s = HybridSet::single(50);
  s.add(10);
  s.add(30);
  s.remove(50);
  ASSERT_EQ(s.tag(), Tag::Small);
  ASSERT_EQ(s.array()->start(), 1u);
  ASSERT_EQ(s.array()->slot(3), 50u);
  EXPECT_EQ(ids_of(s), (Ids{10, 30}));
  // The same run in a Medium block.
  HybridSet m = M();
  m.or_inplace(s);
  EXPECT_EQ(ids_of(m), (Ids{10, 30}));
}

TEST(HybridSet, CopiesAreIndependent) {
  for (const auto& src : {S(1, 2), M(1, 2), L(1, 2)}) {
    SCOPED_TRACE(tag_name(src.tag()));
    HybridSet original = src;
    const HybridSet copy = original;
    if (original.tag() == Tag::Medium) {
      EXPECT_NE(original.array(), copy.array()) << "Medium copy shares its block";
    }
    original.remove(1);
    original.add(9);
    EXPECT_EQ(ids_of(copy), (Ids{1, 2}));
    expect_set(copy, src.tag(), {1, 2});
    HybridSet assigned = L(5);
    assigned = copy;
    expect_set(assigned, src.tag(), {1, 2});
  }
}

TEST(HybridSet, MoveLeavesSourceEmpty) {
  for (auto make : std::vector<std::function<HybridSet()>>{[] { return S(1, 2); }, [] { return M(1, 2); },
                                                           [] { return L(1, 2); }}) {
    HybridSet a = make();
    const Tag t = a.tag();
    HybridSet b(std::move(a));
    EXPECT_EQ(a.tag(), Tag::Empty);  // NOLINT(bugprone-use-after-move)
    expect_set(b, t, {1, 2});
    HybridSet c = S(7);
    c = std::move(b);
    EXPECT_EQ(b.tag(), Tag::Empty);  // NOLINT(bugprone-use-after-move)
    expect_set(c, t, {1, 2});
    HybridSet& same = c;
    c = std::move(same);  // self-move keeps the set
    expect_set(c, t, {1, 2});
  }
}

TEST(HybridSet, OperationsWithItself) {
  struct SelfCase {
    std::function<HybridSet()> make;
    Tag union_tag;
  };
  const std::vector<SelfCase> cases = {
      {[] { return S(1, 2); }, Tag::Small},           {[] { return S(1, 2, 3); }, Tag::Large},  // 3 + 3 > 4
      {[] { return M(1, 2); }, Tag::Medium},          {[] { return M(1, 2, 3); }, Tag::Large},
      {[] { return L(1, 2, 3, 80000); }, Tag::Large},
  };
  for (const auto& c : cases) {
    HybridSet u = c.make();
    const Ids want = ids_of(u);
    const Tag t = u.tag();
    SCOPED_TRACE(tag_name(t));
    u.or_inplace(u);
    expect_set(u, c.union_tag, want);
    HybridSet i = c.make();
    i.and_inplace(i);
    expect_set(i, t, want);
  }
}

// Random adds, removes, unions, intersections (also with itself) and
// reassignments from a fixed seed, mirrored into std::set. After every step:
// validate(), same ids, Empty exactly when the operations say so, and the
// form never moves down (Empty < Small < Medium < Large) except through an
// intersection with Empty or a reassignment.
TEST(HybridSet, DifferentialAgainstStdSet) {
  std::mt19937 rng(20240607);
  auto pick = [&](uint32_t lo, uint32_t hi) { return std::uniform_int_distribution<uint32_t>(lo, hi)(rng); };
  auto value = [&] { return pick(0, 9) == 0 ? 1000000 + pick(0, 30) : pick(0, 30); };
  struct Random {
    HybridSet set;
    std::set<uint32_t> model;
  };
  auto random_set = [&]() {
    Random r;
    const Tag t = static_cast<Tag>(pick(0, 3));
    if (t == Tag::Empty) return r;
    const size_t n = t == Tag::Large ? pick(0, 12) : pick(0, 4);
    while (r.model.size() < n) r.model.insert(value());
    Ids ids(r.model.begin(), r.model.end());
    std::shuffle(ids.begin(), ids.end(), rng);
    r.set = t == Tag::Small ? S(ids) : t == Tag::Medium ? M(ids) : L(ids);
    return r;
  };

  HybridSet s;
  std::set<uint32_t> model;
  bool empty_form = true;
  int counts[4] = {};
  for (int step = 0; step < 30000; ++step) {
    const Tag before = s.tag();
    bool may_shrink = false;
    const uint32_t op = pick(0, 99);
    if (op < 35) {
      const uint32_t v = value();
      s.add(v);
      model.insert(v);
      empty_form = false;
      if (before == Tag::Small && s.tag() == Tag::Small) {
        ASSERT_LE(s.cardinality(), 3u) << "add filled a Small";
      }
    } else if (op < 60) {
      const uint32_t v = value();
      if (empty_form) {
        ASSERT_EQ(failure_of([&] { s.remove(v); }), "called remove on Empty");
      } else {
        s.remove(v);
        model.erase(v);
      }
    } else if (op < 75) {
      Random o = random_set();
      s.or_inplace(o.set);
      model.insert(o.model.begin(), o.model.end());
      empty_form = empty_form && o.set.tag() == Tag::Empty;
    } else if (op < 90) {
      Random o = random_set();
      s.and_inplace(o.set);
      std::set<uint32_t> both;
      std::set_intersection(model.begin(), model.end(), o.model.begin(), o.model.end(),
                            std::inserter(both, both.end()));
      model.swap(both);
      may_shrink = o.set.tag() == Tag::Empty;
      empty_form = empty_form || may_shrink;
    } else if (op < 95) {
      if (op % 2)
        s.or_inplace(s);
      else
        s.and_inplace(s);
    } else {
      Random o = random_set();
      s = o.set;
      model = o.model;
      empty_form = o.set.tag() == Tag::Empty;
      may_shrink = true;
    }
    ASSERT_NO_THROW(s.validate()) << "step " << step;
    ASSERT_EQ(s.tag() == Tag::Empty, empty_form) << "step " << step << " form " << tag_name(s.tag());
    if (!may_shrink) {
      ASSERT_GE(static_cast<int>(s.tag()), static_cast<int>(before)) << "step " << step;
    }
    ++counts[static_cast<int>(s.tag())];
    if (empty_form) {
      ASSERT_TRUE(model.empty());
      ASSERT_TRUE(s.as_bitmap().is_empty());
      continue;
    }
    ASSERT_EQ(ids_of(s), Ids(model.begin(), model.end())) << "step " << step;
    ASSERT_EQ(s.cardinality(), model.size());
    ASSERT_EQ(s.is_empty(), model.empty());
    const uint32_t probe = value();
    ASSERT_EQ(s.contains(probe), model.count(probe) == 1);
  }
  // The walk must have spent time in every form.
  for (int t = 0; t < 4; ++t) EXPECT_GT(counts[t], 100) << tag_name(static_cast<Tag>(t));
}

}  // namespace
}  // namespace zarvex
