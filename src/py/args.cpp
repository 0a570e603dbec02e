#include "py/args.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "py/boundary.hpp"

namespace zarvex::py {

bool parse_fast(const char* func, std::initializer_list<const char*> names, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(names.size());
  if (nargs > n) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", func, n, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t idx = -1, i = 0;
      for (const char* name : names) {
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) {
          idx = i;
          break;
        }
        ++i;
      }
      if (idx < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
        return false;
      }
      if (out[idx]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", func, key);
        return false;
      }
      out[idx] = args[nargs + k];
    }
  }
  std::vector<const char*> missing;
  Py_ssize_t i = 0;
  for (const char* name : names)
    if (!out[i++]) missing.push_back(name);
  if (!missing.empty()) {
    std::string list;
    for (size_t m = 0; m < missing.size(); ++m) {
      if (m) list += (m + 1 == missing.size()) ? (missing.size() > 2 ? ", and " : " and ") : ", ";
      list += "'";
      list += missing[m];
      list += "'";
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", func, missing.size(),
                 missing.size() == 1 ? "" : "s", list.c_str());
    return false;
  }
  return true;
}

void arg_error(const char* name) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return;
  PyErr_NormalizeException(&type, &value, &tb);
  // The pending error, rebuilt as the same class with the prefixed text. Not
  // every class can be built from one text (UnicodeEncodeError takes five
  // arguments, a user's class may take others or fail); then the original
  // error is raised unchanged, so building the report never replaces the
  // error it reports.
  PyObject* text = value ? PyObject_Str(value) : nullptr;
  if (!text) {
    PyErr_Clear();
    text = PyUnicode_FromString("");
  }
  PyObject* message = text ? PyUnicode_FromFormat("argument '%s': %U", name, text) : nullptr;
  PyObject* rebuilt = message ? PyObject_CallOneArg(type, message) : nullptr;
  Py_XDECREF(message);
  Py_XDECREF(text);
  if (rebuilt && value && PyObject_TypeCheck(rebuilt, reinterpret_cast<PyTypeObject*>(type))) {
    // The original stays reachable as the cause, with its traceback.
    if (tb) PyException_SetTraceback(value, tb);
    PyException_SetCause(rebuilt, value);  // steals `value`
    PyErr_SetObject(type, rebuilt);
    Py_DECREF(rebuilt);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return;
  }
  Py_XDECREF(rebuilt);
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
}

void arg_error(const char* name, PyObject* type, const char* message) {
  PyErr_Format(type, "argument '%s': %s", name, message);
}

void arg_type_error(const char* name, PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", name, Py_TYPE(obj)->tp_name,
               target);
}

std::string_view str_arg(const char* name, PyObject* obj) {
  if (!PyUnicode_Check(obj)) {
    arg_type_error(name, obj, "PyString");
    throw PyErrorSet{};
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!s) {
    arg_error(name);
    throw PyErrorSet{};
  }
  return std::string_view(s, static_cast<size_t>(n));
}

}  // namespace zarvex::py
