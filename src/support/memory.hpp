// Running out of memory without breaking anything.
//
// An allocation failure (std::bad_alloc) must leave every structure valid and
// every operation either done or undone. Two things make that possible:
//
//  * Headroom. CRoaring (the bitmaps) does not survive a failed malloc, and
//    some changes (a B-tree insertion, a bitmap union in place) cannot be
//    undone half-way. So changes are only started while the process can
//    still map kProbeBytes beyond a reserve: require_headroom() checks that
//    (one mapping and unmapping of address space, no memory touched) and
//    throws std::bad_alloc otherwise, before anything changes. Long
//    operations check it every few thousand objects; single writes and
//    queries one call in kPeriod per thread (check_headroom_periodically()),
//    which keeps the check off the hot paths.
//  * A reserve. kReserveBytes of address space are held (mapped, never
//    touched) while the module works. An operation that meets an allocation
//    failure undoes its work inside a RecoveryScope, which gives the reserve
//    back first, so the undoing finds memory, and takes it again afterwards.
//
// Checked builds (ZARVEX_CHECKED) add allocation-failure injection: once
// armed with n, the n-th counted allocation from then on throws
// std::bad_alloc. Counted are the module's operator new (see
// py/alloc_inject.cpp), every bitmap operation that may allocate, and every
// headroom check. No failure is injected inside a RecoveryScope (the reserve
// stands for the memory the undoing needs) or a NoFailScope.
//
// Python-free; thread-safe (the reserve is one atomic pointer, the injection
// countdown a global atomic, the scopes thread-local).
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "support/internal_failure.hpp"

namespace zarvex::memory {

inline constexpr size_t kReserveBytes = size_t{8} << 20;
inline constexpr size_t kProbeBytes = size_t{8} << 20;
inline constexpr uint32_t kPeriod = 256;  // a power of two

// Throws std::bad_alloc unless the reserve is held (taken now if it is not)
// and kProbeBytes more can be mapped. An injection point.
void require_headroom();

namespace detail {
inline thread_local uint32_t t_calls = 0;
}
// require_headroom() on the first call and then one call in kPeriod on this
// thread.
inline void check_headroom_periodically() {
  if ((detail::t_calls++ & (kPeriod - 1)) == 0) require_headroom();
}

// Gives the reserve back for its lifetime and suspends injection on this
// thread; takes the reserve again at the end when it can (if it cannot, the
// next require_headroom() fails). Nests.
class RecoveryScope {
 public:
  RecoveryScope() noexcept;
  ~RecoveryScope();
  RecoveryScope(const RecoveryScope&) = delete;
  RecoveryScope& operator=(const RecoveryScope&) = delete;
};

// Suspends injection on this thread for its lifetime (for code that runs in
// a noexcept context and has a fallback of its own). Nests.
class NoFailScope {
 public:
  NoFailScope() noexcept;
  ~NoFailScope();
  NoFailScope(const NoFailScope&) = delete;
  NoFailScope& operator=(const NoFailScope&) = delete;
};

// Runs f(); if it fails for want of memory, runs it again inside a
// RecoveryScope (f must be idempotent: done again, it finishes what the
// failed run began). A second failure is an internal failure: the change can
// neither be finished nor undone.
template <class F>
void complete(F&& f) {
  try {
    f();
    return;
  } catch (const std::bad_alloc&) {}
  RecoveryScope recovery;
  try {
    f();
  } catch (const std::bad_alloc&) {
    fail("out of memory while finishing a change that cannot be undone");
  }
}

// --- growth that cannot fail -------------------------------------------------
// The open-addressing maps of the abseil release this code builds against set
// their new capacity before they allocate the larger table, so a failed
// allocation there would leave a map broken. Their tables are therefore
// allocated here: malloc, and when that fails, the reserve is given back and
// malloc is tried once more; a second failure ends the process with a
// message (nothing could keep the map intact). Never injected. The reserve
// is taken again by the next require_headroom(), which fails until it can be.
void* allocate_unfailing(size_t bytes, size_t align);
void free_unfailing(void* p) noexcept;

template <class T>
struct UnfailingAllocator {
  using value_type = T;
  UnfailingAllocator() noexcept = default;
  template <class U>
  UnfailingAllocator(const UnfailingAllocator<U>&) noexcept {}
  T* allocate(size_t n) { return static_cast<T*>(allocate_unfailing(n * sizeof(T), alignof(T))); }
  void deallocate(T* p, size_t) noexcept { free_unfailing(p); }
  template <class U>
  bool operator==(const UnfailingAllocator<U>&) const noexcept {
    return true;
  }
};

// --- injection (checked builds; no-ops otherwise) ----------------------------
#ifdef ZARVEX_CHECKED
// Throws std::bad_alloc when the armed countdown reaches zero on this call.
void injection_point();
#else
inline void injection_point() {}
#endif
// Arms the countdown: the n-th counted allocation from now fails (n > 0);
// n == 0 disarms. Returns true when the previous arming fired.
bool arm_failure(uint64_t n);
// True when injection is compiled in.
bool injection_available();

}  // namespace zarvex::memory
