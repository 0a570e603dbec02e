#include "py/boundary.hpp"

namespace zarvex::py {

// Both classes are made by attached threads only (the interpreter lock
// orders them); a failed attempt is retried by the next caller.
PyObject* internal_error_type() {
  static PyObject* type = nullptr;
  if (!type)
    type = PyErr_NewExceptionWithDoc("Zarvex.InternalError",
                                     "An internal failure of Zarvex: a broken invariant, a lock poisoned by an "
                                     "earlier failure, or an operation that is not supported.",
                                     PyExc_BaseException, nullptr);
  return type;
}

PyObject* unorderable_error_type() {
  static PyObject* type = nullptr;
  if (type) return type;
  PyObject* base = internal_error_type();
  if (!base) return nullptr;
  PyObject* bases = PyTuple_Pack(2, base, PyExc_TypeError);
  if (!bases) return nullptr;
  type = PyErr_NewExceptionWithDoc("Zarvex.UnorderableError",
                                   "An ordering comparison (gt, ge, lt, le, bt) whose bound is of a kind that "
                                   "cannot be ordered: a TypeError, and an InternalError for callers that catch "
                                   "those.",
                                   bases, nullptr);
  Py_DECREF(bases);
  return type;
}

namespace {
void raise_with(PyObject* type, const char* message) {
  if (!type) {
    // Creating the class failed: that error stays set, unless creating it
    // failed silently, in which case the text still reaches the caller.
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, message);
    return;
  }
  PyErr_SetString(type, message);
}
}  // namespace

void raise_internal(const char* message) { raise_with(internal_error_type(), message); }

void raise_unorderable(const char* message) { raise_with(unorderable_error_type(), message); }

}  // namespace zarvex::py
