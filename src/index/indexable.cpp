#include "index/indexable.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/structures/id_allocator.hpp"
#include "index/core/structures/string_interner/interner.hpp"
#include "py/boundary.hpp"
#include "py/gil.hpp"
#include "support/memory.hpp"

namespace zarvex {

namespace {

PyObject* g_type = nullptr;

// ---- attribute-name cache -------------------------------------------------
// Attribute names in Python code are interned str objects; a direct-mapped
// cache from the name object to its attribute id saves re-hashing the UTF-8
// bytes on every access. It is only touched by attached threads (the module
// runs with the interpreter lock), and each cached name is kept alive by the
// cache so a pointer can never be reused by another string.
struct NameCacheEntry {
  PyObject* name = nullptr;
  uint32_t id = 0;
};
NameCacheEntry g_name_cache[512];

inline size_t cache_slot(PyObject* name) { return (reinterpret_cast<uintptr_t>(name) >> 4) & 511; }
// The entry caching `name`, or nullptr. Only interned str objects are
// cached, so a hit also tells that `name` is a str.
inline const NameCacheEntry* cached_name(PyObject* name) {
  const NameCacheEntry& e = g_name_cache[cache_slot(name)];
  return e.name == name ? &e : nullptr;
}

// The attribute name of id `id` as an interned str (borrowed), made on first
// use and kept for the life of the process, so that every object hands out
// one object per name (a pickle then writes each name once and refers to it
// after). Attached: the interpreter lock guards the table.
std::vector<PyObject*> g_name_objects;
PyObject* name_object(uint32_t id) {
  if (id < g_name_objects.size() && g_name_objects[id]) return g_name_objects[id];
  std::string_view s = interner().view().resolve(id);
  PyObject* name = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  if (!name) throw py::PyErrorSet{};
  PyUnicode_InternInPlace(&name);
  if (id >= g_name_objects.size()) {
    try {
      g_name_objects.resize(id + 1, nullptr);
    } catch (...) {
      Py_DECREF(name);
      throw;
    }
  }
  g_name_objects[id] = name;  // keeps the reference
  return name;
}

// ---- names the object model owns ---------------------------------------
// `__class__` and `__dict__` are not data: assigning them changes the
// object's class (where the interpreter allows it) or its instance dict, so
// they go through the interpreter's generic attribute handling and are never
// stored or indexed.
bool is_special_name(PyObject* name) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
  if (n != 8 && n != 9) return false;
  return PyUnicode_CompareWithASCIIString(name, n == 9 ? "__class__" : "__dict__") == 0;
}

// ---- filing a write attached ----------------------------------------------
// A value whose filing may stay attached: a plain one (its indexed form holds
// no Python reference), or a container of at most kAttachedLeaves plain
// leaves. A container's indexed form holds a handle to it, made and dropped
// attached; the object's table holds the container all the while (the
// written one from the exchange on, the replaced one until the write ends),
// so no count reaches zero and no Python code runs. Larger containers detach:
// their filing is long enough to let other threads run meanwhile.
constexpr uint32_t kAttachedLeaves = 16;
bool files_attached(uintptr_t w) {
  return AttrSlot::is_plain(w) || (AttrSlot::leaf_count(w) <= kAttachedLeaves && AttrSlot::leaves_plain(w));
}

// ---- free list -------------------------------------------------------------
constexpr int kFreeListMax = 512;
PyObject* g_free_list[kFreeListMax];
int g_free_count = 0;

PyTypeObject* base_type() { return reinterpret_cast<PyTypeObject*>(g_type); }

// ---- deep chains -----------------------------------------------------------
// Destroying an object destroys its attribute values, which may release the
// last reference to a nested object, whose destruction releases the next...
// A chain of 100,000 objects would overflow the C stack. While a destruction
// is running, nested releases are queued by release_ref() and the outermost
// destruction releases them one at a time.
thread_local int t_dealloc_depth = 0;

void Indexable_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  IndexableRecord* rec = record_of(self);
  uint32_t id = rec->id;
  ++t_dealloc_depth;
  py::begin_queued_release();
  rec->~IndexableRecord();
  py::end_queued_release();
  --t_dealloc_depth;
  release_id(id);
  // Only instances of the base class itself are recycled: subclasses have
  // other sizes and their own allocator.
  if (type == base_type() && g_free_count < kFreeListMax) {
    g_free_list[g_free_count++] = self;
  } else {
    type->tp_free(self);
  }
  Py_DECREF(type);
  if (t_dealloc_depth == 0) py::drain_queued_release();
}

// Every Python reference of the attribute table. Read without the attributes
// lock: this runs with the interpreter lock held, and every change of the
// table holds it too, so the table cannot change during the collector's
// passes over it (which run no Python code in between), even while another,
// detached thread holds the object's locks.
int Indexable_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return record_of(self)->attrs.traverse(visit, arg);
}

// Breaks cycles: the table is taken out under the attributes lock (a
// detached reader may hold it for a moment; the wait detaches) and dropped
// once the lock is released.
int Indexable_clear(PyObject* self) {
  IndexableRecord* rec = record_of(self);
  AttrMap taken;
  bool ok = py::call<bool>(false, [&]() -> bool {
    IndexableRecord::AttrGuard attrs(*rec);
    taken = std::move(*attrs);
    return true;
  });
  if (!ok) PyErr_WriteUnraisable(self);
  return 0;
}

// A new instance of `type` with the attributes `for_each_pair` yields
// (f(name, value) for each keyword, names unique). Values are converted
// before the object exists, so a failing conversion leaves nothing behind.
template <class ForEachPair>
PyObject* new_instance(PyTypeObject* type, Py_ssize_t count, ForEachPair&& for_each_pair) {
  AttrMap attrs;
  std::vector<std::pair<py::Ref, py::Ref>> special;
  if (count > 0) {
    attrs.reserve(static_cast<uint32_t>(count), type);
    // The pairs are held while they are converted: a conversion runs no
    // Python code, but they are kept owned anyway.
    for_each_pair([&](PyObject* key, PyObject* value) {
      py::Ref k = py::Ref::borrow(key), v = py::Ref::borrow(value);
      if (is_special_name(k.get())) {
        special.emplace_back(std::move(k), std::move(v));
        return;
      }
      uint32_t aid = attr_id_of(k.get());
      attrs.exchange(aid, AttrSlot::from_object(v.get(), false), type);  // in no index yet
    });
  }
  PyObject* self;
  if (type == base_type() && g_free_count > 0) {
    self = g_free_list[--g_free_count];
    std::memset(static_cast<void*>(self), 0, sizeof(PyIndexable));
    PyObject_Init(self, type);
  } else {
    self = type->tp_alloc(type, 0);
    if (!self) throw py::PyErrorSet{};
    PyObject_GC_UnTrack(self);  // tracked again once the record is whole
  }
  IndexableRecord* rec = new (record_of(self)) IndexableRecord();
  rec->id = allocate_id();
  rec->attrs = std::move(attrs);
  PyObject_GC_Track(self);
  for (auto& [k, v] : special) {
    if (PyObject_GenericSetAttr(self, k.get(), v.get()) < 0) {
      Py_DECREF(self);
      throw py::PyErrorSet{};
    }
  }
  return self;
}

PyObject* Indexable_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

PyObject* Indexable_new(PyTypeObject* type, PyObject* /*args*/, PyObject* kwargs) {
  // A subclass made by the plain metaclass gets the keyword fast path of
  // calling the class at its first construction (the interpreter does not
  // pass the call slot of a type on to its subclasses).
  if (type->tp_vectorcall == nullptr && Py_IS_TYPE(type, &PyType_Type)) type->tp_vectorcall = &Indexable_vectorcall;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    const Py_ssize_t n = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    return new_instance(type, n, [&](auto&& f) {
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      while (PyDict_Next(kwargs, &pos, &key, &value)) f(key, value);
    });
  });
}

// Calling the class: the keywords are taken from the call's own array
// instead of a dict built for tp_new. This is what calling the type does when
// its creation is this module's and its initialisation object.__init__ (which
// accepts and ignores the keywords once __new__ is not object's); any other
// call (positional arguments, a class with its own __new__ or __init__) goes
// the usual way.
PyObject* Indexable_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* type = reinterpret_cast<PyTypeObject*>(callable);
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs == 0 && type->tp_new == &Indexable_new && type->tp_init == PyBaseObject_Type.tp_init) {
    return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
      const Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
      return new_instance(type, n, [&](auto&& f) {
        for (Py_ssize_t i = 0; i < n; ++i) f(PyTuple_GET_ITEM(kwnames, i), args[i]);
      });
    });
  }
  py::Ref positional = py::Ref::steal(PyTuple_New(nargs));
  if (!positional) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(positional.get(), i, args[i]);
  }
  py::Ref keywords;
  if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
    keywords = py::Ref::steal(PyDict_New());
    if (!keywords) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
      if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) return nullptr;
  }
  return PyType_Type.tp_call(callable, positional.get(), keywords.get());
}

int Indexable_setattro(PyObject* self, PyObject* name, PyObject* value) {
  if (PyUnicode_Check(name) && is_special_name(name)) return PyObject_GenericSetAttr(self, name, value);
  return py::call<int>(-1, [&]() -> int {
    if (!value) {
      PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
      throw py::PyErrorSet{};
    }
    if (!PyUnicode_Check(name)) {
      PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%.200s'", Py_TYPE(name)->tp_name);
      throw py::PyErrorSet{};
    }
    IndexableRecord* rec = record_of(self);
    rec->attrs.prefetch_slots();  // the replaced slot may lie on the next line
    // The membership list is read once the value is built. An object in one
    // index shares that index's list, which stays cached; one in several has
    // a block of its own, whose line is requested now so that the miss
    // overlaps that work.
    if (const MemberList* list = rec->meta.load(std::memory_order_relaxed)) __builtin_prefetch(list);
    // A container's elements are captured only for an object in an index.
    AttrSlot slot = AttrSlot::from_object(value, rec->in_index());
    const uint32_t aid = attr_id_of(name);
    // The value being replaced is destroyed last, attached and with no native
    // lock held: dropping it may run Python code (a __del__) that reads this
    // object or queries an index.
    AttrSlot replaced;
    // An object that never entered an index only stores the value. A
    // registration racing with this store files the stored value itself (it
    // takes the attributes lock after registering). An object seen in an index
    // stays so: no lock is needed to know it.
    if (!rec->in_index()) {
      IndexableRecord::AttrGuard attrs(*rec);
      if (!rec->in_index()) {
        replaced = attrs->exchange(aid, std::move(slot), Py_TYPE(self));
        return 0;
      }
    }
    // Registered since the slot was built: the elements are captured now.
    if (AttrSlot::uncaptured(slot.word())) slot = AttrSlot::from_object(value, true);
    // A number, a text or a short container of plain values over a value of
    // the same sorts (known under the attributes lock) is filed leaf by leaf
    // from the two slots: neither value is built (for a container, an
    // element list and a handle; for a text, a copy of its bytes).
    const bool new_attached = files_attached(slot.word());
    const bool by_leaves =
        new_attached && (AttrSlot::holds_objects(slot.word()) || AttrSlot::is_single_number(slot.word()) ||
                         AttrSlot::kind_of(slot.word()) == SlotKind::Str);
    // (None while it is not needed.)
    std::optional<PyValue> v;
    if (!by_leaves) v = AttrSlot::to_value(slot.word(), rec->id, aid);
    // Strong references to the live indexes, dropped attached (below).
    LiveIndexes live;
    if (v && (v->kind() == Kind::Ind || v->kind() == Kind::Iterable) && !AttrSlot::leaves_plain(slot.word())) {
      // Refused before any lock is taken (a Python error must not unwind
      // through a held lock). Only values that can hold objects nest.
      live_indexes(*rec, live);
      // Only indexes that still store the object count: a nested index it
      // has left keeps its link in the membership list.
      int deepest = 0;
      for (const auto& idx : live)
        if (idx->has_object_id(rec->id)) deepest = std::max(deepest, idx->level);
      check_nesting_depth(*v, deepest);
    }
    memory::check_headroom_periodically();
    // Writers of one object are serialised from the propagation to the store;
    // the membership list is read under the attributes lock, so an index that
    // registers the object meanwhile either is updated here or files the
    // stored value itself afterwards.
    WriterAttrGuard attrs(*rec);
    NestingScope nesting;
    bool nests = AttrSlot::holds_objects(slot.word());
    bool failed = false;
    std::optional<PyValue> old;
    bool leafwise = false;   // both values filed leaf by leaf from their words
    uintptr_t old_word = 0;  // the replaced value's word
    size_t touched = 0;      // indexes given the new value so far
    // Out of memory: every index touched, the failing one included, gets the
    // old value back (unfiling what was not filed and filing what is filed
    // change nothing), and the value is not stored. Done with the reserve,
    // under the same locks.
    auto undo = [&] {
      memory::RecoveryScope recovery;
      for (size_t j = 0; j <= touched && j < live.size(); ++j) {
        if (!live[j]->has_object_id(rec->id)) continue;
        if (leafwise) {
          live[j]->replace_leaves(rec->id, aid, slot.word(), old_word);
          continue;
        }
        live[j]->remove_index(rec->id, aid, *v);
        if (old) live[j]->add_index(rec->id, aid, *old);
      }
      failed = true;
    };
    {
      // Detached with the object's locks held; re-attaching releases nothing.
      // A write of a number, boolean or text over another stays attached:
      // neither value's indexed form holds a Python reference, so nothing
      // below creates or drops one, and a lock that must wait detaches while
      // it waits. Releasing and re-taking the interpreter lock would cost
      // more than the filing itself. So does a short container of such
      // values over another or over such a value (files_attached).
      old_word = attrs->find_word(aid);
      const bool plain = AttrSlot::is_plain(slot.word()) && AttrSlot::is_plain(old_word);
      const bool attached = new_attached && files_attached(old_word);  // true when plain
      leafwise = by_leaves && attached;
      if (by_leaves && !leafwise) v = AttrSlot::to_value(slot.word(), rec->id, aid);
      py::LockedDetachScope detach(!attached);
      live_indexes(*rec, live);
      if (!live.empty()) {
        FilingScope filing(*rec, *attrs);
        if (!leafwise) old = attrs->get(rec->id, aid);
        if (old && (old->kind() == Kind::Ind || old->kind() == Kind::Iterable)) nests = true;
        try {
          for (; touched < live.size(); ++touched) {
            // An index that no longer stores the object (a nested object
            // whose last holder let go) is not updated. A top-level index
            // empties the object's slot and drops its link in one hold of
            // the writer lock (held here), so its link alone tells; a plain
            // value skips the look at its store (a miss per write).
            if ((live[touched]->level > 0 || !plain) && !live[touched]->has_object_id(rec->id)) continue;
            if (leafwise)
              live[touched]->replace_leaves(rec->id, aid, old_word, slot.word());
            else if (old)
              live[touched]->replace_index(rec->id, aid, *old, *v);
            else
              live[touched]->add_index(rec->id, aid, *v);
          }
        } catch (const std::bad_alloc&) {
          undo();
        }
      }
    }
    // Attached again, still holding both locks: the table changes only under
    // the interpreter lock (attached reads and the collector read it without
    // the attributes lock).
    if (!failed) {
      try {
        replaced = attrs->exchange(aid, std::move(slot), Py_TYPE(self));
      } catch (const std::bad_alloc&) {
        FilingScope filing(*rec, *attrs);
        touched = live.size();
        undo();
      }
    }
    attrs.release();
    // Nested objects met on the way are filed and unfiled with no object
    // lock held (detached: the work may be long); they are finished even
    // after a failure. A container that met none (its elements are plain)
    // leaves nothing to run, and detaching for it would cost more than its
    // filing.
    if (nests && nesting.has_work()) {
      py::DetachScope detach;
      nesting.drain();
    } else {
      nesting.drain();
    }
    py::drain_deferred();
    if (failed) throw std::bad_alloc();
    return 0;
  });
}

PyObject* Indexable_getattro(PyObject* self, PyObject* name) {
  // The common case, a name met before: the cache holds interned str objects
  // only, so a hit also tells that `name` is a str. Attached: every change of
  // the table holds the interpreter lock (see below).
  if (const NameCacheEntry* e = cached_name(name)) {
    if (PyObject* result = record_of(self)->attrs.find_object(e->id)) {
      Py_INCREF(result);
      return result;
    }
  } else if (PyUnicode_Check(name)) {
    // Attached: every change of the table holds the interpreter lock, so the
    // table is read without the attributes lock and the stored object is
    // handed out with one new reference.
    PyObject* result = nullptr;
    bool ok = py::call<bool>(false, [&]() -> bool {
      std::optional<uint32_t> known;
      try {
        // A name never stored has no id; looking it up interns nothing.
        known = known_attr_id(name);
      } catch (const py::PyErrorSet&) {
        PyErr_Clear();  // not UTF-8: cannot be stored, fall back to the class lookup
        return true;
      }
      if (!known) return true;
      result = record_of(self)->attrs.find_object(*known);
      return true;
    });
    if (!ok) return nullptr;
    if (result) {
      Py_INCREF(result);
      return result;
    }
  }
  PyObject* r = PyObject_GenericGetAttr(self, name);
  if (!r && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_SetObject(PyExc_AttributeError, name);
  }
  return r;
}

PyObject* Indexable_repr(PyObject* self) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    size_t n = record_of(self)->attrs.size();  // attached: see Indexable_getattro
    return PyUnicode_FromFormat("<Indexable with %zu attributes>", n);
  });
}

PyObject* Indexable_dir(PyObject* self, PyObject* /*unused*/) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<uint32_t> ids;
    record_of(self)->attrs.for_each_key([&](uint32_t k) { ids.push_back(k); });
    py::Ref out = py::Ref::steal(PyList_New(0));
    if (!out) throw py::PyErrorSet{};
    for (uint32_t id : ids)
      if (PyList_Append(out.get(), name_object(id)) < 0) throw py::PyErrorSet{};
    py::Ref builtins = py::Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) throw py::PyErrorSet{};
    py::Ref object = py::Ref::steal(PyObject_GetAttrString(builtins.get(), "object"));
    if (!object) throw py::PyErrorSet{};
    py::Ref dir = py::Ref::steal(PyObject_GetAttrString(object.get(), "__dir__"));
    if (!dir) throw py::PyErrorSet{};
    py::Ref base = py::Ref::steal(PyObject_CallOneArg(dir.get(), self));
    if (!base) throw py::PyErrorSet{};
    py::Ref seq = py::Ref::steal(PySequence_List(base.get()));
    if (!seq) throw py::PyErrorSet{};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seq.get()); ++i)
      if (PyList_Append(out.get(), PyList_GET_ITEM(seq.get(), i)) < 0) throw py::PyErrorSet{};
    return out.release();
  });
}

// Pickling and copying: the class (an object made by its __new__ with no
// arguments, so __init__ is not run) and the attributes as a dict, which
// __setstate__ assigns one by one (so an index holding the copy is updated).
// Values are kept as they are: copy.copy shares them, deepcopy and pickle
// copy them, with cycles preserved by their memo.
PyObject* Indexable_getstate(PyObject* self, PyObject* /*unused*/) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    // Attached: the table is read without its lock (see Indexable_getattro).
    std::vector<std::pair<uint32_t, py::Ref>> values;
    const AttrMap& attrs = record_of(self)->attrs;
    values.reserve(attrs.size());
    attrs.for_each_key([&](uint32_t k) { values.emplace_back(k, py::Ref::borrow(attrs.find_object(k))); });
    py::Ref out = py::Ref::steal(PyDict_New());
    if (!out) throw py::PyErrorSet{};
    for (auto& [k, v] : values)
      if (PyDict_SetItem(out.get(), name_object(k), v.get()) < 0) throw py::PyErrorSet{};
    return out.release();
  });
}

PyObject* Indexable_setstate(PyObject* self, PyObject* state) {
  if (!PyDict_Check(state)) {
    PyErr_Format(PyExc_TypeError, "state must be a dict, not '%.200s'", Py_TYPE(state)->tp_name);
    return nullptr;
  }
  py::Ref items = py::Ref::steal(PyDict_Items(state));
  if (!items) return nullptr;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    if (PyObject_SetAttr(self, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0) return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* Indexable_reduce(PyObject* self, PyObject* /*unused*/) {
  py::Ref copyreg = py::Ref::steal(PyImport_ImportModule("copyreg"));
  if (!copyreg) return nullptr;
  py::Ref newobj = py::Ref::steal(PyObject_GetAttrString(copyreg.get(), "__newobj__"));
  if (!newobj) return nullptr;
  py::Ref state = py::Ref::steal(PyObject_CallMethod(self, "__getstate__", nullptr));
  if (!state) return nullptr;
  return Py_BuildValue("(O(O)O)", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)), state.get());
}

PyMethodDef g_methods[] = {
    {"__dir__", reinterpret_cast<PyCFunction>(&Indexable_dir), METH_NOARGS, "__dir__($self)\n--\n\n"},
    {"__getstate__", reinterpret_cast<PyCFunction>(&Indexable_getstate), METH_NOARGS, "__getstate__($self)\n--\n\n"},
    {"__setstate__", reinterpret_cast<PyCFunction>(&Indexable_setstate), METH_O,
     "__setstate__($self, state, /)\n--\n\n"},
    {"__reduce__", reinterpret_cast<PyCFunction>(&Indexable_reduce), METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&Indexable_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&Indexable_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&Indexable_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&Indexable_clear)},
    {Py_tp_getattro, reinterpret_cast<void*>(&Indexable_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(&Indexable_setattro)},
    {Py_tp_repr, reinterpret_cast<void*>(&Indexable_repr)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {"Zarvex.Indexable", static_cast<int>(sizeof(PyIndexable)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, g_slots};

}  // namespace

PyObject* indexable_type_object() {
  if (!g_type) {
    g_type = PyType_FromSpec(&g_spec);
    if (g_type) reinterpret_cast<PyTypeObject*>(g_type)->tp_vectorcall = &Indexable_vectorcall;
  }
  return g_type;
}

bool is_indexable(PyObject* obj) {
  PyObject* t = indexable_type_object();
  if (!t) {
    PyErr_Clear();
    return false;
  }
  return PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(t));
}

namespace {
void remember_name(NameCacheEntry& e, PyObject* name, uint32_t id) {
  if (PyUnicode_CHECK_INTERNED(name)) {
    PyObject* old = e.name;
    Py_INCREF(name);
    e.name = name;
    e.id = id;
    Py_XDECREF(old);
  }
}

// The names not cached yet: `intern` says whether a name never stored gets
// an id (a store) or none (a lookup).
[[gnu::noinline]] std::optional<uint32_t> id_of_uncached(PyObject* name, bool intern) {
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(name, &n);
  if (!s) throw py::PyErrorSet{};
  const std::string_view utf8(s, static_cast<size_t>(n));
  std::optional<uint32_t> id = intern ? interner().intern(utf8) : interner().get(utf8);
  if (id) remember_name(g_name_cache[cache_slot(name)], name, *id);
  return id;
}
}  // namespace

uint32_t attr_id_of(PyObject* name) {
  if (const NameCacheEntry* e = cached_name(name)) return e->id;
  return *id_of_uncached(name, true);
}

std::optional<uint32_t> known_attr_id(PyObject* name) {
  if (const NameCacheEntry* e = cached_name(name)) return e->id;
  return id_of_uncached(name, false);
}

}  // namespace zarvex
