// Python class Index: a thin handle on one shared IndexAPI. Arguments are
// converted and results built while attached; the core work of the methods
// that may take long runs detached.
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

struct PyIndex {
  PyObject_HEAD std::shared_ptr<IndexAPI> core;
  // Views holding this object as their owner (each shares the core's maps
  // and store); changed attached only.
  Py_ssize_t views;
};

PyObject* g_index_type = nullptr;

IndexAPI& core_of(PyObject* self) { return *reinterpret_cast<PyIndex*>(self)->core; }
const std::shared_ptr<IndexAPI>& shared_core(PyObject* self) { return reinterpret_cast<PyIndex*>(self)->core; }

PyObject* Index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Index() takes no arguments");
    return nullptr;
  }
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::shared_ptr<IndexAPI> core = IndexAPI::create();
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) throw py::PyErrorSet{};
    PyObject_GC_UnTrack(self);  // tracked again once the core is in place
    new (&reinterpret_cast<PyIndex*>(self)->core) std::shared_ptr<IndexAPI>(std::move(core));
    PyObject_GC_Track(self);
    return self;
  });
}

void Index_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyIndex*>(self)->core.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

// The references the index holds alone (index/core/ownership.hpp): none
// while its core is shared (a call in progress, a view, a nested link) or
// while Zarvex work runs detached anywhere.
int Index_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return traverse_owned(shared_core(self), reinterpret_cast<PyIndex*>(self)->views, visit, arg);
}

// Breaks cycles: the index gets a new, empty core and the old one is
// dropped, which releases the stored objects and the values its maps hold
// (or only this handle on them, while a view still shares them). A cleared
// index stays usable: a finaliser or weak-reference callback that reaches it
// sees an empty index. Without memory for the new core the index keeps its
// contents (the cycle is then left alive, never half freed).
int Index_tp_clear(PyObject* self) {
  std::shared_ptr<IndexAPI> old;
  try {
    std::shared_ptr<IndexAPI> fresh = IndexAPI::create();
    old = std::exchange(reinterpret_cast<PyIndex*>(self)->core, std::move(fresh));
  } catch (const std::bad_alloc&) {
    return 0;
  }
  old.reset();  // attached, holding no native lock: releases may run Python code
  return 0;
}

PyObject* Index_collect(PyObject* self, PyObject*) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<PyObject*> objs = core_of(self).collect();
    return list_from(objs);
  });
}

PyObject* Index_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!no_positional("reduced", args)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    HashQuery q = kwargs_to_hash_query(kwargs);
    Bitmap ids;
    memory::check_headroom_periodically();
    uint64_t epoch;
    {
      py::DetachScope detach;
      epoch = core_of(self).epoch();
      ids = core_of(self).get_by_attribute(q);
    }
    return new_filtered_index(self, core_of(self).query_maps, core_of(self).items, std::move(ids), epoch);
  });
}

PyObject* Index_reduce(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!no_positional("reduce", args)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    HashQuery q = kwargs_to_hash_query(kwargs);
    memory::require_headroom();
    core_of(self).reduce(q);
    Py_RETURN_NONE;
  });
}

PyObject* Index_get_by_attribute(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!no_positional("get_by_attribute", args)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    HashQuery q = kwargs_to_hash_query(kwargs);
    memory::check_headroom_periodically();
    Bitmap ids = core_of(self).get_by_attribute(q);
    std::vector<PyObject*> objs = IndexAPI::objects_of(*core_of(self).items, ids);
    return list_from(objs);
  });
}

PyObject* Index_add_object_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* objs;
  if (!py::parse_fast("add_object_many", {"objs"}, args, nargs, kwnames, &objs)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    if (PyUnicode_Check(objs)) {
      py::arg_error("objs", PyExc_TypeError, "Can't extract `str` to `Vec`");
      throw py::PyErrorSet{};
    }
    if (!PySequence_Check(objs)) {
      py::arg_type_error("objs", objs, "Sequence");
      throw py::PyErrorSet{};
    }
    py::Ref seq = py::Ref::steal(PySequence_Fast(objs, ""));
    if (!seq) {
      py::arg_error("objs");
      throw py::PyErrorSet{};
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    // The objects are held by a sequence of this call's own: the caller's
    // list may be changed by other code (another thread while the work runs
    // detached). A sequence made by PySequence_Fast is already private.
    if (seq.get() == objs && PyList_Check(objs)) {
      seq = py::Ref::steal(PyList_GetSlice(seq.get(), 0, n));
      if (!seq) throw py::PyErrorSet{};
    }
    const std::span<PyObject* const> objects(PySequence_Fast_ITEMS(seq.get()), static_cast<size_t>(n));
    for (PyObject* item : objects)
      if (!is_indexable(item)) {
        py::arg_type_error("objs", item, "Indexable");
        throw py::PyErrorSet{};
      }
    for (PyObject* o : objects) check_object_depth(*record_of(o));
    {
      py::DetachScope detach;
      core_of(self).add_object_many(objects);
    }
    Py_RETURN_NONE;
  });
}

PyObject* Index_add_object(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* obj;
  if (!py::parse_fast("add_object", {"py_ref"}, args, nargs, kwnames, &obj)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!is_indexable(obj)) {
      py::arg_type_error("py_ref", obj, "Indexable");
      throw py::PyErrorSet{};
    }
    check_object_depth(*record_of(obj));
    py::Ref held = py::Ref::borrow(obj);  // for the call, as above
    {
      py::DetachScope detach;
      core_of(self).add_object(obj);
    }
    Py_RETURN_NONE;
  });
}

PyObject* Index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* query;
  if (!py::parse_fast("reduced_query", {"query"}, args, nargs, kwnames, &query)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    // The caller's handle keeps the tree alive; sharing it (not copying the
    // root) leaves the use counts that tell shared sub-trees apart as built.
    ExprPtr tree = expr_ptr_arg("query", query);
    const QueryExpr& expr = *tree;
    Bitmap ids;
    memory::check_headroom_periodically();
    uint64_t epoch;
    {
      py::DetachScope detach;
      epoch = core_of(self).epoch();
      ids = core_of(self).reduced_query(expr);
    }
    return new_filtered_index(self, core_of(self).query_maps, core_of(self).items, std::move(ids), epoch);
  });
}

PyObject* Index_group_by(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* attr;
  if (!py::parse_fast("group_by", {"attr"}, args, nargs, kwnames, &attr)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string name(py::str_arg("attr", attr));
    std::optional<Groups> groups;
    memory::require_headroom();
    uint64_t epoch;
    {
      py::DetachScope detach;
      epoch = core_of(self).epoch();
      groups = core_of(self).group_by(name);
    }
    py::Ref out = py::Ref::steal(PyDict_New());
    if (!out) throw py::PyErrorSet{};
    if (!groups) return out.release();
    size_t done = 0;
    // Groups whose keys are equal as Python objects (every holder of None,
    // True and 1.0, equal but distinct objects) are merged, so no holder is
    // lost: a later group's ids join the view already stored under the key
    // (no Python code has seen it yet). A value that cannot be a dict key
    // (unhashable, or whose comparison fails) is left out of the result.
    auto unusable_key = [] {
      if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
      PyErr_Clear();
      return true;
    };
    for (Group& g : *groups) {
      if (++done % kCheckEvery == 0 && PyErr_CheckSignals() < 0) throw py::PyErrorSet{};
      py::Ref key = py::Ref::steal(g.value.get_obj());
      if (!key) throw py::PyErrorSet{};
      py::Ref view = py::Ref::steal(
          new_filtered_index(self, core_of(self).query_maps, core_of(self).items, g.ids.take_bitmap(), epoch));
      if (!view) throw py::PyErrorSet{};
      PyObject* stored = PyDict_SetDefault(out.get(), key.get(), view.get());  // borrowed
      if (!stored) {
        if (unusable_key()) continue;
        throw py::PyErrorSet{};
      }
      if (stored != view.get()) fresh_view_ids(stored).or_inplace(fresh_view_ids(view.get()));
    }
    return out.release();
  });
}

PyObject* Index_union_with(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* other;
  if (!py::parse_fast("union_with", {"other"}, args, nargs, kwnames, &other)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!PyObject_TypeCheck(other, reinterpret_cast<PyTypeObject*>(g_index_type))) {
      py::arg_type_error("other", other, "Index");
      throw py::PyErrorSet{};
    }
    std::shared_ptr<IndexAPI> other_core = shared_core(other);
    {
      py::DetachScope detach;
      core_of(self).union_with(other_core);
    }
    Py_RETURN_NONE;
  });
}

// Takes `obj` out of the index (Index.remove, discard, clear); false when it
// was not there. `released` receives its slot, destroyed by the caller once
// attached again.
bool remove_one(IndexAPI& core, PyObject* obj, StoredItem& released) {
  IndexableRecord& rec = *record_of(obj);
  {
    // An object whose values are all numbers, booleans, texts and Indexable
    // objects (containers of them included) is unfiled attached: releasing
    // the interpreter lock would only add its cost. The values built on the
    // way hold references only to objects the object's own table holds, and
    // the table cannot change meanwhile (read attached, under the writer
    // lock that every writer of the object takes before changing it), so
    // no reference dropped under a lock is the last one; the same holds for
    // the pruned keys. Nested objects left without a holder are unfiled
    // afterwards, with no lock held and detached, as a write unfiles them.
    if (const MemberList* list = rec.meta.load(std::memory_order_relaxed)) __builtin_prefetch(list);
    rec.attrs.prefetch_values();
    WriterGuard writer(rec);
    if (rec.attrs.leaves_plain_or_indexable()) {
      NestingScope nesting;
      const bool found = core.remove_object(rec, obj, released);
      writer.release();
      if (core.sweep_due()) {
        py::DetachScope detach;
        core.sweep_retired();
      }
      if (nesting.has_work()) {
        py::DetachScope detach;
        nesting.drain();
      } else {
        nesting.drain();
      }
      return found;
    }
  }
  bool found;
  py::DetachScope detach;
  NestingScope nesting;
  {
    WriterGuard writer(rec);
    found = core.remove_object(rec, obj, released);
  }
  nesting.drain();
  if (core.sweep_due()) core.sweep_retired();
  return found;
}

PyObject* remove_or_discard(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            bool must_exist) {
  PyObject* obj;
  if (!py::parse_fast(must_exist ? "remove" : "discard", {"py_ref"}, args, nargs, kwnames, &obj)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!is_indexable(obj)) {
      py::arg_type_error("py_ref", obj, "Indexable");
      throw py::PyErrorSet{};
    }
    StoredItem released;
    if (!remove_one(core_of(self), obj, released) && must_exist) {
      PyErr_SetObject(PyExc_KeyError, obj);
      throw py::PyErrorSet{};
    }
    Py_RETURN_NONE;
  });
}

PyObject* Index_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return remove_or_discard(self, args, nargs, kwnames, true);
}

PyObject* Index_discard(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return remove_or_discard(self, args, nargs, kwnames, false);
}

PyObject* Index_clear(PyObject* self, PyObject*) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<PyObject*> objs = core_of(self).collect();
    // The list owns the objects until the slots are destroyed; objects added
    // meanwhile by other threads stay.
    py::Ref list = py::Ref::steal(list_from(objs));
    Py_ssize_t n = PyList_GET_SIZE(list.get());
    std::vector<StoredItem> released(static_cast<size_t>(n));
    {
      py::DetachScope detach;
      NestingScope nesting;
      for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* obj = PyList_GET_ITEM(list.get(), i);
        IndexableRecord& rec = *record_of(obj);
        WriterGuard writer(rec);
        // Without records: the sweep below unfiles them all at once.
        core_of(self).remove_object(rec, obj, released[static_cast<size_t>(i)], false);
      }
      nesting.drain();
      core_of(self).sweep_retired();
    }
    released.clear();
    Py_RETURN_NONE;
  });
}

// Pickling and copying: an index is rebuilt from its objects.
PyObject* Index_pickle_reduce(PyObject* self, PyObject*) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<PyObject*> objs = core_of(self).collect();
    py::Ref list = py::Ref::steal(list_from(objs));
    return Py_BuildValue("(O()O)", reinterpret_cast<PyObject*>(Py_TYPE(self)), list.get());
  });
}

// Adds the pickled objects (to a new, empty index when unpickling).
PyObject* Index_setstate(PyObject* self, PyObject* state) { return Index_add_object_many(self, &state, 1, nullptr); }

Py_ssize_t Index_len(PyObject* self) {
  return py::call<Py_ssize_t>(-1, [&]() -> Py_ssize_t { return static_cast<Py_ssize_t>(core_of(self).size()); });
}

int Index_contains(PyObject* self, PyObject* obj) {
  if (!is_indexable(obj)) return 0;
  return py::call<int>(-1, [&]() -> int { return core_of(self).contains(record_of(obj)->id) ? 1 : 0; });
}

PyObject* Index_iter(PyObject* self) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<PyObject*> objs = core_of(self).collect();
    return iter_from(objs);
  });
}

PyMethodDef g_methods[] = {
    {"collect", ZX_FAST(&Index_collect), METH_NOARGS, "collect($self)\n--\n\n"},
    {"reduced", ZX_FAST(&Index_reduced), METH_VARARGS | METH_KEYWORDS, "reduced($self, **kwargs)\n--\n\n"},
    {"reduce", ZX_FAST(&Index_reduce), METH_VARARGS | METH_KEYWORDS, "reduce($self, **kwargs)\n--\n\n"},
    {"get_by_attribute", ZX_FAST(&Index_get_by_attribute), METH_VARARGS | METH_KEYWORDS,
     "get_by_attribute($self, **kwargs)\n--\n\n"},
    {"add_object_many", ZX_FAST(&Index_add_object_many), METH_FASTCALL | METH_KEYWORDS,
     "add_object_many($self, objs)\n--\n\n"},
    {"add_object", ZX_FAST(&Index_add_object), METH_FASTCALL | METH_KEYWORDS, "add_object($self, py_ref)\n--\n\n"},
    {"reduced_query", ZX_FAST(&Index_reduced_query), METH_FASTCALL | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"group_by", ZX_FAST(&Index_group_by), METH_FASTCALL | METH_KEYWORDS, "group_by($self, attr)\n--\n\n"},
    {"union_with", ZX_FAST(&Index_union_with), METH_FASTCALL | METH_KEYWORDS, "union_with($self, other)\n--\n\n"},
    {"remove", ZX_FAST(&Index_remove), METH_FASTCALL | METH_KEYWORDS, "remove($self, py_ref)\n--\n\n"},
    {"discard", ZX_FAST(&Index_discard), METH_FASTCALL | METH_KEYWORDS, "discard($self, py_ref)\n--\n\n"},
    {"clear", ZX_FAST(&Index_clear), METH_NOARGS, "clear($self)\n--\n\n"},
    {"__reduce__", ZX_FAST(&Index_pickle_reduce), METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"__setstate__", ZX_FAST(&Index_setstate), METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {"__class_getitem__", ZX_FAST(&Py_GenericAlias), METH_O | METH_CLASS, "__class_getitem__($cls, item, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&Index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Index_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&Index_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&Index_tp_clear)},
    {Py_tp_methods, g_methods},
    {Py_sq_length, reinterpret_cast<void*>(&Index_len)},
    {Py_sq_contains, reinterpret_cast<void*>(&Index_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(&Index_iter)},
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = {"Zarvex.Index", static_cast<int>(sizeof(PyIndex)), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                      g_slots};

}  // namespace

PyObject* index_type_object() {
  if (!g_index_type) g_index_type = PyType_FromSpec(&g_spec);
  return g_index_type;
}

void index_view_taken(PyObject* index) { ++reinterpret_cast<PyIndex*>(index)->views; }
void index_view_dropped(PyObject* index) { --reinterpret_cast<PyIndex*>(index)->views; }

PyObject* wrap_index(std::shared_ptr<IndexAPI> core) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(index_type_object());
  if (!type) return nullptr;
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  PyObject_GC_UnTrack(self);
  new (&reinterpret_cast<PyIndex*>(self)->core) std::shared_ptr<IndexAPI>(std::move(core));
  PyObject_GC_Track(self);
  return self;
}

PyObject* list_from(std::vector<PyObject*>& objs) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(objs.size()));
  if (!list) {
    for (PyObject* o : objs) Py_DECREF(o);
    objs.clear();
    throw py::PyErrorSet{};
  }
  for (size_t i = 0; i < objs.size(); ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), objs[i]);
  objs.clear();
  return list;
}

PyObject* iter_from(std::vector<PyObject*>& objs) {
  py::Ref list = py::Ref::steal(list_from(objs));
  PyObject* it = PyObject_GetIter(list.get());
  if (!it) throw py::PyErrorSet{};
  return it;
}

}  // namespace zarvex
