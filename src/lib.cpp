// Module entry: PyInit_Zarvex, the interpreter guard, the cached module and
// the registration of sum_as_string and the classes, in their fixed order,
// plus __version__ (not in __all__). Single-phase initialisation; no
// per-module state.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "index/core/query/b_tree/ranged_b_tree.hpp"
#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/gil.hpp"
#include "registry.hpp"
#include "support/memory.hpp"

// Set by the build from the one version string in pyproject.toml.
#ifndef ZARVEX_VERSION
#error "ZARVEX_VERSION must be defined by the build"
#endif

namespace {

using namespace zarvex;

std::atomic<int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

PyObject* sum_as_string(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* in[2];
  if (!py::parse_fast("sum_as_string", {"a", "b"}, args, nargs, kwnames, in)) return nullptr;
  static const char* const names[2] = {"a", "b"};
  uint32_t v[2];
  for (int i = 0; i < 2; ++i) {
    unsigned long x = PyLong_AsUnsignedLong(in[i]);
    if (x == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
      py::arg_error(names[i]);
      return nullptr;
    }
    if (x > 0xFFFFFFFFul) {
      py::arg_error(names[i], PyExc_OverflowError, "out of range integral type conversion attempted");
      return nullptr;
    }
    v[i] = static_cast<uint32_t>(x);
  }
  uint32_t sum = v[0] + v[1];
  return PyUnicode_FromFormat("%lu", static_cast<unsigned long>(sum));
}

PyMethodDef g_sum_def = {"sum_as_string", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&sum_as_string)),
                         METH_FASTCALL | METH_KEYWORDS,
                         "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

// Checked builds only: _fail_allocation(n) makes the n-th native allocation
// from now on fail with MemoryError (0 disarms) and returns whether the
// previous arming fired. For the allocation-failure tests.
PyObject* fail_allocation(PyObject* /*self*/, PyObject* arg) {
  unsigned long long n = PyLong_AsUnsignedLongLong(arg);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  return PyBool_FromLong(memory::arm_failure(n));
}

PyMethodDef g_fail_def = {"_fail_allocation", &fail_allocation, METH_O,
                          "_fail_allocation(n)\n--\n\nTest hook: the n-th native allocation from now fails."};

// Checked builds only: _defer_moves_from(n) makes ordered trees of at least
// n pairs defer their moves' bitmap changes and returns the previous limit.
// For the tests of deferred moves with small trees.
PyObject* set_defer_moves_from(PyObject* /*self*/, PyObject* arg) {
  unsigned long long n = PyLong_AsUnsignedLongLong(arg);
  if (n == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  return PyLong_FromUnsignedLongLong(defer_moves_from.exchange(n));
}

PyMethodDef g_defer_def = {"_defer_moves_from", &set_defer_moves_from, METH_O,
                           "_defer_moves_from(n)\n--\n\nTest hook: trees of at least n pairs defer their moves' "
                           "bitmap changes."};

PyModuleDef g_def = {PyModuleDef_HEAD_INIT,
                     "Zarvex",
                     "A Python module implemented in C++ as a native extension.",
                     0,
                     nullptr,
                     nullptr,
                     nullptr,
                     nullptr,
                     nullptr};

// Appends `name` to __all__ (creating it on first use), then sets the attribute.
bool add_to_module(PyObject* module, const char* name, PyObject* value /* stolen */) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (!all) {
    PyErr_Clear();
    all = PyList_New(0);
    if (!all || PyModule_AddObjectRef(module, "__all__", all) < 0) {
      Py_XDECREF(all);
      Py_DECREF(value);
      return false;
    }
  }
  PyObject* text = PyUnicode_FromString(name);
  bool ok = text && PyList_Append(all, text) == 0;
  Py_XDECREF(text);
  Py_DECREF(all);
  if (!ok) {
    Py_DECREF(value);
    return false;
  }
  int rc = PyModule_AddObjectRef(module, name, value);
  Py_DECREF(value);
  return rc == 0;
}

bool initialise(PyObject* module) {
  if (PyModule_AddStringConstant(module, "__version__", ZARVEX_VERSION) < 0) return false;
  PyObject* modname = PyModule_GetNameObject(module);
  if (!modname) return false;
  PyObject* fn = PyCMethod_New(&g_sum_def, module, modname, nullptr);
  Py_DECREF(modname);
  if (!fn) return false;
  if (!add_to_module(module, "sum_as_string", fn)) return false;
  if (memory::injection_available()) {
    for (PyMethodDef* def : {&g_fail_def, &g_defer_def}) {
      PyObject* hook = PyCMethod_New(def, module, nullptr, nullptr);
      if (!hook || PyModule_AddObjectRef(module, def->ml_name, hook) < 0) {
        Py_XDECREF(hook);
        return false;
      }
      Py_DECREF(hook);
    }
  }
  for (const auto& cls : registry::classes()) {
    PyObject* type = cls.get_type();
    if (!type) return false;
    Py_INCREF(type);
    if (!add_to_module(module, cls.name, type)) return false;
  }
  // The exception classes are importable (Zarvex.InternalError) but not part
  // of __all__: a star import brings in the classes one works with.
  for (auto [name, type] : {std::pair{"InternalError", py::internal_error_type()},
                            std::pair{"UnorderableError", py::unorderable_error_type()}}) {
    if (!type || PyModule_AddObjectRef(module, name, type) < 0) return false;
  }
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_Zarvex(void) {
  PyInterpreterState* interp = PyInterpreterState_Get();
  int64_t id = PyInterpreterState_GetID(interp);
  if (id == -1) return nullptr;
  int64_t expected = -1;
  if (!g_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Zarvex does not support sub-interpreters: it can only be imported once per process");
    return nullptr;
  }
  if (g_module) {
    Py_INCREF(g_module);
    return g_module;
  }
  zarvex::py::install_lock_hooks();
  PyObject* module = PyModule_Create2(&g_def, 1013);
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  if (PyUnstable_Module_SetGIL(module, Py_MOD_GIL_USED) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
#endif
  if (!initialise(module)) {
    Py_DECREF(module);
    return nullptr;
  }
  g_module = module;
  Py_INCREF(g_module);
  return module;
}
