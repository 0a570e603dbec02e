// FilteredView: the native content of a FilteredIndex: shared handles to an
// index's attribute maps and object store, and a bitmap of ids fixed when the
// view is made. Attribute changes of the index are visible through the view;
// its ids never change (narrowing makes a new view).
//
// Methods lock the shared parts (query_maps, items) for reading only.
#pragma once

#include <memory>
#include <vector>

#include "index/core/index.hpp"
#include "index/core/query/query_ops.hpp"

namespace zarvex {

struct FilteredView {
  SharedMaps query_maps;
  SharedItems items;
  Bitmap ids;

  // Matches of the keyword query in the whole index, intersected with ids.
  Bitmap reduced(const HashQuery& q) const;
  // Evaluation with ids as the universe, intersected with ids.
  Bitmap reduced_query(const QueryExpr& e) const;
  // New references to the view's objects in ascending id order (attached).
  std::vector<PyObject*> collect() const;
  // A standalone index over the view's objects with maps of its own; every
  // object is registered in it, so later writes reach it. Runs detached.
  std::shared_ptr<IndexAPI> rebase() const;
};

}  // namespace zarvex
