// FilteredView: the native content of a FilteredIndex: shared handles to an
// index's attribute maps and object store, and a bitmap of ids fixed when the
// view is made. Attribute changes of the index are visible through the view;
// its ids never change (narrowing makes a new view).
//
// `epoch` is the store's removal count when the view was made (ItemVec). An
// object removed from the index afterwards leaves the view too, and a slot
// stored after that removal (another object, perhaps under the id of one
// that died) is never listed: the view lists, counts and matches only the
// ids whose slots are visible at its epoch. Views made from a view (narrowing,
// set algebra) start from those live ids and take the current count.
//
// Methods lock the shared parts (query_maps, items) for reading only.
#pragma once

#include <memory>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/query_ops.hpp"

namespace zarvex {

enum class SetOp : uint8_t { And, Or, Sub };

struct FilteredView {
  SharedMaps query_maps;
  SharedItems items;
  Bitmap ids;
  uint64_t epoch = kAnyEpoch;

  // Matches of the keyword query in the whole index, intersected with the
  // live ids.
  FilteredView reduced(const HashQuery& q) const;
  // Evaluation with the live ids as the universe, intersected with them.
  FilteredView reduced_query(const QueryExpr& e) const;
  // New references to the view's objects in ascending id order (attached).
  std::vector<PyObject*> collect() const;
  // Number of objects the view lists, without listing them.
  uint64_t size() const;
  // True when the view lists `obj`, whose id is `id`.
  bool contains(uint32_t id, PyObject* obj) const;
  // Set algebra of two views over the same store.
  static FilteredView combine(const FilteredView& a, const FilteredView& b, SetOp op);
  // The ids the view still lists, and (in `now`) the store's removal count
  // at which they were read. `ids` itself while nothing was removed since
  // the view was made, else a pruned copy in `scratch`.
  const Bitmap& live(Bitmap& scratch, uint64_t& now) const;
  // A standalone index over the view's objects with maps of its own; every
  // object is registered in it, so later writes reach it. Runs detached.
  std::shared_ptr<IndexAPI> rebase() const;
};

}  // namespace zarvex
