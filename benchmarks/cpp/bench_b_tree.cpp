// BitMapBTree microbenchmarks: building from 1,000,000 random (number, id)
// pairs, removing them all (ids shared by several numbers, and one id per
// number), moving single entries to new numbers (a number written over a
// number), filing a sorted batch one by one and in bulk, and range queries of
// 0.1 %, 1 % and 10 %
// selectivity with a full mask, against a sorted std::vector of (number, id)
// answering the same queries by binary search plus scan, and by a full scan.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include <benchmark/benchmark.h>

#include "index/core/query/b_tree/ranged_b_tree.hpp"

namespace zarvex {
namespace {

constexpr size_t kPairs = 1'000'000;
constexpr uint32_t kIds = 1'000'000;
constexpr double kDomain = 1e9;  // numbers are uniform in [0, kDomain)

struct Pair {
  NumKey key;
  uint32_t id;
  double value;
};

// Half integers, half non-integral floats; ids uniform, so an id may hold
// several numbers.
const std::vector<Pair>& pairs() {
  static const std::vector<Pair> p = [] {
    std::mt19937_64 rng(12345);
    std::vector<Pair> out;
    out.reserve(kPairs);
    for (size_t i = 0; i < kPairs; ++i) {
      const int64_t v = static_cast<int64_t>(rng() % static_cast<uint64_t>(kDomain));
      const uint32_t id = 1 + static_cast<uint32_t>(rng() % kIds);
      if (i % 2 == 0)
        out.push_back(Pair{NumKey::of_int(v), id, static_cast<double>(v)});
      else
        out.push_back(Pair{NumKey::of_float(static_cast<double>(v) + 0.25), id, static_cast<double>(v) + 0.25});
    }
    return out;
  }();
  return p;
}

const std::vector<size_t>& removal_order() {
  static const std::vector<size_t> order = [] {
    std::vector<size_t> o(kPairs);
    std::iota(o.begin(), o.end(), size_t{0});
    std::shuffle(o.begin(), o.end(), std::mt19937_64(777));
    return o;
  }();
  return order;
}

void fill(BitMapBTree& t) {
  for (const Pair& p : pairs()) t.insert(p.key, p.id);
}

// The same numbers, each under an id of its own (one number per object).
void fill_unique_ids(BitMapBTree& t) {
  const auto& p = pairs();
  for (size_t i = 0; i < p.size(); ++i) t.insert(p[i].key, static_cast<uint32_t>(i + 1));
}

const BitMapBTree& built_tree() {
  static const BitMapBTree* t = [] {
    auto* tree = new BitMapBTree();
    fill(*tree);
    return tree;
  }();
  return *t;
}

using SortedPairs = std::vector<std::pair<double, uint32_t>>;
const SortedPairs& sorted_pairs() {
  static const SortedPairs v = [] {
    SortedPairs out;
    out.reserve(kPairs);
    for (const Pair& p : pairs()) out.emplace_back(p.value, p.id);
    std::sort(out.begin(), out.end());
    return out;
  }();
  return v;
}

const Bitmap& full_mask() {
  static const Bitmap m = [] {
    std::vector<uint32_t> all(kIds + 1);
    std::iota(all.begin(), all.end(), 0u);
    return Bitmap(std::span<const uint32_t>(all));
  }();
  return m;
}

// Lower ends of the query ranges; the range is [lo, lo + width).
std::vector<double> query_starts(double width) {
  std::mt19937_64 rng(99);
  std::uniform_real_distribution<double> d(0, kDomain - width);
  std::vector<double> out(256);
  for (double& x : out) x = d(rng);
  return out;
}

double width_of(const benchmark::State& state) { return kDomain * static_cast<double>(state.range(0)) / 1000.0; }

void BM_BTreeInsert(benchmark::State& state) {
  pairs();
  for (auto _ : state) {
    BitMapBTree t;
    fill(t);
    benchmark::DoNotOptimize(t.size());
    state.PauseTiming();
    {
      BitMapBTree drop(std::move(t));  // freeing is not part of the figure
    }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPairs));
}
BENCHMARK(BM_BTreeInsert)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_BTreeRemove(benchmark::State& state) {
  const auto& order = removal_order();
  const auto& p = pairs();
  for (auto _ : state) {
    state.PauseTiming();
    BitMapBTree t;
    fill(t);
    state.ResumeTiming();
    for (size_t i : order) benchmark::DoNotOptimize(t.remove(p[i].key, p[i].id));
    state.PauseTiming();
    if (!t.is_empty()) state.SkipWithError("tree not empty after removing every pair");
    { BitMapBTree drop(std::move(t)); }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPairs));
}
BENCHMARK(BM_BTreeRemove)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_BTreeRemoveUniqueIds(benchmark::State& state) {
  const auto& order = removal_order();
  const auto& p = pairs();
  for (auto _ : state) {
    state.PauseTiming();
    BitMapBTree t;
    fill_unique_ids(t);
    state.ResumeTiming();
    for (size_t i : order) benchmark::DoNotOptimize(t.remove(p[i].key, static_cast<uint32_t>(i + 1)));
    state.PauseTiming();
    if (!t.is_empty()) state.SkipWithError("tree not empty after removing every pair");
    { BitMapBTree drop(std::move(t)); }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPairs));
}
BENCHMARK(BM_BTreeRemoveUniqueIds)->Unit(benchmark::kMillisecond)->Iterations(3);

// A number written over a number: 200,000 moves of random objects (one
// number each, as an attribute write files it) to new random numbers.
void BM_BTreeMove(benchmark::State& state) {
  const auto& p = pairs();
  BitMapBTree t;
  fill_unique_ids(t);
  std::vector<NumKey> now(p.size());
  for (size_t i = 0; i < p.size(); ++i) now[i] = p[i].key;
  std::mt19937_64 rng(4242);
  constexpr size_t kMoves = 200'000;
  std::vector<std::pair<size_t, NumKey>> moves(kMoves);
  for (auto& [i, to] : moves) {
    i = rng() % p.size();
    to = NumKey::of_int(static_cast<int64_t>(rng() % static_cast<uint64_t>(kDomain)));
  }
  for (auto _ : state) {
    for (auto& [i, to] : moves) {
      const NumKey from = now[i];
      benchmark::DoNotOptimize(t.move(from, to, static_cast<uint32_t>(i + 1)));
      now[i] = to;
      to = from;  // the next round moves it back
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kMoves));
}
BENCHMARK(BM_BTreeMove)->Unit(benchmark::kMillisecond)->Iterations(4);

// A sorted batch of n entries, one per id (1..n): integers uniform in
// [0, 1,000,000), or floats uniform in [0, 1,000,000).
std::vector<Entry> sorted_batch(size_t n, bool floats) {
  std::mt19937_64 rng(4242);
  std::vector<Entry> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const uint32_t id = static_cast<uint32_t>(i + 1);
    if (floats)
      out.push_back(make_entry(NumKey::of_float(std::uniform_real_distribution<double>(0, 1e6)(rng)), id));
    else
      out.push_back(make_entry(NumKey::of_int(static_cast<int64_t>(rng() % 1'000'000)), id));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Arguments: batch size, floats (0/1), bulk (0: insert_once per entry, 1:
// insert_sorted_once), and entries held before (a tree filed with another
// batch of that many, ids above the batch's).
void BM_BTreeFileSorted(benchmark::State& state) {
  const size_t n = static_cast<size_t>(state.range(0));
  const bool floats = state.range(1) != 0, bulk = state.range(2) != 0;
  const size_t before = static_cast<size_t>(state.range(3));
  const std::vector<Entry> batch = sorted_batch(n, floats);
  std::vector<Entry> held = sorted_batch(before, floats);
  for (Entry& e : held) e += n;  // other ids
  for (auto _ : state) {
    state.PauseTiming();
    BitMapBTree t;
    t.insert_sorted_once(held);
    state.ResumeTiming();
    if (bulk) {
      benchmark::DoNotOptimize(t.insert_sorted_once(batch));
    } else {
      for (Entry e : batch)
        benchmark::DoNotOptimize(t.insert_once(
            entry_is_float(e) ? NumKey::of_float(key_to_double(e)) : NumKey::of_int(key_code_to_int(entry_key(e))),
            entry_id(e)));
    }
    state.PauseTiming();
    if (t.size() != n + before) state.SkipWithError("entries missing");
    { BitMapBTree drop(std::move(t)); }
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_BTreeFileSorted)
    ->ArgsProduct({{100'000, 1'000'000}, {0, 1}, {0, 1}, {0}})
    ->ArgsProduct({{100'000}, {0, 1}, {0, 1}, {1'000'000}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

void BM_SortedVectorBuild(benchmark::State& state) {
  pairs();
  for (auto _ : state) {
    SortedPairs v;
    v.reserve(kPairs);
    for (const Pair& p : pairs()) v.emplace_back(p.value, p.id);
    std::sort(v.begin(), v.end());
    benchmark::DoNotOptimize(v.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kPairs));
}
BENCHMARK(BM_SortedVectorBuild)->Unit(benchmark::kMillisecond)->Iterations(3);

// Arguments: selectivity in thousandths (1 = 0.1 %, 10 = 1 %, 100 = 10 %).
void BM_BTreeQuery(benchmark::State& state) {
  const BitMapBTree& t = built_tree();
  const Bitmap& mask = full_mask();
  const double width = width_of(state);
  const auto starts = query_starts(width);
  size_t i = 0;
  uint64_t hits = 0;
  for (auto _ : state) {
    const double lo = starts[i++ % starts.size()];
    Bitmap r =
        t.query_range(Bound::included(NumKey::of_float(lo)), Bound::excluded(NumKey::of_float(lo + width)), mask);
    hits += r.cardinality();
    benchmark::DoNotOptimize(r);
  }
  state.counters["ids_per_query"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_BTreeQuery)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

// The same queries with a mask holding every hundredth id.
void BM_BTreeQuerySparseMask(benchmark::State& state) {
  const BitMapBTree& t = built_tree();
  static const Bitmap mask = [] {
    std::vector<uint32_t> v;
    for (uint32_t id = 0; id <= kIds; id += 100) v.push_back(id);
    return Bitmap(std::span<const uint32_t>(v));
  }();
  const double width = width_of(state);
  const auto starts = query_starts(width);
  size_t i = 0;
  for (auto _ : state) {
    const double lo = starts[i++ % starts.size()];
    Bitmap r =
        t.query_range(Bound::included(NumKey::of_float(lo)), Bound::excluded(NumKey::of_float(lo + width)), mask);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_BTreeQuerySparseMask)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

// Binary search to the lower end, scan to the upper end, bulk-add the ids,
// intersect with the mask.
void BM_SortedVectorQuery(benchmark::State& state) {
  const SortedPairs& v = sorted_pairs();
  const Bitmap& mask = full_mask();
  const double width = width_of(state);
  const auto starts = query_starts(width);
  std::vector<uint32_t> ids;
  size_t i = 0;
  uint64_t hits = 0;
  for (auto _ : state) {
    const double lo = starts[i++ % starts.size()];
    const double hi = lo + width;
    ids.clear();
    auto it = std::lower_bound(v.begin(), v.end(), std::make_pair(lo, uint32_t{0}));
    for (; it != v.end() && it->first < hi; ++it) ids.push_back(it->second);
    Bitmap r(std::span<const uint32_t>(ids.data(), ids.size()));
    r.and_inplace(mask);
    hits += r.cardinality();
    benchmark::DoNotOptimize(r);
  }
  state.counters["ids_per_query"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_SortedVectorQuery)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

// Brute force: compare every pair of the vector with both ends.
void BM_VectorFullScanQuery(benchmark::State& state) {
  const SortedPairs& v = sorted_pairs();
  const Bitmap& mask = full_mask();
  const double width = width_of(state);
  const auto starts = query_starts(width);
  std::vector<uint32_t> ids;
  size_t i = 0;
  for (auto _ : state) {
    const double lo = starts[i++ % starts.size()];
    const double hi = lo + width;
    ids.clear();
    for (const auto& [x, id] : v)
      if (x >= lo && x < hi) ids.push_back(id);
    Bitmap r(std::span<const uint32_t>(ids.data(), ids.size()));
    r.and_inplace(mask);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_VectorFullScanQuery)->Arg(1)->Arg(10)->Arg(100)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace zarvex
