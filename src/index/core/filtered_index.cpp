#include "index/core/filtered_index.hpp"

#include <algorithm>

#include "index/core/query/query.hpp"
#include "py/boundary.hpp"
#include "py/gil.hpp"
#include "support/memory.hpp"

namespace zarvex {

namespace {
const Bitmap& live_locked(const ItemVec& store, const Bitmap& ids, uint64_t epoch, Bitmap& scratch) {
  if (store.epoch() == epoch) return ids;
  std::vector<uint32_t> keep;
  ids.for_each([&](uint32_t id) {
    if (id < store.size() && store.visible_at(id, epoch)) keep.push_back(id);
  });
  scratch = Bitmap(std::span<const uint32_t>(keep));
  return scratch;
}
}  // namespace

const Bitmap& FilteredView::live(Bitmap& scratch, uint64_t& now) const {
  ItemsRead store(*items);
  now = store->epoch();
  return live_locked(*store, ids, epoch, scratch);
}

FilteredView FilteredView::reduced(const HashQuery& q) const {
  Bitmap scratch;
  uint64_t now;
  const Bitmap& base = live(scratch, now);
  Bitmap found;
  {
    MapsRead maps(*query_maps);
    found = filter_index_by_hashes(*maps, q);
  }
  found.and_inplace(base);
  return FilteredView{query_maps, items, std::move(found), now};
}

FilteredView FilteredView::reduced_query(const QueryExpr& e) const {
  validate_expr(e);
  Bitmap scratch;
  uint64_t now;
  const Bitmap& base = live(scratch, now);
  Bitmap found;
  {
    MapsRead maps(*query_maps);
    found = evaluate_query(*maps, base, e);
  }
  found.and_inplace(base);
  return FilteredView{query_maps, items, std::move(found), now};
}

std::vector<PyObject*> FilteredView::collect() const { return IndexAPI::objects_of(*items, ids, epoch); }

uint64_t FilteredView::size() const {
  ItemsRead store(*items);
  if (store->epoch() == epoch) return ids.cardinality();
  uint64_t n = 0;
  ids.for_each([&](uint32_t id) {
    if (id < store->size() && store->visible_at(id, epoch)) ++n;
  });
  return n;
}

bool FilteredView::contains(uint32_t id, PyObject* obj) const {
  if (!ids.contains(id)) return false;
  ItemsRead store(*items);
  return id < store->size() && (*store)[id].object == obj && store->visible_at(id, epoch);
}

FilteredView FilteredView::combine(const FilteredView& a, const FilteredView& b, SetOp op) {
  Bitmap out;
  uint64_t now;
  {
    // Both operands read at one removal count, which the result takes.
    ItemsRead store(*a.items);
    now = store->epoch();
    Bitmap scratch_a, scratch_b;
    const Bitmap& x = live_locked(*store, a.ids, a.epoch, scratch_a);
    const Bitmap& y = live_locked(*store, b.ids, b.epoch, scratch_b);
    switch (op) {
      case SetOp::And: out = Bitmap::and_(x, y); break;
      case SetOp::Or: {
        const Bitmap* parts[] = {&x, &y};
        out = Bitmap::or_many(parts);
        break;
      }
      case SetOp::Sub: out = Bitmap::andnot(x, y); break;
    }
  }
  return FilteredView{a.query_maps, a.items, std::move(out), now};
}

std::shared_ptr<IndexAPI> FilteredView::rebase() const {
  memory::require_headroom();
  auto core = IndexAPI::create();
  uint32_t m = ids.is_empty() ? 0 : ids.maximum();
  // Slots are copied first (the new index is not yet reachable from any
  // object); each object is then registered and filed under its own
  // index_meta and attributes locks, so a concurrent write to it lands
  // entirely before (and is read here) or after (and reaches the new index).
  // The objects, held by the new index's slots: nothing else can reach that
  // index to take them out before it is returned.
  std::vector<PyObject*> objs;
  Bitmap present;
  {
    ItemsWrite dst(*core->items);
    dst->resize(static_cast<size_t>(m) + 1);
    ItemsRead src(*items);
    ids.for_each([&](uint32_t id) {
      if (id >= src->size() || !src->visible_at(id, epoch)) return;
      (*dst)[id] = (*src)[id].copy();
      objs.push_back((*dst)[id].object);
      present.add(id);
    });
  }
  *core->allowed_items->write() = std::move(present);
  // Should anything fail (out of memory, an interrupt), the new index is
  // simply dropped: nothing else refers to it, and the objects' links to it
  // die with it.
  MemberList& self = core->solo_members();
  for (size_t i = 0; i < objs.size();) {
    if (i > 0) {
      // Between stretches, with no lock held and no nesting scope open.
      memory::require_headroom();
      if (py::signal_raised()) throw py::PyErrorSet{};
    }
    NestingScope nesting;
    for (const size_t end = std::min(objs.size(), i + kCheckEvery); i < end; ++i) {
      IndexableRecord& rec = *record_of(objs[i]);
      WriterGuard writer(rec);
      add_index_meta(rec, self);
      core->file_attributes(rec.id, rec);
    }
    nesting.drain();
  }
  return core;
}

}  // namespace zarvex
