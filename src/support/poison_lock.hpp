// PoisonMutex and PoisonRwLock: a mutex and a read-write lock that become
// poisoned when an exception unwinds through a guard that holds them. Every
// later attempt to take a poisoned lock releases it again and fails with the
// internal failure "poisoned lock: an earlier call failed while holding it".
// There is no recovery: the state the lock guards may be half-changed.
//
// Guards (MutexGuard, ReadGuard, WriteGuard) are the only way the code takes
// these locks. They record the number of live internal failures on entry and
// poison the lock when that number has grown by the time they are destroyed
// while an exception unwinds: only a broken invariant (InternalFailure)
// raised inside the guarded scope and unwinding through the guard poisons (or,
// conservatively, any exception unwinding while such a failure is being
// handled). The entry check is one thread-local read; the unwinding test runs
// only when a failure is alive. An allocation failure (std::bad_alloc), a Python
// error or a thread ended by the interpreter releases the lock and leaves it
// healthy; the code that changes guarded state is written so that such an
// exception leaves that state valid (see support/memory.hpp), and the
// operations above undo what they had done.
//
// Interpreter-lock discipline: a thread attached to the Python interpreter
// must never block on one of these locks. Every lock first tries without
// blocking; only when that fails does it block, inside wait_for(), which calls
// the hooks the Python layer installs: `detach` releases the interpreter lock
// if the thread holds it, `reattach` takes it back once the native lock is
// held. So every user of these locks, Python-free code included, waits
// detached. Without hooks installed (C++ tests) blocking is plain.
//
// Python-free; all members are thread-safe.
//
// Compiler-checked locking: both locks are capabilities of clang's thread
// safety analysis (-Wthread-safety, the clang build in CI), the guards are
// scoped capabilities, and members read or changed under one of these locks
// are marked ABSL_GUARDED_BY where they are declared. The analysis follows
// guards declared as local variables (RwLocked's ReadScope/WriteScope
// among them); a guard kept as a member (RwLocked's Read/Write, a shard
// access) or returned from a function is not followed, and the value behind
// it is reached through the guard alone. The lock order is stated once, in
// ARCHITECTURE.md.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <type_traits>
#include <utility>

#include "absl/base/thread_annotations.h"
#include "support/internal_failure.hpp"

namespace zarvex {

namespace lock_hooks {
// detach() runs right before a thread blocks on a native lock and returns a
// token; reattach(token) runs once the lock is held. reattach may end the
// thread by unwinding it (the interpreter ends threads that re-attach while
// it finalises): wait_for() then releases the native lock it just took and
// lets the unwinding go on, so a thread never ends holding one.
inline std::atomic<void* (*)()> detach{nullptr};
inline std::atomic<void (*)(void*)> reattach{nullptr};

// Blocks in `lock()` (which takes the native lock), detached while it waits;
// `unlock()` gives the lock back if re-attaching unwinds. Callers wait in an
// out-of-line member, so that the uncontended path stays small enough to
// inline.
template <class Lock, class Unlock>
void wait_for(Lock&& lock, Unlock&& unlock) {
  void* token = nullptr;
  if (auto f = detach.load(std::memory_order_acquire)) token = f();
  lock();
  if (!token) return;
  try {
    if (auto f = reattach.load(std::memory_order_acquire)) f(token);
  } catch (...) {
    unlock();
    throw;
  }
}
}  // namespace lock_hooks

// The failure of every attempt to take a poisoned lock.
inline constexpr const char* kPoisonedLock = "poisoned lock: an earlier call failed while holding it";
[[noreturn]] inline void fail_poisoned() { fail(kPoisonedLock); }

class ABSL_LOCKABLE PoisonMutex {
 public:
  void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() {
    if (!m_.try_lock()) wait();
    check();
  }
  bool try_lock() ABSL_EXCLUSIVE_TRYLOCK_FUNCTION(true) {
    if (!m_.try_lock()) return false;
    check();
    return true;
  }
  void unlock() ABSL_UNLOCK_FUNCTION() { m_.unlock(); }
  void poison() { poisoned_.store(true, std::memory_order_release); }
  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  void check() {
    if (is_poisoned()) {
      m_.unlock();
      fail_poisoned();
    }
  }
  [[gnu::noinline]] void wait() {
    lock_hooks::wait_for([&] { m_.lock(); }, [&] { m_.unlock(); });
  }
  std::mutex m_;
  std::atomic<bool> poisoned_{false};
};

// The read-write lock of PoisonRwLock: one 32-bit word holding the number of
// readers, a writer bit and a "waiters" bit. Taking or releasing it is one
// atomic read-modify-write when no one waits; a thread that must wait sets
// the waiters bit and sleeps on the word (std::atomic wait/notify, a futex on
// Linux), and a release that finds the bit clears it and wakes every
// sleeper, which re-checks and sleeps again if it still has to. Readers are
// preferred, as with the default POSIX read-write lock: a reader is let in
// while other readers hold the lock, even if a writer waits.
class RwWord {
 public:
  bool try_lock() noexcept {
    uint32_t cur = word_.load(std::memory_order_relaxed);
    while ((cur & ~kWaiters) == 0)
      if (word_.compare_exchange_weak(cur, cur | kWriter, std::memory_order_acquire, std::memory_order_relaxed))
        return true;
    return false;
  }
  bool try_lock_shared() noexcept {
    uint32_t cur = word_.load(std::memory_order_relaxed);
    while (!(cur & kWriter))
      if (word_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed)) return true;
    return false;
  }
  void lock() noexcept {
    while (!try_lock()) sleep_while([](uint32_t w) { return (w & ~kWaiters) != 0; });
  }
  void lock_shared() noexcept {
    while (!try_lock_shared()) sleep_while([](uint32_t w) { return (w & kWriter) != 0; });
  }
  void unlock() noexcept { wake_if(word_.fetch_and(~kWriter, std::memory_order_release)); }
  void unlock_shared() noexcept {
    const uint32_t old = word_.fetch_sub(1, std::memory_order_release);
    if ((old & kReaders) == 1) wake_if(old);  // the last reader: a writer may wait
  }

 private:
  static constexpr uint32_t kWriter = 1u << 31;
  static constexpr uint32_t kWaiters = 1u << 30;
  static constexpr uint32_t kReaders = kWaiters - 1;

  // Sleeps once, while `busy(word)` holds, after announcing the wait.
  template <class Busy>
  void sleep_while(Busy busy) noexcept {
    uint32_t cur = word_.load(std::memory_order_relaxed);
    while (busy(cur)) {
      if ((cur & kWaiters) ||
          word_.compare_exchange_weak(cur, cur | kWaiters, std::memory_order_relaxed, std::memory_order_relaxed)) {
        word_.wait(cur | kWaiters, std::memory_order_relaxed);
        return;
      }
    }
  }
  void wake_if(uint32_t old) noexcept {
    if (old & kWaiters) {
      word_.fetch_and(~kWaiters, std::memory_order_relaxed);
      word_.notify_all();
    }
  }

  std::atomic<uint32_t> word_{0};
};

class ABSL_LOCKABLE PoisonRwLock {
 public:
  void lock() ABSL_EXCLUSIVE_LOCK_FUNCTION() {
    if (!m_.try_lock()) wait_exclusive();
    check_exclusive();
  }
  bool try_lock() ABSL_EXCLUSIVE_TRYLOCK_FUNCTION(true) {
    if (!m_.try_lock()) return false;
    check_exclusive();
    return true;
  }
  void unlock() ABSL_UNLOCK_FUNCTION() { m_.unlock(); }
  void lock_shared() ABSL_SHARED_LOCK_FUNCTION() {
    if (!m_.try_lock_shared()) wait_shared();
    check_shared();
  }
  bool try_lock_shared() ABSL_SHARED_TRYLOCK_FUNCTION(true) {
    if (!m_.try_lock_shared()) return false;
    check_shared();
    return true;
  }
  void unlock_shared() ABSL_UNLOCK_FUNCTION() { m_.unlock_shared(); }
  void poison() { poisoned_.store(true, std::memory_order_release); }
  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }

 private:
  void check_exclusive() {
    if (is_poisoned()) {
      m_.unlock();
      fail_poisoned();
    }
  }
  void check_shared() {
    if (is_poisoned()) {
      m_.unlock_shared();
      fail_poisoned();
    }
  }
  [[gnu::noinline]] void wait_exclusive() {
    lock_hooks::wait_for([&] { m_.lock(); }, [&] { m_.unlock(); });
  }
  [[gnu::noinline]] void wait_shared() {
    lock_hooks::wait_for([&] { m_.lock_shared(); }, [&] { m_.unlock_shared(); });
  }
  RwWord m_;
  std::atomic<bool> poisoned_{false};
};

namespace detail {
// What every guard does: takes the lock, and on release poisons it when an
// internal failure is unwinding through the guard. Not seen by the
// thread-safety analysis; the annotated guards below wrap it.
template <class Lock, bool Shared>
class PoisonGuard {
 public:
  explicit PoisonGuard(Lock& l) ABSL_NO_THREAD_SAFETY_ANALYSIS : lock_(&l) {
    if constexpr (Shared)
      l.lock_shared();
    else
      l.lock();
    failures_ = live_internal_failures();
  }
  // Takes over a lock the caller already holds (a successful try_lock).
  PoisonGuard(Lock& l, std::adopt_lock_t) noexcept : lock_(&l), failures_(live_internal_failures()) {}
  PoisonGuard(PoisonGuard&& o) noexcept : lock_(o.lock_), failures_(o.failures_) { o.lock_ = nullptr; }
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;
  PoisonGuard& operator=(PoisonGuard&&) = delete;
  ~PoisonGuard() { release(); }

  // Releases early; the guard then does nothing more. (Inlined into every
  // guard's destructor: the unwinding check is out of line.)
  [[gnu::always_inline]] void release() ABSL_NO_THREAD_SAFETY_ANALYSIS {
    if (!lock_) return;
    if (live_internal_failures() > failures_) [[unlikely]]
      poison_if_unwinding();
    if constexpr (Shared)
      lock_->unlock_shared();
    else
      lock_->unlock();
    lock_ = nullptr;
  }

 private:
  [[gnu::noinline, gnu::cold]] void poison_if_unwinding() {
    if (std::uncaught_exceptions() > 0) lock_->poison();
  }
  Lock* lock_;
  int failures_ = 0;  // live internal failures when the lock was taken
};

// A guard together with the value it guards, reached through the guard.
template <class Guard, class V>
class Guarded {
 public:
  template <class Lock>
  Guarded(Lock& l, V* v) ABSL_NO_THREAD_SAFETY_ANALYSIS : g_(l), v_(v) {}
  V& operator*() const { return *v_; }
  V* operator->() const { return v_; }
  void release() ABSL_NO_THREAD_SAFETY_ANALYSIS { g_.release(); }

 private:
  Guard g_;
  V* v_;
};
}  // namespace detail

// The scoped guards: exclusive (MutexGuard, WriteGuard) and shared.
template <class Lock>
class ABSL_SCOPED_LOCKABLE ExclusiveGuard {
 public:
  explicit ExclusiveGuard(Lock& l) ABSL_EXCLUSIVE_LOCK_FUNCTION(l) : g_(l) {}
  ExclusiveGuard(Lock& l, std::adopt_lock_t a) ABSL_EXCLUSIVE_LOCKS_REQUIRED(l) : g_(l, a) {}
  ExclusiveGuard(ExclusiveGuard&&) noexcept = default;
  ~ExclusiveGuard() ABSL_UNLOCK_FUNCTION() {}
  void release() ABSL_UNLOCK_FUNCTION() { g_.release(); }

 private:
  detail::PoisonGuard<Lock, false> g_;
};
using MutexGuard = ExclusiveGuard<PoisonMutex>;
using WriteGuard = ExclusiveGuard<PoisonRwLock>;

class ABSL_SCOPED_LOCKABLE ReadGuard {
 public:
  explicit ReadGuard(PoisonRwLock& l) ABSL_SHARED_LOCK_FUNCTION(l) : g_(l) {}
  ReadGuard(ReadGuard&&) noexcept = default;
  ~ReadGuard() ABSL_UNLOCK_FUNCTION() {}
  void release() ABSL_UNLOCK_FUNCTION() { g_.release(); }

 private:
  detail::PoisonGuard<PoisonRwLock, true> g_;
};

// A value guarded by a read-write lock. Access only through a guard, which
// keeps the lock for its lifetime: the scoped guards ReadScope/WriteScope,
// declared as local variables, or those returned by read()/write().
//
// For the analysis the RwLocked itself is the capability, so a member of
// this type (or a SharedRwLocked, index/core/index.hpp) can carry its place
// in the lock order (ABSL_ACQUIRED_BEFORE/AFTER). The scoped guards acquire
// it; a guard returned by read()/write() is not followed by the analysis, so
// code that wants the order checked takes the lock through the scoped
// guards. Both kinds do the same at run time: the scoped guards' destructors
// are annotated (the analysis sees the release only there) but defaulted,
// which leaves g++ the same functions to inline as for read()/write().
template <class T>
class ABSL_LOCKABLE RwLocked {
 public:
  template <class... A>
  explicit RwLocked(A&&... a) : value_(std::forward<A>(a)...) {}

  using Read = detail::Guarded<ReadGuard, const T>;
  using Write = detail::Guarded<WriteGuard, T>;

  class ABSL_SCOPED_LOCKABLE ReadScope : public Read {
   public:
    explicit ReadScope(const RwLocked& l) ABSL_SHARED_LOCK_FUNCTION(l) : Read(l.lock_, &l.value_) {}
    ~ReadScope() ABSL_UNLOCK_FUNCTION() = default;
    void release() ABSL_UNLOCK_FUNCTION() { Read::release(); }
  };
  class ABSL_SCOPED_LOCKABLE WriteScope : public Write {
   public:
    explicit WriteScope(RwLocked& l) ABSL_EXCLUSIVE_LOCK_FUNCTION(l) : Write(l.lock_, &l.value_) {}
    ~WriteScope() ABSL_UNLOCK_FUNCTION() = default;
    void release() ABSL_UNLOCK_FUNCTION() { Write::release(); }
  };

  Read read() const { return Read(lock_, &value_); }
  Write write() { return Write(lock_, &value_); }
  // f(value) under the write lock when it is free; false, without waiting
  // or calling f, when it is held. Never blocking, it may be tried while
  // other locks are held, in any order.
  template <class F>
  bool try_write(F&& f) ABSL_NO_THREAD_SAFETY_ANALYSIS {
    if (!lock_.try_lock()) return false;
    WriteGuard held(lock_, std::adopt_lock);
    std::forward<F>(f)(value_);
    return true;
  }
  PoisonRwLock& lock() const ABSL_LOCK_RETURNED(lock_) { return lock_; }
  // The value without the lock, for a reader that knows no writer can run
  // and none ran since it last synchronised with the writers by other means
  // (the cycle collector's walk over a quiescent index: see "Cycle
  // collection" in ARCHITECTURE.md). Nothing else uses it.
  const T& unguarded() const ABSL_NO_THREAD_SAFETY_ANALYSIS { return value_; }

 private:
  mutable PoisonRwLock lock_;
  T value_ ABSL_GUARDED_BY(lock_);
};

// A value guarded by a mutex.
template <class T>
class MutexLocked {
 public:
  template <class... A>
  explicit MutexLocked(A&&... a) : value_(std::forward<A>(a)...) {}

  using Guard = detail::Guarded<MutexGuard, T>;

  Guard lock() { return Guard(lock_, &value_); }
  PoisonMutex& mutex() ABSL_LOCK_RETURNED(lock_) { return lock_; }

  // Runs f(value) under the lock and returns its result. f must be
  // noexcept: nothing can unwind through the section, so the lock needs no
  // poisoning check on the way out (cheaper than a Guard on hot paths).
  template <class F>
  decltype(auto) with_nothrow(F&& f) ABSL_NO_THREAD_SAFETY_ANALYSIS {
    static_assert(std::is_nothrow_invocable_v<F, T&>, "with_nothrow needs a noexcept callable");
    lock_.lock();
    struct Unlock {
      PoisonMutex& m;
      ~Unlock() { m.unlock(); }
    } unlock{lock_};
    return std::forward<F>(f)(value_);
  }

 private:
  PoisonMutex lock_;
  T value_ ABSL_GUARDED_BY(lock_);
};

}  // namespace zarvex
