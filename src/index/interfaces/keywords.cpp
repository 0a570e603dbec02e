// Keyword arguments to exact-value queries (see interfaces.hpp).
#include <Python.h>

#include <functional>
#include <string>

#include "absl/container/flat_hash_set.h"
#include "index/interfaces/interfaces.hpp"
#include "py/boundary.hpp"
#include "py/owned_ref.hpp"
#include "support/internal_failure.hpp"
#include "support/memory.hpp"

namespace zarvex {

namespace {
struct ValueHash {
  size_t operator()(const PyValue& v) const { return v.hash64(); }
};

// Tables grow through the reserve (support/memory.hpp).
using SeenValues = absl::flat_hash_set<PyValue, ValueHash, std::equal_to<PyValue>, memory::UnfailingAllocator<PyValue>>;

void push_unique(std::vector<PyValue>& out, SeenValues& seen, PyValue v) {
  // Equal values collapse; values that never equal anything (Unknown,
  // containers) are each kept.
  if (seen.contains(v)) return;
  seen.insert(v);
  out.push_back(std::move(v));
}
}  // namespace

HashQuery kwargs_to_hash_query(PyObject* kwargs) {
  HashQuery q;
  if (!kwargs) return q;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    py::Ref k = py::Ref::borrow(key), v = py::Ref::borrow(value);
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(k.get(), &n);
    if (!s) throw py::PyErrorSet{};
    CompactStr name(std::string_view(s, static_cast<size_t>(n)));
    std::vector<PyValue> values;
    if (PyUnicode_Check(v.get()) || PyBytes_Check(v.get())) {
      values.push_back(PyValue::from_object(v.get()));
    } else {
      py::Ref it = py::Ref::steal(PyObject_GetIter(v.get()));
      if (!it) {
        PyErr_Clear();
        values.push_back(PyValue::from_object(v.get()));
      } else {
        SeenValues seen;
        while (PyObject* raw = PyIter_Next(it.get())) {
          py::Ref item = py::Ref::steal(raw);
          push_unique(values, seen, PyValue::from_object(item.get()));
        }
        if (PyErr_Occurred()) {
          PyObject *t, *val, *tb;
          PyErr_Fetch(&t, &val, &tb);
          PyErr_NormalizeException(&t, &val, &tb);
          std::string msg = "error while iterating a keyword value";
          if (val) {
            if (PyObject* str = PyObject_Str(val)) {
              if (const char* c = PyUnicode_AsUTF8(str)) msg += std::string(": ") + Py_TYPE(val)->tp_name + ": " + c;
              Py_DECREF(str);
            }
          }
          PyErr_Clear();
          Py_XDECREF(t);
          Py_XDECREF(val);
          Py_XDECREF(tb);
          fail(msg);
        }
      }
    }
    q.add(std::move(name), std::move(values));
  }
  return q;
}

bool no_positional(const char* name, PyObject* args) {
  if (args && PyTuple_GET_SIZE(args) != 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes 0 positional arguments but %zd were given", name, PyTuple_GET_SIZE(args));
    return false;
  }
  return true;
}

}  // namespace zarvex
