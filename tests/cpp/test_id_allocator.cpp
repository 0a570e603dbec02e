// Tests of the process-wide object-id allocator: ids are never 0, distinct
// while held, and released ids come back last-in, first-out. The allocator
// is shared by the whole test binary, so every expectation is stated
// relative to the ids this test itself allocated, never as absolute values.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdint>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "index/core/structures/id_allocator.hpp"

namespace zarvex {
namespace {

TEST(IdAllocator, ReleasedIdsComeBackLastInFirstOut) {
  const uint32_t first = allocate_id();
  const uint32_t second = allocate_id();
  const uint32_t third = allocate_id();
  EXPECT_NE(first, second);
  EXPECT_NE(second, third);
  EXPECT_NE(first, third);

  // Objects with the second and third ids die, in that order: the most
  // recently released id is handed out first.
  release_id(second);
  release_id(third);
  EXPECT_EQ(allocate_id(), third);
  EXPECT_EQ(allocate_id(), second);

  release_id(first);
  EXPECT_EQ(allocate_id(), first);

  release_id(third);
  release_id(second);
  release_id(first);
}

TEST(IdAllocator, HeldIdsAreDistinctAndNeverZero) {
  constexpr size_t kCount = 20000;
  std::vector<uint32_t> held;
  held.reserve(kCount);
  for (size_t i = 0; i < kCount; ++i) held.push_back(allocate_id());

  const std::set<uint32_t> distinct(held.begin(), held.end());
  EXPECT_EQ(distinct.size(), kCount);
  EXPECT_EQ(distinct.count(0u), 0u);

  for (uint32_t id : held) release_id(id);
}

TEST(IdAllocator, ABatchOfReleasesIsReusedInReverseOrder) {
  constexpr size_t kCount = 1000;
  std::vector<uint32_t> held;
  for (size_t i = 0; i < kCount; ++i) held.push_back(allocate_id());

  for (uint32_t id : held) release_id(id);
  std::vector<uint32_t> again;
  for (size_t i = 0; i < kCount; ++i) again.push_back(allocate_id());

  std::vector<uint32_t> reversed(held.rbegin(), held.rend());
  EXPECT_EQ(again, reversed);

  for (uint32_t id : again) release_id(id);
}

TEST(IdAllocator, IdsReleasedInReverseReturnInAllocationOrder) {
  // Whatever sits on the free stack already, the ids released here are the
  // next ones out; an id allocated after they are taken back is none of
  // them, since all of them are held again.
  std::vector<uint32_t> held;
  for (int i = 0; i < 8; ++i) held.push_back(allocate_id());
  const std::set<uint32_t> before(held.begin(), held.end());
  for (auto it = held.rbegin(); it != held.rend(); ++it) release_id(*it);

  std::vector<uint32_t> retaken;
  for (int i = 0; i < 8; ++i) retaken.push_back(allocate_id());
  EXPECT_EQ(retaken, held);  // released in reverse, so they return in order

  const uint32_t extra = allocate_id();
  EXPECT_EQ(before.count(extra), 0u);
  EXPECT_NE(extra, 0u);

  release_id(extra);
  for (uint32_t id : retaken) release_id(id);
}

TEST(IdAllocator, MassReleasesKeepTheRecentOnesLastInFirstOut) {
  // Far more releases than the exact stack holds: the most recent come back
  // first, in reverse, and nothing is handed out twice.
  constexpr size_t kCount = 50000, kExact = 8192;
  std::vector<uint32_t> held;
  for (size_t i = 0; i < kCount; ++i) held.push_back(allocate_id());
  for (size_t i = 0; i < kCount; i += 2) release_id(held[i]);  // gaps, as a collector leaves them
  for (size_t i = 1; i < kCount; i += 2) release_id(held[i]);
  std::vector<uint32_t> again;
  for (size_t i = 0; i < kCount; ++i) again.push_back(allocate_id());
  for (size_t i = 0; i < kExact; ++i) ASSERT_EQ(again[i], held[kCount - 1 - 2 * i]) << i;
  EXPECT_EQ(std::set<uint32_t>(again.begin(), again.end()).size(), kCount);
  EXPECT_EQ(std::count(again.begin(), again.end(), 0u), 0);
  for (uint32_t id : again) release_id(id);
}

TEST(IdAllocator, ConcurrentAllocationNeverHandsOutAHeldId) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  constexpr int kPerRound = 40;

  // Model of the ids currently held by any thread. An id is entered after
  // allocate_id() returns it and leaves before release_id() is called, so a
  // second insertion of the same id means it was handed out while held.
  std::mutex model_mutex;
  std::set<uint32_t> held_now;
  std::atomic<int> handed_out_twice{0};
  std::atomic<int> zero_ids{0};

  auto take = [&]() {
    const uint32_t id = allocate_id();
    if (id == 0) ++zero_ids;
    std::lock_guard<std::mutex> g(model_mutex);
    if (!held_now.insert(id).second) ++handed_out_twice;
    return id;
  };
  auto give_back = [&](uint32_t id) {
    {
      std::lock_guard<std::mutex> g(model_mutex);
      held_now.erase(id);
    }
    release_id(id);
  };

  std::barrier start(kThreads);
  std::vector<std::vector<uint32_t>> kept(kThreads);
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([&, t] {
      start.arrive_and_wait();
      std::vector<uint32_t> mine;
      for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kPerRound; ++i) mine.push_back(take());
        // Give back all but a few, alternating the end released first, so
        // ids circulate between threads in varying orders.
        while (mine.size() > 5) {
          if (round % 2 == 0) {
            give_back(mine.back());
            mine.pop_back();
          } else {
            give_back(mine.front());
            mine.erase(mine.begin());
          }
        }
      }
      kept[t] = mine;
    });
  }
  for (auto& w : workers) w.join();

  EXPECT_EQ(handed_out_twice.load(), 0);
  EXPECT_EQ(zero_ids.load(), 0);
  size_t total = 0;
  for (const auto& ids : kept) total += ids.size();
  EXPECT_EQ(held_now.size(), total);
  EXPECT_EQ(total, static_cast<size_t>(kThreads) * 5);

  for (const auto& ids : kept)
    for (uint32_t id : ids) give_back(id);
  EXPECT_TRUE(held_now.empty());
}

}  // namespace
}  // namespace zarvex
