// The Python references an index holds on its own, for the cycle collector.
//
// An index's structures hold Python references through shared holders
// (SharedPy boxes): store slots, exact-map keys, the same at every nested
// level. One box holds one reference and may have several holders, some of
// them elsewhere (another index after a union, an attribute record, a call
// in progress). The structures themselves are shared too: a view shares its
// index's maps and store, every attribute map holds its owner's store and
// nested level.
//
// traverse_owned visits the object of a box exactly once, and only when every
// holder of the box lies in structures that the Python object being
// traversed owns alone:
//   * a structure is walked only when its use count equals its holders found
//     on the walk (the core held only by its Index; the maps vector only by
//     its core or view; a map only by its vector; the store by its core or
//     view and by each walked map; a nested level by its core's link and by
//     each walked map);
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
// only by the object being traversed.
int traverse_owned(const std::shared_ptr<IndexAPI>& core, visitproc visit, void* arg);
// The same for a view's maps and store.
int traverse_owned(const FilteredView& view, visitproc visit, void* arg);

}  // namespace zarvex
