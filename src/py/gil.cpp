#include "py/gil.hpp"

#include "py/pending_ref.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace zarvex::py {

namespace {
thread_local bool t_detached = false;
thread_local int t_queue_depth = 0;
thread_local bool t_queue_draining = false;
thread_local std::vector<PyObject*> t_queue;

std::mutex g_deferred_mutex;
std::vector<PyObject*> g_deferred;
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
void reattach_after_wait(void* token) {
  PyEval_RestoreThread(static_cast<PyThreadState*>(token));
  t_detached = false;
}
}  // namespace

bool thread_detached() noexcept { return t_detached; }

void release_ref(PyObject* obj) noexcept {
  if (!obj) return;
  if (!t_detached) {
    // A reference taken on a detached thread and still pending is applied
    // first, so a count never drops below what its holders own.
    apply_pending_increfs();
    if (t_queue_depth > 0 || t_queue_draining) {
      t_queue.push_back(obj);
      return;
    }
    Py_DECREF(obj);
    return;
  }
  std::lock_guard<std::mutex> g(g_deferred_mutex);
  g_deferred.push_back(obj);
  g_has_deferred.store(true, std::memory_order_release);
}

void drain_deferred() noexcept {
  if (!g_has_deferred.load(std::memory_order_acquire)) {
    apply_pending_increfs();
    return;
  }
  std::vector<PyObject*> batch;
  {
    std::lock_guard<std::mutex> g(g_deferred_mutex);
    batch.swap(g_deferred);
    g_has_deferred.store(false, std::memory_order_release);
  }
  // Taken after the batch: a reference released in the batch was taken
  // before it was queued, so its pending increment is applied here first.
  apply_pending_increfs();
  for (PyObject* o : batch) Py_DECREF(o);
}

void begin_queued_release() noexcept { ++t_queue_depth; }
void end_queued_release() noexcept { --t_queue_depth; }

void drain_queued_release() noexcept {
  if (t_queue_depth > 0 || t_queue_draining) return;
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
  if (t_detached || !PyGILState_Check()) {
    std::fputs("Zarvex: Python reference touched by a detached thread\n", stderr);
    std::abort();
  }
}

DetachScope::DetachScope() noexcept : was_detached_(t_detached) {
  if (was_detached_) {
    state_ = nullptr;
    return;
  }
  state_ = PyEval_SaveThread();
  t_detached = true;
}

DetachScope::~DetachScope() {
  if (was_detached_) return;
  PyEval_RestoreThread(state_);
  t_detached = false;
  drain_deferred();
}

LockedDetachScope::LockedDetachScope() noexcept : was_detached_(t_detached) {
  if (was_detached_) {
    state_ = nullptr;
    return;
  }
  state_ = PyEval_SaveThread();
  t_detached = true;
}

LockedDetachScope::~LockedDetachScope() {
  if (was_detached_) return;
  PyEval_RestoreThread(state_);
  t_detached = false;
}

AttachScope::AttachScope() noexcept : attached_here_(t_detached) {
  if (!attached_here_) return;
  gstate_ = PyGILState_Ensure();
  t_detached = false;
  drain_deferred();
}

AttachScope::~AttachScope() {
  if (!attached_here_) return;
  drain_deferred();
  t_detached = true;
  PyGILState_Release(gstate_);
}

}  // namespace zarvex::py
