// Microbenchmarks of the id-set collections: HybridSet add/contains/union in
// its array and bitmap forms, and ShardedHashMap lookups.
#include <cstdint>
#include <random>
#include <vector>

#include <benchmark/benchmark.h>

#include "index/core/structures/hybrid_set/hybrid_set.hpp"
#include "index/core/structures/shards/hashmap/hashmap.hpp"
#include "support/hasher.hpp"

namespace {

using zarvex::Bitmap;
using zarvex::HybridSet;

std::vector<uint32_t> random_ids(size_t n, uint32_t bound, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<uint32_t> d(1, bound);
  std::vector<uint32_t> v(n);
  for (auto& x : v) x = d(rng);
  return v;
}

// Builds a set of `n` ids by add() from Empty: n <= 3 stays Small (no
// allocation), beyond that one switch to Large and bitmap adds.
void BM_HybridSet_AddFromEmpty(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  const auto ids = random_ids(n, 1u << 20, 1);
  for (auto _ : state) {
    HybridSet s;
    for (uint32_t id : ids) s.add(id);
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK(BM_HybridSet_AddFromEmpty)->Arg(1)->Arg(3)->Arg(4)->Arg(64)->Arg(4096);

// add() of ids already present in a Large set.
void BM_HybridSet_AddLargeExisting(benchmark::State& state) {
  const auto ids = random_ids(4096, 1u << 20, 2);
  HybridSet s = HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(ids)));
  size_t i = 0;
  for (auto _ : state) {
    s.add(ids[i++ & 4095]);
  }
  benchmark::DoNotOptimize(s);
}
BENCHMARK(BM_HybridSet_AddLargeExisting);

void BM_HybridSet_ContainsSmall(benchmark::State& state) {
  HybridSet s = HybridSet::single(10);
  s.add(20);
  s.add(30);
  uint32_t probe = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(s.contains(probe));
    probe = (probe + 7) & 63;
  }
}
BENCHMARK(BM_HybridSet_ContainsSmall);

void BM_HybridSet_ContainsLarge(benchmark::State& state) {
  const auto ids = random_ids(static_cast<size_t>(state.range(0)), 1u << 20, 3);
  const HybridSet s = HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(ids)));
  const auto probes = random_ids(4096, 1u << 20, 4);
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(s.contains(probes[i++ & 4095]));
}
BENCHMARK(BM_HybridSet_ContainsLarge)->Arg(64)->Arg(65536);

// Small {1,2} ∪ Small {3,4}: a copy of self plus one merge, no allocation.
void BM_HybridSet_UnionSmallSmall(benchmark::State& state) {
  HybridSet a = HybridSet::single(1);
  a.add(2);
  HybridSet b = HybridSet::single(3);
  b.add(4);
  for (auto _ : state) {
    HybridSet s = a;
    s.or_inplace(b);
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_HybridSet_UnionSmallSmall);

// Small of three ∪ Small of three: the sum exceeds four, so a bitmap is built.
void BM_HybridSet_UnionSmallSmallToLarge(benchmark::State& state) {
  HybridSet a = HybridSet::single(1);
  a.add(2);
  a.add(3);
  HybridSet b = HybridSet::single(4);
  b.add(5);
  b.add(6);
  for (auto _ : state) {
    HybridSet s = a;
    s.or_inplace(b);
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_HybridSet_UnionSmallSmallToLarge);

// Large ∪ Large into an accumulator that is reset each time (the copy is
// included in the figure).
void BM_HybridSet_UnionLargeLarge(benchmark::State& state) {
  const auto n = static_cast<size_t>(state.range(0));
  const HybridSet a = HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(random_ids(n, 1u << 20, 5))));
  const HybridSet b = HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(random_ids(n, 1u << 20, 6))));
  for (auto _ : state) {
    HybridSet s = a;
    s.or_inplace(b);
    benchmark::DoNotOptimize(s);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * 2 * n));
}
BENCHMARK(BM_HybridSet_UnionLargeLarge)->Arg(64)->Arg(65536);

void BM_HybridSet_IntersectSmallLarge(benchmark::State& state) {
  HybridSet a = HybridSet::single(100);
  a.add(2000);
  a.add(30000);
  auto ids = random_ids(65536, 1u << 20, 7);
  ids.push_back(2000);
  const HybridSet b = HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(ids)));
  for (auto _ : state) {
    HybridSet s = a;
    s.and_inplace(b);
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_HybridSet_IntersectSmallLarge);

struct BenchKey {
  uint64_t hash;
  uint64_t payload;
  uint64_t hash64() const { return hash; }
  bool operator==(const BenchKey&) const = default;
};
using BenchMap = zarvex::ShardedHashMap<BenchKey, HybridSet>;

BenchKey bench_key(uint64_t i) { return BenchKey{zarvex::mul_hash_u64(i) * 0x9E3779B97F4A7C15ull + i, i}; }

// get() of present keys holding Small sets (read lock + copy) or absent keys.
void BM_ShardedHashMap_Get(benchmark::State& state) {
  const auto n = static_cast<uint64_t>(state.range(0));
  const bool hit = state.range(1) != 0;
  BenchMap m(16);
  for (uint64_t i = 0; i < n; ++i) {
    auto shard = m.get_shard(bench_key(i));
    HybridSet s = HybridSet::single(static_cast<uint32_t>(i));
    s.add(static_cast<uint32_t>(i + 1));
    shard->emplace(bench_key(i), std::move(s));
  }
  std::vector<BenchKey> probes;
  for (uint64_t i = 0; i < 4096; ++i) probes.push_back(bench_key(hit ? (i * 7919) % n : n + i));
  size_t i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(m.get(probes[i++ & 4095]));
}
BENCHMARK(BM_ShardedHashMap_Get)->Args({1024, 1})->Args({1 << 18, 1})->Args({1 << 18, 0});

// get() of a key holding a Large set: the copy dominates.
void BM_ShardedHashMap_GetLargeValue(benchmark::State& state) {
  BenchMap m(16);
  const BenchKey k = bench_key(1);
  {
    auto shard = m.get_shard(k);
    shard->emplace(k, HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(random_ids(1000, 1u << 20, 8)))));
  }
  for (auto _ : state) benchmark::DoNotOptimize(m.get(k));
}
BENCHMARK(BM_ShardedHashMap_GetLargeValue);

// Several threads reading one map (shared shard locks).
void BM_ShardedHashMap_GetThreaded(benchmark::State& state) {
  static BenchMap* m = nullptr;
  constexpr uint64_t kN = 1 << 16;
  if (state.thread_index() == 0) {
    m = new BenchMap(16);
    for (uint64_t i = 0; i < kN; ++i) {
      auto shard = m->get_shard(bench_key(i));
      shard->emplace(bench_key(i), HybridSet::single(static_cast<uint32_t>(i)));
    }
  }
  uint64_t i = static_cast<uint64_t>(state.thread_index()) * 977;
  for (auto _ : state) {
    benchmark::DoNotOptimize(m->get(bench_key(i & (kN - 1))));
    i += 7919;
  }
  if (state.thread_index() == 0) {
    delete m;
    m = nullptr;
  }
}
BENCHMARK(BM_ShardedHashMap_GetThreaded)->Threads(1)->Threads(2);

// Intersection of two sets of 2,000,000 possible ids at the densities of
// common values (bitset containers from 2,048 ids each): into a new set
// (an And's first two sets) and in place (the later ones).
void BM_Bitmap_AndDense(benchmark::State& state) {
  const auto per_mille_a = static_cast<uint32_t>(state.range(0)), per_mille_b = static_cast<uint32_t>(state.range(1));
  std::mt19937 rng(3);
  std::vector<uint32_t> a, b;
  for (uint32_t id = 0; id < 2'000'000; ++id) {
    if (rng() % 1000 < per_mille_a) a.push_back(id);
    if (rng() % 1000 < per_mille_b) b.push_back(id);
  }
  const Bitmap x = Bitmap::from_sorted(a), y = Bitmap::from_sorted(b);
  for (auto _ : state) benchmark::DoNotOptimize(Bitmap::and_(x, y));
}
BENCHMARK(BM_Bitmap_AndDense)->Args({40, 100})->Args({10, 40})->Args({50, 50});

}  // namespace
