#include "index/object_record.hpp"

#include <algorithm>
#include <functional>

namespace zarvex {

namespace {
bool expired(const IndexMeta& m) { return m.expired(); }
}  // namespace

void add_index_meta(IndexableRecord& rec, const std::weak_ptr<IndexAPI>& index) {
  MembershipGuard g(rec);
  MetaList* list = rec.meta.load(std::memory_order_relaxed);
  if (!list) {
    // Published once; freed with the record.
    list = new MetaList();
    rec.meta.store(list, std::memory_order_release);
  }
  // An index already listed is not listed again, so a nested object taken up
  // over and over does not grow its list (and every write to it) without
  // bound.
  for (const IndexMeta& m : *list)
    if (same_index(m, index)) return;
  // The list stays in owner order: the new link goes after every link of a
  // lower owner (no sort, no temporary buffer).
  list->erase(std::remove_if(list->begin(), list->end(), expired), list->end());
  auto at = std::upper_bound(list->begin(), list->end(), index,
                             [](const IndexMeta& a, const IndexMeta& m) { return a.owner_before(m); });
  list->insert(at, index);
}

void remove_index_meta(IndexableRecord& rec, const std::weak_ptr<IndexAPI>& index) {
  MembershipGuard g(rec);
  if (MetaList* list = rec.meta.load(std::memory_order_relaxed))
    list->erase(std::remove_if(list->begin(), list->end(),
                               [&](const IndexMeta& m) { return same_index(m, index) || m.expired(); }),
                list->end());
}

void live_indexes(IndexableRecord& rec, LiveIndexes& live) {
  live.clear();
  MembershipGuard g(rec);
  if (MetaList* list = rec.meta.load(std::memory_order_relaxed))
    for (const IndexMeta& m : *list)
      if (auto idx = m.lock()) live.push_back(std::move(idx));
}

}  // namespace zarvex
