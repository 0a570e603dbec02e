// StoredItem: one slot of an index's object store, addressed by object id.
//
// An occupied slot holds a strong reference to the Python Indexable object
// (its native record lives inside it) and, for an object that is in a nested
// index because objects one level up hold it, its nesting link. A placeholder slot
// holds neither; it is never handed out to Python.
//
// StoredItemParent: the holders one level up that currently hold the object,
// kept per attribute through which they hold it (a dotted query maps matches
// back through one attribute only, and a holder that holds the object through
// two attributes keeps it until both let go); index the nested index that
// holds the item.
//
// ItemVec: the store itself, with the count of slots it has emptied. Once a
// slot has been emptied, every slot stored is stamped with that count (in a
// side array, so that a store that never lost an object costs nothing more),
// and a reader that noted the count at some moment (a view, when it was made)
// can tell a slot stored after a later removal, possibly for another object
// that took over the id of a dead one, from the slot it knew. A slot stored
// before the first removal has stamp 0.
//
// Guarded by the owning index's `items` lock (`removals` is only changed
// under the write lock; it is atomic so that a writer can test cheaply,
// without the lock, whether any removal happened since it last looked).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "absl/container/inlined_vector.h"
#include "index/core/structures/hybrid_set/hybrid_set.hpp"
#include "index/object_record.hpp"
#include "py/owned_ref.hpp"

namespace zarvex {

struct IndexAPI;

struct StoredItemParent {
  absl::InlinedVector<std::pair<uint32_t, HybridSet>, 1> holders;  // (attribute id, holder ids)
  std::weak_ptr<IndexAPI> index;
  // The last holder let go; the object's values are unfiled by the queued
  // work, which then empties the slot (unless a holder came back meanwhile).
  bool pending_removal = false;
  // An object value of this object was not taken a level down because every
  // path from a top-level object to this one passed through it (a cycle
  // would close). A new holder may open a path that avoids it, so the
  // object's values are filed again when one arrives.
  bool blocked = false;

  // True when `holder` was not yet listed under `attr`.
  bool add_holder(uint32_t attr, uint32_t holder) {
    for (auto& [a, ids] : holders)
      if (a == attr) {
        if (ids.contains(holder)) return false;
        ids.add(holder);
        return true;
      }
    holders.emplace_back(attr, HybridSet::single(holder));
    return true;
  }
  void remove_holder(uint32_t attr, uint32_t holder) {
    for (auto it = holders.begin(); it != holders.end(); ++it)
      if (it->first == attr) {
        it->second.remove(holder);
        if (it->second.is_empty()) holders.erase(it);
        return;
      }
  }
  bool has_holders() const { return !holders.empty(); }
  // Holder ids under `attr`, or under every attribute when attr is kAnyAttr
  // (an id may then be reported more than once).
  static constexpr uint32_t kAnyAttr = UINT32_MAX;
  template <typename F>
  void for_each_holder(uint32_t attr, F&& f) const {
    for (const auto& [a, ids] : holders)
      if (attr == kAnyAttr || a == attr) ids.for_each(f);
  }
};

struct StoredItem {
  std::unique_ptr<StoredItemParent> parent;
  // The object, held by a strong reference of the slot's own: taken at once
  // when attached, as a pending increment when detached, and given back
  // through py::release_ref (which applies pending increments first, and
  // queues a release made detached for the next attach).
  PyObject* object = nullptr;

  StoredItem() = default;
  // A slot holding `obj`, which the caller sees through a holder of its own.
  // Throws bad_alloc (a pending increment not recorded: nothing is held).
  StoredItem(std::unique_ptr<StoredItemParent> p, PyObject* obj) {
    py::take_ref_anywhere(obj);
    parent = std::move(p);
    object = obj;
  }
  StoredItem(std::unique_ptr<StoredItemParent> p, const py::SharedPy& o) : StoredItem(std::move(p), o.get()) {}
  // A top-level slot taking over a reference the caller took for it
  // (py::take_refs_anywhere).
  static StoredItem adopt(PyObject* obj) {
    StoredItem s;
    s.object = obj;
    return s;
  }
  StoredItem(StoredItem&& o) noexcept : parent(std::move(o.parent)), object(std::exchange(o.object, nullptr)) {}
  StoredItem& operator=(StoredItem&& o) noexcept {
    StoredItem old(std::move(*this));  // released on return, as the slot's
    parent = std::move(o.parent);
    object = std::exchange(o.object, nullptr);
    return *this;
  }
  StoredItem(const StoredItem&) = delete;
  StoredItem& operator=(const StoredItem&) = delete;
  ~StoredItem() { py::release_ref(object); }

  // A copy holds the object with a reference of its own and copies the
  // nesting link.
  StoredItem copy() const { return StoredItem(parent ? std::make_unique<StoredItemParent>(*parent) : nullptr, object); }
  // A new shared holder of the object (see take_ref_anywhere), for work on
  // it once the store's lock is released.
  py::SharedPy handle() const { return py::SharedPy::borrow_anywhere(object); }

  bool occupied() const { return object != nullptr; }
  IndexableRecord* record() const { return record_of(object); }
};
static_assert(sizeof(StoredItem) == 16);

// Readers that want every occupied slot use kAnyEpoch.
inline constexpr uint64_t kAnyEpoch = UINT64_MAX;

struct ItemVec : std::vector<StoredItem> {
  std::atomic<uint64_t> removals{0};
  // Empty until the first removal; then one stamp per slot.
  std::vector<uint64_t> stamps;

  uint64_t epoch() const { return removals.load(std::memory_order_acquire); }
  // True when nothing stored after removal count `epoch` can be in the store
  // (no removal since): every occupied slot is then visible at `epoch`.
  bool unchanged_since(uint64_t epoch) const { return epoch >= this->epoch(); }
  // Slot `id` (below size()) is occupied by an object stored no later than
  // removal count `epoch`.
  bool visible_at(uint32_t id, uint64_t epoch) const {
    return (*this)[id].occupied() && (stamps.empty() || stamps[id] <= epoch);
  }
  // Stores `item` at `id` (growing the store to `grow_to` slots, at least
  // id + 1, when it is too short), stamped with the current removal count.
  void put(uint32_t id, StoredItem item, size_t grow_to = 0) {
    if (id >= size()) {
      resize(std::max(grow_to, static_cast<size_t>(id) + 1));
      if (!stamps.empty()) stamps.resize(size(), 0);
    }
    if (!stamps.empty()) stamps[id] = epoch();
    (*this)[id] = std::move(item);
  }
  // Allocates the stamps the first removal starts (throws bad_alloc): after
  // it, take() cannot fail.
  void ready_for_removal() {
    if (stamps.empty()) stamps.assign(size(), 0);
  }
  // Empties slot `id` and counts the removal; returns what it held. May fail
  // only before the slot changes.
  StoredItem take(uint32_t id) {
    ready_for_removal();
    StoredItem out = std::move((*this)[id]);
    (*this)[id] = StoredItem();
    removals.fetch_add(1, std::memory_order_acq_rel);
    return out;
  }
};

}  // namespace zarvex
