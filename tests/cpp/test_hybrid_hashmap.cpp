// Tests of the attribute map: the small-to-hashed switch at the ninth key,
// replacement, order, absent keys, value release, and a random differential
// run against std::map.
#include <bit>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "index/hybrid_hashmap.hpp"
#include "support/internal_failure.hpp"

namespace zarvex {
namespace {

using Map = HybridHashmap<uint32_t, std::string>;

std::string value_for(uint32_t key, int version = 0) {
  std::string s = "value-";  // long enough to live on the heap
  s += std::to_string(key);
  s += '-';
  s += std::to_string(version);
  s.append(24, '.');
  return s;
}

std::vector<uint32_t> keys_of(const Map& m) {
  std::vector<uint32_t> out;
  for (uint32_t k : m.keys()) out.push_back(k);
  return out;
}

TEST(HybridHashmap, NinthDistinctKeySwitchesToHashed) {
  Map m;
  EXPECT_TRUE(m.is_small());
  for (uint32_t k = 1; k <= 8; ++k) {
    m.insert(k, value_for(k));
    m.validate();
    EXPECT_TRUE(m.is_small()) << "after key " << k;
    EXPECT_EQ(m.size(), k);
  }
  m.insert(9, value_for(9));
  m.validate();
  EXPECT_FALSE(m.is_small());
  EXPECT_EQ(m.size(), 9u);
  for (uint32_t k = 1; k <= 9; ++k) {
    ASSERT_NE(m.get(k), nullptr) << k;
    EXPECT_EQ(*m.get(k), value_for(k));
  }
  // Growing well past the pre-sized 16 entries keeps everything reachable.
  for (uint32_t k = 10; k <= 100; ++k) m.insert(k * 977, value_for(k));
  m.validate();
  EXPECT_EQ(m.size(), 100u);
  for (uint32_t k = 1; k <= 9; ++k) EXPECT_EQ(*m.get(k), value_for(k));
  for (uint32_t k = 10; k <= 100; ++k) EXPECT_EQ(*m.get(k * 977), value_for(k));
}

TEST(HybridHashmap, ReinsertReplacesWithoutAddingOrSwitching) {
  Map m;
  for (uint32_t k = 1; k <= 5; ++k) m.insert(k, value_for(k));
  m.insert(3, value_for(3, 1));
  m.validate();
  EXPECT_EQ(m.size(), 5u);
  EXPECT_EQ(*m.get(3), value_for(3, 1));
  EXPECT_EQ(keys_of(m), (std::vector<uint32_t>{1, 2, 3, 4, 5}));

  for (uint32_t k = 6; k <= 8; ++k) m.insert(k, value_for(k));
  for (uint32_t k : {8u, 1u, 5u}) {
    m.insert(k, value_for(k, 2));
    m.validate();
    EXPECT_TRUE(m.is_small()) << "re-inserting key " << k << " at 8 pairs switched the form";
    EXPECT_EQ(m.size(), 8u);
    EXPECT_EQ(*m.get(k), value_for(k, 2));
  }
  EXPECT_EQ(keys_of(m), (std::vector<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));

  m.insert(40, value_for(40));
  m.insert(3, value_for(3, 3));
  m.validate();
  EXPECT_FALSE(m.is_small());
  EXPECT_EQ(m.size(), 9u);
  EXPECT_EQ(*m.get(3), value_for(3, 3));
}

TEST(HybridHashmap, SmallFormKeepsInsertionOrder) {
  const std::vector<uint32_t> order = {70, 3, 41, 8, 0, 4000000000u, 12, 5};
  Map m;
  for (uint32_t k : order) m.insert(k, value_for(k));
  EXPECT_EQ(keys_of(m), order);
  std::vector<uint32_t> seen;
  m.for_each([&](const uint32_t& k, const std::string& v) {
    seen.push_back(k);
    EXPECT_EQ(v, value_for(k));
  });
  EXPECT_EQ(seen, order);
  seen.clear();
  for (auto [k, v] : m.iter()) {
    seen.push_back(k);
    EXPECT_EQ(v, value_for(k));
  }
  EXPECT_EQ(seen, order);
}

// Absent keys answer nothing in the empty, small, full-small and hashed forms.
TEST(HybridHashmap, AbsentKeysInEveryForm) {
  for (uint32_t n : {0u, 1u, 8u, 9u, 40u}) {
    Map m;
    for (uint32_t k = 0; k < n; ++k) m.insert(2 * k, value_for(k));
    EXPECT_EQ(m.is_small(), n <= 8);
    const Map& cm = m;
    for (uint32_t k = 0; k < 2 * n + 4; ++k) {
      const bool present = k % 2 == 0 && k / 2 < n;
      EXPECT_EQ(m.get(k) != nullptr, present) << "n " << n << " key " << k;
      EXPECT_EQ(cm.get(k) != nullptr, present) << "n " << n << " key " << k;
    }
    EXPECT_EQ(m.get(UINT32_MAX), nullptr);
  }
}

TEST(HybridHashmap, GetGivesMutableAccessInBothForms) {
  for (uint32_t n : {3u, 12u}) {
    Map m;
    for (uint32_t k = 0; k < n; ++k) m.insert(k, value_for(k));
    *m.get(1) = "changed";
    EXPECT_EQ(*m.get(1), "changed");
    EXPECT_EQ(m.size(), n);
  }
}

// ---------------------------------------------------------------------------
// Release of values: every value the map took is released exactly once,
// whether it was replaced, moved into the hashed form or dropped with the map.

struct Registry {
  std::map<int, int> released;  // token -> times released
  int created = 0;
};
Registry* registry = nullptr;

class Tracked {
 public:
  explicit Tracked(int token) : token_(token) { ++registry->created; }
  Tracked(Tracked&& o) noexcept : token_(std::exchange(o.token_, 0)) {}
  Tracked& operator=(Tracked&& o) noexcept {
    if (this != &o) {
      release();
      token_ = std::exchange(o.token_, 0);
    }
    return *this;
  }
  Tracked(const Tracked&) = delete;
  Tracked& operator=(const Tracked&) = delete;
  ~Tracked() { release(); }
  int token() const { return token_; }

 private:
  void release() {
    if (token_ != 0) ++registry->released[token_];
    token_ = 0;
  }
  int token_;
};

class HybridHashmapRelease : public ::testing::Test {
 protected:
  void SetUp() override { registry = &reg_; }
  void TearDown() override { registry = nullptr; }
  int released(int token) const {
    auto it = reg_.released.find(token);
    return it == reg_.released.end() ? 0 : it->second;
  }
  size_t released_count() const { return reg_.released.size(); }
  Registry reg_;
};

TEST_F(HybridHashmapRelease, EachValueReleasedExactlyOnce) {
  {
    HybridHashmap<uint32_t, Tracked> m;
    for (uint32_t k = 1; k <= 8; ++k) m.insert(k, Tracked(static_cast<int>(k)));
    EXPECT_EQ(released_count(), 0u);

    m.insert(3, Tracked(103));  // replace while small
    EXPECT_EQ(released(3), 1);
    EXPECT_EQ(released_count(), 1u);
    EXPECT_EQ(m.get(3)->token(), 103);

    m.insert(9, Tracked(9));  // switch: moves values, releases none
    ASSERT_FALSE(m.is_small());
    EXPECT_EQ(released_count(), 1u);
    for (uint32_t k = 1; k <= 9; ++k) EXPECT_EQ(m.get(k)->token(), k == 3 ? 103 : static_cast<int>(k));

    m.insert(5, Tracked(105));  // replace while hashed
    EXPECT_EQ(released(5), 1);
    EXPECT_EQ(released_count(), 2u);
    EXPECT_EQ(m.get(5)->token(), 105);
    m.validate();
  }
  EXPECT_EQ(reg_.created, 11);
  EXPECT_EQ(released_count(), 11u);
  for (const auto& [token, times] : reg_.released) EXPECT_EQ(times, 1) << "token " << token;
}

TEST_F(HybridHashmapRelease, SmallMapDropsItsValuesOnce) {
  {
    HybridHashmap<uint32_t, Tracked> m;
    for (uint32_t k = 1; k <= 4; ++k) m.insert(k, Tracked(static_cast<int>(k)));
    m.insert(2, Tracked(20));
    m.insert(2, Tracked(21));
  }
  EXPECT_EQ(reg_.created, 6);
  EXPECT_EQ(released_count(), 6u);
  for (const auto& [token, times] : reg_.released) EXPECT_EQ(times, 1) << "token " << token;
}

// ---------------------------------------------------------------------------
// Random operations mirrored into std::map (and the insertion order), checked
// after every step.

TEST(HybridHashmap, MatchesModelUnderRandomInserts) {
  for (uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
    std::mt19937 rng(seed);
    const uint32_t key_range = 6 + seed * 4;  // some runs never reach 9 keys
    Map m;
    std::map<uint32_t, std::string> model;
    std::vector<uint32_t> order;
    for (int step = 0; step < 120; ++step) {
      const auto k = static_cast<uint32_t>(rng() % key_range);
      const std::string v = value_for(k, step);
      if (!model.count(k)) order.push_back(k);
      model[k] = v;
      m.insert(k, v);
      m.validate();
      ASSERT_EQ(m.size(), model.size()) << "seed " << seed << " step " << step;
      ASSERT_EQ(m.is_small(), model.size() <= 8) << "seed " << seed << " step " << step;
      for (uint32_t q = 0; q <= key_range; ++q) {
        auto it = model.find(q);
        const std::string* got = m.get(q);
        if (it == model.end()) {
          ASSERT_EQ(got, nullptr) << "seed " << seed << " key " << q;
        } else {
          ASSERT_NE(got, nullptr) << "seed " << seed << " key " << q;
          ASSERT_EQ(*got, it->second);
        }
      }
      std::map<uint32_t, std::string> walked;
      for (auto [wk, wv] : m.iter()) ASSERT_TRUE(walked.emplace(wk, wv).second) << "key walked twice";
      ASSERT_EQ(walked, model);
      if (m.is_small()) {
        ASSERT_EQ(keys_of(m), order);
      }
    }
  }
}

TEST(HybridHashmap, WideKeysAndTheFixedHasher) {
  for (uint32_t k : {0u, 1u, 2u, 0x12345678u, UINT32_MAX})
    EXPECT_EQ(MulKeyHash<uint32_t>{}(k), std::rotl(static_cast<uint32_t>(k * 0x93D765DDu), 15)) << k;

  HybridHashmap<uint64_t, int> m;
  for (uint64_t i = 0; i < 12; ++i) m.insert((i << 32) | 7, static_cast<int>(i));
  m.validate();
  EXPECT_FALSE(m.is_small());
  for (uint64_t i = 0; i < 12; ++i) EXPECT_EQ(*m.get((i << 32) | 7), static_cast<int>(i));
  EXPECT_EQ(m.get(7 + (12ull << 32)), nullptr);
  EXPECT_EQ(m.get(8), nullptr);
}

}  // namespace
}  // namespace zarvex
