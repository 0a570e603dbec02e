#include "index/object_record.hpp"

#include <algorithm>
#include <functional>

namespace zarvex {

namespace {
void add_index_meta_locked(MetaList& list, const std::weak_ptr<IndexAPI>& index, const void* address) {
  // An index already listed (alive at the same address: the same index) is
  // not listed again, so a nested object taken up over and over does not
  // grow its list (and every write to it) without bound.
  for (const IndexMeta& m : list)
    if (m.address == address && !m.index.expired()) return;
  // The list stays ordered by address: the new link goes after every link
  // at a lower or equal address (no sort, no temporary buffer).
  list.erase(std::remove_if(list.begin(), list.end(), [](const IndexMeta& m) { return m.index.expired(); }),
             list.end());
  auto at = std::upper_bound(list.begin(), list.end(), address,
                             [](const void* a, const IndexMeta& m) { return std::less<const void*>()(a, m.address); });
  list.insert(at, IndexMeta{index, address});
}

}  // namespace

void add_index_meta(IndexableRecord& rec, const std::weak_ptr<IndexAPI>& index) {
  const void* address = index.lock().get();  // callers hold the index alive
  MembershipGuard g(rec);
  MetaList* list = rec.meta.load(std::memory_order_relaxed);
  if (!list) {
    // Published once; freed with the record.
    list = new MetaList();
    rec.meta.store(list, std::memory_order_release);
  }
  add_index_meta_locked(*list, index, address);
}

void remove_index_meta(IndexableRecord& rec, const IndexAPI* index) {
  MembershipGuard g(rec);
  MetaList* list = rec.meta.load(std::memory_order_relaxed);
  if (!list) return;
  for (auto it = list->begin(); it != list->end(); ++it)
    if (it->address == index) {
      list->erase(it);
      return;
    }
}

absl::InlinedVector<std::shared_ptr<IndexAPI>, 4> live_indexes(IndexableRecord& rec) {
  absl::InlinedVector<std::shared_ptr<IndexAPI>, 4> live;
  MembershipGuard g(rec);
  if (MetaList* list = rec.meta.load(std::memory_order_relaxed))
    for (const IndexMeta& m : *list)
      if (auto idx = m.index.lock()) live.push_back(std::move(idx));
  return live;
}

}  // namespace zarvex
