#include "index/core/filtered_index.hpp"

#include <algorithm>

#include "index/core/query/query.hpp"
#include "py/boundary.hpp"
#include "py/gil.hpp"
#include "support/memory.hpp"

namespace zarvex {

Bitmap FilteredView::reduced(const HashQuery& q) const {
  Bitmap found;
  {
    auto maps = query_maps->read();
    found = filter_index_by_hashes(*maps, q);
  }
  found.and_inplace(ids);
  return found;
}

Bitmap FilteredView::reduced_query(const QueryExpr& e) const {
  validate_expr(e);
  Bitmap found;
  {
    auto maps = query_maps->read();
    found = evaluate_query(*maps, ids, e);
  }
  found.and_inplace(ids);
  return found;
}

std::vector<PyObject*> FilteredView::collect() const { return IndexAPI::objects_of(*items, ids); }

std::shared_ptr<IndexAPI> FilteredView::rebase() const {
  memory::require_headroom();
  auto core = IndexAPI::create();
  uint32_t m = ids.is_empty() ? 0 : ids.maximum();
  // Slots are copied first (the new index is not yet reachable from any
  // object); each object is then registered and filed under its own
  // index_meta and attributes locks, so a concurrent write to it lands
  // entirely before (and is read here) or after (and reaches the new index).
  std::vector<py::SharedPy> objs;
  Bitmap present;
  {
    auto dst = core->items->write();
    dst->resize(static_cast<size_t>(m) + 1);
    auto src = items->read();
    ids.for_each([&](uint32_t id) {
      if (id >= src->size() || !(*src)[id].occupied()) return;
      (*dst)[id] = (*src)[id].copy();
      objs.push_back((*src)[id].py_object);
      present.add(id);
    });
  }
  *core->allowed_items->write() = std::move(present);
  // Should anything fail (out of memory, an interrupt), the new index is
  // simply dropped: nothing else refers to it, and the objects' links to it
  // die with it.
  std::weak_ptr<IndexAPI> self = core;
  for (size_t i = 0; i < objs.size();) {
    if (i > 0) {
      // Between stretches, with no lock held and no nesting scope open.
      memory::require_headroom();
      if (py::signal_raised()) throw py::PyErrorSet{};
    }
    NestingScope nesting;
    for (const size_t end = std::min(objs.size(), i + kCheckEvery); i < end; ++i) {
      IndexableRecord& rec = *record_of(objs[i].get());
      MutexGuard writer(rec.write_lock);
      add_index_meta(rec, self);
      core->file_attributes(rec.id, rec);
    }
    nesting.drain();
  }
  return core;
}

}  // namespace zarvex
