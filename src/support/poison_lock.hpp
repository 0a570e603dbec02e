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
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <type_traits>
#include <utility>

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

[[noreturn]] inline void fail_poisoned() {
  fail("poisoned lock: an earlier call failed while holding it");
}

class PoisonMutex {
 public:
  void lock() {
    if (!m_.try_lock()) wait();
    check();
  }
  bool try_lock() {
    if (!m_.try_lock()) return false;
    check();
    return true;
  }
  void unlock() { m_.unlock(); }
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

class PoisonRwLock {
 public:
  void lock() {
    if (!m_.try_lock()) wait_exclusive();
    check_exclusive();
  }
  bool try_lock() {
    if (!m_.try_lock()) return false;
    check_exclusive();
    return true;
  }
  void unlock() { m_.unlock(); }
  void lock_shared() {
    if (!m_.try_lock_shared()) wait_shared();
    check_shared();
  }
  bool try_lock_shared() {
    if (!m_.try_lock_shared()) return false;
    check_shared();
    return true;
  }
  void unlock_shared() { m_.unlock_shared(); }
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
  std::shared_mutex m_;
  std::atomic<bool> poisoned_{false};
};

// Tag for guards that adopt a lock already taken (for example by the
// interpreter-aware helpers).
struct adopt_t {};
inline constexpr adopt_t adopt{};

namespace detail {
template <class Lock, bool Shared>
class PoisonGuard {
 public:
  explicit PoisonGuard(Lock& l) : lock_(&l) {
    if constexpr (Shared) l.lock_shared(); else l.lock();
    failures_ = live_internal_failures();
  }
  PoisonGuard(Lock& l, adopt_t) : lock_(&l), failures_(live_internal_failures()) {}
  PoisonGuard(PoisonGuard&& o) noexcept : lock_(o.lock_), failures_(o.failures_) { o.lock_ = nullptr; }
  PoisonGuard(const PoisonGuard&) = delete;
  PoisonGuard& operator=(const PoisonGuard&) = delete;
  PoisonGuard& operator=(PoisonGuard&&) = delete;
  ~PoisonGuard() { release(); }

  // Releases early; the guard then does nothing more. (Inlined into every
  // guard's destructor: the unwinding check is out of line.)
  [[gnu::always_inline]] void release() {
    if (!lock_) return;
    if (live_internal_failures() > failures_) [[unlikely]] poison_if_unwinding();
    if constexpr (Shared) lock_->unlock_shared(); else lock_->unlock();
    lock_ = nullptr;
  }
  bool owns() const { return lock_ != nullptr; }

 private:
  [[gnu::noinline, gnu::cold]] void poison_if_unwinding() {
    if (std::uncaught_exceptions() > 0) lock_->poison();
  }
  Lock* lock_;
  int failures_ = 0;  // live internal failures when the lock was taken
};
}  // namespace detail

using MutexGuard = detail::PoisonGuard<PoisonMutex, false>;
using ReadGuard = detail::PoisonGuard<PoisonRwLock, true>;
using WriteGuard = detail::PoisonGuard<PoisonRwLock, false>;

// A value guarded by a read-write lock. Access only through the guards
// returned by read()/write() (or the try_ variants), which keep the lock for
// their lifetime.
template <class T>
class RwLocked {
 public:
  template <class... A>
  explicit RwLocked(A&&... a) : value_(std::forward<A>(a)...) {}

  class Read {
   public:
    Read(const RwLocked& o) : g_(o.lock_), v_(&o.value_) {}
    Read(const RwLocked& o, adopt_t) : g_(o.lock_, adopt), v_(&o.value_) {}
    const T& operator*() const { return *v_; }
    const T* operator->() const { return v_; }
    void release() { g_.release(); }
   private:
    ReadGuard g_;
    const T* v_;
  };
  class Write {
   public:
    Write(RwLocked& o) : g_(o.lock_), v_(&o.value_) {}
    Write(RwLocked& o, adopt_t) : g_(o.lock_, adopt), v_(&o.value_) {}
    T& operator*() const { return *v_; }
    T* operator->() const { return v_; }
    void release() { g_.release(); }
   private:
    WriteGuard g_;
    T* v_;
  };

  Read read() const { return Read(*this); }
  Write write() { return Write(*this); }
  PoisonRwLock& lock() const { return lock_; }

 private:
  mutable PoisonRwLock lock_;
  T value_;
};

// A value guarded by a mutex.
template <class T>
class MutexLocked {
 public:
  template <class... A>
  explicit MutexLocked(A&&... a) : value_(std::forward<A>(a)...) {}

  class Guard {
   public:
    Guard(MutexLocked& o) : g_(o.lock_), v_(&o.value_) {}
    Guard(MutexLocked& o, adopt_t) : g_(o.lock_, adopt), v_(&o.value_) {}
    T& operator*() const { return *v_; }
    T* operator->() const { return v_; }
    void release() { g_.release(); }
   private:
    MutexGuard g_;
    T* v_;
  };

  Guard lock() { return Guard(*this); }
  PoisonMutex& mutex() { return lock_; }

  // Runs f(value) under the lock and returns its result. f must be
  // noexcept: nothing can unwind through the section, so the lock needs no
  // poisoning check on the way out (cheaper than a Guard on hot paths).
  template <class F>
  decltype(auto) with_nothrow(F&& f) {
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
  T value_;
};

}  // namespace zarvex
