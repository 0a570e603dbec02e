#include "index/core/ownership.hpp"

#include <type_traits>

#include "index/core/query/query.hpp"
#include "py/pending_ref.hpp"

namespace zarvex {

namespace {

// The parts of one level: its maps and store, plus the holders of the store
// and of the nested level that sit outside the maps (the level's core, or
// the view).
struct Level {
  const SharedMaps* maps;
  const SharedItems* items;
  long outside_item_holders;
  const IndexAPI* core_nested;  // the nested level the core links to, or null
  long map_holders;             // holders of the maps vector (its core or view, and views)
};

bool walkable(const SharedMaps& maps, long holders) { return maps && maps.use_count() == holders; }
bool walkable(const std::shared_ptr<QueryMap>& map) { return map && map.use_count() == 1; }

// In the parts the root owns alone, level by level down the nested chain:
// calls f(box) for every box holder, each holder once, and slot(object) for
// every occupied store slot (each holds a reference of its own), unless
// slot_ref is nullptr (the counting pass, which only boxes concern).
template <class F, class S>
void for_each_owned_holder(Level lv, F&& f, S&& slot_ref) {
  while (lv.maps && walkable(*lv.maps, lv.map_holders)) {
    const QueryMapVec& vec = (*lv.maps)->unguarded();
    long item_holders = lv.outside_item_holders;
    const std::shared_ptr<IndexAPI>* nested = nullptr;
    long nested_holders = 0;
    for (const auto& m : vec) {
      if (!walkable(m)) continue;
      if (lv.items && m->owner_items == *lv.items) ++item_holders;
      if (!nested && m->nested) nested = &m->nested;
      if (nested && m->nested == *nested) ++nested_holders;
    }
    if constexpr (!std::is_null_pointer_v<std::decay_t<S>>)
      if (lv.items && *lv.items && lv.items->use_count() == item_holders)
        for (const StoredItem& slot : (*lv.items)->unguarded())
          if (slot.occupied()) slot_ref(slot.object);
    for (const auto& m : vec) {
      if (!walkable(m)) continue;
      m->exact.for_each_shard_unguarded([&](const QueryMap::ExactMap::Map& shard) {
        for (const auto& entry : shard)
          if (py::SharedBox* b = entry.first.handle().box()) f(b);
      });
    }
    if (!nested) return;
    if (lv.core_nested && lv.core_nested == nested->get()) ++nested_holders;
    if (nested->use_count() != nested_holders) return;
    const IndexAPI& next = **nested;
    lv = Level{&next.query_maps, &next.items, 1, next.nested_address(), 1};
  }
}

bool quiescent() {
#ifdef Py_GIL_DISABLED
  // Without the interpreter lock nothing orders the walk after the writers.
  return false;
#else
  return py::detached_sections() == 0 && !py::detail::g_has_pending_increfs.load(std::memory_order_acquire);
#endif
}

int visit_owned(Level lv, visitproc visit, void* arg) {
  if (!quiescent()) return 0;
  for_each_owned_holder(
      lv, [](py::SharedBox* b) { ++b->seen; }, nullptr);
  int result = 0;
  for_each_owned_holder(
      lv,
      [&](py::SharedBox* b) {
        if (b->seen == 0) return;  // handled at its first holder
        const bool alone = b->seen == b->rc.load(std::memory_order_relaxed);
        b->seen = 0;
        if (alone && b->obj && result == 0) result = visit(b->obj, arg);
      },
      [&](PyObject* obj) {
        if (result == 0) result = visit(obj, arg);
      });
  return result;
}

}  // namespace

int traverse_owned(const std::shared_ptr<IndexAPI>& core, long views, visitproc visit, void* arg) {
  if (!core || core.use_count() != 1) return 0;
  return visit_owned(Level{&core->query_maps, &core->items, 1 + views, core->nested_address(), 1 + views}, visit, arg);
}

int traverse_owned(const FilteredView& view, visitproc visit, void* arg) {
  return visit_owned(Level{&view.query_maps, &view.items, 1, nullptr, 1}, visit, arg);
}

}  // namespace zarvex
