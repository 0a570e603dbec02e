// NumIndex against a BitMapBTree fed the same pairs: every range query and
// the iteration order must agree, before and after the run turns into a
// tree, and entries must give back the numbers they were made from; sweeping
// some ids out at once must leave what removing their pairs one by one does.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "index/core/query/b_tree/num_index.hpp"

namespace zarvex {
namespace {

NumKey random_key(std::mt19937_64& rng) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  static const double specials[] = {0.0, -0.0, 1.5, -2.25, 1e300, -1e-300, kInf, -kInf, std::nan("")};
  switch (rng() % 4) {
    case 0: return NumKey::of_int(static_cast<int64_t>(rng() % 20) - 10);
    case 1: return NumKey::of_int(static_cast<int64_t>(rng()));
    case 2: return NumKey::of_float(static_cast<double>(rng() % 20) - 10.0);
    default: return NumKey::of_float(specials[rng() % std::size(specials)]);
  }
}

Bound random_bound(std::mt19937_64& rng) {
  switch (rng() % 3) {
    case 0: return Bound::included(random_key(rng));
    case 1: return Bound::excluded(random_key(rng));
    default: return Bound::unbounded();
  }
}

std::vector<Entry> entries_of(const auto& index) {
  std::vector<Entry> out;
  index.for_each([&](Entry e) { out.push_back(e); });
  return out;
}

// Keyed limits: the default (run -> keyed), one the steps cross (run ->
// keyed -> tree) and one the run's overflow already exceeds (run -> tree).
class NumIndexForms : public testing::TestWithParam<uint32_t> {};
INSTANTIATE_TEST_SUITE_P(KeyedLimits, NumIndexForms, testing::Values(NumIndex::kKeyedMax, 48u, 8u));

TEST_P(NumIndexForms, MatchesTheTreeAcrossEveryChangeOfForm) {
  const uint32_t keyed_max = GetParam();
  for (uint64_t seed : {1u, 2u, 3u, 4u}) {
    std::mt19937_64 rng(seed);
    NumIndex small(keyed_max);
    bool was_keyed = false;
    BitMapBTree ref;
    Bitmap all, some, none;
    for (uint32_t id = 0; id < 64; ++id) {
      all.add(id);
      if (rng() % 4) some.add(id);
    }
    const Bitmap* masks[] = {&all, &some, &none};
    for (int step = 0; step < 600; ++step) {
      const NumKey k = random_key(rng);
      const uint32_t id = static_cast<uint32_t>(rng() % 64);
      ASSERT_EQ(make_entry(key_of_entry(make_entry(k, id)), id), make_entry(k, id));
      if (step % 40 == 39) {
        // A sorted batch, as bulk filing hands it over.
        std::vector<Entry> batch;
        for (int n = 0; n < 24; ++n) batch.push_back(make_entry(random_key(rng), static_cast<uint32_t>(rng() % 64)));
        std::sort(batch.begin(), batch.end());
        batch.erase(std::unique(batch.begin(), batch.end()), batch.end());
        size_t fresh = 0;
        for (Entry e : batch) {
          if (ref.multiplicity(key_of_entry(e), entry_id(e)) == 0) {
            ref.insert(key_of_entry(e), entry_id(e));
            ++fresh;
          }
        }
        ASSERT_EQ(small.insert_sorted_once(batch), fresh);
      } else if (step % 50 == 49) {
        // Every pair of some ids at once (objects swept out of an index),
        // against the same pairs removed one by one.
        Bitmap dead;
        for (uint32_t d = 0; d < 64; ++d)
          if (rng() % 5 == 0) dead.add(d);
        uint64_t want_nans = 0, got_nans = 0;
        for (Entry e : entries_of(ref)) {
          if (!dead.contains(entry_id(e))) continue;
          want_nans += std::isnan(key_to_double(e));
          ASSERT_TRUE(ref.remove(key_of_entry(e), entry_id(e)));
        }
        small.remove_ids(IdSieve(dead), got_nans);
        ASSERT_EQ(got_nans, want_nans);
      } else if (rng() % 3) {
        const bool fresh = ref.multiplicity(k, id) == 0;
        if (fresh) ref.insert(k, id);
        ASSERT_EQ(small.insert_once(k, id), fresh);
      } else {
        ASSERT_EQ(small.remove(k, id), ref.remove(k, id));
      }
      small.validate();
      ASSERT_EQ(small.is_empty(), ref.is_empty());
      ASSERT_EQ(entries_of(small), entries_of(ref)) << "seed " << seed << " step " << step;
      was_keyed |= small.form() == NumIndex::Form::Keyed;
      for (const Bitmap* mask : masks) {
        const Bound lo = random_bound(rng), hi = random_bound(rng);
        const Bitmap got = small.query_range(lo, hi, *mask), want = ref.query_range(lo, hi, *mask);
        ASSERT_EQ(got, want);
        // Equality: the ids of 3 and 3.0 together, whatever the form.
        const Bound eq = Bound::included(random_key(rng));
        const Bitmap equal = ref.query_range(eq, eq, all);
        Bitmap acc = *mask;
        small.and_equal_into(eq.value, acc);
        ASSERT_EQ(acc, Bitmap::and_(equal, *mask));
        ASSERT_GE(small.equal_count(eq.value), equal.cardinality());
      }
    }
    EXPECT_NE(small.form(), NumIndex::Form::Run) << "the run never outgrew itself; raise the step count";
    EXPECT_EQ(small.form() == NumIndex::Form::Tree, keyed_max < NumIndex::kKeyedMax);
    EXPECT_EQ(was_keyed, keyed_max > 8) << "forms taken";
  }
}

}  // namespace
}  // namespace zarvex
