#include "index/object_record.hpp"

#include <algorithm>
#include <functional>
#include <memory>

namespace zarvex {

namespace {
bool expired(const IndexMeta& m) { return m.expired(); }
}  // namespace

MemberList* MemberList::solo(IndexMeta index) {
  auto* list = new MemberList(true);
  list->links_.push_back(std::move(index));
  return list;
}

MemberList* MemberList::empty() {
  // Never freed: the static holds a reference of its own.
  static MemberList* const none = new MemberList(true);
  none->retain();
  return none;
}

MemberList* MemberList::copy_of(const MemberList& list) {
  std::unique_ptr<MemberList> own(new MemberList(false));
  own->links_ = list.links_;
  return own.release();
}

void MemberList::release(MemberList* list) {
  if (list && list->refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete list;
}

bool add_index_meta(IndexableRecord& rec, MemberList& solo) {
  const IndexMeta& index = solo.links().front();
  MembershipGuard g(rec);
  MemberList* list = rec.meta.load(std::memory_order_relaxed);
  // An index already listed is not listed again, so a nested object taken up
  // over and over does not grow its list (and every write to it) without
  // bound.
  if (list)
    for (const IndexMeta& m : list->links())
      if (same_index(m, index)) return false;
  if (!list || std::all_of(list->links().begin(), list->links().end(), expired)) {
    solo.retain();
    rec.meta.store(&solo, std::memory_order_release);
    MemberList::release(list);
    return true;
  }
  if (list->shared()) {
    // A solo list with a live link: the object gets a list of its own.
    MemberList* own = MemberList::copy_of(*list);
    rec.meta.store(own, std::memory_order_release);
    MemberList::release(list);
    list = own;
  }
  // The list stays in owner order: the new link goes after every link of a
  // lower owner (no sort, no temporary buffer).
  MetaList& links = list->own_links();
  links.erase(std::remove_if(links.begin(), links.end(), expired), links.end());
  auto at = std::upper_bound(links.begin(), links.end(), index,
                             [](const IndexMeta& a, const IndexMeta& m) { return a.owner_before(m); });
  links.insert(at, index);
  return true;
}

void remove_index_meta(IndexableRecord& rec, const std::weak_ptr<IndexAPI>& index) {
  MembershipGuard g(rec);
  MemberList* list = rec.meta.load(std::memory_order_relaxed);
  if (!list) return;
  auto gone = [&](const IndexMeta& m) { return same_index(m, index) || m.expired(); };
  if (list->shared()) {
    if (!list->links().empty() && gone(list->links().front())) {
      rec.meta.store(MemberList::empty(), std::memory_order_release);
      MemberList::release(list);
    }
    return;
  }
  MetaList& links = list->own_links();
  links.erase(std::remove_if(links.begin(), links.end(), gone), links.end());
}

void live_indexes(IndexableRecord& rec, LiveIndexes& live) {
  live.clear();
  MembershipGuard g(rec);
  if (const MemberList* list = rec.meta.load(std::memory_order_relaxed))
    for (const IndexMeta& m : list->links())
      if (auto idx = m.lock()) live.push_back(std::move(idx));
}

}  // namespace zarvex
