// Interpreter-lock helpers.
//
// Rules these helpers enforce for the whole module:
//  * A thread attached to the interpreter never blocks on a native lock:
//    install_lock_hooks() makes every poisonable lock (support/poison_lock.hpp)
//    that has to wait release the interpreter lock first and take it back
//    once the native lock is held.
//  * A Python reference is never released by a detached thread: release_box()
//    queues it, and the queue is drained at the next attach (the end of a
//    DetachScope, the start of an AttachScope). Queueing never allocates.
//  * While the interpreter finalises it ends every other thread that tries to
//    re-attach, by unwinding it (3.11 to 3.13). Re-attaching therefore never
//    happens in a noexcept context: DetachScope's destructor and the lock
//    hooks may unwind, py::call lets that unwinding through, and a native
//    lock taken just before is given back (see poison_lock.hpp).
//  * DetachScope/AttachScope keep a thread-local "detached" flag so that code
//    anywhere below knows which side of the interpreter lock it is on.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "py/pending_ref.hpp"
#include "support/poison_lock.hpp"

namespace zarvex::py {

namespace detail {
// This thread's side of the interpreter lock (see thread_detached) and its
// queued-release region (see begin_queued_release): read inline by
// release_ref's common case.
inline thread_local bool t_detached = false;
inline thread_local int t_queue_depth = 0;
inline thread_local bool t_queue_draining = false;
}  // namespace detail

// True while the calling thread is inside a DetachScope (and not inside a
// nested AttachScope).
bool thread_detached() noexcept;

// True once the interpreter has begun to end the calling thread (the thread
// is unwinding to its end, without the interpreter lock): while it
// re-attached in one of the helpers below, or inside any interpreter call
// that gave the lock up and asked for it back while the interpreter
// finalises. References it still owns are left to the process's end.
namespace detail {
bool thread_ending_slow() noexcept;
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing();
#else
  return _Py_IsFinalizing();
#endif
}
}  // namespace detail
// Threads are ended only once the interpreter finalises: until then this is
// one call that reads one global, with no thread-local access (releases and
// Ref destructors ask on every release).
inline bool thread_ending() noexcept { return detail::interpreter_finalizing() && detail::thread_ending_slow(); }

// The shared holder of one strong reference (see SharedPy). `next` links
// the holders waiting in the release queue. `seen` is scratch space of the
// cycle collector's walk over an index (index/core/ownership.hpp): zero
// outside a traversal, read and written only by the attached thread that
// traverses, while no detached work is in flight (it fills the padding after
// the count, so the box stays 24 bytes).
struct SharedBox {
  std::atomic<uint32_t> rc;
  uint32_t seen = 0;
  PyObject* obj;
  SharedBox* next = nullptr;
};
static_assert(sizeof(SharedBox) == 24);

// Detached sections open right now, over all threads (DetachScope and
// LockedDetachScope that did detach). Changed only by attached threads: at
// the start of a section before the interpreter lock is released, at its end
// after it is taken back. While it is zero and the calling thread holds the
// interpreter lock, no thread runs Zarvex code that changes an index or a
// shared holder's count (every such change is made either attached or inside
// a detached section), so an attached reader may walk those structures
// without their locks. See "Cycle collection" in ARCHITECTURE.md.
namespace detail {
inline std::atomic<int> g_detached_sections{0};
}
inline int detached_sections() noexcept { return detail::g_detached_sections.load(std::memory_order_relaxed); }

// Releases the box's reference and frees the box: now when attached, else
// the box is queued until the next attach.
void release_box(SharedBox* box) noexcept;
// The same for a plain strong reference (an attribute table's); a detached
// thread queues it for the next attach. The common case (attached, outside a
// queued-release region, no pending increment, no finalisation) is one
// decrement, inline.
namespace detail {
void release_ref_slow(PyObject* obj) noexcept;
}
inline void release_ref(PyObject* obj) noexcept {
  if (!obj) return;
  if (!detail::t_detached && detail::t_queue_depth == 0 && !detail::t_queue_draining &&
      !detail::g_has_pending_increfs.load(std::memory_order_acquire) && !detail::interpreter_finalizing()) {
    Py_DECREF(obj);
    return;
  }
  detail::release_ref_slow(obj);
}

// Releases queued references; the caller is attached.
void drain_deferred() noexcept;

// While a queued-release region is open on this thread, release_ref() queues
// references on a thread-local list instead of releasing them at once;
// drain_queued_release() then releases them one at a time (releases that
// happen during the drain are queued and drained by the same loop). Object
// destruction uses this so that destroying a long chain of objects, each
// holding the next, runs in constant stack depth.
void begin_queued_release() noexcept;
void end_queued_release() noexcept;
void drain_queued_release() noexcept;

// Runs the pending signal handlers (attaching for the call if the thread is
// detached). True when one raised (KeyboardInterrupt for Ctrl-C): the error
// is then set. Only the main thread runs handlers; elsewhere always false.
bool signal_raised();

// Installs the hooks through which every native lock that must wait detaches
// the waiting thread from the interpreter.
void install_lock_hooks() noexcept;

// Checked builds: aborts with a diagnostic when the calling thread is not
// attached (Python references are created and released only when attached).
// A no-op in other builds.
void check_attached() noexcept;
inline void assert_attached() noexcept {
#ifdef ZARVEX_CHECKED
  check_attached();
#endif
}

// Releases the interpreter lock for its lifetime. Re-attaching at the end
// may end the thread (interpreter finalisation) by unwinding; if an exception
// is already unwinding then, the thread waits for the process to end instead
// (a second exception would terminate the process).
class DetachScope {
 public:
  DetachScope() noexcept : DetachScope(true, true) {}
  ~DetachScope() noexcept(false);
  DetachScope(const DetachScope&) = delete;
  DetachScope& operator=(const DetachScope&) = delete;

 protected:
  DetachScope(bool drain_at_end, bool detach) noexcept;

 private:
  PyThreadState* state_;
  bool was_detached_;
  bool drain_at_end_;
};

// As DetachScope, for a caller that holds native locks across the scope:
// re-attaching releases nothing (a release may run Python code), so the
// caller calls drain_deferred() once it has released its locks.
class LockedDetachScope : public DetachScope {
 public:
  LockedDetachScope() noexcept : DetachScope(false, true) {}
  // Detaches only when `detach` is true (otherwise the scope does nothing).
  explicit LockedDetachScope(bool detach) noexcept : DetachScope(false, detach) {}
};

// Re-attaches a detached thread that holds native locks, for a short change
// that runs no Python code (no-op when attached). Releases nothing on either
// side, and keeps the cycle collector from starting meanwhile (a collection
// runs finalizers, which may re-enter the module and wait for the locks the
// thread holds). Attaching may end the thread (interpreter finalisation) by
// unwinding, like LockedDetachScope's end.
class LockedAttachScope {
 public:
  LockedAttachScope();
  ~LockedAttachScope();
  LockedAttachScope(const LockedAttachScope&) = delete;
  LockedAttachScope& operator=(const LockedAttachScope&) = delete;

 private:
  bool attached_here_;
  bool gc_was_enabled_ = false;
  PyGILState_STATE gstate_{};
};

// Re-attaches a detached thread for its lifetime (no-op when attached).
class AttachScope {
 public:
  AttachScope();
  ~AttachScope();
  AttachScope(const AttachScope&) = delete;
  AttachScope& operator=(const AttachScope&) = delete;

 private:
  bool attached_here_;
  PyGILState_STATE gstate_{};
};

}  // namespace zarvex::py
