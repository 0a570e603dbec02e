// StoredItem: one slot of an index's object store, addressed by object id.
//
// An occupied slot holds a strong handle to the Python Indexable object (its
// native record lives inside it) and, for an object that is in a nested index
// because objects one level up hold it, its nesting link. A placeholder slot
// holds neither; it is never handed out to Python.
//
// StoredItemParent: parent_ids are the holders one level up that currently
// hold the object; ancestor_ids the path to root captured when the object was
// first nested; index the nested index that holds the item.
//
// Guarded by the owning index's `items` lock.
#pragma once

#include <memory>
#include <utility>

#include "index/core/structures/hybrid_set/hybrid_set.hpp"
#include "index/indexable.hpp"
#include "py/owned_ref.hpp"

namespace zarvex {

struct IndexAPI;

struct StoredItemParent {
  HybridSet parent_ids;
  HybridSet ancestor_ids;
  std::weak_ptr<IndexAPI> index;
  // The last holder let go; the object's values are unfiled by the queued
  // work, which then empties the slot (unless a holder came back meanwhile).
  bool pending_removal = false;
};

struct StoredItem {
  std::unique_ptr<StoredItemParent> parent;
  py::SharedPy py_object;
  // The object itself (kept alive by py_object), so that listing a store
  // reads the slot and the object, not the holder in between.
  PyObject* object = nullptr;

  StoredItem() = default;
  StoredItem(std::unique_ptr<StoredItemParent> p, py::SharedPy o)
      : parent(std::move(p)), py_object(std::move(o)), object(py_object.get()) {}
  StoredItem(StoredItem&& o) noexcept
      : parent(std::move(o.parent)), py_object(std::move(o.py_object)), object(std::exchange(o.object, nullptr)) {}
  StoredItem& operator=(StoredItem&& o) noexcept {
    parent = std::move(o.parent);
    py_object = std::move(o.py_object);
    object = std::exchange(o.object, nullptr);
    return *this;
  }
  // A copy shares the object and copies the nesting link.
  StoredItem copy() const {
    return StoredItem(parent ? std::make_unique<StoredItemParent>(*parent) : nullptr, py_object);
  }

  bool occupied() const { return object != nullptr; }
  IndexableRecord* record() const { return record_of(object); }
};

using ItemVec = std::vector<StoredItem>;

}  // namespace zarvex
