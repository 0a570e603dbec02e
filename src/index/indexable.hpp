// Indexable: the Python class whose instances carry the object record
// (index/object_record.hpp), and the attribute-name ids its slots use.
//
// The class takes part in the cycle collector: tp_traverse visits the Python
// references of the attribute table (read without the attributes lock, under
// the interpreter lock, which every change of the table holds), tp_clear
// drops the table. References held by indexes are visited only by the index
// or view that holds them alone (index/core/ownership.hpp), so an object
// stored in a live index is never found unreachable while the index is not.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <optional>

#include "index/object_record.hpp"

namespace zarvex {

// The Indexable type object (borrowed; built once). nullptr with an error set
// if building it failed.
PyObject* indexable_type_object();

// Interned attribute id of a Python str name (cached per interned name
// object). Throws py::PyErrorSet if the name is not valid UTF-8.
// Used where a value is stored under the name.
uint32_t attr_id_of(PyObject* name);
// The id of a name if any object ever stored it, without interning: for
// lookups, which must neither grow the interner nor cost more for an unknown
// name. Throws py::PyErrorSet if the name is not valid UTF-8.
std::optional<uint32_t> known_attr_id(PyObject* name);

}  // namespace zarvex
