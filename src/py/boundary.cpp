#include "py/boundary.hpp"

namespace zarvex::py {

PyObject* internal_error_type() {
  static PyObject* type = [] {
    return PyErr_NewExceptionWithDoc(
        "Zarvex.InternalError",
        "An internal failure of Zarvex: a broken invariant, a lock poisoned by an earlier failure, "
        "or an operation that is not supported.",
        PyExc_BaseException, nullptr);
  }();
  return type;
}

void raise_internal(const char* message) {
  PyObject* type = internal_error_type();
  if (!type) return;  // creating the class failed; that error stays set
  PyErr_SetString(type, message);
}

}  // namespace zarvex::py
