// Python class FilteredIndex: a fixed set of ids over the attribute maps and
// object store of an index, and rebase() which turns it into an Index of its
// own.
#include "index/core/filtered_index.hpp"

#include <Python.h>

#include "index/core/ownership.hpp"
#include "index/core/query/query.hpp"
#include "index/indexable.hpp"
#include "index/interfaces/interfaces.hpp"
#include "py/args.hpp"
#include "py/boundary.hpp"
#include "py/gil.hpp"
#include "support/memory.hpp"

namespace zarvex {

namespace {

struct PyFilteredIndex {
  PyObject_HEAD FilteredView view;
  // The Index object whose maps and store the view shares (a strong
  // reference, counted in it), or null once the view was cleared.
  PyObject* owner;
};

PyObject* g_type = nullptr;

FilteredView& view_of(PyObject* self) { return reinterpret_cast<PyFilteredIndex*>(self)->view; }
PyObject* owner_of(PyObject* self) { return reinterpret_cast<PyFilteredIndex*>(self)->owner; }

// Drops the view's owner (attached).
void drop_owner(PyObject* self) {
  if (PyObject* owner = std::exchange(reinterpret_cast<PyFilteredIndex*>(self)->owner, nullptr)) {
    index_view_dropped(owner);
    Py_DECREF(owner);
  }
}

PyObject* FilteredIndex_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", "FilteredIndex");
  (void)type;
  return nullptr;
}

void FilteredIndex_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  view_of(self).~FilteredView();
  drop_owner(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// The view's owner, whose traversal visits what the view shares with it; a
// view without one (cleared) visits what it holds alone
// (index/core/ownership.hpp).
int FilteredIndex_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(owner_of(self));
  if (owner_of(self)) return 0;
  return traverse_owned(view_of(self), visit, arg);
}

// Breaks cycles: the view is left over empty maps and an empty store (and
// stays usable, as an empty view); dropping the old parts releases what it
// held alone. Without memory for the empty parts it keeps its contents.
int FilteredIndex_clear(PyObject* self) {
  FilteredView old;
  try {
    FilteredView empty{std::make_shared<RwLocked<QueryMapVec>>(), std::make_shared<RwLocked<ItemVec>>(), Bitmap(),
                       kAnyEpoch};
    old = std::exchange(view_of(self), std::move(empty));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  drop_owner(self);
  return 0;  // `old` goes here: attached, holding no native lock
}

PyObject* FilteredIndex_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!no_positional("reduced", args)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    HashQuery q = kwargs_to_hash_query(kwargs);
    FilteredView& v = view_of(self);
    FilteredView out;
    memory::check_headroom_periodically();
    {
      py::DetachScope detach;
      out = v.reduced(q);
    }
    return new_filtered_index(owner_of(self), std::move(out));
  });
}

PyObject* FilteredIndex_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* query;
  if (!py::parse_fast("reduced_query", {"query"}, args, nargs, kwnames, &query)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    // The caller's handle keeps the tree alive; sharing it (not copying the
    // root) leaves the use counts that tell shared sub-trees apart as built.
    ExprPtr tree = expr_ptr_arg("query", query);
    const QueryExpr& expr = *tree;
    FilteredView& v = view_of(self);
    FilteredView out;
    memory::check_headroom_periodically();
    {
      py::DetachScope detach;
      out = v.reduced_query(expr);
    }
    return new_filtered_index(owner_of(self), std::move(out));
  });
}

PyObject* FilteredIndex_collect(PyObject* self, PyObject*) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<PyObject*> objs = view_of(self).collect();
    return list_from(objs);
  });
}

PyObject* FilteredIndex_rebase(PyObject* self, PyObject*) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::shared_ptr<IndexAPI> core;
    {
      // Detached: the rebase takes each object's locks and must never wait
      // for them while holding the interpreter lock.
      py::DetachScope detach;
      core = view_of(self).rebase();
    }
    PyObject* out = wrap_index(std::move(core));
    if (!out) throw py::PyErrorSet{};
    return out;
  });
}

Py_ssize_t FilteredIndex_len(PyObject* self) {
  return py::call<Py_ssize_t>(-1, [&]() -> Py_ssize_t { return static_cast<Py_ssize_t>(view_of(self).size()); });
}

int FilteredIndex_contains(PyObject* self, PyObject* obj) {
  if (!is_indexable(obj)) return 0;
  return py::call<int>(-1, [&]() -> int { return view_of(self).contains(record_of(obj)->id, obj) ? 1 : 0; });
}

PyObject* FilteredIndex_iter(PyObject* self) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<PyObject*> objs = view_of(self).collect();
    return iter_from(objs);
  });
}

// view & view, view | view, view - view: views of one index only.
template <SetOp op>
PyObject* FilteredIndex_setop(PyObject* a, PyObject* b) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(g_type);
  if (!PyObject_TypeCheck(a, type) || !PyObject_TypeCheck(b, type)) Py_RETURN_NOTIMPLEMENTED;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    const FilteredView& x = view_of(a);
    const FilteredView& y = view_of(b);
    if (x.items != y.items) {
      PyErr_SetString(PyExc_ValueError, "set operations need views of the same index");
      throw py::PyErrorSet{};
    }
    FilteredView out;
    {
      py::DetachScope detach;
      out = FilteredView::combine(x, y, op);
    }
    return new_filtered_index(owner_of(a), std::move(out));
  });
}

PyMethodDef g_methods[] = {
    {"reduced", ZX_FAST(&FilteredIndex_reduced), METH_VARARGS | METH_KEYWORDS, "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", ZX_FAST(&FilteredIndex_reduced_query), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"collect", ZX_FAST(&FilteredIndex_collect), METH_NOARGS, "collect($self)\n--\n\n"},
    {"rebase", ZX_FAST(&FilteredIndex_rebase), METH_NOARGS, "rebase($self)\n--\n\n"},
    {"__class_getitem__", ZX_FAST(&Py_GenericAlias), METH_O | METH_CLASS, "__class_getitem__($cls, item, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&FilteredIndex_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&FilteredIndex_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&FilteredIndex_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&FilteredIndex_clear)},
    {Py_tp_methods, g_methods},
    {Py_sq_length, reinterpret_cast<void*>(&FilteredIndex_len)},
    {Py_sq_contains, reinterpret_cast<void*>(&FilteredIndex_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(&FilteredIndex_iter)},
    {Py_nb_and, reinterpret_cast<void*>(&FilteredIndex_setop<SetOp::And>)},
    {Py_nb_or, reinterpret_cast<void*>(&FilteredIndex_setop<SetOp::Or>)},
    {Py_nb_subtract, reinterpret_cast<void*>(&FilteredIndex_setop<SetOp::Sub>)},
    {0, nullptr},
};

PyType_Spec g_spec = {"Zarvex.FilteredIndex", static_cast<int>(sizeof(PyFilteredIndex)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, g_slots};

}  // namespace

PyObject* filtered_index_type_object() {
  if (!g_type) g_type = PyType_FromSpec(&g_spec);
  return g_type;
}

PyObject* new_filtered_index(PyObject* owner, FilteredView view) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(filtered_index_type_object());
  if (!type) throw py::PyErrorSet{};
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) throw py::PyErrorSet{};
  PyObject_GC_UnTrack(self);
  new (&view_of(self)) FilteredView(std::move(view));
  if (owner) {
    Py_INCREF(owner);
    index_view_taken(owner);
    reinterpret_cast<PyFilteredIndex*>(self)->owner = owner;
  }
  PyObject_GC_Track(self);
  return self;
}

Bitmap& fresh_view_ids(PyObject* view) { return view_of(view).ids; }

PyObject* new_filtered_index(PyObject* owner, SharedMaps maps, SharedItems items, Bitmap ids, uint64_t epoch) {
  return new_filtered_index(owner, FilteredView{std::move(maps), std::move(items), std::move(ids), epoch});
}

}  // namespace zarvex
