// The process-wide type registry that classifies Python values: the exact
// types taken as Int, Float, Str and Bool (the built-in type, then the numpy
// scalar type of the same meaning when numpy can be imported), and the
// Indexable type. Each list is built once, on first use, with the
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

inline bool in(const TypeList& list, PyTypeObject* t) {
  for (PyTypeObject* x : list)
    if (x == t) return true;
  return false;
}

}  // namespace zarvex::types
