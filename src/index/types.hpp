// The process-wide type registry that classifies Python values: the exact
// types taken as Int, Float, Str and Bool (the built-in type, then the numpy
// scalar type of the same meaning when numpy can be imported), and the
// Indexable type; numpy's other scalar classes; Decimal, Fraction and
// the Enum metaclass. Each list is built once, on first use, with the
// interpreter attached (first use happens on an attached thread, so the
// interpreter lock serialises the builders), and kept for the life of the
// process. numpy is imported by name, never linked; when it is missing the
// lists hold only the built-in types.
#pragma once

#include <Python.h>

#include "absl/container/inlined_vector.h"

namespace zarvex::types {

using TypeList = absl::InlinedVector<PyTypeObject*, 2>;

const TypeList& int_types();
const TypeList& float_types();
const TypeList& str_types();
const TypeList& bool_types();

// numpy's abstract scalar classes (numpy.integer, numpy.floating) and its
// datetime64 and timedelta64 types; null when numpy is missing.
struct NumpyScalars {
  PyTypeObject* integer = nullptr;
  PyTypeObject* floating = nullptr;
  PyTypeObject* datetime64 = nullptr;
  PyTypeObject* timedelta64 = nullptr;
};
const NumpyScalars& numpy_scalars();

// decimal.Decimal, fractions.Fraction and enum.EnumType, taken from the
// modules already imported (a value of a class can only exist once its
// module is loaded, so nothing is imported here); null until then. Found
// types are kept for the life of the process.
PyTypeObject* decimal_type();
PyTypeObject* fraction_type();
PyTypeObject* enum_meta();

inline bool in(const TypeList& list, PyTypeObject* t) {
  for (PyTypeObject* x : list)
    if (x == t) return true;
  return false;
}

}  // namespace zarvex::types
