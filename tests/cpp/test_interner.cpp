// Tests of the string interner: the string hash, dense ids, snapshots and
// views, the thread-local snapshot cache, concurrent interning, and the
// invariant checker.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <gtest/gtest.h>

#include "absl/container/flat_hash_map.h"
#include "index/core/structures/string_interner/interner.hpp"
#include "support/internal_failure.hpp"

namespace zarvex {
namespace {

// prefix followed by the decimal digits of n.
std::string numbered(const char* prefix, long n) {
  std::string s = prefix;
  s += std::to_string(n);
  return s;
}

// ---------------------------------------------------------------------------
// hash_str against an independent, byte-at-a-time rendering of the algorithm.

uint64_t ref_le(const std::string& s, size_t at, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= uint64_t{static_cast<unsigned char>(s[at + i])} << (8 * i);
  return v;
}

uint64_t ref_mix(uint64_t x, uint64_t y) {
  const uint64_t a = (x & 0xFFFFFFFFull) * (y >> 32);
  const uint64_t b = (x >> 32) * (y & 0xFFFFFFFFull);
  return a ^ ((b << 32) | (b >> 32));
}

uint64_t ref_hash_str(const std::string& s) {
  const size_t n = s.size();
  uint64_t s0 = 0x243F6A8885A308D3ull, s1 = 0x13198A2E03707344ull;
  if (n > 16) {
    for (size_t off = 0; off + 16 < n; off += 16) {
      const uint64_t t = ref_mix(s0 ^ ref_le(s, off, 8), 0xA4093822299F31D0ull ^ ref_le(s, off + 8, 8));
      s0 = s1;
      s1 = t;
    }
    s0 ^= ref_le(s, n - 16, 8);
    s1 ^= ref_le(s, n - 8, 8);
  } else if (n >= 8) {
    s0 ^= ref_le(s, 0, 8);
    s1 ^= ref_le(s, n - 8, 8);
  } else if (n >= 4) {
    s0 ^= ref_le(s, 0, 4);
    s1 ^= ref_le(s, n - 4, 4);
  } else if (n >= 1) {
    s0 ^= static_cast<unsigned char>(s[0]);
    s1 ^= static_cast<unsigned char>(s[n / 2]) | (uint64_t{static_cast<unsigned char>(s[n - 1])} << 8);
  }
  const uint64_t v = ref_mix(s0, s1) ^ n;
  uint32_t h = 0;
  for (uint32_t word : {static_cast<uint32_t>(v), static_cast<uint32_t>(v >> 32)}) h = (h + word) * 0x93D765DDu;
  return (h << 15) | (h >> 17);
}

struct HashVector {
  const char* text;
  uint64_t expected;
};

TEST(HashStr, KnownVectors) {
  const HashVector vectors[] = {
      {"", 0x9F55DE09},
      {"abc", 0x13D9498C},
      {"name", 0xB4276D45},
      {"hello world!", 0x23B7229E},
      {"0123456789abcdefg", 0xE9E1A344},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(ImmutableInterner::hash_str(v.text), v.expected) << '"' << v.text << '"';
    EXPECT_EQ(ref_hash_str(v.text), v.expected) << "reference disagrees on \"" << v.text << '"';
  }
}

// Every length from 0 to 80 (the 1-3, 4-7, 8-16 short paths, one block at
// 17..32, two at 33..48, ...) over bytes that include values >= 0x80.
TEST(HashStr, AllLengthPathsMatchReference) {
  std::mt19937 rng(7);
  for (size_t n = 0; n <= 80; ++n) {
    for (int trial = 0; trial < 8; ++trial) {
      std::string s(n, '\0');
      for (char& c : s) c = static_cast<char>(rng() & 0xFF);
      const uint64_t h = ImmutableInterner::hash_str(s);
      ASSERT_EQ(h, ref_hash_str(s)) << "length " << n;
      ASSERT_EQ(h >> 32, 0u) << "length " << n;
    }
  }
}

// The boundary lengths: 16 bytes takes the short path (two overlapping
// reads), 17 mixes one block, 33 mixes two; every byte must influence the
// hash on each path.
TEST(HashStr, BoundaryLengthsDependOnEveryByte) {
  for (size_t n : {size_t{16}, size_t{17}, size_t{32}, size_t{33}}) {
    std::string base(n, 'q');
    for (size_t i = 0; i < n; ++i) base[i] = static_cast<char>('A' + i % 26);
    const uint64_t h = ImmutableInterner::hash_str(base);
    ASSERT_EQ(h, ref_hash_str(base)) << "length " << n;
    for (size_t i = 0; i < n; ++i) {
      std::string changed = base;
      changed[i] = static_cast<char>(changed[i] ^ 0x5A);
      EXPECT_NE(ImmutableInterner::hash_str(changed), h) << "length " << n << " byte " << i;
      EXPECT_EQ(ImmutableInterner::hash_str(changed), ref_hash_str(changed));
    }
  }
}

// ---------------------------------------------------------------------------
// Ids.

TEST(StrInterner, DenseIdsAndRepeats) {
  auto in = StrInterner::with_capacity(4);
  EXPECT_EQ(in->size(), 0u);
  EXPECT_EQ(in->intern("a"), 0u);
  EXPECT_EQ(in->intern("b"), 1u);
  EXPECT_EQ(in->intern("a"), 0u);
  EXPECT_EQ(in->size(), 2u);
  in->validate();
}

TEST(StrInterner, EmptyStringAndEmbeddedNulsAreOrdinaryStrings) {
  auto in = StrInterner::with_capacity(4);
  const std::string with_nul("a\0b", 3);
  const std::string other_nul("a\0c", 3);
  EXPECT_EQ(in->get(""), std::nullopt);
  EXPECT_EQ(in->intern("x"), 0u);
  EXPECT_EQ(in->intern(""), 1u);
  EXPECT_EQ(in->intern(with_nul), 2u);
  EXPECT_EQ(in->intern(other_nul), 3u);
  EXPECT_EQ(in->intern(""), 1u);
  EXPECT_EQ(in->get(""), 1u);
  EXPECT_EQ(in->resolve(1), "");
  EXPECT_EQ(in->resolve(2), with_nul);
  EXPECT_EQ(in->resolve(3), other_nul);
  EXPECT_EQ(in->get("a"), std::nullopt);
  in->validate();
}

// Random strings (lengths 0..40 from a small alphabet, so short ones repeat)
// mirrored into a plain map; ids, lookups and resolutions must agree.
TEST(StrInterner, MatchesModelOverRandomStrings) {
  for (uint32_t seed : {1u, 2u, 3u}) {
    auto in = StrInterner::with_capacity(seed == 1 ? 0 : 64);  // capacity 0 forces regrowth
    std::unordered_map<std::string, uint32_t> model;
    std::mt19937 rng(seed);
    for (int step = 0; step < 1500; ++step) {
      std::string s(rng() % 41 < 10 ? rng() % 3 : rng() % 41, 'x');
      for (char& c : s) c = "abc\xff"[rng() % 4];
      auto known = model.find(s);
      ASSERT_EQ(in->get(s), known == model.end() ? std::nullopt : std::optional<uint32_t>(known->second));
      const uint32_t expected = model.try_emplace(s, static_cast<uint32_t>(model.size())).first->second;
      ASSERT_EQ(in->intern(s), expected) << "seed " << seed << " step " << step;
      ASSERT_EQ(in->size(), model.size());
      if (step % 100 == 0) in->validate();
    }
    for (const auto& [s, id] : model) {
      EXPECT_EQ(in->get(s), id);
      EXPECT_EQ(in->resolve(id), s);
    }
    in->validate();
  }
}

// Two strings of one length with equal 32-bit hashes share a by_hash list and
// must still get distinct ids, found by byte comparison.
TEST(StrInterner, HashCollisionsShareAListButNotAnId) {
  absl::flat_hash_map<uint64_t, std::string> seen;
  std::string first, second;
  for (uint32_t i = 0; first.empty(); ++i) {
    ASSERT_LT(i, 2'000'000u) << "no collision found";
    char buf[16];
    std::snprintf(buf, sizeof buf, "k%08x", i);
    auto [it, fresh] = seen.try_emplace(ImmutableInterner::hash_str(buf), buf);
    if (!fresh) {
      first = it->second;
      second = buf;
    }
  }
  ASSERT_EQ(ImmutableInterner::hash_str(first), ImmutableInterner::hash_str(second));
  ASSERT_NE(first, second);

  auto in = StrInterner::with_capacity(8);
  EXPECT_EQ(in->intern(first), 0u);
  EXPECT_EQ(in->get(second), std::nullopt);
  EXPECT_EQ(in->intern(second), 1u);
  EXPECT_EQ(in->intern(first), 0u);
  EXPECT_EQ(in->intern(second), 1u);
  EXPECT_EQ(in->get(second), 1u);
  EXPECT_EQ(in->resolve(0), first);
  EXPECT_EQ(in->resolve(1), second);
  in->validate();
}

TEST(StrInterner, ResolveUnknownIdFails) {
  auto in = StrInterner::with_capacity(4);
  EXPECT_THROW(in->resolve(0), InternalFailure);
  in->intern("a");
  in->intern("b");
  EXPECT_EQ(in->resolve(1), "b");
  EXPECT_THROW(in->resolve(2), InternalFailure);
  EXPECT_THROW(in->resolve(UINT32_MAX), InternalFailure);
  EXPECT_THROW(in->view().resolve(2), InternalFailure);
  EXPECT_THROW(in->snapshot()->resolve(2), InternalFailure);
}

// Resolved bytes outlive the snapshot they were read from: the writable side
// keeps every string.
TEST(StrInterner, ResolvedBytesSurviveLaterSnapshots) {
  auto in = StrInterner::with_capacity(1);
  in->intern("first");
  const std::string_view v = in->resolve(0);
  for (int i = 0; i < 200; ++i) in->intern(numbered("s", i));
  EXPECT_EQ(v, "first");
  EXPECT_EQ(v.data(), in->resolve(0).data());
}

// ---------------------------------------------------------------------------
// Snapshots, views and the per-thread snapshot cache.

TEST(StrInternerView, SeesItsOwnSnapshotUntilRefreshed) {
  auto in = StrInterner::with_capacity(8);
  in->intern("old");
  StrInternerView before = in->view();
  const uint32_t id = in->intern("new");
  StrInternerView after = in->view();

  EXPECT_EQ(before.get("old"), 0u);
  EXPECT_EQ(before.get("new"), std::nullopt);
  EXPECT_EQ(before.size(), 1u);
  EXPECT_THROW(before.resolve(id), InternalFailure);
  EXPECT_EQ(after.get("new"), id);
  EXPECT_EQ(after.resolve(id), "new");

  // Found in the old snapshot only after get_or_intern refreshed it; the
  // string is not added twice.
  EXPECT_EQ(before.get_or_intern("new"), id);
  EXPECT_EQ(before.get("new"), id);
  EXPECT_EQ(in->size(), 2u);

  // A string nobody has interned yet: added, and visible through the view.
  const uint32_t fresh = before.get_or_intern("fresh");
  EXPECT_EQ(fresh, 2u);
  EXPECT_EQ(before.get("fresh"), fresh);
  EXPECT_EQ(before.resolve(fresh), "fresh");
  EXPECT_EQ(after.get("fresh"), std::nullopt);
  EXPECT_EQ(in->get("fresh"), fresh);
  in->validate();
}

TEST(StrInterner, SnapshotsAreImmutableAndShareBytes) {
  auto in = StrInterner::with_capacity(8);
  in->intern("a");
  auto s1 = in->snapshot();
  in->intern("b");
  auto s2 = in->snapshot();
  EXPECT_NE(s1.get(), s2.get());
  EXPECT_EQ(s1->size(), 1u);
  EXPECT_EQ(s1->get("b"), std::nullopt);
  EXPECT_EQ(s2->get("b"), 1u);
  EXPECT_EQ(s1->resolve(0).data(), s2->resolve(0).data());
  s1->validate();
  s2->validate();
  // Re-interning a present string publishes nothing new.
  in->intern("a");
  EXPECT_EQ(in->snapshot().get(), s2.get());
}

// Several interners in one thread (one is destroyed and a new one may take
// its address): a thread's cached snapshot must never answer for another.
TEST(StrInterner, PerThreadCacheNeverMixesInterners) {
  auto a = StrInterner::with_capacity(4);
  auto b = StrInterner::with_capacity(4);
  a->intern("only-in-a");
  b->intern("only-in-b");
  b->intern("second-in-b");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(a->get("only-in-a"), 0u);
    EXPECT_EQ(b->get("only-in-a"), std::nullopt);
    EXPECT_EQ(b->get("second-in-b"), 1u);
    EXPECT_EQ(a->size(), 1u);
    EXPECT_EQ(b->size(), 2u);
  }
  for (int round = 0; round < 20; ++round) {
    a.reset();
    a = StrInterner::with_capacity(4);
    EXPECT_EQ(a->get("only-in-a"), std::nullopt);
    EXPECT_EQ(a->size(), 0u);
    EXPECT_THROW(a->resolve(0), InternalFailure);
    a->intern("only-in-a");
  }
}

// A string interned by another thread is found by this thread's next lookup,
// although its cached snapshot predates it.
TEST(StrInterner, OtherThreadsInternIsSeenByNextLookup) {
  auto in = StrInterner::with_capacity(4);
  in->intern("early");
  for (int round = 0; round < 50; ++round) {
    const std::string s = numbered("late-", round);
    ASSERT_EQ(in->get(s), std::nullopt);
    uint32_t id = 0;
    std::thread([&] { id = in->intern(s); }).join();
    ASSERT_EQ(in->get(s), id);
    ASSERT_EQ(in->resolve(id), s);
    ASSERT_EQ(in->size(), id + 1);
  }
  in->validate();
}

// ---------------------------------------------------------------------------
// Concurrency.

// Each round, all threads intern one new string at the same moment: one id
// for all, and the interner grows by exactly one. The interner starts with
// many strings; threads that missed in their snapshot then queue on the mutex and
// must find the string there instead of adding it again.
// Counts the threads that found the interner's mutex taken, i.e. that missed
// the string in their snapshot while another thread was adding it (the case
// the re-check under the mutex exists for). How often that happens depends on
// how many cores the scheduler gives the test at that moment.
std::atomic<int> blocked_on_lock{0};

class SimultaneousIntern : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    blocked_on_lock = 0;
    lock_hooks::detach.store(+[]() -> void* {
      blocked_on_lock.fetch_add(1);
      return nullptr;
    });
  }
  void TearDown() override {
    lock_hooks::detach.store(nullptr);
    RecordProperty("blocked_on_lock", blocked_on_lock.load());
  }
};

TEST_P(SimultaneousIntern, OneNewStringGetsOneId) {
  const int threads_n = GetParam();
  constexpr int kRounds = 250;
  constexpr int kPrefill = 1000;
  auto in = StrInterner::with_capacity(16);
  for (int i = 0; i < kPrefill; ++i) in->intern(numbered("prefill-", i));
  std::vector<std::string> words;
  for (int r = 0; r < kRounds; ++r) words.push_back(numbered("word-", r));
  std::vector<std::vector<uint32_t>> got(threads_n, std::vector<uint32_t>(kRounds));
  std::vector<size_t> size_after(kRounds);
  std::barrier round_done(threads_n);
  // The start line spins: a sleeping barrier wakes its waiters one by one,
  // late enough for the first thread to have published already.
  std::atomic<int> arrived{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < threads_n; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < kRounds; ++r) {
        arrived.fetch_add(1);
        for (int spins = 0; arrived.load() < (r + 1) * threads_n; ++spins)
          if (spins > 4000) std::this_thread::yield();
        got[t][r] = in->intern(words[r]);
        round_done.arrive_and_wait();
        // Every thread loads the new snapshot now, so that freeing an older
        // one (by whichever thread drops it last) happens here and not in the
        // next round's race.
        const size_t size_now = in->size();
        if (t == 0) size_after[r] = size_now;
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int r = 0; r < kRounds; ++r) {
    for (int t = 1; t < threads_n; ++t) ASSERT_EQ(got[t][r], got[0][r]) << "round " << r;
    ASSERT_EQ(got[0][r], static_cast<uint32_t>(kPrefill + r)) << "round " << r;
    ASSERT_EQ(size_after[r], static_cast<size_t>(kPrefill + r) + 1) << "round " << r;
    ASSERT_EQ(in->resolve(got[0][r]), words[r]);
  }
  in->validate();
}

INSTANTIATE_TEST_SUITE_P(StrInternerThreads, SimultaneousIntern, ::testing::Values(2, 4));

// Writers intern overlapping vocabularies in different orders while readers
// look up and resolve strings known from the start.
TEST(StrInternerThreads, MixedWritersAndReaders) {
  constexpr int kWriters = 3;
  constexpr int kReaders = 2;
  constexpr int kWords = 400;
  auto in = StrInterner::with_capacity(8);
  std::vector<std::string> known;
  for (int i = 0; i < 32; ++i) known.push_back(numbered("known-", i));
  for (const auto& k : known) in->intern(k);
  std::vector<std::string> words;
  for (int i = 0; i < kWords; ++i) words.push_back(numbered("w", i * 7919 % 1000));

  std::vector<std::vector<uint32_t>> got(kWriters, std::vector<uint32_t>(kWords));
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> reader_faults{0};
  std::barrier sync(kWriters + kReaders);
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      std::vector<int> order(kWords);
      for (int i = 0; i < kWords; ++i) order[i] = i;
      std::shuffle(order.begin(), order.end(), std::mt19937(t + 11));
      sync.arrive_and_wait();
      for (int i : order) {
        // Half the time through a view, which must agree with intern().
        got[t][i] = (i % 2) ? in->intern(words[i]) : in->view().get_or_intern(words[i]);
      }
      writers_left.fetch_sub(1);
    });
  }
  for (int t = 0; t < kReaders; ++t) {
    threads.emplace_back([&] {
      sync.arrive_and_wait();
      do {
        for (size_t i = 0; i < known.size(); ++i) {
          if (in->get(known[i]) != static_cast<uint32_t>(i) || in->resolve(static_cast<uint32_t>(i)) != known[i])
            reader_faults.fetch_add(1);
        }
        StrInternerView v = in->view();
        for (size_t id = 0; id < v.size(); ++id)
          if (v.get(v.resolve(static_cast<uint32_t>(id))) != id) reader_faults.fetch_add(1);
      } while (writers_left.load() > 0);
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(reader_faults.load(), 0);
  std::unordered_map<std::string, uint32_t> ids;
  for (int i = 0; i < kWords; ++i) {
    for (int t = 0; t < kWriters; ++t) ASSERT_EQ(got[t][i], got[0][i]) << words[i];
    ids.emplace(words[i], got[0][i]);
  }
  EXPECT_EQ(in->size(), known.size() + ids.size());
  for (const auto& [w, id] : ids) EXPECT_EQ(in->resolve(id), w);
  in->validate();
}

TEST(StrInternerThreads, ProcessWideInterner) {
  StrInterner* seen[2] = {nullptr, nullptr};
  uint32_t ids[2] = {0, 0};
  std::barrier sync(2);
  auto body = [&](int t) {
    sync.arrive_and_wait();
    seen[t] = &interner();
    ids[t] = interner().intern("zarvex-test-process-wide-name");
  };
  std::thread a(body, 0), b(body, 1);
  a.join();
  b.join();
  EXPECT_EQ(seen[0], &interner());
  EXPECT_EQ(seen[1], &interner());
  EXPECT_EQ(ids[0], ids[1]);
  EXPECT_EQ(interner().get("zarvex-test-process-wide-name"), ids[0]);
  EXPECT_EQ(interner().resolve(ids[0]), "zarvex-test-process-wide-name");
  interner().validate();
}

// ---------------------------------------------------------------------------
// Growth: many strings pass several segment boundaries and slot-table
// doublings; a snapshot taken early keeps seeing exactly its prefix, and a
// lookup of a string never interned fails at every size.

TEST(StrInterner, GrowthKeepsSnapshotsAndIdsStable) {
  auto in = StrInterner::with_capacity(0);
  std::vector<std::shared_ptr<const ImmutableInterner>> snaps;
  std::vector<const char*> first_bytes;
  constexpr int kStrings = 20000;
  for (int i = 0; i < kStrings; ++i) {
    ASSERT_EQ(in->intern(numbered("n", i)), static_cast<uint32_t>(i));
    if ((i & (i + 1)) == 0) snaps.push_back(in->snapshot());  // sizes 1, 2, 4, ...
  }
  in->validate();
  for (const auto& snap : snaps) {
    const size_t n = snap->size();
    snap->validate();
    for (size_t probe : {size_t{0}, n / 2, n - 1, n, n + 7}) {
      const std::string s = numbered("n", static_cast<long>(probe));
      EXPECT_EQ(snap->get(s), probe < n ? std::optional<uint32_t>(static_cast<uint32_t>(probe)) : std::nullopt);
    }
  }
  for (int i = 0; i < kStrings; i += 997) EXPECT_EQ(in->resolve(static_cast<uint32_t>(i)), numbered("n", i));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(in->get(numbered("absent-", i)), std::nullopt);
  EXPECT_EQ(in->size(), static_cast<size_t>(kStrings));
}

}  // namespace
}  // namespace zarvex
