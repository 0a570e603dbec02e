// ObjectLock: the locks of one Indexable object packed into one 32-bit word.
//
// The word carries three independent exclusive locks (the writer lock, the
// attribute-table lock and the membership-list lock), a poison bit for each,
// and a "waiters" bit. Taking a lock is one compare-and-swap when it is free;
// a thread that must wait runs inside lock_hooks::BlockScope (so a thread
// attached to the interpreter detaches first, like every poisonable lock)
// and sleeps on the word (std::atomic wait/notify, a futex on Linux).
// Unlocking wakes the sleepers only when the waiters bit is set.
//
// Poisoning follows PoisonMutex: a guard destroyed by an unwinding exception
// poisons the lock it held; every later attempt to take that lock releases it
// again and fails with the poisoned-lock internal failure.
//
// Cost: 4 bytes. The three locks never wait for one another: a waiter for
// one lock is woken by the release of any, re-checks, and sleeps again.
// Python-free; all members are thread-safe.
//
// For clang's lock analysis each lock of the word has a name of its own: the
// empty members `writer`, `attributes` and `membership` (no storage: they
// share the word's address). They carry the order (writer, then attributes,
// then membership; the order with the other locks is in ARCHITECTURE.md) and
// are what annotated guards acquire and annotated functions require, as in
// ABSL_EXCLUSIVE_LOCKS_REQUIRED(rec.lock.writer). They are names only: lock()
// and unlock() take a Which, which the analysis cannot see, so code that
// wants the order checked takes the locks through guards annotated with
// these names (index/object_record.hpp).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>

#include "absl/base/thread_annotations.h"
#include "support/poison_lock.hpp"

namespace zarvex {

namespace object_lock_names {
struct ABSL_LOCKABLE Writer {};
struct ABSL_LOCKABLE Attributes {};
struct ABSL_LOCKABLE Membership {};
}  // namespace object_lock_names

class ObjectLock {
 public:
  enum Which : uint32_t {
    kWriter = 1u << 0,
    kAttributes = 1u << 1,
    kMembership = 1u << 2,
    // Both taken in one step when both are free (a write of an attribute).
    kWriterAndAttributes = kWriter | kAttributes,
  };

  // Listed with ACQUIRED_BEFORE on the earlier lock: clang reads a lock's
  // own order list whenever that lock is taken, but another lock's
  // ACQUIRED_AFTER only once that other lock has been taken in the same
  // file, so a lock held by a function's precondition would go unchecked.
  [[no_unique_address]] object_lock_names::Writer writer ABSL_ACQUIRED_BEFORE(attributes, membership);
  [[no_unique_address]] object_lock_names::Attributes attributes ABSL_ACQUIRED_BEFORE(membership);
  [[no_unique_address]] object_lock_names::Membership membership;

  void lock(Which w) {
    if (!try_acquire(w)) lock_hooks::wait_for([&] { acquire_slow(w); }, [&] { unlock(w); });
    check(w);
  }
  bool try_lock(Which w) {
    if (!try_acquire(w)) return false;
    check(w);
    return true;
  }
  void unlock(Which w) noexcept {
    uint32_t old = word_.fetch_and(~static_cast<uint32_t>(w), std::memory_order_release);
    if (old & kWaiters) {
      // Every sleeper wakes and re-registers if it still has to wait.
      word_.fetch_and(~kWaiters, std::memory_order_relaxed);
      word_.notify_all();
    }
  }
  void poison(Which w) noexcept { word_.fetch_or(w << kPoisonShift, std::memory_order_release); }
  bool is_poisoned(Which w) const noexcept {
    return (word_.load(std::memory_order_acquire) & (w << kPoisonShift)) != 0;
  }
  bool is_locked(Which w) const noexcept { return (word_.load(std::memory_order_acquire) & w) != 0; }

 private:
  static constexpr uint32_t kWaiters = 1u << 3;
  static constexpr uint32_t kPoisonShift = 4;

  bool try_acquire(Which w) noexcept {
    uint32_t cur = word_.load(std::memory_order_relaxed);
    while (!(cur & w))
      if (word_.compare_exchange_weak(cur, cur | w, std::memory_order_acquire, std::memory_order_relaxed)) return true;
    return false;
  }
  void acquire_slow(Which w) noexcept {
    uint32_t cur = word_.load(std::memory_order_relaxed);
    for (;;) {
      if (!(cur & w)) {
        if (word_.compare_exchange_weak(cur, cur | w, std::memory_order_acquire, std::memory_order_relaxed)) return;
        continue;
      }
      if (!(cur & kWaiters) &&
          !word_.compare_exchange_weak(cur, cur | kWaiters, std::memory_order_relaxed, std::memory_order_relaxed))
        continue;
      word_.wait(cur | kWaiters, std::memory_order_relaxed);
      cur = word_.load(std::memory_order_relaxed);
    }
  }
  void check(Which w) {
    if (is_poisoned(w)) {
      unlock(w);
      fail_poisoned();
    }
  }

  std::atomic<uint32_t> word_{0};
};
static_assert(sizeof(ObjectLock) == 4);

// Holds one lock of an ObjectLock; poisons it when destroyed by an unwinding
// internal failure (like the PoisonGuard of the other locks).
class ObjectLockGuard {
 public:
  ObjectLockGuard(ObjectLock& l, ObjectLock::Which w) : lock_(&l), which_(w) {
    l.lock(w);
    failures_ = live_internal_failures();
  }
  ObjectLockGuard(ObjectLockGuard&& o) noexcept : lock_(o.lock_), which_(o.which_), failures_(o.failures_) {
    o.lock_ = nullptr;
  }
  ObjectLockGuard(const ObjectLockGuard&) = delete;
  ObjectLockGuard& operator=(const ObjectLockGuard&) = delete;
  ObjectLockGuard& operator=(ObjectLockGuard&&) = delete;
  ~ObjectLockGuard() { release(); }

  void release() {
    if (!lock_) return;
    // Only a broken invariant raised while the lock was held poisons;
    // running out of memory or a Python error leaves the data consistent and
    // the lock usable.
    if (live_internal_failures() > failures_ && std::uncaught_exceptions() > 0) [[unlikely]]
      lock_->poison(which_);
    lock_->unlock(which_);
    lock_ = nullptr;
  }

 private:
  ObjectLock* lock_;
  ObjectLock::Which which_;
  int failures_ = 0;  // live internal failures when the lock was taken
};

}  // namespace zarvex
