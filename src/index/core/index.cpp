#include "index/core/index.hpp"

#include <algorithm>
#include <deque>
#include <type_traits>
#include <unordered_map>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "index/core/query/query.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/core/structures/string_interner/interner.hpp"
#include "py/boundary.hpp"
#include "py/gil.hpp"
#include "support/id_sieve.hpp"
#include "support/memory.hpp"

namespace zarvex {

// ---- objects whose attribute maps this thread holds ------------------------
namespace {
thread_local std::vector<std::pair<IndexableRecord*, AttrMap*>> t_filing;
}

FilingScope::FilingScope(IndexableRecord& rec, AttrMap& map) { t_filing.emplace_back(&rec, &map); }
FilingScope::~FilingScope() { t_filing.pop_back(); }

void with_attributes(IndexableRecord& rec, absl::FunctionRef<void(AttrMap&)> f) {
  for (auto& [r, m] : t_filing)
    if (r == &rec) {
      f(*m);
      return;
    }
  IndexableRecord::AttrGuard attrs(rec);
  FilingScope scope(rec, *attrs);
  f(*attrs);
}

// ---- deferred nesting work ---------------------------------------------------
namespace {
struct NestingWork {
  NestingOp op;
  std::shared_ptr<IndexAPI> index;
  py::SharedPy obj;
};
thread_local std::deque<NestingWork> t_nesting;
thread_local int t_nesting_depth = 0;
}  // namespace

NestingScope::NestingScope() : outer_(t_nesting_depth++ == 0) {}
NestingScope::~NestingScope() {
  --t_nesting_depth;
  // Most writes queue nothing: an empty queue is left as it is (clearing a
  // deque walks its blocks even when it holds nothing).
  if (outer_ && !t_nesting.empty()) t_nesting.clear();
}

void queue_nesting(NestingOp op, std::shared_ptr<IndexAPI> index, py::SharedPy obj) {
  t_nesting.push_back(NestingWork{op, std::move(index), std::move(obj)});
}

NestingTicket::NestingTicket() { t_nesting.push_back(NestingWork{NestingOp::File, nullptr, {}}); }
NestingTicket::~NestingTicket() {
  if (!filled_) t_nesting.pop_back();
}
void NestingTicket::fill(NestingOp op, std::shared_ptr<IndexAPI> index, py::SharedPy obj) noexcept {
  t_nesting.back() = NestingWork{op, std::move(index), std::move(obj)};
  filled_ = true;
}

bool NestingScope::has_work() const { return outer_ && !t_nesting.empty(); }

void NestingScope::drain() {
  if (!outer_) return;
  while (!t_nesting.empty()) {
    // The work stays queued until it is done. It is finished, never undone:
    // a run that fails for want of memory is done again with the reserve
    // (filing is idempotent; unfiling finishes its own removals).
    NestingWork w = t_nesting.front();
    IndexableRecord& rec = *record_of(w.obj.get());
    memory::complete([&] {
      if (w.op == NestingOp::File) {
        with_attributes(rec, [&](AttrMap&) {
          // Filed only while the slot still stands; a slot waiting for
          // removal has its Unfile work queued behind this one.
          if (w.index->has_object_id(rec.id)) w.index->file_attributes(rec.id, rec);
        });
      } else {
        w.index->unfile_nested(rec);
      }
    });
    t_nesting.pop_front();
  }
}

// ---- construction ------------------------------------------------------------
std::shared_ptr<IndexAPI> IndexAPI::create(std::weak_ptr<IndexAPI> parent_index) {
  auto idx = std::make_shared<IndexAPI>();
  idx->query_maps = std::make_shared<RwLocked<QueryMapVec>>();
  idx->items = std::make_shared<RwLocked<ItemVec>>();
  idx->allowed_items = std::make_shared<RwLocked<Bitmap>>();
  if (auto p = parent_index.lock()) idx->level = p->level + 1;
  idx->parent = std::move(parent_index);
  return idx;
}

std::shared_ptr<IndexAPI> IndexAPI::nested_level() {
  if (const std::shared_ptr<IndexAPI>* below = nested_.load(std::memory_order_acquire)) return *below;
  auto fresh = std::make_unique<std::shared_ptr<IndexAPI>>(IndexAPI::create(weak_from_this()));
  std::shared_ptr<IndexAPI>* expected = nullptr;
  if (nested_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) return *fresh.release();
  return *expected;  // another thread installed the level first
}

MemberList& IndexAPI::solo_members() {
  if (MemberList* list = solo_.load(std::memory_order_acquire)) return *list;
  MemberList* fresh = MemberList::solo(weak_from_this());
  MemberList* expected = nullptr;
  if (solo_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return *fresh;
  MemberList::release(fresh);  // another thread installed the list first
  return *expected;
}

// ---- maps ------------------------------------------------------------------
std::shared_ptr<QueryMap> IndexAPI::map_if_any(uint32_t attr_id) const {
  MapsRead maps(*query_maps);
  return attr_id < maps->size() ? (*maps)[attr_id] : nullptr;
}

std::shared_ptr<QueryMap> IndexAPI::map_for(uint32_t attr_id) {
  if (auto m = map_if_any(attr_id)) return m;
  // Built outside the lock; installed only if the slot is still empty, so
  // two threads meeting a new attribute end up sharing one map.
  auto fresh = std::make_shared<QueryMap>(weak_from_this(), attr_id);
  MapsWrite maps(*query_maps);
  if (attr_id >= maps->size()) maps->resize(attr_id + 1);
  auto& slot = (*maps)[attr_id];
  if (!slot) slot = std::move(fresh);
  return slot;
}

void IndexAPI::add_index(uint32_t id, uint32_t attr_id, const PyValue& value) {
  // Values are routed under the query_maps read lock, so a slot can only be
  // reset (by a remover that found its map empty, under the write lock)
  // before or after, never during, the insertion.
  for (;;) {
    {
      MapsRead maps(*query_maps);
      if (attr_id < maps->size() && (*maps)[attr_id]) {
        (*maps)[attr_id]->insert(value, id);
        return;
      }
    }
    map_for(attr_id);  // installs a map for the new attribute, then route again
  }
}

void IndexAPI::insert_exact_routed(uint32_t attr_id, const PyValue& key, uint32_t id) {
  // Routed under the query_maps read lock like add_index, so a remover that
  // empties and resets the map cannot leave the entry in an orphaned map.
  for (;;) {
    {
      MapsRead maps(*query_maps);
      if (attr_id < maps->size() && (*maps)[attr_id]) {
        (*maps)[attr_id]->insert_exact(key, id);
        return;
      }
    }
    map_for(attr_id);
  }
}

void IndexAPI::remove_index(uint32_t id, uint32_t attr_id, const PyValue& value) {
  std::shared_ptr<QueryMap> map;
  bool now_empty = false;
  {
    MapsRead maps(*query_maps);
    if (attr_id >= maps->size() || !(*maps)[attr_id]) return;
    map = (*maps)[attr_id];
    now_empty = map->remove_value(value, id) && map->is_empty();
  }
  if (now_empty) release_emptied(std::span<const std::shared_ptr<QueryMap>>(&map, 1));
}

void IndexAPI::replace_index(uint32_t id, uint32_t attr_id, const PyValue& old, const PyValue& value) {
  {
    // The map keeps the new value, so it cannot be left empty: the reset
    // that remove_index may do is not needed.
    MapsRead maps(*query_maps);
    if (attr_id < maps->size() && (*maps)[attr_id]) {
      (*maps)[attr_id]->replace(old, value, id);
      return;
    }
  }
  // No map: the old value was never filed here.
  add_index(id, attr_id, value);
}

void IndexAPI::replace_leaves(uint32_t id, uint32_t attr_id, uintptr_t old_word, uintptr_t new_word) {
  {
    MapsRead maps(*query_maps);
    if (attr_id < maps->size() && (*maps)[attr_id]) {
      QueryMap& map = *(*maps)[attr_id];
      if (AttrSlot::is_single_number(old_word) && AttrSlot::is_single_number(new_word)) {
        map.move_number(*AttrSlot::number_at(old_word, 0), *AttrSlot::number_at(new_word, 0), id);
        return;
      }
      if (AttrSlot::kind_of(old_word) == SlotKind::Str && AttrSlot::kind_of(new_word) == SlotKind::Str &&
          map.replace_text(AttrSlot::text_key(AttrSlot::object_of(old_word)),
                           AttrSlot::text_key(AttrSlot::object_of(new_word)), id))
        return;
      // Texts alone on both sides (a list of labels): looked up by their
      // bytes, with no value built.
      constexpr uint32_t kMost = QueryMap::ExactMap::kMostKeys;
      TextKey old_texts[kMost], new_texts[kMost];
      uint32_t old_count = 0, new_count = 0;
      auto texts = [&](uintptr_t word, TextKey* into, uint32_t& count) {
        count = word ? AttrSlot::leaf_count(word) : 0;
        if (count > kMost) return false;
        for (uint32_t j = 0; j < count; ++j) {
          PyObject* text = AttrSlot::text_at(word, j);
          if (!text) return false;
          into[j] = AttrSlot::text_key(text);
        }
        return true;
      };
      if (texts(old_word, old_texts, old_count) && texts(new_word, new_texts, new_count) &&
          map.replace_texts(std::span<const TextKey>(old_texts, old_count),
                            std::span<const TextKey>(new_texts, new_count), id))
        return;
      // Texts and booleans on both sides: every set they change is found and
      // changed under one hold of their shards' locks.
      absl::InlinedVector<PyValue, 4> olds, news;
      auto gather = [&](uintptr_t word, absl::InlinedVector<PyValue, 4>& into) {
        for (uint32_t j = 0, m = word ? AttrSlot::leaf_count(word) : 0; j < m; ++j) {
          if (AttrSlot::number_at(word, j)) return false;
          into.push_back(AttrSlot::leaf_at(word, j, id, attr_id));
          if (into.back().kind() != Kind::Str && into.back().kind() != Kind::Bool) return false;
        }
        return true;
      };
      if (gather(old_word, olds) && gather(new_word, news) && map.replace_exact_many(olds, news, id)) return;
      // All of the old leaves first: a leaf both values hold ends filed.
      AttrSlot::for_each_leaf(
          old_word, id, attr_id, [&](NumKey key) { map.unfile_number(key, id); },
          [&](const PyValue& v) { map.unfile(v, id); });
      AttrSlot::for_each_leaf(
          new_word, id, attr_id, [&](NumKey key) { map.insert_num_ordered(key, id); },
          [&](const PyValue& v) { map.insert(v, id); });
      return;
    }
  }
  // No map: the old leaves were never filed here. add_index installs it.
  for (uint32_t j = 0, m = new_word ? AttrSlot::leaf_count(new_word) : 0; j < m; ++j)
    add_index(id, attr_id, AttrSlot::leaf_at(new_word, j, id, attr_id));
}

void IndexAPI::file_attributes(uint32_t id, IndexableRecord& rec) {
  with_attributes(rec, [&](AttrMap& attrs) {
    attrs.capture_containers();  // elements are kept from the object's first filing on
    // One hold of the maps lock for every attribute that already has a map;
    // new attributes go through add_index, which installs their maps.
    // Values are built for the call (the attribute table keeps slots), so
    // the ones left for add_index are kept by value.
    std::vector<std::pair<uint32_t, PyValue>> missing;
    {
      MapsRead maps(*query_maps);
      // Containers element by element, as insert() would file them.
      attrs.for_each_leaf(id, [&](const uint32_t& aid, const PyValue& v) {
        if (aid < maps->size() && (*maps)[aid]) {
          (*maps)[aid]->insert(v, id);
        } else {
          missing.emplace_back(aid, v);
        }
      });
    }
    for (auto& [aid, v] : missing) add_index(id, aid, v);
  });
}

// ---- adding ----------------------------------------------------------------
void IndexAPI::add_object(PyObject* obj) {
  memory::check_headroom_periodically();
  IndexableRecord& rec = *record_of(obj);
  const uint32_t id = rec.id;
  MemberList& members = solo_members();  // may fail: before anything changes
  bool fresh = false, published = false, linked = false;
  try {
    // Registration and filing under the object's write lock, so a
    // concurrent write to the object comes entirely before or after.
    NestingScope nesting;
    {
      WriterGuard writer(rec);
      revive(std::span<const uint32_t>(&id, 1));  // may fail: before anything changes
      linked = add_index_meta(rec, members);
      {
        AllowedWrite allowed(*allowed_items);
        ItemsWrite store(*items);
        if (id >= store->size()) store->put(id, StoredItem());  // grows the store
        published = allowed->contains(id);
        fresh = !(*store)[id].occupied();
        // Published together with the slot (both locks are held); what may
        // fail comes first.
        if (!published) allowed->add(id);
        if (fresh) store->put(id, StoredItem(nullptr, obj));
      }
      file_attributes(id, rec);
    }
    nesting.drain();
  } catch (const std::bad_alloc&) {
    // An object that was a member already is unchanged: filing is
    // idempotent. One linked but not stored leaves like one stored: a write
    // between the failure and this withdrawal follows the link.
    withdraw(fresh || linked ? std::span<PyObject* const>(&obj, 1) : std::span<PyObject* const>(),
             published ? std::span<const uint32_t>() : std::span<const uint32_t>(&id, 1));
    throw;
  }
}

void IndexAPI::add_object_many(std::span<PyObject* const> objs) {
  if (objs.empty()) return;
  memory::require_headroom();
  // Each object once, at its first position.
  uint32_t max_id = 0;
  for (PyObject* o : objs) max_id = std::max(max_id, record_of(o)->id);
  std::vector<bool> seen(static_cast<size_t>(max_id) + 1);
  std::vector<PyObject*> unique;
  std::vector<uint32_t> ids;
  unique.reserve(objs.size());
  ids.reserve(objs.size());
  for (PyObject* o : objs) {
    uint32_t id = record_of(o)->id;
    if (seen[id]) continue;
    seen[id] = true;
    unique.push_back(o);
    ids.push_back(id);
  }
  const size_t n = unique.size();
  MemberList& self = solo_members();  // may fail: before anything changes
  revive(ids);
  // fresh: stored by this call; unpublished: not published before it.
  std::vector<uint8_t> fresh(n), unpublished(n);
  uint64_t stored_at;
  // The removal count is atomic: read below without the lock (the store
  // itself never moves), so that the common case costs no lock per object.
  const ItemVec* store_ptr;
  for (;;) {
    AllowedWrite allowed(*allowed_items);
    // An id retired since the revival above (its object was removed
    // meanwhile) is revived again before it is published.
    if (retired_count_.load(std::memory_order_acquire) != 0) {
      RwLocked<Retired>::ReadScope r(retired);
      if (std::any_of(ids.begin(), ids.end(), [&](uint32_t id) { return r->ids.contains(id); })) {
        r.release();
        allowed.release();
        revive(ids);
        continue;
      }
    }
    ItemsWrite store(*items);
    if (max_id >= store->size()) {  // grown first: what may fail comes first
      store->resize(static_cast<size_t>(max_id) + 1);
      if (!store->stamps.empty()) store->stamps.resize(store->size(), 0);
    }
    // The new slots' references are taken at once (one record of pending
    // increments), then the slots are filled: nothing fails in between.
    std::vector<PyObject*> stored;
    for (size_t i = 0; i < n; ++i) {
      unpublished[i] = !allowed->contains(ids[i]);
      if ((*store)[ids[i]].occupied()) continue;
      fresh[i] = 1;
      stored.push_back(unique[i]);
    }
    py::take_refs_anywhere(stored);
    for (size_t i = 0; i < n; ++i)
      if (fresh[i]) store->put(ids[i], StoredItem::adopt(unique[i]));
    try {
      allowed->add_many(ids);
    } catch (const std::bad_alloc&) {
      for (size_t i = 0; i < n; ++i)
        if (fresh[i]) (*store)[ids[i]] = StoredItem();
      throw;
    }
    stored_at = store->epoch();
    store_ptr = &*store;
    break;
  }
  // Objects [from, n) leave again: the fresh ones are unfiled and lose their
  // slots, and every one not published before is unpublished.
  auto take_back = [&](size_t from, bool filed) {
    memory::RecoveryScope recovery;
    std::vector<PyObject*> undo;
    std::vector<uint32_t> unpublish;
    for (size_t k = from; k < n; ++k) {
      if (fresh[k]) undo.push_back(unique[k]);
      if (unpublished[k]) unpublish.push_back(ids[k]);
    }
    withdraw(undo, unpublish, filed);
  };
  size_t i = 0;
  try {
    while (i < n) {
      if (i > 0) {
        // Between stretches every object before i is complete, its nested
        // objects filed too, and no nesting scope is open (a signal handler
        // may use the module): an interrupt leaves nothing half-filed.
        memory::require_headroom();
        if (py::signal_raised()) break;
      }
      NestingScope nesting;
      const size_t end = std::min(n, i + std::clamp(i, kCheckEvery, kBulkStretchMost));
      const std::span<PyObject* const> stretch(unique.data() + i, end - i);
      for (size_t k : file_in_bulk(stretch, std::span<const uint32_t>(ids).subspan(i, end - i), store_ptr, stored_at)) {
        IndexableRecord& rec = *record_of(stretch[k]);
        WriterGuard writer(rec);
        // An object removed since the first pass (by another thread, which
        // held its write lock) is neither registered nor filed: it has left.
        if (store_ptr->epoch() != stored_at && !holds(ids[i + k], stretch[k])) continue;
        add_index_meta(rec, self);
        file_attributes(ids[i + k], rec);
      }
      i = end;
      nesting.drain();
    }
  } catch (const std::bad_alloc&) {
    take_back(0, true);
    throw;
  }
  if (i < n) {
    // Interrupted: objects from i on were stored and published, never
    // registered or filed.
    take_back(i, false);
    throw py::PyErrorSet{};
  }
}

namespace {
// One lock of an object's word, taken only if free; released with the scope.
class TryHeld {
 public:
  TryHeld(ObjectLock& l, ObjectLock::Which w) : l_(l), w_(w), held_(l.try_lock(w)) {}
  ~TryHeld() {
    if (held_) l_.unlock(w_);
  }
  TryHeld(const TryHeld&) = delete;
  TryHeld& operator=(const TryHeld&) = delete;
  explicit operator bool() const { return held_; }

 private:
  ObjectLock& l_;
  ObjectLock::Which w_;
  bool held_;
};

struct ValueHash {
  size_t operator()(const PyValue& v) const { return absl::HashOf(v.bucket_hash64()); }
};
}  // namespace

// Registers and files one stretch of add_object_many with the maps lock held
// exclusively from the first registration to the last filing, so that no
// write, removal or query meets a registered object whose values are not
// filed yet: a writer that finds the object registered reaches the maps only
// after this filing, and replaces what it filed. The leaves are gathered
// object by object, then filed attribute by attribute: the numbers in key
// order under one hold of the tree lock (consecutive pairs descend to the
// same or neighbouring leaves, which stay in cache), and the ids of each text
// or boolean value added to its set in one call.
// Writers hold an object's locks while they wait for the maps lock, so here
// an object's locks are only tried: a busy object is left to the caller, as
// is an object whose leaves are not all numbers, booleans and texts (nested
// objects, containers not captured yet and other kinds take the one-by-one
// path, which also files what they hold).
std::vector<size_t> IndexAPI::file_in_bulk(std::span<PyObject* const> objs, std::span<const uint32_t> ids,
                                           const ItemVec* store, uint64_t stored_at) ABSL_NO_THREAD_SAFETY_ANALYSIS {
  // Per attribute: the tree entries, and the ids of each text or boolean
  // value (grouped as they are gathered, so that a value is kept once).
  // Texts are gathered by their str object, a pointer's hash, without
  // building a value: objects usually share the str of a text (the same
  // literal, an interned name), and each object's value is built once
  // afterwards, the groups of equal texts in different objects merged.
  struct Leaves {
    std::vector<Entry> numbers;
    absl::flat_hash_map<PyObject*, std::vector<uint32_t>> texts;
    absl::flat_hash_map<PyValue, std::vector<uint32_t>, ValueHash, KeyEq<PyValue>> groups;
    std::vector<std::pair<PyValue, uint32_t>> others;
  };
  // By attribute id (ids are small and dense: the interner's).
  std::vector<Leaves> by_attr;
  auto leaves_of = [&](uint32_t aid) -> Leaves& {
    if (aid >= by_attr.size()) by_attr.resize(aid + 1);
    return by_attr[aid];
  };
  std::vector<size_t> alone;
  const std::weak_ptr<IndexAPI> self = weak_from_this();
  MemberList& members = solo_members();
  MapsWrite maps(*query_maps);
  for (size_t k = 0; k < objs.size(); ++k) {
    IndexableRecord& rec = *record_of(objs[k]);
    TryHeld writer(rec.lock, ObjectLock::kWriter);
    if (!writer) {
      alone.push_back(k);
      continue;
    }
    TryHeld attrs(rec.lock, ObjectLock::kAttributes);
    if (!attrs || !rec.attrs.leaves_plain()) {
      alone.push_back(k);
      continue;
    }
    // Removed since the first pass: it has left (as in the one-by-one path).
    if (store->epoch() != stored_at && !holds(ids[k], objs[k])) continue;
    add_index_meta(rec, members);
    const uint32_t id = ids[k];
    rec.attrs.for_each_leaf_split(
        id, [&](const uint32_t& aid, NumKey key) { leaves_of(aid).numbers.push_back(make_entry(key, id)); },
        [&](const uint32_t& aid, PyObject* s) { leaves_of(aid).texts[s].push_back(id); },
        [&](const uint32_t& aid, const PyValue& v) {
          // Texts and booleans are grouped; an empty container (filed whole,
          // which installs the map) is filed as it comes.
          if (v.kind() == Kind::Str || v.kind() == Kind::Bool)
            leaves_of(aid).groups[v].push_back(id);
          else
            leaves_of(aid).others.emplace_back(v, id);
        });
  }
  for (uint32_t aid = 0; aid < by_attr.size(); ++aid) {
    Leaves& leaves = by_attr[aid];
    // The str objects stay alive meanwhile: a writer that would replace one
    // waits for the maps lock before it stores its value.
    for (auto& [s, of_text] : leaves.texts) {
      std::vector<uint32_t>& group = leaves.groups[AttrSlot::text_value(s)];
      if (group.empty()) {
        group = std::move(of_text);
      } else {
        group.insert(group.end(), of_text.begin(), of_text.end());
      }
    }
    leaves.texts.clear();
    if (leaves.numbers.empty() && leaves.groups.empty() && leaves.others.empty()) continue;
    if (aid >= maps->size()) maps->resize(aid + 1);
    std::shared_ptr<QueryMap>& map = (*maps)[aid];
    if (!map) map = std::make_shared<QueryMap>(self, aid);
    std::sort(leaves.numbers.begin(), leaves.numbers.end());
    map->insert_entries(leaves.numbers);
    for (auto& [v, id] : leaves.others) map->insert(v, id);
    for (auto& [v, group] : leaves.groups) {
      // Usually ascending already (objects added in id order).
      if (!std::is_sorted(group.begin(), group.end())) std::sort(group.begin(), group.end());
      group.erase(std::unique(group.begin(), group.end()), group.end());
      map->insert_exact_many(v, group);
    }
  }
  return alone;
}

void IndexAPI::withdraw(std::span<PyObject* const> fresh, std::span<const uint32_t> unpublish, bool filed) {
  memory::RecoveryScope recovery;
  if (filed) {
    NestingScope nesting;
    for (PyObject* o : fresh) {
      IndexableRecord& rec = *record_of(o);
      WriterGuard writer(rec);
      // Unfiling a value that was never filed changes nothing.
      with_attributes(rec, [&](AttrMap& attrs) {
        attrs.for_each(rec.id, [&](const uint32_t& aid, const PyValue& v) { remove_index(rec.id, aid, v); });
      });
      remove_index_meta(rec, weak_from_this());
    }
    nesting.drain();
  }
  std::vector<StoredItem> released;
  released.reserve(fresh.size());
  {
    AllowedWrite allowed(*allowed_items);
    ItemsWrite store(*items);
    for (PyObject* o : fresh) {
      uint32_t id = record_of(o)->id;
      if (id < store->size() && (*store)[id].object == o) released.push_back(store->take(id));
    }
    for (uint32_t id : unpublish) allowed->remove(id);
  }
  // `released` goes here, with no lock held.
}

bool IndexAPI::store_nested(const py::SharedPy& obj, uint32_t holder, uint32_t attr) {
  uint32_t id = record_of(obj.get())->id;
  // allowed_items and items are changed together (allowed_items first, the
  // order every path takes both), so a slot and its published id never
  // disagree when a removal and a new holder race.
  AllowedWrite allowed(*allowed_items);
  ItemsWrite store(*items);
  if (id < store->size() && (*store)[id].occupied()) {
    StoredItem& slot = (*store)[id];
    if (!slot.parent) return false;
    slot.parent->pending_removal = false;
    if (!slot.parent->add_holder(attr, holder) || !slot.parent->blocked) return false;
    slot.parent->blocked = false;  // filing again re-marks it if still blocked
    return true;
  }
  auto parent_link = std::make_unique<StoredItemParent>();
  parent_link->add_holder(attr, holder);
  parent_link->index = weak_from_this();
  store->put(id, StoredItem(std::move(parent_link), obj));
  try {
    allowed->add(id);
  } catch (const std::bad_alloc&) {
    (*store)[id] = StoredItem();  // never seen: both locks are held
    throw;
  }
  return true;
}

void IndexAPI::mark_blocked(uint32_t id) {
  ItemsWrite store(*items);
  if (id < store->size() && (*store)[id].occupied() && (*store)[id].parent) (*store)[id].parent->blocked = true;
}

void IndexAPI::remove(IndexableRecord& rec, uint32_t holder, uint32_t attr) {
  NestingTicket ticket;
  py::SharedPy obj;
  {
    ItemsWrite store(*items);
    if (rec.id >= store->size()) return;
    StoredItem& slot = (*store)[rec.id];
    if (!slot.occupied() || !slot.parent) return;
    slot.parent->remove_holder(attr, holder);
    if (slot.parent->has_holders() || slot.parent->pending_removal) return;
    // The slot stays (so concurrent writes keep updating it) until the queued
    // work has unfiled the object's values.
    obj = slot.handle();  // may fail: before the mark
    slot.parent->pending_removal = true;
  }
  ticket.fill(NestingOp::Unfile, shared_from_this(), std::move(obj));
}

void IndexAPI::unfile_nested(IndexableRecord& rec) {
  // Under the object's attributes lock: a concurrent write either finds the
  // slot (and is unfiled here) or comes after the slot is gone (and skips
  // this index).
  with_attributes(rec, [&](AttrMap& attrs) {
    StoredItem released;
    {
      AllowedWrite allowed(*allowed_items);
      ItemsWrite store(*items);
      if (rec.id >= store->size()) return;
      StoredItem& slot = (*store)[rec.id];
      if (!slot.occupied() || !slot.parent || !slot.parent->pending_removal) return;
      store->ready_for_removal();  // may fail: before anything changes
      allowed->remove(rec.id);     // may fail: before the slot is emptied
      released = store->take(rec.id);
    }
    // Finished once begun (the slot is gone): removals are idempotent.
    memory::complete(
        [&] { attrs.for_each(rec.id, [&](const uint32_t& aid, const PyValue& v) { remove_index(rec.id, aid, v); }); });
  });
}

// ---- removing --------------------------------------------------------------
void IndexAPI::unfile_attributes(uint32_t id, const AttrMap& attrs, bool spread) {
  // One hold of the maps lock for every value; maps that may have become
  // empty are reset afterwards under the write lock, as remove_index does.
  absl::InlinedVector<std::shared_ptr<QueryMap>, 8> emptied;
  {
    MapsRead maps(*query_maps);
    // Containers element by element: their own value (a shared element
    // list and a handle to the container) is never built; numbers by their
    // ordered key, without a value.
    auto map_of = [&](uint32_t aid) -> const std::shared_ptr<QueryMap>* {
      return aid < maps->size() && (*maps)[aid] ? &(*maps)[aid] : nullptr;
    };
    using Map = const std::shared_ptr<QueryMap>*;
    auto unfile_number = [&](Map map, NumKey key) {
      if ((*map)->unfile_number(key, id) && (*map)->is_empty()) emptied.push_back(*map);
    };
    auto unfile_value = [&](Map map, const PyValue& v) {
      if ((*map)->unfile(v, id) && (*map)->is_empty()) emptied.push_back(*map);
    };
    if (!spread) {
      attrs.for_each_leaf_split(
          id,
          [&](const uint32_t& aid, NumKey key) {
            if (Map map = map_of(aid)) unfile_number(map, key);
          },
          [&](const uint32_t& aid, const PyValue& v) {
            if (Map map = map_of(aid)) unfile_value(map, v);
          });
    } else {
      // Two passes: the first finds each set and requests the line its id
      // lies in, so that the misses of the object's sets overlap; the second
      // unfiles, from lines already on their way. The first pass looks each
      // set up once more: worth it only where the sets are too large to stay
      // cached (200,000 objects: 15 % faster; 20,000: 8 % slower).
      absl::InlinedVector<std::pair<Map, NumKey>, 4> numbers;
      absl::InlinedVector<std::pair<Map, PyValue>, 8> values;
      attrs.for_each_leaf_split(
          id,
          [&](const uint32_t& aid, NumKey key) {
            if (Map map = map_of(aid)) {
              (*map)->prefetch_number(id);
              numbers.emplace_back(map, key);
            }
          },
          [&](const uint32_t& aid, const PyValue& v) {
            if (Map map = map_of(aid)) {
              (*map)->prefetch_exact(v, id);
              values.emplace_back(map, v);
            }
          });
      for (const auto& [map, key] : numbers) unfile_number(map, key);
      for (const auto& [map, v] : values) unfile_value(map, v);
    }
  }
  release_emptied(emptied);
}

void IndexAPI::release_emptied(std::span<const std::shared_ptr<QueryMap>> emptied) {
  if (emptied.empty()) return;
  MapsWrite maps(*query_maps);
  // Re-checked under the write lock: a value routed meanwhile keeps the map.
  for (const auto& map : emptied) {
    const uint32_t aid = map->attr_id;
    if (aid < maps->size() && (*maps)[aid] == map && map->is_empty()) (*maps)[aid].reset();
  }
}

// ---- retired objects ------------------------------------------------------
// A removal that unfiles at once meets the cold lines of every value of the
// object (each number's path down its tree, each text's set). Retiring costs
// a record of the values; a sweep then filters each map's structures in one
// pass, in memory order, which costs a few entries per retired object (a
// sweep is due once kSweepShare-th of the index is retired).
//
// Invariants: a retired id is in no answer of this index (the queries drop
// them, the views see its slot empty), is not in allowed_items, and is
// filed under exactly the values of its record; it is filed again only
// after revive() has unfiled it. Removal, revival and sweeps of one id are
// serialised by the object's writer lock and the maps lock.
namespace {
// Resets the slot of every map left empty (the caller holds the maps lock
// exclusively).
void drop_empty_maps(QueryMapVec& maps) {
  for (size_t a = 0; a < maps.size(); ++a)
    if (maps[a] && maps[a]->is_empty()) maps[a].reset();
}
}  // namespace

bool IndexAPI::retire(uint32_t id, RetiredValues* record, uint64_t members) {
  try {
    RwLocked<Retired>::WriteScope r(retired);
    if (r->ids.contains(id)) return false;  // not retired twice: the caller unfiles
    if (record) {
      auto [it, added] = r->values.try_emplace(id, std::move(*record));
      try {
        r->ids.add(id);
      } catch (const std::bad_alloc&) {
        r->values.erase(it);
        throw;
      }
    } else {
      r->ids.add(id);
    }
    const uint64_t n = retired_count_.load(std::memory_order_relaxed) + 1;
    retired_count_.store(n, std::memory_order_release);
    if (n >= kSweepAtLeast && n * kSweepShare >= members) sweep_due_.store(true, std::memory_order_relaxed);
    return true;
  } catch (const std::bad_alloc&) {
    return false;  // unfiled at once instead
  }
}

void IndexAPI::sweep_locked(QueryMapVec& maps, Retired& r, std::vector<PyValue>& pruned) const {
  if (r.ids.is_empty()) return;
  const IdSieve dead(r.ids);  // may fail: before anything changes
  memory::complete([&] {
    for (const auto& map : maps)
      if (map) map->remove_ids(dead, pruned);
  });
  drop_empty_maps(maps);
  r.ids.clear();
  r.values.clear();
  retired_count_.store(0, std::memory_order_release);
  sweep_due_.store(false, std::memory_order_relaxed);
}

void IndexAPI::sweep_retired() const {
  if (retired_count_.load(std::memory_order_acquire) == 0) return;
  std::vector<PyValue> pruned;  // released once the locks are (may run Python code)
  MapsWrite maps(*query_maps);
  RwLocked<Retired>::WriteScope r(retired);
  sweep_locked(*maps, *r, pruned);
}

void IndexAPI::revive(std::span<const uint32_t> ids) {
  if (retired_count_.load(std::memory_order_acquire) == 0) return;
  {
    RwLocked<Retired>::ReadScope r(retired);
    if (std::none_of(ids.begin(), ids.end(), [&](uint32_t id) { return r->ids.contains(id); })) return;
  }
  std::vector<PyValue> pruned;  // released once the locks are (may run Python code)
  MapsWrite maps(*query_maps);
  RwLocked<Retired>::WriteScope r(retired);
  // An id retired without a record (by clear()) is unfiled by a sweep.
  if (std::any_of(ids.begin(), ids.end(),
                  [&](uint32_t id) { return r->ids.contains(id) && !r->values.contains(id); })) {
    sweep_locked(*maps, *r, pruned);
    return;
  }
  for (uint32_t id : ids) {
    auto it = r->values.find(id);
    if (it == r->values.end()) continue;
    const RetiredValues& record = it->second;
    // Finished once begun: unfiling again is harmless.
    memory::complete([&] {
      for (const auto& [aid, key] : record.numbers)
        if (aid < maps->size() && (*maps)[aid]) (*maps)[aid]->unfile_number(key, id);
      for (const auto& [aid, v] : record.values)
        if (aid < maps->size() && (*maps)[aid]) (*maps)[aid]->unfile(v, id);
      r->ids.remove(id);
    });
    r->values.erase(it);
    retired_count_.fetch_sub(1, std::memory_order_release);
  }
  drop_empty_maps(*maps);
}

void IndexAPI::drop_retired(Bitmap& ids) const {
  if (retired_count_.load(std::memory_order_acquire) == 0) return;
  RwLocked<Retired>::ReadScope r(retired);
  if (!r->ids.is_empty()) ids.andnot_inplace(r->ids);
}

void IndexAPI::unfile_values(uint32_t id, std::span<const std::pair<uint32_t, PyValue>> values) {
  absl::InlinedVector<std::shared_ptr<QueryMap>, 2> emptied;
  {
    MapsRead maps(*query_maps);
    for (const auto& [aid, v] : values) {
      if (aid >= maps->size() || !(*maps)[aid]) continue;
      const std::shared_ptr<QueryMap>& map = (*maps)[aid];
      if (map->unfile(v, id) && map->is_empty()) emptied.push_back(map);
    }
  }
  release_emptied(emptied);
}

bool IndexAPI::remove_object(IndexableRecord& rec, PyObject* obj, StoredItem& released, bool keep_record) {
  bool found = false, spread = false;
  with_attributes(rec, [&](AttrMap& attrs) {
    // The record of what stays filed, made before anything changes; the
    // objects it holds are let go at once.
    const bool retirable = attrs.leaves_plain_or_indexable();
    std::optional<RetiredValues> record;
    absl::InlinedVector<std::pair<uint32_t, PyValue>, 2> held;
    if (retirable) {
      if (keep_record) record.emplace();
      attrs.for_each_leaf_split(
          rec.id,
          [&](const uint32_t& aid, NumKey key) {
            if (record) record->numbers.emplace_back(aid, key);
          },
          [&](const uint32_t& aid, const PyValue& v) {
            if (v.kind() == Kind::Ind) {
              held.emplace_back(aid, v);
            } else if (record) {
              record->values.emplace_back(aid, v);
            }
          });
    }
    bool retired_now = false;
    {
      AllowedWrite allowed(*allowed_items);
      if (!allowed->contains(rec.id)) return;
      ItemsWrite store(*items);
      ZX_CHECK(rec.id < store->size() && (*store)[rec.id].object == obj, "listed object without its slot");
      store->ready_for_removal();  // may fail: before anything changes
      allowed->remove(rec.id);     // may fail: before the slot is emptied
      released = store->take(rec.id);
      // Members with ids beyond the first 65,536: a large process, whose
      // sets are unlikely to be cached.
      spread = allowed->spans_containers();
      // Under the same hold of the members' lock: an id is never published
      // and retired at once (add_object_many checks under it).
      if (retirable) retired_now = retire(rec.id, record ? &*record : nullptr, allowed->cardinality());
    }
    found = true;
    if (retired_now) {
      // As a write of the attribute holding them would (finished once begun).
      if (!held.empty()) memory::complete([&] { unfile_values(rec.id, held); });
      return;
    }
    // Finished once begun (the slot is gone): unfiling again is harmless.
    memory::complete([&] { unfile_attributes(rec.id, attrs, spread); });
  });
  if (found) remove_index_meta(rec, weak_from_this());
  return found;
}

// ---- reading ---------------------------------------------------------------
bool IndexAPI::has_object_id(uint32_t id) const {
  ItemsRead store(*items);
  return id < store->size() && (*store)[id].occupied();
}

bool IndexAPI::holds(uint32_t id, PyObject* obj) const {
  ItemsRead store(*items);
  return id < store->size() && (*store)[id].object == obj;
}

bool IndexAPI::contains(uint32_t id) const { return allowed_items->read()->contains(id); }

uint64_t IndexAPI::size() const { return allowed_items->read()->cardinality(); }

uint64_t IndexAPI::epoch() const { return items->read()->epoch(); }

bool IndexAPI::reaches_root_avoiding(uint32_t start, uint32_t avoid) const {
  // Breadth-first, one level at a time: the frontier holds ids of `at`.
  std::vector<uint32_t> frontier{start}, next;
  std::shared_ptr<const IndexAPI> keep;
  const IndexAPI* at = this;
  while (at && !frontier.empty()) {
    std::shared_ptr<const IndexAPI> up = at->parent.lock();
    next.clear();
    {
      ItemsRead store(*at->items);
      for (uint32_t id : frontier) {
        if ((id == avoid && at != this) || id >= store->size()) continue;
        const StoredItem& slot = (*store)[id];
        if (!slot.occupied()) continue;
        if (!slot.parent) return true;  // a top-level object
        slot.parent->for_each_holder(StoredItemParent::kAnyAttr, [&](uint32_t p) { next.push_back(p); });
      }
    }
    std::sort(next.begin(), next.end());
    next.erase(std::unique(next.begin(), next.end()), next.end());
    frontier.swap(next);
    keep = std::move(up);
    at = keep.get();
  }
  return false;
}

Bitmap IndexAPI::get_direct_parents(const Bitmap& ids, uint32_t attr) const {
  Bitmap out;
  std::vector<uint32_t> buf;
  {
    ItemsRead store(*items);
    ids.for_each([&](uint32_t id) {
      if (id >= store->size()) return;
      const StoredItem& slot = (*store)[id];
      if (!slot.occupied() || !slot.parent) return;
      slot.parent->for_each_holder(attr, [&](uint32_t p) { buf.push_back(p); });
    });
  }
  std::sort(buf.begin(), buf.end());
  buf.erase(std::unique(buf.begin(), buf.end()), buf.end());
  out.add_many(buf);
  return out;
}

std::vector<PyObject*> IndexAPI::objects_of(const RwLocked<ItemVec>& store_lock, const Bitmap& ids, uint64_t epoch) {
  std::vector<PyObject*> out;
  out.reserve(ids.cardinality());
  auto store = store_lock.read();
  // Stamps are read only when a removal happened since `epoch`.
  const uint64_t* stamps = store->unchanged_since(epoch) || store->stamps.empty() ? nullptr : store->stamps.data();
  const StoredItem* const slots = store->data();
  const size_t size = store->size();
  // Ids of a sparse answer are far apart, so each one costs a cache miss on
  // its slot and another on the object (the reference count). The loop
  // prefetches the slot kSlotAhead ids ahead and, once that slot has
  // arrived, the object kObjectAhead ids ahead.
  constexpr size_t kSlotAhead = 16, kObjectAhead = 8;
  // Two instances of the loop, so that listing a view made since the last
  // removal (or an index) pays nothing for the stamps.
  auto list = [&](auto check_stamps) {
    ids.for_each_chunk([&](std::span<const uint32_t> chunk) {
      const size_t n = chunk.size();
      auto slot = [&](size_t i) -> const StoredItem* { return chunk[i] < size ? slots + chunk[i] : nullptr; };
      auto prefetch_slot = [&](size_t i) {
        if (const StoredItem* s = slot(i)) __builtin_prefetch(s);
      };
      auto prefetch_object = [&](size_t i) {
        if (const StoredItem* s = slot(i); s && s->object) __builtin_prefetch(s->object, 1);
      };
      for (size_t i = 0; i < std::min(n, kSlotAhead); ++i) prefetch_slot(i);
      for (size_t i = 0; i < std::min(n, kObjectAhead); ++i) prefetch_object(i);
      for (size_t i = 0; i < n; ++i) {
        if (i + kSlotAhead < n) prefetch_slot(i + kSlotAhead);
        if (i + kObjectAhead < n) prefetch_object(i + kObjectAhead);
        const StoredItem* s = slot(i);
        // Placeholders are never handed out, nor objects stored after `epoch`.
        if (!s || !s->occupied()) continue;
        if constexpr (decltype(check_stamps)::value) {
          if (stamps[chunk[i]] > epoch) continue;
        }
        Py_INCREF(s->object);
        out.push_back(s->object);
      }
    });
  };
  if (stamps) {
    list(std::true_type{});
  } else {
    list(std::false_type{});
  }
  return out;
}

std::vector<PyObject*> IndexAPI::collect() const {
  AllowedRead allowed(*allowed_items);
  return objects_of(*items, *allowed);
}

Bitmap IndexAPI::get_by_attribute(const HashQuery& q) const {
  MapsRead maps(*query_maps);
  Bitmap out = filter_index_by_hashes(*maps, q);
  drop_retired(out);
  return out;
}

Bitmap IndexAPI::reduced_query(const QueryExpr& e) const {
  validate_expr(e);
  MapsRead maps(*query_maps);
  AllowedRead allowed(*allowed_items);
  Bitmap out = evaluate_query(*maps, *allowed, e);
  drop_retired(out);
  return out;
}

std::optional<Groups> IndexAPI::group_by(std::string_view name) const {
  auto [head, tail] = attr_parts(name);
  (void)tail;
  // A name that was never stored has no map in any index.
  std::optional<uint32_t> known = interner().get(head);
  if (!known) return std::nullopt;
  std::shared_ptr<QueryMap> map;
  {
    MapsRead maps(*query_maps);
    if (*known >= maps->size()) return std::nullopt;
    map = (*maps)[*known];
  }
  if (!map) return Groups{};
  std::optional<Groups> groups = map->group_by(name);
  if (!groups || retired_count_.load(std::memory_order_acquire) == 0) return groups;
  // Retired objects leave their groups, and the groups they leave empty go.
  RwLocked<Retired>::ReadScope r(retired);
  if (r->ids.is_empty()) return groups;
  const IdSieve dead(r->ids);
  std::erase_if(*groups, [&](Group& g) {
    g.ids.remove_ids(dead);
    return g.ids.is_empty();
  });
  return groups;
}

void IndexAPI::reduce(const HashQuery& q) {
  sweep_retired();
  NestingScope nesting;
  Bitmap kept;
  // Entries left with no id are dropped; their keys are released here, once
  // the maps lock is released (a release may run Python code).
  std::vector<PyValue> pruned;
  {
    MapsWrite maps(*query_maps);
    kept = filter_index_by_hashes(*maps, q);
    for (auto& map : *maps)
      if (map) map->remove(kept, pruned);
  }
  // Kept objects are filed again from their current values (filing is
  // idempotent; this restores what an earlier reduce took out of an object
  // that this one keeps). Those whose values are all plain are filed in
  // bulk, a stretch at a time (grouped by value, the numbers merged into
  // each tree in one pass), as add_object_many files; the others, and those
  // whose locks are taken, one by one, without holding the maps lock while
  // each object's attributes are locked.
  std::vector<py::SharedPy> objs;
  std::vector<PyObject*> ptrs;
  std::vector<uint32_t> ids;
  const ItemVec* store_ptr;
  uint64_t stored_at;
  {
    ItemsRead store(*items);
    kept.for_each([&](uint32_t id) {
      if (id < store->size() && (*store)[id].occupied()) {
        objs.push_back((*store)[id].handle());
        ptrs.push_back(objs.back().get());
        ids.push_back(id);
      }
    });
    store_ptr = &*store;
    stored_at = store->epoch();
  }
  for (size_t i = 0; i < ptrs.size(); i += kBulkStretchMost) {
    const size_t end = std::min(ptrs.size(), i + kBulkStretchMost);
    const std::span<PyObject* const> stretch(ptrs.data() + i, end - i);
    for (size_t k : file_in_bulk(stretch, std::span<const uint32_t>(ids).subspan(i, end - i), store_ptr, stored_at)) {
      IndexableRecord& rec = *record_of(stretch[k]);
      // Under the object's attributes lock, which a removal holds while it
      // empties the slot: an object removed meanwhile is not filed again.
      with_attributes(rec, [&](AttrMap&) {
        if (holds(rec.id, stretch[k])) file_attributes(rec.id, rec);
      });
    }
  }
  nesting.drain();
}

namespace {
bool value_holds(const PyValue& current, const PyValue& key) {
  if (current == key) return true;
  if (current.kind() == Kind::Iterable)
    for (const PyValue& e : *current.as_iterable().elements)
      if (e == key) return true;
  return false;
}
}  // namespace

void IndexAPI::union_with(const std::shared_ptr<IndexAPI>& other) {
  if (!other || other.get() == this) return;  // a map united with itself is unchanged
  memory::require_headroom();
  // Pairs of objects that left either index are not brought in or counted.
  sweep_retired();
  other->sweep_retired();
  // Snapshot both vectors of maps, one lock at a time.
  QueryMapVec mine = *query_maps->read();
  QueryMapVec theirs = *other->query_maps->read();
  size_t n = std::min(mine.size(), theirs.size());
  // (attribute, key) pairs each brought-in id gains, from the other index's
  // sets for keys present in both maps. Nothing changes while this is built,
  // so an interrupt here just ends the call.
  std::map<uint32_t, std::vector<std::pair<uint32_t, PyValue>>> pending;
  size_t seen = 0, next_check = kCheckEvery;
  for (size_t a = 0; a < n; ++a) {
    if (!mine[a] || !theirs[a]) continue;
    for (auto& entry : mine[a]->exact_entries()) {
      const PyValue& key = entry.first;
      std::optional<HybridSet> other_ids = theirs[a]->exact.get(key);
      if (!other_ids || other_ids->tag() == HybridSet::Tag::Empty || other_ids->is_empty()) continue;
      other_ids->for_each([&](uint32_t id) { pending[id].emplace_back(static_cast<uint32_t>(a), key); });
      seen += other_ids->cardinality();
    }
    if (seen >= next_check) {
      next_check = seen + kCheckEvery;
      if (py::signal_raised()) throw py::PyErrorSet{};
    }
  }
  // What this call changed, for undoing it after an allocation failure: the
  // objects it touched, whether it stored them, and the (attribute, key)
  // filings that were not there before.
  struct Filed {
    uint32_t attr;
    const PyValue* key;
  };
  struct Touched {
    uint32_t id;
    py::SharedPy obj;
    bool stored;
    size_t filed_begin, filed_end;
  };
  std::vector<Touched> touched;
  std::vector<Filed> filed;
  touched.reserve(pending.size());
  size_t total = 0;
  for (const auto& [id, keys] : pending) total += keys.size();
  filed.reserve(total);
  MemberList& self = solo_members();
  size_t step = 0;
  bool interrupted = false;
  try {
    for (auto& per_id : pending) {
      const uint32_t id = per_id.first;
      auto& keys = per_id.second;
      if (++step % kCheckEvery == 0) {
        memory::require_headroom();
        if (py::signal_raised()) {
          interrupted = true;
          break;
        }
      }
      py::SharedPy obj;
      {
        ItemsRead store(*other->items);
        if (id < store->size() && (*store)[id].occupied()) obj = (*store)[id].handle();
      }
      if (!obj) continue;
      IndexableRecord& rec = *record_of(obj.get());
      // Under the object's locks, so a concurrent write either sees this
      // index (and keeps it up to date) or has already stored the value
      // checked here.
      WriterGuard writer(rec);
      touched.push_back(Touched{id, obj, false, filed.size(), filed.size()});
      Touched& t = touched.back();
      with_attributes(rec, [&](AttrMap& attrs) {
        {
          ItemsWrite store(*items);
          if (id >= store->size() || !(*store)[id].occupied()) {
            store->put(id, StoredItem(nullptr, obj));
            t.stored = true;
          }
        }
        if (t.stored) add_index_meta(rec, self);
        attrs.capture_containers();
        for (auto& [attr, key] : keys) {
          std::optional<PyValue> current = attrs.get(rec.id, attr);
          if (!current || !value_holds(*current, key)) continue;
          bool had = false;
          if (auto map = map_if_any(attr))
            map->exact.visit(key, [&](const HybridSet& ids) {
              had = ids.tag() != HybridSet::Tag::Empty && !ids.is_empty() && ids.contains(id);
            });
          if (had) continue;
          filed.push_back(Filed{attr, &key});
          t.filed_end = filed.size();
          insert_exact_routed(attr, key, id);
        }
      });
    }
  } catch (const std::bad_alloc&) {
    // Undone with the reserve, under each object's locks. An object this
    // call stored leaves entirely (every value it holds now is unfiled: a
    // write since it was registered filed its new value here); for one that
    // was stored before, only the filings made here are taken back.
    memory::RecoveryScope recovery;
    std::vector<StoredItem> released;
    released.reserve(touched.size());
    {
      NestingScope nesting;
      for (Touched& t : touched) {
        IndexableRecord& rec = *record_of(t.obj.get());
        WriterGuard writer(rec);
        with_attributes(rec, [&](AttrMap& attrs) {
          if (t.stored) {
            attrs.for_each(t.id, [&](const uint32_t& aid, const PyValue& v) { remove_index(t.id, aid, v); });
            remove_index_meta(rec, weak_from_this());
          }
          for (size_t f = t.filed_begin; f < t.filed_end; ++f) {
            if (auto map = map_if_any(filed[f].attr)) {
              map->remove_exact(*filed[f].key, t.id);
              map->check_prune(*filed[f].key);
            }
          }
          if (t.stored) {
            ItemsWrite store(*items);
            released.push_back(store->take(t.id));
          }
        });
      }
      nesting.drain();
    }
    throw;
  }
  if (interrupted) throw py::PyErrorSet{};
}

// ---- nesting depth -----------------------------------------------------------
namespace {
// Longest chain of nested objects below a value. Each object is walked once:
// its depth is remembered, so children shared by many holders (or by both
// sides of a node) cost nothing more. An object met again while its own walk
// is under way closes a cycle and counts for nothing there. The walk stops as
// soon as the limit is passed.
struct DepthCheck {
  int budget;
  // (Tables grow through the reserve: see support/memory.hpp.)
  absl::flat_hash_map<IndexableRecord*, int, absl::Hash<IndexableRecord*>, std::equal_to<IndexableRecord*>,
                      memory::UnfailingAllocator<std::pair<IndexableRecord* const, int>>>
      done;  // object -> levels from it down
  absl::flat_hash_set<IndexableRecord*, absl::Hash<IndexableRecord*>, std::equal_to<IndexableRecord*>,
                      memory::UnfailingAllocator<IndexableRecord*>>
      open;  // on the current walk
  bool exceeded = false;

  // Levels of nesting below `v` when `used` levels are already above it.
  int depth(const PyValue& v, int used) {
    if (exceeded) return 0;
    if (v.kind() == Kind::Iterable) {
      int best = 0;
      for (const PyValue& e : *v.as_iterable().elements) best = std::max(best, depth(e, used));
      return best;
    }
    if (v.kind() != Kind::Ind) return 0;
    IndexableRecord* rec = v.as_ind();
    if (auto it = done.find(rec); it != done.end()) {
      if (used + it->second > budget) exceeded = true;
      return it->second;
    }
    if (open.contains(rec)) return 0;  // a cycle is cut where it would close
    if (used + 1 > budget) {
      exceeded = true;
      return 0;
    }
    std::vector<PyValue> values;
    with_attributes(*rec, [&](AttrMap& attrs) {
      // The objects a container holds are known once its elements are kept
      // (the walk runs for objects about to be filed).
      attrs.capture_containers();
      attrs.for_each_holding_objects(rec->id, [&](const uint32_t&, const PyValue& x) { values.push_back(x); });
    });
    open.insert(rec);
    int best = 0;
    for (const PyValue& x : values) best = std::max(best, depth(x, used + 1));
    open.erase(rec);
    if (exceeded) return 0;
    done.emplace(rec, best + 1);
    return best + 1;
  }
};

// Runs the walk detached (it may visit many objects) and raises once attached.
void run_depth_check(const std::vector<PyValue>& values, int budget, IndexableRecord* root) {
  bool exceeded = false;
  {
    py::DetachScope detach;
    DepthCheck c{budget, {}, {}, false};
    if (root) c.open.insert(root);
    for (const PyValue& v : values) c.depth(v, 0);
    exceeded = c.exceeded;
  }
  if (exceeded) {
    PyErr_Format(PyExc_RecursionError, "objects nested deeper than %d levels cannot be indexed", kMaxNestingDepth);
    throw py::PyErrorSet{};
  }
}
}  // namespace

void check_nesting_depth(const PyValue& value, int level) {
  if (value.kind() != Kind::Ind && value.kind() != Kind::Iterable) return;
  run_depth_check({value}, kMaxNestingDepth - level, nullptr);
}

void check_object_depth(IndexableRecord& rec) {
  std::vector<PyValue> values;
  with_attributes(rec, [&](AttrMap& attrs) {
    attrs.capture_containers();
    attrs.for_each_holding_objects(rec.id, [&](const uint32_t&, const PyValue& x) { values.push_back(x); });
  });
  if (values.empty()) return;
  run_depth_check(values, kMaxNestingDepth, &rec);
}

}  // namespace zarvex
