// Interner hit path: lookups of names that are already interned, through the
// interner (per-thread cached snapshot), through a held view, and, for
// comparison, through a std::atomic_load of the published shared pointer on
// every lookup (what the per-thread cache avoids).
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "index/core/structures/string_interner/interner.hpp"

namespace {

using zarvex::ImmutableInterner;
using zarvex::StrInterner;

const std::vector<std::string>& names() {
  static const std::vector<std::string> n = [] {
    std::vector<std::string> v = {"id", "name", "owner", "created_at", "price", "quantity", "status", "tags"};
    for (int i = 0; i < 200; ++i) v.push_back("attribute_" + std::to_string(i));
    return v;
  }();
  return n;
}

StrInterner& filled() {
  static StrInterner* in = [] {
    auto* p = new StrInterner(1024);
    for (const auto& n : names()) p->intern(n);
    return p;
  }();
  return *in;
}

void BM_HashStr(benchmark::State& state) {
  const std::string& s = names()[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(ImmutableInterner::hash_str(s));
}
BENCHMARK(BM_HashStr)->Arg(1)->Arg(3);  // "name", "created_at"

void BM_InternerGetHit(benchmark::State& state) {
  StrInterner& in = filled();
  const std::string& s = names()[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(in.get(s));
}
BENCHMARK(BM_InternerGetHit)->Arg(1)->Arg(3)->Threads(1)->Threads(2);

void BM_InternerInternHit(benchmark::State& state) {
  StrInterner& in = filled();
  const std::string& s = names()[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(in.intern(s));
}
BENCHMARK(BM_InternerInternHit)->Arg(1)->Arg(3)->Threads(1)->Threads(2);

void BM_ViewGetHit(benchmark::State& state) {
  zarvex::StrInternerView view = filled().view();
  const std::string& s = names()[state.range(0)];
  for (auto _ : state) benchmark::DoNotOptimize(view.get(s));
}
BENCHMARK(BM_ViewGetHit)->Arg(1)->Arg(3);

// Baseline without the per-thread cache: load the shared pointer each time.
void BM_AtomicLoadThenGet(benchmark::State& state) {
  static const std::shared_ptr<const ImmutableInterner> published = filled().snapshot();
  const std::string& s = names()[state.range(0)];
  for (auto _ : state) {
    std::shared_ptr<const ImmutableInterner> snap = std::atomic_load(&published);
    benchmark::DoNotOptimize(snap->get(s));
  }
}
BENCHMARK(BM_AtomicLoadThenGet)->Arg(1)->Threads(1)->Threads(2);

}  // namespace
