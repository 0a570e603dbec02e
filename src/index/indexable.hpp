// Indexable: the native record of every Python object derived from the
// Indexable class, and the class itself.
//
// IndexableRecord lives inside the Python object. Index slots and Ind values
// refer to it through a strong reference to the Python object, so the record
// outlives every user and no second record is ever made.
//
//   member       guarded by               notes
//   write_lock   -                        serialises writers of the object (and
//                                         its entry into top-level indexes)
//   index_meta   its own mutex (a leaf)   weak links to the indexes holding the
//                                         object, sorted by index address
//   attributes   its own mutex            attribute id -> PyValue
//   id           never changes            released when the object dies
//
// Lock order: write_lock, then attributes, then the locks of an index. The
// index_meta mutex is a leaf: nothing else is taken while it is held, so a
// nested object can be registered while its holder's locks are held. An
// attribute write holds write_lock and attributes from the propagation to
// the indexes until the value is stored, and reads the membership list under
// attributes, so every index ends with the value the object ends with.
// Native locks taken while attached detach from the interpreter while they
// wait.
#pragma once

#include <Python.h>

#include <atomic>
#include <memory>
#include <optional>

#include "absl/container/inlined_vector.h"
#include "index/hybrid_hashmap.hpp"
#include "index/value.hpp"
#include "support/poison_lock.hpp"

namespace zarvex {

struct IndexAPI;

struct IndexMeta {
  std::weak_ptr<IndexAPI> index;
  const void* address;  // of the index's shared core, for the sort order
};

using MetaList = absl::InlinedVector<IndexMeta, 4>;
using AttrMap = HybridHashmap<uint32_t, PyValue>;

struct IndexableRecord {
  PoisonMutex write_lock;
  MutexLocked<MetaList> index_meta;
  MutexLocked<AttrMap> attributes;
  uint32_t id = 0;
  // Set (under index_meta) by the first registration; never cleared.
  std::atomic<bool> in_index{false};
};

struct PyIndexable {
  PyObject_HEAD
  IndexableRecord record;
};

// The Indexable type object (borrowed; built once). nullptr with an error set
// if building it failed.
PyObject* indexable_type_object();

inline IndexableRecord* record_of(PyObject* obj) { return &reinterpret_cast<PyIndexable*>(obj)->record; }
inline uint32_t record_id(const IndexableRecord* r) { return r->id; }

// True when obj is an instance of Indexable or a subclass.
bool is_indexable(PyObject* obj);

// Registers `index` in the object's membership list: append, drop dead
// links, sort by index address. Takes the index_meta mutex.
void add_index_meta(IndexableRecord& rec, const std::weak_ptr<IndexAPI>& index);
// Takes `index` out of the membership list again (undoing a registration
// whose operation failed). Takes the index_meta mutex; never allocates.
void remove_index_meta(IndexableRecord& rec, const IndexAPI* index);

// Strong handles to the live indexes of the membership list.
absl::InlinedVector<std::shared_ptr<IndexAPI>, 4> live_indexes(IndexableRecord& rec);

// Interned attribute id of a Python str name (cached per interned name
// object). Throws py::PyErrorSet if the name is not valid UTF-8.
// Used where a value is stored under the name.
uint32_t attr_id_of(PyObject* name);
// The id of a name if any object ever stored it, without interning: for
// lookups, which must neither grow the interner nor cost more for an unknown
// name. Throws py::PyErrorSet if the name is not valid UTF-8.
std::optional<uint32_t> known_attr_id(PyObject* name);

}  // namespace zarvex
