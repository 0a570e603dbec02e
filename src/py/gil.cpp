#include "py/gil.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <vector>

#include <execinfo.h>
#include <unistd.h>

#include "py/pending_ref.hpp"
#include "support/memory.hpp"

namespace zarvex::py {

using detail::t_detached;
using detail::t_queue_depth;
using detail::t_queue_draining;

namespace {
thread_local bool t_ending = false;
thread_local std::vector<PyObject*> t_queue;

// Boxes released by detached threads, linked through SharedBox::next, and
// plain references released by detached threads (attribute tables). Never
// destroyed: daemon threads may still release while the process runs its
// exit handlers, after static destructors would have freed these.
std::mutex& g_deferred_mutex = *new std::mutex;
SharedBox* g_deferred = nullptr;
std::vector<PyObject*>& g_deferred_refs = *new std::vector<PyObject*>;
std::atomic<bool> g_has_deferred{false};

void* detach_for_wait() {
  if (t_detached) return nullptr;
#ifdef ZARVEX_CHECKED
  if (!PyGILState_Check()) {
    std::fputs("Zarvex: a thread marked attached does not hold the interpreter lock\n", stderr);
    std::abort();
  }
#endif
  PyThreadState* ts = PyEval_SaveThread();
  t_detached = true;
  return ts;
}

// The thread now holds the native lock it waited for: deferred releases are
// left for the next attach at the end of a DetachScope, because releasing a
// reference may run Python code, which must not run under a native lock.
// May unwind (the thread is ended by a finalising interpreter); the lock
// hooks give the native lock back then.
void reattach_after_wait(void* token) {
  t_ending = true;
  PyEval_RestoreThread(static_cast<PyThreadState*>(token));
  t_ending = false;
  t_detached = false;
}

using detail::interpreter_finalizing;

// Whether the calling thread's state is the one attached to the interpreter
// (it holds the interpreter lock). Compared directly rather than through
// PyGILState_Check, which answers "yes" whenever its checks are disabled.
bool holds_interpreter_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  PyThreadState* current = PyThreadState_GetUnchecked();
#else
  PyThreadState* current = _PyThreadState_UncheckedGet();
#endif
  return current != nullptr && current == PyGILState_GetThisThreadState();
}

void release_now(PyObject* obj) noexcept {
  if (!obj) return;
  if (t_queue_depth > 0 || t_queue_draining) {
    try {
      t_queue.push_back(obj);
      return;
    } catch (const std::bad_alloc&) {
      // No room to queue: release at once, one level deeper on the stack.
    }
  }
  Py_DECREF(obj);
}
}  // namespace

namespace {
// The native stack of the offending thread, for the diagnostics of checked
// builds (the Python stack alone does not show which reference was touched).
void print_native_stack() noexcept {
  void* frames[64];
  int n = backtrace(frames, 64);
  backtrace_symbols_fd(frames, n, 2);
}
}  // namespace

bool thread_detached() noexcept { return t_detached; }
bool detail::thread_ending_slow() noexcept {
  if (t_ending) return true;
  if (t_detached) return false;
  // Any call into the interpreter (an import, a __hash__, a generator, a
  // release that runs __del__) may release the interpreter lock; once the
  // interpreter finalises, the thread that then asks for it back is ended
  // there by a forced unwinding, without the lock, and without this module
  // being told. Its unwinding runs our destructors: a thread marked attached
  // that does not hold the lock while the interpreter finalises is that
  // thread, and from here on it touches no Python object.
  if (holds_interpreter_lock()) return false;
  t_ending = true;
  return true;
}

void release_box(SharedBox* box) noexcept {
  if (!box) return;
  if (!t_detached) {
    // A thread being ended keeps the reference (left to the process's end).
    if (!thread_ending()) {
      // A reference taken on a detached thread and still pending is applied
      // first, so a count never drops below what its holders own.
      apply_pending_increfs();
      release_now(box->obj);
    }
    delete box;
    return;
  }
  std::lock_guard<std::mutex> g(g_deferred_mutex);
  box->next = g_deferred;
  g_deferred = box;
  g_has_deferred.store(true, std::memory_order_release);
}

void detail::release_ref_slow(PyObject* obj) noexcept {
  if (!obj) return;
  if (!t_detached) {
    if (thread_ending()) return;
    apply_pending_increfs();
    release_now(obj);
    return;
  }
  std::lock_guard<std::mutex> g(g_deferred_mutex);
  try {
    g_deferred_refs.push_back(obj);
  } catch (const std::bad_alloc&) {
    return;  // no room to queue: the reference is kept (a leak, never a crash)
  }
  g_has_deferred.store(true, std::memory_order_release);
}

void drain_deferred() noexcept {
  if (thread_ending()) return;
  if (!g_has_deferred.load(std::memory_order_acquire)) {
    apply_pending_increfs();
    return;
  }
  SharedBox* batch;
  std::vector<PyObject*> refs;
  {
    std::lock_guard<std::mutex> g(g_deferred_mutex);
    batch = std::exchange(g_deferred, nullptr);
    refs.swap(g_deferred_refs);
    g_has_deferred.store(false, std::memory_order_release);
  }
  // Taken after the batch: a reference released in the batch was taken
  // before it was queued, so its pending increment is applied here first.
  apply_pending_increfs();
  for (PyObject* o : refs) release_now(o);
  while (batch) {
    SharedBox* next = batch->next;
    release_now(batch->obj);
    delete batch;
    batch = next;
  }
}

namespace {
[[noreturn]] void wait_for_process_end() {
  for (;;) pause();
}
}  // namespace

void begin_queued_release() noexcept { ++t_queue_depth; }
void end_queued_release() noexcept { --t_queue_depth; }

void drain_queued_release() noexcept {
  if (t_queue_depth > 0 || t_queue_draining || thread_ending()) return;
  t_queue_draining = true;
  apply_pending_increfs();
  while (!t_queue.empty()) {
    PyObject* o = t_queue.back();
    t_queue.pop_back();
    Py_DECREF(o);
  }
  t_queue_draining = false;
}

void install_lock_hooks() noexcept {
  lock_hooks::detach.store(&detach_for_wait, std::memory_order_release);
  lock_hooks::reattach.store(&reattach_after_wait, std::memory_order_release);
}

void check_attached() noexcept {
  if (thread_ending()) return;  // unwinding to its end: nothing is released
  if (t_detached || !PyGILState_Check()) {
    std::fprintf(stderr, "Zarvex: Python reference touched by a detached thread (%s)\n",
                 t_detached ? "marked detached" : "interpreter lock not held");
    print_native_stack();
    std::abort();
  }
}

DetachScope::DetachScope(bool drain_at_end, bool detach) noexcept
    : was_detached_(t_detached || !detach), drain_at_end_(drain_at_end) {
  if (was_detached_) {
    state_ = nullptr;
    return;
  }
  detail::g_detached_sections.fetch_add(1, std::memory_order_relaxed);
  state_ = PyEval_SaveThread();
  t_detached = true;
}

DetachScope::~DetachScope() noexcept(false) {
  // A thread being ended stays detached: asking for the lock would end it a
  // second time, inside its own unwinding.
  if (was_detached_ || t_ending) return;
  // Re-attaching now would end this thread by a second unwinding.
  if (interpreter_finalizing() && std::uncaught_exceptions() > 0) wait_for_process_end();
  t_ending = true;
  PyEval_RestoreThread(state_);
  t_ending = false;
  t_detached = false;
  // Attached again: the section is over (a thread ended while re-attaching
  // never gets here, and leaves the count raised: indexes are then no longer
  // walked by the collector, which only keeps objects alive).
  detail::g_detached_sections.fetch_sub(1, std::memory_order_relaxed);
  if (drain_at_end_) drain_deferred();
}

bool signal_raised() {
  AttachScope attach;
  return PyErr_CheckSignals() < 0;
}

LockedAttachScope::LockedAttachScope() : attached_here_(t_detached) {
  if (attached_here_) {
    t_ending = true;
    gstate_ = PyGILState_Ensure();
    t_ending = false;
    t_detached = false;
  }
  gc_was_enabled_ = PyGC_Disable() != 0;
}

LockedAttachScope::~LockedAttachScope() {
  if (thread_ending()) return;
  if (gc_was_enabled_) PyGC_Enable();
  if (!attached_here_) return;
  t_detached = true;
  PyGILState_Release(gstate_);
}

AttachScope::AttachScope() : attached_here_(t_detached) {
  if (!attached_here_) return;
  t_ending = true;
  gstate_ = PyGILState_Ensure();
  t_ending = false;
  t_detached = false;
  drain_deferred();
}

AttachScope::~AttachScope() {
  // A thread ended inside the scope no longer holds the lock it took.
  if (!attached_here_ || thread_ending()) return;
  drain_deferred();
  t_detached = true;
  PyGILState_Release(gstate_);
}

}  // namespace zarvex::py
