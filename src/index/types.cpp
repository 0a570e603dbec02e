#include "index/types.hpp"

#include <atomic>

namespace zarvex::types {

namespace {
// numpy.<attr> (a new reference) when numpy imports and the attribute is a
// type, else nullptr. Every failure on the numpy side is silent. The
// attribute is read from the module's namespace, not through its attribute
// hook: numpy 1.24 to 1.26 answer `bool` from a hook that emits a
// FutureWarning before it fails (an error under `-W error`, printed
// otherwise), and every type looked up here lies in the namespace itself.
PyTypeObject* numpy_type(const char* attr) {
  PyObject* np = PyImport_ImportModule("numpy");
  if (!np) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* t = nullptr;
  if (PyModule_Check(np)) {
    t = PyDict_GetItemString(PyModule_GetDict(np), attr);  // borrowed; errors discarded
    if (t && PyType_Check(t))
      Py_INCREF(t);
    else
      t = nullptr;
  }
  Py_DECREF(np);
  return reinterpret_cast<PyTypeObject*>(t);  // keeps the reference
}

// A class of a module that is already loaded; cached once found.
PyTypeObject* loaded_type(std::atomic<PyTypeObject*>& cache, const char* module, const char* name) {
  if (PyTypeObject* t = cache.load(std::memory_order_acquire)) return t;
  PyObject* mod_name = PyUnicode_FromString(module);
  if (!mod_name) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* mod = PyImport_GetModule(mod_name);
  Py_DECREF(mod_name);
  if (!mod) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* t = PyObject_GetAttrString(mod, name);
  Py_DECREF(mod);
  if (!t || !PyType_Check(t)) {
    PyErr_Clear();
    Py_XDECREF(t);
    return nullptr;
  }
  PyTypeObject* expected = nullptr;
  if (!cache.compare_exchange_strong(expected, reinterpret_cast<PyTypeObject*>(t), std::memory_order_acq_rel)) {
    Py_DECREF(t);
    return expected;
  }
  return reinterpret_cast<PyTypeObject*>(t);  // the cache keeps the reference
}

std::atomic<PyTypeObject*> g_decimal{nullptr}, g_fraction{nullptr}, g_enum_meta{nullptr};

// Built-in type first, then numpy.<attr> when there is one.
TypeList build(PyTypeObject* builtin, const char* numpy_attr) {
  TypeList list;
  Py_INCREF(builtin);
  list.push_back(builtin);
  if (PyTypeObject* t = numpy_type(numpy_attr)) list.push_back(t);
  return list;
}
}  // namespace

// No C++ static-local guard here: importing numpy may release the interpreter
// lock, and a second thread blocked on a static guard while attached would
// deadlock the first. Racing builders each build a list; the first to
// publish wins and the others discard theirs.
struct Registry {
  TypeList ints, floats, strs, bools;
  NumpyScalars np;
};

std::atomic<Registry*> g_registry{nullptr};

const Registry& registry() {
  Registry* r = g_registry.load(std::memory_order_acquire);
  if (r) return *r;
  auto* fresh = new Registry{
      build(&PyLong_Type, "int64"), build(&PyFloat_Type, "float64"), build(&PyUnicode_Type, "str_"),
      build(&PyBool_Type, "bool"),
      NumpyScalars{numpy_type("integer"), numpy_type("floating"), numpy_type("datetime64"), numpy_type("timedelta64")}};
  Registry* expected = nullptr;
  if (g_registry.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
  for (TypeList* l : {&fresh->ints, &fresh->floats, &fresh->strs, &fresh->bools})
    for (PyTypeObject* t : *l) Py_DECREF(t);
  for (PyTypeObject* t : {fresh->np.integer, fresh->np.floating, fresh->np.datetime64, fresh->np.timedelta64})
    Py_XDECREF(t);
  delete fresh;
  return *expected;
}

const TypeList& int_types() { return registry().ints; }
const TypeList& float_types() { return registry().floats; }
const TypeList& str_types() { return registry().strs; }
const TypeList& bool_types() { return registry().bools; }
const NumpyScalars& numpy_scalars() { return registry().np; }

PyTypeObject* decimal_type() { return loaded_type(g_decimal, "decimal", "Decimal"); }
PyTypeObject* fraction_type() { return loaded_type(g_fraction, "fractions", "Fraction"); }
PyTypeObject* enum_meta() { return loaded_type(g_enum_meta, "enum", "EnumType"); }

}  // namespace zarvex::types
