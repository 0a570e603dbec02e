#include "index/core/filtered_index.hpp"

#include "index/core/query/query.hpp"

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
  std::weak_ptr<IndexAPI> self = core;
  NestingScope nesting;
  for (const auto& o : objs) {
    IndexableRecord& rec = *record_of(o.get());
    WriterGuard writer(rec);
    add_index_meta(rec, self);
    core->file_attributes(rec.id, rec);
  }
  nesting.drain();
  return core;
}

}  // namespace zarvex
