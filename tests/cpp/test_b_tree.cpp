// BitMapBTree: key codes and entry layout, numeric order across integers and
// floats, the node shapes after a split, range-query edge cases on leaf and
// multi-level trees, repeated pairs, removal keeping bitmaps exact, the
// failure messages, validate() catching corruption, a randomized
// comparison against a multiset model (fixed seed; ZARVEX_FUZZ_ITERATIONS=N
// runs N steps with a random seed, ZARVEX_FUZZ_SEED=S replays one), and bulk
// insertion of sorted batches against one-by-one insertion, also under
// injected allocation failures.
#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "failure_of.hpp"
#include "index/core/query/b_tree/num_index.hpp"
#include "index/core/query/b_tree/ranged_b_tree.hpp"
#include "support/internal_failure.hpp"
#include "support/memory.hpp"

namespace zarvex {

// Reaches into the nodes to corrupt them on purpose.
struct BitMapBTreeTestAccess {
  static BitMapBTreeNode& root(BitMapBTree& t) { return t.root_; }
  static std::optional<BitMapBTreeNode>& child_slot(InternalNode& n, uint32_t pos) {
    return n.children_[n.start_ + pos];
  }
  static std::optional<Bitmap>& bitmap_slot(InternalNode& n, uint32_t pos) { return n.bitmaps_[n.start_ + pos]; }
  static Entry& leaf_slot(LeafNode& l, uint32_t pos) { return l.entries_[l.start_ + pos]; }
  static Entry& key_slot(InternalNode& n, uint32_t pos) { return n.keys_[n.start_ + pos]; }
};

namespace {

using Kind = BitMapBTreeNode::Kind;
using TA = BitMapBTreeTestAccess;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kDenormMin = std::numeric_limits<double>::denorm_min();
constexpr double kDblMin = std::numeric_limits<double>::min();
constexpr double kDblMax = std::numeric_limits<double>::max();
const double kMaxSubnormal = std::nextafter(kDblMin, 0.0);
constexpr int64_t kTwo53 = int64_t{1} << 53;
constexpr int64_t kMax64 = std::numeric_limits<int64_t>::max(), kMin64 = std::numeric_limits<int64_t>::min();
constexpr double kTwo53d = 9007199254740992.0, kTwo63d = 9223372036854775808.0;  // 2^53 and 2^63 as doubles

NumKey I(int64_t v) { return NumKey::of_int(v); }
NumKey F(double v) { return NumKey::of_float(v); }
Bound Inc(NumKey v) { return Bound::included(v); }
Bound Exc(NumKey v) { return Bound::excluded(v); }
Bound Unb() { return Bound::unbounded(); }

std::vector<uint32_t> ids(const Bitmap& b) { return b.to_vector(); }

Bitmap mask_upto(uint32_t n) {
  std::vector<uint32_t> v(n + 1);
  std::iota(v.begin(), v.end(), 0u);
  return Bitmap(std::span<const uint32_t>(v));
}

const Bitmap& big_mask() {
  static const Bitmap m = mask_upto(200000);
  return m;
}

std::vector<Entry> entries_of(const BitMapBTree& t) {
  std::vector<Entry> out;
  t.for_each([&out](Entry e) { out.push_back(e); });
  return out;
}

using testing::failure_of;

std::string num_name(NumKey k) {
  char buf[64];
  if (k.is_float)
    std::snprintf(buf, sizeof buf, "%.17g", k.f);
  else
    std::snprintf(buf, sizeof buf, "%" PRId64, k.i);
  return buf;
}

// ---------------------------------------------------------------------------
// Key codes and entries

struct KeyCodeCase {
  NumKey key;
  uint64_t head;
  uint64_t mantissa;
};

TEST(BTreeKeyCode, MatchesTheDocumentedLayout) {
  const KeyCodeCase cases[] = {
      {I(1), 0xBFF, 0x8000000000000000},           {F(1.0), 0xBFF, 0x8000000000000000},
      {I(-1), 0x400, 0x7FFFFFFFFFFFFFFF},          {F(-1.0), 0x400, 0x7FFFFFFFFFFFFFFF},
      {I(3), 0xC00, 0xC000000000000000},           {F(3.0), 0xC00, 0xC000000000000000},
      {F(2.5), 0xC00, 0xA000000000000000},         {F(kInf), 0xFFF, 0x8000000000000000},
      {F(-kInf), 0x000, 0x7FFFFFFFFFFFFFFF},       {I(0), 0x800, 0x0000000000000000},
      {F(0.0), 0x800, 0x0000000000000000},         {F(-0.0), 0x800, 0x0000000000000000},
      {I(kTwo53 + 1), 0xC34, 0x8000000000000400},  {I(kMax64), 0xC3D, 0xFFFFFFFFFFFFFFFE},
      {I(kMin64), 0x3C1, 0x7FFFFFFFFFFFFFFF},      {F(kDenormMin), 0x800, 0x0000000000000800},
      {F(-kDenormMin), 0x7FF, 0xFFFFFFFFFFFFF7FF}, {F(kDblMin), 0x801, 0x8000000000000000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(num_name(c.key) + (c.key.is_float ? " (float)" : " (int)"));
    const KeyCode k = key_code(c.key);
    EXPECT_EQ(key_code_head(k), c.head);
    EXPECT_EQ(key_code_mantissa(k), c.mantissa);
  }
}

TEST(BTreeKeyCode, EntryBitLayout) {
  struct Case {
    NumKey key;
    uint32_t id;
  } cases[] = {{F(3.0), 7}, {I(3), 7}, {I(-1), 0xFFFFFFFF}, {F(-kInf), 0}, {F(kDenormMin), 123456}};
  for (const auto& c : cases) {
    const Entry e = make_entry(c.key, c.id);
    EXPECT_EQ(static_cast<uint32_t>(e), c.id);
    EXPECT_EQ(entry_id(e), c.id);
    EXPECT_EQ(static_cast<bool>((e >> 32) & 1), c.key.is_float);
    EXPECT_EQ(entry_is_float(e), c.key.is_float);
    EXPECT_TRUE(entry_reserved_bits_clear(e));
    EXPECT_EQ((e >> 33) & ((Entry{1} << 19) - 1), Entry{0});
    EXPECT_EQ(static_cast<uint64_t>(e >> 116), key_code_head(key_code(c.key)));
    EXPECT_EQ(static_cast<uint64_t>(e >> 52), key_code_mantissa(key_code(c.key)));
  }
}

// Groups of numbers in ascending order; members of a group are numerically
// equal and must share one key code.
TEST(BTreeKeyCode, OrderLadderAcrossKindsAndFamilies) {
  const double qnan = std::numeric_limits<double>::quiet_NaN();
  // clang-format off
  const std::vector<std::vector<NumKey>> ladder = {
      {F(-qnan)}, {F(-kInf)}, {F(-kDblMax)}, {I(kMin64), F(-kTwo63d)}, {I(-kTwo53 - 1)}, {I(-kTwo53), F(-kTwo53d)},
      {F(-1.5)}, {I(-1), F(-1.0)}, {F(-kDblMin)}, {F(-kMaxSubnormal)}, {F(-2 * kDenormMin)}, {F(-kDenormMin)},
      {I(0), F(0.0), F(-0.0)},
      {F(kDenormMin)}, {F(2 * kDenormMin)}, {F(kMaxSubnormal)}, {F(kDblMin)}, {F(0.5)}, {I(1), F(1.0)}, {F(2.5)},
      {I(3), F(3.0)}, {I(kTwo53), F(kTwo53d)}, {I(kTwo53 + 1)}, {I(kTwo53 + 2), F(kTwo53d + 2)}, {I(kMax64)},
      {F(kTwo63d)}, {F(kDblMax)}, {F(kInf)}, {F(qnan)},
  };
  // clang-format on
  for (size_t g = 0; g < ladder.size(); ++g) {
    for (const NumKey& k : ladder[g]) {
      SCOPED_TRACE("group " + std::to_string(g) + ": " + num_name(k));
      EXPECT_EQ(key_code(k), key_code(ladder[g][0]));
      if (g > 0) {
        EXPECT_LT(key_code(ladder[g - 1][0]), key_code(k));
        // Entry order: the number decides before the type bit and the id.
        EXPECT_LT(make_entry(ladder[g - 1].back(), 0xFFFFFFFF), make_entry(k, 0));
      }
    }
  }
}

// x86-64 long double holds every int64 and every double exactly, so it is an
// exact reference order for mixed comparisons.
long double exact_value(NumKey k) { return k.is_float ? static_cast<long double>(k.f) : static_cast<long double>(k.i); }

// A number from a mix of families that meet at their edges: small values equal
// across kinds, zeros, subnormals, huge integers near 2^53 and 2^63,
// infinities and random values over the whole range. No NaN.
NumKey random_number(std::mt19937_64& rng) {
  auto pick = [&](uint64_t n) { return static_cast<int64_t>(rng() % n); };
  switch (pick(9)) {
    case 0:
    case 1: return I(pick(25) - 12);
    case 2: return F(static_cast<double>(pick(25) - 12));
    case 3: return F(static_cast<double>(pick(25) - 12) + 0.5);
    case 4: {
      static const NumKey specials[] = {
          I(0),          F(0.0),         F(-0.0),           F(kInf),          F(-kInf),
          F(kDenormMin), F(-kDenormMin), F(2 * kDenormMin), F(kMaxSubnormal), F(-kMaxSubnormal),
          F(kDblMin),    F(-kDblMin),    F(kDblMax),        F(-kDblMax)};
      return specials[pick(std::size(specials))];
    }
    case 5: {
      static const NumKey huge[] = {I(kTwo53 - 1), I(kTwo53),  I(kTwo53 + 1),  I(kTwo53 + 2), I(-kTwo53 - 1),
                                    I(-kTwo53),    F(kTwo53d), F(kTwo53d + 2), F(-kTwo53d),   I(kMax64),
                                    I(kMax64 - 1), I(kMin64),  F(kTwo63d),     F(-kTwo63d),   F(kTwo63d - 1024)};
      return huge[pick(std::size(huge))];
    }
    case 6: {
      std::uniform_real_distribution<double> d(-1e6, 1e6);
      return F(d(rng));
    }
    case 7: {
      // Any magnitude, subnormals included.
      std::uniform_real_distribution<double> m(0.5, 1.0);
      const double v = std::ldexp(m(rng), static_cast<int>(pick(2098)) - 1074);
      return F(rng() & 1 ? -v : v);
    }
    default: return rng() & 1 ? I(static_cast<int64_t>(rng())) : I(pick(2000001) - 1000000);
  }
}

TEST(BTreeKeyCode, RandomPairsOrderLikeTheirNumbers) {
  std::mt19937_64 rng(0x5eed0001);
  for (int i = 0; i < 200000; ++i) {
    const NumKey a = random_number(rng);
    const NumKey b = random_number(rng);
    const long double va = exact_value(a), vb = exact_value(b);
    const KeyCode ka = key_code(a), kb = key_code(b);
    ASSERT_EQ(va < vb, ka < kb) << num_name(a) << " vs " << num_name(b);
    ASSERT_EQ(va == vb, ka == kb) << num_name(a) << " vs " << num_name(b);
  }
}

// The double a grouping yields for an exact value: truncated toward zero.
double truncated(long double v) {
  double d = static_cast<double>(v);
  if (std::fabs(static_cast<long double>(d)) > std::fabs(v)) d = std::nextafter(d, 0.0);
  return d;
}

TEST(BTreeKeyCode, KeyToDoubleForGrouping) {
  // clang-format off
  struct Case { NumKey key; double expect; } cases[] = {
      {I(kTwo53 + 1), kTwo53d}, {I(kTwo53 + 3), kTwo53d + 2}, {I(-kTwo53 - 1), -kTwo53d}, {I(kMax64), kTwo63d - 1024},
      {I(kMin64), -kTwo63d}, {I(5), 5.0}, {F(5.0), 5.0}, {I(-3), -3.0}, {I(0), 0.0}, {F(kDenormMin), kDenormMin},
      {F(-kMaxSubnormal), -kMaxSubnormal}, {F(-kInf), -kInf},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(num_name(c.key));
    EXPECT_EQ(key_to_double(make_entry(c.key, 1)), c.expect);
  }
  // -0.0 groups with the other zeros as +0.0.
  EXPECT_FALSE(std::signbit(key_to_double(make_entry(F(-0.0), 1))));

  std::mt19937_64 rng(0x5eed0002);
  for (int i = 0; i < 200000; ++i) {
    // Every double (NaN payloads included) comes back bit for bit.
    const double d = std::bit_cast<double>(rng());
    if (d == 0.0) continue;
    ASSERT_EQ(std::bit_cast<uint64_t>(key_to_double(make_entry(F(d), 9))), std::bit_cast<uint64_t>(d)) << d;
    const NumKey k = random_number(rng);
    ASSERT_EQ(key_to_double(make_entry(k, 9)), truncated(exact_value(k))) << num_name(k);
  }
}

TEST(BTreeKeyCode, IntegerKeysComeBackExactly) {
  // Group keys: the integer itself where a double cannot hold it.
  std::mt19937_64 rng(0x5eed0003);
  std::vector<int64_t> values = {0, 1, -1, kTwo53, kTwo53 + 1, -kTwo53 - 1, 1700000000000000001, kMax64, kMin64};
  for (int i = 0; i < 100000; ++i) values.push_back(static_cast<int64_t>(rng()) >> (rng() % 64));
  for (int64_t v : values) {
    const KeyCode code = entry_key(make_entry(I(v), 3));
    ASSERT_EQ(key_code_to_int(code), v);
    const double d = static_cast<double>(v);
    const bool exact = d != kTwo63d && static_cast<int64_t>(d) == v;
    ASSERT_EQ(key_code_exact_as_double(code), exact) << v;
  }
}

// ---------------------------------------------------------------------------
// Tree shapes

// Fills a tree with `n` ascending integers 0..n-1, id = value.
BitMapBTree ascending(int64_t n) {
  BitMapBTree t;
  for (int64_t v = 0; v < n; ++v) t.insert(I(v), static_cast<uint32_t>(v));
  return t;
}

TEST(BTreeShape, NewTreeIsAnEmptyCentredLeaf) {
  BitMapBTree t;
  const auto info = t.inspect();
  EXPECT_EQ(info.kind, Kind::Leaf);
  EXPECT_EQ(info.count, 0u);
  EXPECT_EQ(info.start, 48u);
  EXPECT_TRUE(t.is_empty());
  EXPECT_TRUE(entries_of(t).empty());
  EXPECT_TRUE(t.query_range(Unb(), Unb(), big_mask()).is_empty());
  t.validate();
}

TEST(BTreeShape, LeafStaysCentredWhileFilling) {
  BitMapBTree t = ascending(95);
  auto info = t.inspect();
  EXPECT_EQ(info.kind, Kind::Leaf);
  EXPECT_EQ(info.count, 95u);
  EXPECT_EQ(info.start, 0u);
  EXPECT_TRUE(t.root().is_full());
  t.validate();
  // One fewer is not full: re-centring keeps one free slot at each end.
  BitMapBTree u = ascending(94);
  EXPECT_EQ(u.inspect().start, 1u);
  EXPECT_FALSE(u.root().is_full());
}

struct SplitCase {
  const char* name;
  NumKey key;
  uint32_t id;
  uint32_t left_count, left_start, right_count, right_start;
  bool new_entry;
};

class BTreeSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(BTreeSplit, NinetySixthInsertionSplitsTheRootLeaf) {
  const SplitCase& c = GetParam();
  BitMapBTree t = ascending(95);
  t.insert(c.key, c.id);
  t.validate();
  const auto info = t.inspect();
  ASSERT_EQ(info.kind, Kind::Internal);
  EXPECT_EQ(info.count, 2u);
  EXPECT_EQ(info.start, 48u);
  ASSERT_EQ(info.children.size(), 2u);
  EXPECT_EQ(info.children[0].kind, Kind::Leaf);
  EXPECT_EQ(info.children[1].kind, Kind::Leaf);
  EXPECT_EQ(info.children[0].count, c.left_count);
  EXPECT_EQ(info.children[0].start, c.left_start);
  EXPECT_EQ(info.children[1].count, c.right_count);
  EXPECT_EQ(info.children[1].start, c.right_start);
  EXPECT_EQ(t.size(), 96u);
  EXPECT_EQ(entries_of(t).size(), c.new_entry ? 96u : 95u);
  EXPECT_EQ(t.multiplicity(c.key, c.id), c.new_entry ? 1u : 2u);
  // The root keys: the left leaf's first entry and the separator, integer 47.
  const InternalNode* root = t.root().internal();
  EXPECT_EQ(root->key(1), make_entry(I(47), 47));
  // Slots holding leaves keep no bitmaps: the ids are the leaves' own.
  EXPECT_FALSE(root->bitmap(0).has_value() || root->bitmap(1).has_value());
  const LeafNode* left = root->child(0)->leaf();
  const LeafNode* right = root->child(1)->leaf();
  EXPECT_TRUE(left->contains_id(46));
  EXPECT_FALSE(left->contains_id(47));
  EXPECT_TRUE(right->contains_id(47));
  EXPECT_TRUE(left->contains_id(c.id) || right->contains_id(c.id));
}

INSTANTIATE_TEST_SUITE_P(Cases, BTreeSplit,
                         ::testing::Values(
                             // 47 stay and are re-centred at 24, 48 move to a new leaf at 24.
                             SplitCase{"below_all", I(-1), 500, 48, 23, 48, 24, true},
                             SplitCase{"above_all", I(95), 95, 47, 24, 49, 24, true},
                             SplitCase{"below_separator", F(46.5), 501, 48, 24, 48, 24, true},
                             // Equal number to the separator but larger entry: goes right.
                             SplitCase{"separator_number_larger_id", I(47), 1000, 47, 24, 49, 23, true},
                             // The float 47.0 sorts after the integer 47 and goes right too.
                             SplitCase{"separator_as_float", F(47.0), 3, 47, 24, 49, 23, true},
                             // The separator itself again: a repeated pair, no new entry.
                             SplitCase{"repeat_of_separator", I(47), 47, 47, 24, 48, 24, false},
                             SplitCase{"repeat_in_left", I(10), 10, 47, 24, 48, 24, false}),
                         [](const ::testing::TestParamInfo<SplitCase>& p) { return std::string(p.param.name); });

TEST(BTreeShape, RootGrowsALevelWhenItsChildrenFillIt) {
  BitMapBTree t;
  uint32_t depth = 1;
  for (int64_t v = 0; v < 20000; ++v) {
    t.insert(I(v * 7919 % 20000), static_cast<uint32_t>(v));
    if (t.depth() != depth) {
      EXPECT_EQ(t.depth(), depth + 1);
      depth = t.depth();
      const auto info = t.inspect();
      EXPECT_EQ(info.kind, Kind::Internal);
      EXPECT_EQ(info.count, 2u);
      t.validate();
    }
  }
  EXPECT_GE(depth, 3u);
  t.validate();
  EXPECT_EQ(ids(t.query_range(Unb(), Unb(), big_mask())).size(), 20000u);
}

// ---------------------------------------------------------------------------
// Range queries

// Runs a scenario on a bare tree and on a tree padded to several levels with
// entries whose ids (>= 100000) the scenario's masks exclude.
class BTreeQuery : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    std::mt19937_64 rng(42);
    for (int i = 0; i < GetParam(); ++i) {
      // Padding crowds the interesting numbers, including exact 5s and 3s.
      const int64_t v = static_cast<int64_t>(rng() % 21) - 5;
      const uint32_t id = 100000 + static_cast<uint32_t>(i);
      if (rng() & 1)
        t.insert(I(v), id);
      else
        t.insert(F(static_cast<double>(v) + (rng() % 4) * 0.25), id);
    }
  }
  Bitmap mask = mask_upto(1000);
  BitMapBTree t;
};

TEST_P(BTreeQuery, IntegerAndFloatOfEqualValueAreDistinctEntries) {
  t.insert(F(3.0), 1);
  t.insert(I(3), 1);
  t.insert(I(3), 2);
  t.validate();
  EXPECT_EQ(t.multiplicity(I(3), 1), 1u);
  EXPECT_EQ(t.multiplicity(F(3.0), 1), 1u);
  // In order: integer 3 (ids 1, 2), then float 3.0.
  std::vector<Entry> mine;
  t.for_each([&](Entry e) {
    if (entry_id(e) < 100000) mine.push_back(e);
  });
  ASSERT_EQ(mine.size(), 3u);
  EXPECT_EQ(mine[0], make_entry(I(3), 1));
  EXPECT_EQ(mine[1], make_entry(I(3), 2));
  EXPECT_EQ(mine[2], make_entry(F(3.0), 1));
  EXPECT_EQ(ids(t.query_range(Inc(I(3)), Inc(I(3)), mask)), (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(ids(t.query_range(Inc(F(3.0)), Inc(F(3.0)), mask)), (std::vector<uint32_t>{1, 2}));
  ASSERT_TRUE(t.remove(I(3), 1));
  // Still held through the float 3.0.
  EXPECT_EQ(ids(t.query_range(Inc(I(3)), Inc(I(3)), mask)), (std::vector<uint32_t>{1, 2}));
  ASSERT_TRUE(t.remove(F(3.0), 1));
  EXPECT_EQ(ids(t.query_range(Inc(I(3)), Inc(I(3)), mask)), (std::vector<uint32_t>{2}));
  t.validate();
}

TEST_P(BTreeQuery, ExcludedLowerBoundDropsEveryEqualNumber) {
  // Many 5s of both kinds span several leaves on the padded tree.
  for (uint32_t id = 200; id < 500; ++id) t.insert(id % 2 ? I(5) : F(5.0), id);
  t.insert(F(std::nextafter(5.0, 10.0)), 1);
  t.insert(I(6), 2);
  t.insert(F(4.999), 3);
  t.insert(F(kInf), 4);
  t.validate();
  for (const NumKey five : {I(5), F(5.0)}) {
    SCOPED_TRACE(five.is_float ? "5.0" : "5");
    EXPECT_EQ(ids(t.query_range(Exc(five), Unb(), mask)), (std::vector<uint32_t>{1, 2, 4}));
    auto at_most = ids(t.query_range(Unb(), Inc(five), mask));
    EXPECT_EQ(at_most.size(), 301u);
    EXPECT_EQ(at_most.front(), 3u);
    EXPECT_EQ(ids(t.query_range(Unb(), Exc(five), mask)), (std::vector<uint32_t>{3}));
    EXPECT_EQ(t.query_range(Inc(five), Inc(five), mask).cardinality(), 300u);
    EXPECT_EQ(t.query_range(Inc(five), Unb(), mask).cardinality(), 303u);
  }
}

TEST_P(BTreeQuery, InvertedOrEmptyRangesGiveNothing) {
  for (uint32_t id = 1; id <= 20; ++id) t.insert(I(static_cast<int64_t>(id) - 5), id);
  t.insert(F(5.0), 21);
  struct Case {
    Bound lo, hi;
    size_t expect;
  } cases[] = {
      {Inc(I(10)), Inc(I(1)), 0},  {Exc(I(5)), Exc(I(5)), 0},   {Inc(I(5)), Exc(I(5)), 0},
      {Exc(I(5)), Inc(F(5.0)), 0}, {Inc(F(5.5)), Inc(I(5)), 0}, {Inc(F(kInf)), Inc(F(-kInf)), 0},
      {Inc(I(5)), Inc(F(5.0)), 2}, {Inc(I(1)), Inc(I(10)), 11}, {Exc(I(-5)), Exc(I(-3)), 1},
  };
  for (const auto& c : cases) EXPECT_EQ(t.query_range(c.lo, c.hi, mask).cardinality(), c.expect);
}

TEST_P(BTreeQuery, IntegersBeyondTwoPow53AreExact) {
  t.insert(I(kTwo53), 1);
  t.insert(I(kTwo53 + 1), 2);
  t.insert(F(9007199254740992.0), 3);
  t.insert(F(9007199254740994.0), 4);
  t.validate();
  EXPECT_EQ(ids(t.query_range(Inc(I(kTwo53 + 1)), Unb(), mask)), (std::vector<uint32_t>{2, 4}));
  EXPECT_EQ(ids(t.query_range(Exc(I(kTwo53)), Unb(), mask)), (std::vector<uint32_t>{2, 4}));
  EXPECT_EQ(ids(t.query_range(Unb(), Exc(I(kTwo53 + 1)), mask)), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(ids(t.query_range(Inc(F(9007199254740992.0)), Inc(I(kTwo53)), mask)), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(ids(t.query_range(Inc(I(kTwo53 + 1)), Inc(I(kTwo53 + 1)), mask)), (std::vector<uint32_t>{2}));
  // Grouping sees 2^53, 2^53, 2^53 (from 2^53 + 1) and 2^53 + 2.
  std::vector<std::pair<double, uint32_t>> seen;
  t.for_each([&](Entry e) {
    if (entry_id(e) < 100000) seen.emplace_back(key_to_double(e), entry_id(e));
  });
  const std::vector<std::pair<double, uint32_t>> expect = {
      {9007199254740992.0, 1}, {9007199254740992.0, 3}, {9007199254740992.0, 2}, {9007199254740994.0, 4}};
  EXPECT_EQ(seen, expect);
}

TEST_P(BTreeQuery, MaskLimitsEveryAnswer) {
  for (uint32_t id = 1; id <= 50; ++id) t.insert(I(id % 7), id);
  EXPECT_TRUE(t.query_range(Unb(), Unb(), Bitmap()).is_empty());
  EXPECT_TRUE(t.query_range(Inc(I(0)), Inc(I(6)), Bitmap()).is_empty());
  EXPECT_TRUE(t.query_range(Unb(), Unb(), Bitmap{900, 901}).is_empty());
  EXPECT_EQ(ids(t.query_range(Inc(I(3)), Inc(I(3)), Bitmap{3, 10, 17, 18, 100000})),
            (std::vector<uint32_t>{3, 10, 17}));
  EXPECT_EQ(t.query_range(Unb(), Unb(), mask).cardinality(), 50u);
}

TEST_P(BTreeQuery, NaNsSortOutsideTheInfinities) {
  const double qnan = std::numeric_limits<double>::quiet_NaN();
  t.insert(F(qnan), 1);
  t.insert(F(-qnan), 2);
  t.insert(F(kInf), 3);
  t.insert(F(-kInf), 4);
  t.insert(I(0), 5);
  t.validate();
  EXPECT_EQ(ids(t.query_range(Exc(F(kInf)), Unb(), mask)), (std::vector<uint32_t>{1}));
  EXPECT_EQ(ids(t.query_range(Unb(), Exc(F(-kInf)), mask)), (std::vector<uint32_t>{2}));
  EXPECT_EQ(ids(t.query_range(Inc(F(-kInf)), Inc(F(kInf)), mask)), (std::vector<uint32_t>{3, 4, 5}));
}

TEST_P(BTreeQuery, SubnormalsSitBetweenZeroAndTheSmallestNormal) {
  t.insert(F(kDenormMin), 1);
  t.insert(F(-kDenormMin), 2);
  t.insert(F(0.0), 3);
  t.insert(F(kDblMin), 4);
  t.insert(F(-0.0), 5);
  t.insert(F(kMaxSubnormal), 6);
  t.insert(I(0), 7);
  t.validate();
  EXPECT_EQ(ids(t.query_range(Exc(I(0)), Exc(F(kDblMin)), mask)), (std::vector<uint32_t>{1, 6}));
  EXPECT_EQ(ids(t.query_range(Exc(F(-kDblMin)), Exc(F(-0.0)), mask)), (std::vector<uint32_t>{2}));
  // -0.0 and 0.0 with different ids are different entries of one number.
  EXPECT_EQ(ids(t.query_range(Inc(F(-0.0)), Inc(I(0)), mask)), (std::vector<uint32_t>{3, 5, 7}));
  EXPECT_EQ(ids(t.query_range(Exc(F(kDenormMin)), Inc(F(kMaxSubnormal)), mask)), (std::vector<uint32_t>{6}));
  EXPECT_TRUE(t.remove(F(0.0), 5));  // -0.0 and 0.0 are the same number
  EXPECT_EQ(ids(t.query_range(Inc(F(0.0)), Inc(F(0.0)), mask)), (std::vector<uint32_t>{3, 7}));
}

// Narrow ranges answer from a few covered subtrees, wide ones from many (the
// answer then unites them all before masking); both must equal a scan.
TEST(BTreeRangeWidth, NarrowAndWideRangesMatchAScan) {
  BitMapBTree t;
  constexpr int64_t kN = 30000;
  auto id_of = [](int64_t v) { return static_cast<uint32_t>(v * 7 % 4001) + 1; };
  for (int64_t v = 0; v < kN; ++v) t.insert(v % 2 ? I(v) : F(static_cast<double>(v)), id_of(v));
  ASSERT_GE(t.depth(), 3u);
  Bitmap sparse;
  for (uint32_t id = 0; id < 5000; id += 3) sparse.add(id);
  for (const Bitmap* mask : {&big_mask(), static_cast<const Bitmap*>(&sparse)}) {
    for (int64_t width : {int64_t{0}, int64_t{1}, int64_t{50}, int64_t{400}, int64_t{3000}, int64_t{12000}, kN}) {
      for (int64_t lo : {int64_t{0}, int64_t{17}, kN / 3, kN - width}) {
        std::set<uint32_t> expect;
        for (int64_t v = lo + 1; v <= lo + width && v < kN; ++v)
          if (mask->contains(id_of(v))) expect.insert(id_of(v));
        const auto got = ids(t.query_range(Exc(I(lo)), Inc(F(static_cast<double>(lo + width))), *mask));
        EXPECT_EQ(got, std::vector<uint32_t>(expect.begin(), expect.end())) << lo << " +" << width;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Padding, BTreeQuery, ::testing::Values(0, 300, 9000),
                         [](const ::testing::TestParamInfo<int>& p) { return "pad" + std::to_string(p.param); });

// ---------------------------------------------------------------------------
// Removal and repeated pairs

TEST(BTreeRemove, AbsentPairsAnswerFalseAndChangeNothing) {
  BitMapBTree empty;
  EXPECT_FALSE(empty.remove(I(1), 1));
  BitMapBTree t = ascending(3000);
  t.insert(F(2.5), 77);
  const auto before = entries_of(t);
  struct Case {
    NumKey key;
    uint32_t id;
  } cases[] = {{I(5), 6}, {F(5.0), 5}, {I(3000), 3000}, {F(2.5), 78}, {I(-1), 0}, {F(-0.0), 1}, {I(2), 77}};
  for (const auto& c : cases) {
    SCOPED_TRACE(num_name(c.key));
    EXPECT_FALSE(t.remove(c.key, c.id));
  }
  EXPECT_EQ(entries_of(t), before);
  EXPECT_EQ(t.size(), 3001u);
  t.validate();
}

TEST(BTreeRemove, RemovingEverythingLeavesEmptyLeavesThatQueriesPassOver) {
  std::mt19937_64 rng(7);
  BitMapBTree t;
  std::vector<std::pair<int64_t, uint32_t>> pairs;
  for (uint32_t i = 0; i < 8000; ++i) pairs.emplace_back(static_cast<int64_t>(rng() % 100000), i);
  for (auto [v, id] : pairs) t.insert(I(v), id);
  const uint32_t depth = t.depth();
  ASSERT_GE(depth, 3u);
  std::shuffle(pairs.begin(), pairs.end(), rng);
  for (size_t i = 0; i < pairs.size(); ++i) {
    ASSERT_TRUE(t.remove(I(pairs[i].first), pairs[i].second));
    if (i % 997 == 0) t.validate();
  }
  t.validate();
  EXPECT_TRUE(t.is_empty());
  EXPECT_EQ(t.depth(), depth);  // nodes are never freed
  EXPECT_TRUE(entries_of(t).empty());
  EXPECT_TRUE(t.query_range(Unb(), Unb(), big_mask()).is_empty());
  EXPECT_TRUE(t.query_range(Inc(I(10)), Inc(I(50000)), big_mask()).is_empty());
  // Every slot bitmap of the root is empty now.
  const InternalNode* root = t.root().internal();
  ASSERT_NE(root, nullptr);
  for (uint32_t i = 0; i < root->count(); ++i) EXPECT_TRUE(root->bitmap(i)->is_empty());
  // The emptied leaves take entries again.
  for (int64_t v = 0; v < 3000; ++v) t.insert(I(v * 31), 1);
  t.validate();
  EXPECT_EQ(ids(t.query_range(Inc(I(0)), Unb(), big_mask())), (std::vector<uint32_t>{1}));
}

TEST(BTreeRemove, RangeQueriesNeverReportAnIdWithoutAMatchingNumber) {
  BitMapBTree t;
  for (int64_t v = 2; v < 10000; ++v) t.insert(I(v), 100000 + static_cast<uint32_t>(v));
  t.insert(I(1), 7);
  t.insert(I(10000), 7);
  t.insert(I(5000), 8);
  ASSERT_GE(t.depth(), 3u);
  const Bitmap m{7, 8};
  EXPECT_EQ(ids(t.query_range(Inc(I(4000)), Unb(), m)), (std::vector<uint32_t>{7, 8}));
  ASSERT_TRUE(t.remove(I(10000), 7));
  t.validate();
  // The upper subtrees lie wholly inside these ranges and answer from bitmaps.
  EXPECT_EQ(ids(t.query_range(Inc(I(4000)), Unb(), m)), (std::vector<uint32_t>{8}));
  EXPECT_EQ(ids(t.query_range(Inc(I(0)), Unb(), m)), (std::vector<uint32_t>{7, 8}));
  ASSERT_TRUE(t.remove(I(5000), 8));
  EXPECT_EQ(ids(t.query_range(Inc(I(2)), Unb(), m)), std::vector<uint32_t>());
  EXPECT_EQ(ids(t.query_range(Unb(), Unb(), m)), (std::vector<uint32_t>{7}));
  t.validate();
}

TEST(BTreeRemove, IdsWithEntriesOnBothSidesOfASplitStayInBothBitmaps) {
  // Two ids alternate over ascending numbers, so every split cuts through
  // entries of both; each half must keep both ids.
  BitMapBTree t;
  for (int64_t v = 0; v < 6000; ++v) t.insert(I(v), static_cast<uint32_t>(v % 2) + 1);
  t.validate();
  const Bitmap m{1, 2};
  for (int64_t lo = 0; lo < 6000; lo += 250)
    EXPECT_EQ(ids(t.query_range(Inc(I(lo)), Inc(I(lo + 300)), m)), (std::vector<uint32_t>{1, 2})) << lo;
  // Take id 1 out of the lower half only.
  for (int64_t v = 0; v < 3000; v += 2) ASSERT_TRUE(t.remove(I(v), 1));
  t.validate();
  EXPECT_EQ(ids(t.query_range(Inc(I(0)), Exc(I(3000)), m)), (std::vector<uint32_t>{2}));
  EXPECT_EQ(ids(t.query_range(Inc(I(2990)), Inc(I(3001)), m)), (std::vector<uint32_t>{1, 2}));
}

TEST(BTreeRemove, RepeatedPairsAreCountedAndRemovedOneAtATime) {
  // On a leaf root, at a separator after a split, and deep inside a tall tree.
  struct Case {
    int64_t fill;
    NumKey key;
    uint32_t id;
  } cases[] = {{0, I(5), 1}, {95, I(47), 47}, {95, I(47), 99}, {20000, I(12345), 12345}, {20000, F(0.5), 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.fill) + " " + num_name(c.key));
    BitMapBTree t = ascending(c.fill);
    const auto before = entries_of(t);
    const uint64_t size_before = t.size();
    const uint32_t base = t.multiplicity(c.key, c.id);
    for (int k = 0; k < 3; ++k) {
      t.insert(c.key, c.id);
      t.validate();
    }
    EXPECT_EQ(t.multiplicity(c.key, c.id), base + 3);
    EXPECT_EQ(t.size(), size_before + 3);
    // More splits while the repeats are held.
    for (int64_t v = 0; v < 300; ++v) t.insert(F(static_cast<double>(c.fill) + 0.25 + static_cast<double>(v)), 777777);
    for (int64_t v = 0; v < 300; ++v)
      ASSERT_TRUE(t.remove(F(static_cast<double>(c.fill) + 0.25 + static_cast<double>(v)), 777777));
    for (uint32_t k = 0; k < base + 3; ++k) {
      EXPECT_TRUE(t.query_range(Inc(c.key), Inc(c.key), Bitmap{c.id}).contains(c.id));
      ASSERT_TRUE(t.remove(c.key, c.id));
      t.validate();
    }
    EXPECT_FALSE(t.remove(c.key, c.id));
    EXPECT_TRUE(t.query_range(Inc(c.key), Inc(c.key), Bitmap{c.id}).is_empty());
    // Back to the original contents, less the pair itself if it was there.
    auto expect = before;
    std::erase(expect, make_entry(c.key, c.id));
    EXPECT_EQ(entries_of(t), expect);
    t.validate();
  }
}

TEST(BTreeRemove, RepeatOfTheSeparatorWhenAFullChildSplits) {
  // 0..141 ascending leave a full right leaf holding 47..141; its split keeps
  // 47..93 and makes 94 the separator. Inserting (94, 94) again splits it
  // and must find the pair in the right half, not file a second copy left.
  BitMapBTree t = ascending(142);
  auto info = t.inspect();
  ASSERT_EQ(info.children.size(), 2u);
  ASSERT_EQ(info.children[1].count, 95u);
  t.insert(I(94), 94);
  t.validate();
  info = t.inspect();
  ASSERT_EQ(info.children.size(), 3u);
  EXPECT_EQ(info.children[1].count, 47u);
  EXPECT_EQ(info.children[2].count, 48u);
  EXPECT_EQ(t.root().internal()->key(2), make_entry(I(94), 94));
  EXPECT_EQ(t.multiplicity(I(94), 94), 2u);
  EXPECT_EQ(entries_of(t).size(), 142u);
  EXPECT_TRUE(t.remove(I(94), 94));
  EXPECT_TRUE(t.remove(I(94), 94));
  EXPECT_FALSE(t.remove(I(94), 94));
  EXPECT_TRUE(t.query_range(Inc(I(94)), Inc(I(94)), big_mask()).is_empty());
  t.validate();
}

// ---------------------------------------------------------------------------
// Failures and validation

BitMapBTree three_levels() {
  BitMapBTree t;
  for (int64_t v = 0; v < 12000; ++v) t.insert(I(v * 7 % 12000), static_cast<uint32_t>(v));
  EXPECT_EQ(t.depth(), 3u);
  return t;
}

TEST(BTreeFailure, EmptyNodeRoot) {
  BitMapBTree t = ascending(10);
  TA::root(t) = BitMapBTreeNode();
  EXPECT_EQ(failure_of([&] { t.insert(I(1), 1); }), "Cannot insert into an empty node!");
  EXPECT_EQ(failure_of([&] { t.remove(I(1), 1); }), "Cannot remove from an empty node!");
  EXPECT_EQ(failure_of([&] { t.for_each([](Entry) {}); }), "Cannot create iterator for empty tree!");
  EXPECT_EQ(failure_of([&] { BitMapBTreeIter it(t); }), "Cannot create iterator for empty tree!");
  EXPECT_NE(failure_of([&] { t.validate(); }).find("root is an empty node"), std::string::npos);
  // An empty node answers queries with nothing.
  EXPECT_TRUE(t.query_range(Unb(), Unb(), big_mask()).is_empty());
}

TEST(BTreeFailure, CorruptChildrenAndBitmaps) {
  struct Case {
    const char* name;
    bool deep;
    std::function<void(InternalNode& root)> corrupt;
    std::function<void(BitMapBTree&)> act;
    const char* message;
  };
  // Numbers below every key go to the first child of each level.
  auto insert_low = [](BitMapBTree& t) { t.insert(I(-5), 1); };
  auto remove_low = [](BitMapBTree& t) { t.remove(I(0), 0); };
  const Case cases[] = {
      {"empty child", false, [](InternalNode& r) { TA::child_slot(r, 0) = BitMapBTreeNode(); }, insert_low,
       "Cannot insert into empty node"},
      {"missing child on insert", false, [](InternalNode& r) { TA::child_slot(r, 0).reset(); }, insert_low,
       "Missing child"},
      {"missing child on remove", false, [](InternalNode& r) { TA::child_slot(r, 0).reset(); }, remove_low,
       "Missing child"},
      {"missing internal bitmap", true, [](InternalNode& r) { TA::bitmap_slot(r, 0).reset(); }, insert_low,
       "Bitmap should be present for internal"},
      {"missing internal bitmap on remove", true, [](InternalNode& r) { TA::bitmap_slot(r, 0).reset(); }, remove_low,
       "Bitmap should be present for internal"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BitMapBTree t = c.deep ? three_levels() : ascending(500);
    InternalNode* root = TA::root(t).internal();
    ASSERT_NE(root, nullptr);
    c.corrupt(*root);
    EXPECT_EQ(failure_of([&] { c.act(t); }), c.message);
  }
  Entry separator = 0;
  EXPECT_EQ(failure_of([&] { BitMapBTreeNode().split(&separator); }), "Cannot split empty node");
}

TEST(BTreeFailure, ValidateNamesTheBrokenInvariant) {
  struct Case {
    const char* name;
    bool deep;  // the root's children are internal nodes (with bitmaps), not leaves
    std::function<void(InternalNode& root)> corrupt;
    const char* message;  // the broken invariant the failure names
  };
  const Case cases[] = {
      {"stale id in a slot bitmap", true, [](InternalNode& r) { TA::bitmap_slot(r, 1)->add(999999); },
       "slot bitmap differs from the ids below its child"},
      {"id missing from a slot bitmap", true,
       [](InternalNode& r) { TA::bitmap_slot(r, 1)->remove(entry_id(TA::child_slot(r, 1)->internal()->key(0))); },
       "slot bitmap differs from the ids below its child"},
      {"leaf entries out of order", false,
       [](InternalNode& r) {
         LeafNode* leaf = TA::child_slot(r, 1)->leaf();
         std::swap(TA::leaf_slot(*leaf, 0), TA::leaf_slot(*leaf, 1));
       },
       "entries not strictly ascending"},
      {"leaf entry below its fence", false,
       [](InternalNode& r) { TA::leaf_slot(*TA::child_slot(r, 1)->leaf(), 0) = make_entry(I(-1), 0); },
       "entry below the key of its slot"},
      {"reserved bits", false,
       [](InternalNode& r) { TA::leaf_slot(*TA::child_slot(r, 1)->leaf(), 0) |= Entry{1} << 40; },
       "entry with reserved bits 33..51 set"},
      {"keys out of order", false, [](InternalNode& r) { std::swap(TA::key_slot(r, 1), TA::key_slot(r, 2)); },
       "keys not strictly ascending"},
      {"slot without bitmap", true, [](InternalNode& r) { TA::bitmap_slot(r, 1).reset(); },
       "slot in use without a bitmap"},
      {"leaf slot with a bitmap", false, [](InternalNode& r) { TA::bitmap_slot(r, 2).emplace(); },
       "leaf slot with a bitmap"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    BitMapBTree t = c.deep ? three_levels() : ascending(500);
    t.validate();
    c.corrupt(*TA::root(t).internal());
    EXPECT_NE(failure_of([&] { t.validate(); }).find(c.message), std::string::npos) << c.message;
  }
}

// ---------------------------------------------------------------------------
// Randomized comparison with a multiset of (number, kind, id)

struct ModelPair {
  long double value;
  bool is_float;
  uint32_t id;
  NumKey key;
  bool operator<(const ModelPair& o) const {
    if (value != o.value) return value < o.value;
    if (is_float != o.is_float) return !is_float;
    return id < o.id;
  }
};

ModelPair model_pair(NumKey k, uint32_t id) { return ModelPair{exact_value(k), k.is_float, id, k}; }

bool model_admits(const Bound& b, long double v, bool lower) {
  if (b.kind == Bound::Kind::Unbounded) return true;
  const long double x = exact_value(b.value);
  if (lower) return b.kind == Bound::Kind::Included ? v >= x : v > x;
  return b.kind == Bound::Kind::Included ? v <= x : v < x;
}

uint32_t random_id(std::mt19937_64& rng) {
  const uint64_t r = rng() % 10;
  if (r < 7) return 1 + static_cast<uint32_t>(rng() % 64);
  if (r < 9) return 1 + static_cast<uint32_t>(rng() % 5000);
  static const uint32_t specials[] = {0, 65535, 65536, 0x80000000u, 0xFFFFFFFFu};
  // Ids spread over the whole 32-bit range, from a bounded pool so that the
  // set of ids in play (and the masks built from it) stays small.
  return rng() & 1 ? specials[rng() % std::size(specials)] : static_cast<uint32_t>(1 + rng() % 256) * 0x9E3779B1u;
}

Bound random_bound(std::mt19937_64& rng) {
  switch (rng() % 3) {
    case 0: return Inc(random_number(rng));
    case 1: return Exc(random_number(rng));
    default: return Unb();
  }
}

uint64_t env_u64(const char* name, uint64_t fallback, bool* found = nullptr) {
  const char* s = std::getenv(name);
  if (found) *found = s != nullptr && *s != '\0';
  if (s == nullptr || *s == '\0') return fallback;
  return std::strtoull(s, nullptr, 0);
}

TEST(BTreeDifferential, MatchesAMultisetModel) {
  bool long_run = false;
  const uint64_t steps = env_u64("ZARVEX_FUZZ_ITERATIONS", 40000, &long_run);
  bool seeded = false;
  const uint64_t seed = env_u64("ZARVEX_FUZZ_SEED", long_run ? std::random_device{}() : 0xB7EE5EED, &seeded);
  if (long_run || seeded) std::cout << "BTreeDifferential seed=" << seed << " steps=" << steps << std::endl;
  SCOPED_TRACE("seed=" + std::to_string(seed) + " (replay with ZARVEX_FUZZ_SEED)");

  std::mt19937_64 rng(seed);
  BitMapBTree tree;
  std::multiset<ModelPair> model;
  std::vector<ModelPair> live;  // one element per held copy, for picking
  Bitmap used_ids;
  const size_t cap = long_run ? 8000 : 12000;
  double p_insert = 0.7;
  uint32_t max_depth = 1;
  uint64_t queries = 0, nonempty_answers = 0, repeats = 0, absent_removals = 0;

  auto do_insert = [&](NumKey k, uint32_t id) {
    tree.insert(k, id);
    const ModelPair p = model_pair(k, id);
    if (model.count(p) != 0) ++repeats;
    model.insert(p);
    live.push_back(p);
    used_ids.add(id);
  };

  for (uint64_t step = 0; step < steps; ++step) {
    if (step % 4000 == 0) {
      static const double phases[] = {0.75, 0.6, 0.45, 0.3, 0.15};
      p_insert = phases[rng() % std::size(phases)];
    }
    if (model.size() > cap) p_insert = 0.1;
    const double r = std::uniform_real_distribution<double>(0, 1)(rng);
    if (r < 0.15) {
      // Range query with random bounds and mask.
      const Bound lo = random_bound(rng);
      const Bound hi = rng() % 4 == 0 && lo.kind != Bound::Kind::Unbounded ? (rng() & 1 ? Inc(lo.value) : Exc(lo.value))
                                                                           : random_bound(rng);
      Bitmap mask;
      switch (rng() % 10) {
        case 0: break;  // empty
        case 1: mask = Bitmap{random_id(rng)}; break;
        case 5: {
          // Every id between two ends: a mask that only clips the answer.
          const uint32_t a = static_cast<uint32_t>(rng() % 5001), b = static_cast<uint32_t>(rng() % 5001);
          for (uint32_t id = std::min(a, b); id <= std::max(a, b); ++id) mask.add(id);
          break;
        }
        case 2:
        case 3:
        case 4:
          used_ids.for_each([&](uint32_t id) {
            if (rng() & 1) mask.add(id);
          });
          break;
        default: mask = used_ids;
      }
      // The model's pairs are ordered by exact value: start at the lower
      // bound and take pairs until the first one above the upper bound.
      auto it = model.begin();
      if (lo.kind != Bound::Kind::Unbounded) {
        const long double v = exact_value(lo.value);
        it = lo.kind == Bound::Kind::Included ? model.lower_bound(ModelPair{v, false, 0, lo.value})
                                              : model.upper_bound(ModelPair{v, true, 0xFFFFFFFF, lo.value});
      }
      std::vector<uint32_t> expect;
      for (; it != model.end() && model_admits(hi, it->value, false); ++it) {
        EXPECT_TRUE(model_admits(lo, it->value, true));
        if (mask.contains(it->id)) expect.push_back(it->id);
      }
      std::sort(expect.begin(), expect.end());
      expect.erase(std::unique(expect.begin(), expect.end()), expect.end());
      const auto got = ids(tree.query_range(lo, hi, mask));
      ++queries;
      if (!got.empty()) ++nonempty_answers;
      ASSERT_EQ(got, expect) << "step " << step << " lower kind " << int(lo.kind) << " " << num_name(lo.value)
                             << " upper kind " << int(hi.kind) << " " << num_name(hi.value);
    } else if (r < 0.15 + 0.85 * p_insert) {
      const uint64_t kind = rng() % 20;
      if (kind < 4 && !live.empty()) {
        const ModelPair p = live[rng() % live.size()];
        do_insert(p.key, p.id);
      } else if (kind == 4) {
        // An ordered burst, ascending or descending, splits in a pattern.
        const int64_t base = static_cast<int64_t>(rng() % 2000) - 1000;
        const int64_t len = 30 + static_cast<int64_t>(rng() % 150);
        const bool down = rng() & 1, as_float = rng() & 1, one_id = rng() & 1;
        const uint32_t id0 = random_id(rng);
        for (int64_t i = 0; i < len; ++i) {
          const int64_t v = down ? base - i : base + i;
          do_insert(as_float ? F(static_cast<double>(v)) : I(v), one_id ? id0 : id0 + static_cast<uint32_t>(i));
        }
      } else {
        do_insert(random_number(rng), random_id(rng));
      }
    } else {
      ModelPair p;
      if (!live.empty() && rng() % 5 < 3) {
        const size_t i = rng() % live.size();
        p = live[i];
      } else {
        p = model_pair(random_number(rng), random_id(rng));
      }
      const auto it = model.find(p);
      const bool present = it != model.end();
      if (!present) ++absent_removals;
      ASSERT_EQ(tree.remove(p.key, p.id), present)
          << "step " << step << " remove " << num_name(p.key) << " id " << p.id;
      if (present) {
        model.erase(it);
        // Drop one copy of the pair from `live` (any copy of an equal pair).
        for (size_t i = 0; i < live.size(); ++i) {
          if (!(live[i] < p) && !(p < live[i])) {
            live[i] = live.back();
            live.pop_back();
            break;
          }
        }
      }
    }
    max_depth = std::max(max_depth, tree.depth());
    if (step % 500 == 499 || step + 1 == steps) {
      ASSERT_NO_THROW(tree.validate()) << "step " << step;
      ASSERT_EQ(tree.size(), model.size());
      ASSERT_EQ(tree.is_empty(), model.empty());
      // In-order walk: one entry per distinct pair, in the model's order.
      std::vector<Entry> walked = entries_of(tree);
      size_t k = 0;
      const ModelPair* prev = nullptr;
      for (const ModelPair& p : model) {
        if (prev && !(*prev < p)) continue;
        prev = &p;
        ASSERT_LT(k, walked.size());
        ASSERT_EQ(entry_id(walked[k]), p.id) << "step " << step << " walk position " << k;
        ASSERT_EQ(entry_is_float(walked[k]), p.is_float);
        ASSERT_EQ(key_to_double(walked[k]), truncated(p.value));
        ++k;
      }
      ASSERT_EQ(k, walked.size());
    }
  }
  // The run must have reached the interesting shapes.
  EXPECT_GE(max_depth, 3u);
  EXPECT_GT(queries, steps / 10);
  EXPECT_GT(nonempty_answers, queries / 4);
  EXPECT_GT(repeats, 100u);
  EXPECT_GT(absent_removals, 100u);
}

// ---------------------------------------------------------------------------
// move against remove then insert_once on a twin tree

struct MoveCase {
  const char* name;
  uint32_t entries;    // distinct pairs filed first
  int64_t spread;      // integer keys drawn from [0, spread)
  uint32_t two_every;  // every n-th id gets a second entry (0: none)
  bool repeats;        // some pairs filed twice (copies counted on the side)
};

class BTreeMove : public ::testing::TestWithParam<MoveCase> {};
void check_moves(const MoveCase& c);

// Lowers defer_moves_from for a scope (every tree then defers, or none).
struct DeferMovesFrom {
  uint64_t before;
  explicit DeferMovesFrom(uint64_t n) : before(defer_moves_from.exchange(n)) {}
  ~DeferMovesFrom() { defer_moves_from.store(before); }
};

TEST_P(BTreeMove, MatchesRemoveThenInsertOnce) {
  for (uint64_t defer_from : {uint64_t{0}, ~uint64_t{0}}) {
    SCOPED_TRACE(defer_from ? "bitmaps changed at each move" : "bitmap changes deferred");
    DeferMovesFrom limit(defer_from);
    check_moves(GetParam());
  }
}

void check_moves(const MoveCase& c) {
  std::mt19937_64 rng(0x5EED0000 + c.entries);
  BitMapBTree moved, twin;
  std::vector<NumKey> key_of(c.entries);  // the first entry of each id
  for (uint32_t id = 0; id < c.entries; ++id) {
    key_of[id] = I(static_cast<int64_t>(rng() % static_cast<uint64_t>(c.spread)));
    for (BitMapBTree* t : {&moved, &twin}) {
      t->insert(key_of[id], id);
      if (c.two_every && id % c.two_every == 0) t->insert(F(-1.5), id);
      if (c.repeats && id % 7 == 0) t->insert(key_of[id], id);
    }
  }
  uint32_t last = 0;
  for (int step = 0; step < 4000; ++step) {
    // Now and then an id the tree has never held, moved from a key others
    // hold; now and then the id moved last again (its move still owed).
    const bool fresh = rng() % 16 == 0;
    const uint32_t id = fresh            ? c.entries + static_cast<uint32_t>(step)
                        : rng() % 8 == 0 ? last
                                         : static_cast<uint32_t>(rng() % c.entries);
    if (!fresh) last = id;
    // Mostly the id's own entry; sometimes a pair that is not held.
    const NumKey from = fresh ? key_of[rng() % c.entries] : rng() % 8 ? key_of[id] : I(c.spread + 5);
    const int64_t v = from.is_float ? static_cast<int64_t>(from.f) : from.i;
    NumKey to;
    switch (rng() % 6) {
      case 0: to = I(v + 1); break;      // the same leaf, usually
      case 1: to = I(-1 - step); break;  // below every key: lowers first keys
      case 2: to = I(c.spread + step); break;
      case 3: to = from; break;
      case 4: to = F(static_cast<double>(v)); break;  // the equal float
      default: to = I(static_cast<int64_t>(rng() % static_cast<uint64_t>(c.spread)));
    }
    const BitMapBTree::Moved got = moved.move(from, to, id);
    const bool removed = twin.remove(from, id);
    const bool added = twin.insert_once(to, id);
    ASSERT_EQ(got.removed, removed) << "step " << step;
    ASSERT_EQ(got.added, added) << "step " << step;
    if (removed && !fresh) key_of[id] = to;
    if (step % 40 == 0) {
      // Moves owe the slot bitmaps their changes; a range query answers the
      // owed ids from their entries, as the twin does from exact bitmaps.
      const int64_t a = static_cast<int64_t>(rng() % static_cast<uint64_t>(c.spread));
      const int64_t b = a + static_cast<int64_t>(rng() % static_cast<uint64_t>(c.spread));
      const Bound lo = rng() % 8 ? Inc(I(a)) : Bound::unbounded();
      const Bound hi = rng() % 8 ? Exc(F(static_cast<double>(b) + 0.5)) : Bound::unbounded();
      ASSERT_EQ(ids(moved.query_range_all(lo, hi)), ids(twin.query_range_all(lo, hi))) << "step " << step;
      Bitmap mask;
      for (uint32_t k = 0; k < c.entries; k += 3) mask.add(k);
      ASSERT_EQ(ids(moved.query_range(lo, hi, mask)), ids(twin.query_range(lo, hi, mask))) << "step " << step;
    }
    if (step % 250 == 0 || step == 3999) {
      // validate() checks every slot bitmap against the ids below it (but
      // for the ids owed); after a settle, for every id.
      ASSERT_NO_THROW(moved.validate()) << "step " << step;
      if (step % 500 == 0) {
        moved.settle();
        ASSERT_TRUE(moved.is_settled());
        ASSERT_NO_THROW(moved.validate()) << "step " << step;
      }
      ASSERT_EQ(moved.size(), twin.size());
      ASSERT_EQ(entries_of(moved), entries_of(twin)) << "step " << step;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, BTreeMove,
                         ::testing::Values(MoveCase{"from_a_leaf_root", 60, 1000, 0, false},
                                           MoveCase{"two_levels", 3000, 100000, 0, false},
                                           MoveCase{"three_levels", 30000, 1000000, 0, false},
                                           MoveCase{"crowded_keys", 30000, 300, 0, false},
                                           MoveCase{"ids_with_two_entries", 20000, 1000000, 5, false},
                                           MoveCase{"repeated_pairs", 20000, 1000000, 0, true}),
                         [](const ::testing::TestParamInfo<MoveCase>& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------------------
// Bulk insertion of sorted batches against one-by-one insert_once

struct BulkCase {
  const char* name;
  int numbers;        // 0: random_number; 1: ints and floats of equal value, +-0, +-inf, NaNs; 2: a few numbers
  uint32_t id_range;  // ids drawn from [1, id_range]
  size_t before;      // single insertions before the first batch
  size_t batch;       // largest batch (sizes vary from 1 up to it)
  double held;        // share of a batch taken from the entries held
  int rounds;
};

void PrintTo(const BulkCase& c, std::ostream* os) { *os << c.name; }

NumKey bulk_number(std::mt19937_64& rng, int family) {
  const double qnan = std::numeric_limits<double>::quiet_NaN();
  if (family == 0) return random_number(rng);
  if (family == 2) return rng() & 1 ? I(static_cast<int64_t>(rng() % 3)) : F(static_cast<double>(rng() % 3));
  switch (rng() % 8) {
    case 0: {
      static const NumKey edges[] = {F(qnan), F(-qnan), F(kInf), F(-kInf), F(0.0), F(-0.0), I(0)};
      return edges[rng() % std::size(edges)];
    }
    case 1: return F(static_cast<double>(rng() % 41) - 20.5);
    default: {
      const int64_t v = static_cast<int64_t>(rng() % 41) - 20;
      return rng() & 1 ? I(v) : F(static_cast<double>(v));
    }
  }
}

// Everything the two trees answer is the same.
void expect_same_answers(const BitMapBTree& bulk, const BitMapBTree& single, std::mt19937_64& rng,
                         const std::vector<NumKey>& numbers) {
  ASSERT_NO_THROW(bulk.validate());
  ASSERT_EQ(bulk.size(), single.size());
  const std::vector<Entry> all = entries_of(single);
  ASSERT_EQ(entries_of(bulk), all);
  auto bound = [&] {
    const NumKey k = numbers[rng() % numbers.size()];
    switch (rng() % 4) {
      case 0: return Inc(k);
      case 1: return Exc(k);
      case 2: return Unb();
      default: return Inc(random_number(rng));
    }
  };
  Bitmap half;
  for (Entry e : all)
    if (entry_id(e) % 2 == 0) half.add(entry_id(e));
  for (int q = 0; q < 40; ++q) {
    const Bound lo = bound(), hi = q % 5 == 0 ? lo : bound();
    ASSERT_EQ(bulk.query_range_all(lo, hi), single.query_range_all(lo, hi)) << "query " << q;
    ASSERT_EQ(bulk.query_range(lo, hi, half), single.query_range(lo, hi, half));
  }
  for (int m = 0; m < 40 && !all.empty(); ++m) {
    const Entry e = all[rng() % all.size()];
    const NumKey k = numbers[rng() % numbers.size()];
    ASSERT_EQ(bulk.multiplicity(key_of_entry(e), entry_id(e)), single.multiplicity(key_of_entry(e), entry_id(e)));
    ASSERT_EQ(bulk.multiplicity(k, entry_id(e)), single.multiplicity(k, entry_id(e)));
  }
}

class BTreeBulk : public ::testing::TestWithParam<BulkCase> {};

TEST_P(BTreeBulk, SortedBatchesMatchOneByOneInsertion) {
  const BulkCase& c = GetParam();
  std::mt19937_64 rng(0xB01C0000 + c.before + c.batch);
  BitMapBTree bulk, single;
  std::vector<NumKey> numbers;
  auto pair = [&] {
    const NumKey k = bulk_number(rng, c.numbers);
    numbers.push_back(k);
    return std::make_pair(k, 1 + static_cast<uint32_t>(rng() % c.id_range));
  };
  for (size_t i = 0; i < c.before; ++i) {
    const auto [k, id] = pair();
    ASSERT_EQ(bulk.insert_once(k, id), single.insert_once(k, id));
  }
  uint32_t max_depth = 0;
  for (int round = 0; round < c.rounds; ++round) {
    SCOPED_TRACE(std::string(c.name) + " round " + std::to_string(round));
    const size_t n = 1 + rng() % c.batch;
    const std::vector<Entry> held = entries_of(single);
    std::vector<Entry> batch;
    for (size_t i = 0; i < n; ++i) {
      if (!held.empty() && std::uniform_real_distribution<double>(0, 1)(rng) < c.held) {
        batch.push_back(held[rng() % held.size()]);
      } else {
        const auto [k, id] = pair();
        batch.push_back(make_entry(k, id));
      }
    }
    std::sort(batch.begin(), batch.end());
    batch.erase(std::unique(batch.begin(), batch.end()), batch.end());
    size_t expect_added = 0;
    for (Entry e : batch) expect_added += single.insert_once(key_of_entry(e), entry_id(e));
    ASSERT_EQ(bulk.insert_sorted_once(batch), expect_added);
    expect_same_answers(bulk, single, rng, numbers);
    // Later single changes meet the shapes the batch left.
    for (int i = 0; i < 30; ++i) {
      const auto [k, id] = pair();
      if (i % 3 == 0) {
        bulk.insert(k, id);
        single.insert(k, id);
      } else if (i % 3 == 1) {
        ASSERT_EQ(bulk.insert_once(k, id), single.insert_once(k, id));
      } else {
        const Entry e = held.empty() ? make_entry(k, id) : held[rng() % held.size()];
        ASSERT_EQ(bulk.remove(key_of_entry(e), entry_id(e)), single.remove(key_of_entry(e), entry_id(e)));
      }
    }
    expect_same_answers(bulk, single, rng, numbers);
    max_depth = std::max(max_depth, bulk.depth());
  }
  if (single.size() > 20000) {
    EXPECT_GE(max_depth, 3u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BTreeBulk,
    ::testing::Values(BulkCase{"small batches, small tree", 0, 1000, 0, 60, 0.2, 40},
                      BulkCase{"batches splitting leaves many times", 0, 1u << 20, 0, 40000, 0.0, 4},
                      BulkCase{"into a tree built one by one", 0, 5000, 20000, 20000, 0.3, 4},
                      BulkCase{"mostly held", 0, 2000, 5000, 3000, 0.9, 6},
                      BulkCase{"few numbers, many ids each", 2, 100000, 500, 30000, 0.1, 4},
                      BulkCase{"equal codes, zeros, infinities, NaNs", 1, 3000, 300, 8000, 0.2, 6},
                      BulkCase{"ids with many numbers", 0, 40, 200, 5000, 0.1, 5},
                      BulkCase{"a few entries per leaf of a deep tree", 0, 50000, 30000, 2500, 0.0, 4}),
    [](const ::testing::TestParamInfo<BulkCase>& p) { return "Case" + std::to_string(p.index); });

// A batch that passes one slot of the root and then meets a full child in the
// next: what the first slot is owed must reach its bitmap before the slots move.
TEST(BTreeBulkShape, FullChildAfterAnotherSlot) {
  BitMapBTree bulk, single;
  InternalNode* root = nullptr;
  for (int64_t v = 0;; ++v) {
    bulk.insert(I(v), static_cast<uint32_t>(v));
    single.insert(I(v), static_cast<uint32_t>(v));
    root = TA::root(bulk).internal();
    if (bulk.depth() == 3 && root->child(root->count() - 1)->internal()->count() >= kFullCount) break;
  }
  const double v = key_to_double(root->key(root->count() - 1));
  const std::vector<Entry> batch = {make_entry(F(v - 0.5), 1u << 20), make_entry(F(v + 0.5), (1u << 20) + 1)};
  for (Entry e : batch) single.insert_once(key_of_entry(e), entry_id(e));
  ASSERT_EQ(bulk.insert_sorted_once(batch), 2u);
  ASSERT_NO_THROW(bulk.validate());
  EXPECT_EQ(entries_of(bulk), entries_of(single));
  EXPECT_EQ(bulk.query_range_all(Inc(F(v - 1)), Exc(F(v))), single.query_range_all(Inc(F(v - 1)), Exc(F(v))));
}

// A failed allocation anywhere in a bulk insertion leaves a valid tree holding
// the batch up to some entry; the same call again finishes the work.
TEST(BTreeBulkFailure, InjectedFailuresLeaveAPrefixAndAValidTree) {
  if (!memory::injection_available()) GTEST_SKIP() << "needs a checked build";
  std::mt19937_64 rng(0xFA11);
  std::vector<std::pair<NumKey, uint32_t>> before;
  for (int i = 0; i < 3000; ++i) before.emplace_back(random_number(rng), 1 + static_cast<uint32_t>(rng() % 700));
  std::vector<Entry> batch;
  for (int i = 0; i < 12000; ++i)
    batch.push_back(make_entry(random_number(rng), 1 + static_cast<uint32_t>(rng() % 5000)));
  for (size_t i = 0; i < before.size(); i += 3) batch.push_back(make_entry(before[i].first, before[i].second));
  std::sort(batch.begin(), batch.end());
  batch.erase(std::unique(batch.begin(), batch.end()), batch.end());

  BitMapBTree want;
  for (const auto& [k, id] : before) want.insert_once(k, id);
  const std::vector<Entry> initial = entries_of(want);
  for (Entry e : batch) want.insert_once(key_of_entry(e), entry_id(e));
  const std::vector<Entry> full = entries_of(want);

  int failures = 0;
  for (uint64_t at = 1;; at += at < 40 ? 1 : at / 4) {
    SCOPED_TRACE("failing allocation " + std::to_string(at));
    BitMapBTree t;
    for (const auto& [k, id] : before) t.insert_once(k, id);
    memory::arm_failure(at);
    bool failed = false;
    try {
      t.insert_sorted_once(batch);
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    memory::arm_failure(0);
    ASSERT_NO_THROW(t.validate());
    if (failed) {
      ++failures;
      // What was added is the batch's entries below some point, less those held.
      std::vector<Entry> got = entries_of(t), gained;
      std::set_difference(got.begin(), got.end(), initial.begin(), initial.end(), std::back_inserter(gained));
      const auto end = gained.empty() ? batch.begin() : std::upper_bound(batch.begin(), batch.end(), gained.back());
      std::vector<Entry> prefix;
      std::set_difference(batch.begin(), end, initial.begin(), initial.end(), std::back_inserter(prefix));
      ASSERT_EQ(gained, prefix);
      t.insert_sorted_once(batch);
      ASSERT_NO_THROW(t.validate());
    }
    ASSERT_EQ(entries_of(t), full);
    ASSERT_EQ(t.size(), want.size());
    ASSERT_EQ(t.query_range_all(Inc(I(-1000)), Inc(I(1000))), want.query_range_all(Inc(I(-1000)), Inc(I(1000))));
    if (!failed) break;
  }
  EXPECT_GT(failures, 12);  // leaf cuts, node splits, slot bitmaps and the counts all fail once
}

// A settle cut short by a failed allocation leaves the owed ids' bitmaps part
// old, part new; moving those ids again, and settling, must still end with
// every bitmap exact and the answers of a tree that never deferred.
TEST(BTreeSettleFailure, MovesAfterASettleCutShortEndExact) {
  if (!memory::injection_available()) GTEST_SKIP() << "needs a checked build";
  DeferMovesFrom limit(0);
  int failures = 0;
  for (uint64_t at = 1;; at += at < 20 ? 1 : at / 3) {
    SCOPED_TRACE("failing allocation " + std::to_string(at));
    std::mt19937_64 rng(0x5E771E);
    BitMapBTree t, twin;
    std::vector<int64_t> key(30000);
    for (uint32_t id = 0; id < key.size(); ++id) {
      key[id] = static_cast<int64_t>(rng() % 1000000);
      t.insert(I(key[id]), id);
      twin.insert(I(key[id]), id);
    }
    auto move = [&](uint32_t id) {
      const int64_t to = static_cast<int64_t>(rng() % 1000000);
      t.move(I(key[id]), I(to), id);
      twin.remove(I(key[id]), id);
      twin.insert_once(I(to), id);
      key[id] = to;
    };
    for (uint32_t id = 0; id < 1500; ++id) move(id);
    memory::arm_failure(at);
    bool failed = false;
    try {
      t.settle();
    } catch (const std::bad_alloc&) {
      failed = true;
    }
    memory::arm_failure(0);
    ASSERT_NO_THROW(t.validate());
    for (uint32_t id = 0; id < 1500; id += 7) move(id);
    t.settle();
    ASSERT_NO_THROW(t.validate());
    for (int64_t lo = 0; lo < 1000000; lo += 125000)
      ASSERT_EQ(t.query_range_all(Inc(I(lo)), Exc(I(lo + 200000))),
                twin.query_range_all(Inc(I(lo)), Exc(I(lo + 200000))));
    failures += failed;
    if (!failed) break;
  }
  EXPECT_GT(failures, 3);
}

}  // namespace
}  // namespace zarvex

// Sweeping ids out (remove_ids) leaves what removing each of their pairs one
// by one leaves: over full leaves (ascending and descending fills), over a
// tall random tree with ids holding several numbers, repeated pairs and
// NaNs; and after a failed allocation anywhere in the pass, the same call
// again finishes the work.
namespace zarvex {
namespace {

struct SweepCase {
  const char* name;
  std::function<void(BitMapBTree&, std::mt19937_64&)> fill;
};

// One id in `one_in` goes (few: full leaves keep more than a split leaves).
void sweep_and_compare(const SweepCase& c, uint64_t fail_at, uint64_t one_in) {
  std::mt19937_64 rng(0x5EE9);
  BitMapBTree t, want;
  c.fill(t, rng);
  std::mt19937_64 same(0x5EE9);
  c.fill(want, same);
  Bitmap dead;
  for (uint32_t id = 0; id < 3000; ++id)
    if (rng() % one_in == 0) dead.add(id);
  uint64_t want_nans = 0;
  for (Entry e : entries_of(want)) {
    if (!dead.contains(entry_id(e))) continue;
    while (want.remove(key_of_entry(e), entry_id(e))) want_nans += std::isnan(key_to_double(e));
  }
  const IdSieve sieve(dead);
  uint64_t nans = 0;
  memory::arm_failure(fail_at);
  try {
    t.remove_ids(sieve, nans);
  } catch (const std::bad_alloc&) {
    memory::arm_failure(0);
    t.remove_ids(sieve, nans);
  }
  memory::arm_failure(0);
  ASSERT_NO_THROW(t.validate());
  EXPECT_EQ(entries_of(t), entries_of(want));
  EXPECT_EQ(t.size(), want.size());
  EXPECT_EQ(nans, want_nans);
  for (int64_t lo = -50; lo < 4000; lo += 397)
    EXPECT_EQ(t.query_range_all(Inc(I(lo)), Inc(I(lo + 700))), want.query_range_all(Inc(I(lo)), Inc(I(lo + 700))));
  EXPECT_EQ(t.query_range_all(Unb(), Unb()), want.query_range_all(Unb(), Unb()));
}

const SweepCase kSweepCases[] = {
    {"ascending",
     [](BitMapBTree& t, std::mt19937_64&) {
       for (int64_t v = 0; v < 3000; ++v) t.insert(I(v), static_cast<uint32_t>(v));
     }},
    {"descending",
     [](BitMapBTree& t, std::mt19937_64&) {
       for (int64_t v = 3000; v-- > 0;) t.insert(F(static_cast<double>(v)), static_cast<uint32_t>(v));
     }},
    {"random",
     [](BitMapBTree& t, std::mt19937_64& rng) {
       for (int i = 0; i < 20000; ++i) {
         const uint32_t id = static_cast<uint32_t>(rng() % 3000);
         const NumKey k = rng() % 50 == 0 ? F(std::nan("")) : I(static_cast<int64_t>(rng() % 4000));
         t.insert(k, id);
         if (rng() % 20 == 0) t.insert(k, id);  // a repeated pair
       }
     }},
};

TEST(BTreeSweep, MatchesRemovingEachPairOfTheIds) {
  for (const SweepCase& c : kSweepCases) {
    SCOPED_TRACE(c.name);
    for (uint64_t one_in : {3, 40}) sweep_and_compare(c, 0, one_in);
  }
}

TEST(BTreeSweep, InjectedFailuresAreFinishedByTheSameCallAgain) {
  if (!memory::injection_available()) GTEST_SKIP() << "needs a checked build";
  for (const SweepCase& c : kSweepCases) {
    for (uint64_t at = 1; at < 400; at += at < 20 ? 1 : at / 3) {
      SCOPED_TRACE(std::string(c.name) + ", failing allocation " + std::to_string(at));
      sweep_and_compare(c, at, 3);
    }
  }
}

}  // namespace
}  // namespace zarvex
