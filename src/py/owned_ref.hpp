// Ref: an owned strong reference to a Python object (or null), released when
// the Ref goes. Construction says whether it steals or borrows. Only attached
// threads create, copy or destroy a Ref.
//
// SharedPy: a shared holder of one strong reference, reference-counted with
// an atomic count of its own, so copies never touch the Python reference
// count and may be copied and dropped on detached threads; the last holder
// releases the Python reference through release_box() (deferred when
// detached).
#pragma once

#include <Python.h>

#include <atomic>
#include <span>
#include <utility>

#include "py/gil.hpp"
#include "py/pending_ref.hpp"

namespace zarvex::py {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) { return Ref(o); }
  static Ref borrow(PyObject* o) {
    assert_attached();
    Py_XINCREF(o);
    return Ref(o);
  }
  Ref(const Ref& o) : p_(o.p_) {
    assert_attached();
    Py_XINCREF(p_);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() {
    // A thread that the interpreter is ending holds no interpreter lock: its
    // references are left to the process's end.
    if (p_ && !thread_ending()) {
      assert_attached();
      Py_DECREF(p_);
    }
  }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* o) : p_(o) {}
  PyObject* p_ = nullptr;
};

// Takes one new strong reference to `o` (may be null) from any thread: at
// once when attached, as a pending increment when detached (the caller sees
// `o` through a holder that drains pending references before it lets go;
// see py/pending_ref.hpp). The reference is later given back through
// release_ref(). Throws bad_alloc when a pending increment cannot be
// recorded (nothing is then taken).
// take_refs_anywhere: the same for each of `objs` (no nulls), one record for
// all when detached.
inline void take_refs_anywhere(std::span<PyObject* const> objs) {
  if (thread_detached()) return add_pending_increfs(objs);
  assert_attached();
  for (PyObject* o : objs) Py_INCREF(o);
}
inline void take_ref_anywhere(PyObject* o) {
  if (o) take_refs_anywhere(std::span<PyObject* const>(&o, 1));
}

class SharedPy {
 public:
  SharedPy() = default;
  // Takes over one strong reference.
  static SharedPy steal(PyObject* o) { return SharedPy(o ? new Box{{1}, 0, o, nullptr} : nullptr); }
  // Takes a new strong reference; the caller is attached.
  static SharedPy borrow(PyObject* o) {
    assert_attached();
    Py_XINCREF(o);
    return steal(o);
  }
  // A new strong reference from any thread: taken at once when attached,
  // recorded as pending when detached (see py/pending_ref.hpp for the rule
  // that makes this safe: the caller sees `o` through a holder that drains
  // pending references before it lets go).
  static SharedPy borrow_anywhere(PyObject* o) {
    if (!thread_detached()) return borrow(o);
    if (!o) return SharedPy();
    SharedPy s(new Box{{1}, 0, nullptr});
    add_pending_incref(o);  // may throw: the box holds nothing yet
    s.b_->obj = o;
    return s;
  }
  SharedPy(const SharedPy& o) noexcept : b_(o.b_) {
    if (b_) b_->rc.fetch_add(1, std::memory_order_relaxed);
  }
  SharedPy(SharedPy&& o) noexcept : b_(std::exchange(o.b_, nullptr)) {}
  SharedPy& operator=(SharedPy o) noexcept {
    std::swap(b_, o.b_);
    return *this;
  }
  ~SharedPy() { reset(); }

  void reset() noexcept {
    if (b_ && b_->rc.fetch_sub(1, std::memory_order_acq_rel) == 1) release_box(b_);
    b_ = nullptr;
  }
  PyObject* get() const { return b_ ? b_->obj : nullptr; }
  // A new strong reference; the caller is attached.
  PyObject* new_ref() const {
    assert_attached();
    PyObject* o = get();
    Py_XINCREF(o);
    return o;
  }
  explicit operator bool() const { return b_ != nullptr; }
  bool same(const SharedPy& o) const { return b_ == o.b_; }
  // Identity of the holder (shared by copies).
  const void* identity() const { return b_; }
  // The box itself, for the cycle collector's walk (index/core/ownership.hpp).
  SharedBox* box() const { return b_; }

 private:
  using Box = SharedBox;
  explicit SharedPy(Box* b) : b_(b) {}
  Box* b_ = nullptr;
};

}  // namespace zarvex::py
