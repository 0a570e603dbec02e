// ObjectLock: three locks in one word. Each excludes its own holders and
// none blocks the others; unwinding poisons only the lock that was held; a
// waiter sleeps inside the detach hooks and is woken by the release. The
// stress case runs under ThreadSanitizer too.
#include <atomic>
#include <barrier>
#include <stdexcept>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "failure_of.hpp"
#include "support/object_lock.hpp"

namespace zarvex {
namespace {

using testing::failure_of;
constexpr ObjectLock::Which kAll[] = {ObjectLock::kWriter, ObjectLock::kAttributes, ObjectLock::kMembership};

TEST(ObjectLock, LocksAreIndependentAndPoisonAlone) {
  for (ObjectLock::Which held : kAll) {
    ObjectLock l;
    try {
      ObjectLockGuard g(l, held);
      for (ObjectLock::Which other : kAll) {
        EXPECT_EQ(l.try_lock(other), other != held);
        if (other != held) l.unlock(other);
      }
      fail("boom");  // only a broken invariant poisons
    } catch (const InternalFailure&) {}
    for (ObjectLock::Which w : kAll) {
      EXPECT_EQ(l.is_poisoned(w), w == held);
      EXPECT_FALSE(l.is_locked(w));
      if (w != held) {
        ObjectLockGuard g(l, w);
      }
    }
    EXPECT_EQ(failure_of([&] { ObjectLockGuard g(l, held); }), kPoisonedLock);
    EXPECT_FALSE(l.is_locked(held));
  }
}

TEST(ObjectLock, AWaiterDetachesAndIsWokenByTheRelease) {
  static std::atomic<int> detaches{0};
  auto* old_detach = lock_hooks::detach.exchange(+[]() -> void* {
    detaches.fetch_add(1);
    return nullptr;
  });
  ObjectLock l;
  std::atomic<bool> acquired{false};
  l.lock(ObjectLock::kAttributes);
  std::thread waiter([&] {
    ObjectLockGuard g(l, ObjectLock::kAttributes);
    acquired.store(true);
  });
  while (detaches.load() == 0) std::this_thread::yield();
  EXPECT_FALSE(acquired.load());
  // The other locks of the word stay free while the waiter sleeps.
  EXPECT_TRUE(l.try_lock(ObjectLock::kWriter));
  l.unlock(ObjectLock::kWriter);
  l.unlock(ObjectLock::kAttributes);
  waiter.join();
  lock_hooks::detach.store(old_detach);
  EXPECT_TRUE(acquired.load());
  EXPECT_FALSE(l.is_locked(ObjectLock::kAttributes));
}

TEST(ObjectLock, EachLockExcludesItsOwnHoldersUnderContention) {
  ObjectLock l;
  constexpr int kThreads = 4, kRounds = 20000;
  long counters[3] = {0, 0, 0};
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        const int k = (i + t) % 3;
        ObjectLockGuard g(l, kAll[k]);
        ++counters[k];
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(counters[0] + counters[1] + counters[2], long{kThreads} * kRounds);
  for (ObjectLock::Which w : kAll) EXPECT_FALSE(l.is_locked(w));
}

}  // namespace
}  // namespace zarvex
