// The Python classes Index, FilteredIndex and PyQueryExpr: type objects
// (built once per process, borrowed) and the constructors the classes use
// for each other's results.
#pragma once

#include <Python.h>

#include <memory>

#include "index/core/filtered_index.hpp"
#include "index/core/index.hpp"
#include "index/core/query/query_ops.hpp"

namespace zarvex {

PyObject* index_type_object();
PyObject* filtered_index_type_object();
PyObject* query_expr_type_object();

// A new Index object around `core`.
PyObject* wrap_index(std::shared_ptr<IndexAPI> core);
// A new FilteredIndex over `maps` and `items` holding `ids`, made when the
// store's removal count was `epoch` (FilteredView). `owner` is the Index
// object whose maps and store the view shares: the view holds it (so the
// collector reaches the index from any of its views, and the index alone
// visits what they share), and is counted in it while it does.
PyObject* new_filtered_index(PyObject* owner, SharedMaps maps, SharedItems items, Bitmap ids, uint64_t epoch);
PyObject* new_filtered_index(PyObject* owner, FilteredView view);
// The ids of a FilteredIndex object made here and not yet handed to Python
// code (views are otherwise never changed).
Bitmap& fresh_view_ids(PyObject* view);
// The views holding `index` (an Index object) as their owner, counted
// attached as they take and drop it.
void index_view_taken(PyObject* index);
void index_view_dropped(PyObject* index);
// The expression held by a PyQueryExpr (nullptr if obj is not one).
const QueryExpr* expr_of(PyObject* obj);
// The expression held by argument `name`; raises the argument's TypeError
// (as py::PyErrorSet) if it is not a PyQueryExpr.
const QueryExpr& expr_arg(const char* name, PyObject* obj);
// The same, as the shared handle (for building larger trees).
const ExprPtr& expr_ptr_arg(const char* name, PyObject* obj);

// The keyword arguments of get_by_attribute / reduced / reduce as a query.
// Attached. A str or bytes value asks for itself; another iterable asks for
// any of its items (equal values collapse); anything else asks for itself.
// Value conversion errors propagate as Python errors (py::PyErrorSet); an
// error raised while stepping an iterator is an internal failure. `kwargs`
// may be null.
HashQuery kwargs_to_hash_query(PyObject* kwargs);

// False with "<name>() takes 0 positional arguments but N were given" set as
// a TypeError when `args` (may be null) is not empty.
bool no_positional(const char* name, PyObject* args);

// A method-table entry's function pointer, whatever its calling convention.
#define ZX_FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

// A new list from new references (the references are stolen).
PyObject* list_from(std::vector<PyObject*>& objs);
// An iterator over a new list of them (the references are stolen).
PyObject* iter_from(std::vector<PyObject*>& objs);

}  // namespace zarvex
