// The Python references an index holds on its own, for the cycle collector.
//
// An index's structures hold Python references in two ways, the same at
// every nested level: each occupied store slot holds a reference of its own,
// and exact-map keys hold theirs through shared holders (SharedPy boxes). One
// box holds one reference and may have several holders, some of them
// elsewhere (an attribute record, a call in progress). The structures themselves are shared too: a view shares its
// index's maps and store, every attribute map holds its owner's store and
// nested level.
//
// traverse_owned visits the object of every slot of a store, and the object
// of a box exactly once, only when the store, or every holder of the box,
// lies in structures that the Python object being traversed owns alone:
//   * a structure is walked only when its use count equals its holders found
//     on the walk (the core held only by its Index; the maps vector only by
//     its core and the index's views, or by a view that has no owner index;
//     a map only by its vector; the store by those and by each walked map; a
//     nested level by its core's link and by each walked map). A view with
//     an owner holds that Index object, so the index is reachable whenever
//     one of its views is, and only the index visits what they share;
//   * a box's holders found on the walk are counted first (SharedBox::seen),
//     and its object is visited on a second pass iff that count equals the
//     box's reference count, which also returns every count to zero.
// A box or structure held from anywhere else is not visited: its reference
// then looks external to the collector, which keeps objects alive and never
// frees a live one.
//
// Runs attached, with nothing visited unless no detached section is open and
// no pending reference waits (py::detached_sections(), pending_ref.hpp):
// then no thread changes these structures or the boxes' counts, so they are
// read without their locks, and every traversal of one collection sees the
// same holders. Never allocates and never fails; a visit that fails stops
// the visits but the second pass still runs to its end.
#pragma once

#include <Python.h>

#include <memory>

#include "index/core/filtered_index.hpp"
#include "index/core/index.hpp"

namespace zarvex {

// The references the index `core` holds alone, when `core` itself is held
// only by the object being traversed; `views` views (which hold that object)
// share its maps and store and count as its own holders of them.
int traverse_owned(const std::shared_ptr<IndexAPI>& core, long views, visitproc visit, void* arg);
// The same for a view's maps and store.
int traverse_owned(const FilteredView& view, visitproc visit, void* arg);

}  // namespace zarvex
