#include "support/memory.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include <sys/mman.h>

namespace zarvex::memory {

namespace {

std::atomic<void*> g_reserve{nullptr};
thread_local int t_no_fail = 0;
thread_local int t_recovering = 0;

void* map_space(size_t n) noexcept {
  // Address space only: nothing is touched, so nothing is committed, but the
  // mapping counts against an address-space limit as any allocation does.
  void* p = mmap(nullptr, n, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

bool take_reserve() noexcept {
  if (g_reserve.load(std::memory_order_acquire)) return true;
  void* p = map_space(kReserveBytes);
  if (!p) return false;
  void* expected = nullptr;
  if (!g_reserve.compare_exchange_strong(expected, p, std::memory_order_acq_rel)) munmap(p, kReserveBytes);
  return true;
}

void give_back_reserve() noexcept {
  if (void* p = g_reserve.exchange(nullptr, std::memory_order_acq_rel)) munmap(p, kReserveBytes);
}

#ifdef ZARVEX_CHECKED
std::atomic<uint64_t> g_countdown{0};
std::atomic<bool> g_fired{false};
#endif

}  // namespace

void require_headroom() {
  injection_point();
  if (!take_reserve()) throw std::bad_alloc();
  void* probe = map_space(kProbeBytes);
  if (!probe) throw std::bad_alloc();
  munmap(probe, kProbeBytes);
}

namespace {
void* try_allocate(size_t bytes, size_t align) noexcept {
  if (bytes == 0) bytes = 1;
  if (align <= alignof(std::max_align_t)) return std::malloc(bytes);
  void* p = nullptr;
  return posix_memalign(&p, align, bytes) == 0 ? p : nullptr;
}
}  // namespace

void* allocate_unfailing(size_t bytes, size_t align) {
  if (void* p = try_allocate(bytes, align)) return p;
  give_back_reserve();
  if (void* p = try_allocate(bytes, align)) return p;
  std::fputs("Zarvex: out of memory while growing a table that cannot be left half-grown\n", stderr);
  std::abort();
}

void free_unfailing(void* p) noexcept { std::free(p); }

RecoveryScope::RecoveryScope() noexcept {
  ++t_no_fail;
  if (t_recovering++ == 0) give_back_reserve();
}

RecoveryScope::~RecoveryScope() {
  --t_no_fail;
  if (--t_recovering == 0) take_reserve();
}

NoFailScope::NoFailScope() noexcept { ++t_no_fail; }
NoFailScope::~NoFailScope() { --t_no_fail; }

#ifdef ZARVEX_CHECKED
void injection_point() {
  if (t_no_fail > 0) return;
  uint64_t n = g_countdown.load(std::memory_order_relaxed);
  while (n > 0) {
    if (g_countdown.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
      if (n == 1) {
        g_fired.store(true, std::memory_order_relaxed);
        throw std::bad_alloc();
      }
      return;
    }
  }
}

bool arm_failure(uint64_t n) {
  g_countdown.store(n, std::memory_order_relaxed);
  return g_fired.exchange(false, std::memory_order_relaxed);
}

bool injection_available() { return true; }
#else
bool arm_failure(uint64_t) { return false; }
bool injection_available() { return false; }
#endif

}  // namespace zarvex::memory
