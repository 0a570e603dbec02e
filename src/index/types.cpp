#include "index/types.hpp"

#include <atomic>

namespace zarvex::types {

namespace {
// Built-in type first, then numpy.<attr> when numpy imports and the attribute
// is a type. Every failure on the numpy side is silent.
TypeList build(PyTypeObject* builtin, const char* numpy_attr) {
  TypeList list;
  Py_INCREF(builtin);
  list.push_back(builtin);
  PyObject* np = PyImport_ImportModule("numpy");
  if (!np) {
    PyErr_Clear();
    return list;
  }
  PyObject* t = PyObject_GetAttrString(np, numpy_attr);
  Py_DECREF(np);
  if (!t) {
    PyErr_Clear();
    return list;
  }
  if (PyType_Check(t)) {
    list.push_back(reinterpret_cast<PyTypeObject*>(t));  // keeps the reference
  } else {
    Py_DECREF(t);
  }
  return list;
}
}  // namespace

// No C++ static-local guard here: importing numpy may release the interpreter
// lock, and a second thread blocked on a static guard while attached would
// deadlock the first. Racing builders each build a list; the first to
// publish wins and the others discard theirs.
struct Registry {
  TypeList ints, floats, strs, bools;
};

std::atomic<Registry*> g_registry{nullptr};

const Registry& registry() {
  Registry* r = g_registry.load(std::memory_order_acquire);
  if (r) return *r;
  auto* fresh = new Registry{build(&PyLong_Type, "int64"), build(&PyFloat_Type, "float64"),
                             build(&PyUnicode_Type, "str_"), build(&PyBool_Type, "bool")};
  Registry* expected = nullptr;
  if (g_registry.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
  for (TypeList* l : {&fresh->ints, &fresh->floats, &fresh->strs, &fresh->bools})
    for (PyTypeObject* t : *l) Py_DECREF(t);
  delete fresh;
  return *expected;
}

const TypeList& int_types() { return registry().ints; }
const TypeList& float_types() { return registry().floats; }
const TypeList& str_types() { return registry().strs; }
const TypeList& bool_types() { return registry().bools; }

}  // namespace zarvex::types
