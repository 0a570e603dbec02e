// Pending strong references: a detached thread that needs a new strong
// reference to an object it can see but may not touch (no reference-count
// change without the interpreter lock) records the increment here; it is
// applied at the next drain, by an attached thread.
//
// Safe only under this rule, which the attribute table and the index stores
// keep: the object is held by a reference that is released only after
// pending increments have been applied (every release of an attribute slot
// or a store slot drains first; so do release_ref(), release_box() and the
// deferred-release queue). Until then the object lives
// on that reference, and the new holder may use the object (not release it).
//
// Thread-safety: any thread may record; draining needs the interpreter lock.
#pragma once

#include <Python.h>

#include <atomic>
#include <span>

namespace zarvex::py {

namespace detail {
inline std::atomic<bool> g_has_pending_increfs{false};
void apply_pending_increfs_slow() noexcept;
}  // namespace detail

// Records one strong reference to each of `objs` (no nulls) to be taken at
// the next drain, under one hold of the record's lock; all or none are
// recorded (throws bad_alloc).
void add_pending_increfs(std::span<PyObject* const> objs);
inline void add_pending_incref(PyObject* obj) { add_pending_increfs(std::span<PyObject* const>(&obj, 1)); }

// Applies every recorded increment (attached only). Cheap when none waits.
inline void apply_pending_increfs() noexcept {
  if (detail::g_has_pending_increfs.load(std::memory_order_acquire)) detail::apply_pending_increfs_slow();
}

}  // namespace zarvex::py
