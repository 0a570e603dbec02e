// Interpreter-lock helpers.
//
// Rules these helpers enforce for the whole module:
//  * A thread attached to the interpreter never blocks on a native lock:
//    take_* helpers try the lock first and, when it is taken, detach while
//    waiting (and re-attach once they hold it). Blocking on a native lock
//    while attached is reported by the checked-build hook installed by
//    install_lock_checks().
//  * A Python reference is never released by a detached thread: release_ref()
//    queues it, and the queue is drained at the next attach (the end of a
//    DetachScope, the start of an AttachScope).
//  * DetachScope/AttachScope keep a thread-local "detached" flag so that code
//    anywhere below knows which side of the interpreter lock it is on.
#pragma once

#include <Python.h>

#include "support/poison_lock.hpp"

namespace zarvex::py {

// True while the calling thread is inside a DetachScope (and not inside a
// nested AttachScope).
bool thread_detached() noexcept;

// Releases one strong reference now when attached, else queues it.
void release_ref(PyObject* obj) noexcept;

// Releases queued references; the caller is attached.
void drain_deferred() noexcept;

// Installs the checked-build hook that aborts when an attached thread is
// about to block on a native lock. No-op in unchecked builds.
void install_lock_checks() noexcept;

// Releases the interpreter lock for its lifetime.
class DetachScope {
 public:
  DetachScope() noexcept;
  ~DetachScope();
  DetachScope(const DetachScope&) = delete;
  DetachScope& operator=(const DetachScope&) = delete;

 private:
  PyThreadState* state_;
  bool was_detached_;
};

// Re-attaches a detached thread for its lifetime (no-op when attached).
class AttachScope {
 public:
  AttachScope() noexcept;
  ~AttachScope();
  AttachScope(const AttachScope&) = delete;
  AttachScope& operator=(const AttachScope&) = delete;

 private:
  bool attached_here_;
  PyGILState_STATE gstate_{};
};

// Takes a native lock from any thread without ever blocking while attached.
template <class L>
void lock_exclusive(L& l) {
  if (!thread_detached()) {
    if (l.try_lock()) return;
    DetachScope detach;
    l.lock();
    return;
  }
  l.lock();
}

template <class L>
void lock_shared(L& l) {
  if (!thread_detached()) {
    if (l.try_lock_shared()) return;
    DetachScope detach;
    l.lock_shared();
    return;
  }
  l.lock_shared();
}

// Guard constructors that use the helpers above.
inline MutexGuard guard(PoisonMutex& m) {
  lock_exclusive(m);
  return MutexGuard(m, adopt);
}
inline ReadGuard guard_read(PoisonRwLock& l) {
  lock_shared(l);
  return ReadGuard(l, adopt);
}
inline WriteGuard guard_write(PoisonRwLock& l) {
  lock_exclusive(l);
  return WriteGuard(l, adopt);
}

template <class T>
typename RwLocked<T>::Read read(const RwLocked<T>& v) {
  lock_shared(v.lock());
  return typename RwLocked<T>::Read(v, adopt);
}
template <class T>
typename RwLocked<T>::Write write(RwLocked<T>& v) {
  lock_exclusive(v.lock());
  return typename RwLocked<T>::Write(v, adopt);
}
template <class T>
typename MutexLocked<T>::Guard lock(MutexLocked<T>& v) {
  lock_exclusive(v.mutex());
  return typename MutexLocked<T>::Guard(v, adopt);
}

}  // namespace zarvex::py
